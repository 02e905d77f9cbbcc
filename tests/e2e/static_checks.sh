#!/usr/bin/env bash
# Static checks of the built Windows program and the stand-in FTD2XX.dll:
# what Wine cannot show (it always runs elevated and ignores the manifest)
# is read back from the files themselves with the mingw binutils.
#
# Usage: tests/e2e/static_checks.sh <windows build folder> <x86_64|i686>
set -euo pipefail

build=${1:?windows build folder}
arch=${2:?x86_64 or i686}
exe=$build/qvm7316-update.exe
dll=$build/standin/FTD2XX.dll
objdump=$arch-w64-mingw32-objdump
windres=$arch-w64-mingw32-windres

passed=0
failed=0
check() {  # check <description> <command...>
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL ($arch): $what"
    fi
}
has_line() { grep -qxF -- "$2" <<<"$1"; }
has_text() { grep -qF -- "$2" <<<"$1"; }
lacks_text() { ! grep -qiF -- "$2" <<<"$1"; }

for f in "$exe" "$dll"; do
    [ -f "$f" ] || { echo "FAIL ($arch): $f was not built"; exit 1; }
done

# Every DLL a file imports must come with Windows; the mingw runtime is
# linked in statically, and FTD2XX.dll is loaded at run time, not imported.
only_system_imports() {
    local imports name bad=0
    imports=$($objdump -p "$1" | sed -n 's/^\s*DLL Name: //p')
    [ -n "$imports" ] || return 1
    while read -r name; do
        case ${name,,} in
            kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | msvcrt.dll | advapi32.dll | shell32.dll) ;;
            *)
                echo "  $1 imports $name"
                bad=1
                ;;
        esac
    done <<<"$imports"
    return $bad
}

headers=$($objdump -p "$exe")
check "console subsystem" grep -qE '^Subsystem\s+00000003\s+\(Windows CUI\)' <<<"$headers"
check "only system DLL imports in the program" only_system_imports "$exe"
check "only system DLL imports in the stand-in DLL" only_system_imports "$dll"

# The stand-in's exports: exactly the vendor's ten names, undecorated.
exports=$($objdump -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p')
expected_exports=$(printf '%s\n' FT_Close FT_GetQueueStatus FT_GetStatus FT_ListDevices FT_OpenEx FT_Purge FT_Read \
    FT_SetLatencyTimer FT_SetTimeouts FT_Write)
check "stand-in DLL exports the ten D2XX calls undecorated" [ "$(sort <<<"$exports")" = "$expected_exports" ]

# The resources, read back from the program.
rc=$($windres -i "$exe" -O rc)

check "exactly one manifest, id 1" [ "$(grep -cE '^[0-9]+ 24 ' <<<"$rc")" = 1 ]
check "manifest id 1" has_text "$rc" '1 24 /* RT_MANIFEST */'
check "manifest requires administrator, no UI access" \
    has_text "$rc" 'requestedExecutionLevel level=""requireAdministrator"" uiAccess=""false""'
check "manifest supports Windows Vista" has_text "$rc" 'supportedOS Id=""{e2011457-1546-43c5-a5fe-008deee3d3f0}""'
check "manifest supports Windows 7" has_text "$rc" 'supportedOS Id=""{35138b9a-5d96-4fbd-8e2d-a2440225f93a}""'
check "manifest keeps the classic common controls" lacks_text "$rc" 'Microsoft.Windows.Common-Controls'

# Dialog 201. Style 0x10ca0044: WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
# WS_MINIMIZEBOX | DS_SETFONT | DS_3DLOOK. Statics 0x50020001: WS_CHILD |
# WS_VISIBLE | WS_GROUP | SS_CENTER. Buttons 0x50010000: WS_CHILD |
# WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON.
dialog=$(sed -n '/^201 DIALOGEX/,/^END/p' <<<"$rc")
check "dialog 201 at 0,0, 300 by 240" has_line "$dialog" '201 DIALOGEX 0, 0, 300, 240'
check "dialog 201 style" has_line "$dialog" 'STYLE 0x10ca0044'
check "dialog 201 has no caption text" lacks_text "$dialog" 'CAPTION'
check "dialog 201 font" has_line "$dialog" 'FONT 8, "MS Shell Dlg"'
check "dialog 201 has eleven controls" [ "$(grep -c '^  CONTROL ' <<<"$dialog")" = 11 ]
check "item 303" has_line "$dialog" '  CONTROL "", 303, "STATIC", 0x50020001, 8, 47, 302, 10'
check "item 307" has_line "$dialog" '  CONTROL "", 307, "STATIC", 0x50020001, 5, 57, 310, 10'
check "item 301" has_line "$dialog" '  CONTROL "Start", 301, "BUTTON", 0x50010000, 60, 96, 50, 14'
check "item 302" has_line "$dialog" '  CONTROL "Close", 302, "BUTTON", 0x50010000, 210, 96, 50, 14'
# The device choice below the buttons. The list 0x50210003: WS_CHILD |
# WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST.
check "item 304" has_line "$dialog" '  CONTROL "", 304, "STATIC", 0x50020001, 20, 124, 260, 10'
check "item 305" has_line "$dialog" '  CONTROL "", 305, "COMBOBOX", 0x50210003, 60, 137, 145, 80'
check "item 306" has_line "$dialog" '  CONTROL "Refresh", 306, "BUTTON", 0x50010000, 210, 136, 50, 14'
# The images below it, and after a run where its records went: left-aligned
# statics 0x50020080 (WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOPREFIX).
check "item 320" has_line "$dialog" '  CONTROL "", 320, "STATIC", 0x50020080, 10, 155, 280, 34'
check "item 321" has_line "$dialog" '  CONTROL "Check again", 321, "BUTTON", 0x50010000, 210, 191, 50, 14'
check "item 322" has_line "$dialog" '  CONTROL "", 322, "STATIC", 0x50020080, 10, 209, 280, 26'
# Right below the bar: the stage and the time left during the update.
check "item 310" has_line "$dialog" '  CONTROL "", 310, "STATIC", 0x50020001, 5, 87, 290, 8'

# Icon groups: one 32 x 32 image of 24 bits per pixel each.
for id in 101 102; do
    group=$(sed -n "/^$id 14 /,/^END/p" <<<"$rc")
    check "icon group $id: one image" has_text "$group" 'Has 1 elements'
    check "icon group $id: 32 x 32, 24 bits" has_text "$group" '"\040\040\000\000", 1, 24,'
done

# Bitmap 103: its info header holds size 40, width 247, height 50, and one
# plane with 24 bits per pixel (0x0018 << 16 | 1).
header=$(sed -n '/^103 2 /,/^END/p' <<<"$rc" | sed -n '3p' | tr -d ' L' | cut -d, -f1-4)
check "bitmap 103: 247 x 50, 24 bits per pixel" [ "$header" = "0x28,0xf7,0x32,0x180001" ]

echo "static checks ($arch): $passed passed, $failed failed"
[ "$failed" = 0 ]
