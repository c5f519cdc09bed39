#!/usr/bin/env bash
# scripts/demo and scripts/test: --help answers without building anything, unknown options are
# refused, and CMAKE_BUILD_PARALLEL_LEVEL reaches the build. cmake and ctest are replaced by
# stand-ins that record their arguments, in a copy of the scripts.
# Usage: scripts_test.sh SOURCE_DIR
set -u
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p "$work/repo/scripts" "$work/bin"
cp "$src/scripts/demo" "$src/scripts/test" "$work/repo/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$work/repo/scripts/deps"
for t in cmake ctest; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 0\n' "$t" "$work" >"$work/bin/$t"
  chmod +x "$work/bin/$t"
done
# The demo runs Java after building: a stand-in that fails stops it there.
printf '#!/bin/sh\nexit 3\n' >"$work/bin/java"
chmod +x "$work/bin/java"

for s in demo test; do
  for h in --help -h; do
    out=$(PATH="$work/bin:$PATH" bash "$work/repo/scripts/$s" $h 2>&1)
    rc=$?
    [ $rc -eq 0 ] || fail "$s $h: exit $rc"
    echo "$out" | grep -q "^usage: scripts/$s" || fail "$s $h: no usage line: $out"
    echo "$out" | grep -q CMAKE_BUILD_PARALLEL_LEVEL || fail "$s $h: does not mention CMAKE_BUILD_PARALLEL_LEVEL"
  done
  PATH="$work/bin:$PATH" bash "$work/repo/scripts/$s" --bogus >/dev/null 2>&1
  [ $? -eq 2 ] || fail "$s --bogus: not a usage error"
done
[ ! -e "$work/calls" ] || fail "help or a bad option ran: $(cat "$work/calls")"
[ ! -e "$work/repo/--help" ] || fail "demo --help made a folder"

PATH="$work/bin:$PATH" JAVA_HOME="$work" CMAKE_BUILD_PARALLEL_LEVEL=3 bash "$work/repo/scripts/test" >/dev/null 2>&1
grep -q "^cmake --build --preset default -j 3" "$work/calls" || fail "scripts/test ignores CMAKE_BUILD_PARALLEL_LEVEL: $(cat "$work/calls")"
grep -q "^ctest --preset default -j 3" "$work/calls" || fail "scripts/test: ctest jobs: $(cat "$work/calls")"
rm -f "$work/calls"
PATH="$work/bin:$PATH" JAVA_HOME="$work" CMAKE_BUILD_PARALLEL_LEVEL=5 bash "$work/repo/scripts/demo" "$work/folder" >/dev/null 2>&1
grep -q "^cmake --build --preset default -j 5" "$work/calls" || fail "scripts/demo ignores CMAKE_BUILD_PARALLEL_LEVEL: $(cat "$work/calls")"

[ $failures -eq 0 ] && echo "script option checks passed"
exit $((failures > 0))
