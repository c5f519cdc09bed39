// Conversion of decoded X.509 v3 extensions into the key store's flat records.
#include "crypto/cadb/x509v3.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <span>

#include "crypto/bytestring/der.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"

// After the library's error header, whose names OpenSSL's would otherwise shadow.
#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

namespace jarnel {
namespace {

template <class T>
T* zeroed(int func) {
  T* p = static_cast<T*>(mem_alloc(sizeof(T)));
  if (!p) {
    JARNEL_ERR(LIB_CADB, func, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(p, 0, sizeof(T));
  return p;
}

// Records the failure of a conversion step and returns null.
template <class T = void>
T* failed(int func, int reason = R_INTERNAL_ERROR) {
  JARNEL_ERR(LIB_CADB, func, reason);
  return nullptr;
}

// An INTEGER that must fit a long; false when absent-but-required or out of range.
bool small_long(const ASN1_INTEGER* v, long* out) {
  std::int64_t x = 0;
  if (!v || !ASN1_INTEGER_get_int64(&x, v) || x < LONG_MIN || x > LONG_MAX) {
    ::ERR_clear_error();
    return false;
  }
  *out = static_cast<long>(x);
  return true;
}

bool fbool(int v) { return v != 0 && v != -1; }

// A decoded value and the item that frees it.
struct Decoded {
  ASN1_VALUE* v = nullptr;
  const ASN1_ITEM* it = nullptr;
  Decoded() = default;
  Decoded(const Decoded&) = delete;
  Decoded& operator=(const Decoded&) = delete;
  ~Decoded() {
    if (v) ASN1_item_free(v, it);
  }
  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(v);
  }
};

// Decodes the whole of data as one item; trailing bytes are refused.
bool decode(const ASN1_OCTET_STRING* data, const ASN1_ITEM* it, Decoded& out) {
  const unsigned char* p = ASN1_STRING_get0_data(data);
  const long len = ASN1_STRING_length(data);
  if (!p || len <= 0) return false;
  const unsigned char* end = p + len;
  out.it = it;
  out.v = ASN1_item_d2i(nullptr, &p, len, it);
  ::ERR_clear_error();
  return out.v && p == end;
}

}  // namespace

std::uint32_t CADB_bits_to_mask(const ASN1_BIT_STRING* bits) {
  if (!bits) return 0;
  const int len = ASN1_STRING_length(bits);
  const int n = 8 * (len < 4 ? len : 4);
  std::uint32_t mask = 0;
  for (int i = 0; i < n; ++i)
    if (ASN1_BIT_STRING_get_bit(bits, i)) mask |= std::uint32_t{1} << i;
  return mask;
}

BUFFER* CADB_integer_content(const ASN1_INTEGER* v) {
  if (!v) return nullptr;
  unsigned char* der = nullptr;
  const int n = i2d_ASN1_INTEGER(v, &der);
  if (n <= 0) {
    ::ERR_clear_error();
    return nullptr;
  }
  // Skip the tag and the length octets.
  int hdr = 2;
  if (der[1] & 0x80) hdr += der[1] & 0x7F;
  BUFFER* b = n > hdr ? BUFFER_fill(der + hdr, n - hdr) : nullptr;
  OPENSSL_free(der);
  return b;
}

// General names.

CADB_GENERAL_NAME* CADB_GENERAL_NAME_new() {
  return zeroed<CADB_GENERAL_NAME>(CADB_F_CADB_GENERAL_NAME);
}

void CADB_GENERAL_NAME_free(CADB_GENERAL_NAME* n) {
  while (n) {
    CADB_GENERAL_NAME* next = n->next;
    CADB_ATTRIBUTES_free(n->text);
    CADB_ATTRIBUTES_free(n->name);
    CADB_OID_free(n->oid);
    mem_free(n);
    n = next;
  }
}

namespace {

// The text of an IP address: a.b.c.d, a.b.c.d/m.m.m.m for an address and mask, the IPv6 forms
// in groups of hex digits, anything else as hex bytes.
CADB_ATTRIBUTES* ip_text(const ASN1_OCTET_STRING* ip) {
  const unsigned char* p = ASN1_STRING_get0_data(ip);
  const int n = ASN1_STRING_length(ip);
  char text[160] = "";
  std::size_t at = 0;
  auto put = [&](const char* fmt, unsigned v) {
    const int w = std::snprintf(text + at, sizeof text - at, fmt, v);
    if (w > 0 && static_cast<std::size_t>(w) < sizeof text - at) at += static_cast<std::size_t>(w);
  };
  if (n == 4 || n == 8) {
    for (int i = 0; i < n; ++i) put(i == 0 ? "%u" : i == 4 ? "/%u" : ".%u", p[i]);
  } else if (n == 16 || n == 32) {
    for (int i = 0; i < n; i += 2)
      put(i == 0 ? "%X" : i == 16 ? "/%X" : ":%X", static_cast<unsigned>(p[i] << 8 | p[i + 1]));
  } else {
    for (int i = 0; i < n && i < 64; ++i) put("%02X", p[i]);
  }
  // A text of one element whose type stays the OCTET STRING's.
  Owned<CADB_ATTRIBUTES> list(CADB_ATTRIBUTES_new());
  if (!list) return nullptr;
  CADB_ATTRIBUTE* a = static_cast<CADB_ATTRIBUTE*>(mem_alloc(sizeof(CADB_ATTRIBUTE)));
  if (!a) return nullptr;
  std::memset(a, 0, sizeof *a);
  list->first = a;
  list->count = 1;
  a->string_type = V_ASN1_OCTET_STRING;
  a->value = BUFFER_fill(text, static_cast<int>(at));
  return a->value ? list.release() : nullptr;
}

}  // namespace

CADB_GENERAL_NAME* CADB_GENERAL_NAME_parse(const GENERAL_NAME* name) {
  if (!name) return failed<CADB_GENERAL_NAME>(CADB_F_CADB_GENERAL_NAME, R_PASSED_NULL_PARAMETER);
  Owned<CADB_GENERAL_NAME> g(CADB_GENERAL_NAME_new());
  if (!g) return nullptr;
  g->type = 0x80 | name->type;
  bool ok = true;
  switch (name->type) {
    case GEN_EMAIL:
    case GEN_DNS:
    case GEN_URI: ok = (g->text = CADB_TEXT_parse(name->d.ia5)) != nullptr; break;
    case GEN_DIRNAME: ok = (g->name = X509_NAME_split(name->d.directoryName)) != nullptr; break;
    case GEN_IPADD: ok = (g->text = ip_text(name->d.iPAddress)) != nullptr; break;
    case GEN_RID: ok = (g->oid = CADB_OID_parse(name->d.registeredID)) != nullptr; break;
    default: break;  // other names, X.400 addresses, EDI party names: no value
  }
  if (!ok) return failed<CADB_GENERAL_NAME>(CADB_F_CADB_GENERAL_NAME);
  return g.release();
}

CADB_GENERAL_NAME* CADB_GENERAL_NAMES_parse(const GENERAL_NAMES* names) {
  const int n = sk_GENERAL_NAME_num(names);
  if (n <= 0) return failed<CADB_GENERAL_NAME>(CADB_F_CADB_GENERAL_NAME);
  CADB_GENERAL_NAME* first = nullptr;
  CADB_GENERAL_NAME** tail = &first;
  for (int i = 0; i < n; ++i) {
    CADB_GENERAL_NAME* g = CADB_GENERAL_NAME_parse(sk_GENERAL_NAME_value(names, i));
    if (!g) {
      CADB_GENERAL_NAME_free(first);
      return nullptr;
    }
    cadb_append(tail, g);
  }
  return first;
}

// Small records.

#define CADB_SIMPLE_NEW(T, func) \
  T* T##_new() { return zeroed<T>(func); }

CADB_SIMPLE_NEW(CADB_BASIC_CONSTRAINTS, CADB_F_CADB_BASIC_CONSTRAINTS)
void CADB_BASIC_CONSTRAINTS_free(CADB_BASIC_CONSTRAINTS* v) { mem_free(v); }
CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_parse(const BASIC_CONSTRAINTS* v) {
  if (!v) return failed<CADB_BASIC_CONSTRAINTS>(CADB_F_CADB_BASIC_CONSTRAINTS);
  Owned<CADB_BASIC_CONSTRAINTS> r(CADB_BASIC_CONSTRAINTS_new());
  if (!r) return nullptr;
  r->ca = fbool(v->ca) ? 1 : 0;
  r->path_length = -1;
  if (v->pathlen && (!small_long(v->pathlen, &r->path_length) || r->path_length < 0))
    return failed<CADB_BASIC_CONSTRAINTS>(CADB_F_CADB_BASIC_CONSTRAINTS);
  return r.release();
}

CADB_SIMPLE_NEW(CADB_AUTHORITY_KEYID, CADB_F_CADB_AUTHORITY_KEYID)
void CADB_AUTHORITY_KEYID_free(CADB_AUTHORITY_KEYID* v) {
  if (!v) return;
  BUFFER_free(v->key_id);
  CADB_GENERAL_NAME_free(v->issuer);
  BUFFER_free(v->serial);
  mem_free(v);
}
CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_parse(const AUTHORITY_KEYID* v) {
  if (!v) return failed<CADB_AUTHORITY_KEYID>(CADB_F_CADB_AUTHORITY_KEYID);
  Owned<CADB_AUTHORITY_KEYID> r(CADB_AUTHORITY_KEYID_new());
  if (!r) return nullptr;
  if ((v->keyid &&
       !(r->key_id = BUFFER_fill(ASN1_STRING_get0_data(v->keyid), ASN1_STRING_length(v->keyid)))) ||
      (v->issuer && !(r->issuer = CADB_GENERAL_NAMES_parse(v->issuer))) ||
      (v->serial && !(r->serial = CADB_integer_content(v->serial))))
    return failed<CADB_AUTHORITY_KEYID>(CADB_F_CADB_AUTHORITY_KEYID);
  return r.release();
}

CADB_SIMPLE_NEW(CADB_PKEY_USAGE_PERIOD, CADB_F_CADB_PKEY_USAGE_PERIOD)
void CADB_PKEY_USAGE_PERIOD_free(CADB_PKEY_USAGE_PERIOD* v) {
  if (!v) return;
  CADB_TIME_free(v->not_before);
  CADB_TIME_free(v->not_after);
  mem_free(v);
}
CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_parse(const PKEY_USAGE_PERIOD* v) {
  if (!v) return failed<CADB_PKEY_USAGE_PERIOD>(CADB_F_CADB_PKEY_USAGE_PERIOD);
  Owned<CADB_PKEY_USAGE_PERIOD> r(CADB_PKEY_USAGE_PERIOD_new());
  if (!r) return nullptr;
  if ((v->notBefore && !(r->not_before = CADB_TIME_parse(v->notBefore))) ||
      (v->notAfter && !(r->not_after = CADB_TIME_parse(v->notAfter))))
    return failed<CADB_PKEY_USAGE_PERIOD>(CADB_F_CADB_PKEY_USAGE_PERIOD);
  return r.release();
}

// Policies.

CADB_SIMPLE_NEW(CADB_NOTICE_REF, CADB_F_CADB_NOTICE_REF)
void CADB_NOTICE_REF_free(CADB_NOTICE_REF* v) {
  if (!v) return;
  CADB_ATTRIBUTES_free(v->organization);
  BUFFER_free(v->numbers);
  mem_free(v);
}
CADB_NOTICE_REF* CADB_NOTICE_REF_parse(const NOTICEREF* v) {
  if (!v) return failed<CADB_NOTICE_REF>(CADB_F_CADB_NOTICE_REF);
  Owned<CADB_NOTICE_REF> r(CADB_NOTICE_REF_new());
  if (!r || !(r->organization = CADB_TEXT_parse(v->organization)) ||
      !(r->numbers = BUFFER_fill("", 0)))
    return failed<CADB_NOTICE_REF>(CADB_F_CADB_NOTICE_REF);
  for (int i = 0; i < sk_ASN1_INTEGER_num(v->noticenos); ++i) {
    std::uint64_t n = 0;
    if (!ASN1_INTEGER_get_uint64(&n, sk_ASN1_INTEGER_value(v->noticenos, i))) {
      ::ERR_clear_error();
      return failed<CADB_NOTICE_REF>(CADB_F_CADB_NOTICE_REF);
    }
    char num[32];
    const int w = std::snprintf(num, sizeof num, i ? ",%lu" : "%lu", static_cast<unsigned long>(n));
    if (BUFFER_append(r->numbers, num, w) != w)
      return failed<CADB_NOTICE_REF>(CADB_F_CADB_NOTICE_REF);
  }
  return r.release();
}

CADB_SIMPLE_NEW(CADB_USER_NOTICE, CADB_F_CADB_USER_NOTICE)
void CADB_USER_NOTICE_free(CADB_USER_NOTICE* v) {
  if (!v) return;
  CADB_NOTICE_REF_free(v->reference);
  CADB_ATTRIBUTES_free(v->explicit_text);
  mem_free(v);
}
CADB_USER_NOTICE* CADB_USER_NOTICE_parse(const USERNOTICE* v) {
  if (!v) return failed<CADB_USER_NOTICE>(CADB_F_CADB_USER_NOTICE);
  Owned<CADB_USER_NOTICE> r(CADB_USER_NOTICE_new());
  if (!r) return nullptr;
  if ((v->noticeref && !(r->reference = CADB_NOTICE_REF_parse(v->noticeref))) ||
      (v->exptext && !(r->explicit_text = CADB_TEXT_parse(v->exptext))))
    return failed<CADB_USER_NOTICE>(CADB_F_CADB_USER_NOTICE);
  return r.release();
}

CADB_SIMPLE_NEW(CADB_POLICY_QUALIFIER, CADB_F_CADB_POLICY_QUALIFIER)
void CADB_POLICY_QUALIFIER_free(CADB_POLICY_QUALIFIER* v) {
  while (v) {
    CADB_POLICY_QUALIFIER* next = v->next;
    CADB_OID_free(v->type);
    CADB_ATTRIBUTES_free(v->cps);
    CADB_USER_NOTICE_free(v->notice);
    mem_free(v);
    v = next;
  }
}
CADB_POLICY_QUALIFIER* CADB_POLICY_QUALIFIER_parse(const POLICYQUALINFO* v) {
  if (!v) return failed<CADB_POLICY_QUALIFIER>(CADB_F_CADB_POLICY_QUALIFIER);
  Owned<CADB_POLICY_QUALIFIER> r(CADB_POLICY_QUALIFIER_new());
  if (!r || !(r->type = CADB_OID_parse(v->pqualid)))
    return failed<CADB_POLICY_QUALIFIER>(CADB_F_CADB_POLICY_QUALIFIER);
  r->nid = r->type->nid;
  bool ok = true;
  if (r->nid == NID_ID_QT_CPS)
    ok = (r->cps = CADB_TEXT_parse(v->d.cpsuri)) != nullptr;
  else if (r->nid == NID_ID_QT_UNOTICE)
    ok = (r->notice = CADB_USER_NOTICE_parse(v->d.usernotice)) != nullptr;
  if (!ok) return failed<CADB_POLICY_QUALIFIER>(CADB_F_CADB_POLICY_QUALIFIER);
  return r.release();
}

CADB_SIMPLE_NEW(CADB_POLICY_INFO, CADB_F_CADB_POLICY_INFO)
void CADB_POLICY_INFO_free(CADB_POLICY_INFO* v) {
  while (v) {
    CADB_POLICY_INFO* next = v->next;
    CADB_OID_free(v->policy);
    CADB_POLICY_QUALIFIER_free(v->qualifiers);
    mem_free(v);
    v = next;
  }
}
CADB_POLICY_INFO* CADB_POLICY_INFO_parse(const POLICYINFO* v) {
  if (!v) return failed<CADB_POLICY_INFO>(CADB_F_CADB_POLICY_INFO);
  Owned<CADB_POLICY_INFO> r(CADB_POLICY_INFO_new());
  if (!r || !(r->policy = CADB_OID_parse(v->policyid)))
    return failed<CADB_POLICY_INFO>(CADB_F_CADB_POLICY_INFO);
  CADB_POLICY_QUALIFIER** tail = &r->qualifiers;
  for (int i = 0; i < sk_POLICYQUALINFO_num(v->qualifiers); ++i) {
    CADB_POLICY_QUALIFIER* q =
        CADB_POLICY_QUALIFIER_parse(sk_POLICYQUALINFO_value(v->qualifiers, i));
    if (!q) return failed<CADB_POLICY_INFO>(CADB_F_CADB_POLICY_INFO);
    cadb_append(tail, q);
  }
  return r.release();
}

CADB_POLICY_INFO* CADB_CERT_POLICIES_parse(const CERTIFICATEPOLICIES* v) {
  CADB_POLICY_INFO* first = nullptr;
  CADB_POLICY_INFO** tail = &first;
  const int n = sk_POLICYINFO_num(v);
  if (n <= 0) return failed<CADB_POLICY_INFO>(CADB_F_CADB_CERT_POLICIES);
  for (int i = 0; i < n; ++i) {
    CADB_POLICY_INFO* p = CADB_POLICY_INFO_parse(sk_POLICYINFO_value(v, i));
    if (!p) {
      CADB_POLICY_INFO_free(first);
      return failed<CADB_POLICY_INFO>(CADB_F_CADB_CERT_POLICIES);
    }
    cadb_append(tail, p);
  }
  return first;
}

CADB_SIMPLE_NEW(CADB_POLICY_MAPPING, CADB_F_CADB_POLICY_MAPPING)
void CADB_POLICY_MAPPING_free(CADB_POLICY_MAPPING* v) {
  while (v) {
    CADB_POLICY_MAPPING* next = v->next;
    CADB_OID_free(v->issuer_domain);
    CADB_OID_free(v->subject_domain);
    mem_free(v);
    v = next;
  }
}
CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_parse(const POLICY_MAPPINGS* v) {
  CADB_POLICY_MAPPING* first = nullptr;
  CADB_POLICY_MAPPING** tail = &first;
  const int n = sk_POLICY_MAPPING_num(v);
  if (n <= 0) return failed<CADB_POLICY_MAPPING>(CADB_F_CADB_POLICY_MAPPING);
  for (int i = 0; i < n; ++i) {
    const POLICY_MAPPING* m = sk_POLICY_MAPPING_value(v, i);
    CADB_POLICY_MAPPING* r = CADB_POLICY_MAPPING_new();
    if (r) cadb_append(tail, r);
    if (!r || !(r->issuer_domain = CADB_OID_parse(m->issuerDomainPolicy)) ||
        !(r->subject_domain = CADB_OID_parse(m->subjectDomainPolicy))) {
      CADB_POLICY_MAPPING_free(first);
      return failed<CADB_POLICY_MAPPING>(CADB_F_CADB_POLICY_MAPPING);
    }
  }
  return first;
}

CADB_SIMPLE_NEW(CADB_POLICY_CONSTRAINTS, CADB_F_CADB_POLICY_CONSTRAINTS)
void CADB_POLICY_CONSTRAINTS_free(CADB_POLICY_CONSTRAINTS* v) { mem_free(v); }
CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_parse(const POLICY_CONSTRAINTS* v) {
  if (!v) return failed<CADB_POLICY_CONSTRAINTS>(CADB_F_CADB_POLICY_CONSTRAINTS);
  Owned<CADB_POLICY_CONSTRAINTS> r(CADB_POLICY_CONSTRAINTS_new());
  if (!r) return nullptr;
  r->require_explicit_policy = r->inhibit_policy_mapping = -1;
  if ((v->requireExplicitPolicy &&
       (!small_long(v->requireExplicitPolicy, &r->require_explicit_policy) ||
        r->require_explicit_policy < 0)) ||
      (v->inhibitPolicyMapping &&
       (!small_long(v->inhibitPolicyMapping, &r->inhibit_policy_mapping) ||
        r->inhibit_policy_mapping < 0)))
    return failed<CADB_POLICY_CONSTRAINTS>(CADB_F_CADB_POLICY_CONSTRAINTS);
  return r.release();
}

// Name constraints.

CADB_SIMPLE_NEW(CADB_GENERAL_SUBTREE, CADB_F_CADB_GENERAL_SUBTREE)
void CADB_GENERAL_SUBTREE_free(CADB_GENERAL_SUBTREE* v) {
  while (v) {
    CADB_GENERAL_SUBTREE* next = v->next;
    CADB_GENERAL_NAME_free(v->base);
    mem_free(v);
    v = next;
  }
}
CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_parse(const GENERAL_SUBTREE* v) {
  if (!v) return failed<CADB_GENERAL_SUBTREE>(CADB_F_CADB_GENERAL_SUBTREE);
  Owned<CADB_GENERAL_SUBTREE> r(CADB_GENERAL_SUBTREE_new());
  if (!r) return nullptr;
  r->minimum = 0;
  r->maximum = -1;
  if (!(r->base = CADB_GENERAL_NAME_parse(v->base)) ||
      (v->minimum && (!small_long(v->minimum, &r->minimum) || r->minimum < 0)) ||
      (v->maximum && (!small_long(v->maximum, &r->maximum) || r->maximum < 0)))
    return failed<CADB_GENERAL_SUBTREE>(CADB_F_CADB_GENERAL_SUBTREE);
  return r.release();
}

namespace {

bool subtrees(const STACK_OF(GENERAL_SUBTREE) * in, CADB_GENERAL_SUBTREE** out) {
  CADB_GENERAL_SUBTREE** tail = out;
  for (int i = 0; i < sk_GENERAL_SUBTREE_num(in); ++i) {
    CADB_GENERAL_SUBTREE* s = CADB_GENERAL_SUBTREE_parse(sk_GENERAL_SUBTREE_value(in, i));
    if (!s) return false;
    cadb_append(tail, s);
  }
  return true;
}

}  // namespace

CADB_SIMPLE_NEW(CADB_NAME_CONSTRAINTS, CADB_F_CADB_NAME_CONSTRAINTS)
void CADB_NAME_CONSTRAINTS_free(CADB_NAME_CONSTRAINTS* v) {
  if (!v) return;
  CADB_GENERAL_SUBTREE_free(v->permitted);
  CADB_GENERAL_SUBTREE_free(v->excluded);
  mem_free(v);
}
CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_parse(const NAME_CONSTRAINTS* v) {
  if (!v) return failed<CADB_NAME_CONSTRAINTS>(CADB_F_CADB_NAME_CONSTRAINTS);
  Owned<CADB_NAME_CONSTRAINTS> r(CADB_NAME_CONSTRAINTS_new());
  if (!r) return nullptr;
  if (!subtrees(v->permittedSubtrees, &r->permitted) ||
      !subtrees(v->excludedSubtrees, &r->excluded) || (!r->permitted && !r->excluded))
    return failed<CADB_NAME_CONSTRAINTS>(CADB_F_CADB_NAME_CONSTRAINTS);
  return r.release();
}

// Distribution points.

CADB_SIMPLE_NEW(CADB_DIST_POINT_NAME, CADB_F_CADB_DIST_POINT_NAME)
void CADB_DIST_POINT_NAME_free(CADB_DIST_POINT_NAME* v) {
  if (!v) return;
  CADB_GENERAL_NAME_free(v->full_name);
  CADB_ATTRIBUTES_free(v->relative_name);
  mem_free(v);
}
CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_parse(const DIST_POINT_NAME* v) {
  if (!v) return failed<CADB_DIST_POINT_NAME>(CADB_F_CADB_DIST_POINT_NAME);
  Owned<CADB_DIST_POINT_NAME> r(CADB_DIST_POINT_NAME_new());
  if (!r) return nullptr;
  r->kind = v->type;
  bool ok = false;
  if (v->type == 0) {
    ok = (r->full_name = CADB_GENERAL_NAMES_parse(v->name.fullname)) != nullptr;
  } else if (v->type == 1) {
    // Split the relative name's entries as one name.
    Owned<X509_NAME> rdn(X509_NAME_new());
    ok = rdn != nullptr;
    for (int i = 0; ok && i < sk_X509_NAME_ENTRY_num(v->name.relativename); ++i)
      ok = X509_NAME_add_entry(rdn.get(), sk_X509_NAME_ENTRY_value(v->name.relativename, i), -1,
                               0) == 1;
    ok = ok && (r->relative_name = X509_NAME_split(rdn.get())) != nullptr;
    ::ERR_clear_error();
  }
  if (!ok) return failed<CADB_DIST_POINT_NAME>(CADB_F_CADB_DIST_POINT_NAME);
  return r.release();
}

CADB_SIMPLE_NEW(CADB_CRL_DIST_POINT, CADB_F_CADB_CRL_DIST_POINT)
void CADB_CRL_DIST_POINT_free(CADB_CRL_DIST_POINT* v) {
  while (v) {
    CADB_CRL_DIST_POINT* next = v->next;
    CADB_DIST_POINT_NAME_free(v->name);
    CADB_GENERAL_NAME_free(v->crl_issuer);
    mem_free(v);
    v = next;
  }
}
CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_parse(const CRL_DIST_POINTS* v) {
  CADB_CRL_DIST_POINT* first = nullptr;
  CADB_CRL_DIST_POINT** tail = &first;
  const int n = sk_DIST_POINT_num(v);
  if (n <= 0) return failed<CADB_CRL_DIST_POINT>(CADB_F_CADB_CRL_DIST_POINT);
  for (int i = 0; i < n; ++i) {
    const DIST_POINT* d = sk_DIST_POINT_value(v, i);
    CADB_CRL_DIST_POINT* r = CADB_CRL_DIST_POINT_new();
    if (r) cadb_append(tail, r);
    if (!r || (d->distpoint && !(r->name = CADB_DIST_POINT_NAME_parse(d->distpoint))) ||
        (d->CRLissuer && !(r->crl_issuer = CADB_GENERAL_NAMES_parse(d->CRLissuer)))) {
      CADB_CRL_DIST_POINT_free(first);
      return failed<CADB_CRL_DIST_POINT>(CADB_F_CADB_CRL_DIST_POINT);
    }
    r->reasons = CADB_bits_to_mask(d->reasons);
  }
  return first;
}

CADB_SIMPLE_NEW(CADB_ACCESS_DESCRIPTION, CADB_F_CADB_ACCESS_DESCRIPTION)
void CADB_ACCESS_DESCRIPTION_free(CADB_ACCESS_DESCRIPTION* v) {
  while (v) {
    CADB_ACCESS_DESCRIPTION* next = v->next;
    CADB_OID_free(v->method);
    CADB_GENERAL_NAME_free(v->location);
    mem_free(v);
    v = next;
  }
}
CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_parse(const AUTHORITY_INFO_ACCESS* v) {
  CADB_ACCESS_DESCRIPTION* first = nullptr;
  CADB_ACCESS_DESCRIPTION** tail = &first;
  const int n = sk_ACCESS_DESCRIPTION_num(v);
  if (n <= 0) return failed<CADB_ACCESS_DESCRIPTION>(CADB_F_CADB_ACCESS_DESCRIPTION);
  for (int i = 0; i < n; ++i) {
    const ACCESS_DESCRIPTION* a = sk_ACCESS_DESCRIPTION_value(v, i);
    CADB_ACCESS_DESCRIPTION* r = CADB_ACCESS_DESCRIPTION_new();
    if (r) cadb_append(tail, r);
    if (!r || !(r->method = CADB_OID_parse(a->method)) ||
        !(r->location = CADB_GENERAL_NAME_parse(a->location))) {
      CADB_ACCESS_DESCRIPTION_free(first);
      return failed<CADB_ACCESS_DESCRIPTION>(CADB_F_CADB_ACCESS_DESCRIPTION);
    }
  }
  return first;
}

CADB_SIMPLE_NEW(CADB_ISSUING_DIST_POINT, CADB_F_CADB_ISSUING_DIST_POINT)
void CADB_ISSUING_DIST_POINT_free(CADB_ISSUING_DIST_POINT* v) {
  if (!v) return;
  CADB_DIST_POINT_NAME_free(v->name);
  mem_free(v);
}
CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_parse(const ISSUING_DIST_POINT* v) {
  if (!v) return failed<CADB_ISSUING_DIST_POINT>(CADB_F_CADB_ISSUING_DIST_POINT);
  Owned<CADB_ISSUING_DIST_POINT> r(CADB_ISSUING_DIST_POINT_new());
  if (!r) return nullptr;
  if (v->distpoint && !(r->name = CADB_DIST_POINT_NAME_parse(v->distpoint)))
    return failed<CADB_ISSUING_DIST_POINT>(CADB_F_CADB_ISSUING_DIST_POINT);
  r->only_user_certificates = fbool(v->onlyuser) ? 1 : 0;
  r->only_ca_certificates = fbool(v->onlyCA) ? 1 : 0;
  r->only_some_reasons = CADB_bits_to_mask(v->onlysomereasons);
  r->indirect_crl = fbool(v->indirectCRL) ? 1 : 0;
  r->only_attribute_certificates = fbool(v->onlyattr) ? 1 : 0;
  return r.release();
}

CADB_OID* CADB_EXT_KEY_USAGE_parse(const EXTENDED_KEY_USAGE* v) {
  CADB_OID* first = nullptr;
  CADB_OID** tail = &first;
  const int n = sk_ASN1_OBJECT_num(v);
  if (n <= 0) return failed<CADB_OID>(CADB_F_CADB_EXT_KEY_USAGE);
  for (int i = 0; i < n; ++i) {
    CADB_OID* o = CADB_OID_parse(sk_ASN1_OBJECT_value(v, i));
    if (!o) {
      CADB_OID_free(first);
      return failed<CADB_OID>(CADB_F_CADB_EXT_KEY_USAGE);
    }
    cadb_append(tail, o);
  }
  return first;
}

// The types OpenSSL does not decode, read with the library's DER reader.

void CADB_BIOMETRIC_free(CADB_BIOMETRIC* v) {
  while (v) {
    CADB_BIOMETRIC* next = v->next;
    CADB_OID_free(v->type_oid);
    BUFFER_free(v->hash);
    BUFFER_free(v->source_uri);
    mem_free(v);
    v = next;
  }
}

namespace {

// An object record from one OBJECT IDENTIFIER element read by r.
CADB_OID* read_object(der::Reader& r) {
  std::span<const unsigned char> element, content;
  if (!r.expect_element(der::TAG_OID, element, content)) return nullptr;
  const unsigned char* p = element.data();
  Owned<ASN1_OBJECT> o(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(element.size())));
  ::ERR_clear_error();
  return o ? CADB_OID_parse(o.get()) : nullptr;
}

}  // namespace

// BiometricSyntax ::= SEQUENCE OF SEQUENCE { typeOfBiometricData CHOICE { INTEGER, OID },
//   hashAlgorithm AlgorithmIdentifier, biometricDataHash OCTET STRING,
//   sourceDataUri IA5String OPTIONAL }
CADB_BIOMETRIC* CADB_BIOMETRIC_parse_der(const unsigned char* der, long len) {
  if (!der || len <= 0) return failed<CADB_BIOMETRIC>(CADB_F_CADB_BIOMETRIC);
  der::Reader in(std::span<const unsigned char>(der, static_cast<std::size_t>(len))), list;
  CADB_BIOMETRIC* first = nullptr;
  CADB_BIOMETRIC** tail = &first;
  bool ok = in.sequence(list) && in.empty() && !list.empty();
  while (ok && !list.empty()) {
    der::Reader item, alg;
    CADB_BIOMETRIC* b = zeroed<CADB_BIOMETRIC>(CADB_F_CADB_BIOMETRIC);
    if (!b) {
      ok = false;
      break;
    }
    cadb_append(tail, b);
    ok = list.sequence(item);
    if (ok && item.peek_tag() == der::TAG_INTEGER) {
      unsigned v = 0;
      ok = item.small_integer(v) && v <= 0x7FFFFFFF;
      b->predefined_type = static_cast<long>(v);
    } else if (ok) {
      b->predefined_type = -1;
      ok = (b->type_oid = read_object(item)) != nullptr;
    }
    der::Oid hash_oid;
    std::span<const unsigned char> hash, uri;
    ok = ok && item.sequence(alg) && alg.oid(hash_oid) && item.octets(hash);
    if (ok) {
      b->hash_algorithm = obj::nid_of(hash_oid.span());
      b->hash = BUFFER_fill(hash.data(), static_cast<int>(hash.size()));
      ok = b->hash != nullptr;
    }
    if (ok && !item.empty()) {
      ok = item.expect(V_ASN1_IA5STRING, uri) &&
           (b->source_uri = BUFFER_fill(uri.data(), static_cast<int>(uri.size()))) != nullptr;
    }
    ok = ok && item.empty();
  }
  if (!ok) {
    CADB_BIOMETRIC_free(first);
    return failed<CADB_BIOMETRIC>(CADB_F_CADB_BIOMETRIC);
  }
  return first;
}

// SubjectDirectoryAttributes ::= SEQUENCE SIZE (1..MAX) OF Attribute
// Attribute ::= SEQUENCE { type OBJECT IDENTIFIER, values SET OF ANY }
CADB_ATTRIBUTES* CADB_ATTRIBUTES_parse_der(const unsigned char* der, long len) {
  if (!der || len <= 0) return failed<CADB_ATTRIBUTES>(CADB_F_CADB_ATTRIBUTES);
  der::Reader in(std::span<const unsigned char>(der, static_cast<std::size_t>(len))), list;
  CADB_ATTRIBUTES* first = nullptr;
  CADB_ATTRIBUTES** tail = &first;
  bool ok = in.sequence(list) && in.empty() && !list.empty();
  while (ok && !list.empty()) {
    der::Reader attr, values;
    CADB_ATTRIBUTES* a = CADB_ATTRIBUTES_new();
    if (!a) {
      ok = false;
      break;
    }
    cadb_append(tail, a);
    ok = list.sequence(attr) && (a->type = read_object(attr)) != nullptr &&
         attr.enter(der::TAG_SET, values) && attr.empty();
    CADB_ATTRIBUTE** vtail = &a->first;
    while (ok && !values.empty()) {
      const unsigned char* start = values.position();
      unsigned char tag = 0;
      std::span<const unsigned char> content;
      ok = values.any(tag, content);
      if (!ok) break;
      const unsigned char* p = start;
      Owned<ASN1_TYPE> t(d2i_ASN1_TYPE(nullptr, &p, values.position() - start));
      ::ERR_clear_error();
      CADB_ATTRIBUTE* v = zeroed<CADB_ATTRIBUTE>(CADB_F_CADB_ATTRIBUTES);
      if (!t || !v) {
        mem_free(v);
        ok = false;
        break;
      }
      cadb_append(vtail, v);
      ++a->count;
      v->string_type = t->type;
      if (t->type == V_ASN1_OBJECT) {
        char text[CADB_OID_TEXT_MAX + 1];
        const int n = OBJ_obj2txt(text, sizeof text, t->value.object, 1);
        ok = n > 0 && n <= CADB_OID_TEXT_MAX && (v->value = BUFFER_fill(text, n)) != nullptr;
      } else if (t->type == V_ASN1_BOOLEAN) {
        ok = (v->value = BUFFER_fill(t->value.boolean ? "TRUE" : "FALSE", -1)) != nullptr;
      } else if (t->type == V_ASN1_NULL) {
        ok = (v->value = BUFFER_fill("", 0)) != nullptr;
      } else {
        ok = (v->value = CADB_string_print(t->value.asn1_string)) != nullptr;
      }
    }
    ok = ok && a->count > 0;
  }
  if (!ok) {
    CADB_ATTRIBUTES_free(first);
    return failed<CADB_ATTRIBUTES>(CADB_F_CADB_ATTRIBUTES);
  }
  return first;
}

// Extension records.

CADB_V3EXT* CADB_V3EXT_new() { return zeroed<CADB_V3EXT>(CADB_F_CADB_V3EXT_NEW); }

namespace {

void free_value(CADB_V3EXT* e) {
  switch (e->form) {
    case V3ExtForm::Text:
    case V3ExtForm::Attributes: CADB_ATTRIBUTES_free(e->value.text); break;
    case V3ExtForm::Buffer: BUFFER_free(e->value.buffer); break;
    case V3ExtForm::Time: CADB_TIME_free(e->value.time); break;
    case V3ExtForm::Object:
    case V3ExtForm::Objects: CADB_OID_free(e->value.object); break;
    case V3ExtForm::PkeyUsagePeriod: CADB_PKEY_USAGE_PERIOD_free(e->value.period); break;
    case V3ExtForm::GeneralNames: CADB_GENERAL_NAME_free(e->value.names); break;
    case V3ExtForm::BasicConstraints: CADB_BASIC_CONSTRAINTS_free(e->value.basic); break;
    case V3ExtForm::CertPolicies: CADB_POLICY_INFO_free(e->value.policies); break;
    case V3ExtForm::AuthorityKeyId: CADB_AUTHORITY_KEYID_free(e->value.key_id); break;
    case V3ExtForm::CrlDistPoints: CADB_CRL_DIST_POINT_free(e->value.dist_points); break;
    case V3ExtForm::PolicyMappings: CADB_POLICY_MAPPING_free(e->value.mappings); break;
    case V3ExtForm::PolicyConstraints: CADB_POLICY_CONSTRAINTS_free(e->value.constraints); break;
    case V3ExtForm::NameConstraints: CADB_NAME_CONSTRAINTS_free(e->value.name_constraints); break;
    case V3ExtForm::AccessDescriptions: CADB_ACCESS_DESCRIPTION_free(e->value.access); break;
    case V3ExtForm::IssuingDistPoint: CADB_ISSUING_DIST_POINT_free(e->value.idp); break;
    case V3ExtForm::Biometric: CADB_BIOMETRIC_free(e->value.biometric); break;
    case V3ExtForm::None:
    case V3ExtForm::Mask:
    case V3ExtForm::Integer: break;
  }
  e->form = V3ExtForm::None;
}

// Converts data (the extension's value) of a known type into e; false when it cannot be
// decoded or converted.
bool convert(int type, const ASN1_OCTET_STRING* data, CADB_V3EXT* e) {
  Decoded d;
  auto& v = e->value;
  switch (type) {
    case NID_NS_CERT_TYPE:
    case NID_KEY_USAGE:
      e->form = V3ExtForm::Mask;
      if (!decode(data, ASN1_ITEM_rptr(ASN1_BIT_STRING), d)) return false;
      v.mask = CADB_bits_to_mask(d.as<ASN1_BIT_STRING>());
      return true;
    case NID_NS_BASE_URL:
    case NID_NS_REVOCATION_URL:
    case NID_NS_CA_REVOCATION_URL:
    case NID_NS_RENEWAL_URL:
    case NID_NS_CA_POLICY_URL:
    case NID_NS_SSL_SERVER_NAME:
    case NID_NS_COMMENT:
      e->form = V3ExtForm::Text;
      return decode(data, ASN1_ITEM_rptr(ASN1_IA5STRING), d) &&
             (v.text = CADB_TEXT_parse(d.as<ASN1_STRING>())) != nullptr;
    case NID_SUBJECT_SIGN_TOOL:
      e->form = V3ExtForm::Text;
      return decode(data, ASN1_ITEM_rptr(ASN1_UTF8STRING), d) &&
             (v.text = CADB_TEXT_parse(d.as<ASN1_STRING>())) != nullptr;
    case NID_SUBJECT_KEY_IDENTIFIER:
      e->form = V3ExtForm::Buffer;
      return decode(data, ASN1_ITEM_rptr(ASN1_OCTET_STRING), d) &&
             (v.buffer = BUFFER_fill(ASN1_STRING_get0_data(d.as<ASN1_STRING>()),
                                     ASN1_STRING_length(d.as<ASN1_STRING>()))) != nullptr;
    case NID_CRL_NUMBER:
    case NID_DELTA_CRL:
      e->form = V3ExtForm::Buffer;
      return decode(data, ASN1_ITEM_rptr(ASN1_INTEGER), d) &&
             (v.buffer = CADB_integer_content(d.as<ASN1_INTEGER>())) != nullptr;
    case NID_PRIVATE_KEY_USAGE_PERIOD:
      e->form = V3ExtForm::PkeyUsagePeriod;
      return decode(data, ASN1_ITEM_rptr(PKEY_USAGE_PERIOD), d) &&
             (v.period = CADB_PKEY_USAGE_PERIOD_parse(d.as<PKEY_USAGE_PERIOD>())) != nullptr;
    case NID_SUBJECT_ALT_NAME:
    case NID_ISSUER_ALT_NAME:
    case NID_CERTIFICATE_ISSUER:
      e->form = V3ExtForm::GeneralNames;
      return decode(data, ASN1_ITEM_rptr(GENERAL_NAMES), d) &&
             (v.names = CADB_GENERAL_NAMES_parse(d.as<GENERAL_NAMES>())) != nullptr;
    case NID_BASIC_CONSTRAINTS:
      e->form = V3ExtForm::BasicConstraints;
      return decode(data, ASN1_ITEM_rptr(BASIC_CONSTRAINTS), d) &&
             (v.basic = CADB_BASIC_CONSTRAINTS_parse(d.as<BASIC_CONSTRAINTS>())) != nullptr;
    case NID_CERTIFICATE_POLICIES:
      e->form = V3ExtForm::CertPolicies;
      return decode(data, ASN1_ITEM_rptr(CERTIFICATEPOLICIES), d) &&
             (v.policies = CADB_CERT_POLICIES_parse(d.as<CERTIFICATEPOLICIES>())) != nullptr;
    case NID_AUTHORITY_KEY_IDENTIFIER:
    case NID_REGISTRATION_CERTIFICATE:
    case NID_PREVIOUS_CERTIFICATE:
      e->form = V3ExtForm::AuthorityKeyId;
      return decode(data, ASN1_ITEM_rptr(AUTHORITY_KEYID), d) &&
             (v.key_id = CADB_AUTHORITY_KEYID_parse(d.as<AUTHORITY_KEYID>())) != nullptr;
    case NID_CRL_DISTRIBUTION_POINTS:
    case NID_FRESHEST_CRL:
      e->form = V3ExtForm::CrlDistPoints;
      return decode(data, ASN1_ITEM_rptr(CRL_DIST_POINTS), d) &&
             (v.dist_points = CADB_CRL_DIST_POINT_parse(d.as<CRL_DIST_POINTS>())) != nullptr;
    case NID_EXT_KEY_USAGE:
      e->form = V3ExtForm::Objects;
      return decode(data, ASN1_ITEM_rptr(EXTENDED_KEY_USAGE), d) &&
             (v.object = CADB_EXT_KEY_USAGE_parse(d.as<EXTENDED_KEY_USAGE>())) != nullptr;
    case NID_CRL_REASON:
      e->form = V3ExtForm::Integer;
      if (!decode(data, ASN1_ITEM_rptr(ASN1_ENUMERATED), d)) return false;
      {
        std::int64_t x = 0;
        if (!ASN1_ENUMERATED_get_int64(&x, d.as<ASN1_ENUMERATED>()) || x < LONG_MIN ||
            x > LONG_MAX) {
          ::ERR_clear_error();
          return false;
        }
        v.integer = static_cast<long>(x);
      }
      return true;
    case NID_INVALIDITY_DATE:
      e->form = V3ExtForm::Time;
      return decode(data, ASN1_ITEM_rptr(ASN1_GENERALIZEDTIME), d) &&
             (v.time = CADB_TIME_parse(d.as<ASN1_TIME>())) != nullptr;
    case NID_INHIBIT_ANY_POLICY:
      e->form = V3ExtForm::Integer;
      return decode(data, ASN1_ITEM_rptr(ASN1_INTEGER), d) &&
             small_long(d.as<ASN1_INTEGER>(), &v.integer) && v.integer >= 0;
    case NID_POLICY_MAPPINGS:
      e->form = V3ExtForm::PolicyMappings;
      return decode(data, ASN1_ITEM_rptr(POLICY_MAPPINGS), d) &&
             (v.mappings = CADB_POLICY_MAPPING_parse(d.as<POLICY_MAPPINGS>())) != nullptr;
    case NID_POLICY_CONSTRAINTS:
      e->form = V3ExtForm::PolicyConstraints;
      return decode(data, ASN1_ITEM_rptr(POLICY_CONSTRAINTS), d) &&
             (v.constraints = CADB_POLICY_CONSTRAINTS_parse(d.as<POLICY_CONSTRAINTS>())) != nullptr;
    case NID_NAME_CONSTRAINTS:
      e->form = V3ExtForm::NameConstraints;
      return decode(data, ASN1_ITEM_rptr(NAME_CONSTRAINTS), d) &&
             (v.name_constraints = CADB_NAME_CONSTRAINTS_parse(d.as<NAME_CONSTRAINTS>())) !=
                 nullptr;
    case NID_AUTHORITY_INFO_ACCESS:
    case NID_SUBJECT_INFO_ACCESS:
      e->form = V3ExtForm::AccessDescriptions;
      return decode(data, ASN1_ITEM_rptr(AUTHORITY_INFO_ACCESS), d) &&
             (v.access = CADB_ACCESS_DESCRIPTION_parse(d.as<AUTHORITY_INFO_ACCESS>())) != nullptr;
    case NID_ISSUING_DISTRIBUTION_POINT:
      e->form = V3ExtForm::IssuingDistPoint;
      return decode(data, ASN1_ITEM_rptr(ISSUING_DIST_POINT), d) &&
             (v.idp = CADB_ISSUING_DIST_POINT_parse(d.as<ISSUING_DIST_POINT>())) != nullptr;
    case NID_HOLD_INSTRUCTION_CODE:
      e->form = V3ExtForm::Object;
      return decode(data, ASN1_ITEM_rptr(ASN1_OBJECT), d) &&
             (v.object = CADB_OID_parse(d.as<ASN1_OBJECT>())) != nullptr;
    case NID_SUBJECT_DIRECTORY_ATTRIBUTES:
      e->form = V3ExtForm::Attributes;
      return (v.text = CADB_ATTRIBUTES_parse_der(ASN1_STRING_get0_data(data),
                                                 ASN1_STRING_length(data))) != nullptr;
    case NID_BIOMETRIC_INFO:
      e->form = V3ExtForm::Biometric;
      return (v.biometric = CADB_BIOMETRIC_parse_der(ASN1_STRING_get0_data(data),
                                                     ASN1_STRING_length(data))) != nullptr;
    default: e->form = V3ExtForm::None; return false;
  }
}

bool has_conversion(int type) {
  switch (type) {
    case NID_NS_CERT_TYPE:
    case NID_KEY_USAGE:
    case NID_NS_BASE_URL:
    case NID_NS_REVOCATION_URL:
    case NID_NS_CA_REVOCATION_URL:
    case NID_NS_RENEWAL_URL:
    case NID_NS_CA_POLICY_URL:
    case NID_NS_SSL_SERVER_NAME:
    case NID_NS_COMMENT:
    case NID_SUBJECT_SIGN_TOOL:
    case NID_SUBJECT_KEY_IDENTIFIER:
    case NID_CRL_NUMBER:
    case NID_DELTA_CRL:
    case NID_PRIVATE_KEY_USAGE_PERIOD:
    case NID_SUBJECT_ALT_NAME:
    case NID_ISSUER_ALT_NAME:
    case NID_CERTIFICATE_ISSUER:
    case NID_BASIC_CONSTRAINTS:
    case NID_CERTIFICATE_POLICIES:
    case NID_AUTHORITY_KEY_IDENTIFIER:
    case NID_REGISTRATION_CERTIFICATE:
    case NID_PREVIOUS_CERTIFICATE:
    case NID_CRL_DISTRIBUTION_POINTS:
    case NID_FRESHEST_CRL:
    case NID_EXT_KEY_USAGE:
    case NID_CRL_REASON:
    case NID_INVALIDITY_DATE:
    case NID_INHIBIT_ANY_POLICY:
    case NID_POLICY_MAPPINGS:
    case NID_POLICY_CONSTRAINTS:
    case NID_NAME_CONSTRAINTS:
    case NID_AUTHORITY_INFO_ACCESS:
    case NID_SUBJECT_INFO_ACCESS:
    case NID_ISSUING_DISTRIBUTION_POINT:
    case NID_HOLD_INSTRUCTION_CODE:
    case NID_SUBJECT_DIRECTORY_ATTRIBUTES:
    case NID_BIOMETRIC_INFO: return true;
    default: return false;
  }
}

}  // namespace

void CADB_V3EXT_free(CADB_V3EXT* ext) {
  while (ext) {
    CADB_V3EXT* next = ext->next;
    free_value(ext);
    CADB_OID_free(ext->oid);
    mem_free(ext);
    ext = next;
  }
}

CADB_V3EXT* CADB_V3EXT_parse(const X509_EXTENSION* ext) {
  if (!ext) return failed<CADB_V3EXT>(CADB_F_CADB_V3EXT_PARSE, R_PASSED_NULL_PARAMETER);
  Owned<CADB_V3EXT> e(CADB_V3EXT_new());
  if (!e) return failed<CADB_V3EXT>(CADB_F_CADB_V3EXT_PARSE, R_MALLOC_FAILURE);
  auto* x = const_cast<X509_EXTENSION*>(ext);
  e->critical = X509_EXTENSION_get_critical(ext) > 0 ? 1 : 0;
  e->oid = CADB_OID_parse(X509_EXTENSION_get_object(x));
  if (!e->oid) return failed<CADB_V3EXT>(CADB_F_CADB_V3EXT_PARSE);
  e->type = e->oid->nid;
  if (!has_conversion(e->type)) {
    e->unsupported = 1;
    return e.release();
  }
  if (!convert(e->type, X509_EXTENSION_get_data(x), e.get())) {
    free_value(e.get());
    return failed<CADB_V3EXT>(CADB_F_CADB_V3EXT_PARSE);
  }
  e->parsed = 1;
  return e.release();
}

CADB_V3EXT* CADB_V3EXT_parse_extensions(const STACK_OF(X509_EXTENSION) * exts, int* fail) {
  if (fail) *fail = 0;
  CADB_V3EXT* first = nullptr;
  CADB_V3EXT** tail = &first;
  for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
    CADB_V3EXT* e = CADB_V3EXT_parse(sk_X509_EXTENSION_value(exts, i));
    if (!e) {
      CADB_V3EXT_free(first);
      if (fail) *fail = 1;
      JARNEL_ERR(LIB_CADB, CADB_F_CADB_V3EXT_PARSE_EXTENSIONS, R_INTERNAL_ERROR);
      return nullptr;
    }
    cadb_append(tail, e);
  }
  return first;
}

}  // namespace jarnel
