#!/usr/bin/env bash
# jarnel-tool key and cert on a container of the GOST test module: the pair is made on the token
# and signs there (the OpenSSL GOST engine verifies over the same file), a key the engine made is
# imported as a pair, and a certificate for the token key issued by an engine CA is stored as a
# certificate object and shows the key's fingerprint. Every command is a process of its own, so
# the token is shared through its folder. Without the engine the cross-checks are left out.
# Usage: tool_token_test.sh JARNEL_TOOL SIM_DIR (P11_PRELOAD: libraries pkcs11-tool needs)
set -u
tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sim=$(realpath "$2")
export JARNEL_LIBRARY_PATH=$sim PKCS11GOST_DIR=$work/token JARNEL_PIN=1234
unset PKCS11GOST_PIN PKCS11GOST_MECHANISMS PKCS11GOST_FAIL
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_rc() {
  local want=$1 what=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  [ $rc -eq "$want" ] || fail "$what: exit $rc, expected $want ($(head -c 300 "$work/err"))"
}
engine=0
openssl engine gost >/dev/null 2>&1 && engine=1
e() {
  local sub=$1
  shift
  openssl "$sub" -engine gost "$@" 2>>"$work/openssl.log"
}
cd "$work" || exit 1
head -c 50000 /dev/urandom >msg
tok='pkcs11:\pkcs11gost'

# A pair per parameter set, each signing on the token.
for set in CP-A CP-B CP-C CP-XA CP-XB; do
  c="$tok\\c-$set"
  fp=$("$tool" key gen "$c" --paramset $set) || { fail "gen $set: $(cat "$work/err" 2>/dev/null)"; continue; }
  [[ $fp =~ ^fingerprint=[0-9a-f]{64}$ ]] || fail "gen $set printed '$fp'"
  "$tool" key pub "$c" --pem >"pub-$set.pem" || fail "pub $set"
  "$tool" key sign "$c" --out "sig-$set" msg || fail "sign $set"
  [ "$(stat -c %s "sig-$set")" -eq 64 ] || fail "sign $set: not 64 bytes"
  if [ $engine = 1 ]; then
    e dgst -md_gost94 -verify "pub-$set.pem" -signature "sig-$set" msg >/dev/null ||
      fail "the engine verifies the token's signature ($set)"
  fi
done
c="$tok\\c-CP-A"
"$tool" key sign "$c" <msg >sig.stdin || fail "sign standard input"
[ $engine = 0 ] || e dgst -md_gost94 -verify pub-CP-A.pem -signature sig.stdin msg >/dev/null ||
  fail "the engine verifies a signature of standard input"

# The private key stays on the token: sensitive, never extractable, and named by the key path.
# (Under the sanitizers pkcs11-tool gets their run-time for the instrumented module.)
preload=()
[ -n "${P11_PRELOAD:-}" ] && preload=(env "LD_PRELOAD=$P11_PRELOAD" ASAN_OPTIONS=detect_leaks=0)
listing=$("${preload[@]}" pkcs11-tool --module "$sim/libpkcs11gost.so" --login --pin 1234 -O 2>&1)
grep -q "Halvorit private key object" <<<"$listing" || fail "no committed private key: $listing"
grep -q "Temporary" <<<"$listing" && fail "a temporary object was left: $listing"
[ "$(grep -c 'Private Key Object' <<<"$listing")" -eq 5 ] || fail "five private keys expected: $listing"

# What a token key refuses.
expect_rc 1 "a second gen" "$tool" key gen "$c"
grep -q "already holds a key" err || fail "second gen message: $(cat err)"
expect_rc 2 "--pem on a token" "$tool" key gen "$tok\\other" --pem
expect_rc 2 "--password-file on a token" "$tool" key pub "$c" --password-file msg
expect_rc 2 "R3410 on a token" "$tool" key gen "$tok\\other" --alg R3410
expect_rc 1 "no key under the name" "$tool" key pub "$tok\\nobody"
JARNEL_PIN=9999 expect_rc 1 "a wrong PIN" "$tool" key sign "$c" msg
grep -q "login" err || fail "wrong PIN message: $(cat err)"
"$tool" key sign "$c" --out sig.again msg || fail "the right PIN after a wrong one"

if [ $engine = 1 ]; then
  # A key the engine made, imported as a pair, signs on the token for the engine's public key.
  e genpkey -algorithm gost2001 -pkeyopt paramset:B -out engine.key
  e pkey -in engine.key -pubout -out engine.pub
  "$tool" key import "$tok\\imported" engine.key >/dev/null || fail "import of the engine's key"
  "$tool" key sign "$tok\\imported" --out sig.imp msg || fail "sign with the imported key"
  e dgst -md_gost94 -verify engine.pub -signature sig.imp msg >/dev/null ||
    fail "the engine verifies the imported key's signature"

  # A certificate for the token key from an engine CA: stored on the token, read back with the
  # key's fingerprint; the CA certificate is stored as an authority certificate.
  fp=$("$tool" key gen "$tok\\holder" | sed 's/^fingerprint=//')
  "$tool" key pub "$tok\\holder" --pem >holder.pem
  e req -x509 -newkey gost2001 -pkeyopt paramset:A -nodes -keyout ca.key -out ca.pem \
    -subj "/CN=Token Test CA" -days 30 -md_gost94 -addext basicConstraints=critical,CA:TRUE
  e x509 -new -force_pubkey holder.pem -subj "/CN=Token Holder" -CA ca.pem -CAkey ca.key \
    -days 10 -md_gost94 -out holder.crt
  obj=$("$tool" cert add "$tok\\holder" holder.crt) || fail "cert add on the token: $(cat err)"
  [ "$obj" = "$tok\\holder\\keys\\00000001.cer" ] || fail "cert add printed '$obj'"
  expect_rc 1 "the same certificate again" "$tool" cert add "$tok\\holder" holder.crt
  grep -q "holds this certificate already" err || fail "duplicate message: $(cat err)"
  ca_obj=$("$tool" cert add "$tok\\holder" ca.pem) || fail "cert add of the CA"
  "$tool" cert show "$obj" >shown || fail "cert show of the token certificate"
  grep -qx "fingerprint=${fp^^}" shown || fail "token certificate fingerprint $(grep fingerprint shown) is not the key's $fp"
  grep -qx "kind=1" shown || fail "the holder's certificate is not of the token user"
  grep -q "^subject=.*Token Holder" shown || fail "subject: $(grep subject= shown)"
  "$tool" cert show "$ca_obj" | grep -qx "kind=2" || fail "the CA certificate is not an authority's"
  expect_rc 1 "a name without a certificate" "$tool" cert show "$tok\\holder\\keys\\00000009.cer"
fi

[ $failures -eq 0 ] && echo "token tool checks passed"
exit $((failures > 0))
