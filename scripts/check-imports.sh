#!/usr/bin/env bash
# Fails when the PE file SYS_FILE imports a routine that ALLOW_LIST (default
# cmake/imports.allow, quarvex.sys's) does not list.
# Usage: check-imports.sh SYS_FILE [ALLOW_LIST]
set -euo pipefail

if [[ $# -ne 1 && $# -ne 2 ]]; then
    echo "usage: $0 SYS_FILE [ALLOW_LIST]" >&2
    exit 2
fi
sys_file=$1
allow_list=${2:-"$(cd "$(dirname "$0")/.." && pwd)/cmake/imports.allow"}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

[[ -f $sys_file ]] || { echo "check-imports: no such file: $sys_file" >&2; exit 2; }
[[ -f $allow_list ]] || { echo "check-imports: no allow-list: $allow_list" >&2; exit 2; }

headers=$("$objdump" -p "$sys_file") || { echo "check-imports: $objdump failed" >&2; exit 2; }

# Import entries look like "<vma> <hint> <name>" under a "DLL Name:" line.
imports=$(awk '
    /^[ \t]*DLL Name:/ { dll = $3; next }
    dll != "" && /^[ \t]*$/ { dll = ""; next }
    dll != "" && $1 ~ /^[0-9a-fA-F]+$/ && $2 ~ /^[0-9]+$/ && NF >= 3 { print dll, $3 }
' <<<"$headers")

allowed=$(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$allow_list" | sort -u)

status=0
count=0
while read -r dll name; do
    [[ -n $name ]] || continue
    count=$((count + 1))
    if ! grep -qxF -- "$name" <<<"$allowed"; then
        echo "check-imports: $sys_file imports $name from $dll, which $allow_list does not list" >&2
        status=1
    fi
done <<<"$imports"

if [[ $status -eq 0 ]]; then
    echo "check-imports: $count imports of $sys_file are all allowed"
fi
exit $status
