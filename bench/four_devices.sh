#!/usr/bin/env bash
# Four updates at once on four emulated QVM7316, one process per device, in
# real time, as on a service bench: the recipe of the README, with the
# emulated bench of bench/four_devices.scenario in place of real devices.
# Prints each update's time and the CPU time the four processes took
# together. Goals: all four finish within 0.5 % of one device's schedule
# (the time an update takes in virtual time), and the four use under 1 % of
# a core together.
#
# Usage: bench/four_devices.sh [console program]   (default: build-release/qvm7316-update)
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build-release/qvm7316-update}")
work=$(mktemp -d "${TMPDIR:-/tmp}/qvm7316-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp bench/four_devices.scenario "$work/bench.scenario"

# One device's schedule: the same update in virtual time.
mkdir -p "$work/schedule"
cp samples/gen.hex samples/genprom.hex samples/GEN.dat "$work/schedule/"
"$program" -C "$work/schedule" --simulate --yes >/dev/null
schedule=$(sed -n 's/^=== end: succeeded after \([0-9.]*\) s$/\1/p' "$work/schedule/qvm7316-update.log")

# The README's bench recipe: one folder and one process per QVM7316 listed.
source=$PWD
cd "$work"
serials=$("$program" --simulate=bench.scenario --list | awk '$NF == "QVM7316" { print $2 }')
bench() {
    for sn in $serials; do
        mkdir -p "$sn" && cp "$source"/samples/{gen.hex,genprom.hex,GEN.dat} "$sn/"
        "$program" -C "$sn" --simulate=../bench.scenario --realtime --serial "$sn" --yes >"$sn/console.log" 2>&1 &
    done
    wait
}
# Wall time, and the user and system CPU time of the four processes.
TIMEFORMAT='%R %U %S'
{ time bench; } 2>time.txt
read -r wall user system <time.txt

echo "one device's schedule: ${schedule} s"
for sn in $serials; do
    took=$(sed -n 's/^=== end: \(.*\)$/\1/p' "$sn/qvm7316-update.log")
    echo "$sn: $took"
done
awk -v s="$schedule" -v wall="$wall" -v u="$user" -v y="$system" 'BEGIN {
    printf "all four: %.1f s, %.2f %% over the schedule (goal: under 0.5 %%)\n", wall, 100 * (wall - s) / s
    printf "CPU of the four processes: %.2f s, %.3f %% of a core (goal: under 1 %%)\n", u + y, 100 * (u + y) / wall
}'
