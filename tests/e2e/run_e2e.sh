#!/usr/bin/env bash
# End-to-end test of the Windows program: the real qvm7316-update.exe under
# Wine in a virtual X display (Xvfb) with a window manager (openbox), the
# stand-in FTD2XX.dll beside it and the sample images in its working folder.
# The dialog is driven with keys as a user would; every wait is on a window,
# a window state or a log line, with a deadline. What the windows show is
# read with inspect_window.exe (run under the same Wine) and from
# screenshots, which are kept in <build>/e2e/screenshots.
#
# Scenarios:
#   missing-icon the program built without its icon: the warning, then the
#                icon's failure box and exit code 1, no dialog
#   no-device    no FTDI device attached: the "Programming failed" box with
#                its reason, the red bar, Close enabled and focused, Start
#                disabled, exit 0, and the run log file records the failure
#   images       the images before Start: one that fails keeps Start
#                disabled until it is replaced and checked again; an image
#                replaced after the check is found at Start, which shows the
#                new summary and runs nothing until Start is pressed again;
#                the run's report (--report) holds the images it sent, and
#                the dialog shows where the run log and the report went
#   planted-dll  an FTD2XX.dll beside the program, in the working folder, is
#                never loaded: the driver is taken from the system folder only
#   two-devices  two QVM7316 attached: the dialog lists both, Start waits
#                for a choice; the second is chosen with the keyboard and the
#                run reaches it alone (its processor firmware, its serial
#                number in every open), until a fault the scenario sets
#                ends it early; with --serial naming a third, the failure
#                box says it is not found before anything is sent
#   update       the whole update: the log and what the device ends up
#                holding equal those of the console program run against the
#                same emulated device; a second Start and the close box are
#                refused while it runs, and so is the session's end
#                (WM_QUERYENDSESSION); below the bar the stage and the time
#                left, which the dialog counts down while the worker waits
#                for the gate array's erase report; " QVM7316 - DONE!", the success text,
#                the green bar, focus on Close, exit 0; the run log file says
#                the machine was kept awake; the run's --trace, replayed by
#                the console program, gives the same log without divergence;
#                the dialog shows the images before Start and, after the
#                run, where its run log and report (--report) were written
#   session-end  the session ends anyway during a run (WM_ENDSESSION): the
#                dialog stops the run within the few seconds Windows allows,
#                carrying out the worker's window messages meanwhile, and
#                the failure box gives the advice to run the update again;
#                the console program's hidden window refuses the session's
#                end, then stops the run the same way (exit code 143); both
#                run log files record it
#
# The stand-in FTD2XX.dll is installed as the system's (in the Wine
# prefix's system32) for the scenarios that need a device, and removed for
# the others.
#
# Usage: tests/e2e/run_e2e.sh <windows build folder> <linux console program>
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?windows build folder}" && pwd)
console=$(cd "$(dirname "${2:?linux console program}")" && pwd)/$(basename "$2")
exe=$build/qvm7316-update.exe
console_exe=$build/qvm7316-update-console.exe
standin=$build/standin/FTD2XX.dll
inspector=$build/e2e-tools/inspect_window.exe
no_icon_exe=$build/e2e-tools/qvm7316-update-no-icon.exe
out=$build/e2e
shots=$out/screenshots
started=$SECONDS

for f in "$exe" "$console_exe" "$standin" "$inspector" "$no_icon_exe" "$console"; do
    [ -f "$f" ] || { echo "e2e: $f is missing; build it first" >&2; exit 2; }
done
rm -rf "$out/runs" "$shots"
mkdir -p "$out/runs" "$shots"

# ---- Results -------------------------------------------------------------

passed=0
failed=0
note() { printf 'e2e [%3ds] %s\n' $((SECONDS - started)) "$*"; }
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    note "FAIL: $*"
}
check() {  # check <description> <command...>
    local what=$1
    shift
    if "$@"; then pass; else fail "$what"; fi
}

# ---- Waiting, windows, keys ----------------------------------------------

wait_for() {  # wait_for <seconds> <description> <command...>: polls until the command succeeds
    local limit=$1 what=$2
    shift 2
    local end=$((SECONDS + limit))
    until "$@"; do
        if [ "$SECONDS" -ge "$end" ]; then
            fail "no $what within ${limit}s"
            return 1
        fi
        sleep 0.2
    done
}

# Window names are matched as anchored regular expressions.
BOX='^ZORL Quiven vuru Vivazuruvi$'
IDLE='^QVM7316$'
RUNNING='^ QVM7316 - [0-9]+%$'
DONE='^ QVM7316 - DONE!$'

window_id() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1; }
window_shown() { [ -n "$(window_id "$1")" ]; }
window_gone() { ! window_shown "$1"; }
is_active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]; }
dialog_pattern() { echo "^QVM7316$|^ QVM7316 - "; }

press() {  # press <window pattern> <xdotool key arguments...>
    local pattern=$1 id
    shift
    id=$(window_id "$pattern")
    [ -n "$id" ] || { fail "no window $pattern to send $* to"; return 1; }
    xdotool windowactivate "$id" 2>/dev/null || true
    wait_for 10 "activation of $pattern" is_active "$id" || return 1
    xdotool key "$@"
}

# What a window shows, by its exact title (see inspect_window.cpp).
inspect() { wine "$inspector" "$1" 2>/dev/null | tr -d '\r'; }
dialog_title() { xdotool getwindowname "$(window_id "$(dialog_pattern)")" 2>/dev/null; }
inspect_dialog() { inspect "$(dialog_title)"; }
shows() { grep -qxF -- "$2" <<<"$1"; }       # shows <inspection> <exact line>
focus_on() { grep -q "^window focus=$2 " <<<"$1"; }
dialog_focus_on() { focus_on "$(inspect_dialog)" "$1"; }
# The dialog shows what changed and then moves the keyboard, in one message;
# an inspection can fall between the two, so the focus is waited for.
check_focus_moves() { wait_for 10 "$1" dialog_focus_on "$2" && pass; }  # check_focus_moves <description> <item>

