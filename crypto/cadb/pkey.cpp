// Private-key records (PKEY) and the key context (PKEY_CTX): creation, reference counts,
// setters, the operations that take the context's mutex and call its method, decoding and
// encoding of key file images, generation in memory, the key file's place in a container.
#include "crypto/cadb/pkey.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>

#include "crypto/cadb/pkey_local.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/pse.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"
#include "crypto/str.h"

namespace jarnel {

using pkey::Bytes;
using pkey::Password;

namespace {

ERR_STRING_DATA g_functions[] = {
    {ERR_pack(LIB_CADB, CADB_F_PKEY_NEW, 0), "PKEY_new"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_GENERATE, 0), "PKEY_generate"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_READ_BUFFER, 0), "PKEY_read_buffer"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_SPLIT, 0), "PKEY_split"},
    {ERR_pack(LIB_CADB, CADB_F_FINGER_PRINT_GET, 0), "FINGER_PRINT_get"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_CTX_NEW, 0), "PKEY_CTX_new"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_DEFAULT_READ, 0), "PKEY_default_read"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_CTX_SET_PATH, 0), "PKEY_CTX_set_path"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_CTX_SET, 0), "PKEY_CTX_set"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_DEFAULT_GENERATE, 0), "PKEY_default_generate"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_CTX_GENERATE, 0), "PKEY_CTX_generate"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_CTX_READ, 0), "PKEY_CTX_read"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_DEFAULT_WRITE, 0), "PKEY_default_write"},
    {ERR_pack(LIB_CADB, CADB_F_PKEY_CTX_WRITE, 0), "PKEY_CTX_write"},
    {0, nullptr}};
ERR_STRING_DATA g_reasons[] = {
    {ERR_pack(LIB_CADB, 0, CADB_R_UNKNOWN_ALGORITHM), "unknown algorithm"},
    {ERR_pack(LIB_CADB, 0, PKEY_R_BUFFER_TOO_SMALL), "buffer too small"},
    {0, nullptr}};
ERR_STRING_DATA g_evp_reasons[] = {
    {ERR_pack(LIB_EVP, 0, EVP_R_NO_PASSWORD_CALLBACK), "no password callback"},
    {ERR_pack(LIB_EVP, 0, pkey::PKEY_R_BAD_DECRYPT), "bad decrypt"},
    {0, nullptr}};

void ctx_err(int func, int reason) { JARNEL_ERR(LIB_CADB, func, reason); }

// Holds the context's mutex for a scope.
class CtxLock {
 public:
  explicit CtxLock(PKEY_CTX* c) : m_(c ? c->lock : MUTEX{}) { if (m_) CRYPTO_lock_mutex(m_); }
  ~CtxLock() { if (m_) CRYPTO_unlock_mutex(m_); }
  CtxLock(const CtxLock&) = delete;
  CtxLock& operator=(const CtxLock&) = delete;

 private:
  MUTEX m_;
};

bool starts_with_pkcs11(const char* path) {
  return path && ascii_strncasecmp(path, "pkcs11", 6) == 0;
}

void pick_method(PKEY_CTX* ctx) {
  ctx->method = ctx->pse && starts_with_pkcs11(ctx->pse->path) ? PKEY_pkcs11_method()
                                                                : PKEY_default_method();
}

// The password of one decoding: asked from the call-back once, kept until the end.
struct PasswordSource {
  password_cb cb;
  void* data;
  SecureBuffer buf;
  int len = -1;  // -1 not asked yet, -2 refused
  Password pw{};

  const Password* get(int rwflag) {
    if (!cb) return nullptr;
    if (len == -1) {
      if (!buf.resize(PKEY_PASSWORD_MAX)) return nullptr;
      const int n = cb(reinterpret_cast<char*>(buf.data()), PKEY_PASSWORD_MAX, rwflag, data);
      len = n < 0 || n > PKEY_PASSWORD_MAX ? -2 : n;
      if (len >= 0) pw.bytes = Bytes(buf.data(), static_cast<std::size_t>(len));
    }
    return len >= 0 ? &pw : nullptr;
  }
};

