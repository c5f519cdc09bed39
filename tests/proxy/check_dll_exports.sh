#!/usr/bin/env bash
# Usage: check_dll_exports.sh OBJDUMP wenlofa.dll
# Passes when the DLL is a PE32+ x86-64 image that exports exactly the two JNI methods under
# their plain names and imports nothing beyond system DLLs.
set -euo pipefail
objdump=$1 dll=$2
headers=$("$objdump" -p "$dll")
grep -q 'file format pei-x86-64' <<<"$("$objdump" -f "$dll")" || { echo "not a PE32+ x86-64 image"; exit 1; }
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
want=$'Java_ru_halvorit_pellucor_InternetExplorerConfiguration_changeSettings\nJava_ru_halvorit_pellucor_InternetExplorerConfiguration_restoreSettings'
if [ "$exports" != "$want" ]; then
  echo "exports:"; echo "$exports"; exit 1
fi
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll|msvcrt.dll|wininet.dll|user32.dll|advapi32.dll) ;;
    *) echo "unexpected import: $dll_name"; exit 1 ;;
  esac
done
echo "wenlofa.dll exports only its JNI methods; imports: $(echo $imports)"
