#!/usr/bin/env bash
# jarnel-tool ecgost: key generation, signing and verification round trips, the exit codes of bad
# input, and agreement with the OpenSSL GOST engine's command line (signatures both ways and the
# VKO key-encryption key) when the engine is installed.
# Usage: tool_test.sh JARNEL_TOOL
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"; }
expect_rc() {
  local want=$1 what=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  [ $rc -eq "$want" ] || fail "$what: exit $rc, expected $want ($(head -c 200 "$work/err"))"
}
rev() { echo "$1" | sed 's/../& /g' | tr ' ' '\n' | grep . | tac | tr -d '\n'; }

head -c 100000 /dev/urandom >"$work/msg"

for ps in A B C XA XB; do
  out=$("$tool" ecgost keygen --paramset $ps) || fail "keygen $ps"
  d=$(echo "$out" | sed -n 's/^d=//p')
  q=$(echo "$out" | sed -n 's/^Q=//p')
  [[ $d =~ ^[0-9a-f]{64}$ ]] || fail "keygen $ps: d '$d'"
  [[ $q =~ ^[0-9a-f]{128}$ ]] || fail "keygen $ps: Q '$q'"
  sig=$("$tool" ecgost sign --paramset $ps --key "$d" "$work/msg") || fail "sign $ps"
  [[ $sig =~ ^[0-9a-f]{128}$ ]] || fail "sign $ps: '$sig'"
  expect_eq "$("$tool" ecgost verify --paramset $ps --pub "$q" --sig "$sig" "$work/msg")" valid "verify $ps"
  printf 'd=%s\nparamset=%s\n' "$d" $ps >"$work/key"
  sig2=$("$tool" ecgost sign --paramset $ps --key-file "$work/key" <"$work/msg") || fail "sign stdin $ps"
  expect_eq "$("$tool" ecgost verify --paramset $ps --pub "$q" --sig "$sig2" <"$work/msg")" valid "verify stdin $ps"
  printf x >>"$work/msg"
  expect_rc 1 "verify of a changed message $ps" "$tool" ecgost verify --paramset $ps --pub "$q" --sig "$sig" "$work/msg"
  expect_eq "$(cat "$work/out")" invalid "invalid printed $ps"
done

out=$("$tool" ecgost keygen --paramset A)
d=$(echo "$out" | sed -n 's/^d=//p')
q=$(echo "$out" | sed -n 's/^Q=//p')
out2=$("$tool" ecgost keygen --paramset A)
d2=$(echo "$out2" | sed -n 's/^d=//p')
q2=$(echo "$out2" | sed -n 's/^Q=//p')
k1=$("$tool" ecgost vko --paramset A --key "$d" --peer "$q2" --ukm 0102030405060708)
k2=$("$tool" ecgost vko --paramset A --key "$d2" --peer "$q" --ukm 0102030405060708)
[[ $k1 =~ ^[0-9a-f]{64}$ ]] || fail "vko output '$k1'"
expect_eq "$k1" "$k2" "vko both directions"

# Bad input: one line on standard error, exit 2.
expect_rc 2 "no operation" "$tool" ecgost
expect_rc 2 "unknown operation" "$tool" ecgost frobnicate --paramset A
expect_rc 2 "unknown parameter set" "$tool" ecgost keygen --paramset D
expect_rc 2 "short key" "$tool" ecgost sign --paramset A --key 0102 "$work/msg"
expect_rc 2 "key not hex" "$tool" ecgost sign --paramset A --key "$(printf 'zz%.0s' {1..32})" "$work/msg"
expect_rc 2 "zero key" "$tool" ecgost sign --paramset A --key "$(printf '00%.0s' {1..32})" "$work/msg"
expect_rc 2 "both keys" "$tool" ecgost sign --paramset A --key "$d" --key-file "$work/key" "$work/msg"
expect_rc 1 "missing key file" "$tool" ecgost sign --paramset A --key-file "$work/none" "$work/msg"
expect_eq "$(cat "$work/err")" "jarnel-tool ecgost: $work/none: No such file or directory" "missing key file message"
expect_rc 1 "missing input" "$tool" ecgost sign --paramset A --key "$d" "$work/none"
expect_rc 2 "key on another parameter set" "$tool" ecgost sign --paramset B --key-file "$work/key" "$work/msg"
expect_rc 2 "a public key as the private key" "$tool" ecgost sign --key-file <(printf 'Q=%s\n' "$q") "$work/msg"
expect_rc 2 "short signature" "$tool" ecgost verify --paramset A --pub "$q" --sig 00 "$work/msg"
expect_rc 2 "point off the curve" "$tool" ecgost verify --paramset A --pub "${q:0:126}00" --sig "$sig" "$work/msg"
expect_rc 2 "short UKM" "$tool" ecgost vko --paramset A --key "$d" --peer "$q2" --ukm 0102
expect_rc 2 "zero UKM" "$tool" ecgost vko --paramset A --key "$d" --peer "$q2" --ukm 0000000000000000
expect_rc 2 "option without value" "$tool" ecgost keygen --paramset
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "bad input prints one line"
"$tool" ecgost --help | grep -q "never keeps private keys" || fail "--help warns about keys on the command line"

