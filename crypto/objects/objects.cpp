#include "crypto/objects/objects.h"

#include <openssl/objects.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crypto/str.h"

namespace jarnel::obj {
namespace {

// 1.3.6.1.4.1.7203 is the toolkit's own arc, 1.2.643.2.2 CryptoPro's.
#define OWN 1, 3, 6, 1, 4, 1, 7203
#define CP 1, 2, 643, 2, 2
#define NS 2, 16, 840, 1, 113730, 1
#define CE 2, 5, 29
#define PKIX 1, 3, 6, 1, 5, 5, 7

constexpr Object kObjects[] = {
    {NID_RSA_ENCRYPTION, "rsaEncryption", "rsaEncryption", {1, 2, 840, 113549, 1, 1, 1}, 7},
    {NID_MD5_WITH_RSA, "RSA-MD5", "md5WithRSAEncryption", {1, 2, 840, 113549, 1, 1, 4}, 7},
    {NID_RSA, "RSA", "rsa", {2, 5, 8, 1, 1}, 5},
    {NID_DES_EDE3_CBC, "DES-EDE3-CBC", "des-ede3-cbc", {1, 2, 840, 113549, 3, 7}, 6},
    {NID_SHA1, "SHA1", "sha1", {1, 3, 14, 3, 2, 26}, 6},
    {NID_SHA1_WITH_RSA, "RSA-SHA1", "sha1WithRSAEncryption", {1, 2, 840, 113549, 1, 1, 5}, 7},
    {NID_PBKDF2, "PBKDF2", "PBKDF2", {1, 2, 840, 113549, 1, 5, 12}, 7},
    {NID_NS_CERT_TYPE, "nsCertType", "Netscape Cert Type", {NS, 1}, 7},
    {NID_NS_BASE_URL, "nsBaseUrl", "Netscape Base Url", {NS, 2}, 7},
    {NID_NS_REVOCATION_URL, "nsRevocationUrl", "Netscape Revocation Url", {NS, 3}, 7},
    {NID_NS_CA_REVOCATION_URL, "nsCaRevocationUrl", "Netscape CA Revocation Url", {NS, 4}, 7},
    {NID_NS_RENEWAL_URL, "nsRenewalUrl", "Netscape Renewal Url", {NS, 7}, 7},
    {NID_NS_CA_POLICY_URL, "nsCaPolicyUrl", "Netscape CA Policy Url", {NS, 8}, 7},
    {NID_NS_SSL_SERVER_NAME, "nsSslServerName", "Netscape SSL Server Name", {NS, 12}, 7},
    {NID_NS_COMMENT, "nsComment", "Netscape Comment", {NS, 13}, 7},
    {NID_SUBJECT_KEY_IDENTIFIER, "subjectKeyIdentifier",
     "X509v3 Subject Key Identifier", {CE, 14}, 4},
    {NID_KEY_USAGE, "keyUsage", "X509v3 Key Usage", {CE, 15}, 4},
    {NID_PRIVATE_KEY_USAGE_PERIOD, "privateKeyUsagePeriod",
     "X509v3 Private Key Usage Period", {CE, 16}, 4},
    {NID_SUBJECT_ALT_NAME, "subjectAltName", "X509v3 Subject Alternative Name", {CE, 17}, 4},
    {NID_ISSUER_ALT_NAME, "issuerAltName", "X509v3 Issuer Alternative Name", {CE, 18}, 4},
    {NID_BASIC_CONSTRAINTS, "basicConstraints", "X509v3 Basic Constraints", {CE, 19}, 4},
    {NID_CRL_NUMBER, "crlNumber", "X509v3 CRL Number", {CE, 20}, 4},
    {NID_CERTIFICATE_POLICIES, "certificatePolicies", "X509v3 Certificate Policies", {CE, 32}, 4},
    {NID_AUTHORITY_KEY_IDENTIFIER, "authorityKeyIdentifier",
     "X509v3 Authority Key Identifier", {CE, 35}, 4},
    {NID_CRL_DISTRIBUTION_POINTS, "crlDistributionPoints",
     "X509v3 CRL Distribution Points", {CE, 31}, 4},
    {NID_DSA_WITH_SHA1, "DSA-SHA1", "dsaWithSHA1", {1, 2, 840, 10040, 4, 3}, 6},
    {NID_DSA, "DSA", "dsaEncryption", {1, 2, 840, 10040, 4, 1}, 6},
    {NID_EXT_KEY_USAGE, "extendedKeyUsage", "X509v3 Extended Key Usage", {CE, 37}, 4},
    {NID_DELTA_CRL, "deltaCRL", "X509v3 Delta CRL Indicator", {CE, 27}, 4},
    {NID_CRL_REASON, "CRLReason", "X509v3 CRL Reason Code", {CE, 21}, 4},
    {NID_INVALIDITY_DATE, "invalidityDate", "Invalidity Date", {CE, 24}, 4},
    {NID_PBES2, "PBES2", "PBES2", {1, 2, 840, 113549, 1, 5, 13}, 7},
    {NID_HMAC_SHA1, "hmacWithSHA1", "hmacWithSHA1", {1, 2, 840, 113549, 2, 7}, 6},
    {NID_ID_QT_CPS, "id-qt-cps", "Policy Qualifier CPS", {PKIX, 2, 1}, 9},
    {NID_ID_QT_UNOTICE, "id-qt-unotice", "Policy Qualifier User Notice", {PKIX, 2, 2}, 9},
    {NID_RUS_CHANGE, "RUS-CHANGE", "rus-change", {OWN, 1, 1, 1}, 10},
    {NID_RUS_GAMMA, "RUS-GAMMA", "rus-gamma", {OWN, 1, 1, 2}, 10},
    {NID_RUS_GAMMAR, "RUS-GAMMAR", "rus-gammar", {OWN, 1, 1, 3}, 10},
    {NID_RUS_HASH, "RUS-HASH", "rus-hash", {OWN, 1, 2, 1}, 10},
    {NID_R3410, "R3410", "r3410", {OWN, 1, 6, 1}, 10},
    {NID_R3410_R3411, "R3410-R3411", "r3410WithR3411", {OWN, 1, 3, 1}, 10},
    {NID_HMAC_R3411, "hmacWithR3411", "hmacWithR3411", {OWN, 1, 7, 2}, 10},
    {NID_ECR3410, "ECR3410", "ecr3410", {OWN, 1, 6, 2}, 10},
    {NID_ECR3410_R3411, "ECR3410-R3411", "ecr3410WithR3411", {OWN, 1, 3, 2}, 10},
    {NID_X9_62_PRIME256V1, "prime256v1", "prime256v1", {1, 2, 840, 10045, 3, 1, 7}, 7},
    {NID_INHIBIT_ANY_POLICY, "inhibitAnyPolicy", "X509v3 Inhibit Any Policy", {CE, 54}, 4},
    {NID_FRESHEST_CRL, "freshestCRL", "X509v3 Freshest CRL", {CE, 46}, 4},
    {NID_POLICY_MAPPINGS, "policyMappings", "X509v3 Policy Mappings", {CE, 33}, 4},
    {NID_POLICY_CONSTRAINTS, "policyConstraints", "X509v3 Policy Constraints", {CE, 36}, 4},
    {NID_NAME_CONSTRAINTS, "nameConstraints", "X509v3 Name Constraints", {CE, 30}, 4},
    {NID_AUTHORITY_INFO_ACCESS, "authorityInfoAccess",
     "Authority Information Access", {PKIX, 1, 1}, 9},
    {NID_SUBJECT_INFO_ACCESS, "subjectInfoAccess", "Subject Information Access", {PKIX, 1, 11}, 9},
    {NID_ISSUING_DISTRIBUTION_POINT, "issuingDistributionPoint",
     "X509v3 Issuing Distribution Point", {CE, 28}, 4},
    {NID_HOLD_INSTRUCTION_CODE, "holdInstructionCode", "Hold Instruction Code", {CE, 23}, 4},
    {NID_CERTIFICATE_ISSUER, "certificateIssuer", "X509v3 Certificate Issuer", {CE, 29}, 4},
    {NID_SUBJECT_DIRECTORY_ATTRIBUTES, "subjectDirectoryAttributes",
     "X509v3 Subject Directory Attributes", {CE, 9}, 4},
    {NID_ECR3410_CP, "ECR3410-CP", "CryptoPro-GostR3410-2001", {CP, 19}, 6},
    {NID_R3410_CP, "R3410-CP", "CryptoPro-GostR3410-94", {CP, 20}, 6},
    {NID_CP_R3411_WITH_R3410_2001, "CryptoPro-GostR3411-94-with-GostR3410-2001",
     "CryptoPro-GostR3411-94-with-GostR3410-2001", {CP, 3}, 6},
    {NID_CP_R3411_WITH_R3410_94, "CryptoPro-GostR3411-94-with-GostR3410-94",
     "CryptoPro-GostR3411-94-with-GostR3410-94", {CP, 4}, 6},
    {NID_CP_R3411_94_PARAMSET, "CryptoPro-GostR3411-94-ParamSet",
     "CryptoPro-GostR3411-94-ParamSet", {CP, 30, 1}, 7},
    {NID_CP_R3410_94_A, "CryptoPro-GostR3410-94-A-ParamSet", "CryptoPro-GostR3410-94-A-ParamSet",
     {CP, 32, 2}, 7},
    {NID_CP_R3410_94_B, "CryptoPro-GostR3410-94-B-ParamSet", "CryptoPro-GostR3410-94-B-ParamSet",
     {CP, 32, 3}, 7},
    {NID_CP_R3410_94_C, "CryptoPro-GostR3410-94-C-ParamSet", "CryptoPro-GostR3410-94-C-ParamSet",
     {CP, 32, 4}, 7},
    {NID_CP_R3410_94_D, "CryptoPro-GostR3410-94-D-ParamSet", "CryptoPro-GostR3410-94-D-ParamSet",
     {CP, 32, 5}, 7},
    {NID_CP_R3410_94_XCHA, "CryptoPro-GostR3410-94-XchA-ParamSet",
     "CryptoPro-GostR3410-94-XchA-ParamSet", {CP, 33, 1}, 7},
    {NID_CP_R3410_94_XCHB, "CryptoPro-GostR3410-94-XchB-ParamSet",
     "CryptoPro-GostR3410-94-XchB-ParamSet", {CP, 33, 2}, 7},
    {NID_CP_R3410_94_XCHC, "CryptoPro-GostR3410-94-XchC-ParamSet",
     "CryptoPro-GostR3410-94-XchC-ParamSet", {CP, 33, 3}, 7},
    {NID_CP_2001_A, "CryptoPro-GostR3410-2001-A-ParamSet", "CryptoPro-GostR3410-2001-A-ParamSet",
     {CP, 35, 1}, 7},
    {NID_CP_2001_B, "CryptoPro-GostR3410-2001-B-ParamSet", "CryptoPro-GostR3410-2001-B-ParamSet",
     {CP, 35, 2}, 7},
    {NID_CP_2001_C, "CryptoPro-GostR3410-2001-C-ParamSet", "CryptoPro-GostR3410-2001-C-ParamSet",
     {CP, 35, 3}, 7},
    {NID_CP_2001_XCHA, "CryptoPro-GostR3410-2001-XchA-ParamSet",
     "CryptoPro-GostR3410-2001-XchA-ParamSet", {CP, 36, 0}, 7},
    {NID_CP_2001_XCHB, "CryptoPro-GostR3410-2001-XchB-ParamSet",
     "CryptoPro-GostR3410-2001-XchB-ParamSet", {CP, 36, 1}, 7},
    {NID_CP_R3411, "RUS-HASH-CP", "CryptoPro-GostR3411-94", {CP, 9}, 6},
    {NID_CP_28147, "RUS-GAMMAR-CP", "CryptoPro-Gost28147-89", {CP, 21}, 6},
    {NID_CP_28147_MAC, "CryptoPro-Gost28147-89-MAC", "CryptoPro-Gost28147-89-MAC", {CP, 22}, 6},
    {NID_CP_28147_A, "CryptoPro-Gost28147-89-A-ParamSet", "CryptoPro-Gost28147-89-A-ParamSet",
     {CP, 31, 1}, 7},
    {NID_CP_28147_B, "CryptoPro-Gost28147-89-B-ParamSet", "CryptoPro-Gost28147-89-B-ParamSet",
     {CP, 31, 2}, 7},
    {NID_CP_28147_C, "CryptoPro-Gost28147-89-C-ParamSet", "CryptoPro-Gost28147-89-C-ParamSet",
     {CP, 31, 3}, 7},
    {NID_CP_28147_D, "CryptoPro-Gost28147-89-D-ParamSet", "CryptoPro-Gost28147-89-D-ParamSet",
     {CP, 31, 4}, 7},
    {NID_SECP128R1, "secp128r1", "secp128r1", {1, 3, 132, 0, 28}, 5},
    {NID_BIOMETRIC_INFO, "biometricInfo", "Biometric Info", {PKIX, 1, 2}, 9},
    {NID_SUBJECT_SIGN_TOOL, "subjectSignTool", "Signing Tool of Subject", {1, 2, 643, 100, 111}, 5},
    {NID_AES_128_CBC, "AES-128-CBC", "aes-128-cbc", {2, 16, 840, 1, 101, 3, 4, 1, 2}, 9},
    {NID_AES_192_CBC, "AES-192-CBC", "aes-192-cbc", {2, 16, 840, 1, 101, 3, 4, 1, 22}, 9},
    {NID_AES_256_CBC, "AES-256-CBC", "aes-256-cbc", {2, 16, 840, 1, 101, 3, 4, 1, 42}, 9},
    {NID_SHA256_WITH_RSA, "RSA-SHA256",
     "sha256WithRSAEncryption", {1, 2, 840, 113549, 1, 1, 11}, 7},
    {NID_HMAC_SHA256, "hmacWithSHA256", "hmacWithSHA256", {1, 2, 840, 113549, 2, 9}, 6},
    {NID_HMAC_SHA512, "hmacWithSHA512", "hmacWithSHA512", {1, 2, 840, 113549, 2, 11}, 6},
    {NID_CP_HMAC_R3411, "id-HMACGostR3411-94", "HMAC GOST 34.11-94", {CP, 10}, 6},
    {NID_STREEBOG_256, "md_gost12_256", "GOST R 34.11-2012 with 256 bit hash",
     {1, 2, 643, 7, 1, 1, 2, 2}, 8},
    {NID_STREEBOG_512, "md_gost12_512", "GOST R 34.11-2012 with 512 bit hash",
     {1, 2, 643, 7, 1, 1, 2, 3}, 8},
    {NID_HMAC_STREEBOG_256, "id-tc26-hmac-gost-3411-2012-256", "HMAC GOST 34.11-2012 256 bit",
     {1, 2, 643, 7, 1, 1, 4, 1}, 8},
    {NID_HMAC_STREEBOG_512, "id-tc26-hmac-gost-3411-2012-512", "HMAC GOST 34.11-2012 512 bit",
     {1, 2, 643, 7, 1, 1, 4, 2}, 8},
};

#undef OWN
#undef CP
#undef NS
#undef CE
#undef PKIX

constexpr bool sorted_and_sized() {
  for (std::size_t i = 0; i < std::size(kObjects); ++i) {
    if (kObjects[i].len < 2 || kObjects[i].len > kMaxArcs) return false;
    if (i && kObjects[i - 1].nid >= kObjects[i].nid) return false;
  }
  return true;
}
static_assert(sorted_and_sized(), "object table: order by number, 2..10 arcs per identifier");

}  // namespace

std::span<const Object> all() { return kObjects; }

const Object* by_nid(int nid) {
  const auto* it = std::lower_bound(std::begin(kObjects), std::end(kObjects), nid,
                                    [](const Object& o, int n) { return o.nid < n; });
  return (it != std::end(kObjects) && it->nid == nid) ? it : nullptr;
}

const Object* by_oid(std::span<const std::uint32_t> arcs) {
  for (const Object& o : kObjects)
    if (o.len == arcs.size() && std::equal(arcs.begin(), arcs.end(), o.arcs)) return &o;
  return nullptr;
}

const Object* by_name(std::string_view name) {
  auto same = [name](const char* s) {
    const std::size_t n = std::strlen(s);
    if (n != name.size()) return false;
    for (std::size_t i = 0; i < n; ++i)
      if (ascii_tolower(s[i]) != ascii_tolower(name[i])) return false;
    return true;
  };
  for (const Object& o : kObjects)
    if (same(o.sn) || same(o.ln)) return &o;
  return nullptr;
}

std::span<const std::uint32_t> oid_of(int nid) {
  const Object* o = by_nid(nid);
  return o ? o->oid() : std::span<const std::uint32_t>{};
}

int nid_of(std::span<const std::uint32_t> arcs) {
  const Object* o = by_oid(arcs);
  return o ? o->nid : 0;
}

const char* short_name(int nid) {
  const Object* o = by_nid(nid);
  return o ? o->sn : nullptr;
}

const char* long_name(int nid) {
  const Object* o = by_nid(nid);
  return o ? o->ln : nullptr;
}

std::size_t oid_text(int nid, char* buf, std::size_t size) {
  const Object* o = by_nid(nid);
  if (!o || !buf || size == 0) return 0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < o->len; ++i) {
    const int w = std::snprintf(buf + n, size - n, i ? ".%u" : "%u", o->arcs[i]);
    if (w < 0 || static_cast<std::size_t>(w) >= size - n) {
      buf[0] = 0;
      return 0;
    }
    n += static_cast<std::size_t>(w);
  }
  return n;
}

