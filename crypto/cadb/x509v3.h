#pragma once
// Extensions of certificates and CRLs, and CRL records, converted into flat records of the key
// store: texts instead of ASN.1 strings, broken-down times, 32-bit masks instead of bit strings,
// split names and object records. The DER itself is decoded by OpenSSL (and, for the types
// OpenSSL does not know, by the library's DER reader); this layer converts what was decoded.
//
// Lists are chains through the records' next pointers; freeing a record frees the records
// after it. Every _parse returns a new record or null with (66, its function, reason) recorded.
#include <openssl/x509v3.h>

#include <cstdint>

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cert_parts.h"
#include "crypto/owners.h"

namespace jarnel {

// Function numbers (library 66).
inline constexpr int CADB_F_CADB_V3EXT_NEW = 273, CADB_F_CADB_BASIC_CONSTRAINTS = 274,
                     CADB_F_CADB_AUTHORITY_KEYID = 275, CADB_F_CADB_V3EXT_PARSE = 276,
                     CADB_F_CADB_V3EXT_PARSE_EXTENSIONS = 277, CADB_F_CADB_GENERAL_NAME = 278,
                     CADB_F_CADB_PKEY_USAGE_PERIOD = 279, CADB_F_CADB_POLICY_QUALIFIER = 280,
                     CADB_F_CADB_POLICY_INFO = 281, CADB_F_CADB_CERT_POLICIES = 282,
                     CADB_F_CADB_NOTICE_REF = 283, CADB_F_CADB_USER_NOTICE = 284,
                     CADB_F_CADB_POLICY_MAPPING = 285, CADB_F_CADB_ATTRIBUTES = 286,
                     CADB_F_CADB_EXT_KEY_USAGE = 287, CADB_F_CADB_CRL_DIST_POINT = 288,
                     CADB_F_CADB_ACCESS_DESCRIPTION = 289, CADB_F_CADB_POLICY_CONSTRAINTS = 290,
                     CADB_F_CADB_GENERAL_SUBTREE = 291, CADB_F_CADB_NAME_CONSTRAINTS = 292,
                     CADB_F_CADB_DIST_POINT_NAME = 293, CADB_F_CADB_ISSUING_DIST_POINT = 294,
                     CADB_F_CADB_OID = 295, CADB_F_CADB_BIOMETRIC = 296, CADB_F_CADB_TEXT = 297,
                     CADB_F_ASN1_TIME_PARSE = 298;
inline constexpr int CADB_F_CRL_NEW = 151, CADB_F_CRL_SPLIT = 156, CADB_F_CRL_READ_BUFFER = 157,
                     CADB_F_REVOKED_NEW = 158;

// General-name types: 0x80 plus the context tag number of the choice.
inline constexpr int CADB_GEN_OTHER = 0x80, CADB_GEN_EMAIL = 0x81, CADB_GEN_DNS = 0x82,
                     CADB_GEN_X400 = 0x83, CADB_GEN_DIRNAME = 0x84, CADB_GEN_EDIPARTY = 0x85,
                     CADB_GEN_URI = 0x86, CADB_GEN_IPADD = 0x87, CADB_GEN_RID = 0x88;

// (type, value): text for e-mail, DNS name, URI and IP address; name for a directory name;
// object for a registered identifier; nothing for the other types.
struct CADB_GENERAL_NAME {
  int type;
  CADB_ATTRIBUTES* text;
  CADB_ATTRIBUTES* name;
  CADB_OID* oid;
  CADB_GENERAL_NAME* next;
};

struct CADB_BASIC_CONSTRAINTS {
  int ca;
  long path_length;  // -1 when absent
};

struct CADB_PKEY_USAGE_PERIOD {
  CADB_TIME* not_before;  // null when absent
  CADB_TIME* not_after;
};

// Authority key identifier (also the two vendor extensions of the same shape).
struct CADB_AUTHORITY_KEYID {
  BUFFER* key_id;             // null when absent
  CADB_GENERAL_NAME* issuer;  // null when absent
  BUFFER* serial;             // INTEGER content octets; null when absent
};

struct CADB_NOTICE_REF {
  CADB_ATTRIBUTES* organization;
  BUFFER* numbers;  // "1,2,3"
};

struct CADB_USER_NOTICE {
  CADB_NOTICE_REF* reference;      // null when absent
  CADB_ATTRIBUTES* explicit_text;  // null when absent
};

struct CADB_POLICY_QUALIFIER {
  CADB_OID* type;
  int nid;                   // the qualifier type's number (164 CPS, 165 user notice)
  CADB_ATTRIBUTES* cps;      // CPS pointer
  CADB_USER_NOTICE* notice;  // user notice
  CADB_POLICY_QUALIFIER* next;
};

struct CADB_POLICY_INFO {
  CADB_OID* policy;
  CADB_POLICY_QUALIFIER* qualifiers;  // null when none
  CADB_POLICY_INFO* next;
};

struct CADB_POLICY_MAPPING {
  CADB_OID* issuer_domain;
  CADB_OID* subject_domain;
  CADB_POLICY_MAPPING* next;
};

struct CADB_POLICY_CONSTRAINTS {
  long require_explicit_policy;  // -1 when absent
  long inhibit_policy_mapping;   // -1 when absent
};

struct CADB_GENERAL_SUBTREE {
  CADB_GENERAL_NAME* base;
  long minimum;  // 0 when absent
  long maximum;  // -1 when absent
  CADB_GENERAL_SUBTREE* next;
};

struct CADB_NAME_CONSTRAINTS {
  CADB_GENERAL_SUBTREE* permitted;  // null when none
  CADB_GENERAL_SUBTREE* excluded;
};

// kind 0: full name (general names); kind 1: relative name (split like a name).
struct CADB_DIST_POINT_NAME {
  int kind;
  CADB_GENERAL_NAME* full_name;
  CADB_ATTRIBUTES* relative_name;
};

struct CADB_CRL_DIST_POINT {
  CADB_DIST_POINT_NAME* name;  // null when absent
  std::uint32_t reasons;       // 0 when absent
  CADB_GENERAL_NAME* crl_issuer;
  CADB_CRL_DIST_POINT* next;
};

struct CADB_ACCESS_DESCRIPTION {
  CADB_OID* method;
  CADB_GENERAL_NAME* location;
  CADB_ACCESS_DESCRIPTION* next;
};

struct CADB_ISSUING_DIST_POINT {
  CADB_DIST_POINT_NAME* name;  // null when absent
  int only_user_certificates;
  int only_ca_certificates;
  std::uint32_t only_some_reasons;  // 0 when absent
  int indirect_crl;
  int only_attribute_certificates;
};

// One entry of biometricInfo: a predefined type (its integer, with type_oid null) or a type
// object (predefined_type -1), the hash algorithm's number, the hash, the source address.
struct CADB_BIOMETRIC {
  long predefined_type;
  CADB_OID* type_oid;
  int hash_algorithm;
  BUFFER* hash;
  BUFFER* source_uri;  // null when absent
  CADB_BIOMETRIC* next;
};

// What an extension record's value holds.
enum class V3ExtForm {
  None,
  Mask,
  Text,
  Buffer,
  PkeyUsagePeriod,
  GeneralNames,
  BasicConstraints,
  CertPolicies,
  AuthorityKeyId,
  CrlDistPoints,
  Objects,
  Integer,
  Time,
  PolicyMappings,
  PolicyConstraints,
  NameConstraints,
  AccessDescriptions,
  IssuingDistPoint,
  Object,
  Attributes,
  Biometric,
};

struct CADB_V3EXT {
  int critical;
  int parsed;       // 1 when the value was converted
  int unsupported;  // 1 when the type has no conversion (the value is then absent)
  int type;         // object number of the extension (0 when the table does not know it)
  V3ExtForm form;
  union {
    std::uint32_t mask;
    long integer;
    CADB_ATTRIBUTES* text;  // also Attributes: a chain of attribute lists
    BUFFER* buffer;
    CADB_TIME* time;
    CADB_OID* object;  // also Objects: a chain
    CADB_PKEY_USAGE_PERIOD* period;
    CADB_GENERAL_NAME* names;
    CADB_BASIC_CONSTRAINTS* basic;
    CADB_POLICY_INFO* policies;
    CADB_AUTHORITY_KEYID* key_id;
    CADB_CRL_DIST_POINT* dist_points;
    CADB_POLICY_MAPPING* mappings;
    CADB_POLICY_CONSTRAINTS* constraints;
    CADB_NAME_CONSTRAINTS* name_constraints;
    CADB_ACCESS_DESCRIPTION* access;
    CADB_ISSUING_DIST_POINT* idp;
    CADB_BIOMETRIC* biometric;
  } value;
  CADB_OID* oid;  // the extension's identifier
  CADB_V3EXT* next;
};

// Records: new (zeroed; null with (66, function, 33) when memory is short), free (with what it
// holds and the chain after it), parse.
CADB_V3EXT* CADB_V3EXT_new();
void CADB_V3EXT_free(CADB_V3EXT* ext);
CADB_V3EXT* CADB_V3EXT_parse(const X509_EXTENSION* ext);
// The extension set of a certificate, CRL or CRL entry, in order; null when the list is empty
// or on the first failure (nothing built is kept). *failed tells the two apart.
CADB_V3EXT* CADB_V3EXT_parse_extensions(const stack_st_X509_EXTENSION* exts, int* failed);

// The value's bits as a mask: bit i set when bit i of the string is set, i < 8 * min(len, 4).
std::uint32_t CADB_bits_to_mask(const ASN1_BIT_STRING* bits);
// INTEGER content octets (two's complement, as encoded).
BUFFER* CADB_integer_content(const ASN1_INTEGER* v);

CADB_GENERAL_NAME* CADB_GENERAL_NAME_new();
void CADB_GENERAL_NAME_free(CADB_GENERAL_NAME* n);
CADB_GENERAL_NAME* CADB_GENERAL_NAME_parse(const GENERAL_NAME* name);
// A chain for a GENERAL_NAMES stack; null when it is empty or on failure.
CADB_GENERAL_NAME* CADB_GENERAL_NAMES_parse(const GENERAL_NAMES* names);

CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_new();
void CADB_BASIC_CONSTRAINTS_free(CADB_BASIC_CONSTRAINTS* v);
CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_parse(const BASIC_CONSTRAINTS* v);

CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_new();
void CADB_AUTHORITY_KEYID_free(CADB_AUTHORITY_KEYID* v);
CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_parse(const AUTHORITY_KEYID* v);

CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_new();
void CADB_PKEY_USAGE_PERIOD_free(CADB_PKEY_USAGE_PERIOD* v);
CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_parse(const PKEY_USAGE_PERIOD* v);

CADB_NOTICE_REF* CADB_NOTICE_REF_new();
void CADB_NOTICE_REF_free(CADB_NOTICE_REF* v);
CADB_NOTICE_REF* CADB_NOTICE_REF_parse(const NOTICEREF* v);

CADB_USER_NOTICE* CADB_USER_NOTICE_new();
void CADB_USER_NOTICE_free(CADB_USER_NOTICE* v);
CADB_USER_NOTICE* CADB_USER_NOTICE_parse(const USERNOTICE* v);

CADB_POLICY_QUALIFIER* CADB_POLICY_QUALIFIER_new();
void CADB_POLICY_QUALIFIER_free(CADB_POLICY_QUALIFIER* v);
CADB_POLICY_QUALIFIER* CADB_POLICY_QUALIFIER_parse(const POLICYQUALINFO* v);

CADB_POLICY_INFO* CADB_POLICY_INFO_new();
void CADB_POLICY_INFO_free(CADB_POLICY_INFO* v);
CADB_POLICY_INFO* CADB_POLICY_INFO_parse(const POLICYINFO* v);
CADB_POLICY_INFO* CADB_CERT_POLICIES_parse(const CERTIFICATEPOLICIES* v);

CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_new();
void CADB_POLICY_MAPPING_free(CADB_POLICY_MAPPING* v);
CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_parse(const POLICY_MAPPINGS* v);

CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_new();
void CADB_POLICY_CONSTRAINTS_free(CADB_POLICY_CONSTRAINTS* v);
CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_parse(const POLICY_CONSTRAINTS* v);

CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_new();
void CADB_GENERAL_SUBTREE_free(CADB_GENERAL_SUBTREE* v);
CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_parse(const GENERAL_SUBTREE* v);

CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_new();
void CADB_NAME_CONSTRAINTS_free(CADB_NAME_CONSTRAINTS* v);
CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_parse(const NAME_CONSTRAINTS* v);

CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_new();
void CADB_DIST_POINT_NAME_free(CADB_DIST_POINT_NAME* v);
CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_parse(const DIST_POINT_NAME* v);

CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_new();
void CADB_CRL_DIST_POINT_free(CADB_CRL_DIST_POINT* v);
CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_parse(const CRL_DIST_POINTS* v);

CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_new();
void CADB_ACCESS_DESCRIPTION_free(CADB_ACCESS_DESCRIPTION* v);
CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_parse(const AUTHORITY_INFO_ACCESS* v);

CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_new();
void CADB_ISSUING_DIST_POINT_free(CADB_ISSUING_DIST_POINT* v);
CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_parse(const ISSUING_DIST_POINT* v);

CADB_OID* CADB_EXT_KEY_USAGE_parse(const EXTENDED_KEY_USAGE* v);

void CADB_BIOMETRIC_free(CADB_BIOMETRIC* v);
// biometricInfo and subjectDirectoryAttributes from their DER (OpenSSL has no decoder).
CADB_BIOMETRIC* CADB_BIOMETRIC_parse_der(const unsigned char* der, long len);
CADB_ATTRIBUTES* CADB_ATTRIBUTES_parse_der(const unsigned char* der, long len);

JARNEL_MAKE_OWNER(CADB_V3EXT, CADB_V3EXT_free);
JARNEL_MAKE_OWNER(CADB_GENERAL_NAME, CADB_GENERAL_NAME_free);
JARNEL_MAKE_OWNER(CADB_BASIC_CONSTRAINTS, CADB_BASIC_CONSTRAINTS_free);
JARNEL_MAKE_OWNER(CADB_AUTHORITY_KEYID, CADB_AUTHORITY_KEYID_free);
JARNEL_MAKE_OWNER(CADB_PKEY_USAGE_PERIOD, CADB_PKEY_USAGE_PERIOD_free);
JARNEL_MAKE_OWNER(CADB_NOTICE_REF, CADB_NOTICE_REF_free);
JARNEL_MAKE_OWNER(CADB_USER_NOTICE, CADB_USER_NOTICE_free);
JARNEL_MAKE_OWNER(CADB_POLICY_QUALIFIER, CADB_POLICY_QUALIFIER_free);
JARNEL_MAKE_OWNER(CADB_POLICY_INFO, CADB_POLICY_INFO_free);
JARNEL_MAKE_OWNER(CADB_POLICY_MAPPING, CADB_POLICY_MAPPING_free);
JARNEL_MAKE_OWNER(CADB_POLICY_CONSTRAINTS, CADB_POLICY_CONSTRAINTS_free);
JARNEL_MAKE_OWNER(CADB_GENERAL_SUBTREE, CADB_GENERAL_SUBTREE_free);
JARNEL_MAKE_OWNER(CADB_NAME_CONSTRAINTS, CADB_NAME_CONSTRAINTS_free);
JARNEL_MAKE_OWNER(CADB_DIST_POINT_NAME, CADB_DIST_POINT_NAME_free);
JARNEL_MAKE_OWNER(CADB_CRL_DIST_POINT, CADB_CRL_DIST_POINT_free);
JARNEL_MAKE_OWNER(CADB_ACCESS_DESCRIPTION, CADB_ACCESS_DESCRIPTION_free);
JARNEL_MAKE_OWNER(CADB_ISSUING_DIST_POINT, CADB_ISSUING_DIST_POINT_free);
JARNEL_MAKE_OWNER(CADB_BIOMETRIC, CADB_BIOMETRIC_free);

// CRL records.

// One revoked certificate: serial number (INTEGER content octets), revocation date, its
// converted entry extensions (null when none) and a copy of the raw ones.
struct CADB_REVOKED {
  BUFFER* serial;
  CADB_TIME revocation_date;
  CADB_V3EXT* extensions;
  stack_st_X509_EXTENSION* raw_extensions;
  CADB_REVOKED* next;
};

struct CRL {
  long version;             // as stored: 0 for v1, 1 for v2
  int signature_algorithm;  // object number (0 when the table does not know it)
  CADB_TIME this_update;
  CADB_TIME* next_update;  // null when absent
  CADB_ATTRIBUTES* issuer;
  CADB_REVOKED* revoked;   // null when none
  X509_CRL* crl;           // one reference
  CADB_V3EXT* extensions;  // null when none
  BUFFER* issuer_text;
};

CADB_REVOKED* REVOKED_new();
void REVOKED_free(CADB_REVOKED* r);
CRL* CRL_new();
void CRL_free(CRL* crl);
// Builds the record of a parsed CRL (takes its own reference); null on any failure.
CRL* CRL_split(X509_CRL* crl);
// Decodes CRL bytes (DER, then PEM "X509 CRL", then bare Base64) into a record.
CRL* CRL_read_buffer(const void* data, int length);

JARNEL_MAKE_OWNER(CADB_REVOKED, REVOKED_free);
JARNEL_MAKE_OWNER(CRL, CRL_free);

void ERR_load_X509V3_strings();

}  // namespace jarnel
