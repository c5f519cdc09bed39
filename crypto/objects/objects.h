#pragma once
// The one table of objects: object numbers (NIDs), short and long names and object identifiers.
// Every module names its algorithms, parameter sets and key types by these numbers; the
// identifier's arcs, its DER body and its dotted text all come from the table.
#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace jarnel {

// Object numbers. One name per number.
// Public-key and signature algorithms of certificates.
inline constexpr int NID_RSA_ENCRYPTION = 6, NID_MD5_WITH_RSA = 8, NID_SHA1_WITH_RSA = 65,
                     NID_DSA_WITH_SHA1 = 113, NID_DSA = 116, NID_SHA256_WITH_RSA = 668;
// Certificate and CRL extensions, CRL entry extensions and policy qualifiers.
inline constexpr int NID_NS_CERT_TYPE = 71, NID_NS_BASE_URL = 72, NID_NS_REVOCATION_URL = 73,
                     NID_NS_CA_REVOCATION_URL = 74, NID_NS_RENEWAL_URL = 75,
                     NID_NS_CA_POLICY_URL = 76, NID_NS_SSL_SERVER_NAME = 77,
                     NID_NS_COMMENT = 78;
inline constexpr int NID_SUBJECT_KEY_IDENTIFIER = 82, NID_KEY_USAGE = 83,
                     NID_PRIVATE_KEY_USAGE_PERIOD = 84, NID_SUBJECT_ALT_NAME = 85,
                     NID_ISSUER_ALT_NAME = 86, NID_BASIC_CONSTRAINTS = 87, NID_CRL_NUMBER = 88,
                     NID_CERTIFICATE_POLICIES = 89, NID_AUTHORITY_KEY_IDENTIFIER = 90,
                     NID_CRL_DISTRIBUTION_POINTS = 103, NID_EXT_KEY_USAGE = 126,
                     NID_DELTA_CRL = 140, NID_CRL_REASON = 141, NID_INVALIDITY_DATE = 142;
inline constexpr int NID_ID_QT_CPS = 164, NID_ID_QT_UNOTICE = 165;
inline constexpr int NID_INHIBIT_ANY_POLICY = 200, NID_FRESHEST_CRL = 201,
                     NID_POLICY_MAPPINGS = 202, NID_POLICY_CONSTRAINTS = 203,
                     NID_NAME_CONSTRAINTS = 204, NID_AUTHORITY_INFO_ACCESS = 206,
                     NID_SUBJECT_INFO_ACCESS = 207, NID_ISSUING_DISTRIBUTION_POINT = 213,
                     NID_HOLD_INSTRUCTION_CODE = 214, NID_CERTIFICATE_ISSUER = 215,
                     NID_SUBJECT_DIRECTORY_ATTRIBUTES = 220;
// Extension types with a conversion whose identifiers are not in the table (no row: an
// extension can never be matched to them, so it is reported as unsupported).
inline constexpr int NID_REGISTRATION_CERTIFICATE = 304, NID_PREVIOUS_CERTIFICATE = 306;
inline constexpr int NID_BIOMETRIC_INFO = 340, NID_SUBJECT_SIGN_TOOL = 343;
inline constexpr int NID_RSA = 19, NID_DES_EDE3_CBC = 44, NID_SHA1 = 64, NID_PBKDF2 = 69,
                     NID_PBES2 = 161, NID_HMAC_SHA1 = 163;
inline constexpr int NID_RUS_CHANGE = 172, NID_RUS_GAMMA = 173, NID_RUS_GAMMAR = 174,
                     NID_RUS_HASH = 176, NID_R3410 = 177, NID_R3410_R3411 = 178, NID_HMAC_R3411 = 180,
                     NID_ECR3410 = 181, NID_ECR3410_R3411 = 182;
inline constexpr int NID_X9_62_PRIME256V1 = 191;
inline constexpr int NID_ECR3410_CP = 271;  // CryptoPro-GostR3410-2001
inline constexpr int NID_R3410_CP = 272;    // GOST R 34.10-94 public key
inline constexpr int NID_CP_R3411_WITH_R3410_2001 = 273, NID_CP_R3411_WITH_R3410_94 = 274;
inline constexpr int NID_CP_R3411_94_PARAMSET = 275;
inline constexpr int NID_CP_R3410_94_A = 276, NID_CP_R3410_94_B = 277, NID_CP_R3410_94_C = 278,
                     NID_CP_R3410_94_D = 279, NID_CP_R3410_94_XCHA = 280,
                     NID_CP_R3410_94_XCHB = 281, NID_CP_R3410_94_XCHC = 282;
inline constexpr int NID_CP_2001_A = 283, NID_CP_2001_B = 284, NID_CP_2001_C = 285,
                     NID_CP_2001_XCHA = 286, NID_CP_2001_XCHB = 287;
inline constexpr int NID_CP_R3411 = 288, NID_CP_28147 = 289, NID_CP_28147_MAC = 290;
inline constexpr int NID_CP_28147_A = 291, NID_CP_28147_B = 292, NID_CP_28147_C = 293,
                     NID_CP_28147_D = 294;
inline constexpr int NID_SECP128R1 = 308;
inline constexpr int NID_AES_128_CBC = 419, NID_AES_192_CBC = 423, NID_AES_256_CBC = 427,
                     NID_HMAC_SHA256 = 799, NID_HMAC_SHA512 = 801, NID_CP_HMAC_R3411 = 810;
// GOST R 34.11-2012 (256- and 512-bit) and HMAC over it.
inline constexpr int NID_STREEBOG_256 = 982, NID_STREEBOG_512 = 983, NID_HMAC_STREEBOG_256 = 988,
                     NID_HMAC_STREEBOG_512 = 989;

namespace obj {

inline constexpr std::size_t kMaxArcs = 10;

struct Object {
  int nid;
  const char* sn;  // short name
  const char* ln;  // long name
  std::uint32_t arcs[kMaxArcs];
  std::size_t len;  // number of arcs; 0: no identifier
  std::span<const std::uint32_t> oid() const { return {arcs, len}; }
};

// The whole table, in order of object number.
std::span<const Object> all();

// Lookups; null when unknown.
const Object* by_nid(int nid);
const Object* by_oid(std::span<const std::uint32_t> arcs);
// By short or long name, without regard to ASCII case.
const Object* by_name(std::string_view name);

// The identifier's arcs for nid (empty span when unknown).
std::span<const std::uint32_t> oid_of(int nid);
// The number of an identifier, 0 when unknown.
int nid_of(std::span<const std::uint32_t> arcs);
const char* short_name(int nid);
const char* long_name(int nid);

// Dotted text of nid's identifier into buf (NUL-terminated); the text's length, or 0 when
// unknown or buf too small.
std::size_t oid_text(int nid, char* buf, std::size_t size);
// DER body (the content octets, without tag and length) of nid's identifier into buf; its
// length, or 0 when unknown or buf too small.
std::size_t oid_der(int nid, unsigned char* buf, std::size_t size);
// A fresh OpenSSL object for nid's identifier (made from the identifier, so it does not depend
// on OpenSSL's own object numbers); null when unknown or memory is short.
ASN1_OBJECT* to_asn1(int nid);
// The number of an OpenSSL object's identifier, 0 when unknown.
int from_asn1(const ASN1_OBJECT* o);

}  // namespace obj
}  // namespace jarnel