void no_password() { JARNEL_ERR(LIB_EVP, 0, EVP_R_NO_PASSWORD_CALLBACK); }

// Encrypted PKCS#8 DER: 1 decoded, 0 failed with the reason queued.
PKEY_KEY* decode_encrypted(Bytes der, PasswordSource& src) {
  const Password* pw = src.get(0);
  if (!pw) {
    no_password();
    return nullptr;
  }
  SecureBuffer plain;
  const int rc = pkey::pbes2_decrypt(der, pw->bytes, plain);
  PKEY_KEY* key = rc == 1 ? pkey::pkcs8_decode(plain.span()) : nullptr;
  if (!key) {
    pkey::ossl_clear();
    JARNEL_ERR(LIB_EVP, 0, rc < 0 ? pkey::PKEY_R_UNKNOWN_PBE : pkey::PKEY_R_BAD_DECRYPT);
  }
  return key;
}

PKEY_KEY* decode_pem(Bytes text, PasswordSource& src, bool& telling) {
  pkey::PemBlock b;
  if (!pkey::pem_read(text, b)) return nullptr;
  telling = true;  // a PEM block's failure is the file's reason
  const std::string_view label(b.label);
  if (label == "ENCRYPTED PRIVATE KEY") return decode_encrypted(b.der.span(), src);
  int rc = pkey::pem_decrypt(b, nullptr);
  if (rc == -2) {
    const Password* pw = src.get(0);
    if (!pw) {
      no_password();
      return nullptr;
    }
    rc = pkey::pem_decrypt(b, pw);
  }
  if (rc != 1) {
    JARNEL_ERR(LIB_EVP, 0, rc < 0 ? pkey::PKEY_R_UNKNOWN_PBE : pkey::PKEY_R_BAD_DECRYPT);
    return nullptr;
  }
  PKEY_KEY* key = nullptr;
  if (label == "PRIVATE KEY") key = pkey::pkcs8_decode(b.der.span());
  else if (label == "ECGOST PRIVATE KEY") key = pkey::traditional_decode(PKEY_TYPE_ECGOST, b.der.span());
  else if (label == "R3410 PRIVATE KEY") key = pkey::traditional_decode(PKEY_TYPE_R3410, b.der.span());
  else if (label == "RSA PRIVATE KEY") key = pkey::traditional_decode(PKEY_TYPE_RSA_RECORD, b.der.span());
  else if (label == "DSA PRIVATE KEY") key = pkey::traditional_decode(PKEY_TYPE_DSA, b.der.span());
  else if (label == "ANY PRIVATE KEY") {
    key = pkey::traditional_decode(PKEY_TYPE_ECGOST, b.der.span());
    if (!key) {
      pkey::ossl_clear();
      ERR_clear_error();
      key = pkey::traditional_decode(PKEY_TYPE_R3410, b.der.span());
    }
  }
  if (!key) JARNEL_ERR(LIB_ASN1, 0, pkey::PKEY_R_DECODE_ERROR);
  return key;
}

}  // namespace

void ERR_load_PKEY_strings() {
  ERR_load_strings(LIB_CADB, g_functions);
  ERR_load_strings(LIB_CADB, g_reasons);
  ERR_load_strings(LIB_EVP, g_evp_reasons);
}

// ---- records ----------------------------------------------------------------------------------

PKEY* PKEY_new() {
  auto* k = static_cast<PKEY*>(mem_alloc(sizeof(PKEY)));
  if (!k) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(k, 0, sizeof *k);
  k->references = 1;
  return k;
}

void PKEY_free(PKEY* key) {
  if (!key) return;
  {
    LockGuard g(locks::PKEY);
    if (--key->references > 0) return;
  }
  PKEY_KEY_free(key->key);
  BUFFER_free(key->fingerprint);
  mem_clear_free(key, sizeof *key);
}