# keygen's text output is a key file as it stands.
"$tool" ecgost keygen --paramset C >"$work/key.txt"
"$tool" ecgost sign --key-file "$work/key.txt" --out "$work/s.bin" "$work/msg" || fail "sign with keygen's text"
expect_eq "$(stat -c %s "$work/s.bin")" 64 "binary signature file"
expect_eq "$("$tool" ecgost verify --pub-file "$work/key.txt" --signature "$work/s.bin" "$work/msg")" valid \
  "verify with keygen's text and a binary signature"
# A precomputed digest signs the same message.
h=$("$tool" digest --alg rus-hash-cp "$work/msg")
"$tool" ecgost sign --key-file "$work/key.txt" --hash-hex "$h" --out "$work/s2.bin"
expect_eq "$("$tool" ecgost verify --pub-file "$work/key.txt" --signature "$work/s2.bin" "$work/msg")" valid "--hash-hex"
# Private key files are the owner's alone; a failed write leaves no file behind.
"$tool" ecgost keygen --out "$work/own.der"
expect_eq "$(stat -c %a "$work/own.der")" 600 "key file permissions"

# The OpenSSL GOST engine's command line, when present: key generation, signing and
# verification, each step done by either side, with the files each side writes.
if openssl engine gost >/dev/null 2>&1; then
  e() {
    local sub=$1
    shift
    openssl "$sub" -engine gost "$@" 2>/dev/null
  }
  printf 'pass phrase\n' >"$work/pw"
  for ps in A B C XA XB; do
    # Keys: ours (DER, PEM, encrypted PEM) and the engine's (PEM, and three encrypted forms: its
    # default PBES2, -v2 gost89 with its default PRF HMAC-GOST R 34.11-2012-512, and with
    # hmacWithSHA256).
    "$tool" ecgost keygen --paramset $ps --out "$work/o.der" || fail "keygen --out $ps"
    "$tool" ecgost keygen --paramset $ps --out "$work/o.pem" --pem || fail "keygen --pem $ps"
    "$tool" ecgost keygen --paramset $ps --out "$work/oe.pem" --pem --password-file "$work/pw" || fail "keygen encrypted $ps"
    openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:$ps -out "$work/t.pem" 2>/dev/null
    e pkcs8 -topk8 -in "$work/t.pem" -out "$work/te.pem" -passout "file:$work/pw"
    e pkcs8 -topk8 -in "$work/t.pem" -out "$work/tg.pem" -v2 gost89 -v2prf hmacWithSHA256 -passout "file:$work/pw"
    e pkcs8 -topk8 -in "$work/t.pem" -out "$work/ts.pem" -v2 gost89 -passout "file:$work/pw"
    for k in o.der o.pem oe.pem t.pem te.pem tg.pem ts.pem; do
      pass=(); case $k in *e.pem | tg.pem | ts.pem) pass=(--password-file "$work/pw") ;; esac
      inform=PEM; [ $k = o.der ] && inform=DER
      # The engine reads every key; its public key is the reference.
      openssl pkey -engine gost -inform $inform -in "$work/$k" -passin "file:$work/pw" -pubout -out "$work/ref.pem" \
        2>/dev/null || { fail "engine reads $k ($ps)"; continue; }
      openssl pkey -engine gost -inform $inform -in "$work/$k" -passin "file:$work/pw" -out "$work/plain.pem" 2>/dev/null
      "$tool" ecgost pub "${pass[@]}" --key-file "$work/$k" --pem >"$work/pub.pem" || fail "pub of $k ($ps)"
      cmp -s "$work/pub.pem" "$work/ref.pem" || fail "pub of $k equals the engine's ($ps)"
      # Signatures: ours and the engine's, each verified by both.
      "$tool" ecgost sign "${pass[@]}" --key-file "$work/$k" --out "$work/sig.ours" "$work/msg" || fail "sign with $k ($ps)"
      e dgst -md_gost94 -sign "$work/plain.pem" -out "$work/sig.theirs" "$work/msg"
      for sg in ours theirs; do
        e dgst -md_gost94 -verify "$work/ref.pem" -signature "$work/sig.$sg" "$work/msg" >/dev/null ||
          fail "engine verifies the $sg signature with $k ($ps)"
        expect_eq "$("$tool" ecgost verify --pub-file "$work/pub.pem" --signature "$work/sig.$sg" "$work/msg")" valid \
          "we verify the $sg signature with $k ($ps)"
      done
    done
    # A digest computed by openssl signs here.
    hh=$(e dgst -md_gost94 -r "$work/msg" | cut -d' ' -f1)
    "$tool" ecgost sign --key-file "$work/t.pem" --hash-hex "$hh" --openssl-order --out "$work/sig.h"
    e dgst -md_gost94 -verify "$work/ref.pem" -signature "$work/sig.h" "$work/msg" >/dev/null ||
      fail "--hash-hex --openssl-order ($ps)"
    # The DER public key equals the engine's byte for byte.
    "$tool" ecgost pub --key-file "$work/t.pem" --out "$work/pub.der"
    e pkey -in "$work/t.pem" -pubout -outform DER -out "$work/ref.der"
    cmp -s "$work/pub.der" "$work/ref.der" || fail "DER public key equals the engine's ($ps)"
  done
  expect_rc 1 "wrong password" "$tool" ecgost sign --key-file "$work/te.pem" --password-file "$work/key" "$work/msg"
  expect_rc 2 "encrypted key without a password" "$tool" ecgost sign --key-file "$work/te.pem" "$work/msg"
