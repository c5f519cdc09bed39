#!/usr/bin/env bash
# Certificates and a CRL issued by the OpenSSL GOST engine (gost2001 keys) are read by
# jarnel-tool cert show / crl show, and every converted field agrees with OpenSSL's own
# printout. The key fingerprint is checked against the subjectPublicKey bits that OpenSSL
# extracts, hashed with "RUS-HASH" (the library's default hash S-box; the BouncyCastle test
# hashes the same bits with an independent implementation). Skipped without the engine.
# Usage: interop_engine_test.sh JARNEL_TOOL
set -u
tool=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"; }

if ! openssl engine gost >/dev/null 2>&1; then
  echo "the OpenSSL GOST engine is not installed; skipped"
  exit 77
fi
ossl() { openssl "$@" 2>>"$work/openssl.log"; }
cd "$work" || exit 1

cat >ext.cnf <<'EOF'
[req]
distinguished_name = dn
[dn]
[ca_ext]
basicConstraints = critical, CA:TRUE, pathlen:2
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
nameConstraints = permitted;DNS:.example.ru, excluded;IP:10.0.0.0/255.0.0.0
policyConstraints = requireExplicitPolicy:3
inhibitAnyPolicy = 1
policyMappings = 1.2.3.4:1.2.3.5
[ee_ext]
basicConstraints = CA:FALSE
keyUsage = digitalSignature, keyEncipherment, keyAgreement
extendedKeyUsage = clientAuth, emailProtection, 1.2.643.2.2.34.6
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always, issuer:always
subjectAltName = email:user@example.ru, DNS:host.example.ru, URI:http://u.example.ru/, IP:192.168.1.7, RID:1.2.3.4
issuerAltName = email:ca@example.ru
certificatePolicies = @pol
crlDistributionPoints = URI:http://crl.example.ru/ca.crl
freshestCRL = URI:http://crl.example.ru/delta.crl
authorityInfoAccess = OCSP;URI:http://ocsp.example.ru/, caIssuers;URI:http://ca.example.ru/ca.cer
subjectInfoAccess = caRepository;URI:http://repo.example.ru/
nsCertType = client, email
nsComment = "engine certificate"
1.2.643.100.111 = ASN1:UTF8String:Signing Tool 2.0
2.5.29.16 = DER:3022800F32303234303130313030303030305A810F32303330303130313030303030305A
1.2.3.4.5.6 = critical, ASN1:NULL
[pol]
policyIdentifier = 1.2.3.44
CPS.1 = "http://cps.example.ru/"
userNotice.1 = @notice
[notice]
explicitText = "Notice text"
organization = "Example Org"
noticeNumbers = 1, 2, 3
[ca]
default_ca = ca_dir
[ca_dir]
dir = .
database = index.txt
crlnumber = crlnumber
default_md = md_gost94
default_crl_days = 30
crl_extensions = crl_ext
[crl_ext]
authorityKeyIdentifier = keyid
issuingDistributionPoint = critical, @idp
2.5.29.27 = critical, DER:020105
[idp]
fullname = URI:http://crl.example.ru/ca.crl
onlyuser = TRUE
onlysomereasons = keyCompromise, superseded
EOF

ossl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out ca.key
ossl req -engine gost -new -x509 -utf8 -key ca.key -subj "/C=RU/O=Пример/CN=Engine CA" -days 3650 \
  -set_serial 0x00A1B2 -config ext.cnf -extensions ca_ext -out ca.pem
ossl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:XA -out ee.key
ossl req -engine gost -new -key ee.key -subj "/C=RU/O=Example Org/CN=Engine User" -config ext.cnf -out ee.csr
ossl x509 -engine gost -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 0x8001 -days 365 \
  -extfile ext.cnf -extensions ee_ext -out ee.pem
# A second certificate over the same key, from a request with another name: the fingerprint
# follows the key, not the certificate.
ossl req -engine gost -new -key ee.key -subj "/CN=Second" -config ext.cnf -out second.csr
ossl x509 -engine gost -req -in second.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 10 -out forced.pem
[ -s ca.pem ] && [ -s ee.pem ] || { cat openssl.log; fail "the engine made no certificates"; exit 1; }

