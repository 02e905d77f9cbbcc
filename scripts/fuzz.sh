#!/usr/bin/env bash
# Builds the fuzz targets (CMake preset "fuzz": clang's libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for a
# while (default 20 s; FUZZ_SECONDS overrides). A crash leaves its input in
# build-fuzz/findings/. To replay one: build-fuzz/tests/fuzz/<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

out="$PWD/build-fuzz"
mkdir -p "$out/findings"
seed() {  # seed <target>: the files its corpus starts from
    case $1 in
        convert_hex_fuzz) echo samples/gen.hex ;;
        prom_line_fuzz) echo samples/genprom.hex ;;
        image_check_fuzz) echo samples/gen.hex samples/genprom.hex ;;
        scenario_fuzz) echo tests/fuzz/seed.scenario ;;
        trace_reader_fuzz) echo tests/fuzz/seed.trace ;;
    esac
}
for target in convert_hex_fuzz prom_line_fuzz block_request_fuzz device_replies_fuzz image_check_fuzz scenario_fuzz trace_reader_fuzz; do
    corpus="$out/corpus/$target"
    mkdir -p "$corpus"
    for f in $(seed "$target"); do cp "$f" "$corpus/"; done
    if [ "$target" = trace_reader_fuzz ]; then gzip -9 -n -c tests/fuzz/seed.trace >"$corpus/seed.trace.gz"; fi
    echo "== $target for ${seconds}s =="
    "$out/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -artifact_prefix="$out/findings/$target-" \
        "$corpus" 2>&1 | tail -3
done
