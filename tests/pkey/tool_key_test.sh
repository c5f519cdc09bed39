#!/usr/bin/env bash
# jarnel-tool key end to end on temporary containers: generation in every form, the public key
# and signatures checked by the OpenSSL GOST engine's command line, keys the engine made
# imported (plain and PBES2-encrypted) and used, and the usage errors.
# Usage: tool_key_test.sh JARNEL_TOOL
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
  openssl "$sub" -engine gost "$@" 2>/dev/null
}

head -c 70000 /dev/urandom >"$work/msg"
printf 'key password\n' >"$work/pw"
printf 'other\n' >"$work/wrong"

# Generation: each form, each parameter set; the key file is where the container keeps it and
# the key signs after being read back.
n=0
for keyspec in "ECGOST3410 CP-A" "ECGOST3410 CP-B" "ECGOST3410 CP-C" "ECGOST3410 CP-XA" "ECGOST3410 CP-XB" \
            "R3410 CP-A" "R3410 CP-XC"; do
  set -- $keyspec
  for form in "" "--pem" "--traditional" "--pem --traditional" "--password-file $work/pw" \
              "--pem --password-file $work/pw" "--pem --traditional --password-file $work/pw"; do
    n=$((n + 1))
    c="$work/c$n"
    "$tool" pse create "$c" || { fail "pse create"; continue; }
    pass=(); case $form in *password*) pass=(--password-file "$work/pw") ;; esac
    # shellcheck disable=SC2086
    fp=$("$tool" key gen "$c" --alg $1 --paramset $2 $form) || { fail "gen $keyspec $form"; continue; }
    [[ $fp =~ ^fingerprint=[0-9a-f]{64}$ ]] || fail "gen $keyspec $form: printed '$fp'"
    [ -s "$c/keys/00000001.key" ] || fail "gen $keyspec $form: no keys/00000001.key"
    case $form in *--pem*) head -c 11 "$c/keys/00000001.key" | grep -q -- '-----BEGIN ' || fail "gen $keyspec $form: not PEM" ;; esac
    "$tool" key pub "$c" "${pass[@]}" >"$work/pub.der" || fail "pub $keyspec $form"
    "$tool" key sign "$c" "${pass[@]}" --out "$work/sig" "$work/msg" || fail "sign $keyspec $form"
    [ "$(stat -c %s "$work/sig")" -eq 64 ] || fail "sign $keyspec $form: signature is not 64 bytes"
    if [ $1 = ECGOST3410 ] && [ $engine = 1 ]; then
      e pkey -pubin -inform DER -in "$work/pub.der" -out "$work/pub.pem" || fail "the engine reads the public key ($keyspec)"
      # The engine's own encoding of the key it read is ours byte for byte: the same point.
      e pkey -pubin -inform DER -in "$work/pub.der" -pubout -outform DER | cmp -s - "$work/pub.der" ||
        fail "the engine re-encodes the public key unchanged ($keyspec)"
      e dgst -md_gost94 -verify "$work/pub.pem" -signature "$work/sig" "$work/msg" >/dev/null ||
        fail "the engine verifies key sign ($keyspec $form)"
    fi
    if [ -n "${pass[*]}" ]; then
      expect_rc 1 "pub without the key file's password ($keyspec $form)" "$tool" key pub "$c"
      grep -q "give --password-file" "$work/err" || fail "missing password message: $(cat "$work/err")"
      expect_rc 1 "pub with a wrong password ($keyspec $form)" "$tool" key pub "$c" --password-file "$work/wrong"
    fi
  done
done

# Standard input, PEM public key, a second key refused.
c="$work/std"
"$tool" pse create "$c"
"$tool" key gen "$c" >/dev/null
"$tool" key sign "$c" <"$work/msg" >"$work/sig.stdin" || fail "sign standard input"
"$tool" key pub "$c" --pem >"$work/pub.pem"
head -1 "$work/pub.pem" | grep -qx -- '-----BEGIN PUBLIC KEY-----' || fail "pub --pem"
expect_rc 1 "a second gen" "$tool" key gen "$c"
grep -q "already holds a key" "$work/err" || fail "second gen message"
if [ $engine = 1 ]; then
  e dgst -md_gost94 -verify "$work/pub.pem" -signature "$work/sig.stdin" "$work/msg" >/dev/null ||
    fail "the engine verifies a signature of standard input"
  # The engine's view of the public key: the same point as ours.
  e pkey -pubin -in "$work/pub.pem" -text -noout >"$work/pub.txt" || fail "engine prints the public key"
  grep -q "Public key" "$work/pub.txt" || fail "engine public key text"
fi

