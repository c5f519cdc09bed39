// CRL records: a parsed CRL with its revoked entries and extensions converted.

#include <cstdio>
#include <cstring>

#include "crypto/cadb/x509v3.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"

// After the library's error header, whose names OpenSSL's would otherwise shadow.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace jarnel {
namespace {

const char kPemLabel[] = "X509 CRL";

X509_CRL* read_pem(const void* data, int length) {
  Owned<::BIO> in(::BIO_new_mem_buf(data, length));
  return in ? PEM_read_bio_X509_CRL(in.get(), nullptr, nullptr, nullptr) : nullptr;
}

}  // namespace

CADB_REVOKED* REVOKED_new() {
  auto* r = static_cast<CADB_REVOKED*>(mem_alloc(sizeof(CADB_REVOKED)));
  if (!r) {
    JARNEL_ERR(LIB_CADB, CADB_F_REVOKED_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(r, 0, sizeof *r);
  return r;
}

void REVOKED_free(CADB_REVOKED* r) {
  while (r) {
    CADB_REVOKED* next = r->next;
    BUFFER_free(r->serial);
    CADB_V3EXT_free(r->extensions);
    sk_X509_EXTENSION_pop_free(r->raw_extensions, X509_EXTENSION_free);
    mem_free(r);
    r = next;
  }
}

CRL* CRL_new() {
  auto* c = static_cast<CRL*>(mem_alloc(sizeof(CRL)));
  if (!c) {
    JARNEL_ERR(LIB_CADB, CADB_F_CRL_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(c, 0, sizeof *c);
  return c;
}

void CRL_free(CRL* c) {
  if (!c) return;
  CADB_TIME_free(c->next_update);
  CADB_ATTRIBUTES_free(c->issuer);
  REVOKED_free(c->revoked);
  if (c->crl) {
    LockGuard g(locks::CERT);
    X509_CRL_free(c->crl);
  }
  CADB_V3EXT_free(c->extensions);
  BUFFER_free(c->issuer_text);
  mem_free(c);
}

CRL* CRL_split(X509_CRL* crl) {
  auto fail = [](int reason, int line) -> CRL* {
    ::ERR_clear_error();
    ERR_put_error(LIB_CADB, CADB_F_CRL_SPLIT, reason, __FILE__, line);
    return nullptr;
  };
  if (!crl) return fail(R_PASSED_NULL_PARAMETER, __LINE__);
  Owned<CRL> c(CRL_new());
  if (!c) return fail(R_MALLOC_FAILURE, __LINE__);
  c->version = X509_CRL_get_version(crl);
  const X509_ALGOR* alg = nullptr;
  X509_CRL_get0_signature(crl, nullptr, &alg);
  const ASN1_OBJECT* alg_obj = nullptr;
  if (alg) X509_ALGOR_get0(&alg_obj, nullptr, nullptr, alg);
  if (!alg_obj) return fail(R_INTERNAL_ERROR, __LINE__);
  c->signature_algorithm = obj::from_asn1(alg_obj);
  if (!ASN1_TIME_parse(X509_CRL_get0_lastUpdate(crl), &c->this_update))
    return fail(R_INTERNAL_ERROR, __LINE__);
  if (const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl))
    if (!(c->next_update = CADB_TIME_parse(next))) return fail(R_INTERNAL_ERROR, __LINE__);
  const X509_NAME* issuer = X509_CRL_get_issuer(crl);
  if (!issuer || !(c->issuer = X509_NAME_split(issuer))) return fail(R_INTERNAL_ERROR, __LINE__);
  CADB_REVOKED** tail = &c->revoked;
  STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl);
  for (int i = 0; i < sk_X509_REVOKED_num(revoked); ++i) {
    const X509_REVOKED* in = sk_X509_REVOKED_value(revoked, i);
    CADB_REVOKED* r = REVOKED_new();
    if (!r) return fail(R_MALLOC_FAILURE, __LINE__);
    cadb_append(tail, r);
    if (!(r->serial = CADB_integer_content(X509_REVOKED_get0_serialNumber(in))) ||
        !ASN1_TIME_parse(X509_REVOKED_get0_revocationDate(in), &r->revocation_date))
      return fail(R_INTERNAL_ERROR, __LINE__);
    const STACK_OF(X509_EXTENSION)* exts = X509_REVOKED_get0_extensions(in);
    if (sk_X509_EXTENSION_num(exts) > 0) {
      int failed = 0;
      r->extensions = CADB_V3EXT_parse_extensions(exts, &failed);
      if (failed) return fail(R_INTERNAL_ERROR, __LINE__);
      r->raw_extensions =
          sk_X509_EXTENSION_deep_copy(exts, X509_EXTENSION_dup, X509_EXTENSION_free);
      if (!r->raw_extensions) return fail(R_MALLOC_FAILURE, __LINE__);
    }
  }
  {
    LockGuard g(locks::CERT);
    if (!X509_CRL_up_ref(crl)) return fail(R_INTERNAL_ERROR, __LINE__);
    c->crl = crl;
  }
  const STACK_OF(X509_EXTENSION)* exts = X509_CRL_get0_extensions(crl);
  if (sk_X509_EXTENSION_num(exts) > 0) {
    int failed = 0;
    c->extensions = CADB_V3EXT_parse_extensions(exts, &failed);
    if (failed) return fail(R_INTERNAL_ERROR, __LINE__);
  }
  if (!(c->issuer_text = CADB_name_print(issuer))) return fail(R_INTERNAL_ERROR, __LINE__);
  return c.release();
}

CRL* CRL_read_buffer(const void* data, int length) {
  if (!data || length <= 0) {
    JARNEL_ERR(LIB_CADB, CADB_F_CRL_READ_BUFFER, 66);
    return nullptr;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  Owned<X509_CRL> crl;
  {
    const unsigned char* p = bytes;
    crl.reset(d2i_X509_CRL(nullptr, &p, length));
    if (crl && p != bytes + length) crl.reset();
    ::ERR_clear_error();
  }
  if (!crl) {
    crl.reset(read_pem(data, length));
    ::ERR_clear_error();
  }
  if (!crl) {
    const bool ends_in_break = bytes[length - 1] == '\n' || bytes[length - 1] == '\r';
    char begin[64], end[64];
    const int nb = std::snprintf(begin, sizeof begin, "-----BEGIN %s-----\n", kPemLabel);
    const int ne = std::snprintf(end, sizeof end, "-----END %s-----\n", kPemLabel);
    BufPtr armoured(BUFFER_fill(begin, nb));
    if (armoured && BUFFER_append(armoured.get(), data, length) == length &&
        (ends_in_break || BUFFER_append(armoured.get(), "\n", 1) == 1) &&
        BUFFER_append(armoured.get(), end, ne) == ne)
      crl.reset(read_pem(armoured->data, armoured->length));
  }
  if (!crl) {
    ERR_put_openssl_errors(LIB_CADB, CADB_F_CRL_READ_BUFFER, 66, __FILE__, __LINE__);
    return nullptr;
  }
  ::ERR_clear_error();
  CRL* c = CRL_split(crl.get());
  if (!c) JARNEL_ERR(LIB_CADB, CADB_F_CRL_READ_BUFFER, 66);
  return c;
}

}  // namespace jarnel