int PKEY_up_ref(PKEY* key) {
  if (!key) return 0;
  LockGuard g(locks::PKEY);
  return ++key->references;
}

PKEY* PKEY_split(PKEY_KEY* key) {
  if (!key) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  Owned<PKEY> rec(PKEY_new());
  if (!rec) return nullptr;
  rec->type = key->type == PKEY_TYPE_RSA ? PKEY_TYPE_RSA_RECORD : key->type;
  key->type = rec->type;
  rec->size = PKEY_KEY_size(key);
  rec->flags = PKEY_KEY_params_missing(key) ? PKEY_FLAG_NO_PARAMS : 0;
  // A token that signs but neither derives nor unwraps.
  if (key->token_method && !key->token_method->derive && !key->token_method->unwrap)
    rec->flags |= PKEY_FLAG_SIGN_ONLY;
  rec->fingerprint = FINGER_PRINT_get(key);
  if (!rec->fingerprint) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, LIB_CADB);
    return nullptr;
  }
  PKEY_KEY_up_ref(key);
  rec->key = key;
  return rec.release();
}

PKEY* PKEY_read_buffer(const unsigned char* data, int length, PSE* pse, password_cb cb,
                       void* cb_data) {
  if (!data || length <= 0) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_READ_BUFFER, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  const Bytes in(data, static_cast<std::size_t>(length));
  PasswordSource src{cb, cb_data, {}};
  Owned<PKEY_KEY> key;
  bool telling = false;  // the failure of the form the file has is kept on the queue
  if (pkey::is_encrypted_pkcs8(in)) {
    telling = true;
    key.reset(decode_encrypted(in, src));
  } else {
    key.reset(pkey::pkcs8_decode(in));
    for (int type : {PKEY_TYPE_ECGOST, PKEY_TYPE_R3410, PKEY_TYPE_RSA_RECORD, PKEY_TYPE_DSA}) {
      if (key) break;
      pkey::ossl_clear();
      ERR_clear_error();
      key.reset(pkey::traditional_decode(type, in));
    }
    if (!key) {
      pkey::ossl_clear();
      ERR_clear_error();
      key.reset(decode_pem(in, src, telling));
    }
  }
  pkey::ossl_clear();
  if (!key) {
    if (!telling) {
      ERR_clear_error();
      JARNEL_ERR(LIB_ASN1, 0, pkey::PKEY_R_DECODE_ERROR);
    }
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_READ_BUFFER, LIB_ASN1);
    return nullptr;
  }
  if (!PKEY_KEY_load(key.get(), pse)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_READ_BUFFER, LIB_PSE);
    return nullptr;
  }
  return PKEY_split(key.get());
}

BUFFER* PKEY_write_buffer(const PKEY* rec, int format, int kind, password_cb cb, void* cb_data) {
  if (!rec || !rec->key) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_WRITE, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  PasswordSource src{cb, cb_data, {}};
  const Password* pw = nullptr;
  if (cb && !(pw = src.get(1))) {
    no_password();
    return nullptr;
  }
  const int cipher = rec->cipher_nid ? rec->cipher_nid : pkey::default_cipher(rec->type);
  SecureBuffer der, out;
  bool ok;
  if (kind == PKEY_KIND_TRADITIONAL) {
    ok = pkey::traditional_encode(rec->key, der);
    if (ok && format == PKEY_FORMAT_PEM)
      ok = pkey::pem_write(pkey::traditional_label(rec->type), der.span(), pw, cipher, out);
    else if (ok)
      out = std::move(der);
  } else {
    SecureBuffer info;
    ok = pkey::pkcs8_encode(rec->key, info);
    const char* label = "PRIVATE KEY";
    if (ok && pw) {
      ok = pkey::pbes2_encrypt(info.span(), pw->bytes, cipher, pkey::default_prf(rec->type),
                               PKEY_PBE_ITERATIONS, der);
      label = "ENCRYPTED PRIVATE KEY";
    } else if (ok) {
      der = std::move(info);
    }
    if (ok && format == PKEY_FORMAT_PEM) ok = pkey::pem_write(label, der.span(), nullptr, 0, out);
    else if (ok) out = std::move(der);
  }
  pkey::ossl_clear();
  BUFFER* b = ok ? BUFFER_fill(out.data(), static_cast<int>(out.size())) : nullptr;
  if (!b) JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_WRITE, ok ? R_MALLOC_FAILURE : LIB_EVP);
  return b;
}

