#!/usr/bin/env bash
# The reports (--report) and the device list (--list --json) of the console
# program, against the emulated device, validated against their JSON
# schemas in docs/ with python3-jsonschema: a success, a failure, a stop,
# two refusals, and listings with and without access; then reports made
# wrong on purpose, which the schema must refuse.
#
# Usage: tests/report_schema_test.sh <console program> <python3 with jsonschema>
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
console=$(cd "$(dirname "${1:?console program}")" && pwd)/$(basename "$1")
python=${2:?python3 with jsonschema}
report_schema=$src/docs/report.schema.json
list_schema=$src/docs/device-list.schema.json
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}
valid() {  # valid <schema> <instance> <what>
    "$python" -m jsonschema -i "$2" "$1" >"$work/errors" 2>&1 || {
        fail "$3 does not match $(basename "$1"):"
        head -n 5 "$work/errors"
    }
}
invalid() {  # invalid <schema> <instance> <what>
    if "$python" -m jsonschema -i "$2" "$1" >/dev/null 2>&1; then fail "the schema takes $3"; fi
}

"$python" -c 'import json, sys, jsonschema
for path in sys.argv[1:]:
    jsonschema.Draft202012Validator.check_schema(json.load(open(path)))' "$report_schema" "$list_schema" ||
    fail "the schemas are not valid JSON schemas"

# One run in a folder of its own, with the sample images but those named
# in NO_IMAGE: run <name> <expected exit code> <scenario text> [<option>...]
run() {
    local name=$1 code=$2 scenario=$3 got=0 image
    shift 3
    mkdir -p "$work/$name"
    for image in gen.hex genprom.hex GEN.dat; do
        [ "$image" = "${NO_IMAGE:-}" ] || cp "$src/samples/$image" "$work/$name/"
    done
    printf '%s\n' "$scenario" >"$work/$name/run.scenario"
    "$console" -C "$work/$name" --simulate=run.scenario --yes --no-log "$@" >"$work/$name/out.txt" \
        2>"$work/$name/err.txt" || got=$?
    [ "$got" = "$code" ] || fail "$name: exit code $got, not $code"
}

run succeeded 0 '# a device that answers well' --report report.json
run failed 24 'fail = FT_Purge 5' --report report.json
run stopped 143 'terminate_after = FT_GetStatus 10' --report report.json
run refused-no-device 28 'devices =' --report report.json
NO_IMAGE=GEN.dat run refused-image 31 '' --report report.json

for name in succeeded failed stopped refused-no-device refused-image; do
    if [ -s "$work/$name/report.json" ]; then
        valid "$report_schema" "$work/$name/report.json" "the report of $name"
        grep -q "\"outcome\": \"${name%%-*}\"" "$work/$name/report.json" || fail "$name: the report's outcome"
    else
        fail "$name: no report"
    fi
done

run list 0 'devices = QVM7316 [A1], FT232R USB UART [], QVM7316 [B2]
no_access = 3' --list --json
valid "$list_schema" "$work/list/out.txt" "the device list"
grep -q '"access": false' "$work/list/out.txt" || fail "the device list: no device without access"
run empty-list 0 'devices =' --list --json
valid "$list_schema" "$work/empty-list/out.txt" "the empty device list"

# Wrong on purpose: the schema must refuse each.
good=$work/succeeded/report.json
mutate() {  # mutate <sed expression> <what>
    sed "$1" "$good" >"$work/wrong.json"
    cmp -s "$good" "$work/wrong.json" && fail "the mutation for $2 changed nothing"
    invalid "$report_schema" "$work/wrong.json" "$2"
}
mutate 's/"outcome": "succeeded"/"outcome": "maybe"/' "an unknown outcome"
mutate 's/"exit_code": 0/"exit_code": 28/' "a success with a failure's exit code"
mutate 's/"name": "gen.hex"/"name": "GEN.dat"/' "images out of order"
mutate 's/"started": "\([0-9-]*\)T/"started": "\1 /' "a time that is not ISO 8601"
mutate '/"device_changed"/s/true/false/' "a success that changed nothing"
mutate 's/"status": "OK"/"status": "FINE"/' "an unknown stage status"
sed 's/"access": true/"access": "yes"/' "$work/list/out.txt" >"$work/wrong.json"
invalid "$list_schema" "$work/wrong.json" "a device list with a text for access"

echo "report schema test: $failed failed"
[ "$failed" = 0 ]
