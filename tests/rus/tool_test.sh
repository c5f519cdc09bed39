#!/usr/bin/env bash
# jarnel-tool digest, cipher and mac: published digests, round trips, agreement with the OpenSSL
# GOST provider, streaming in bounded memory and the exit codes of bad input.
# Usage: tool_test.sh JARNEL_TOOL [sanitized]
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/vec_file.sh
. "$here/../support/vec_file.sh"
tool=$1
sanitized=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"; }
rev() { echo "$1" | sed 's/../& /g' | tr ' ' '\n' | grep . | tac | tr -d '\n'; }

key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
iv=0011223344556677

# Digests: the published values of tests/data/gost3411.vec (memory order) appear reversed.
vectors=0
while IFS=$'\037' read -r section msg digest; do
  case $section in
    # rus-hash-test starts from the other initial state, which differs on the empty message only.
    test) alg=rus-hash-test; [ -n "$msg" ] || continue ;;
    cryptopro) alg=rus-hash-cp ;;
    *) continue ;;
  esac
  expect_eq "$(printf '%s' "$msg" | "$tool" digest --alg $alg)" "$(rev "$digest")" "$alg '$msg'"
  vectors=$((vectors + 1))
done < <(vec_fields "$here/../data/gost3411.vec" Msg Digest)
[ $vectors -ge 2 ] || fail "no digest vectors read"
expect_eq "$("$tool" digest --alg rus-hash-cp /dev/null)" "$("$tool" digest --alg rus-hash-cp </dev/null)" \
  "rus-hash-cp of an empty file and of empty standard input"
[ "$("$tool" digest --alg rus-hash /dev/null)" != "$("$tool" digest --alg rus-hash-test /dev/null)" ] ||
  fail "rus-hash and rus-hash-test agree on the empty message"

head -c 3000005 /dev/urandom >"$work/big"
expect_eq "$("$tool" digest --alg rus-hash "$work/big")" "$("$tool" digest --alg rus-hash <"$work/big")" \
  "digest of a file and of standard input"

# Several files, the openssl byte order and --check.
head -c 1000 "$work/big" >"$work/f1"
head -c 77 "$work/big" >"$work/f2"
"$tool" digest --alg rus-hash-cp "$work/f1" "$work/f2" >"$work/sums" || fail "digest of two files"
expect_eq "$(cat "$work/sums")" "$work/f1: $("$tool" digest --alg rus-hash-cp "$work/f1")
$work/f2: $("$tool" digest --alg rus-hash-cp "$work/f2")" "digest lines 'FILE: HEX'"
expect_eq "$("$tool" digest --alg rus-hash-cp --check "$work/sums")" "$work/f1: OK
$work/f2: OK" "digest --check"
printf x >>"$work/f2"
"$tool" digest --alg rus-hash-cp --check <"$work/sums" >"$work/out" 2>&1
expect_eq "$?:$(tail -1 "$work/out")" "1:$work/f2: FAILED" "digest --check of a changed file"
expect_eq "$("$tool" digest --alg=rus-hash-cp --openssl-order "$work/f1")" \
  "$(rev "$("$tool" digest --alg rus-hash-cp "$work/f1")")" "--openssl-order reverses the bytes"
if openssl engine gost >/dev/null 2>&1; then
  expect_eq "$("$tool" digest --alg rus-hash-cp --openssl-order "$work/f1")" \
    "$(openssl dgst -engine gost -md_gost94 -r "$work/f1" 2>/dev/null | cut -d' ' -f1)" "digest equals openssl dgst -md_gost94"
fi
# GOST R 34.11-2012: the RFC 6986 values as printed there (most significant byte first) by
# default, the engine's byte order with --openssl-order, and --check of 128-digit lines.
vectors=0
while IFS=$'\037' read -r section bits msg digest; do
  [ "$section" = hash ] || continue
  printf "$(printf '%s' "$msg" | sed 's/../\\x&/g')" >"$work/sb.msg"
  expect_eq "$("$tool" digest --alg streebog$bits "$work/sb.msg")" "$digest" "streebog$bits RFC 6986 message"
  expect_eq "$("$tool" digest --alg streebog$bits --openssl-order <"$work/sb.msg")" "$(rev "$digest")" \
    "streebog$bits --openssl-order"
  vectors=$((vectors + 1))
done < <(vec_fields "$here/../data/streebog.vec" Bits Msg Digest)
[ $vectors -eq 4 ] || fail "streebog vectors read: $vectors"
if openssl engine gost >/dev/null 2>&1; then
  for bits in 256 512; do
    for f in /dev/null "$work/f1" "$work/big"; do
      expect_eq "$("$tool" digest --alg streebog$bits --openssl-order "$f")" \
        "$(openssl dgst -engine gost -md_gost12_$bits -r "$f" 2>/dev/null | cut -d' ' -f1)" "streebog$bits equals openssl dgst ($f)"
    done
  done
