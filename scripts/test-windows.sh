#!/usr/bin/env bash
# Builds the Windows program for x86-64 and i686 with mingw-w64, checks both
# statically (subsystem, imports, resources, the stand-in DLL's exports), and
# runs the x86-64 program end to end under Wine. Screenshots of the run are
# kept in build-win64/e2e/screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

echo "== Windows x86-64 build =="
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"

echo "== Windows i686 build =="
cmake --preset windows-i686 >/dev/null
cmake --build --preset windows-i686 -j"$jobs" --target qvm7316-update ftd2xx_standin

echo "== Static checks =="
bash tests/e2e/static_checks.sh build-win64 x86_64
bash tests/e2e/static_checks.sh build-win32 i686

# The end-to-end test compares the dialog program's log and device contents
# with those of the console program, built here for Linux.
echo "== End-to-end test under Wine =="
cmake -S . -B build-windows-linux -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-windows-linux -j"$jobs" --target qvm7316-update
bash tests/e2e/run_e2e.sh build-win64 build-windows-linux/qvm7316-update