std::size_t oid_der(int nid, unsigned char* buf, std::size_t size) {
  const Object* o = by_nid(nid);
  if (!o || !buf) return 0;
  std::size_t n = 0;
  auto put = [&](std::uint32_t v) {
    unsigned char tmp[5];
    int k = 0;
    do {
      tmp[k++] = static_cast<unsigned char>(v & 0x7F);
      v >>= 7;
    } while (v);
    if (n + static_cast<std::size_t>(k) > size) return false;
    while (k > 1) buf[n++] = static_cast<unsigned char>(tmp[--k] | 0x80);
    buf[n++] = tmp[0];
    return true;
  };
  if (!put(o->arcs[0] * 40 + o->arcs[1])) return 0;
  for (std::size_t i = 2; i < o->len; ++i)
    if (!put(o->arcs[i])) return 0;
  return n;
}

ASN1_OBJECT* to_asn1(int nid) {
  char text[kMaxArcs * 11 + 1];
  if (!oid_text(nid, text, sizeof text)) return nullptr;
  return OBJ_txt2obj(text, 1);
}

int from_asn1(const ASN1_OBJECT* o) {
  if (!o) return 0;
  const unsigned char* data = OBJ_get0_data(o);
  const std::size_t len = OBJ_length(o);
  unsigned char body[kMaxArcs * 5];
  for (const Object& e : kObjects) {
    const std::size_t n = oid_der(e.nid, body, sizeof body);
    if (n == len && data && std::memcmp(body, data, n) == 0) return e.nid;
  }
  return 0;
}

}  // namespace jarnel::obj