// ---- generation in memory -----------------------------------------------------------------------

namespace {

// The built-in DSA domain parameters: a 1024-bit p with a 160-bit q (FIPS 186-4 probable
// primes, made once with OpenSSL's parameter generator and checked by the tests).
constexpr const char* kDsaP =
    "8fd9e71bb590c3d45e66050dbbe97e853ba9b74c2726cad8ed892f787abe33f7"
    "12ae5a2a917a37b6b119256c465322dccfa2c934356559123d2e59736b243652"
    "3a3884290952d4532a19dbda853094edb307eb91fc4daf1aa5acc8f8f8473fa9"
    "3d6f1f6e18e5a02df2705be721b98e53ce7552e3ad68674be420742e355e1d93";
constexpr const char* kDsaQ = "f93a0d9301e67c7a1de5b35ed7a7f7cbf3e6574d";
constexpr const char* kDsaG =
    "7ceef741a72cfb6d649df02841731453ef719fda56408ad815bb349c8d4e7095"
    "00e0174402529b76b3679d443f3bb25fc5640a46cb327041baa83786e5aa1f43"
    "c163e1c0b6e9b1f490e8c2d1d892105298bf4a93d9dee4b01a0b8959d797c1d0"
    "49e68f180709edce2b38e55b935ad3d99a206e30e79bebf4b6192f6d019bbbbd";

struct GenCb {
  PKEY_gen_cb cb;
  void* arg;
};

int evp_gen_cb(EVP_PKEY_CTX* ctx) {
  auto* g = static_cast<GenCb*>(EVP_PKEY_CTX_get_app_data(ctx));
  if (!g || !g->cb) return 1;
  return g->cb(EVP_PKEY_CTX_get_keygen_info(ctx, 0), EVP_PKEY_CTX_get_keygen_info(ctx, 1), g->arg);
}

EVP_PKEY* dsa_params() {
  BnPtr p, q, g;
  BIGNUM *pp = nullptr, *qq = nullptr, *gg = nullptr;
  if (!BN_hex2bn(&pp, kDsaP) || !BN_hex2bn(&qq, kDsaQ) || !BN_hex2bn(&gg, kDsaG)) {
    BN_free(pp);
    BN_free(qq);
    BN_free(gg);
    return nullptr;
  }
  p.reset(pp);
  q.reset(qq);
  g.reset(gg);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  if (bld && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p.get()) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, q.get()) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g.get()))
    params = OSSL_PARAM_BLD_to_param(bld);
  OSSL_PARAM_BLD_free(bld);
  EVP_PKEY* out = nullptr;
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &out, EVP_PKEY_KEY_PARAMETERS, params) != 1)
    out = nullptr;
  OSSL_PARAM_free(params);
  return out;
}

EVP_PKEY* evp_generate(int type, int bits, PKEY_gen_cb cb, void* arg) {
  Owned<EVP_PKEY_CTX> ctx;
  Owned<EVP_PKEY> params;
  if (type == PKEY_TYPE_DSA) {
    params.reset(dsa_params());
    if (!params) return nullptr;
    ctx.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, params.get(), nullptr));
  } else {
    ctx.reset(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  }
  GenCb g{cb, arg};
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1) return nullptr;
  if (type != PKEY_TYPE_DSA) {
    BnPtr e(BN_new());
    if (!e || !BN_set_word(e.get(), 65537) ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1)
      return nullptr;
  }
  EVP_PKEY_CTX_set_app_data(ctx.get(), &g);
  EVP_PKEY_CTX_set_cb(ctx.get(), evp_gen_cb);
  EVP_PKEY* out = nullptr;
  if (EVP_PKEY_generate(ctx.get(), &out) != 1) return nullptr;
  return out;
}

}  // namespace

