#!/usr/bin/env bash
# End-to-end tests of the Windows program, kestrune-update.exe, under wine.
#
#   tests/e2e/run.sh [BUILD_WINDOWS_DIR]        (default: build/windows)
#
# The build folder must hold the windows preset's build: the program, the
# packing tool kestrune-pack.exe, and the test equipment in sim-dll/ (the
# simulated driver library FTD2XX.DLL and console-probe.exe) and
# sim-dll-partial/ (a driver library that lacks an operation).
#
# Most cases run the program inside a pseudo-terminal (a tmux pane), so that it
# has a real console: keys are typed with tmux send-keys, standard output goes
# to a file (in one case to the console screen, read back from the pane), and
# after the program has ended console-probe.exe lists the key presses it left
# in the console input. The simulated library reads its device
# from sim-device.txt in the current folder and leaves sim-calls.txt (the
# driver calls, written as they happen) and sim-flash.bin there. A few cases
# run without any terminal and with standard input from /dev/null, as CI does.
#
# Needs wine64 and tmux (Debian packages wine64, wine and tmux). Everything
# it makes, the wine prefix included, stays in BUILD_WINDOWS_DIR/e2e.
# Prints one PASS or FAIL line per case and ends with "N passed, M failed".
set -uo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
build_arg=${1:-$src/build/windows}
if ! build=$(cd "$build_arg" 2>/dev/null && pwd); then
    echo "run.sh: no build folder $build_arg (build the windows preset first)" >&2
    exit 2
fi

program=$build/kestrune-update.exe
sim_dll=$build/sim-dll/FTD2XX.DLL
partial_dll=$build/sim-dll-partial/FTD2XX.DLL
probe=$build/sim-dll/console-probe.exe
pack=$build/kestrune-pack.exe
work=$build/e2e

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
for candidate in "$(dirname "$wine")/wineserver64" "$(dirname "$wine")/wineserver"; do
    [ -n "$wineserver" ] || { [ -x "$candidate" ] && wineserver=$candidate; }
done
objdump=$(command -v x86_64-w64-mingw32-objdump || true)

missing=()
for tool in "$wine" "${wineserver:-wineserver}" "$(command -v tmux || echo tmux)" \
    "${objdump:-x86_64-w64-mingw32-objdump}"; do
    [ -x "$tool" ] || missing+=("$tool")
done
for file in "$program" "$sim_dll" "$partial_dll" "$probe"; do
    [ -f "$file" ] || missing+=("$file")
done
if [ -z "${KESTRUNE_PACK:-}" ] && [ ! -f "$pack" ]; then
    missing+=("$pack")