fi

# The OpenSSL GOST engine's command line, when present.
if openssl engine gost >/dev/null 2>&1; then
  ossl() { openssl "$@" -engine gost 2>/dev/null; }
  for ps in A B C XA XB; do
    openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:$ps -out "$work/e.pem" 2>/dev/null ||
      { fail "engine keygen $ps"; continue; }
    openssl pkey -engine gost -in "$work/e.pem" -outform DER -out "$work/e.der" 2>/dev/null
    openssl pkey -engine gost -in "$work/e.pem" -pubout -out "$work/epub.pem" 2>/dev/null
    openssl pkey -engine gost -in "$work/e.pem" -pubout -outform DER -out "$work/epub.der" 2>/dev/null
    # Private value: the last 32 bytes of the PKCS#8 form, little-endian. Public: the last 64
    # bytes of the SubjectPublicKeyInfo, X_le || Y_le.
    ed=$(rev "$(tail -c 32 "$work/e.der" | od -An -tx1 | tr -d ' \n')")
    eq=$(tail -c 64 "$work/epub.der" | od -An -tx1 | tr -d ' \n')
    openssl dgst -engine gost -md_gost94 -sign "$work/e.pem" -out "$work/esig" "$work/msg" 2>/dev/null ||
      fail "engine sign $ps"
    esig=$(od -An -tx1 "$work/esig" | tr -d ' \n')
    expect_eq "$("$tool" ecgost verify --paramset $ps --pub "$eq" --sig "$esig" "$work/msg")" valid \
      "engine signature verifies here ($ps)"
    "$tool" ecgost sign --paramset $ps --key "$ed" "$work/msg" | perl -ne 'chomp; print pack("H*", $_)' >"$work/osig"
    openssl dgst -engine gost -md_gost94 -verify "$work/epub.pem" -signature "$work/osig" "$work/msg" \
      >/dev/null 2>&1 || fail "signature made here verifies in the engine ($ps)"
  done
  # VKO against the engine's derive (A): our key d against the engine key, UKM given in hex.
  openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out "$work/e1.pem" 2>/dev/null
  openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out "$work/e2.pem" 2>/dev/null
  openssl pkey -engine gost -in "$work/e1.pem" -outform DER -out "$work/e1.der" 2>/dev/null
  openssl pkey -engine gost -in "$work/e2.pem" -pubout -out "$work/e2pub.pem" 2>/dev/null
  openssl pkey -engine gost -in "$work/e2.pem" -pubout -outform DER -out "$work/e2pub.der" 2>/dev/null
  d1=$(rev "$(tail -c 32 "$work/e1.der" | od -An -tx1 | tr -d ' \n')")
  q2=$(tail -c 64 "$work/e2pub.der" | od -An -tx1 | tr -d ' \n')
  theirs=$(openssl pkeyutl -engine gost -derive -inkey "$work/e1.pem" -peerkey "$work/e2pub.pem" \
    -pkeyopt ukmhex:0102030405060708 2>/dev/null | od -An -tx1 | tr -d ' \n')
  expect_eq "$("$tool" ecgost vko --paramset A --key "$d1" --peer "$q2" --ukm 0102030405060708)" \
    "$theirs" "VKO KEK equals the engine's derive"
  expect_eq "$("$tool" ecgost vko --key-file "$work/e1.pem" --peer-file "$work/e2pub.pem" --ukm 0102030405060708)" \
    "$theirs" "VKO with the engine's key files"
  "$tool" ecgost vko --key-file "$work/e1.pem" --peer-file "$work/e2pub.der" --ukm 0102030405060708 --out "$work/kek"
  expect_eq "$(od -An -tx1 "$work/kek" | tr -d ' \n')" "$theirs" "VKO --out writes the 32 bytes"
