#!/usr/bin/env bash
# Sets up, builds and runs every test: the unit and stage tests (also under
# AddressSanitizer and UndefinedBehaviorSanitizer), a short fuzzing run, the
# Windows build with its end-to-end test under Wine, and the packages: the
# Debian package installed on this machine and run, and the Windows zip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

echo "== Linux build and tests =="
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"

echo "== Sanitizer build and tests =="
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$jobs"
ctest --preset sanitize -j"$jobs"

echo "== Fuzzing smoke run (every fuzz target) =="
FUZZ_SECONDS=${FUZZ_SECONDS:-15} bash scripts/fuzz.sh

if [ -f scripts/test-windows.sh ]; then
  echo "== Windows build and end-to-end test =="
  bash scripts/test-windows.sh
fi

echo "== Packages: the .deb installed and run, the Windows zip =="
bash scripts/package.sh
