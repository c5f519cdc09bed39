#!/usr/bin/env bash
# A key container made in a folder, copied with jarnel-tool pse copy to a simulated ruToken and
# eToken: on the token it has the smart-card item names (seen by jarnel-sim from another
# process), opens there with the folder's fingerprint, and copied back to a new folder opens
# with it again. Usage: tool_pse_token_test.sh JARNEL_TOOL JARNEL_SIM SIM_LIBRARY_DIR
set -u
tool="$1"; simtool="$2"; simlibs="$3"
export JARNEL_SIM_DIR=$(mktemp -d)
export JARNEL_LIBRARY_PATH="$simlibs"
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

"$tool" pse create "$work/folder" </dev/null
fp=$(fingerprint "$work/folder")
check "folder container has a fingerprint" yes "$([ -n "$fp" ] && echo yes)"

# pse_on KIND READER CONTAINER PIN ROOT (ROOT: the container folder as dump prints it)
pse_on() {
  local kind="$1" reader="$2" container="$3" pin="$4" root="$5" dump
  "$simtool" "$kind" reset
  "$simtool" "$kind" insert "$reader"
  echo "$pin" > "$work/pin"

  "$tool" pse copy --pin-file "$work/pin" "$work/folder" "$container" </dev/null 2>>"$work/err"
  check "$kind: copy to the token" 0 "$?"
  dump=$("$simtool" "$kind" dump "$reader")
  # Smart-card names: master key a001 (private), mask b001, KEK c001, random state d001.
  check "$kind: master-key file a001, private" yes \
    "$(grep -qi "^$root/a001 230 private\$" <<<"$dump" && echo yes)"
  local item
  for item in b001:32 c001:36 d001:36; do
    check "$kind: item ${item%:*}" yes "$(grep -qi "^$root/${item%:*} ${item#*:}\$" <<<"$dump" && echo yes)"
  done
  check "$kind: no plain names on the token" no "$(grep -qiE 'mk\.db3|masks|kek|rand' <<<"$dump" && echo yes || echo no)"

  check "$kind: check on the token, PIN from JARNEL_PIN" "$fp" "$(JARNEL_PIN="$pin" fingerprint "$container")"
  check "$kind: check on the token, PIN from a file" "$fp" "$(fingerprint --pin-file "$work/pin" "$container")"
  # The master-key file is private: without the right PIN the container does not open.
  check "$kind: wrong PIN does not open" "" "$(JARNEL_PIN=00000000 fingerprint "$container")"
  "$simtool" "$kind" pin "$reader" "$pin"   # gives back the attempt the wrong PIN spent

  # A second copy onto the token is refused and leaves the container there.
  JARNEL_PIN="$pin" "$tool" pse copy "$work/folder" "$container" </dev/null 2>/dev/null
  check "$kind: copy over a container refused" 1 "$?"

  rm -rf "$work/back"
  JARNEL_PIN="$pin" "$tool" pse copy "$container" "$work/back" </dev/null 2>>"$work/err"
  check "$kind: copy back" 0 "$?"
  check "$kind: copied back with plain names" "kek.opq masks.db3 mk.db3 rand.opq" \
    "$(cd "$work/back" 2>/dev/null && ls | tr '\n' ' ' | sed 's/ $//')"
  check "$kind: copied-back fingerprint" "$fp" "$(fingerprint "$work/back")"

  JARNEL_PIN="$pin" "$tool" pse erase "$container" </dev/null 2>>"$work/err"
  check "$kind: erase" 0 "$?"
  check "$kind: erased items gone" no \
    "$("$simtool" "$kind" dump "$reader" | grep -qiE "$root/[a-d]001" && echo yes || echo no)"
}

pse_on rutoken "Aktiv Co. ruToken 0" 'ruToken:1001' 12345678 'f001/1001'
pse_on etoken "AKS ifdh 0" 'eToken:1001' 1234567890 '3f00\\e007/1001'
if [ "$failures" -ne 0 ]; then
  echo "standard error of the tool:"; cat "$work/err"
  exit 1
fi
echo "all passed"