fi

# r3410: GOST R 34.10-94 in the same forms. The engine no longer does GOST R 34.10-94, so the
# structures are checked with openssl asn1parse and the signatures here.
printf 'pass phrase\n' >"$work/pw94"
for ps in A B C D XA XB XC; do
  "$tool" r3410 keygen --paramset $ps --out "$work/r.der" || fail "r3410 keygen $ps"
  openssl asn1parse -inform DER -in "$work/r.der" 2>/dev/null | grep -q ":GOST R 34.10-94" ||
    fail "r3410 PKCS#8 names GOST R 34.10-94 ($ps)"
  "$tool" r3410 pub --key-file "$work/r.der" --out "$work/rp.der" || fail "r3410 pub $ps"
  openssl asn1parse -inform DER -in "$work/rp.der" 2>/dev/null | grep -q "GOST R 34.10-94" || fail "r3410 SPKI ($ps)"
  "$tool" r3410 sign --key-file "$work/r.der" --out "$work/rs" "$work/msg" || fail "r3410 sign $ps"
  expect_eq "$(stat -c %s "$work/rs")" 64 "r3410 signature length ($ps)"
  expect_eq "$("$tool" r3410 verify --pub-file "$work/rp.der" --signature "$work/rs" "$work/msg")" valid "r3410 verify $ps"
done
"$tool" r3410 keygen --paramset XC --out "$work/re.pem" --pem --password-file "$work/pw94"
grep -q "BEGIN ENCRYPTED PRIVATE KEY" "$work/re.pem" || fail "r3410 encrypted PEM"
"$tool" r3410 keygen >"$work/r.txt"
"$tool" r3410 sign --key-file "$work/re.pem" --password-file "$work/pw94" "$work/msg" >"$work/rs.hex" || fail "r3410 encrypted key"
"$tool" r3410 pub --key-file "$work/re.pem" --password-file "$work/pw94" --pem >"$work/rp.pem"
expect_eq "$("$tool" r3410 verify --pub-file "$work/rp.pem" --signature "$work/rs.hex" "$work/msg")" valid "r3410 hex signature, PEM key"
"$tool" r3410 sign --key-file "$work/r.txt" --hash-hex "$("$tool" digest --alg rus-hash-cp "$work/msg")" >"$work/rs.hex"
expect_eq "$("$tool" r3410 verify --pub-file "$work/r.txt" --signature "$work/rs.hex" "$work/msg")" valid "r3410 text key, --hash-hex"
printf x >>"$work/msg"
expect_rc 1 "r3410 changed message" "$tool" r3410 verify --pub-file "$work/r.txt" --signature "$work/rs.hex" "$work/msg"
expect_rc 2 "r3410 key of the other algorithm" "$tool" r3410 sign --key-file "$work/own.der" "$work/msg"
expect_rc 2 "ecgost key of the other algorithm" "$tool" ecgost sign --key-file "$work/r.der" "$work/msg"

[ $failures -eq 0 ] && echo "ecgost tool tests passed"
exit $((failures > 0))
