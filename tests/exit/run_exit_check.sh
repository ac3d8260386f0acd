#!/usr/bin/env bash
# Runs exit_while_active ROUNDS times in each state, JOBS at a time; any failed, crashed or hung
# run or sanitizer report fails the whole check (the first report is printed).
set -u
BIN="$1"; ROUNDS="${2:-100}"; JOBS="${3:-8}"
OUT="$(mktemp -d)"; trap 'rm -rf "$OUT"' EXIT
# The test's own peer is left running on purpose (it must hold the upload while the process
# leaves), so ThreadSanitizer would call its ended connection threads leaked.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}report_thread_leaks=0"
export BIN OUT
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
for state in retry upload; do
    for how in return exit; do
        for i in $(seq "$ROUNDS"); do echo "$state $how $state-$how-$i"; done
    done
done | xargs -P "$JOBS" -n 3 bash -c 'one "$@"' _
fails=$(ls "$OUT"/*.fail 2>/dev/null | wc -l)
if [ "$fails" -gt 0 ]; then
    echo "$fails of $((ROUNDS * 4)) runs failed"
    cat "$(ls "$OUT"/*.fail | head -1)"
    exit 1
fi
echo "all $((ROUNDS * 4)) runs left cleanly"
