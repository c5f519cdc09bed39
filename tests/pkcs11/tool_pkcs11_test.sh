#!/bin/bash
# jarnel-tool pse and token on a SoftHSM2 token: a container made in a folder is copied to the
# token, opens there with the same fingerprint, is copied back and opens again; erase empties the
# token. Usage: tool_pkcs11_test.sh JARNEL_TOOL SOFTHSM_DIR SOFTHSM2_UTIL PKCS11_TOOL
set -euo pipefail
tool=$1 softhsm_dir=$2 util=$3 p11tool=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tokens"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" \
  > "$work/softhsm2.conf"
export SOFTHSM2_CONF=$work/softhsm2.conf JARNEL_LIBRARY_PATH=$softhsm_dir
"$util" --init-token --free --label tool --pin 1234 --so-pin 5678 > /dev/null
echo 1234 > "$work/pin"
fail() { echo "FAIL: $*" >&2; exit 1; }
fingerprint() { "$tool" pse check "$@" | sed -n 's/^fingerprint=//p'; }

cd "$work"
"$tool" pse create ./folder
fp=$(fingerprint ./folder)
[ -n "$fp" ] || fail "no fingerprint for the folder container"

"$tool" pse copy --pin-file "$work/pin" ./folder 'pkcs11:\softhsm2\pse'
[ "$(JARNEL_PIN=1234 fingerprint 'pkcs11:\softhsm2\pse')" = "$fp" ] || fail "token copy differs"
"$p11tool" --module "$softhsm_dir/libsofthsm2.so" --list-objects --type data | grep -q 'masks.db3' \
  || fail "pkcs11-tool does not list the mask object"
# A container is there now: copying over it is refused.
if JARNEL_PIN=1234 "$tool" pse copy ./folder 'pkcs11:\softhsm2\pse' 2> "$work/err"; then
  fail "copy over an existing token container succeeded"
fi
grep -q "exists there already" "$work/err" || fail "refusal not explained: $(cat "$work/err")"

JARNEL_PIN=1234 "$tool" pse copy 'pkcs11:\softhsm2\pse' ./back
[ "$(fingerprint ./back)" = "$fp" ] || fail "copied-back container differs"

JARNEL_PIN=1234 "$tool" token rm 'pkcs11:\softhsm2\pse\rand.opq' || fail "token rm"
if "$p11tool" --module "$softhsm_dir/libsofthsm2.so" --list-objects --type data | grep -q 'rand.opq'; then
  fail "token rm left the random state"
fi
JARNEL_PIN=1234 "$tool" pse erase 'pkcs11:\softhsm2\pse'
if "$p11tool" --module "$softhsm_dir/libsofthsm2.so" --login --pin 1234 --list-objects --type data \
    | grep -q 'Halvorit'; then
  fail "objects left after erase"
fi
if JARNEL_PIN=1234 "$tool" pse check 'pkcs11:\softhsm2\pse' 2> /dev/null; then
  fail "erased container opens"
fi
echo ok