# Keys made by the engine: plain PEM and DER, and PBES2-encrypted with GOST 28147-89 (the
# engine's TC26 parameter set) under the engine's default PRF, HMAC over GOST R 34.11-2012-512,
# and under HMAC-GOST R 34.11-2012-256, hmacWithSHA256 and id-HMACGostR3411-94.
if [ $engine = 1 ]; then
  for ps in A B C XA XB; do
    openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:$ps -out "$work/e.pem" 2>/dev/null ||
      { fail "engine genpkey $ps"; continue; }
    e pkey -in "$work/e.pem" -outform DER -out "$work/e.der"
    e pkey -in "$work/e.pem" -pubout -out "$work/epub.pem"
    for prf in hmacWithSHA256 id-HMACGostR3411-94 id-tc26-hmac-gost-3411-2012-256; do
      e pkcs8 -topk8 -v2 gost89 -v2prf $prf -in "$work/e.pem" -out "$work/e.$prf.pem" -passout "file:$work/pw"
    done
    # The engine's default: no -v2prf. DER as well as PEM.
    e pkcs8 -topk8 -v2 gost89 -in "$work/e.pem" -out "$work/e.streebog-hmac.pem" -passout "file:$work/pw"
    e pkcs8 -topk8 -v2 gost89 -in "$work/e.pem" -outform DER -out "$work/e.streebog-hmac.der" -passout "file:$work/pw"
    openssl asn1parse -in "$work/e.streebog-hmac.pem" | grep -q "HMAC GOST 34.11-2012 512 bit" ||
      fail "the engine's default PRF is HMAC-GOST R 34.11-2012-512 ($ps)"
    for k in e.pem e.der e.hmacWithSHA256.pem e.id-HMACGostR3411-94.pem e.id-tc26-hmac-gost-3411-2012-256.pem \
             e.streebog-hmac.pem e.streebog-hmac.der; do
      c="$work/imp.$ps.$k"
      "$tool" pse create "$c"
      pass=(); case $k in *HMAC* | *hmac*) pass=(--password-file "$work/pw") ;; esac
      if [ -n "${pass[*]}" ]; then
        expect_rc 1 "import $k with a wrong password ($ps)" "$tool" key import "$c" "$work/$k" --password-file "$work/wrong"
        [ ! -e "$c/keys/00000001.key" ] || fail "a refused import leaves a key file ($k $ps)"
      fi
      "$tool" key import "$c" "$work/$k" "${pass[@]}" >/dev/null || { fail "import $k ($ps): $(cat "$work/err" 2>/dev/null)"; continue; }
      # Stored protected: the engine's private value is not in the key file.
      d=$(tail -c 32 "$work/e.der" | od -An -tx1 | tr -d ' \n')
      kf=$(od -An -tx1 "$c/keys/00000001.key" | tr -d ' \n')
      case $kf in *"$d"*) fail "import $k ($ps): the private value is in the key file" ;; esac
      "$tool" key pub "$c" --pem | cmp -s - "$work/epub.pem" || fail "import $k ($ps): public key differs from the engine's"
      "$tool" key sign "$c" --out "$work/isig" "$work/msg" || fail "sign with imported $k ($ps)"
      e dgst -md_gost94 -verify "$work/epub.pem" -signature "$work/isig" "$work/msg" >/dev/null ||
        fail "the engine verifies the imported key's signature ($k $ps)"
    done
  done
  c="$work/imp.nopw"
  "$tool" pse create "$c"
  expect_rc 2 "encrypted import without a password" "$tool" key import "$c" "$work/e.hmacWithSHA256.pem"
  expect_rc 1 "encrypted import with a wrong password" "$tool" key import "$c" "$work/e.hmacWithSHA256.pem" --password-file "$work/wrong"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$work/rsa.pem" 2>/dev/null
  expect_rc 2 "an RSA key is not imported" "$tool" key import "$c" "$work/rsa.pem"
  [ ! -e "$c/keys/00000001.key" ] || fail "a refused import leaves a key file"
fi

# Usage errors and failures: one line on standard error.
c="$work/std"
expect_rc 2 "no operation" "$tool" key
expect_rc 2 "no container" "$tool" key gen
expect_rc 2 "unknown operation" "$tool" key frob "$c"
expect_rc 2 "unknown algorithm" "$tool" key gen "$work/x" --alg RSA
expect_rc 2 "parameter set of the other algorithm" "$tool" key gen "$work/x" --paramset CP-D
expect_rc 2 "--paramset with pub" "$tool" key pub "$c" --paramset CP-A
expect_rc 2 "--out with pub" "$tool" key pub "$c" --out "$work/o"
expect_rc 2 "import without key file" "$tool" key import "$c"
expect_rc 2 "too many arguments" "$tool" key sign "$c" a b
expect_rc 2 "encrypted traditional DER" "$tool" key gen "$work/y" --traditional --password-file "$work/pw"
expect_rc 1 "no container at the path" "$tool" key gen "$work/none"
expect_rc 1 "a container without a key" bash -c "'$tool' pse create '$work/empty' && '$tool' key pub '$work/empty'"
grep -q "holds no key" "$work/err" || fail "no key message: $(cat "$work/err")"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "a failure prints one line"

[ $failures -eq 0 ] && echo "key command checks passed"
exit $((failures > 0))