# Fields of a certificate against OpenSSL's printout.
check_cert() {
  local pem=$1 label=$2 out
  out=$("$tool" cert show "$pem") || { fail "$label: cert show exit $?"; return; }
  field() { echo "$out" | sed -n "s/^$1=//p"; }
  local serial
  serial=$(ossl x509 -in "$pem" -noout -serial | cut -d= -f2)
  expect_eq "$(field serial | sed 's/^00//')" "$serial" "$label serial"
  expect_eq "$(field subject)" "$(ossl x509 -in "$pem" -noout -subject -nameopt oneline,-esc_msb,utf8 | sed 's/^subject=//')" "$label subject"
  expect_eq "$(field issuer)" "$(ossl x509 -in "$pem" -noout -issuer -nameopt oneline,-esc_msb,utf8 | sed 's/^issuer=//')" "$label issuer"
  for d in start end; do
    local ref key
    ref=$(date -u -d "$(ossl x509 -in "$pem" -noout -${d}date | cut -d= -f2)" '+%Y-%m-%d %H:%M:%S wday=%w yday=')
    key=$([ $d = start ] && echo not_before || echo not_after)
    local doy
    doy=$(date -u -d "$(ossl x509 -in "$pem" -noout -${d}date | cut -d= -f2)" +%j)
    expect_eq "$(field $key)" "$ref$((10#$doy - 1)) isdst=0" "$label $key"
  done
  expect_eq "$(field key_algorithm)" "271 ECR3410-CP" "$label key algorithm"
  expect_eq "$(field key_size)" "256" "$label key size"
  expect_eq "$(field params_missing)" "0" "$label parameters"
  expect_eq "$(field signature_algorithm)" "273 CryptoPro-GostR3411-94-with-GostR3410-2001" "$label signature algorithm"
  expect_eq "$(field version)" "$(($(ossl x509 -in "$pem" -noout -text | sed -n 's/^ *Version: \([0-9]\).*/\1/p') - 1))" "$label version"
  # The fingerprint: RUS-HASH of the subjectPublicKey bits as OpenSSL finds them.
  ossl x509 -engine gost -in "$pem" -noout -pubkey | ossl pkey -engine gost -pubin -outform DER -out "$label.spki"
  local line off hl len
  line=$(ossl asn1parse -inform DER -in "$label.spki" | grep "BIT STRING")
  off=$(echo "$line" | sed 's/^ *\([0-9]*\):.*/\1/')
  hl=$(echo "$line" | sed 's/.*hl= *\([0-9]*\).*/\1/')
  len=$(echo "$line" | sed 's/.*l= *\([0-9]*\) .*/\1/')
  dd if="$label.spki" of="$label.bits" bs=1 skip=$((off + hl + 1)) count=$((len - 1)) 2>/dev/null
  expect_eq "$(field fingerprint)" "$("$tool" digest --alg rus-hash "$label.bits" | tr a-f A-F)" "$label fingerprint"
  # Name hashes: RUS-HASH of the DER names.
  echo "$out" >"$label.fields"
}

check_cert ca.pem ca
check_cert ee.pem ee
check_cert forced.pem forced
ca=$(cat ca.fields) ee=$(cat ee.fields)
f() { echo "$1" | sed -n "s/^$2=//p"; }
expect_eq "$(f "$ca" self_issued)" 1 "CA self-issued"
expect_eq "$(f "$ee" self_issued)" -1 "EE not self-issued"
expect_eq "$(f "$ee" issuer_hash)" "$(f "$ca" subject_hash)" "EE issuer hash is the CA's subject hash"
expect_eq "$(f "$(cat forced.fields)" fingerprint)" "$(f "$ee" fingerprint)" "same key, same fingerprint"
[ "$(f "$ca" fingerprint)" != "$(f "$ee" fingerprint)" ] || fail "two keys, one fingerprint"
# Keys made here: a container key from key gen, certified by the engine CA once with
# -force_pubkey and once from a request signed here (the engine builds the request around the
# public key; -force_pubkey puts ours in), read back with the fingerprint key gen printed.
"$tool" pse create own >/dev/null || fail "pse create"
for p in CP-A CP-XB; do
  rm -rf own/keys
  kfp=$("$tool" key gen own --paramset $p | sed -n 's/^fingerprint=//p')
  [ -n "$kfp" ] || { fail "key gen $p"; continue; }
  "$tool" key pub own --pem >own.pub
  ossl x509 -engine gost -new -force_pubkey own.pub -subj "/CN=Own Key $p" -CA ca.pem -CAkey ca.key \
    -set_serial 11 -days 10 -out own.pem
  ossl x509 -engine gost -req -in second.csr -force_pubkey own.pub -CA ca.pem -CAkey ca.key \
    -set_serial 12 -days 10 -out own-req.pem
  for c in own.pem own-req.pem; do
    expect_eq "$("$tool" cert show "$c" | sed -n 's/^fingerprint=//p')" "${kfp^^}" "$p $c: certificate fingerprint is the key's"
  done
  check_cert own.pem "own-$p"
  ossl verify -engine gost -CAfile ca.pem own.pem >/dev/null || fail "the engine verifies its certificate of our key ($p)"
