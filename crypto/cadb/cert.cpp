// Certificate records, their decoding and encoding, and the certificate context with its
// default (file) method.
#include "crypto/cadb/cert.h"

#include <cstring>

#include "crypto/cadb/cadb.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rus/gosth.h"
#include "crypto/str.h"

// After the library's error header, whose names OpenSSL's would otherwise shadow.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace jarnel {
namespace {

const char kPemLabel[] = "CERTIFICATE";

ERR_STRING_DATA g_cert_strings[] = {
    {ERR_pack(0, CADB_F_CERT_NEW, 0), "CERT_new"},
    {ERR_pack(0, CADB_F_CERT_READ_BUFFER, 0), "CERT_read_buffer"},
    {ERR_pack(0, CADB_F_CERT_SPLIT, 0), "CERT_split"},
    {ERR_pack(0, CADB_F_CRL_NEW, 0), "CRL_new"},
    {ERR_pack(0, CADB_F_CRL_SPLIT, 0), "CRL_split"},
    {ERR_pack(0, CADB_F_CRL_READ_BUFFER, 0), "CRL_read_buffer"},
    {ERR_pack(0, CADB_F_REVOKED_NEW, 0), "REVOKED_new"},
    {ERR_pack(0, CADB_F_CADB_V3EXT_NEW, 0), "CADB_V3EXT_new"},
    {ERR_pack(0, CADB_F_CADB_BASIC_CONSTRAINTS, 0), "CADB_BASIC_CONSTRAINTS_parse"},
    {ERR_pack(0, CADB_F_CADB_AUTHORITY_KEYID, 0), "CADB_AUTHORITY_KEYID_parse"},
    {ERR_pack(0, CADB_F_CADB_V3EXT_PARSE, 0), "CADB_V3EXT_parse"},
    {ERR_pack(0, CADB_F_CADB_V3EXT_PARSE_EXTENSIONS, 0), "CADB_V3EXT_parse_extensions"},
    {ERR_pack(0, CADB_F_CADB_GENERAL_NAME, 0), "CADB_GENERAL_NAME_parse"},
    {ERR_pack(0, CADB_F_CADB_PKEY_USAGE_PERIOD, 0), "CADB_PKEY_USAGE_PERIOD_parse"},
    {ERR_pack(0, CADB_F_CADB_POLICY_QUALIFIER, 0), "CADB_POLICY_QUALIFIER_parse"},
    {ERR_pack(0, CADB_F_CADB_POLICY_INFO, 0), "CADB_POLICY_INFO_parse"},
    {ERR_pack(0, CADB_F_CADB_CERT_POLICIES, 0), "CADB_CERT_POLICIES_parse"},
    {ERR_pack(0, CADB_F_CADB_NOTICE_REF, 0), "CADB_NOTICE_REF_parse"},
    {ERR_pack(0, CADB_F_CADB_USER_NOTICE, 0), "CADB_USER_NOTICE_parse"},
    {ERR_pack(0, CADB_F_CADB_POLICY_MAPPING, 0), "CADB_POLICY_MAPPING_parse"},
    {ERR_pack(0, CADB_F_CADB_ATTRIBUTES, 0), "CADB_ATTRIBUTES_parse"},
    {ERR_pack(0, CADB_F_CADB_EXT_KEY_USAGE, 0), "CADB_EXT_KEY_USAGE_parse"},
    {ERR_pack(0, CADB_F_CADB_CRL_DIST_POINT, 0), "CADB_CRL_DIST_POINT_parse"},
    {ERR_pack(0, CADB_F_CADB_ACCESS_DESCRIPTION, 0), "CADB_ACCESS_DESCRIPTION_parse"},
    {ERR_pack(0, CADB_F_CADB_POLICY_CONSTRAINTS, 0), "CADB_POLICY_CONSTRAINTS_parse"},
    {ERR_pack(0, CADB_F_CADB_GENERAL_SUBTREE, 0), "CADB_GENERAL_SUBTREE_parse"},
    {ERR_pack(0, CADB_F_CADB_NAME_CONSTRAINTS, 0), "CADB_NAME_CONSTRAINTS_parse"},
    {ERR_pack(0, CADB_F_CADB_DIST_POINT_NAME, 0), "CADB_DIST_POINT_NAME_parse"},
    {ERR_pack(0, CADB_F_CADB_ISSUING_DIST_POINT, 0), "CADB_ISSUING_DIST_POINT_parse"},
    {ERR_pack(0, CADB_F_CADB_OID, 0), "CADB_OID_parse"},
    {ERR_pack(0, CADB_F_CADB_BIOMETRIC, 0), "CADB_BIOMETRIC_parse"},
    {ERR_pack(0, CADB_F_CADB_TEXT, 0), "CADB_TEXT_parse"},
    {ERR_pack(0, CADB_F_ASN1_TIME_PARSE, 0), "ASN1_TIME_parse"},
    {ERR_pack(0, CADB_F_CERT_GET, 0), "CERT_get"},
    {ERR_pack(0, CADB_F_CERT_CTX_NEW, 0), "CERT_CTX_new"},
    {ERR_pack(0, CADB_F_CERT_CTX_SET, 0), "CERT_CTX_set"},
    {ERR_pack(0, CADB_F_CERT_CTX_READ, 0), "CERT_CTX_read"},
    {ERR_pack(0, CADB_F_CERT_CTX_DEFAULT_WRITE, 0), "CERT_CTX_default_write"},
    {ERR_pack(0, CADB_F_CERT_CTX_WRITE, 0), "CERT_CTX_write"},
    {ERR_pack(0, CADB_F_CERT_CTX_SET_KIND, 0), "CERT_CTX_set_kind"},
    {ERR_pack(0, 0, CADB_R_NO_PUBLIC_KEY), "cannot get the public key"},
    {0, nullptr}};

// A BUFFER with what an OpenSSL memory BIO collected.
BUFFER* buffer_of_bio(::BIO* b) {
  BUF_MEM* mem = nullptr;
  BIO_get_mem_ptr(b, &mem);
  if (!mem) return nullptr;
  return BUFFER_fill(mem->length ? mem->data : "", static_cast<int>(mem->length));
}

BUFFER* digest_buffer(const unsigned char* data, int len) {
  unsigned char h[32];
  if (!GOSTH_digest(data ? data : reinterpret_cast<const unsigned char*>(""), len, h))
    return nullptr;
  return BUFFER_fill(h, 32);
}

BUFFER* name_hash(const X509_NAME* name) {
  unsigned char* der = nullptr;
  const int n = i2d_X509_NAME(name, &der);
  if (n <= 0) return nullptr;
  BUFFER* b = digest_buffer(der, n);
  OPENSSL_free(der);
  return b;
}

// Key algorithm, size and whether the domain parameters are missing. false when the key
// cannot be taken from the certificate.
bool key_info(X509* x, CERT* c) {
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  ASN1_OBJECT* alg_obj = nullptr;
  const unsigned char* bits = nullptr;
  int bits_len = 0;
  X509_ALGOR* alg = nullptr;
  if (!pub || !X509_PUBKEY_get0_param(&alg_obj, &bits, &bits_len, &alg, pub) || !bits ||
      bits_len <= 0)
    return false;
  int ptype = V_ASN1_UNDEF;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, alg);
  const bool no_params = ptype == V_ASN1_UNDEF || ptype == V_ASN1_NULL;
  c->key_algorithm = obj::from_asn1(alg_obj);
  switch (c->key_algorithm) {
    case NID_ECR3410_CP: {
      c->key_size = 256;
      if (no_params) {
        c->params_missing = 1;
        return true;
      }
      unsigned char* der = nullptr;
      const int n = i2d_X509_PUBKEY(pub, &der);
      if (n <= 0) return false;
      const unsigned char* p = der;
      ECGOST* key = d2i_ECGOST_PUBKEY(nullptr, &p, n);
      OPENSSL_free(der);
      if (!key) return false;
      ECGOST_free(key);
      return true;
    }
    case NID_R3410_CP: {
      const unsigned char* p = bits;
      Owned<R3410> key(d2i_R3410PublicValue(nullptr, &p, bits_len));
      if (!key) return false;
      c->key_size = 1024;
      c->params_missing = no_params ? 1 : 0;
      return true;
    }
    case NID_ECR3410:
      // The toolkit's own GOST R 34.10-2001 type: the curve travels in the parameters.
      c->key_size = 256;
      c->params_missing = no_params ? 1 : 0;
      return true;
    default: break;
  }
  EVP_PKEY* k = X509_get0_pubkey(x);
  if (!k) {
    ::ERR_clear_error();
    // DSA keys may leave their parameters to the issuer's certificate.
    if (c->key_algorithm == NID_DSA && no_params) {
      c->params_missing = 1;
      return true;
    }
    return false;
  }
  c->key_size = EVP_PKEY_get_bits(k);
  if (EVP_PKEY_is_a(k, "DSA")) {
    BIGNUM *p = nullptr, *q = nullptr, *g = nullptr;
    const bool all = EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_FFC_P, &p) &&
                     EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_FFC_Q, &q) &&
                     EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_FFC_G, &g);
    BN_free(p);
    BN_free(q);
    BN_free(g);
    ::ERR_clear_error();
    c->params_missing = all ? 0 : 1;
  }
  return true;
}

