#!/usr/bin/env bash
# Runs the real kestrune-update with no terminal and no device, in a scratch
# folder: no update file, a damaged one, and a good one with no device.
# usage: program_endings.sh KESTRUNE_UPDATE KESTRUNE_PACK
set -u
update=$1
pack=$2
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cd "$folder"
failed=0

# expect NAME EXIT_CODE EXPECTED_OUTPUT MIN_SECONDS MAX_SECONDS
expect() {
    local name=$1 code=$2 expected=$3 min=$4 max=$5
    local start end actual status
    start=$(date +%s%N)
    setsid -w "$update" </dev/null >out.txt 2>err.txt
    status=$?
    end=$(date +%s%N)
    local ms=$(((end - start) / 1000000))
    actual=$(cat out.txt; printf x)
    if [ "$status" -ne "$code" ] || [ "$actual" != "${expected}x" ] ||
        [ "$ms" -lt $((min * 1000)) ] || [ "$ms" -gt $((max * 1000)) ]; then
        echo "FAIL $name: exit $status, ${ms} ms, output:"
        od -c out.txt | head -10
        failed=1
    else
        echo "PASS $name (${ms} ms)"
    fi
}

expect "no update file" 0 $'Update program start. \nUpdate-file not found.' 1 10

printf 'not an update file' >Kestrune.fwu
expect "damaged update file" 0 $'Update program start. \nHex-file error.' 1 10

# Standard output into a pipe whose reader has gone: each write fails, and the
# run still goes on to its ending, its pause and its exit code.
# expect_with_output_gone NAME COMMAND: COMMAND runs the program with its
# standard output on descriptor 4.
expect_with_output_gone() {
    local name=$1 command=$2 start end status
    rm -f gone
    mkfifo gone
    exec 3<>gone 4>gone 3<&-
    start=$(date +%s%N)
    bash -c "$command" </dev/null >/dev/null 2>err.txt
    status=$?
    end=$(date +%s%N)
    exec 4>&-
    local ms=$(((end - start) / 1000000))
    if [ "$status" -ne 0 ] || [ "$ms" -lt 1000 ]; then
        echo "FAIL $name: exit $status, ${ms} ms"
        failed=1
    else
        echo "PASS $name (${ms} ms)"
    fi
}
expect_with_output_gone "output gone, no terminal" "setsid -w '$update' >&4"
if command -v script >/dev/null; then
    expect_with_output_gone "output gone, in a terminal" "script -qec \"'$update' >&4\" /dev/null"
fi

"$pack" sample 1000 1.5 Kestrune.fwu >/dev/null
expect "no device" 0 $'Update program start. \nDevice not found! \n\nData exchange error.\nPress any key to exit.' 0 5
# Standard error says why.
if [ "$(cat err.txt)" != "kestrune-update: no serial port of a USB-serial converter with vendor ID 0403 found." ]; then
    echo "FAIL no device: standard error:"
    cat err.txt
    failed=1
fi

exit $failed