shot() { import -window root "$shots/$1.png"; }

# The session's end, as Windows announces it to a window (see
# inspect_window.cpp). The dialog's title changes with the progress, so a
# try that finds no window is made again: while the processor is programmed
# it changes every few hundred ms, faster than Wine starts the inspector,
# for some ten seconds.
to_dialog() {  # to_dialog <inspect_window option...>: sends to the dialog
    local i
    for i in $(seq 30); do
        wine "$inspector" "$@" "$(dialog_title)" 2>/dev/null | tr -d '\r' && return 0
    done
    return 1
}
query_end_session() { to_dialog --query-end-session; }

# Client-area pixels of the dialog in the last screenshot, as "r,g,b".
client_x=0
client_y=0
locate_client() {
    local line
    line=$(inspect_dialog | sed -n 's/^window focus=[0-9]* client=\([-0-9]*\),\([-0-9]*\) .*/\1 \2/p')
    [ -n "$line" ] || return 1
    read -r client_x client_y <<<"$line"
}
pixel() {  # pixel <screenshot> <client x> <client y>
    local x=$((client_x + $2)) y=$((client_y + $3))
    convert "$1" -format "%[fx:int(255*p{$x,$y}.r+.5)],%[fx:int(255*p{$x,$y}.g+.5)],%[fx:int(255*p{$x,$y}.b+.5)]" info:
}
ORANGE=231,91,18
WHITE=255,255,255

# The background bitmap sits at 115,10 on the orange brush: its white rule
# (bitmap columns 24 to 222, rows 45 and 46) must start exactly at client
# column 139 and rows 55 and 56.
bitmap_in_place() {  # bitmap_in_place <screenshot>
    local s=$1
    [ "$(pixel "$s" 5 5)" = $ORANGE ] && [ "$(pixel "$s" 138 55)" = $ORANGE ] &&
        [ "$(pixel "$s" 139 55)" = $WHITE ] && [ "$(pixel "$s" 337 56)" = $WHITE ] &&
        [ "$(pixel "$s" 338 56)" = $ORANGE ] && [ "$(pixel "$s" 200 54)" = $ORANGE ] &&
        [ "$(pixel "$s" 200 57)" = $ORANGE ]
}
painted_dialog() {  # painted_dialog <name>: screenshots until the bitmap shows
    shot "$1"
    bitmap_in_place "$shots/$1.png"
}
# Share of the bar's inside that has the given colour, in per cent.
bar_share() {  # bar_share <screenshot> <r,g,b>
    convert "$1" -crop "200x14+$((client_x + 28))+$((client_y + 123))" +repage \
        -fill black +opaque "rgb($2)" -fill white -opaque "rgb($2)" -format '%[fx:int(100*mean)]' info:
}

# ---- Logs ----------------------------------------------------------------

# The program's log as it wrote it: Wine's redirected standard output turns
# every "\n" into "\r\n". Progress lines end in "\r" alone; here each becomes
# a line of its own. "TxBytes:" lines count how often the transmit queue was
# still full, which depends on the real clock, so they are left out.
windows_log() { sed 's/\r$//' "$1" | tr '\r' '\n' | grep -v '^TxBytes: ' || true; }
# The console program's log: the same, after its start-up warning and
# without its closing line (the dialog shows those in boxes instead).
console_log() {
    sed '1,/^finished or damage to the device may result!$/d' "$1" |
        grep -vxE 'Programming finished successfully!|Programming failed' | tr '\r' '\n' | grep -v '^TxBytes: ' || true
}
log_has() { grep -qsF -- "$2" "$1"; }  # quiet while the program has not made the file yet
same_log() {  # same_log <console log> <windows log> <diff file>
    if diff <(console_log "$1") <(windows_log "$2") >"$3"; then return 0; fi
    note "log differs from the console program's (first lines of $3):"
    head -n 20 "$3"
    return 1
}
same_console_logs() {  # same_console_logs <console log> <console log> <diff file>
    if diff <(console_log "$1") <(console_log "$2") >"$3"; then return 0; fi
    note "the two console logs differ (first lines of $3):"
    head -n 20 "$3"
    return 1
}

# ---- X display, window manager, Wine -------------------------------------