namespace pkey {

int ecgost_curve_of(int type, int paramset) {
  if (type == PKEY_TYPE_ECGOST) return ECURVE_P256;
  return ECURVE_number_by_paramset(paramset >= NID_CP_2001_A && paramset <= NID_CP_2001_XCHB
                                       ? paramset
                                       : NID_CP_2001_A);
}

}  // namespace pkey

PKEY* PKEY_generate(int type, int param, PKEY_gen_cb cb, void* cb_arg, const PKEY_KEY* params) {
  Owned<PKEY_KEY> key;
  switch (type) {
    case PKEY_TYPE_RSA:
    case PKEY_TYPE_RSA_RECORD:
    case PKEY_TYPE_DSA: {
      EVP_PKEY* evp = evp_generate(type, param, cb, cb_arg);
      if (evp) key.reset(PKEY_KEY_from_evp(evp));
      if (evp && !key) EVP_PKEY_free(evp);
      if (!key) ERR_put_openssl_errors(LIB_CADB, CADB_F_PKEY_GENERATE, LIB_EVP, __FILE__, __LINE__);
      break;
    }
    case PKEY_TYPE_ECGOST:
    case PKEY_TYPE_ECGOST_CP: {
      const int set = type == PKEY_TYPE_ECGOST ? NID_X9_62_PRIME256V1
                      : param >= NID_CP_2001_A && param <= NID_CP_2001_XCHB ? param
                                                                            : NID_CP_2001_A;
      Owned<ECURVE> c(ECURVE_by_number(pkey::ecgost_curve_of(type, param)));
      Owned<ECGOST> ec(c ? ECGOST_new(c.get()) : nullptr);
      if (ec) ECGOST_set_paramsets(ec.get(), set, NID_CP_R3411_94_PARAMSET, 0);
      if (ec && ECGOST_key_pair_generation(ec.get())) key.reset(PKEY_KEY_from_ecgost(ec.get(), type));
      if (key) ec.release();
      break;
    }
    case PKEY_TYPE_R3410:
    case PKEY_TYPE_R3410_CP: {
      Owned<R3410> rk(R3410_new());
      bool ok = rk != nullptr;
      if (ok && type == PKEY_TYPE_R3410 && params && params->r3410 && params->r3410->p) {
        // The domain parameters of the given key.
        BnPtr p(BN_dup(params->r3410->p)), q(BN_dup(params->r3410->q)), a(BN_dup(params->r3410->a));
        ok = p && q && a;
        if (ok) {
          r3410::replace_params(rk.get(), std::move(p), std::move(q), std::move(a));
          rk->param_nid = params->r3410->param_nid;
        }
      } else if (ok && type == PKEY_TYPE_R3410) {
        ok = R3410_set_params(rk.get(), R3410_SEL_BUILTIN_1);
      } else if (ok) {
        const int set = param >= NID_CP_R3410_94_A && param <= NID_CP_R3410_94_XCHC ? param : NID_CP_R3410_94_A;
        ok = R3410_set_params_by_nid(rk.get(), set);
      }
      ok = ok && R3410_generate_key(rk.get(), nullptr, 0);
      if (ok) key.reset(PKEY_KEY_from_r3410(rk.get(), type));
      if (key) rk.release();
      break;
    }
    default:
      JARNEL_ERR(LIB_CADB, CADB_F_PKEY_GENERATE, CADB_R_UNKNOWN_ALGORITHM);
      return nullptr;
  }
  PKEY* rec = key ? PKEY_split(key.get()) : nullptr;
  if (!rec) JARNEL_ERR(LIB_CADB, CADB_F_PKEY_GENERATE, LIB_CADB);
  return rec;
}

// ---- key file location ------------------------------------------------------------------------