fi
"$tool" digest --alg streebog512 "$work/f1" "$work/f2" >"$work/sums512" || fail "streebog512 of two files"
expect_eq "$("$tool" digest --alg streebog512 --check "$work/sums512")" "$work/f1: OK
$work/f2: OK" "streebog512 --check"
"$tool" digest --alg streebog256 --check "$work/sums512" >"$work/out" 2>&1
expect_eq "$?" 1 "streebog256 --check of 512-bit lines"
"$tool" digest --alg rus-hash "$work/f1" "$work/missing" >"$work/out" 2>"$work/err"
expect_eq "$?:$(wc -l <"$work/out"):$(cat "$work/err")" "1:1:jarnel-tool digest: $work/missing: No such file or directory" \
  "a missing file among several"

# Round trips in every mode; ECB and CBC pad with PKCS#7 by default.
for alg in rus-change rus-gamma rus-gammar rus-gammar-cp rus-cbc; do
  for sbox in "" "--sbox 23" "--sbox 34" "--sbox tc26-z"; do
    ivarg="--iv $iv"
    [ $alg = rus-change ] && ivarg=""
    # shellcheck disable=SC2086
    "$tool" cipher --alg $alg --key $key $ivarg $sbox "$work/big" >"$work/enc" || fail "$alg $sbox encrypt"
    # shellcheck disable=SC2086
    "$tool" cipher --alg $alg --key $key $ivarg $sbox --decrypt <"$work/enc" >"$work/dec"
    cmp -s "$work/big" "$work/dec" || fail "$alg $sbox round trip"
    size=$(stat -c %s "$work/enc")
    case $alg in
      rus-change | rus-cbc) expect_eq "$size" 3000008 "$alg output size" ;;
      *) expect_eq "$size" 3000005 "$alg output size" ;;
    esac
  done
done

# Padding of the block modes: a table of (mode, pad, input length, encrypted length, decrypted length).
head -c 1001 "$work/big" >"$work/odd"
head -c 1000 "$work/big" >"$work/even"
while read -r alg pad in enc_len dec_len; do
  "$tool" cipher --alg "$alg" --key $key --pad "$pad" --out "$work/penc" "$work/$in" || fail "$alg $pad $in encrypt"
  expect_eq "$(stat -c %s "$work/penc")" "$enc_len" "$alg --pad $pad of $in: encrypted length"
  "$tool" cipher --alg "$alg" --key $key --pad "$pad" --decrypt "$work/penc" >"$work/pdec" || fail "$alg $pad $in decrypt"
  expect_eq "$(stat -c %s "$work/pdec")" "$dec_len" "$alg --pad $pad of $in: decrypted length"
  cmp -s "$work/pdec" "$work/$in" || [ "$pad" = zero ] || fail "$alg --pad $pad of $in: bytes back"
done <<'TABLE'
rus-cbc pkcs7 odd 1008 1001
rus-cbc pkcs7 even 1008 1000
rus-change pkcs7 odd 1008 1001
rus-change zero odd 1008 1008
rus-cbc none even 1000 1000
TABLE
"$tool" cipher --alg rus-cbc --key $key --pad none "$work/odd" >/dev/null 2>"$work/err"
expect_eq "$?" 1 "--pad none on a partial block fails"
grep -q "not a whole number of 8-byte blocks" "$work/err" || fail "--pad none says why: $(cat "$work/err")"
"$tool" cipher --alg rus-cbc --key $key "$work/odd" --out "$work/penc"
"$tool" cipher --alg rus-cbc --key ${key/00/ff} --decrypt "$work/penc" >/dev/null 2>"$work/err"
expect_eq "$?" 1 "a wrong key fails the PKCS#7 check"
grep -q "bad padding" "$work/err" || fail "bad padding says why: $(cat "$work/err")"
if openssl engine gost >/dev/null 2>&1; then
  openssl enc -e -gost89-cbc -K $key -iv $iv -engine gost -in "$work/odd" -out "$work/ref" 2>/dev/null &&
    CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet openssl enc -e -gost89-cbc -K $key -iv $iv -engine gost \
      -in "$work/odd" -out "$work/ref" 2>/dev/null
  "$tool" cipher --alg rus-cbc --key $key --iv $iv "$work/odd" >"$work/ours"
  cmp -s "$work/ref" "$work/ours" || fail "rus-cbc with PKCS#7 differs from the engine's gost89-cbc"
fi