// Reads successive PEM certificates; the first must be there, later ones are optional but a
// malformed one fails the whole read. *found tells whether any PEM certificate was there (then
// a failure is final: the bytes are PEM, not bare Base64).
CERT* read_pem(const void* data, int length, bool* found) {
  *found = false;
  Owned<::BIO> in(::BIO_new_mem_buf(data, length));
  if (!in) return nullptr;
  CERT* first = nullptr;
  CERT** tail = &first;
  for (;;) {
    Owned<X509> x(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    if (!x) {
      const unsigned long e = ::ERR_peek_last_error();
      if (first && ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE) {
        ::ERR_clear_error();
        return first;
      }
      if (first) *found = true;
      CERT_free(first);
      return nullptr;
    }
    *found = true;
    CERT* c = CERT_split(x.get());
    if (!c) {
      CERT_free(first);
      return nullptr;
    }
    *tail = c;
    tail = &c->next;
  }
}

int time_of(const ASN1_TIME* t, CADB_TIME* out) { return t && ASN1_TIME_parse(t, out); }

}  // namespace

int CERT_key_fingerprint(const X509* x509, unsigned char out[32]) {
  X509_PUBKEY* pub = x509 ? X509_get_X509_PUBKEY(x509) : nullptr;
  const unsigned char* bits = nullptr;
  int len = 0;
  if (!pub || !X509_PUBKEY_get0_param(nullptr, &bits, &len, nullptr, pub) || !bits || len <= 0)
    return 0;
  return GOSTH_digest(bits, len, out);
}