int PKEY_key_file_path(const char* container_path, int n, char* out) {
  char dir[CADB_PATH_BUF];
  if (!out || !PSE_item_path(container_path, PseItem::KeyDir, dir)) return 0;
  static const char* const kEtoken[] = {"eToken", "AKS ifdh", "Aladdin Token JC"};
  static const char* const kRutoken[] = {"ruToken", "Aktiv Co. ruToken"};
  auto begins = [container_path](const char* p) {
    return ascii_strncasecmp(container_path, p, std::strlen(p)) == 0;
  };
  char name[32];
  bool smart = false;
  for (const char* p : kEtoken) smart = smart || begins(p);
  smart = smart || begins("eTR2");
  if (smart) std::snprintf(name, sizeof name, "%04i", n);
  else if (begins("iButton")) std::snprintf(name, sizeof name, "key .%03i", n);
  else {
    for (const char* p : kRutoken) smart = smart || begins(p);
    if (smart) std::snprintf(name, sizeof name, "%04i", n);
    else std::snprintf(name, sizeof name, "%08X.key", static_cast<unsigned>(n));
  }
  // A name the file layer would cut short names another file: refused instead.
  if (std::strlen(dir) + 1 + std::strlen(name) >= static_cast<std::size_t>(CADB_PATH_MAX)) return 0;
  CADB_make_path(out, dir, name, nullptr);
  return 1;
}

// ---- the context -----------------------------------------------------------------------------