# Keys from files and passwords.
printf '%s\n' $key >"$work/key.hex"
perl -e 'print pack("H*", $ARGV[0])' $key >"$work/key.bin"
m_cmd=$("$tool" mac --key $key "$work/odd")
expect_eq "$("$tool" mac --key-file "$work/key.hex" "$work/odd")" "$m_cmd" "--key-file with hex"
expect_eq "$("$tool" mac --key-file="$work/key.bin" "$work/odd")" "$m_cmd" "--key-file with raw bytes"
"$tool" cipher --alg rus-gamma --key-file "$work/key.bin" --iv $iv "$work/odd" >"$work/c1"
"$tool" cipher --alg rus-gamma --key $key --iv $iv "$work/odd" >"$work/c2"
cmp -s "$work/c1" "$work/c2" || fail "cipher --key-file"
printf 'correct horse battery\n' >"$work/pw"
pwmac=$("$tool" mac --password-file "$work/pw" --salt 0102030405060708 --iter 1000 "$work/odd")
[[ $pwmac =~ ^[0-9a-f]{8}$ ]] || fail "mac with a password: '$pwmac'"
[ "$pwmac" != "$("$tool" mac --password-file "$work/pw" --salt 0102030405060709 --iter 1000 "$work/odd")" ] ||
  fail "the salt changes the key"
if openssl list -kdf-algorithms -provider gostprov -provider default >/dev/null 2>&1; then
  dk=$(openssl kdf -keylen 32 -kdfopt digest:md_gost94 -kdfopt 'pass:correct horse battery' \
    -kdfopt hexsalt:0102030405060708 -kdfopt iter:1000 -provider gostprov -provider default PBKDF2 2>/dev/null |
    tr -d ':' | tr 'A-F' 'a-f')
  [ -n "$dk" ] && expect_eq "$pwmac" "$("$tool" mac --key "$dk" "$work/odd")" "password key equals openssl kdf PBKDF2 md_gost94"
fi

# S-boxes by name and number; TC26-Z is the engine's gost89 default.
expect_eq "$("$tool" mac --key $key --sbox cryptopro-b "$work/odd")" "$("$tool" mac --key $key --sbox 33 "$work/odd")" \
  "S-box by name and by number"
expect_eq "$("$tool" mac --key $key "$work/odd")" "$("$tool" mac --key $key --sbox cryptopro-a "$work/odd")" \
  "the MAC's default S-box is cryptopro-a"
"$tool" cipher --alg rus-gamma --key $key "$work/odd" >"$work/c1"
"$tool" cipher --alg rus-gamma --key $key --sbox cryptopro-a "$work/odd" >"$work/c2"
cmp -s "$work/c1" "$work/c2" || fail "the cipher's default S-box is cryptopro-a"
if openssl engine gost >/dev/null 2>&1; then
  (unset CRYPT_PARAMS; openssl enc -e -gost89 -K $key -iv $iv -engine gost -in "$work/big" -out "$work/ref" 2>/dev/null)
  "$tool" cipher --alg rus-gammar-cp --sbox tc26-z --key $key --iv $iv "$work/big" >"$work/ours"
  cmp -s "$work/ref" "$work/ours" || fail "tc26-z differs from the engine's gost89 default (param Z)"
  head -c 3000 "$work/big" >"$work/k3"
  ref=$(openssl dgst -engine gost -mac gost-mac -macopt hexkey:$key "$work/k3" 2>/dev/null | sed 's/.*= //')
  expect_eq "$("$tool" mac --key $key --mesh "$work/k3")" "$ref" "mac --mesh equals openssl gost-mac past 1024 bytes"
  [ "$("$tool" mac --key $key "$work/k3")" != "$ref" ] || fail "without --mesh the key is not meshed"
  ref=$(openssl dgst -engine gost -mac gost-mac -macopt hexkey:$key -macopt size:2 "$work/odd" 2>/dev/null | sed 's/.*= //')
  expect_eq "$("$tool" mac --key $key --bytes 2 "$work/odd")" "$ref" "mac --bytes 2 equals openssl size:2"
fi

# Agreement with the OpenSSL GOST provider, when it is installed.
prov=(-provider gostprov -provider default)
if openssl list -cipher-algorithms "${prov[@]}" 2>/dev/null | grep -q gost89-cnt; then
  export CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet
  head -c 5000 "$work/big" >"$work/small"
  openssl enc -e -gost89 -K $key -iv $iv "${prov[@]}" -in "$work/small" -out "$work/ref" 2>/dev/null
  "$tool" cipher --alg rus-gammar-cp --key $key --iv $iv "$work/small" >"$work/ours"
  cmp -s "$work/ref" "$work/ours" || fail "rus-gammar-cp differs from the provider's gost89"
  head -c 1000 "$work/big" >"$work/k"
  openssl enc -e -gost89-cnt -K $key -iv $iv "${prov[@]}" -in "$work/k" -out "$work/ref" 2>/dev/null
  "$tool" cipher --alg rus-gamma --sbox 32 --key $key --iv $iv "$work/k" >"$work/ours"
  cmp -s "$work/ref" "$work/ours" || fail "rus-gamma differs from the provider's gost89-cnt"
  ref=$(openssl mac "${prov[@]}" -macopt hexkey:$key -in "$work/k" gost-mac 2>/dev/null | tr 'A-F' 'a-f')
  expect_eq "$("$tool" mac --key $key --sbox 32 "$work/k")" "$ref" "mac against the provider's gost-mac"
  unset CRYPT_PARAMS
