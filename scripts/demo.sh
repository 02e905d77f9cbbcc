#!/usr/bin/env bash
# Sets up, builds, and runs the whole update against the emulated device in
# samples/, in virtual time. What the device ended up holding goes to
# build/demo-dump/. Extra arguments go to the program (e.g. --realtime).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target qvm7316-update
work=build-release/demo
rm -rf "$work" && mkdir -p "$work"
cp samples/gen.hex samples/genprom.hex samples/GEN.dat "$work"/ 2>/dev/null || true
build-release/qvm7316-update -C "$work" --simulate --yes --dump dump "$@"
