#!/usr/bin/env bash
# Runs exit_while_active ROUNDS times in each state, JOBS at a time; any failed, crashed or hung
# run or sanitizer report fails the whole check (the first report is printed).
set -u
BIN="$1"; ROUNDS="${2:-100}"; JOBS="${3:-8}"
OUT="$(mktemp -d)"
# The test's own peer is left running on purpose (it must hold the upload while the process
# leaves), so ThreadSanitizer would call its ended connection threads leaked.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}report_thread_leaks=0"
export BIN OUT
# The radio state's bluetoothd: a fake one on a private bus, advertising an Eddystone UID beacon
# every 20 ms for as long as the check runs.
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$OUT"' EXIT
dbus-daemon --session --nofork --address="unix:path=$OUT/bus" --print-address=1 >"$OUT/bus.address" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$OUT/bus.address" ] && break; sleep 0.05; done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$OUT/bus"
mkfifo "$OUT/commands"
/usr/bin/python3 "$(dirname "$0")/../fixtures/fake_bluez.py" <"$OUT/commands" >/dev/null 2>"$OUT/fake.log" &
pids+=($!)
exec 3>"$OUT/commands"
echo '{"cmd": "adapter", "adapter": "hci0"}' >&3
frame='{"cmd": "advertise", "device": "beacon-1", "rssi": -60, "serviceData": {"feaa": "00e800112233445566778899aabbccddeeff0000"}, "uuids": ["feaa"]}'
(while :; do echo "$frame" || exit 0; sleep 0.02; done) >&3 &
pids+=($!)
one() {
    # A crash at exit can also hang the sanitizer's own report: a run that does not end fails.
    timeout -s KILL 30 "$BIN" "$1" "$2" >"$OUT/$3.out" 2>&1
    local rc=$?
    if [ "$rc" -ne 0 ] || grep -qE 'Sanitizer|runtime error|terminate called' "$OUT/$3.out"; then
        { echo "== $1 $2 (run $3): exit status $rc"; cat "$OUT/$3.out"; } >"$OUT/$3.fail"
    fi
    rm -f "$OUT/$3.out"
}
export -f one
for state in retry upload radio; do
    for how in return exit; do
        for i in $(seq "$ROUNDS"); do echo "$state $how $state-$how-$i"; done
    done
done | xargs -P "$JOBS" -n 3 bash -c 'one "$@"' _
fails=$(ls "$OUT"/*.fail 2>/dev/null | wc -l)
if [ "$fails" -gt 0 ]; then
    echo "$fails of $((ROUNDS * 6)) runs failed"
    cat "$(ls "$OUT"/*.fail | head -1)"
    exit 1
fi
echo "all $((ROUNDS * 6)) runs left cleanly"
