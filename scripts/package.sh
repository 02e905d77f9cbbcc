#!/usr/bin/env bash
# Builds the two packages and checks them as a user would meet them:
# - the Debian package, from the release build (build-release/), installed
#   on this machine with apt-get (as root, or with sudo) and then run: its
#   version, its help, a listing and a whole update against the emulated
#   device, with the sample images it installs, from an empty folder; its
#   manual page and udev rule are checked too;
# - the Windows zip, from the windows preset (build-win64/): the program,
#   the README and the licence notices, and never the stand-in FTD2XX.dll.
# Each step's time is printed; the packages stay in build-release/ and
# build-win64/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
jobs=$(nproc)

started=$SECONDS
step_started=$SECONDS
step() {  # step <title>: prints the last step's time and the next title
    if [ -n "${step_title:-}" ]; then echo "package: ${step_title} took $((SECONDS - step_started)) s"; fi
    step_title=$1
    step_started=$SECONDS
    [ -z "$1" ] || echo "== $1 =="
}
fail() {
    echo "package: FAILED: $*" >&2
    exit 1
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

step "Manual page"
# groff prints nothing for a page without mistakes; -ww turns on every warning.
warnings=$(groff -man -Tutf8 -ww -z packaging/qvm7316-update.1 2>&1)
[ -z "$warnings" ] || fail "groff warns about packaging/qvm7316-update.1:"$'\n'"$warnings"

step "Debian package (release build)"
cmake --preset release >/dev/null
cmake --build --preset release -j"$jobs"
rm -f build-release/qvm7316-update_*.deb
cpack --preset release
debs=(build-release/qvm7316-update_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one build-release/qvm7316-update_*_amd64.deb: ${debs[*]}"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "qvm7316-update_${version}_amd64.deb" ] || fail "$deb is not named for version $version"
[ "$(dpkg-deb -f "$deb" Package)" = qvm7316-update ] || fail "$deb: package name $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "$deb: architecture $(dpkg-deb -f "$deb" Architecture)"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libftdi1-2 libstdc++6 libc6; do
    tr ',' '\n' <<<"$depends" | awk '{ print $1 }' | grep -qxF "$needed" || fail "$deb does not depend on $needed: $depends"
done
dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|; s|/$||' | sort >"$scratch/deb-files"
expected=(
    /usr/bin/qvm7316-update
    /usr/share/man/man1/qvm7316-update.1
    /usr/lib/udev/rules.d/60-qvm7316.rules
    /usr/share/doc/qvm7316-update/README.md
    /usr/share/doc/qvm7316-update/samples/gen.hex
    /usr/share/doc/qvm7316-update/samples/genprom.hex
    /usr/share/doc/qvm7316-update/samples/GEN.dat
    /usr/share/doc/qvm7316-update/licences/nlohmann-json.txt
)
for doc in docs/*.md docs/*.schema.json; do expected+=("/usr/share/doc/qvm7316-update/$(basename "$doc")"); done
for f in "${expected[@]}"; do grep -qxF "$f" "$scratch/deb-files" || fail "$deb lacks $f"; done
# Only the updater is a program of the package: no tests, benchmarks or tools.
programs=$(grep -E '^/usr/(s?bin|libexec)/.' "$scratch/deb-files" || true)
[ "$programs" = /usr/bin/qvm7316-update ] || fail "$deb holds other programs: $programs"

step "Installing the Debian package"
if [ -z "$(apt-cache policy libftdi1-2 | awk '/Candidate:/ { print $2 }' | grep -v '(none)')" ]; then
    $SUDO apt-get update
fi
# --reinstall: a package of the same version may already be installed from
# an earlier build; it must be replaced by this one.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "./$deb"
[ "$(dpkg-query -W -f='${Version}' qvm7316-update)" = "$version" ] || fail "qvm7316-update $version is not installed"

step "Checking the installed program"
program=$(command -v qvm7316-update) || fail "qvm7316-update is not on the PATH"
[ "$program" = /usr/bin/qvm7316-update ] || fail "qvm7316-update found at $program, not /usr/bin"
out=$(qvm7316-update --version) || fail "--version exits with $?"
[ "$out" = "qvm7316-update $version" ] || fail "--version says '$out', the package is $version"
out=$(qvm7316-update --help) || fail "--help exits with $?"
grep -q '^Usage: qvm7316-update' <<<"$out" || fail "--help shows no usage line"
man_warnings=$(MANWIDTH=80 man --warnings qvm7316-update 2>&1 >/dev/null) || fail "man qvm7316-update fails"
[ -z "$man_warnings" ] || fail "man qvm7316-update warns:"$'\n'"$man_warnings"
if command -v udevadm >/dev/null; then
    # udevadm reads every rules file and names each line it cannot take.
    rule_errors=$(udevadm test /sys/class/net/lo 2>&1 | grep '60-qvm7316\.rules:' || true)
    [ -z "$rule_errors" ] || fail "udev refuses the rule:"$'\n'"$rule_errors"
fi

# Listing and the whole update run from an empty folder of their own, with
# the sample images the package installs and nothing from the source tree.
run="$scratch/run"
mkdir "$run"
status=0
(cd "$run" && qvm7316-update --list --simulate >"$scratch/list.out" 2>&1) || status=$?
cat "$scratch/list.out"
[ "$status" -eq 0 ] || fail "--list --simulate exits with $status"
[ "$(awk '$NF == "QVM7316"' "$scratch/list.out" | wc -l)" -eq 1 ] || fail "--list --simulate does not list one QVM7316"
[ -z "$(ls -A "$run")" ] || fail "--list left files behind: $(ls -A "$run")"
# The package's dependency brings libftdi1, the default driver: it loads and
# lists the machine's FTDI devices (none, on a build machine).
status=0
qvm7316-update --list --driver=libftdi >"$scratch/libftdi.out" 2>&1 || status=$?
cat "$scratch/libftdi.out"
[ "$status" -eq 0 ] || fail "--list with libftdi1 exits with $status"
cp /usr/share/doc/qvm7316-update/samples/{gen.hex,genprom.hex,GEN.dat} "$run/"
status=0
(cd "$run" && qvm7316-update --simulate --yes >"$scratch/update.out" 2>&1) || status=$?
tail -3 "$scratch/update.out"
[ "$status" -eq 0 ] || fail "the update with --simulate exits with $status"
grep -q 'Programming finished successfully!' "$scratch/update.out" || fail "the update did not say it finished"
[ -s "$run/gn.hex" ] || fail "the update wrote no gn.hex"
grep -q '^=== end: ' "$run/qvm7316-update.log" || fail "the update's run log file has no result line"

step "Windows zip (windows build)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
rm -f build-win64/qvm7316-update-*.zip
cpack --preset windows
zip="build-win64/qvm7316-update-${version}-win64.zip"
[ -f "$zip" ] || fail "$zip was not made"
unzip -Z1 "$zip" >"$scratch/zip-files"
cat "$scratch/zip-files"
top="qvm7316-update-${version}-win64"
for f in qvm7316-update.exe README.md NOTICE.txt licences/GPL-3.txt; do
    grep -qxF "$top/$f" "$scratch/zip-files" || fail "$zip lacks $top/$f"
done
if grep -qi 'ftd2xx' "$scratch/zip-files"; then fail "$zip holds the stand-in FTD2XX.dll"; fi
others=$(grep -iE '\.(exe|dll)$' "$scratch/zip-files" | grep -vxF "$top/qvm7316-update.exe" || true)
[ -z "$others" ] || fail "$zip holds other programs or libraries: $others"
unzip -q "$zip" -d "$scratch/zip"
file "$scratch/zip/$top/qvm7316-update.exe" | grep -q 'PE32+ executable (console) x86-64' ||
    fail "the zip's qvm7316-update.exe is not an x86-64 Windows console program"
# NOTICE.txt names a notice for each library linked in, and every notice it
# names is there; libstdc++'s and libgcc's carry the runtime library exception.
for library in crt2.o libmingwex.a libwinpthread.a libstdc++.a libgcc.a json.hpp; do
    grep -qF "($library, Debian package " "$scratch/zip/$top/NOTICE.txt" || fail "NOTICE.txt does not name $library"
done
for notice in $(grep -oE '^  licences/[^ ]+\.txt$' "$scratch/zip/$top/NOTICE.txt"); do
    [ -s "$scratch/zip/$top/$notice" ] || fail "NOTICE.txt names $notice, which the zip lacks"
done
grep -l 'GCC RUNTIME LIBRARY EXCEPTION' "$scratch/zip/$top"/licences/*.txt >/dev/null ||
    fail "no notice in the zip carries the GCC Runtime Library Exception"

step ""
echo "package: $deb and $zip made and checked in $((SECONDS - started)) s"
