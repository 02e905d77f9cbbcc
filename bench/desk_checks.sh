#!/usr/bin/env bash
# What a desk may do to a half-hour run, on the real clock with the emulated
# device (the unit tests do the same in virtual time):
#
#   hang-up    SIGHUP during the processor's programming, once by a signal
#              and once by the terminal itself going away (the pseudo
#              terminal the program writes to is closed): the run ends as it
#              would have (exit code 0, the device holding what a run without
#              the hang-up leaves), and the run log file records it
#   killed     SIGKILL 8 s after the start: the trace reaches at least 5 s
#              and the run log file has the lines of the run so far
#   stalled    a 4 KiB output pipe left unread for 15 s from the start of a
#              200-page PROM programming: the run's length changes by under
#              a second against a run whose output is read at once
#
# The runs take about four minutes each; they run side by side. Prints the
# figures; exits 1 when a check fails.
#
# Usage: bench/desk_checks.sh [console program]   (default: build-release/qvm7316-update)
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build-release/qvm7316-update}")
source=$PWD
work=$(mktemp -d "${TMPDIR:-/tmp}/qvm7316-desk-XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=0
check() {  # check <description> <command...>
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failed=1; fi
}
folder() {  # folder <name>: a run folder with the sample images
    mkdir -p "$work/$1"
    cp "$source"/samples/{gen.hex,genprom.hex,GEN.dat} "$work/$1/"
    echo "$work/$1"
}
# Waits until the run log file of a folder has a line (at most 120 s).
wait_line() {  # wait_line <folder> <text>
    local end=$((SECONDS + 120))
    until grep -qF -- "$2" "$1/qvm7316-update.log" 2>/dev/null; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}
run_length() { sed -n 's/^=== end: .* after \([0-9.]*\) s$/\1/p' "$1/qvm7316-update.log"; }
update() {  # update <folder> [option...]: the whole update on the real clock, as this process
    local dir=$1
    shift
    exec "$program" -C "$dir" --simulate --realtime --yes --dump dump "$@"
}

# ---- The runs, side by side ----

reference=$(folder reference)
update "$reference" >"$reference/console.log" 2>&1 &
reference_pid=$!

# Hang-up by a signal, during the processor's programming.
signalled=$(folder signalled)
update "$signalled" >"$signalled/console.log" 2>&1 &
signalled_pid=$!

# Hang-up by the terminal going away: the program writes to a pseudo
# terminal, whose other end (script) is killed.
terminal=$(folder terminal)
setsid script -qfec "$program -C $terminal --simulate --realtime --yes --dump dump" /dev/null \
    >/dev/null 2>&1 </dev/null &
terminal_pid=$!

# Killed 8 s after its start, with a trace.
killed=$(folder killed)
"$program" -C "$killed" --simulate --realtime --yes --trace run.trace >/dev/null 2>&1 &
killed_pid=$!
(sleep 8 && kill -KILL "$killed_pid") &

# The 200-page PROM image for the stall.
awk 'BEGIN { srand(7316); for (p = 0; p < 200; p++) { s = ""; for (i = 0; i < 512; i++) s = s sprintf("%X", int(rand() * 16)); printf "%s\r\n", s } }' \
    >"$work/genprom200.hex"
read_at_once=$(folder read-at-once)
stalled=$(folder stalled)
cp "$work/genprom200.hex" "$read_at_once/genprom.hex"
cp "$work/genprom200.hex" "$stalled/genprom.hex"
# The output through a pipe of 4 KiB, read at once, or left unread for 15 s
# once "Programming PROM" has come through it.
cat >"$work/reader.py" <<'EOF'
import fcntl, os, subprocess, sys, time
stall, keep = float(sys.argv[1]), open(sys.argv[2], "wb")
read_end, write_end = os.pipe()
fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ
program = subprocess.Popen(sys.argv[3:], stdout=write_end, stderr=subprocess.STDOUT)
os.close(write_end)
seen, stalled = b"", False
while True:
    chunk = os.read(read_end, 4096)
    if not chunk:
        break
    keep.write(chunk)
    seen = (seen + chunk)[-64:]
    if stall and not stalled and b"Programming PROM" in seen:
        stalled = True
        time.sleep(stall)
sys.exit(program.wait())
EOF
python3 "$work/reader.py" 0 "$read_at_once/console.log" "$program" -C "$read_at_once" --simulate --realtime --yes &
read_at_once_pid=$!
python3 "$work/reader.py" 15 "$stalled/console.log" "$program" -C "$stalled" --simulate --realtime --yes &
stalled_pid=$!

# ---- The hang-ups and the kill ----

wait_line "$signalled" 'PROGRAMMING PROCESSOR' && kill -HUP "$signalled_pid"
wait_line "$terminal" 'PROGRAMMING PROCESSOR' && kill -KILL "$terminal_pid"
wait "$killed_pid" || true
last_ms=$(grep -v '^#' "$killed/run.trace" | tail -n1 | cut -d' ' -f1)
echo "killed at 8 s: the trace reaches ${last_ms:-0} ms; the run log file's last line: $(tail -n1 "$killed/qvm7316-update.log")"
check "the killed run's trace reaches at least 5 s" test "${last_ms:-0}" -ge 5000

wait "$reference_pid"
signalled_code=0
wait "$signalled_pid" || signalled_code=$?
wait_line "$terminal" '=== end:' || true
echo "reference run: $(run_length "$reference") s; hang-up by a signal: $(run_length "$signalled") s (exit code" \
    "$signalled_code); by the terminal: $(run_length "$terminal") s"
check "the run with a SIGHUP ends as it would have (exit code 0)" test "$signalled_code" = 0
for dir in "$signalled" "$terminal"; do
    name=$(basename "$dir")
    check "$name: the hang-up is recorded" grep -q '^=== the terminal was closed (SIGHUP): the update goes on' \
        "$dir/qvm7316-update.log"
    check "$name: the run succeeded" grep -q '^=== end: succeeded after' "$dir/qvm7316-update.log"
    for f in processor.bin prom.bin gatearray.bin; do
        check "$name: the device holds what the reference run left ($f)" cmp -s "$reference/dump/$f" "$dir/dump/$f"
    done
done
check "the machine-awake line is in the run log file" grep -q '^=== the machine is \(not \)\?kept awake' \
    "$reference/qvm7316-update.log"
echo "reference run: $(grep '^=== the machine is' "$reference/qvm7316-update.log")"

wait "$read_at_once_pid"
wait "$stalled_pid"
at_once=$(run_length "$read_at_once")
with_stall=$(run_length "$stalled")
echo "200-page PROM: output read at once: $at_once s; left unread for 15 s: $with_stall s"
check "a 15 s stall of the output changes the run's length by under a second" \
    awk -v a="$at_once" -v b="$with_stall" 'BEGIN { d = b - a; if (d < 0) d = -d; exit !(a > 0 && b > 0 && d < 1) }'
echo "the stalled console says: $(grep -h 'log lines not shown here' "$stalled/console.log" || echo 'no line left out')"

exit $failed