CERT* CERT_new() {
  CERT* c = static_cast<CERT*>(mem_alloc(sizeof(CERT)));
  if (!c) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(c, 0, sizeof *c);
  c->self_issued = -1;
  return c;
}

void CERT_free(CERT* cert) {
  while (cert) {
    CERT* next = cert->next;
    BUFFER_free(cert->serial);
    CADB_ATTRIBUTES_free(cert->subject);
    CADB_ATTRIBUTES_free(cert->issuer);
    CADB_V3EXT_free(cert->extensions);
    if (cert->certificate) {
      LockGuard g(locks::CERT);
      X509_free(cert->certificate);
    }
    BUFFER_free(cert->fingerprint);
    BUFFER_free(cert->subject_text);
    BUFFER_free(cert->issuer_text);
    BUFFER_free(cert->subject_hash);
    BUFFER_free(cert->issuer_hash);
    mem_free(cert);
    cert = next;
  }
}

int CERT_chain_length(const CERT* cert) {
  int n = 0;
  for (; cert; cert = cert->next) ++n;
  return n;
}

CERT* CERT_split(X509* x) {
  auto fail = [](int reason, int line) -> CERT* {
    ::ERR_clear_error();
    ERR_put_error(LIB_CADB, CADB_F_CERT_SPLIT, reason, __FILE__, line);
    return nullptr;
  };
  if (!x) return fail(R_PASSED_NULL_PARAMETER, __LINE__);
  Owned<CERT> c(CERT_new());
  if (!c) return fail(R_MALLOC_FAILURE, __LINE__);
  c->version = static_cast<int>(X509_get_version(x));
  if (!key_info(x, c.get())) return fail(CADB_R_NO_PUBLIC_KEY, __LINE__);
  const X509_ALGOR* sig_alg = nullptr;
  X509_get0_signature(nullptr, &sig_alg, x);
  const ASN1_OBJECT* sig_obj = nullptr;
  if (sig_alg) X509_ALGOR_get0(&sig_obj, nullptr, nullptr, sig_alg);
  if (!sig_obj) return fail(R_INTERNAL_ERROR, __LINE__);
  c->signature_algorithm = obj::from_asn1(sig_obj);
  const X509_NAME* subject = X509_get_subject_name(x);
  const X509_NAME* issuer = X509_get_issuer_name(x);
  if (!subject || !issuer) return fail(R_INTERNAL_ERROR, __LINE__);
  c->self_issued = X509_NAME_cmp(subject, issuer) == 0 ? 1 : -1;
  if (!(c->serial = CADB_integer_content(X509_get0_serialNumber(x))))
    return fail(R_INTERNAL_ERROR, __LINE__);
  if (!time_of(X509_get0_notBefore(x), &c->not_before) ||
      !time_of(X509_get0_notAfter(x), &c->not_after))
    return fail(R_INTERNAL_ERROR, __LINE__);
  if (!(c->subject = X509_NAME_split(subject)) || !(c->issuer = X509_NAME_split(issuer)))
    return fail(R_INTERNAL_ERROR, __LINE__);
  const STACK_OF(X509_EXTENSION)* exts = X509_get0_extensions(x);
  if (sk_X509_EXTENSION_num(exts) > 0) {
    int failed = 0;
    c->extensions = CADB_V3EXT_parse_extensions(exts, &failed);
    if (failed) return fail(R_INTERNAL_ERROR, __LINE__);
  }
  {
    LockGuard g(locks::CERT);
    if (!X509_up_ref(x)) return fail(R_INTERNAL_ERROR, __LINE__);
    c->certificate = x;
  }
  unsigned char fp[32];
  if (!CERT_key_fingerprint(x, fp) || !(c->fingerprint = BUFFER_fill(fp, 32)))
    return fail(CADB_R_NO_PUBLIC_KEY, __LINE__);
  if (!(c->subject_text = CADB_name_print(subject)) || !(c->issuer_text = CADB_name_print(issuer)))
    return fail(R_INTERNAL_ERROR, __LINE__);
  if (!(c->subject_hash = name_hash(subject)) || !(c->issuer_hash = name_hash(issuer)))
    return fail(R_INTERNAL_ERROR, __LINE__);
  return c.release();
}