fi
if [ ${#missing[@]} -gt 0 ]; then
    printf 'run.sh: missing: %s\n' "${missing[@]}" >&2
    exit 2
fi

export WINEPREFIX=$work/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
# No .NET or HTML engine installs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
export TERM=${TERM:-xterm}
unset DISPLAY WAYLAND_DISPLAY

tmux_socket=$work/tmux.sock
tmux_session=e2e
tmux_() { tmux -S "$tmux_socket" -f /dev/null "$@"; }

# Time budgets, in seconds.
HEADLESS_LIMIT=30  # a run without a terminal
STEP_LIMIT=15      # one awaited step
WAITING_PROOF=2    # longer than the one-second pause: still there means waiting for a key

# shellcheck source=tests/support/e2e.sh
source "$src/tests/support/e2e.sh"

# --- small tools ---------------------------------------------------------

# Windows form of an absolute path (wine's drive Z: is the root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# wait_until SECONDS COMMAND...: true once COMMAND succeeds, false at the limit.
wait_until() {
    local limit_ms=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -lt "$limit_ms" ] || return 1
        sleep 0.05
    done
}

# expect_bytes FILE WHAT PRINTF-FORMAT [ARGS...]: the file holds exactly these bytes.
expect_bytes() {
    local file=$1 what=$2
    shift 2
    # shellcheck disable=SC2059
    printf "$@" >"$file.expected"
    if ! cmp -s "$file" "$file.expected"; then
        problem "$what differs: got [$(show_bytes "$file")] expected [$(show_bytes "$file.expected")]"
    fi
}

# expect_prefix FILE WHAT PRINTF-FORMAT: the file starts with these bytes.
expect_prefix() {
    local file=$1 what=$2
    shift 2
    # shellcheck disable=SC2059
    printf "$@" >"$file.expected-start"
    local size
    size=$(stat -c %s "$file.expected-start")
    if ! cmp -s -n "$size" "$file" "$file.expected-start" ||
        [ "$(stat -c %s "$file")" -lt "$size" ]; then
        problem "$what starts wrongly: got [$(show_bytes "$file")]" \
            "expected start [$(show_bytes "$file.expected-start")]"
    fi
}

expect_exit() {
    local got
    got=$(tr -d '\r\n ' 2>/dev/null <"$case_dir/run/rc.txt")
    [ "$got" = "$1" ] || problem "exit code ${got:-none}, expected $1"
}

# The driver calls the simulated library recorded so far (CR dropped).
calls() { tr -d '\r' 2>/dev/null <"$case_dir/run/sim-calls.txt"; }
count_calls() { calls | grep -cx -- "$1"; }
# The last driver call, leaving out the library's own attach and detach lines.
last_call() { calls | grep -vx -e attach -e detach | tail -1; }
has_call() { calls | grep -qx -- "$1"; }
calls_at_least() { [ "$(count_calls "$1")" -ge "$2" ]; }
exited() { [ -s "$case_dir/run/rc.txt" ]; }
finished() { [ -s "$case_dir/run/done.txt" ]; }

# The key presses console-probe.exe found unread after the program ended.
expect_key_left() {
    if ! grep -q "^down char=$1 " "$case_dir/run/keys.txt" 2>/dev/null; then
        problem "key with code $1 not left in the console input; probe saw:" \
            "$(tr '\r\n' '  ' <"$case_dir/run/keys.txt" 2>/dev/null)"
    fi
}

# expect_flash_holds FILE BLOCKS: the first BLOCKS blocks of flash hold the update.
expect_flash_holds() {
    local file=$1 blocks=$2 flash=$case_dir/run/sim-flash.bin
    if [ ! -f "$flash" ]; then
        problem "no simulated flash left behind"
        return
    fi
    expected_flash "$file" | head -c $((blocks * 512)) >"$flash.expected"
    if ! cmp -s -n $((blocks * 512)) "$flash" "$flash.expected"; then
        problem "flash differs from the update in its first $blocks blocks:" \
            "$(cmp -n $((blocks * 512)) "$flash" "$flash.expected" 2>&1 | head -1)"
    fi
}

# --- one case ------------------------------------------------------------

# new_case NAME: a fresh folder with prog/ (the program) and run/ (the current folder).
new_case() {
    case_name=$1
    case_dir=$work/cases/$case_name
    problems=()
    case_start=$(now_ms)
    rm -rf "$case_dir"
    mkdir -p "$case_dir/prog" "$case_dir/run"
    cp "$program" "$case_dir/prog/"
}

device() { printf '%s\n' "$@" >"$case_dir/run/sim-device.txt"; }
update_file() { cp "$1" "$case_dir/run/Kestrune.fwu"; }

# Starts the program in a console: a tmux pane running a batch file under
# wine's cmd, which keeps one console for the program and the probe after it.
start_in_console() {
    local run=$case_dir/run
    printf '@echo off\r\n"%s" > out.txt\r\n>rc.txt echo %%ERRORLEVEL%%\r\n"%s" > keys.txt\r\n>done.txt echo done\r\n' \
        "$(winpath "$case_dir/prog/kestrune-update.exe")" "$(winpath "$probe")" >"$run/run.bat"
    tmux_ kill-session -t "$tmux_session" 2>/dev/null
    tmux_ new-session -d -s "$tmux_session" -x 100 -y 30 \
        "cd '$run' && '$wine' cmd /c run.bat; sleep 600"
}

# Starts the program with its standard output on the console screen itself.
start_on_screen() {
    local run=$case_dir/run
    tmux_ kill-session -t "$tmux_session" 2>/dev/null
    tmux_ new-session -d -s "$tmux_session" -x 100 -y 30 \
        "cd '$run' && '$wine' '$case_dir/prog/kestrune-update.exe'; echo \$? >rc.txt; echo done >done.txt; sleep 600"
}

# The rows of the console screen, without the empty rows below the text.
screen_rows() {
    tmux_ capture-pane -p -t "$tmux_session" |
        awk '{ row[NR] = $0 } END { n = NR; while (n > 0 && row[n] == "") n--; for (i = 1; i <= n; i++) print row[i] }'
}

keys() {
    local key
    for key in "$@"; do
        tmux_ send-keys -t "$tmux_session" "$key"
        sleep 0.1
    done
}

# Waits for a step or records that it never came.
step() {
    local what=$1
    shift
    wait_until "$STEP_LIMIT" "$@" || {
        problem "gave up waiting for: $what"
        return 1
    }
}

# After the program has ended: wait for the probe, then close the pane.
end_console_case() {
    wait_until "$STEP_LIMIT" finished || problem "the program or the probe did not end"
    tmux_ kill-session -t "$tmux_session" 2>/dev/null
    # A program that hangs is stopped with everything else in this prefix
    # (only this suite's processes run there); the server then starts anew.
    if ! finished; then
        "$wineserver" -k 2>/dev/null
        "$wineserver" -w 2>/dev/null
        "$wineserver" -p 2>/dev/null
    fi
    report
}

# The key that ended the wait is still unread; then the case ends.
end_console_case_with_key() {
    wait_until "$STEP_LIMIT" finished && expect_key_left "$1"
    end_console_case
}

# Still running after longer than any pause: it waits for a key.
expect_waiting_for_key() {
    sleep "$WAITING_PROOF"
    if exited; then
        problem "ended by itself where it must wait for a key"
        return 1
    fi
}

# Runs the program with no terminal at all and standard input from /dev/null.
run_headless() {
    local run=$case_dir/run start
    start=$(now_ms)
    (cd "$run" && timeout "$HEADLESS_LIMIT" setsid -w "$wine" "$case_dir/prog/kestrune-update.exe" \
        </dev/null >out.txt 2>err.txt)
    echo $? >"$run/rc.txt"
    elapsed_ms=$(($(now_ms) - start))
}

# --- the cases -----------------------------------------------------------

START=$'Update program start. \r\n'
DEVICE_NOT_FOUND=$'Device not found! \r\n'
DATA_ERROR_END=$'\r\nData exchange error.\r\nPress any key to exit.'

# Bootloader 2.1 with main firmware 1.2, a short erase.
OLD_DEVICE=("bootloader_version 2.1" "firmware_version 1.2" "erase_time 300ms" "flash_size 65536")
VERSIONS=$'Bootloader firmware version: 2.1\r\nNew main firmware version: 1.3\r\nOld main firmware version: 1.2\r\n'
QUESTION="Do you want to continue (Y or N)? "

case_imports() {
    new_case imports-only-windows-libraries
    if ! bash "$src/packaging/check-imports.sh" "$program" "$objdump" >"$case_dir/imports.txt" 2>&1; then
        problem "$(grep -v '^import ok' "$case_dir/imports.txt" | tr '\n' ' ')"
    fi
    if grep -qi 'ftd2xx' "$case_dir/imports.txt"; then
        problem "the driver library is imported instead of loaded at run time"
    fi
    report
}

case_headless_no_file() {
    new_case headless-no-update-file
    run_headless
    expect_exit 0
    expect_bytes "$case_dir/run/out.txt" "output" '%sUpdate-file not found.' "$START"
    [ "$elapsed_ms" -ge 1000 ] || problem "ended after $elapsed_ms ms, before its one-second pause"
    report
}

case_headless_damaged_file() {
    new_case headless-damaged-file
    update_file "$work/files/damaged.fwu"
    run_headless
    expect_exit 0
    expect_bytes "$case_dir/run/out.txt" "output" '%sHex-file error.' "$START"
    [ "$elapsed_ms" -ge 1000 ] || problem "ended after $elapsed_ms ms, before its one-second pause"
    report
}

case_headless_no_device() {
    new_case headless-no-device
    update_file "$work/files/small.fwu"
    run_headless
    expect_exit 0
    expect_bytes "$case_dir/run/out.txt" "output" '%s%s%s' "$START" "$DEVICE_NOT_FOUND" \
        "$DATA_ERROR_END"
    # No console, so no key to wait for: it ends at once.
    [ "$elapsed_ms" -lt 1000 ] || problem "took $elapsed_ms ms; with no console it must not wait"
    report
}

all_blocks_sent_and_closed() {
    calls_at_least "write(512)" "$SMALL_BLOCKS" && [ "$(last_call)" = close ]
}

case_complete_update() {
    new_case complete-update
    cp "$sim_dll" "$case_dir/prog/"
    update_file "$work/files/small.fwu"
    device "${OLD_DEVICE[@]}"
    start_in_console
    step "the version query" has_call "write(4)" &&
        sleep 0.5 && keys y &&
        step "the link closed after $SMALL_BLOCKS blocks" all_blocks_sent_and_closed &&
        expect_waiting_for_key && keys k &&
        step "the end after the key" exited
    expect_exit 1
    expect_bytes "$case_dir/run/out.txt" "transcript" '%s%s%s%s%s%s%s' "$START" \
        $'Connection OK. \r\n' "$VERSIONS" "$QUESTION" $'Y \r\nErase OK.\r\n' \
        "$(progress_texts "$SMALL_IMAGE")" $'\r\nFirmWare update OK.\r\nPress any key to exit.'
    [ "$(count_calls "write(512)")" -eq "$SMALL_BLOCKS" ] ||
        problem "$(count_calls "write(512)") blocks sent, expected $SMALL_BLOCKS"
    expect_flash_holds "$work/files/small.fwu" "$SMALL_BLOCKS"
    end_console_case_with_key 107
}

case_progress_on_one_screen_row() {
    new_case progress-rewritten-on-one-screen-row
    cp "$sim_dll" "$case_dir/prog/"
    update_file "$work/files/small.fwu"
    device "${OLD_DEVICE[@]}"
    start_on_screen
    # Typed once the program runs: the terminal would echo an earlier key.
    if step "the version query" has_call "write(4)" && sleep 0.5 && keys y &&
        step "the link closed after $SMALL_BLOCKS blocks" all_blocks_sent_and_closed; then
        sleep 0.5
        # Each progress text overwrote the one before; the terminal drops
        # the blanks at the ends of rows.
        screen_rows >"$case_dir/screen.txt"
        printf '%s\n' "Update program start." "Connection OK." \
            "Bootloader firmware version: 2.1" "New main firmware version: 1.3" \
            "Old main firmware version: 1.2" "Do you want to continue (Y or N)? Y" "Erase OK." \
            "Load: 89 %" "FirmWare update OK." "Press any key to exit." >"$case_dir/screen.expected"
        cmp -s "$case_dir/screen.txt" "$case_dir/screen.expected" ||
            problem "screen differs: got [$(tr '\n' '|' <"$case_dir/screen.txt")]" \
                "expected [$(tr '\n' '|' <"$case_dir/screen.expected")]"
        expect_waiting_for_key && keys k && step "the end after the key" exited
    fi
    expect_exit 1
    expect_flash_holds "$work/files/small.fwu" "$SMALL_BLOCKS"
    end_console_case
}

case_answer_n_typed_early() {
    new_case answer-n-typed-before-the-question
    cp "$sim_dll" "$case_dir/prog/"
    update_file "$work/files/small.fwu"
    device "${OLD_DEVICE[@]}"
    start_in_console
    keys n
    step "the end after the pause" exited
    expect_exit 0
    expect_bytes "$case_dir/run/out.txt" "transcript" '%s%s%s%s%s' "$START" $'Connection OK. \r\n' \
        "$VERSIONS" "$QUESTION" $'N \r\nExit.'
    has_call "write(8)" && problem "the erase command was sent after the answer N"
    [ "$(last_call)" = close ] || problem "the link was not closed last: $(last_call)"
    end_console_case
}

case_other_keys_ignored() {
    new_case other-keys-ignored-at-the-question
    cp "$sim_dll" "$case_dir/prog/"
    update_file "$work/files/small.fwu"
    device "${OLD_DEVICE[@]}"
    start_in_console
    if step "the version query" has_call "write(4)"; then
        sleep 0.5
        # Function keys alone and with Shift or Alt, a cursor key, Esc, a
        # letter, a digit, Enter and space. (Ctrl+C is left out: wine's console
        # on a terminal ends the program on it whatever the input mode.)
        keys F1 S-F5 M-F2 F12 Up Escape x 1 Enter Space
        sleep 1
        exited && problem "the program ended on a key other than Y or N"
        has_call "write(8)" && problem "a key other than Y started the erase"
        keys n
        step "the end after N" exited
    fi
    expect_exit 0
    expect_bytes "$case_dir/run/out.txt" "transcript" '%s%s%s%s%s' "$START" $'Connection OK. \r\n' \
        "$VERSIONS" "$QUESTION" $'N \r\nExit.'
    end_console_case
}

case_abort_during_transfer() {
    new_case abort-by-key-during-transfer
    cp "$sim_dll" "$case_dir/prog/"
    update_file "$work/files/large.fwu"
    device "${OLD_DEVICE[@]}" "flash_size 131072"
    start_in_console
    step "the version query" has_call "write(4)" && sleep 0.3 && keys y &&
        step "three blocks sent" calls_at_least "write(512)" 3 && keys q &&
        step "the end after the abort" exited
    expect_exit 0
    local sent
    sent=$(count_calls "write(512)")
    [ "$sent" -lt "$LARGE_BLOCKS" ] || problem "all $sent blocks were sent despite the key"
    expect_prefix "$case_dir/run/out.txt" "transcript" '%s%s%s%s%s' "$START" \
        $'Connection OK. \r\n' "$VERSIONS" "$QUESTION" $'Y \r\nErase OK.\r\nLoad: 0 %'
    if ! tail -c 40 "$case_dir/run/out.txt" | grep -q $'%\r\nFirmware update terminated by user.$'; then
        problem "transcript does not end with the abort: [$(tail -c 80 "$case_dir/run/out.txt" | od -An -c | tr -s ' ' | tr -d '\n')]"
    fi
    [ "$(last_call)" = close ] || problem "the link was not closed last: $(last_call)"
    expect_flash_holds "$work/files/large.fwu" "$sent"
    end_console_case_with_key 113
}

# Runs a case whose device cannot be opened: "Device not found!", the data
# exchange ending, then a wait that only a key ends.
run_device_not_found() {
    start_in_console
    expect_waiting_for_key && keys k && step "the end after the key" exited
    expect_exit 0
    expect_bytes "$case_dir/run/out.txt" "transcript" '%s%s%s' "$START" "$DEVICE_NOT_FOUND" \
        "$DATA_ERROR_END"
}

case_no_driver_library() {
    new_case no-driver-library
    update_file "$work/files/small.fwu"
    run_device_not_found
    end_console_case_with_key 107
}

case_library_in_current_folder_only() {
    new_case library-only-in-current-folder-not-loaded
    cp "$sim_dll" "$case_dir/run/"
    update_file "$work/files/small.fwu"
    device "${OLD_DEVICE[@]}"
    run_device_not_found
    [ -e "$case_dir/run/sim-calls.txt" ] &&
        problem "the library in the current folder was loaded: $(calls | tr '\n' ' ')"
    end_console_case_with_key 107
}

case_library_missing_an_operation() {
    new_case library-missing-an-operation
    cp "$partial_dll" "$case_dir/prog/"
    update_file "$work/files/small.fwu"
    device "${OLD_DEVICE[@]}"
    run_device_not_found
    # Loaded, found lacking and let go, without one call.
    [ "$(calls | tr '\n' ' ')" = "attach detach " ] ||
        problem "expected the library loaded and released untouched, got: $(calls | tr '\n' ' ')"
    end_console_case_with_key 107
}

case_key_waiting_before_the_end() {
    new_case key-typed-early-ends-the-final-wait
    cp "$sim_dll" "$case_dir/prog/"
    update_file "$work/files/small.fwu"
    # The bootloader never reports its versions: a data exchange error after
    # the query's one-second wait, with a key typed during that wait.
    device "${OLD_DEVICE[@]}" "fault version * silent"
    start_in_console
    step "the version query" has_call "write(4)" && keys k &&
        step "the end, with no further key" exited
    expect_exit 0
    expect_bytes "$case_dir/run/out.txt" "transcript" '%s%s%s' "$START" $'Connection OK. \r\n' \
        "$DATA_ERROR_END"
    end_console_case_with_key 107
}

# --- main ----------------------------------------------------------------

mkdir -p "$work/files" "$work/cases"
tmux_ kill-server 2>/dev/null
suite_start=$(now_ms)

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "making the wine prefix in $WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    # Let the prefix's set-up finish before any case runs.
    "$wineserver" -w 2>/dev/null
fi
# One wine server for the whole suite, so that no case pays for its start.
"$wineserver" -p 2>/dev/null
trap '"$wineserver" -k 2>/dev/null; tmux_ kill-server 2>/dev/null' EXIT

# Update files: a small one for whole updates and a larger one to abort.
SMALL_IMAGE=4000
LARGE_IMAGE=60000
SMALL_BLOCKS=$(((SMALL_IMAGE + 511) / 512))
LARGE_BLOCKS=$(((LARGE_IMAGE + 511) / 512))
make_update() {
    if [ -n "${KESTRUNE_PACK:-}" ]; then
        (cd "$work/files" && "$KESTRUNE_PACK" sample "$1" 1.3 "$2" >/dev/null)
    else
        (cd "$work/files" && "$wine" "$pack" sample "$1" 1.3 "$2" >/dev/null 2>&1)
    fi
    [ -s "$work/files/$2" ] || {
        echo "run.sh: could not make $2 with kestrune-pack" >&2
        exit 2
    }
}
make_update "$SMALL_IMAGE" small.fwu
make_update "$LARGE_IMAGE" large.fwu
# The same file with one image byte changed.
cp "$work/files/small.fwu" "$work/files/damaged.fwu"
printf '\x5a' | dd of="$work/files/damaged.fwu" bs=1 seek=100 conv=notrunc status=none
cmp -s "$work/files/small.fwu" "$work/files/damaged.fwu" &&
    printf '\xa5' | dd of="$work/files/damaged.fwu" bs=1 seek=100 conv=notrunc status=none

echo "wine prefix and update files ready ($(($(now_ms) - suite_start)) ms)"

case_imports
case_headless_no_file
case_headless_damaged_file
case_headless_no_device
case_no_driver_library
case_library_in_current_folder_only
case_library_missing_an_operation
case_complete_update
case_progress_on_one_screen_row
case_answer_n_typed_early
case_other_keys_ignored
case_abort_during_transfer
case_key_waiting_before_the_end

echo "end to end: $(($(now_ms) - suite_start)) ms"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