done
# The bare Base64 of the certificate, with and without its final line break, is the same record.
sed '1d;$d' ee.pem >ee.b64
printf '%s' "$(cat ee.b64)" >ee-nonl.b64
ossl x509 -in ee.pem -outform DER -out ee.der
for form in ee.b64 ee-nonl.b64 ee.der; do
  expect_eq "$("$tool" cert show $form)" "$ee" "$form reads as ee.pem"
done

# Extensions of the end-entity certificate against `openssl x509 -text`.
text=$(ossl x509 -in ee.pem -noout -text)
ext_of() { # the ext.N prefix of the extension with this short name
  echo "$ee" | sed -n "s/^\(ext\.[0-9]*\)=[0-9]* $1 .*/\1/p"
}
after() { # the line after OpenSSL's heading for an extension, trimmed
  echo "$text" | grep -A1 "$1" | tail -1 | sed 's/^ *//'
}
colon_hex() { echo "$1" | tr -d ':'; }
ski=$(ext_of subjectKeyIdentifier)
expect_eq "$(f "$ee" "$ski.buffer")" "$(colon_hex "$(after 'Subject Key Identifier')")" "subjectKeyIdentifier"
aki=$(ext_of authorityKeyIdentifier)
expect_eq "$(f "$ee" "$aki.key_id")" "$(colon_hex "$(after 'Authority Key Identifier' | sed 's/^keyid://')")" "authorityKeyIdentifier key id"
expect_eq "$(f "$ee" "$aki.serial")" "00A1B2" "authorityKeyIdentifier serial"
expect_eq "$(f "$ee" "$aki.issuer.0")" "dirName:C=RU, O=Пример, CN=Engine CA" "authorityKeyIdentifier issuer"
bc=$(ext_of basicConstraints)
expect_eq "$(f "$ee" "$bc.ca"):$(f "$ee" "$bc.path_length")" "0:-1" "basicConstraints"
expect_eq "$(after 'Basic Constraints')" "CA:FALSE" "OpenSSL's basicConstraints"
ku=$(ext_of keyUsage)
# Digital Signature (0), Key Encipherment (2), Key Agreement (4).
expect_eq "$(after 'X509v3 Key Usage')" "Digital Signature, Key Encipherment, Key Agreement" "OpenSSL's keyUsage"
expect_eq "$(f "$ee" "$ku.mask")" "0x00000015" "keyUsage mask"
ns=$(ext_of nsCertType)
expect_eq "$(after 'Netscape Cert Type')" "SSL Client, S/MIME" "OpenSSL's nsCertType"
expect_eq "$(f "$ee" "$ns.mask")" "0x00000005" "nsCertType mask"
eku=$(ext_of extendedKeyUsage)
expect_eq "$(f "$ee" "$eku.object.0") / $(f "$ee" "$eku.object.1") / $(f "$ee" "$eku.object.2" | sed 's/.*(//;s/)//')" \
  "clientAuth (1.3.6.1.5.5.7.3.2) / emailProtection (1.3.6.1.5.5.7.3.4) / 1.2.643.2.2.34.6" "extendedKeyUsage"
