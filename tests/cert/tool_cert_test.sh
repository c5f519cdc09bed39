#!/usr/bin/env bash
# jarnel-tool cert add / cert show on a container in a temporary folder: where the certificate
# goes, numbering, refusing a duplicate or bad bytes without writing anything, and errors.
# Usage: tool_cert_test.sh JARNEL_TOOL
set -u
tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"; }
cd "$work" || exit 1

openssl req -x509 -newkey rsa:2048 -nodes -keyout a.key -subj "/CN=A" -days 2 -out a.pem 2>/dev/null
openssl req -x509 -key a.key -subj "/CN=B" -days 2 -out b.pem 2>/dev/null
"$tool" pse create --shares 2 c >/dev/null || fail "pse create"

out=$("$tool" cert add c a.pem) || fail "cert add a: exit $?"
expect_eq "$out" "c\\keys\\00000001.cer" "first certificate path"
openssl x509 -in a.pem -outform DER -out a.der
cmp -s a.der c/keys/00000001.cer || fail "the stored certificate is not the DER of a.pem"
# The same certificate again (as DER this time) is refused and nothing is written.
"$tool" cert add c a.der >/dev/null 2>err && fail "a duplicate was added"
expect_eq "$(cat err)" "jarnel-tool cert: c\\keys\\00000001.cer: the container holds this certificate already" "duplicate"
expect_eq "$("$tool" cert add c b.pem)" "c\\keys\\00000002.cer" "second certificate path"
expect_eq "$("$tool" cert show c/keys/00000002.cer)" "$("$tool" cert show b.pem)" "stored record"
# A gap is filled first.
rm c/keys/00000001.cer
expect_eq "$("$tool" cert add c a.pem)" "c\\keys\\00000001.cer" "gap filled"
# Bad bytes and missing containers write nothing.
echo "not a certificate" >bad.pem
"$tool" cert add c bad.pem >/dev/null 2>err && fail "bad bytes were added"
grep -q "^jarnel-tool cert: bad.pem: " err || fail "bad bytes: $(cat err)"
"$tool" cert add nowhere a.pem >/dev/null 2>err && fail "added to a missing container"
expect_eq "$(cat err)" "jarnel-tool cert: nowhere: no container there" "missing container"
expect_eq "$(ls c/keys | paste -sd' ')" "00000001.cer 00000002.cer" "key folder"
# A PEM bundle shows every certificate.
cat a.pem b.pem >ab.pem
expect_eq "$("$tool" cert show ab.pem | grep -c '^cert\.[01]\.fingerprint=')" 2 "bundle"
"$tool" cert show missing.pem >/dev/null 2>err && fail "a missing file was shown"
grep -q "^jarnel-tool cert: missing.pem: " err || fail "missing file: $(cat err)"

[ $failures -eq 0 ] && echo "cert tool checks passed"
exit $((failures > 0))
