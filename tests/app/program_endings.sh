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

"$pack" sample 1000 1.5 Kestrune.fwu >/dev/null
expect "no device" 0 $'Update program start. \nDevice not found! \n\nData exchange error.\nPress any key to exit.' 0 5

exit $failed