san=$(ext_of subjectAltName)
ours=$(for i in 0 1 2 3 4; do f "$ee" "$san.name.$i"; done | sed 's/^IP:/IP Address:/;s/^RID:/Registered ID:/' | paste -sd, | sed 's/,/, /g')
expect_eq "$ours" "$(after 'Subject Alternative Name')" "subjectAltName"
ian=$(ext_of issuerAltName)
expect_eq "$(f "$ee" "$ian.name.0")" "$(after 'Issuer Alternative Name')" "issuerAltName"
cp=$(ext_of certificatePolicies)
expect_eq "$(f "$ee" "$cp.policy.0" | sed 's/.*(//;s/)//')" "$(after 'Certificate Policies' | sed 's/Policy: //')" "policy"
expect_eq "$(f "$ee" "$cp.policy.0.qualifier.0.cps")" "$(echo "$text" | sed -n 's/^ *CPS: //p')" "CPS"
expect_eq "$(f "$ee" "$cp.policy.0.qualifier.1.organization")" "$(echo "$text" | sed -n 's/^ *Organization: //p')" "notice organization"
expect_eq "$(f "$ee" "$cp.policy.0.qualifier.1.numbers")" "$(echo "$text" | sed -n 's/^ *Number\(s\)*: //p' | tr -d ' ')" "notice numbers"
expect_eq "$(f "$ee" "$cp.policy.0.qualifier.1.explicit_text")" "$(echo "$text" | sed -n 's/^ *Explicit Text: //p')" "explicit text"
dp=$(ext_of crlDistributionPoints)
expect_eq "$(f "$ee" "$dp.point.0.full_name.0")" "$(echo "$text" | grep -A3 'CRL Distribution Points' | sed -n 's/^ *\(URI:.*\)/\1/p' | head -1)" "crlDistributionPoints"
fr=$(ext_of freshestCRL)
expect_eq "$(f "$ee" "$fr.point.0.full_name.0")" "URI:http://crl.example.ru/delta.crl" "freshestCRL"
# Access descriptions: OpenSSL prints "Method - location"; the record holds the method object
# and the location.
access_line() { echo "$text" | grep -A3 "$1" | grep -- " - " | sed -n "${2}p" | sed 's/^ *//'; }
aia=$(ext_of authorityInfoAccess)
expect_eq "$(f "$ee" "$aia.access.0")" "OCSP (1.3.6.1.5.5.7.48.1) $(access_line 'Authority Information Access' 1 | sed 's/^OCSP - //')" "authorityInfoAccess OCSP"
expect_eq "$(f "$ee" "$aia.access.1")" "caIssuers (1.3.6.1.5.5.7.48.2) $(access_line 'Authority Information Access' 2 | sed 's/^CA Issuers - //')" "authorityInfoAccess caIssuers"
sia=$(ext_of subjectInfoAccess)
expect_eq "$(f "$ee" "$sia.access.0")" "caRepository (1.3.6.1.5.5.7.48.5) $(access_line 'Subject Information Access' 1 | sed 's/^CA Repository - //')" "subjectInfoAccess"
nc=$(ext_of nsComment)
expect_eq "$(f "$ee" "$nc.text")" "$(after 'Netscape Comment')" "nsComment"
st=$(ext_of subjectSignTool)
expect_eq "$(f "$ee" "$st.text")" "Signing Tool 2.0" "subjectSignTool"
pk=$(ext_of privateKeyUsagePeriod)
expect_eq "$(f "$ee" "$pk.not_before" | cut -c1-19) $(f "$ee" "$pk.not_after" | cut -c1-19)" \
  "2024-01-01 00:00:00 2030-01-01 00:00:00" "privateKeyUsagePeriod"
expect_eq "$(echo "$ee" | grep -c 'unsupported=1')" 1 "one unsupported extension"
expect_eq "$(echo "$ee" | grep 'unsupported=1' | sed 's/^ext\.[0-9]*=//')" "0 1.2.3.4.5.6 critical=1 parsed=0 unsupported=1" "the unknown extension"
# Every extension OpenSSL prints is one record.
expect_eq "$(echo "$ee" | grep -c '^ext\.[0-9]*=')" "$(echo "$text" | grep -c -E '^ {12}[^ ].*: *(critical)?$')" "extension count"
# The CA's constraint extensions.
nc=$(echo "$ca" | sed -n 's/^\(ext\.[0-9]*\)=[0-9]* nameConstraints .*/\1/p')
expect_eq "$(f "$ca" "$nc.permitted.0")" "DNS:.example.ru min=0 max=-1" "nameConstraints permitted"
expect_eq "$(f "$ca" "$nc.excluded.0")" "IP:10.0.0.0/255.0.0.0 min=0 max=-1" "nameConstraints excluded"
expect_eq "$(echo "$ca" | grep -E '\.(require_explicit_policy|inhibit_policy_mapping|integer|mapping\.0|path_length)=' | sed 's/^ext\.[0-9]*//' | sort | paste -sd' ')" \
  ".inhibit_policy_mapping=-1 .integer=1 .mapping.0=1.2.3.4 1.2.3.5 .path_length=2 .require_explicit_policy=3" "CA constraints"

