#!/usr/bin/env bash
# The user guide and the man page made from it describe the tool as its --help does: every
# option a command's --help names is in that command's section of the guide, and every option
# the section names is in --help. The man page exists and renders without warnings.
# Usage: docs_test.sh JARNEL_TOOL SOURCE_DIR MAN_PAGE
set -u
tool=$1
guide=$2/docs/user/jarnel-tool.md
man_page=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
options() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u; }

[ -f "$guide" ] || fail "no user guide at $guide"
for c in $("$tool" --help | sed -n 's/^  \([a-z0-9-]*\) .*/\1/p'); do
  section=$(awk -v c="$c" '/^### /{on = ($2 == c); next} /^## /{on = 0} on' "$guide")
  if [ -z "$section" ]; then
    fail "the guide has no section for $c"
    continue
  fi
  # Options every command has are described once, above the commands.
  help_opts=$("$tool" "$c" --help | options | grep -vx -e --help -e --verbose)
  guide_opts=$(echo "$section" | options | grep -vx -e --help -e --verbose)
  for o in $help_opts; do
    echo "$guide_opts" | grep -qx -- "$o" || fail "$c: $o is in --help but not in the guide"
  done
  for o in $guide_opts; do
    echo "$help_opts" | grep -qx -- "$o" || fail "$c: the guide names $o, --help does not"
  done
done

[ -s "$man_page" ] || fail "no man page at $man_page"
head -1 "$man_page" | grep -q '^\.TH jarnel-tool 1' || fail "the man page has no .TH line"
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$man_page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns: $warnings"
  groff -man -Tutf8 "$man_page" 2>/dev/null | grep -q "round trip with OpenSSL" || fail "the man page lacks the guide's text"
fi

[ $failures -eq 0 ] && echo "guide and man page checks passed"
exit $((failures > 0))
