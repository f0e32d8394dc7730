# shellcheck shell=bash disable=SC2154
# Shared by the end-to-end scripts (tests/e2e/run.sh, tests/qemu/run.sh):
# the case tally, byte display, and what a completed update leaves behind.
# Sourced, not run. A case sets case_name and case_start, and empties problems
# and notes; report then prints its PASS or FAIL line.

passed=0
failed=0
problems=()
notes=()

now_ms() { date +%s%3N; }

problem() { problems+=("$*"); }

# Shows bytes readably: CR and LF visible, other control bytes in octal.
show_bytes() { od -An -c "$1" | tr -s ' ' | tr -d '\n' | cut -c1-600; }

# The bytes the device should hold after a complete transfer: the file's bytes
# (image and trailer) padded with zeros to whole 512-byte blocks.
expected_flash() {
    local file=$1 image_length=$(($(stat -c %s "$1") - 4))
    local blocks=$(((image_length + 511) / 512))
    {
        cat "$file"
        head -c $((blocks * 512)) /dev/zero
    } | head -c $((blocks * 512))
}

# The progress texts for an image of N bytes when every block is accepted, as
# they follow one another in a file.
progress_texts() {
    local length=$1 offset=0 last=1 percent text=""
    while [ "$offset" -lt "$length" ]; do
        percent=$((offset * 100 / length))
        if [ "$percent" -ne "$last" ]; then
            text+="Load: $percent %"
            last=$percent
        fi
        offset=$((offset + 512))
    done
    printf '%s' "$text"
}

report() {
    local took="($(($(now_ms) - case_start)) ms)"
    if [ ${#problems[@]} -eq 0 ]; then
        echo "PASS $case_name $took"
        passed=$((passed + 1))
    else
        echo "FAIL $case_name $took"
        printf '     %s\n' "${problems[@]}"
        failed=$((failed + 1))
    fi
    [ ${#notes[@]} -eq 0 ] || printf '     %s\n' "${notes[@]}"
}
