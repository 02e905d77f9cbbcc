#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a while (default 20 s;
# FUZZ_SECONDS overrides). A crash leaves its input in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
out="$PWD/build-fuzz"
mkdir -p "$out"
CXX=${FUZZ_CXX:-clang++-14}
flags=(-std=c++20 -O1 -g -I. -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)

$CXX "${flags[@]}" -o "$out/convert_hex_fuzz" tests/fuzz/convert_hex_fuzz.cpp \
  image/record_split.cpp image/hex_codec.cpp app/progress.cpp
$CXX "${flags[@]}" -o "$out/scenario_fuzz" tests/fuzz/scenario_fuzz.cpp sim/scenario.cpp

for target in convert_hex_fuzz scenario_fuzz; do
  corpus="$out/corpus-$target"
  mkdir -p "$corpus"
  [ "$target" = convert_hex_fuzz ] && cp samples/gen.hex "$corpus/" 2>/dev/null || true
  [ "$target" = scenario_fuzz ] && cp tests/fuzz/*.scenario "$corpus/" 2>/dev/null || true
  echo "== $target for ${seconds}s =="
  "$out/$target" -max_total_time="$seconds" -max_len=4096 -artifact_prefix="$out/$target-" "$corpus" 2>&1 | tail -3
done