xvfb_pid=
openbox_pid=
cleanup() {
    if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
    if [ -n "$openbox_pid" ]; then kill "$openbox_pid" 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number when it is ready.
rm -f "$out/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$out/display" >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
wait_for 30 "X display" test -s "$out/display" || exit 1
export DISPLAY=":$(head -n1 "$out/display")"
# Without a window manager every dismissal stalls and key events are lost.
# Openbox shows itself in a window named only by _NET_WM_NAME, which
# getwindowname reads but a search by name does not.
window_manager_ready() {
    local id
    for id in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
        [ "$(xdotool getwindowname "$id" 2>/dev/null)" = Openbox ] && return 0
    done
    return 1
}
# Openbox gives up at once when the display does not take its connection
# yet (seen once on a loaded machine), so wait until the display answers,
# and start openbox again if it has ended without showing itself.
wait_for 30 "answer from the X display" xdotool getdisplaygeometry || exit 1
start_openbox() {
    openbox --sm-disable >>"$out/openbox.log" 2>&1 &
    openbox_pid=$!
}
openbox_running_or_restarted() {
    window_manager_ready && return 0
    kill -0 "$openbox_pid" 2>/dev/null || start_openbox
    return 1
}
rm -f "$out/openbox.log"
start_openbox
wait_for 30 "window manager" openbox_running_or_restarted || exit 1
note "display $DISPLAY with openbox"

export WINEPREFIX=$out/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko install prompts, no menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset QVM7316_SCENARIO QVM7316_DUMP
if [ ! -f "$WINEPREFIX/.qvm7316-e2e" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >"$out/wineboot.log" 2>&1
    # Wine themes the progress bar and ignores its colour unless themes are off.
    wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive /t REG_SZ /d 0 /f \
        >>"$out/wineboot.log" 2>&1
    wineserver -w
    touch "$WINEPREFIX/.qvm7316-e2e"
    note "fresh Wine prefix"
fi

# ---- Running the program -------------------------------------------------

system_dll=$WINEPREFIX/drive_c/windows/system32/FTD2XX.dll
install_driver() { cp "$standin" "$system_dll"; }
remove_driver() { rm -f "$system_dll"; }

run=
run_pid=
launch() {  # launch <run folder> <program> [<argument>...]: starts it with the run folder as working folder
    run=$1
    local program=$2
    shift 2
    (
        cd "$run"
        set +e
        wine "$program" "$@" >stdout.log 2>stderr.log
        echo $? >exit-code
    ) &
    run_pid=$!
}
ended() { [ -s "$run/exit-code" ]; }
# Ends what is left of a run: a run that went wrong may leave windows open.
finish_run() {
    if ! wait_for 30 "end of the program" ended; then
        wineserver -k 2>/dev/null || true
    fi
    if [ -n "$run_pid" ]; then wait "$run_pid" || true; fi
    run_pid=
}

# Warning first, nothing else; Escape dismisses it and the idle dialog shows.
to_idle_dialog() {  # to_idle_dialog <scenario>
    wait_for 120 "start-up warning" window_shown "$BOX" || return 1
    check "$1: the warning comes before the dialog" window_gone "$IDLE"
    local warning
    warning=$(inspect 'ZORL Quiven vuru Vivazuruvi')
    check "$1: warning text" grep -qF 'It takes about 30 minutes to update the QVM7316.' <<<"$warning"
    shot "$1-1-warning"
    press "$BOX" Escape || return 1
    wait_for 30 "idle dialog" window_shown "$IDLE" || return 1
    wait_for 10 "warning to close" window_gone "$BOX"
}

# Start is enabled once the dialog has listed the devices (off its own
# thread), unless it waits for a choice.
start_enabled() { shows "$(inspect QVM7316)" 'item 301 Button enabled=1 text=Start'; }
wait_for_start() { wait_for 30 "Start enabled after the device listing" start_enabled; }
combo_lists() { grep -q "^combo selected=-*[0-9]* count=$1\$" <<<"$(inspect QVM7316)"; }
combo_selected() { shows "$(inspect QVM7316)" "combo selected=$1 count=$2"; }  # combo_selected <index> <count>

# The sample images as the dialog sums them up before Start, one line each.
SAMPLE_IMAGES=('gen.hex: 4855 bytes, SHA-256 db6ad08aa339, data 0x0000-0x8004'
    'genprom.hex: 24672 bytes, SHA-256 7d42715aa842' 'GEN.dat: 32000 bytes, SHA-256 883124a96116')
shows_images() {  # shows_images <inspection> <line>...: item 320 holds these lines
    local inspection=$1 first=$2
    shift 2
    shows "$inspection" "item 320 Static enabled=1 text=$first" || return 1
    local line
    for line in "$@"; do shows "$inspection" "$line" || return 1; done
}
# After a run: where the run log and the report went, as full Windows paths.
shows_records() {  # shows_records <inspection> <report file name>
    grep -qxE 'item 322 Static enabled=1 text=Run log: [A-Z]:\\.*\\qvm7316-update\.log' <<<"$1" &&
        grep -qxE "Report: [A-Z]:\\\\.*\\\\$2" <<<"$1"
}
# A report the program wrote: valid against its schema, with this outcome.
report_says() {  # report_says <report file> <outcome>
    /usr/bin/python3 -m jsonschema -i "$1" "$src/docs/report.schema.json" && grep -qF "\"outcome\": \"$2\"" "$1"
}

# The idle dialog: texts, buttons, focus, the images, the bitmap in place.
check_idle_dialog() {  # check_idle_dialog <scenario>
    wait_for_start || return 1
    check_focus_moves "$1: idle focus on Start" 301
    local idle
    idle=$(inspect QVM7316)
    check "$1: the images before Start" shows_images "$idle" "${SAMPLE_IMAGES[@]}"
    check "$1: idle Check again enabled" shows "$idle" 'item 321 Button enabled=1 text=Check again'
    check "$1: nothing about records before the run" shows "$idle" 'item 322 Static enabled=1 text='
    check "$1: idle item 303" shows "$idle" 'item 303 Static enabled=1 text=QVM7316'
    check "$1: idle item 307" shows "$idle" 'item 307 Static enabled=1 text='
    check "$1: idle Start enabled" shows "$idle" 'item 301 Button enabled=1 text=Start'
    check "$1: idle Close enabled" shows "$idle" 'item 302 Button enabled=1 text=Close'
    check "$1: idle bar at 0" grep -q '^bar position=0 ' <<<"$idle"
    locate_client || { fail "$1: dialog position"; return 1; }
    wait_for 15 "bitmap at 115,10 on the orange background" painted_dialog "$1-2-idle"
}

# After a run: Close enabled and focused, Start disabled; Return on Close
# ends the program with exit code 0.
check_finished_and_close() {  # check_finished_and_close <scenario> <bar line as a regular expression>
    wait_for 10 "focus on Close after the run" dialog_focus_on 302
    local state
    state=$(inspect_dialog)
    check "$1: Start disabled after the run" shows "$state" 'item 301 Button enabled=0 text=Start'
    check "$1: Close enabled after the run" shows "$state" 'item 302 Button enabled=1 text=Close'
    check "$1: bar after the run" grep -qxE -- "$2" <<<"$state"
    printf '%s\n' "$state" >"$run/dialog-finished.txt"
    press "$(dialog_pattern)" Return || return 1
    wait_for 30 "end of the program after Close" ended || return 1
    check "$1: exit code 0 after Close" [ "$(cat "$run/exit-code")" = 0 ]
}

# A run that fails: the box, then the red bar.
check_failure_box() {  # check_failure_box <scenario> [<reason on the box's second line>]
    wait_for 60 "\"Programming failed\" box" window_shown "$BOX" || return 1
    local box
    box=$(inspect 'ZORL Quiven vuru Vivazuruvi')
    check "$1: failure box text" grep -q 'text=Programming failed' <<<"$box"
    if [ -n "${2:-}" ]; then check "$1: failure box reason" grep -qF -- "$2" <<<"$box"; fi
    shot "$1-3-failed"
    press "$BOX" Escape || return 1
    wait_for 10 "failure box to close" window_gone "$BOX"
    shot "$1-4-finished"
}

# ---- Scenario: the icon cannot be loaded ---------------------------------

# The same program linked without its icons: after the warning, the box
# "Could not load main application icon", no dialog, exit code 1.
box_says() { grep -qxF "item 65535 Static enabled=1 text=$1" <<<"$(inspect 'ZORL Quiven vuru Vivazuruvi')"; }
scenario_missing_icon() {
    local dir=$out/runs/missing-icon
    mkdir -p "$dir"
    cp "$no_icon_exe" "$dir/qvm7316-update.exe"
    launch "$dir" ./qvm7316-update.exe
    wait_for 120 "start-up warning" window_shown "$BOX" || return 1
    press "$BOX" Escape || return 1
    wait_for 20 "\"Could not load main application icon\" box" box_says 'Could not load main application icon' || return 1
    check "missing-icon: no dialog" window_gone "$IDLE"
    shot missing-icon-2-failed
    press "$BOX" Escape || return 1
    wait_for 20 "end of the program" ended || return 1
    check "missing-icon: exit code 1" [ "$(cat "$run/exit-code")" = 1 ]
}

# ---- Scenario: no device attached ----------------------------------------

scenario_no_device() {
    local dir=$out/runs/no-device
    mkdir -p "$dir/reference"
    cp "$exe" "$standin" "$dir/"
    printf 'devices =\n' >"$dir/none.scenario"
    cp "$dir/none.scenario" "$dir/reference/"
    local image
    for image in gen.hex genprom.hex GEN.dat; do
        cp "$src/samples/$image" "$dir/"
        cp "$src/samples/$image" "$dir/reference/"
    done
    (cd "$dir/reference" && "$console" --simulate=none.scenario --yes >console.log 2>console.err) || true
    install_driver
    export QVM7316_SCENARIO=none.scenario
    launch "$dir" ./qvm7316-update.exe
    unset QVM7316_SCENARIO
    to_idle_dialog no-device || return 1
    check_idle_dialog no-device
    check "no-device: the dialog says none is attached" \
        shows "$(inspect QVM7316)" 'item 304 Static enabled=1 text=No QVM7316 attached'
    press "$IDLE" Return || return 1
    check_failure_box no-device 'no QVM7316 found - exiting' || return 1
    check "no-device: title keeps the last reading" window_shown '^ QVM7316 - 0%$'
    check_finished_and_close no-device 'bar position=0 colour=0x0000C8'
    check "no-device: log" same_log "$dir/reference/console.log" "$dir/stdout.log" "$dir/log.diff"
    check "no-device: log says no device" log_has "$dir/stdout.log" 'no QVM7316 found - exiting'
    check "no-device: the run log file records the failure" \
        log_has "$dir/qvm7316-update.log" '=== end: failed in ConnectToProcessor: USB_OPEN_FAILURE (28) after'
    check "no-device: the run log file has the run's lines" log_has "$dir/qvm7316-update.log" 'no QVM7316 found'
}

# ---- Scenario: the images before Start -----------------------------------

# GEN.dat missing when the dialog opens: Start stays disabled and the line
# says why; once the file is there, Check again enables Start. Then GEN.dat
# is replaced by other bytes before Start: the check at Start finds it, the
# dialog shows the new summary and says so, and nothing is run or recorded
# until Start is pressed again. That run (no device attached) is refused,
# and its report names the images it would have sent.
scenario_images() {
    local dir=$out/runs/images image
    mkdir -p "$dir"
    cp "$exe" "$dir/"
    for image in gen.hex genprom.hex; do cp "$src/samples/$image" "$dir/"; done
    printf 'devices =\n' >"$dir/none.scenario"
    install_driver
    export QVM7316_SCENARIO=none.scenario
    launch "$dir" ./qvm7316-update.exe --report unit.json
    unset QVM7316_SCENARIO
    to_idle_dialog images || return 1
    images_fail() { grep -q '^failed to open GEN.dat: ' <<<"$(inspect QVM7316)"; }
    wait_for 30 "the failing image in the dialog" images_fail || return 1
    local state
    state=$(inspect QVM7316)
    check "images: the images that pass are shown" \
        shows "$state" "item 320 Static enabled=1 text=${SAMPLE_IMAGES[0]}"
    check "images: Start is disabled while an image fails" shows "$state" 'item 301 Button enabled=0 text=Start'
    check_focus_moves "images: the keyboard is on Check again" 321
    locate_client || { fail "images: dialog position"; return 1; }
    wait_for 15 "bitmap at 115,10 on the orange background" painted_dialog images-2-failing

    cp "$src/samples/GEN.dat" "$dir/"
    check "images: Check again clicked" wine "$inspector" --click 321 1 QVM7316
    wait_for 30 "Start enabled once the images pass" start_enabled || return 1
    # The dialog had taken the keyboard to Check again to wait for Start.
    check_focus_moves "images: the keyboard goes on to Start once the images pass" 301
    state=$(inspect QVM7316)
    check "images: all three shown after Check again" shows_images "$state" "${SAMPLE_IMAGES[@]}"
    shot images-2-passing

    # Other bytes in GEN.dat after the check: found at Start.
    head -c 32000 /dev/zero | tr '\0' 'Q' >"$dir/GEN.dat"
    local other
    other="GEN.dat: 32000 bytes, SHA-256 $(sha256sum "$dir/GEN.dat" | cut -c1-12)"
    check "images: Start clicked" wine "$inspector" --click 301 1 QVM7316
    wait_for 30 "the box on images that changed" window_shown "$BOX" || return 1
    check "images: the box says the images changed" \
        grep -qF 'The images changed after they were checked' <<<"$(inspect 'ZORL Quiven vuru Vivazuruvi')"
    shot images-2-changed
    press "$BOX" Escape || return 1
    wait_for 10 "the box to close" window_gone "$BOX"
    wait_for 30 "Start enabled again" start_enabled || return 1
    state=$(inspect QVM7316)
    check "images: the new summary is shown" \
        shows_images "$state" "${SAMPLE_IMAGES[0]}" "${SAMPLE_IMAGES[1]}" "$other"
    check "images: nothing was run" [ ! -e "$dir/qvm7316-update.log" ]
    check "images: no report yet" [ ! -e "$dir/unit.json" ]

    wait_for 10 "focus on Start" dialog_focus_on 301 || return 1
    press "$IDLE" Return || return 1
    check_failure_box images 'no QVM7316 found - exiting' || return 1
    records_shown() { grep -q '^item 322 .*text=Run log: ' <<<"$(inspect_dialog)"; }
    wait_for 10 "where the records went" records_shown || return 1
    state=$(inspect_dialog)
    check "images: the dialog shows where the run log and the report went" shows_records "$state" unit.json
    locate_client || fail "images: dialog position"
    shot images-5-records
    check_finished_and_close images 'bar position=0 colour=0x0000C8'
    check "images: the report validates and says refused" report_says "$dir/unit.json" refused
    check "images: the report holds the images the run would have sent" \
        grep -qF "\"sha256\": \"$(sha256sum "$dir/GEN.dat" | cut -d' ' -f1)\"" "$dir/unit.json"
    check "images: one run in the run log file" [ "$(grep -c '^=== end: ' "$dir/qvm7316-update.log")" = 1 ]
    check "images: the run log file holds the summary shown" log_has "$dir/qvm7316-update.log" "$other"
}

# ---- Scenario: a planted FTD2XX.dll in the working folder ----------------

# The program runs elevated, often from a folder anyone may write to, and
# reads its images from there; a DLL put beside it must not be loaded. This
# one would attach a working device; the system has no driver.
scenario_planted_dll() {
    local dir=$out/runs/planted-dll image
    mkdir -p "$dir"
    cp "$exe" "$standin" "$dir/"
    for image in gen.hex genprom.hex GEN.dat; do cp "$src/samples/$image" "$dir/"; done
    remove_driver
    launch "$dir" ./qvm7316-update.exe
    wait_for 120 "start-up warning" window_shown "$BOX" || return 1
    press "$BOX" Escape || return 1
    wait_for 30 "idle dialog" window_shown "$IDLE" || return 1
    wait_for_start || return 1
    press "$IDLE" Return || return 1
    local missing='FTD2XX.dll is not in the Windows system folder: the FTDI D2XX device driver is not installed'
    check_failure_box planted-dll "$missing" || return 1
    check_finished_and_close planted-dll 'bar position=0 colour=0x0000C8'
    check "planted-dll: the driver is reported missing" log_has "$dir/stdout.log" "$missing"
    check "planted-dll: no device was listed" bash -c "! grep -q 'FTDI device(s) found' '$dir/stdout.log'"
}

# ---- Scenario: two devices, one chosen in the dialog ----------------------

# Two QVM7316 attached: the dialog lists both and Start waits for a choice;
# the second is chosen with the keyboard and the run reaches it alone. The
# scenario fails the first purge of the processor reset, so that the run
# ends after the processor programming: by then the chosen device holds its
# firmware. The console program's run with --serial B2 is the reference.
# Both set the chip's latency timer to 16 ms, from the command line.
scenario_two_devices() {
    local dir=$out/runs/two-devices image
    mkdir -p "$dir/reference"
    cp "$exe" "$dir/"
    for image in gen.hex genprom.hex GEN.dat; do
        cp "$src/samples/$image" "$dir/"
        cp "$src/samples/$image" "$dir/reference/"
    done
    printf 'devices = QVM7316 [A1], QVM7316 [B2]\nfail = FT_Purge 2\n' >"$dir/two.scenario"
    cp "$dir/two.scenario" "$dir/reference/"
    (cd "$dir/reference" && "$console" --simulate=two.scenario --serial B2 --latency-ms 16 --yes --dump dump \
        >console.log 2>console.err) || true
    install_driver
    export QVM7316_SCENARIO=two.scenario QVM7316_DUMP=device-dump
    launch "$dir" ./qvm7316-update.exe --trace two.trace --latency-ms 16
    unset QVM7316_SCENARIO QVM7316_DUMP
    to_idle_dialog two-devices || return 1
    wait_for 30 "both devices in the dialog's list" combo_lists 2 || return 1
    local idle
    idle=$(inspect QVM7316)
    check "two-devices: the dialog asks for a choice" \
        shows "$idle" 'item 304 Static enabled=1 text=2 QVM7316 attached - choose the one to update:'
    check "two-devices: A1 listed" shows "$idle" 'combo item 0 text=A1  QVM7316'
    check "two-devices: B2 listed" shows "$idle" 'combo item 1 text=B2  QVM7316'
    check "two-devices: none chosen yet" shows "$idle" 'combo selected=-1 count=2'
    check "two-devices: Start waits for a choice" shows "$idle" 'item 301 Button enabled=0 text=Start'
    check_focus_moves "two-devices: the keyboard is on the list" 305
    locate_client || { fail "two-devices: dialog position"; return 1; }
    wait_for 15 "bitmap at 115,10 on the orange background" painted_dialog two-devices-2-idle

    # The list open, as a user sees it; closed again, the second chosen
    # with the arrow keys.
    press "$IDLE" alt+Down || return 1
    sleep 1
    shot two-devices-3-list-open
    press "$IDLE" Escape || return 1
    check "two-devices: still none chosen" combo_selected -1 2
    press "$IDLE" Down Down || return 1
    wait_for 10 "B2 chosen" combo_selected 1 2 || return 1
    wait_for_start || return 1
    shot two-devices-4-chosen
    check "two-devices: B2 shows as chosen" shows "$(inspect QVM7316)" 'item 305 ComboBox enabled=1 text=B2  QVM7316'
    # Refresh lists the devices again and keeps the choice while it is
    # attached.
    check "two-devices: Refresh clicked" wine "$inspector" --click 306 1 QVM7316
    sleep 1
    wait_for 10 "the list after Refresh" combo_selected 1 2
    check "two-devices: Start still enabled after Refresh" start_enabled

    press "$IDLE" Return || return 1
    wait_for 60 "handshake in the log" log_has "$dir/stdout.log" 'Returned Char = ' || return 1
    wait_for 10 "progress in the title" window_shown "$RUNNING"
    shot two-devices-5-running
    local running
    running=$(inspect_dialog)
    check "two-devices: the list is locked while running" shows "$running" 'item 305 ComboBox enabled=0 text=B2  QVM7316'
    check "two-devices: Refresh is locked while running" shows "$running" 'item 306 Button enabled=0 text=Refresh'
    check_failure_box two-devices || return 1
    check_finished_and_close two-devices 'bar position=[0-9]+ colour=0x0000C8'

    check "two-devices: log equals the console program's with --serial B2" \
        same_log "$dir/reference/console.log" "$dir/stdout.log" "$dir/log.diff"
    check "two-devices: the run stopped where the scenario stops it" \
        log_has "$dir/stdout.log" 'failed in ResetProcessor: USB_PURGE_FAILURE (24)'
    # Written on Windows: CR LF line ends.
    local opens
    opens=$(tr -d '\r' <"$dir/two.trace" | grep ' FT_OpenEx ' || true)
    check "two-devices: three connections" [ "$(grep -c . <<<"$opens")" = 3 ]
    check "two-devices: every connection opened B2" [ "$(grep -vc ' FT_OpenEx serial "B2" = 0$' <<<"$opens")" = 0 ]
    check "two-devices: the trace holds no listing from before Start" \
        bash -c "! grep -q 'FT_ListDevices 0x' '$dir/two.trace'"
    check "two-devices: the run log file names the device" \
        log_has "$dir/qvm7316-update.log" "=== device: serial number B2, description 'QVM7316'"
    # --latency-ms on the dialog's command line: set on both connections
    # that got past their purge, named in the records; the replay takes it.
    check "two-devices: the latency timer of the command line set" \
        [ "$(tr -d '\r' <"$dir/two.trace" | grep -c ' FT_SetLatencyTimer 16 = 0$')" = 2 ]
    check "two-devices: the run log file names the latency timer" \
        log_has "$dir/qvm7316-update.log" ', latency timer 16 ms: gen.hex '
    check "two-devices: B2 holds the firmware the console run gave it" \
        cmp -s "$dir/reference/dump/processor.bin" "$dir/device-dump/processor.bin"
    check "two-devices: the dump is B2's" \
        cmp -s "$dir/reference/dump/device.txt" <(tr -d '\r' <"$dir/device-dump/device.txt")
    local replay_code=0
    (cd "$dir" && "$console" --replay two.trace --serial B2 --no-log >replay.log 2>replay.err) || replay_code=$?
    check "two-devices: the trace replays with --serial B2 (exit $replay_code)" \
        log_has "$dir/replay.err" 'replayed to its end without divergence'
}

# With --serial naming a device that is not attached: refused before
# anything is sent, with the reason in the failure box.
scenario_serial_absent() {
    local dir=$out/runs/serial-absent image
    mkdir -p "$dir"
    cp "$exe" "$dir/"
    for image in gen.hex genprom.hex GEN.dat; do cp "$src/samples/$image" "$dir/"; done
    printf 'devices = QVM7316 [A1], QVM7316 [B2]\n' >"$dir/two.scenario"
    install_driver
    export QVM7316_SCENARIO=two.scenario
    launch "$dir" ./qvm7316-update.exe --serial C3
    unset QVM7316_SCENARIO
    to_idle_dialog serial-absent || return 1
    check "serial-absent: the dialog shows the choice of the command line" \
        shows "$(inspect QVM7316)" 'item 304 Static enabled=1 text=QVM7316 C3, chosen with --serial'
    wait_for_start || return 1
    press "$IDLE" Return || return 1
    check_failure_box serial-absent 'QVM7316 C3 not found - exiting' || return 1
    check_finished_and_close serial-absent 'bar position=0 colour=0x0000C8'
    check "serial-absent: nothing was sent" \
        log_has "$dir/stdout.log" 'Nothing was sent to the QVM7316: the device was not changed.'
}

# ---- Scenario: the whole update -------------------------------------------

# The line below the bar: the stage and the time left.
time_left() { inspect_dialog | sed -n 's/^item 310 Static enabled=1 text=//p'; }
time_left_shows() { grep -qxE -- "$1" <<<"$(time_left)"; }
seconds_left() { sed -n 's/^Erasing the gate array - about \([0-9]*\) s left$/\1/p' <<<"$1"; }
counts_down() {  # counts_down <earlier text> <later text>: the same stage, fewer seconds
    local a b
    a=$(seconds_left "$1")
    b=$(seconds_left "$2")
    [ -n "$a" ] && [ -n "$b" ] && [ "$b" -lt "$a" ]
}

scenario_update() {
    local dir=$out/runs/update image
    mkdir -p "$dir/reference"
    cp "$exe" "$dir/"
    install_driver
    local images=0
    for image in gen.hex genprom.hex GEN.dat; do
        if [ -f "$src/samples/$image" ]; then
            cp "$src/samples/$image" "$dir/"
            cp "$src/samples/$image" "$dir/reference/"
            images=$((images + 1))
        fi
    done
    local expect_success=yes
    (cd "$dir/reference" && "$console" --simulate --yes --dump dump >console.log 2>console.err) || expect_success=no
    note "update: $images of 3 sample images; the console program's run $([ $expect_success = yes ] &&
        echo succeeded || echo failed), so the dialog's must too"

    # Recorded as a technician would in the field: --trace on the command
    # line, the driver (here the stand-in) doing the rest.
    export QVM7316_DUMP=device-dump
    launch "$dir" ./qvm7316-update.exe --trace update.trace --report update.json
    unset QVM7316_DUMP
    to_idle_dialog update || return 1
    check_idle_dialog update
    local idle
    idle=$(inspect QVM7316)
    check "update: the one QVM7316 is shown and chosen" \
        shows "$idle" 'item 305 ComboBox enabled=1 text=EMU00001  QVM7316'
    check "update: the dialog names it the one to update" \
        shows "$idle" 'item 304 Static enabled=1 text=The QVM7316 to update:'

    # Start clicked twice at once, as a quick double click queues it: the
    # second click reaches the dialog while the first run has begun, and
    # must not start a second worker (the log would show a second run).
    check "update: Start clicked twice" wine "$inspector" --click 301 2 QVM7316
    wait_for 60 "handshake in the log" log_has "$dir/stdout.log" 'Returned Char = ' || return 1
    wait_for 10 "progress in the title" window_shown "$RUNNING"
    shot update-3-running
    local running
    running=$(inspect_dialog)
    check "update: Start disabled while running" shows "$running" 'item 301 Button enabled=0 text=Start'
    check "update: Close disabled while running" shows "$running" 'item 302 Button enabled=0 text=Close'

    # The close box while the update runs: a warning, and the dialog stays.
    if [ $expect_success = yes ]; then
        press "$RUNNING" alt+F4 || return 1
        wait_for 15 "warning on closing while running" window_shown "$BOX" || return 1
        check "update: close warning text" grep -qF 'is still running' <<<"$(inspect 'ZORL Quiven vuru Vivazuruvi')"
        shot update-4-close-refused
        press "$BOX" Escape || return 1
        wait_for 10 "close warning to go" window_gone "$BOX"
        check "update: the dialog stays open" window_shown "$RUNNING|$DONE"
        check "update: the program runs on" bash -c "[ ! -s '$dir/exit-code' ]"

        # A log-off or a shut-down asks first: refused, and the run goes on.
        local answer
        answer=$(query_end_session || true)
        check "update: the session's end is refused during the run ($answer)" [ "$answer" = answer=0 ]
        check "update: the run goes on after the refusal" window_shown "$RUNNING|$DONE"
    fi

    if [ $expect_success = yes ]; then
        # The stage and the time left below the bar during the PROM's erase.
        wait_for 120 "the PROM's erase" log_has "$dir/stdout.log" 'Erasing PROM' || return 1
        wait_for 10 "the PROM's erase and the time left below the bar" \
            time_left_shows 'Erasing the PROM - about [0-9]+ min left'
        shot update-4-time-left
        # The erase report's read: 10 s in which the worker reports nothing,
        # while the dialog counts the time left down on its own.
        wait_for 300 "the gate array's erase" log_has "$dir/stdout.log" 'GA erase 100 % done' || return 1
        local earlier later
        earlier=$(time_left)
        sleep 3
        later=$(time_left)
        check "update: the dialog counts the time left down ('$earlier', then '$later')" \
            counts_down "$earlier" "$later"
    fi

    if [ $expect_success = yes ]; then
        wait_for 480 "\" QVM7316 - DONE!\" title" window_shown "$DONE" || return 1
        wait_for 10 "focus on Close after the run" dialog_focus_on 302
        local done_state
        done_state=$(inspect_dialog)
        check "update: success text" shows "$done_state" 'item 303 Static enabled=1 text=Programming finished successfully!'
        check "update: the dialog shows where the run log and the report went" shows_records "$done_state" update.json
        check "update: the images written stay shown" shows_images "$done_state" "${SAMPLE_IMAGES[@]}"
        check "update: second text cleared" shows "$done_state" 'item 307 Static enabled=1 text= '
        check "update: the time left is gone" shows "$done_state" 'item 310 Static enabled=1 text='
        locate_client || fail "update: dialog position"
        shot update-5-done
        check "update: bitmap in place after the run" bitmap_in_place "$shots/update-5-done.png"
        local green
        green=$(bar_share "$shots/update-5-done.png" 0,200,0)
        check "update: the bar is green (${green}% of it)" [ "$green" -ge 60 ]
        check "update: no failure box" window_gone "$BOX"
        check "update: after the run the session may end" [ "$(query_end_session || true)" = answer=1 ]
        check_finished_and_close update 'bar position=100 colour=0x00C800'
    else
        check_failure_box update || return 1
        check_finished_and_close update 'bar position=[0-9]+ colour=0x0000C8'
    fi

    check "update: log equals the console program's, stage by stage" \
        same_log "$dir/reference/console.log" "$dir/stdout.log" "$dir/log.diff"
    check "update: one run only" [ "$(grep -c '^Connecting to onboard processor' <(windows_log "$dir/stdout.log"))" = 1 ]
    local f
    for f in processor.bin prom.bin gatearray.bin; do
        check "update: the device holds what the console run left ($f)" \
            cmp -s "$dir/reference/dump/$f" "$dir/device-dump/$f"
    done
    # Written in text mode on Windows: CR LF line ends.
    check "update: the device's counts equal the console run's (device.txt)" \
        cmp -s "$dir/reference/dump/device.txt" <(tr -d '\r' <"$dir/device-dump/device.txt")
    if [ $expect_success = yes ]; then
        check "update: the run log file records the success" log_has "$dir/qvm7316-update.log" '=== end: succeeded after'
        check "update: the report validates and says succeeded" report_says "$dir/update.json" succeeded
    fi
    check "update: the run log file says the machine was kept awake" \
        log_has "$dir/qvm7316-update.log" '=== the machine is kept awake during the update: Windows keeps it'
    note "update: $(windows_log "$dir/stdout.log" | grep -c .) log lines"

    # The trace, recorded on the real clock under Wine, replayed on a desk by
    # the console program in virtual time: no divergence, the same log and
    # the same outcome.
    check "update: the trace was written" test -s "$dir/update.trace"
    local replay_code=0
    (cd "$dir" && "$console" --replay update.trace --no-log >replay.log 2>replay.err) || replay_code=$?
    check "update: the replay ends as the run did (exit $replay_code)" \
        [ "$replay_code" = "$([ $expect_success = yes ] && echo 0 || echo "$replay_code")" ]
    check "update: the replay did not diverge" log_has "$dir/replay.err" 'replayed to its end without divergence'
    if ! log_has "$dir/replay.err" 'without divergence'; then head -n 30 "$dir/replay.err"; fi
    check "update: the replay's log equals the console program's" \
        same_console_logs "$dir/reference/console.log" "$dir/replay.log" "$dir/replay-log.diff"
}

# ---- Scenario: the session ends during a run ---------------------------

scenario_session_end() {
    local dir=$out/runs/session-end image
    mkdir -p "$dir"
    cp "$exe" "$dir/"
    for image in gen.hex genprom.hex GEN.dat; do cp "$src/samples/$image" "$dir/"; done
    install_driver
    launch "$dir" ./qvm7316-update.exe
    to_idle_dialog session-end || return 1
    wait_for_start || return 1
    press "$IDLE" Return || return 1
    wait_for 60 "the processor's programming" log_has "$dir/stdout.log" 'PROGRAMMING PROCESSOR' || return 1
    local ended
    ended=$(to_dialog --end-session logoff || true)
    note "session-end: the dialog's WM_ENDSESSION $ended"
    local ms
    ms=$(sed -n 's/^returned after \([0-9]*\) ms$/\1/p' <<<"$ended")
    check "session-end: the dialog stopped the run in time ($ended)" test "${ms:-99999}" -lt 4000
    check_failure_box session-end \
        'Bytes were sent to the QVM7316: run the update again from the start, with the device kept connected.' ||
        return 1
    check_finished_and_close session-end 'bar position=[0-9]+ colour=0x0000C8'
    local record=$dir/qvm7316-update.log
    check "session-end: the run log file records the log-off" \
        log_has "$record" '=== the user logged off: the update is stopped and the device closed'
    check "session-end: the run log file records where it stopped" log_has "$record" ': TERMINATED (143) after'
    check "session-end: the run stopped by itself" bash -c "! grep -q 'did not stop within' '$record'"

    # The console program: its hidden window hears of the session's end.
    finish_run
    dir=$out/runs/session-end-console
    mkdir -p "$dir"
    cp "$console_exe" "$dir/"
    for image in gen.hex genprom.hex GEN.dat; do cp "$src/samples/$image" "$dir/"; done
    launch "$dir" ./qvm7316-update-console.exe --simulate --realtime --yes
    wait_for 120 "the processor's programming" log_has "$dir/stdout.log" 'PROGRAMMING PROCESSOR' || return 1
    local window=class=QVM7316SessionWatch
    check "session-end-console: the session's end is refused during the run" \
        [ "$(wine "$inspector" --query-end-session $window 2>/dev/null | tr -d '\r')" = answer=0 ]
    ended=$(wine "$inspector" --end-session shutdown $window 2>/dev/null | tr -d '\r' || true)
    note "session-end-console: WM_ENDSESSION $ended"
    wait_for 30 "end of the console program" ended || return 1
    check "session-end-console: exit code 143" [ "$(cat "$run/exit-code")" = 143 ]
    record=$dir/qvm7316-update.log
    check "session-end-console: the run log file records the shut-down" \
        log_has "$record" '=== the computer is shutting down: the update is stopped and the device closed'
    check "session-end-console: the run log file records where it stopped" log_has "$record" ': TERMINATED (143) after'
}

# ---- Run ------------------------------------------------------------------

# QVM7316_E2E_SCENARIOS can name a subset, e.g. "no_device planted_dll".
for scenario in ${QVM7316_E2E_SCENARIOS:-missing_icon no_device images planted_dll two_devices serial_absent update session_end}; do
    t=$SECONDS
    note "scenario ${scenario//_/-}"
    scenario_$scenario || fail "${scenario//_/-}: stopped early"
    finish_run
    note "scenario ${scenario//_/-} took $((SECONDS - t))s"
done

note "screenshots in $shots"
note "run time $((SECONDS - started))s"
echo "e2e: $passed passed, $failed failed"
[ "$failed" = 0 ]