CERT* CERT_read_buffer(const void* data, int length) {
  if (!data || length <= 0) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB);
    return nullptr;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  // DER: the whole input must be one certificate.
  {
    const unsigned char* p = bytes;
    Owned<X509> x(d2i_X509(nullptr, &p, length));
    if (x && p == bytes + length) {
      CERT* c = CERT_split(x.get());
      if (!c) JARNEL_ERR(LIB_CADB, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB);
      return c;
    }
    ::ERR_clear_error();
  }
  // PEM, then bare Base64 inside the armour lines.
  bool found = false;
  if (CERT* c = read_pem(data, length, &found)) return c;
  if (found) {
    ERR_put_openssl_errors(LIB_CADB, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB, __FILE__, __LINE__);
    return nullptr;
  }
  ::ERR_clear_error();
  const bool ends_in_break = bytes[length - 1] == '\n' || bytes[length - 1] == '\r';
  char begin[64], end[64];
  const int nb = std::snprintf(begin, sizeof begin, "-----BEGIN %s-----\n", kPemLabel);
  const int ne = std::snprintf(end, sizeof end, "-----END %s-----\n", kPemLabel);
  BufPtr armoured(BUFFER_fill(begin, nb));
  if (!armoured || BUFFER_append(armoured.get(), data, length) != length ||
      (!ends_in_break && BUFFER_append(armoured.get(), "\n", 1) != 1) ||
      BUFFER_append(armoured.get(), end, ne) != ne) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB);
    return nullptr;
  }
  CERT* c = read_pem(armoured->data, armoured->length, &found);
  if (!c) {
    ERR_put_openssl_errors(LIB_CADB, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB, __FILE__, __LINE__);
    return nullptr;
  }
  ::ERR_clear_error();
  return c;
}

