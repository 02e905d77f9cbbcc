#!/usr/bin/env bash
# Installs what building and testing the updater needs, from Debian's
# package registry. Safe to run again.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

PACKAGES=(
  # Linux build and tests
  g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev
  # the libftdi1 backend's headers (the libraries are loaded at run time)
  libftdi1-dev libusb-1.0-0-dev
  # the tests through the real libftdi1 and libusb: a USB device emulated
  # at the kernel's usbfs level, and the libraries themselves
  umockdev libumockdev-dev libftdi1-2
  # reading traces compressed with gzip (--replay)
  zlib1g-dev
  # the report (--report) and --list --json: JSON for Modern C++, header-only,
  # in the Windows builds too; the test of both against their JSON schemas
  nlohmann-json3-dev python3-jsonschema
  # the tests of keeping the machine awake: logind's stand-in (sd-bus) on a
  # bus of their own (the program loads libsystemd at run time, no header)
  libsystemd-dev dbus-daemon
  # external checks of hex files
  srecord
  # fuzzing (libFuzzer) with the sanitizers
  clang-14 libclang-rt-14-dev
  # Windows build, its resources, and its end-to-end test under Wine
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64
  wine64 wine xvfb xdotool openbox imagemagick x11-apps
  # the packages (scripts/package.sh): the .deb and its dependencies, the zip,
  # and the checks of the manual page, the udev rule and the Windows program
  dpkg-dev file zip unzip groff-base man-db udev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