else
  echo "note: GOST provider not installed, provider comparisons skipped"
fi

# MAC options.
m32=$("$tool" mac --key $key "$work/k")
m16=$("$tool" mac --key $key --bits 16 "$work/k")
expect_eq "$m16" "${m32:4:4}" "--bits 16 keeps the upper half"
expect_eq "$("$tool" mac --key $key --bytes 2 "$work/k")" "${m32:0:4}" "--bytes 2 keeps the first two bytes"
[ "$("$tool" mac --key $key --iv $iv "$work/k")" != "$m32" ] || fail "mac ignores --iv"

# Bounded memory: 256 MiB through a pipe under a 256 MiB address-space limit.
if [ "$sanitized" != sanitized ]; then
  out=$( (ulimit -v 262144; head -c 268435456 /dev/zero | "$tool" cipher --alg rus-gammar-cp --key $key | wc -c) )
  expect_eq "$out" 268435456 "streaming 256 MiB"
fi

# Bad input: one line on standard error, exit status 2.
check_usage() {
  local what=$1
  shift
  "$@" </dev/null >/dev/null 2>"$work/err"
  local rc=$?
  expect_eq "$rc" 2 "$what: exit status"
  expect_eq "$(wc -l <"$work/err")" 1 "$what: one error line"
}
check_usage "bad key hex" "$tool" cipher --alg rus-gamma --key zz$key
check_usage "short key" "$tool" cipher --alg rus-gamma --key 0011
check_usage "odd hex" "$tool" mac --key ${key}0
check_usage "bad iv length" "$tool" cipher --alg rus-gammar --key $key --iv 0011
check_usage "iv for ecb" "$tool" cipher --alg rus-change --key $key --iv $iv
check_usage "unknown sbox" "$tool" cipher --alg rus-gamma --key $key --sbox 36
check_usage "unknown sbox mac" "$tool" mac --key $key --sbox 30
check_usage "bad bits" "$tool" mac --key $key --bits 33
check_usage "unknown cipher" "$tool" cipher --alg rus-ofb --key $key
check_usage "unknown digest" "$tool" digest --alg sha1
check_usage "unknown pad" "$tool" cipher --alg rus-cbc --key $key --pad iso
check_usage "pad for a stream mode" "$tool" cipher --alg rus-gamma --key $key --pad pkcs7
check_usage "two key sources" "$tool" mac --key $key --key-file "$work/key.hex"
check_usage "no key" "$tool" mac
check_usage "password without salt" "$tool" mac --password-file "$work/pw"
check_usage "short salt" "$tool" mac --password-file "$work/pw" --salt 0102
check_usage "few iterations" "$tool" mac --password-file "$work/pw" --salt 0102030405060708 --iter 10
check_usage "bits and bytes" "$tool" mac --key $key --bits 16 --bytes 2
check_usage "option without value" "$tool" mac --key
check_usage "flag with a value" "$tool" cipher --alg rus-cbc --key $key --decrypt=yes

# A missing or unreadable input is a failed operation: exit 1, one line naming it and the reason.
check_failed() {
  local what=$1 says=$2
  shift 2
  "$@" </dev/null >/dev/null 2>"$work/err"
  local rc=$?
  expect_eq "$rc" 1 "$what: exit status"
  expect_eq "$(cat "$work/err")" "$says" "$what: message"
}
check_failed "missing file" "jarnel-tool digest: $work/missing: No such file or directory" \
  "$tool" digest --alg rus-hash "$work/missing"
check_failed "missing file cipher" "jarnel-tool cipher: $work/missing: No such file or directory" \
  "$tool" cipher --alg rus-gamma --key $key "$work/missing"
check_failed "directory" "jarnel-tool mac: $work: Is a directory" "$tool" mac --key $key "$work"
check_failed "missing key file" "jarnel-tool mac: $work/missing: No such file or directory" \
  "$tool" mac --key-file "$work/missing" "$work/odd"
check_failed "not a key file" "jarnel-tool mac: $work/odd: not a key: expected 32 raw bytes or 64 hex digits" \
  "$tool" mac --key-file "$work/odd" "$work/odd"

[ $failures -eq 0 ] && echo "all jarnel-tool checks passed"
exit $((failures > 0))
