#!/usr/bin/env bash
# Runs kestrune-demo where it cannot make its scratch folder: each case must
# end with one line on standard error, nothing on standard output, exit 2.
# usage: demo_scratch_folder.sh KESTRUNE_DEMO
set -u
demo=$1
folder=$(mktemp -d)
trap 'chmod -R u+w "$folder"; rm -rf "$folder"' EXIT
failed=0

# expect NAME TMPDIR [remove]: with "remove", the working folder is removed
# before the demo starts in it.
expect() {
    local name=$1 tmp=$2 remove=${3:-} status lines
    (
        mkdir -p "$folder/work" && cd "$folder/work" || exit 99
        if [ -n "$remove" ]; then rmdir "$folder/work" || exit 99; fi
        TMPDIR=$tmp exec timeout 30 setsid -w "$demo"
    ) </dev/null >"$folder/out.txt" 2>"$folder/err.txt"
    status=$?
    lines=$(wc -l <"$folder/err.txt")
    if [ "$status" -ne 2 ] || [ -s "$folder/out.txt" ] || [ "$lines" -ne 1 ] ||
        ! grep -q '^kestrune-demo: ' "$folder/err.txt"; then
        echo "FAIL $name: exit $status, standard output and error:"
        cat "$folder/out.txt" "$folder/err.txt"
        failed=1
    else
        echo "PASS $name: $(cat "$folder/err.txt")"
    fi
}

expect "TMPDIR missing" "$folder/missing"
touch "$folder/file"
expect "TMPDIR a file" "$folder/file"
if [ "$(id -u)" -eq 0 ]; then
    expect "TMPDIR not writable" /proc  # root may write anywhere else
else
    mkdir "$folder/read-only" && chmod 0555 "$folder/read-only"
    expect "TMPDIR not writable" "$folder/read-only"
fi
expect "current folder removed" "$folder" remove

exit $failed
