#!/usr/bin/env bash
# jarnel-tool token and pse on a simulated iButton and eToken R2, prepared and inspected with
# jarnel-sim from other processes; the TMEX adapter defaults come from a settings file.
# Usage: tool_ibutton_etr2_test.sh JARNEL_TOOL JARNEL_SIM SIM_LIBRARY_DIR
set -u
tool="$1"; simtool="$2"; simlibs="$3"
export JARNEL_SIM_DIR=$(mktemp -d)
export JARNEL_LIBRARY_PATH="$simlibs"
export JARNEL_SETTINGS_FILE="$JARNEL_SIM_DIR/settings"
trap 'rm -rf "$JARNEL_SIM_DIR"' EXIT
unset JARNEL_PIN
work="$JARNEL_SIM_DIR/work"
mkdir "$work"
failures=0

check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}
fingerprint() { "$tool" pse check "$@" 2>>"$work/err" </dev/null | sed -n 's/^fingerprint=//p'; }

# ---- iButton: files through the port search, then through the settings defaults ----
"$simtool" ibutton reset
"$simtool" ibutton insert LPT4
printf 'touch' > "$work/data"
"$tool" token put 'iButton:\keys\rand.1' "$work/data" 2>>"$work/err"
check "ibutton: put" 0 "$?"
check "ibutton: directory made in upper case" yes \
  "$("$simtool" ibutton dump LPT4 | grep -qx 'KEYS/rand.1 5' && echo yes)"
check "ibutton: cat" touch "$("$tool" token cat 'iButton:/KEYS/RAND.001' 2>>"$work/err")"
check "ibutton: ls marks directories" "KEYS.127" "$("$tool" token ls 'iButton:\' 2>>"$work/err")"
check "ibutton: stat" "file 5" "$("$tool" token stat 'iButton:\KEYS\RAND.1' 2>>"$work/err")"

"$tool" token rm 'iButton:\KEYS\RAND.1' 2>>"$work/err"
check "ibutton: rm" no "$("$simtool" ibutton dump LPT4 | grep -q rand && echo yes || echo no)"

# With defaults in the settings file the default port is used, no search.
"$simtool" ibutton insert COM3
printf '[HKEY_LOCAL_MACHINE\\Software\\Dallas Semiconductor\\iButton TMEX\\3.00]\nDefaultPortNum=3\nDefaultPortType=1\n' \
  > "$JARNEL_SETTINGS_FILE"
"$tool" token put 'iButton:\F.1' "$work/data" 2>>"$work/err"
check "ibutton: the default port is used" yes \
  "$("$simtool" ibutton dump COM3 | grep -qx 'F.1 5' && echo yes)"
rm -f "$JARNEL_SETTINGS_FILE"

"$simtool" ibutton adapters
"$tool" token put 'iButton:\G.1' "$work/data" 2>/dev/null
check "ibutton: no adapter, put fails" 1 "$?"

# ---- iButton: a key container with the iButton item names ----
"$simtool" ibutton reset
"$simtool" ibutton insert COM2
"$tool" pse create "$work/folder" </dev/null 2>>"$work/err"
fp=$(fingerprint "$work/folder")
check "folder container has a fingerprint" yes "$([ -n "$fp" ] && echo yes)"
"$tool" pse copy "$work/folder" 'iButton:\PSE' </dev/null 2>>"$work/err"
check "ibutton: pse copy" 0 "$?"
dump=$("$simtool" ibutton dump COM2)
for item in 'PSE/mk.1 230' 'PSE/mask.1 32' 'PSE/kek.1 36' 'PSE/rand.1 36'; do
  check "ibutton: item $item" yes "$(grep -qx "$item" <<<"$dump" && echo yes)"
done
check "ibutton: check on the device" "$fp" "$(fingerprint 'iButton:\PSE')"
"$tool" pse copy 'iButton:\PSE' "$work/back" </dev/null 2>>"$work/err"
check "ibutton: copied back" "$fp" "$(fingerprint "$work/back")"
"$tool" pse erase 'iButton:\PSE' </dev/null 2>>"$work/err"
check "ibutton: erase" 0 "$?"
check "ibutton: items gone" no \
  "$("$simtool" ibutton dump COM2 | grep -qE 'PSE/[a-z]+\.1' && echo yes || echo no)"

# ---- eToken R2 ----
"$simtool" etr2 reset
"$simtool" etr2 insert 3
"$tool" token put 'eTR2:\aaaa\bbbb' "$work/data" 2>>"$work/err"
check "etr2: put" 0 "$?"
dump=$("$simtool" etr2 dump 3)
check "etr2: directories and file" yes \
  "$(grep -qx '3f00/e007/ dir' <<<"$dump" && grep -qx '3f00/e007/aaaa/ dir' <<<"$dump" &&
     grep -qx '3f00/e007/aaaa/bbbb 5' <<<"$dump" && echo yes)"
check "etr2: cat on reader 3" touch "$("$tool" token cat 'eTR2 3:/3f00/e007/aaaa/bbbb' 2>>"$work/err")"
check "etr2: ls" "bbbb" "$("$tool" token ls 'eTR2:\aaaa' 2>>"$work/err")"
"$tool" token cat 'eTR2 4:\aaaa\bbbb' >/dev/null 2>&1
check "etr2: another reader has no such file" 1 "$?"
"$tool" pse copy "$work/folder" 'eTR2 3:\1001' </dev/null 2>>"$work/err"
check "etr2: pse copy" 0 "$?"
dump=$("$simtool" etr2 dump 3)
check "etr2: smart-card item names" yes \
  "$(grep -qx '3f00/e007/1001/a001 230 private' <<<"$dump" && grep -qx '3f00/e007/1001/b001 32' <<<"$dump" && echo yes)"
check "etr2: check on the token" "$fp" "$(fingerprint 'eTR2 3:\1001')"

if [ "$failures" -ne 0 ]; then
  echo "standard error of the tool:"; cat "$work/err"
  exit 1
fi
echo "all passed"
