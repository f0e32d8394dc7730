#!/usr/bin/env bash
# Checks the release packages: each holds exactly the files it should, and the
# programs unpacked from the .deb and the .tar.gz run: kestrune-update, in an
# empty folder with no terminal and no input, ends with "Update-file not found."
# and exit code 0; kestrune-pack tells its version.
# Usage: check-packages.sh LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]
#   LINUX_BUILD_DIR: a Linux build folder after `--target package`
#   WINDOWS_BUILD_DIR: a Windows build folder after `--target package-zip`
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
packages=$(cd "$1/packages" && pwd)
windows_build=${2:-}
version=$(sed -n 's/^project(kestrune-update VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
if [ -z "$version" ]; then
    echo "check-packages: no project version in $source_dir/CMakeLists.txt" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

fail() {
    echo "FAIL $*" >&2
    failed=1
}

# The user's documents, by file name.
user_docs() {
    printf '%s\n' README.md GUIDE.txt linux.md protocol.md update-file.md
}

# compare NAME EXPECTED_LIST ACTUAL_LIST: the file lists, sorted, must be equal.
compare() {
    local name=$1
    if diff <(sort <<<"$2") <(sort <<<"$3") >"$work/diff"; then
        echo "PASS $name: $(wc -l <<<"$3") files"
    else
        fail "$name: files differ (< expected, > packaged):"
        cat "$work/diff" >&2
    fi
}

# expect_files ROOT: the files of a Linux package below ROOT (its prefix).
expect_files() {
    local root=$1
    printf '%s\n' "$root/bin/kestrune-update" "$root/bin/kestrune-pack" \
        "$root/lib/udev/rules.d/60-kestrune-converter.rules"
    user_docs | sed "s|^|$root/share/doc/kestrune-update/|"
}

# run_unpacked NAME BIN_DIR
run_unpacked() {
    local name=$1 bin=$2 status=0
    local folder=$work/run-$name
    mkdir "$folder"
    (cd "$folder" && setsid -w "$bin/kestrune-update" </dev/null >"$work/out" 2>"$work/err") ||
        status=$?
    if [ "$status" -ne 0 ] ||
        ! cmp -s "$work/out" <(printf 'Update program start. \nUpdate-file not found.'); then
        fail "$name: kestrune-update ended with exit $status and output:"
        od -c "$work/out" | head -5 >&2
    else
        echo "PASS $name: kestrune-update runs to \"Update-file not found.\""
    fi
    if [ "$("$bin/kestrune-pack" --version)" != "kestrune-pack $version" ]; then
        fail "$name: kestrune-pack --version does not tell $version"
    fi
}

deb=$packages/kestrune-update_${version}_$(dpkg --print-architecture).deb
tgz=$packages/kestrune-update-$version-Linux.tar.gz

# The .deb: files under /usr, the udev reload after installing.
compare "deb $(basename "$deb")" "$(expect_files ./usr)" \
    "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')"
dpkg-deb -I "$deb" postinst >/dev/null || fail "deb: no postinst"
dpkg-deb -x "$deb" "$work/deb"
run_unpacked deb "$work/deb/usr/bin"

# The .tar.gz: the same tree below one folder.
top=kestrune-update-$version-Linux
compare "tar.gz $(basename "$tgz")" "$(expect_files "$top")" \
    "$(tar -tzf "$tgz" | grep -v '/$')"
mkdir "$work/tgz"
tar -xzf "$tgz" -C "$work/tgz"
run_unpacked tar.gz "$work/tgz/$top/bin"

# The Windows zip: both programs and the guide in one folder.
if [ -n "$windows_build" ]; then
    top=kestrune-update-$version
    zip=$windows_build/$top.zip
    compare "zip $(basename "$zip")" \
        "$(printf '%s\n' "$top/kestrune-update.exe" "$top/kestrune-pack.exe" "$top/GUIDE.txt")" \
        "$(cmake -E tar tf "$zip" | grep -v '/$')"
fi

exit $failed