# A CRL from openssl ca -gencrl: reasons, invalidity date, hold instruction, IDP, CRL number,
# delta CRL indicator.
: >index.txt
echo 10 >crlnumber
ossl x509 -engine gost -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 0x31 -out r1.pem
ossl x509 -engine gost -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 0x32 -out r2.pem
ossl ca -engine gost -config ext.cnf -cert ca.pem -keyfile ca.key -revoke r1.pem -crl_compromise 20240102030405Z
ossl ca -engine gost -config ext.cnf -cert ca.pem -keyfile ca.key -revoke r2.pem -crl_hold holdInstructionCallIssuer
ossl ca -engine gost -config ext.cnf -cert ca.pem -keyfile ca.key -revoke ee.pem -crl_reason superseded
ossl ca -engine gost -config ext.cnf -cert ca.pem -keyfile ca.key -gencrl -out ca.crl
[ -s ca.crl ] || { cat openssl.log; fail "no CRL"; exit 1; }
crl=$("$tool" crl show ca.crl) || fail "crl show exit $?"
ctext=$(ossl crl -in ca.crl -noout -text)
c() { echo "$crl" | sed -n "s/^$1=//p"; }
expect_eq "$(c version)" 1 "CRL version"
expect_eq "$(c issuer)" "$(ossl crl -in ca.crl -noout -issuer -nameopt oneline,-esc_msb,utf8 | sed 's/^issuer=//')" "CRL issuer"
expect_eq "$(c revoked_count)" 3 "revoked entries"
for s in 31 32 8001; do
  echo "$crl" | grep -q "^revoked\.[0-9]*\.serial=$(printf '%s' $s | sed 's/^8/008/')$" || fail "serial $s not in the CRL record"
done
entry() { # the revoked.N prefix of a serial
  echo "$crl" | sed -n "s/^\(revoked\.[0-9]*\)\.serial=$1$/\1/p"
}
r1=$(entry 31) r2=$(entry 32) r3=$(entry 008001)
ext_in() { echo "$crl" | sed -n "s/^\($1\.ext\.[0-9]*\)=[0-9]* $2 .*/\1/p"; }
expect_eq "$(c "$(ext_in "$r1" CRLReason).integer")" 1 "keyCompromise reason code"
expect_eq "$(c "$(ext_in "$r1" invalidityDate).time" | cut -c1-19)" "2024-01-02 03:04:05" "invalidity date"
expect_eq "$(c "$(ext_in "$r2" CRLReason).integer")" 6 "certificateHold reason code"
expect_eq "$(c "$(ext_in "$r2" holdInstructionCode).object")" "holdInstructionCallIssuer (1.2.840.10040.2.2)" "hold instruction"
expect_eq "$(c "$(ext_in "$r3" CRLReason).integer")" 4 "superseded reason code"
grep -q "Key Compromise" <<<"$ctext" && grep -q "Certificate Hold" <<<"$ctext" && grep -q "Superseded" <<<"$ctext" ||
  fail "OpenSSL's printout lacks the reasons"
crlext() { echo "$crl" | sed -n "s/^\(ext\.[0-9]*\)=[0-9]* $1 .*/\1/p"; }
expect_eq "$(c "$(crlext crlNumber).buffer")" "10" "CRL number"
expect_eq "$(echo "$ctext" | grep -A1 'CRL Number' | tail -1 | tr -d ' ')" "16" "OpenSSL's CRL number"
expect_eq "$(c "$(crlext deltaCRL).buffer")" "05" "delta CRL indicator"
idp=$(crlext issuingDistributionPoint)
expect_eq "$(echo "$crl" | grep "^$idp=" | grep -o 'critical=.')" "critical=1" "IDP critical"
expect_eq "$(c "$idp.full_name.0")" "URI:http://crl.example.ru/ca.crl" "IDP name"
expect_eq "$(c "$idp.only_user_certificates") $(c "$idp.only_some_reasons")" "1 0x00000012" "IDP flags and reasons"
expect_eq "$(c "$(crlext authorityKeyIdentifier).key_id")" "$(f "$ca" "$(echo "$ca" | sed -n 's/^\(ext\.[0-9]*\)=[0-9]* subjectKeyIdentifier .*/\1/p').buffer")" "CRL AKI = CA SKI"
ref=$(date -u -d "$(ossl crl -in ca.crl -noout -lastupdate | cut -d= -f2)" '+%Y-%m-%d %H:%M:%S')
expect_eq "$(c this_update | cut -c1-19)" "$ref" "this update"
ref=$(date -u -d "$(ossl crl -in ca.crl -noout -nextupdate | cut -d= -f2)" '+%Y-%m-%d %H:%M:%S')
expect_eq "$(c next_update | cut -c1-19)" "$ref" "next update"

# Usage and failures of the commands.
"$tool" cert show ca.crl >/dev/null 2>err && fail "a CRL read as a certificate"
grep -q "^jarnel-tool cert: ca.crl: " err || fail "cert show of a CRL: $(cat err)"
"$tool" crl show ee.pem >/dev/null 2>err && fail "a certificate read as a CRL"

[ $failures -eq 0 ] && echo "engine interop checks passed"
exit $((failures > 0))