BUFFER* CERT_get(const CERT* cert, int format) {
  if (!cert || !cert->certificate) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_GET, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  BUFFER* out = nullptr;
  if (format == CERT_FORMAT_PEM || format == CERT_FORMAT_TEXT) {
    Owned<::BIO> mem(::BIO_new(::BIO_s_mem()));
    const int ok =
        mem && (format == CERT_FORMAT_PEM ? PEM_write_bio_X509(mem.get(), cert->certificate)
                                          : X509_print(mem.get(), cert->certificate));
    if (ok > 0) out = buffer_of_bio(mem.get());
  } else {
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert->certificate, &der);
    if (n > 0) out = BUFFER_fill(der, n);
    OPENSSL_free(der);
  }
  if (!out) ERR_put_openssl_errors(LIB_CADB, CADB_F_CERT_GET, R_INTERNAL_ERROR, __FILE__, __LINE__);
  return out;
}

// The context.

namespace {

class CtxLock {
 public:
  explicit CtxLock(CERT_CTX* ctx) : ctx_(ctx) { CRYPTO_lock_mutex(ctx_->lock); }
  ~CtxLock() { CRYPTO_unlock_mutex(ctx_->lock); }
  CtxLock(const CtxLock&) = delete;
  CtxLock& operator=(const CtxLock&) = delete;

 private:
  CERT_CTX* ctx_;
};

int default_read(CERT_CTX* ctx) {
  CtxLock l(ctx);
  CERT* c = nullptr;
  if (ctx->data) {
    c = CERT_read_buffer(ctx->data->data, ctx->data->length);
  } else if (ctx->path) {
    BufPtr file(BUFFER_read_file(reinterpret_cast<const char*>(ctx->path->data), 0, nullptr));
    if (file) c = CERT_read_buffer(file->data, file->length);
  } else {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_SET, R_INTERNAL_ERROR);
    return 0;
  }
  if (!c) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_SET, CADB_R_CADB_LIB);
    return 0;
  }
  CERT_free(ctx->cert);
  ctx->cert = c;
  return 1;
}

int default_write(CERT_CTX* ctx, int format) {
  CtxLock l(ctx);
  if (!ctx->path || !ctx->cert) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_DEFAULT_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  BufPtr bytes(CERT_get(ctx->cert, format));
  if (!bytes) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_DEFAULT_WRITE, CADB_R_CADB_LIB);
    return 0;
  }
  if (!CADB_write_file(reinterpret_cast<const char*>(ctx->path->data), bytes->data, bytes->length,
                       0, nullptr)) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_DEFAULT_WRITE, R_INTERNAL_ERROR);
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_DEFAULT_WRITE, CADB_R_CADB_LIB);
    return 0;
  }
  return 1;
}

