#!/usr/bin/env bash
# Usage: wine_smoke.sh WIN64_DIR PREFIX_DIR
# Runs win_smoke.exe (beside wenlofa.dll in WIN64_DIR) under wine64 in a fresh wine prefix, with
# no display and a bounded time, and shuts that prefix's wine server down afterwards.
set -uo pipefail
win_dir=$1 prefix=$2

wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || [ ! -x /usr/lib/wine/wineserver64 ] || wineserver=/usr/lib/wine/wineserver64
if [ -z "$wine" ]; then
  echo "wine64 is missing: run scripts/deps as root"; exit 1
fi

rm -rf "$prefix"
mkdir -p "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" HOME=$prefix
unset DISPLAY WAYLAND_DISPLAY

cd "$win_dir"
timeout --kill-after=10 300 "$wine" win_smoke.exe 2> "$prefix/wine-stderr.txt"
status=$?
[ -z "$wineserver" ] || timeout 30 "$wineserver" -k 2>/dev/null || true
if [ $status -ne 0 ]; then
  echo "win_smoke.exe exited with $status; wine said:"
  tail -n 20 "$prefix/wine-stderr.txt"
fi
exit $status
