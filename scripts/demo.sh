#!/usr/bin/env bash
# Sets up, builds, and runs the whole update against the emulated device
# with the sample images of samples/, in virtual time, in the folder
# build-release/demo/. What the device ended up holding goes to
# build-release/demo/dump/. Extra arguments go to the program (e.g.
# --realtime).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target qvm7316-update
work=build-release/demo
rm -rf "$work" && mkdir -p "$work"
for image in gen.hex genprom.hex GEN.dat; do
    if [ -f "samples/$image" ]; then
        cp "samples/$image" "$work/"
    else
        echo "demo: samples/$image is missing; the update will stop where it needs it" >&2
    fi
done
status=0
build-release/qvm7316-update -C "$work" --simulate --yes --dump dump "$@" || status=$?
echo "demo: exit code $status; what the emulated device holds is in $work/dump/"
exit "$status"
