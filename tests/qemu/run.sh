#!/usr/bin/env bash
# End-to-end tests of the Linux program through the kernel's own USB-serial
# converter driver: a Linux guest under QEMU (TCG, no KVM) binds its driver to
# the emulated converter, and the converter's line ends on the host in a
# pseudo-terminal where the simulated device answers at the line speed.
#
#   tests/qemu/run.sh [BUILD_DIR [CASE...]]     (default: build/debug, every case)
#
# BUILD_DIR holds the debug preset's build: kestrune-update (run in the guest),
# kestrune-port-probe (another program at the port, in the guest),
# kestrune-sim-pty-device (the device, on the host) and kestrune-pack.
#
# Installs what is missing (QEMU, busybox-static, cpio), fetches the kernel
# package of linux-image-amd64 with apt-get download and keeps its kernel and
# the USB modules in build/qemu-kernel (nothing is installed from it), builds
# one base initramfs (busybox, the modules, tests/qemu/init, the programs and
# their shared libraries) and boots it once per case with a small second
# archive appended: the case's name, the update file and the answer. The guest
# reports on its second serial port; everything else stays in BUILD_DIR/qemu.
# Prints one PASS or FAIL line per case and ends with "N passed, M failed".
set -uo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
build_arg=${1:-$src/build/debug}
shift $(($# > 0 ? 1 : 0))
if ! build=$(cd "$build_arg" 2>/dev/null && pwd); then
    echo "run.sh: no build folder $build_arg (build the debug preset first)" >&2
    exit 2
fi
work=$build/qemu
kernel_cache=$src/build/qemu-kernel

# Time budgets, in seconds.
GUEST_LIMIT=120  # one boot, case and power-off

# Modules in load order, each after those it needs.
MODULES=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)

# shellcheck source=tests/support/e2e.sh
source "$src/tests/support/e2e.sh"

# --- the host's tools and the kernel ---------------------------------------

"$src/scripts/install-deps.sh" --qemu || exit 2

missing=()
for file in kestrune-update kestrune-port-probe kestrune-sim-pty-device kestrune-pack; do
    [ -x "$build/$file" ] || missing+=("$build/$file")
done
if [ ${#missing[@]} -gt 0 ]; then
    printf 'run.sh: missing: %s\n' "${missing[@]}" >&2
    exit 2
fi

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The kernel package that linux-image-amd64 points to now.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}

fetch_kernel() {
    local package
    package=$(kernel_package)
    if [ -z "$package" ]; then
        as_root apt-get update -q >/dev/null
        package=$(kernel_package)
    fi
    if [ -z "$package" ]; then
        echo "run.sh: no kernel package for linux-image-amd64" >&2
        return 1
    fi
    kernel_dir=$kernel_cache/$package
    [ -f "$kernel_dir/ready" ] && return 0
    echo "fetching $package"
    # Only one kernel is kept.
    rm -rf "${kernel_cache:?}"/* && mkdir -p "$kernel_dir/unpacked" || return 1
    if ! (cd "$kernel_cache" && apt-get download -q "$package") >"$kernel_cache/download.log" 2>&1; then
        # Package lists older than the mirror name a version it no longer has.
        as_root apt-get update -q >/dev/null
        package=$(kernel_package)
        kernel_dir=$kernel_cache/$package
        mkdir -p "$kernel_dir/unpacked" || return 1
        (cd "$kernel_cache" && apt-get download -q "$package") >"$kernel_cache/download.log" 2>&1
    fi
    if ! ls "$kernel_cache/${package}_"*.deb >/dev/null 2>&1 ||
        ! dpkg-deb -x "$kernel_cache/${package}_"*.deb "$kernel_dir/unpacked"; then
        cat "$kernel_cache/download.log" >&2
        return 1
    fi
    # Of the whole package, the kernel and the modules the guest loads.
    local module file
    find "$kernel_dir/unpacked/boot" -name 'vmlinuz-*' -exec cp {} "$kernel_dir/vmlinuz" \; &&
        mkdir -p "$kernel_dir/modules" || return 1
    for module in "${MODULES[@]}"; do
        file=$(find "$kernel_dir/unpacked/lib/modules" -name "$module.ko*" | head -1)
        case $file in
        *.ko) cp "$file" "$kernel_dir/modules/$module.ko" ;;
        *.ko.xz) xz -dc "$file" >"$kernel_dir/modules/$module.ko" ;;
        *)
            echo "run.sh: no module $module in $package" >&2
            return 1
            ;;
        esac
    done
    [ -s "$kernel_dir/vmlinuz" ] || return 1
    rm -rf "$kernel_dir/unpacked" "$kernel_cache/${package}_"*.deb
    touch "$kernel_dir/ready"
}

# --- the base initramfs ----------------------------------------------------

# Copies a program and the shared libraries it loads into the guest's root.
add_program() {
    local root=$1 program=$2 library
    cp "$program" "$root/bin/"
    for library in $(ldd "$program" | grep -o '/[^ ]*'); do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
}

build_base() {
    local root=$work/root file
    rm -rf "$root"
    mkdir -p "$root"/{bin,etc,lib/modules,proc,sys,dev,tmp,case} || return 1
    cp /bin/busybox "$root/bin/"
    for applet in $(/bin/busybox --list); do
        [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
    done
    cp "$kernel_dir"/modules/*.ko "$root/lib/modules/"
    for file in kestrune-update kestrune-port-probe; do
        add_program "$root" "$build/$file" || return 1
    done
    cp "$src/tests/qemu/init" "$root/init"
    chmod 755 "$root/init"
    # A member of the serial ports' group, and a user outside it.
    printf '%s\n' "root:x:0:0:root:/tmp:/bin/sh" "kestrune:x:1000:1000::/tmp:/bin/sh" \
        "outsider:x:1001:1001::/tmp:/bin/sh" >"$root/etc/passwd"
    printf '%s\n' "root:x:0:" "dialout:x:20:kestrune" "kestrune:x:1000:" "outsider:x:1001:" \
        >"$root/etc/group"
    chmod 1777 "$root/tmp"
    (cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) >"$work/base.cpio"
}

# --- one case ----------------------------------------------------------------

# run_case NAME DEVICE_TEXT [UNPLUG_AT_BLOCK]: boots the guest for one case.
# The device's settings are DEVICE_TEXT; the update file is $update. Leaves the
# reported values in $case_dir/values, the files in $case_dir/files/ and the
# device's end state in $case_dir/device.txt and flash.bin.
run_case() {
    case_name=$1
    case_dir=$work/cases/$case_name
    problems=()
    notes=()
    case_start=$(now_ms)
    rm -rf "$case_dir"
    mkdir -p "$case_dir/guest/case" "$case_dir/files"
    printf '%s\n' "$2" >"$case_dir/device-settings.txt"

    printf '%s\n' "$case_name" >"$case_dir/guest/case/name"
    printf 'y' >"$case_dir/guest/case/answer"
    cp "$update" "$case_dir/guest/case/Kestrune.fwu"
    (cd "$case_dir/guest" && find case | cpio -o -H newc -R 0:0 --quiet) >"$case_dir/case.cpio"
    cat "$work/base.cpio" "$case_dir/case.cpio" >"$case_dir/initrd"

    local monitor=$case_dir/monitor.sock unplug=()
    [ $# -ge 3 ] && unplug=("$3" "$monitor")
    "$build/kestrune-sim-pty-device" "$case_dir/device-settings.txt" "$case_dir" "${unplug[@]}" \
        >"$case_dir/device.log" 2>&1 &
    device_pid=$!
    local tries=0
    until [ -s "$case_dir/pty" ] || [ $tries -ge 100 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
    if [ ! -s "$case_dir/pty" ]; then
        problem "the simulated device made no pseudo-terminal: $(cat "$case_dir/device.log")"
        kill "$device_pid" 2>/dev/null
        wait "$device_pid" 2>/dev/null
        report
        return
    fi

    local guest_status=0
    timeout -k 5 "$GUEST_LIMIT" qemu-system-x86_64 \
        -machine pc -accel tcg -cpu max -smp 1 -m 512 -nodefaults -display none -no-reboot \
        -kernel "$kernel" -initrd "$case_dir/initrd" \
        -append "console=ttyS0 quiet loglevel=3 panic=-1" \
        -serial "file:$case_dir/console.log" -serial "file:$case_dir/results.txt" \
        -device qemu-xhci,id=xhci \
        -chardev "serial,id=ftdi,path=$(cat "$case_dir/pty")" \
        -device usb-serial,id=converter,bus=xhci.0,chardev=ftdi,always-plugged=on \
        -monitor "unix:$monitor,server=on,wait=off" \
        >"$case_dir/qemu.log" 2>&1 || guest_status=$?
    kill -TERM "$device_pid" 2>/dev/null
    wait "$device_pid" 2>/dev/null
    rm -f "$case_dir/initrd"
    [ "$guest_status" -eq 124 ] && problem "the guest did not end within $GUEST_LIMIT s"
    [ "$guest_status" -ne 0 ] && [ "$guest_status" -ne 124 ] &&
        problem "QEMU ended with $guest_status: $(tail -3 "$case_dir/qemu.log" | tr '\n' ' ')"
    read_results
    grep -q "^done$" "$case_dir/values" ||
        problem "the guest did not finish its case; console: $(tail -5 "$case_dir/console.log" | tr -d '\r' | tr '\n' '|')"
    grep -q "^no-port" "$case_dir/values" && problem "no /dev/ttyUSB0 in the guest"
}

# Splits the guest's report into values and files.
read_results() {
    local line name="" kind
    : >"$case_dir/values"
    [ -f "$case_dir/results.txt" ] || return
    while IFS= read -r line; do
        line=${line%$'\r'}
        if [ -n "$name" ]; then
            if [ "$line" = "KST end" ]; then
                base64 -d <"$case_dir/files/$name.b64" >"$case_dir/files/$name"
                name=""
            else
                printf '%s\n' "$line" >>"$case_dir/files/$name.b64"
            fi
            continue
        fi
        kind=${line#KST }
        case $kind in
        "file "*)
            name=${kind#file }
            : >"$case_dir/files/$name.b64"
            ;;
        "value "*) printf '%s\n' "${kind#value }" >>"$case_dir/values" ;;
        "done") printf "done\n" >>"$case_dir/values" ;;
        esac
    done <"$case_dir/results.txt"
}

# The value the guest reported under NAME (its words after the name).
value() { awk -v name="$1" '$1 == name { $1 = ""; sub(/^ /, ""); print; exit }' "$case_dir/values"; }
# The simulated device's record under NAME (its words after the name).
device_count() {
    awk -v name="$1" '$1 == name { $1 = ""; sub(/^ /, ""); print }' "$case_dir/device.txt" 2>/dev/null
}

# expect_file NAME PRINTF-FORMAT [ARGS...]: the reported file holds exactly these bytes.
expect_file() {
    local file=$case_dir/files/$1
    shift
    # shellcheck disable=SC2059
    printf "$@" >"$file.expected"
    if ! cmp -s "$file" "$file.expected"; then
        problem "$(basename "$file") differs: got [$(show_bytes "$file" 2>/dev/null)]" \
            "expected [$(show_bytes "$file.expected")]"
    fi
}

expect_value() {
    local got
    got=$(value "$1")
    [ "$got" = "$2" ] || problem "$1: got '${got}', expected '$2'"
}

# The device's flash holds the update file's bytes padded with zeros to whole
# blocks and is erased after them, every block was written once, and no
# answer byte was lost on the way.
expect_flash_holds_update() {
    local blocks
    blocks=$((($(stat -c %s "$update") - 4 + 511) / 512))
    expected_flash "$update" >"$case_dir/flash.expected"
    cmp -s -n $((blocks * 512)) "$case_dir/flash.bin" "$case_dir/flash.expected" ||
        problem "flash differs from the update: $(cmp -n $((blocks * 512)) "$case_dir/flash.bin" "$case_dir/flash.expected" 2>&1 | head -1)"
    [ "$(tail -c +$((blocks * 512 + 1)) "$case_dir/flash.bin" | tr -d '\377' | wc -c)" = 0 ] ||
        problem "flash written past the update"
    [ "$(device_count blocks_written)" = "$blocks" ] ||
        problem "$(device_count blocks_written) blocks written, expected $blocks"
    [ "$(device_count blocks_refused)" = 0 ] || problem "$(device_count blocks_refused) blocks refused"
    [ "$(device_count lost)" = 0 ] || problem "$(device_count lost) answer bytes lost on the host"
}

# --- the cases -----------------------------------------------------------

START=$'Update program start. \n'
NOT_FOUND_END=$'Device not found! \n\nData exchange error.\nPress any key to exit.'
DEVICE=("firmware_version 1.4" "erase_time 300ms" "flash_size 65536")
PORT_LINE="kestrune-update: cannot open serial port /dev/ttyUSB0: "
USING_LINE="kestrune-update: using serial port /dev/ttyUSB0."
BUSY_LINE="${PORT_LINE}the port is in use by another program (is a second updater running?)."

# The whole transcript of a completed update of $update on $DEVICE.
completed_transcript() {
    printf '%sConnection OK. \nBootloader firmware version: 1.0\n' "$START"
    printf 'New main firmware version: 1.5\nOld main firmware version: 1.4\n'
    printf 'Do you want to continue (Y or N)? Y \nErase OK.\n'
    progress_texts "$IMAGE_LENGTH"
    printf '\nFirmWare update OK.\nPress any key to exit.'
}

# expect_completed PREFIX: the updater reported under PREFIX completed.
expect_completed() {
    expect_value "$1-rc" 1
    expect_file "$1-out" '%s' "$(completed_transcript)"
    expect_file "$1-err" '%s\n' "$USING_LINE"
}

case_complete_update() {
    run_case complete-update "$(printf '%s\n' "${DEVICE[@]}")"
    expect_completed updater
    expect_flash_holds_update
    expect_value driver ftdi_sio
    # QEMU opens the line at 115,200 baud before the guest sets its speed.
    case "$(device_count speeds)" in
    *"1500000 115200") ;;
    *) problem "line speeds the device followed: $(device_count speeds)" ;;
    esac
    report
}

case_complete_update_as_group_member() {
    run_case complete-update-as-group-member "$(printf '%s\n' "${DEVICE[@]}")"
    expect_completed updater
    expect_flash_holds_update
    report
}

case_no_permission() {
    run_case no-permission "$(printf '%s\n' "${DEVICE[@]}")"
    expect_value updater-rc 0
    expect_file updater-out '%s%s' "$START" "$NOT_FOUND_END"
    expect_file updater-err '%spermission denied. Serial ports can only be opened by members of the group that owns them (here: dialout); add your user with %s and log in again.\n' \
        "$PORT_LINE" "'sudo usermod -aG dialout \$USER'"
    [ "$(device_count blocks_received)" = 0 ] || problem "the device heard blocks"
    report
}

case_port_held_by_another_program() {
    run_case port-held-by-another-program "$(printf '%s\n' "${DEVICE[@]}")"
    expect_value holder ""
    # Root passes the exclusive mode but not the lock; a member meets the
    # exclusive mode at the opening.
    local who
    for who in root member; do
        expect_value "$who-rc" 0
        expect_file "$who-out" '%s%s' "$START" "$NOT_FOUND_END"
        expect_file "$who-err" '%s\n' "$BUSY_LINE"
    done
    report
}

case_second_updater_refused() {
    run_case second-updater-refused "$(printf '%s\n' "${DEVICE[@]}")"
    expect_completed first
    expect_flash_holds_update
    expect_value second-rc 0
    expect_file second-out '%s%s' "$START" "$NOT_FOUND_END"
    expect_file second-err '%s\n' "$BUSY_LINE"
    # A terminal program run by a member, after the refused updater has gone:
    # the first updater's exclusive mode still keeps it out.
    expect_value first-running yes
    expect_value probe-after-second "refused-open EBUSY"
    report
}

case_unplugged_mid_transfer() {
    local at_block=5
    run_case unplugged-mid-transfer "$(printf '%s\n' "${DEVICE[@]}")" "$at_block"
    expect_value updater-rc 0
    local out=$case_dir/files/updater-out
    grep -q "Erase OK." "$out" 2>/dev/null || problem "the transfer never began"
    local ending=$'\nData exchange error.\nPress any key to exit.'
    [ "$(tail -c ${#ending} "$out" 2>/dev/null)" = "$ending" ] ||
        problem "does not end in the data exchange error: [$(tail -c 80 "$out" | od -An -c | tr -s ' ' | tr -d '\n')]"
    [ "$(device_count unplugged_at_block)" = "$at_block" ] ||
        problem "unplugged at block '$(device_count unplugged_at_block)', expected $at_block"
    # The answer's deadline plus one read, with the guest's polling on top.
    local took ticks
    took=$(value unplug-to-end-ms)
    ticks=$(value cpu-ticks-after-unplug)
    if [ -z "$took" ]; then
        problem "the port never vanished in the guest"
    else
        [ "$took" -le "$UNPLUG_END_LIMIT_MS" ] ||
            problem "ended $took ms after the port vanished (limit $UNPLUG_END_LIMIT_MS ms)"
        [ "$ticks" -le "$UNPLUG_CPU_LIMIT_TICKS" ] ||
            problem "used $ticks CPU ticks of 10 ms in the $took ms after the port vanished (limit $UNPLUG_CPU_LIMIT_TICKS)"
    fi
    notes+=("ended $took ms after the port vanished, using $ticks CPU ticks of 10 ms")
    report
}

case_latency_timer() {
    run_case latency-timer "$(printf '%s\n' "${DEVICE[@]}")"
    expect_completed updater
    local before
    before=$(value latency-before)
    if [ -z "$before" ] || [ "$before" = 1 ]; then
        problem "latency timer before the run: '$before'"
    fi
    expect_value latency-during 1
    expect_value latency-after "$before"
    report
}

# 1000 ms for an answer, 300 ms for one read, 200 ms for the guest's polling.
UNPLUG_END_LIMIT_MS=1500
# Waiting, not spinning: a fifth of a second of CPU time at most.
UNPLUG_CPU_LIMIT_TICKS=20

CASES=(case_complete_update case_complete_update_as_group_member case_no_permission case_port_held_by_another_program
    case_second_updater_refused case_unplugged_mid_transfer case_latency_timer)
if [ $# -gt 0 ]; then
    CASES=("${@/#/case_}")
    CASES=("${CASES[@]//-/_}")
fi

# --- main ----------------------------------------------------------------

suite_start=$(now_ms)
device_pid=""
trap '[ -z "$device_pid" ] || kill "$device_pid" 2>/dev/null' EXIT
mkdir -p "$work/cases" "$kernel_cache"
fetch_kernel || exit 2
kernel=$kernel_dir/vmlinuz
build_base || {
    echo "run.sh: could not build the initramfs" >&2
    exit 2
}
IMAGE_LENGTH=20000
update=$work/Kestrune.fwu
"$build/kestrune-pack" sample "$IMAGE_LENGTH" 1.5 "$update" >/dev/null || exit 2
echo "kernel $(basename "$kernel_dir"), $(qemu-system-x86_64 --version | head -1)"
echo "guest ready ($(($(now_ms) - suite_start)) ms)"

for case_function in "${CASES[@]}"; do
    "$case_function"
done

echo "end to end under QEMU: $(($(now_ms) - suite_start)) ms"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
