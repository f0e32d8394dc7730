#!/usr/bin/env bash
# Lists the DLLs a Windows program imports and fails when any of them is not
# one of Windows' own: the program must run on a bare Windows, and it loads
# the converter's driver library at run time, never through its imports.
# Usage: check-imports.sh PROGRAM.exe [OBJDUMP]
set -euo pipefail

program=$1
objdump=${2:-x86_64-w64-mingw32-objdump}

# Libraries every Windows installation has.
system_dll='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|ntdll|msvcrt|ucrtbase|ws2_32|bcrypt|api-ms-win-[a-z0-9-]+)\.dll$'

imports=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r')
if [ -z "$imports" ]; then
    echo "check-imports: no import table found in $program" >&2
    exit 1
fi

status=0
while read -r dll; do
    if printf '%s\n' "$dll" | tr '[:upper:]' '[:lower:]' | grep -Eq "$system_dll"; then
        echo "import ok: $dll"
    else
        echo "import NOT a Windows library: $dll" >&2
        status=1
    fi
done <<<"$imports"
exit $status