const CERT_METHOD kDefaultMethod = {"CERT_CTX default method", default_read, default_write};

}  // namespace

const CERT_METHOD* CERT_default_method() { return &kDefaultMethod; }

CERT_CTX* CERT_CTX_new() {
  CERT_CTX* ctx = static_cast<CERT_CTX*>(mem_alloc(sizeof(CERT_CTX)));
  if (!ctx) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(ctx, 0, sizeof *ctx);
  if (!CRYPTO_create_mutex(&ctx->lock)) {
    mem_free(ctx);
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  ctx->method = &kDefaultMethod;
  return ctx;
}

void CERT_CTX_free(CERT_CTX* ctx) {
  if (!ctx) return;
  MUTEX lock = ctx->lock;
  CRYPTO_lock_mutex(lock);
  BUFFER_free(ctx->data);
  BUFFER_free(ctx->path);
  CERT_free(ctx->cert);
  mem_free(ctx);
  CRYPTO_unlock_mutex(lock);
  CRYPTO_destroy_mutex(lock);
}

int CERT_CTX_set_data(CERT_CTX* ctx, const void* data, int length) {
  if (!ctx || !data || length <= 0) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_SET, R_INTERNAL_ERROR);
    return 0;
  }
  CtxLock l(ctx);
  BUFFER* copy = BUFFER_fill(data, length);
  if (!copy) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_SET, R_MALLOC_FAILURE);
    return 0;
  }
  BUFFER_free(ctx->data);
  ctx->data = copy;
  BUFFER_free(ctx->path);
  ctx->path = nullptr;
  return 1;
}

int CERT_CTX_set_path(CERT_CTX* ctx, const char* path) {
  if (!ctx || !path || !*path) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_SET, R_INTERNAL_ERROR);
    return 0;
  }
  CtxLock l(ctx);
  BUFFER* copy = BUFFER_fill(path, -1);
  if (!copy) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_SET, R_MALLOC_FAILURE);
    return 0;
  }
  BUFFER_free(ctx->path);
  ctx->path = copy;
  BUFFER_free(ctx->data);
  ctx->data = nullptr;
  ctx->method = ascii_strncasecmp(path, "pkcs11", 6) == 0 ? CERT_pkcs11_method() : &kDefaultMethod;
  return 1;
}

int CERT_CTX_set_kind(CERT_CTX* ctx, int kind) {
  if (!ctx) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_SET_KIND, R_INTERNAL_ERROR);
    return 0;
  }
  CtxLock l(ctx);
  ctx->kind = kind;
  return 1;
}

int CERT_CTX_set_callback_data(CERT_CTX* ctx, void* arg) {
  if (!ctx) {
    // The context's settings share the function code of set_kind.
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_SET_KIND, R_INTERNAL_ERROR);
    return 0;
  }
  CtxLock l(ctx);
  ctx->callback_arg = arg;
  return 1;
}

int CERT_CTX_read(CERT_CTX* ctx) {
  if (!ctx || !ctx->method) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_READ, R_INTERNAL_ERROR);
    return 0;
  }
  return ctx->method->read ? ctx->method->read(ctx) : 1;
}

int CERT_CTX_write(CERT_CTX* ctx, int format) {
  if (!ctx || !ctx->method) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  return ctx->method->write ? ctx->method->write(ctx, format) : 1;
}

const CERT* CERT_CTX_get_cert(const CERT_CTX* ctx) { return ctx ? ctx->cert : nullptr; }

void ERR_load_CERT_strings() { ERR_load_strings(LIB_CADB, g_cert_strings); }

}  // namespace jarnel
