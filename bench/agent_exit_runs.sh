#!/usr/bin/env bash
# Runs `kiv-agent run` ROUNDS times in each of three states and counts the runs that did not end
# with exit status 0 within 30 s (a crash at exit shows as a signal or a sanitizer report):
#   cloud    --embedded-cloud with the simulated scenario: monitoring and uploading at the stop
#   hanging  a token host that accepts and never answers: the token request in flight at the stop
#   closed   a token host where nothing listens: a token retry pending at the stop
# Usage: bench/agent_exit_runs.sh PATH/TO/kiv-agent [ROUNDS (20)] [SECONDS (2.3)]
set -u
cd "$(dirname "$0")/.."
AGENT="$1"; ROUNDS="${2:-20}"; SECONDS_RUN="${3:-2.3}"
OUT="$(mktemp -d)"; trap 'kill $HANG 2>/dev/null; rm -rf "$OUT"' EXIT

# A peer that takes connections and never answers.
python3 - >"$OUT/hang.port" <<'PY' &
import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
print(s.getsockname()[1], flush=True)
held = []
while True:
    c, _ = s.accept(); held.append(c)
PY
HANG=$!
for _ in $(seq 100); do [ -s "$OUT/hang.port" ] && break; sleep 0.05; done
HANG_PORT="$(cat "$OUT/hang.port")"
CLOSED_PORT="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"

count() {
    local state="$1"; shift
    local bad=0
    for i in $(seq "$ROUNDS"); do
        timeout -s KILL 30 "$AGENT" run --simulate examples/run.jsonl --duration "$SECONDS_RUN" --grace 0.5 \
            --client demo-client:demo-secret "$@" >"$OUT/run.out" 2>&1
        local rc=$?
        if [ "$rc" -ne 0 ] || grep -qE 'Sanitizer|runtime error|terminate called' "$OUT/run.out"; then
            bad=$((bad + 1)); cp "$OUT/run.out" "$OUT/$state-$i.fail"
        fi
    done
    echo "$state: $bad of $ROUNDS runs failed"
}
count cloud --embedded-cloud examples/regions.json
count hanging --token-host "127.0.0.1:$HANG_PORT" --api-host "127.0.0.1:$HANG_PORT"
count closed --token-host "127.0.0.1:$CLOSED_PORT" --api-host "127.0.0.1:$CLOSED_PORT"
first="$(ls "$OUT"/*.fail 2>/dev/null | head -1)"
[ -n "$first" ] && { echo "== first failure ($first):"; tail -20 "$first"; }
exit 0