PKEY_CTX* PKEY_CTX_new() {
  auto* c = static_cast<PKEY_CTX*>(mem_alloc(sizeof(PKEY_CTX)));
  if (!c) {
    ctx_err(CADB_F_PKEY_CTX_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(c, 0, sizeof *c);
  if (!CRYPTO_create_mutex(&c->lock)) {
    mem_free(c);
    ctx_err(CADB_F_PKEY_CTX_NEW, R_INTERNAL_ERROR);
    return nullptr;
  }
  c->method = PKEY_default_method();
  return c;
}

void PKEY_CTX_free(PKEY_CTX* ctx) {
  if (!ctx) return;
  BUFFER_free(ctx->key_data);
  BUFFER_free(ctx->path);
  BUFFER_free(ctx->password);
  PSE_free(ctx->pse);
  PKEY_free(ctx->key);
  CRYPTO_destroy_mutex(ctx->lock);
  mem_clear_free(ctx, sizeof *ctx);
}

int PKEY_CTX_set_path(PKEY_CTX* ctx, const char* path) {
  if (!ctx) {
    ctx_err(CADB_F_PKEY_CTX_SET_PATH, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  CtxLock l(ctx);
  BUFFER_free(ctx->key_data);
  ctx->key_data = nullptr;
  BUFFER* p = nullptr;
  if (path) {
    const std::size_t n = std::strlen(path);
    if (n >= CADB_PATH_MAX || !(p = BUFFER_fill(path, static_cast<int>(n)))) {
      ctx_err(CADB_F_PKEY_CTX_SET_PATH, n >= CADB_PATH_MAX ? R_INTERNAL_ERROR : R_MALLOC_FAILURE);
      return 0;
    }
  }
  BUFFER_free(ctx->path);
  ctx->path = p;
  pick_method(ctx);
  return 1;
}

int PKEY_CTX_set_callback_data(PKEY_CTX* ctx, void* data) {
  if (!ctx) {
    ctx_err(CADB_F_PKEY_CTX_SET, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  CtxLock l(ctx);
  ctx->callback_data = data;
  return 1;
}

int PKEY_CTX_set_password_callback(PKEY_CTX* ctx, password_cb cb) {
  if (!ctx) return 0;
  CtxLock l(ctx);
  ctx->password_callback = cb;
  return 1;
}

int PKEY_CTX_set_password(PKEY_CTX* ctx, const char* password, int length) {
  if (!ctx) return 0;
  CtxLock l(ctx);
  BUFFER* p = nullptr;
  if (password) {
    const int n = length < 1 ? static_cast<int>(std::strlen(password)) : length;
    if (n > PKEY_PASSWORD_MAX || !(p = BUFFER_fill(password, n))) {
      ctx_err(CADB_F_PKEY_CTX_SET, R_MALLOC_FAILURE);
      return 0;
    }
  }
  BUFFER_free(ctx->password);
  ctx->password = p;
  return 1;
}

int PKEY_CTX_set_key_data(PKEY_CTX* ctx, const unsigned char* data, int length) {
  if (!ctx) return 0;
  CtxLock l(ctx);
  BUFFER* p = nullptr;
  if (data && length > 0 && !(p = BUFFER_fill(data, length))) {
    ctx_err(CADB_F_PKEY_CTX_SET, R_MALLOC_FAILURE);
    return 0;
  }
  BUFFER_free(ctx->key_data);
  ctx->key_data = p;
  return 1;
}

int PKEY_CTX_set_insert_callback(PKEY_CTX* ctx, CADB_waiter cb, void* arg) {
  if (!ctx) return 0;
  CtxLock l(ctx);
  ctx->insert_cb = cb;
  ctx->insert_arg = arg;
  return 1;
}

int PKEY_CTX_set_gen_callback(PKEY_CTX* ctx, PKEY_gen_cb cb, void* arg) {
  if (!ctx) return 0;
  CtxLock l(ctx);
  ctx->gen_callback = cb;
  ctx->gen_arg = arg;
  return 1;
}

int PKEY_CTX_set_pse(PKEY_CTX* ctx, PSE* pse) {
  if (!ctx) {
    ctx_err(CADB_F_PKEY_CTX_SET, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  CtxLock l(ctx);
  if (pse) PSE_up_ref(pse);
  PSE_free(ctx->pse);
  ctx->pse = pse;
  pick_method(ctx);
  return 1;
}

int PKEY_CTX_set_key(PKEY_CTX* ctx, PKEY* key) {
  if (!ctx) return 0;
  CtxLock l(ctx);
  if (key) PKEY_up_ref(key);
  PKEY_free(ctx->key);
  ctx->key = key;
  return 1;
}

PKEY* PKEY_CTX_get_key(PKEY_CTX* ctx) { return ctx ? ctx->key : nullptr; }

int PKEY_CTX_generate(PKEY_CTX* ctx, int type, int paramset) {
  if (!ctx) {
    ctx_err(CADB_F_PKEY_CTX_GENERATE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  CtxLock l(ctx);
  if (!ctx->method || !ctx->method->generate) return 1;
  return ctx->method->generate(ctx, type, paramset);
}

namespace {

// The carrier of the key path must be present, unless the key lies inside the held container
// (whose carrier was present when it was opened).
bool wait_for_key_carrier(PKEY_CTX* ctx) {
  if (!ctx->path) return true;
  const char* key_path = reinterpret_cast<const char*>(ctx->path->data);
  if (ctx->pse && ctx->pse->path && CADB_path_prefix_match(ctx->pse->path, key_path)) return true;
  return CADB_wait_for_carrier(key_path, ctx->insert_cb, ctx->insert_arg) != 0;
}

}  // namespace

int PKEY_CTX_read(PKEY_CTX* ctx) {
  if (!ctx) {
    ctx_err(CADB_F_PKEY_CTX_READ, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  CtxLock l(ctx);
  if (!wait_for_key_carrier(ctx)) {
    ctx_err(CADB_F_PKEY_CTX_READ, R_INTERNAL_ERROR);
    return 0;
  }
  if (!ctx->method || !ctx->method->read) return 1;
  return ctx->method->read(ctx);
}

int PKEY_CTX_write(PKEY_CTX* ctx, int format, int kind) {
  if (!ctx) {
    ctx_err(CADB_F_PKEY_CTX_WRITE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  CtxLock l(ctx);
  if (!wait_for_key_carrier(ctx)) {
    ctx_err(CADB_F_PKEY_CTX_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  if (!ctx->method || !ctx->method->write) return 1;
  return ctx->method->write(ctx, format, kind);
}

}  // namespace jarnel
