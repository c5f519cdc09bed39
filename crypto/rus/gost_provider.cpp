// In-process OpenSSL 3 provider with the GOST 28147-89 ciphers, the GOST R 34.11-94 and
// GOST R 34.11-2012 digests,
// loaded into a private library context.
#include "crypto/rus/gost_provider.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <openssl/core.h>
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include "crypto/bytestring/der.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"
#include "crypto/pse/mask.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gosth.h"
#include "crypto/rus/streebog.h"
#include "crypto/str.h"

namespace jarnel {
namespace {

using Fn = void (*)(void);
template <class F>
Fn fn(F f) {
  return reinterpret_cast<Fn>(f);
}

// ---- Gost28147-89-Parameters ---------------------------------------------------------------

// SEQUENCE { OCTET STRING iv(8), OBJECT IDENTIFIER paramset } with one of the CryptoPro-A..D
// parameter sets; out holds at least 32 bytes. Returns the length, 0 on failure.
std::size_t write_gost_params(const unsigned char* iv, int sbox_nid, unsigned char* out) {
  der::Writer w;
  w.open(der::TAG_SEQUENCE);
  w.octets(std::span<const unsigned char>(iv, 8));
  w.oid(obj::oid_of(std::clamp(sbox_nid, NID_CP_28147_A, NID_CP_28147_D)));
  w.close();
  if (!w.ok() || w.size() > 32) return 0;
  unsigned char* p = out;
  return static_cast<std::size_t>(w.finish(&p));
}

// Reads the structure; sbox becomes null for a parameter-set OID without a built-in S-box.
bool read_gost_params(const unsigned char* in, std::size_t len, unsigned char* iv,
                      const unsigned char** sbox) {
  der::Reader r(std::span<const unsigned char>(in, len)), seq;
  std::span<const unsigned char> v;
  der::Oid oid;
  if (!r.sequence(seq) || !r.empty() || !seq.octets(v) || v.size() != 8 || !seq.oid(oid) ||
      !seq.empty())
    return false;
  std::memcpy(iv, v.data(), 8);
  const int nid = obj::nid_of(oid.span());
  *sbox = (nid >= NID_CP_28147_A && nid <= NID_CP_28147_D) ? GOSTE_sbox_by_nid(nid) : nullptr;
  // id-tc26-gost-28147-param-Z (1.2.643.7.1.2.5.1.1), the OpenSSL GOST engine's default.
  static constexpr std::uint32_t kTc26Z[] = {1, 2, 643, 7, 1, 2, 5, 1, 1};
  if (oid == std::span<const std::uint32_t>(kTc26Z)) *sbox = GOSTE_tc26_z_sbox();
  return true;
}

// ---- ciphers -------------------------------------------------------------------------------

enum class Kind { Ecb, Gamma, Gammar, GammarCp };

struct CipherInfo {
  Kind kind;
  std::size_t block, iv;
  unsigned mode;
};
constexpr CipherInfo kEcb{Kind::Ecb, 8, 0, EVP_CIPH_ECB_MODE};
constexpr CipherInfo kGamma{Kind::Gamma, 1, 8, EVP_CIPH_OFB_MODE};
constexpr CipherInfo kGammar{Kind::Gammar, 1, 8, EVP_CIPH_CFB_MODE};
constexpr CipherInfo kGammarCp{Kind::GammarCp, 1, 8, EVP_CIPH_CFB_MODE};

struct CipherCtx {
  const CipherInfo* info;
  GOSTE_CTX* g;
  MASKED_KEY key;  // kept for re-initialisation with a new IV
  bool have_key;
  bool ready;
  int enc;
  unsigned char oiv[8];
  const unsigned char* sbox;  // CryptoPro cipher: from the parameters, null = default
  unsigned padding;
  unsigned char buf[8];  // ECB: pending bytes (encrypt) or the held-back last block (decrypt)
  std::size_t buflen;
};

void* cipher_newctx(const CipherInfo* info) {
  auto* c = static_cast<CipherCtx*>(mem_alloc(sizeof(CipherCtx)));
  if (!c) return nullptr;
  std::memset(static_cast<void*>(c), 0, sizeof(*c));
  c->info = info;
  c->padding = 1;
  c->g = GOSTE_new();
  if (!c->g) {
    mem_free(c);
    return nullptr;
  }
  return c;
}
void* newctx_ecb(void*) { return cipher_newctx(&kEcb); }
void* newctx_gamma(void*) { return cipher_newctx(&kGamma); }
void* newctx_gammar(void*) { return cipher_newctx(&kGammar); }
void* newctx_gammar_cp(void*) { return cipher_newctx(&kGammarCp); }

void cipher_freectx(void* vctx) {
  auto* c = static_cast<CipherCtx*>(vctx);
  if (!c) return;
  GOSTE_free(c->g);
  MASK_key_wipe(&c->key);
  mem_clear_free(c, sizeof(*c));
}

void* cipher_dupctx(void* vctx) {
  auto* src = static_cast<CipherCtx*>(vctx);
  auto* c = static_cast<CipherCtx*>(mem_alloc(sizeof(CipherCtx)));
  if (!c) return nullptr;
  std::memcpy(static_cast<void*>(c), src, sizeof(*c));
  c->g = GOSTE_new();
  c->key.mask = nullptr;
  bool ok = c->g && GOSTE_copy(c->g, src->g);
  if (ok && src->key.mask) {
    c->key.mask = static_cast<unsigned char*>(mem_alloc(MASK_KEY_BYTES));
    ok = c->key.mask != nullptr;
    if (ok) std::memcpy(c->key.mask, src->key.mask, MASK_KEY_BYTES);
  }
  if (!ok) {
    cipher_freectx(c);
    return nullptr;
  }
  return c;
}

// (Re)initialises the GOST context from the kept key, the IV and the S-box.
bool cipher_setup(CipherCtx* c) {
  unsigned char k[32];
  if (!MASK_key_get(&c->key, k)) {
    c->have_key = false;
    c->ready = false;
    return false;
  }
  bool ok = false;
  GOSTE_cleanup(c->g);
  switch (c->info->kind) {
    case Kind::Ecb:
      ok = GOSTE_ss_init(c->g, c->enc ? 1 : 0, k, nullptr);
      break;
    case Kind::Gamma:
      ok = GOSTE_gamma_init(c->g, k, c->oiv, nullptr);
      break;
    case Kind::Gammar:
      ok = GOSTE_gamma_fb_init(c->g, k, c->oiv, nullptr);
      break;
    case Kind::GammarCp:
      ok = GOSTE_gamma_fb_cp_init(c->g, k, c->oiv, c->sbox);
      break;
  }
  mem_cleanse(k, sizeof(k));
  if (ok) c->g->direction = c->enc ? 1 : 0;
  c->buflen = 0;
  c->ready = ok;
  return ok;
}

int cipher_set_ctx_params(void* vctx, const OSSL_PARAM params[]);

int cipher_init(void* vctx, const unsigned char* key, std::size_t keylen, const unsigned char* iv,
                std::size_t ivlen, const OSSL_PARAM params[], int enc) {
  auto* c = static_cast<CipherCtx*>(vctx);
  c->enc = enc;
  if (!cipher_set_ctx_params(c, params)) return 0;
  if (iv) {
    if (ivlen != c->info->iv && c->info->iv != 0) return 0;
    if (c->info->iv) std::memcpy(c->oiv, iv, 8);
  }
  if (key) {
    if (keylen != 32) return 0;
    MASK_key_wipe(&c->key);
    if (!MASK_key_set(&c->key, key)) return 0;
    c->have_key = true;
  }
  if (c->have_key) return cipher_setup(c) ? 1 : 0;
  c->ready = false;
  return 1;
}

int cipher_einit(void* vctx, const unsigned char* key, std::size_t keylen, const unsigned char* iv,
                 std::size_t ivlen, const OSSL_PARAM params[]) {
  return cipher_init(vctx, key, keylen, iv, ivlen, params, 1);
}
int cipher_dinit(void* vctx, const unsigned char* key, std::size_t keylen, const unsigned char* iv,
                 std::size_t ivlen, const OSSL_PARAM params[]) {
  return cipher_init(vctx, key, keylen, iv, ivlen, params, 0);
}

bool stream(CipherCtx* c, unsigned char* out, const unsigned char* in, std::size_t len) {
  while (len > 0) {
    int n = static_cast<int>(std::min<std::size_t>(len, 1u << 30));
    int r = 0;
    switch (c->info->kind) {
      case Kind::Gamma:
        r = GOSTE_gamma_update(c->g, in, out, n);
        break;
      case Kind::Gammar:
        r = c->enc ? GOSTE_gamma_fbe_update(c->g, in, out, n) : GOSTE_gamma_fbd_update(c->g, in, out, n);
        break;
      case Kind::GammarCp:
        r = GOSTE_update(c->g, in, out, n);  // through the meshing driver
        break;
      case Kind::Ecb:
        r = GOSTE_ss_update(c->g, in, out, n);
        break;
    }
    if (r != n) return false;
    in += n;
    out += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

int cipher_update(void* vctx, unsigned char* out, std::size_t* outl, std::size_t outsize,
                  const unsigned char* in, std::size_t inl) {
  auto* c = static_cast<CipherCtx*>(vctx);
  *outl = 0;
  if (!c->ready) return 0;
  if (inl == 0) return 1;
  if (c->info->kind != Kind::Ecb) {
    if (outsize < inl || !stream(c, out, in, inl)) return 0;
    *outl = inl;
    return 1;
  }
  // ECB: whole blocks go out; with padding on decryption the last block is held back for final.
  std::size_t total = c->buflen + inl;
  std::size_t emit = total & ~static_cast<std::size_t>(7);
  if (!c->enc && c->padding && emit == total) emit = emit >= 8 ? emit - 8 : 0;
  if (outsize < emit) return 0;
  std::size_t done = 0;
  if (emit > 0) {
    std::size_t from_buf = std::min(c->buflen, emit);
    std::memcpy(out, c->buf, from_buf);
    std::memcpy(out + from_buf, in, emit - from_buf);
    if (!stream(c, out, out, emit)) return 0;
    done = emit - from_buf;
    c->buflen -= from_buf;
    if (c->buflen) std::memmove(c->buf, c->buf + from_buf, c->buflen);
  }
  std::size_t rest = inl - done;
  std::memcpy(c->buf + c->buflen, in + done, rest);
  c->buflen += rest;
  *outl = emit;
  return 1;
}

int cipher_final(void* vctx, unsigned char* out, std::size_t* outl, std::size_t outsize) {
  auto* c = static_cast<CipherCtx*>(vctx);
  *outl = 0;
  if (!c->ready) return 0;
  if (c->info->kind != Kind::Ecb) return 1;
  if (c->enc) {
    if (!c->padding) return c->buflen == 0 ? 1 : 0;
    if (outsize < 8) return 0;
    unsigned char pad = static_cast<unsigned char>(8 - c->buflen);
    std::memset(c->buf + c->buflen, pad, pad);
    std::memcpy(out, c->buf, 8);
    if (!stream(c, out, out, 8)) return 0;
    c->buflen = 0;
    *outl = 8;
    return 1;
  }
  if (!c->padding) return c->buflen == 0 ? 1 : 0;
  if (c->buflen != 8) return 0;
  unsigned char block[8];
  std::memcpy(block, c->buf, 8);
  c->buflen = 0;
  if (!stream(c, block, block, 8)) return 0;
  unsigned pad = block[7];
  bool ok = pad >= 1 && pad <= 8;
  for (unsigned i = 0; ok && i < pad; ++i) ok = block[7 - i] == pad;
  if (!ok || outsize < 8 - pad) {
    mem_cleanse(block, 8);
    return 0;
  }
  std::memcpy(out, block, 8 - pad);
  *outl = 8 - pad;
  mem_cleanse(block, 8);
  return 1;
}

int cipher_cipher(void* vctx, unsigned char* out, std::size_t* outl, std::size_t outsize,
                  const unsigned char* in, std::size_t inl) {
  auto* c = static_cast<CipherCtx*>(vctx);
  if (!c->ready || outsize < inl) return 0;
  if (c->info->kind == Kind::Ecb && (inl % 8) != 0) return 0;
  if (inl && !stream(c, out, in, inl)) return 0;
  *outl = inl;
  return 1;
}

int cipher_get_params_common(OSSL_PARAM params[], const CipherInfo* info) {
  OSSL_PARAM* p;
  if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_MODE)) && !OSSL_PARAM_set_uint(p, info->mode))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_BLOCK_SIZE)) && !OSSL_PARAM_set_size_t(p, info->block))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_KEYLEN)) && !OSSL_PARAM_set_size_t(p, 32))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IVLEN)) && !OSSL_PARAM_set_size_t(p, info->iv))
    return 0;
  for (const char* flag : {OSSL_CIPHER_PARAM_AEAD, OSSL_CIPHER_PARAM_CUSTOM_IV, OSSL_CIPHER_PARAM_CTS,
                           OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, OSSL_CIPHER_PARAM_HAS_RAND_KEY})
    if ((p = OSSL_PARAM_locate(params, flag)) && !OSSL_PARAM_set_int(p, 0)) return 0;
  return 1;
}
int get_params_ecb(OSSL_PARAM params[]) { return cipher_get_params_common(params, &kEcb); }
int get_params_gamma(OSSL_PARAM params[]) { return cipher_get_params_common(params, &kGamma); }
int get_params_gammar(OSSL_PARAM params[]) { return cipher_get_params_common(params, &kGammar); }
int get_params_gammar_cp(OSSL_PARAM params[]) { return cipher_get_params_common(params, &kGammarCp); }

const OSSL_PARAM* cipher_gettable_params(void*) {
  static const OSSL_PARAM table[] = {
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_MODE, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_BLOCK_SIZE, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_AEAD, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_CUSTOM_IV, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_CTS, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_HAS_RAND_KEY, nullptr),
      OSSL_PARAM_END};
  return table;
}

int cipher_get_ctx_params(void* vctx, OSSL_PARAM params[]) {
  auto* c = static_cast<CipherCtx*>(vctx);
  OSSL_PARAM* p;
  if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_KEYLEN)) && !OSSL_PARAM_set_size_t(p, 32))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IVLEN)) && !OSSL_PARAM_set_size_t(p, c->info->iv))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_PADDING)) && !OSSL_PARAM_set_uint(p, c->padding))
    return 0;
  if (c->info->iv) {
    if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IV)) && !OSSL_PARAM_set_octet_string(p, c->oiv, 8))
      return 0;
  }
  if ((p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_ALGORITHM_ID_PARAMS))) {
    unsigned char der[32];
    std::size_t n = 0;
    if (c->info->kind == Kind::GammarCp) {
      const unsigned char* sb = c->sbox ? c->sbox : GOSTE_default_cp_sbox();
      n = write_gost_params(c->oiv, GOSTE_sbox_to_nid(sb), der);
      if (!n) return 0;
    } else if (c->info->iv) {
      der[0] = 0x04;
      der[1] = 8;
      std::memcpy(der + 2, c->oiv, 8);
      n = 10;
    } else {
      der[0] = 0x05;  // NULL: simple replacement has no parameters
      der[1] = 0;
      n = 2;
    }
    if (!OSSL_PARAM_set_octet_string(p, der, n)) return 0;
  }
  return 1;
}

int cipher_set_ctx_params(void* vctx, const OSSL_PARAM params[]) {
  auto* c = static_cast<CipherCtx*>(vctx);
  if (!params) return 1;
  const OSSL_PARAM* p;
  if ((p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_PADDING))) {
    unsigned v = 0;
    if (!OSSL_PARAM_get_uint(p, &v)) return 0;
    c->padding = v ? 1 : 0;
  }
  if ((p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_KEYLEN))) {
    std::size_t v = 0;
    if (!OSSL_PARAM_get_size_t(p, &v) || v != 32) return 0;
  }
  if ((p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_ALGORITHM_ID_PARAMS))) {
    const void* der = nullptr;
    std::size_t n = 0;
    if (!OSSL_PARAM_get_octet_string_ptr(p, &der, &n)) return 0;
    const auto* d = static_cast<const unsigned char*>(der);
    if (c->info->kind == Kind::GammarCp) {
      const unsigned char* sb = nullptr;
      if (!read_gost_params(d, n, c->oiv, &sb)) return 0;
      c->sbox = sb;
    } else if (c->info->iv) {
      if (n != 10 || d[0] != 0x04 || d[1] != 8) return 0;
      std::memcpy(c->oiv, d + 2, 8);
    }
    if (c->have_key && !cipher_setup(c)) return 0;
  }
  return 1;
}

const OSSL_PARAM* cipher_gettable_ctx_params(void*, void*) {
  static const OSSL_PARAM table[] = {
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
      OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_IV, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_ALGORITHM_ID_PARAMS, nullptr, 0),
      OSSL_PARAM_END};
  return table;
}
const OSSL_PARAM* cipher_settable_ctx_params(void*, void*) {
  static const OSSL_PARAM table[] = {
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
      OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_ALGORITHM_ID_PARAMS, nullptr, 0),
      OSSL_PARAM_END};
  return table;
}

#define JARNEL_CIPHER_DISPATCH(name, newfn, getfn)                                        \
  const OSSL_DISPATCH name[] = {                                                         \
      {OSSL_FUNC_CIPHER_NEWCTX, fn(newfn)},                                              \
      {OSSL_FUNC_CIPHER_ENCRYPT_INIT, fn(cipher_einit)},                                 \
      {OSSL_FUNC_CIPHER_DECRYPT_INIT, fn(cipher_dinit)},                                 \
      {OSSL_FUNC_CIPHER_UPDATE, fn(cipher_update)},                                      \
      {OSSL_FUNC_CIPHER_FINAL, fn(cipher_final)},                                        \
      {OSSL_FUNC_CIPHER_CIPHER, fn(cipher_cipher)},                                      \
      {OSSL_FUNC_CIPHER_FREECTX, fn(cipher_freectx)},                                    \
      {OSSL_FUNC_CIPHER_DUPCTX, fn(cipher_dupctx)},                                      \
      {OSSL_FUNC_CIPHER_GET_PARAMS, fn(getfn)},                                          \
      {OSSL_FUNC_CIPHER_GETTABLE_PARAMS, fn(cipher_gettable_params)},                    \
      {OSSL_FUNC_CIPHER_GET_CTX_PARAMS, fn(cipher_get_ctx_params)},                      \
      {OSSL_FUNC_CIPHER_SET_CTX_PARAMS, fn(cipher_set_ctx_params)},                      \
      {OSSL_FUNC_CIPHER_GETTABLE_CTX_PARAMS, fn(cipher_gettable_ctx_params)},            \
      {OSSL_FUNC_CIPHER_SETTABLE_CTX_PARAMS, fn(cipher_settable_ctx_params)},            \
      {0, nullptr}}

JARNEL_CIPHER_DISPATCH(kEcbFns, newctx_ecb, get_params_ecb);
JARNEL_CIPHER_DISPATCH(kGammaFns, newctx_gamma, get_params_gamma);
JARNEL_CIPHER_DISPATCH(kGammarFns, newctx_gammar, get_params_gammar);
JARNEL_CIPHER_DISPATCH(kGammarCpFns, newctx_gammar_cp, get_params_gammar_cp);

// ---- digests -------------------------------------------------------------------------------

enum class DKind { Hash, HashCp, Mac, Prehashed, Streebog };
struct DigestInfo {
  DKind kind;
  std::size_t size, block;
};
constexpr DigestInfo kHash{DKind::Hash, 32, 32};
constexpr DigestInfo kHashCp{DKind::HashCp, 32, 32};
constexpr DigestInfo kMac{DKind::Mac, 4, 1};
constexpr DigestInfo kPrehashed{DKind::Prehashed, 32, 32};
constexpr DigestInfo kStreebog256{DKind::Streebog, 32, 64};
constexpr DigestInfo kStreebog512{DKind::Streebog, 64, 64};

struct DigestCtx {
  const DigestInfo* info;
  GOSTH_CTX* h;       // hashes
  GOSTE_CTX* m;       // MAC
  GOSTH_PREHASHED p;  // pre-hashed
  STREEBOG_CTX s;     // GOST R 34.11-2012
};

void* digest_newctx(const DigestInfo* info) {
  auto* d = static_cast<DigestCtx*>(mem_alloc(sizeof(DigestCtx)));
  if (!d) return nullptr;
  std::memset(static_cast<void*>(d), 0, sizeof(*d));
  d->info = info;
  bool ok = true;
  if (info->kind == DKind::Hash || info->kind == DKind::HashCp) ok = (d->h = GOSTH_new()) != nullptr;
  if (info->kind == DKind::Mac) ok = (d->m = GOSTE_new()) != nullptr;
  if (!ok) {
    mem_free(d);
    return nullptr;
  }
  return d;
}
void* dnew_hash(void*) { return digest_newctx(&kHash); }
void* dnew_hash_cp(void*) { return digest_newctx(&kHashCp); }
void* dnew_mac(void*) { return digest_newctx(&kMac); }
void* dnew_prehashed(void*) { return digest_newctx(&kPrehashed); }
void* dnew_streebog256(void*) { return digest_newctx(&kStreebog256); }
void* dnew_streebog512(void*) { return digest_newctx(&kStreebog512); }

void digest_freectx(void* vctx) {
  auto* d = static_cast<DigestCtx*>(vctx);
  if (!d) return;
  GOSTH_free(d->h);
  GOSTE_free(d->m);
  mem_clear_free(d, sizeof(*d));
}

void* digest_dupctx(void* vctx) {
  auto* s = static_cast<DigestCtx*>(vctx);
  auto* d = static_cast<DigestCtx*>(digest_newctx(s->info));
  if (!d) return nullptr;
  bool ok = true;
  if (s->h) ok = GOSTH_copy(d->h, s->h);
  if (s->m) ok = GOSTE_copy(d->m, s->m);
  d->p = s->p;
  d->s = s->s;
  if (!ok) {
    digest_freectx(d);
    return nullptr;
  }
  return d;
}

int digest_init(void* vctx, const OSSL_PARAM params[]) {
  auto* d = static_cast<DigestCtx*>(vctx);
  switch (d->info->kind) {
    case DKind::Hash:
      return GOSTH_init(d->h, nullptr, nullptr);
    case DKind::HashCp:
      return GOSTH_init_cp(d->h, nullptr, GOSTE_cp_hash_sbox());
    case DKind::Prehashed:
      GOSTH_prehashed_init(&d->p);
      return 1;
    case DKind::Streebog:
      return STREEBOG_init(&d->s, static_cast<int>(d->info->size * 8));
    case DKind::Mac: {
      // The key reaches the MAC as the "key" parameter; without one the initialiser refuses.
      const void* key = nullptr;
      std::size_t keylen = 0;
      const OSSL_PARAM* p = params ? OSSL_PARAM_locate_const(params, OSSL_MAC_PARAM_KEY) : nullptr;
      if (p && (!OSSL_PARAM_get_octet_string_ptr(p, &key, &keylen) || keylen != 32)) return 0;
      GOSTE_cleanup(d->m);
      return GOSTE_mac_init(d->m, static_cast<const unsigned char*>(key), GOSTE_default_cp_sbox());
    }
  }
  return 0;
}

int digest_update(void* vctx, const unsigned char* in, std::size_t inl) {
  auto* d = static_cast<DigestCtx*>(vctx);
  if (d->info->kind == DKind::Streebog) return STREEBOG_update(&d->s, in, inl);
  while (inl > 0) {
    int n = static_cast<int>(std::min<std::size_t>(inl, 1u << 30));
    int r = 0;
    switch (d->info->kind) {
      case DKind::Hash:
      case DKind::HashCp:
        r = GOSTH_update(d->h, in, n);
        break;
      case DKind::Mac:
        r = GOSTE_update(d->m, in, nullptr, n);
        break;
      case DKind::Prehashed:
        r = GOSTH_prehashed_update(&d->p, in, n);
        break;
      case DKind::Streebog:
        break;
    }
    if (r != n) return 0;
    in += n;
    inl -= static_cast<std::size_t>(n);
  }
  return 1;
}

int digest_final(void* vctx, unsigned char* out, std::size_t* outl, std::size_t outsize) {
  auto* d = static_cast<DigestCtx*>(vctx);
  if (outsize < d->info->size) return 0;
  int r = 0;
  switch (d->info->kind) {
    case DKind::Hash:
    case DKind::HashCp:
      r = GOSTH_final(d->h, out) == 32;
      break;
    case DKind::Mac:
      r = GOSTE_mac_final(d->m, out, 32) == 4;
      break;
    case DKind::Prehashed:
      r = GOSTH_prehashed_final(&d->p, out) == 32;
      break;
    case DKind::Streebog:
      r = STREEBOG_final(&d->s, out) == static_cast<int>(d->info->size);
      break;
  }
  if (r) *outl = d->info->size;
  return r;
}

int digest_get_params_common(OSSL_PARAM params[], const DigestInfo* info) {
  OSSL_PARAM* p;
  if ((p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_BLOCK_SIZE)) && !OSSL_PARAM_set_size_t(p, info->block))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_SIZE)) && !OSSL_PARAM_set_size_t(p, info->size))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_XOF)) && !OSSL_PARAM_set_int(p, 0)) return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_ALGID_ABSENT)) && !OSSL_PARAM_set_int(p, 0))
    return 0;
  return 1;
}
int dget_hash(OSSL_PARAM params[]) { return digest_get_params_common(params, &kHash); }
int dget_hash_cp(OSSL_PARAM params[]) { return digest_get_params_common(params, &kHashCp); }
int dget_mac(OSSL_PARAM params[]) { return digest_get_params_common(params, &kMac); }
int dget_prehashed(OSSL_PARAM params[]) { return digest_get_params_common(params, &kPrehashed); }
int dget_streebog256(OSSL_PARAM params[]) { return digest_get_params_common(params, &kStreebog256); }
int dget_streebog512(OSSL_PARAM params[]) { return digest_get_params_common(params, &kStreebog512); }

const OSSL_PARAM* digest_gettable_params(void*) {
  static const OSSL_PARAM table[] = {OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_BLOCK_SIZE, nullptr),
                                     OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_SIZE, nullptr),
                                     OSSL_PARAM_int(OSSL_DIGEST_PARAM_XOF, nullptr),
                                     OSSL_PARAM_int(OSSL_DIGEST_PARAM_ALGID_ABSENT, nullptr),
                                     OSSL_PARAM_END};
  return table;
}

#define JARNEL_DIGEST_DISPATCH(name, newfn, getfn)                    \
  const OSSL_DISPATCH name[] = {                                     \
      {OSSL_FUNC_DIGEST_NEWCTX, fn(newfn)},                          \
      {OSSL_FUNC_DIGEST_INIT, fn(digest_init)},                      \
      {OSSL_FUNC_DIGEST_UPDATE, fn(digest_update)},                  \
      {OSSL_FUNC_DIGEST_FINAL, fn(digest_final)},                    \
      {OSSL_FUNC_DIGEST_FREECTX, fn(digest_freectx)},                \
      {OSSL_FUNC_DIGEST_DUPCTX, fn(digest_dupctx)},                  \
      {OSSL_FUNC_DIGEST_GET_PARAMS, fn(getfn)},                      \
      {OSSL_FUNC_DIGEST_GETTABLE_PARAMS, fn(digest_gettable_params)}, \
      {0, nullptr}}

JARNEL_DIGEST_DISPATCH(kHashFns, dnew_hash, dget_hash);
JARNEL_DIGEST_DISPATCH(kHashCpFns, dnew_hash_cp, dget_hash_cp);
JARNEL_DIGEST_DISPATCH(kMacFns, dnew_mac, dget_mac);
JARNEL_DIGEST_DISPATCH(kPrehashedFns, dnew_prehashed, dget_prehashed);
JARNEL_DIGEST_DISPATCH(kStreebog256Fns, dnew_streebog256, dget_streebog256);
JARNEL_DIGEST_DISPATCH(kStreebog512Fns, dnew_streebog512, dget_streebog512);

// ---- provider ------------------------------------------------------------------------------

// OpenSSL compares names without regard to case, so "RUS-CHANGE" also answers "rus-change".
const OSSL_ALGORITHM kCiphers[] = {
    {"RUS-CHANGE:rus-ecb:rus-simple:1.3.6.1.4.1.7203.1.1.1", "provider=jarnel-gost", kEcbFns, "GOST 28147-89 simple replacement"},
    {"RUS-GAMMA:1.3.6.1.4.1.7203.1.1.2", "provider=jarnel-gost", kGammaFns, "GOST 28147-89 gamma"},
    {"RUS-GAMMAR:rus-gfb:rus-gamma-fb:rus-gamma-r:1.3.6.1.4.1.7203.1.1.3", "provider=jarnel-gost", kGammarFns,
     "GOST 28147-89 gamma with feedback"},
    {"RUS-GAMMAR-CP:CryptoPro-Gost28147-89:rus-cfb:gost89:GOST 28147-89:1.2.643.2.2.21", "provider=jarnel-gost", kGammarCpFns,
     "GOST 28147-89 CryptoPro CFB with key meshing"},
    {nullptr, nullptr, nullptr, nullptr}};

const OSSL_ALGORITHM kDigests[] = {
    {"RUS-HASH:r3411:rush:1.3.6.1.4.1.7203.1.2.1:R3410-R3411:r3410WithR3411:1.3.6.1.4.1.7203.1.3.1",
     "provider=jarnel-gost", kHashFns, "GOST R 34.11-94"},
    {"ECR3410-R3411:ecr3410WithR3411:ECR3410:1.3.6.1.4.1.7203.1.3.2", "provider=jarnel-gost", kHashFns,
     "GOST R 34.11-94 for GOST R 34.10-2001"},
    {"RUS-HASH-CP:CryptoPro-GostR3411-94:1.2.643.2.2.9", "provider=jarnel-gost", kHashCpFns,
     "GOST R 34.11-94, CryptoPro parameters"},
    {"CryptoPro-GostR3411-94-with-GostR3410-94:1.2.643.2.2.4", "provider=jarnel-gost", kHashCpFns,
     "GOST R 34.11-94 for GOST R 34.10-94"},
    {"CryptoPro-GostR3411-94-with-GostR3410-2001:1.2.643.2.2.3", "provider=jarnel-gost", kHashCpFns,
     "GOST R 34.11-94 for GOST R 34.10-2001"},
    {"CryptoPro-Gost28147-89-MAC:1.2.643.2.2.22", "provider=jarnel-gost", kMacFns, "GOST 28147-89 MAC"},
    {"PREHASHED-R3411", "provider=jarnel-gost", kPrehashedFns, "digest computed elsewhere"},
    {"STREEBOG-256:md_gost12_256:streebog256:1.2.643.7.1.1.2.2", "provider=jarnel-gost", kStreebog256Fns,
     "GOST R 34.11-2012, 256 bits"},
    {"STREEBOG-512:md_gost12_512:streebog512:1.2.643.7.1.1.2.3", "provider=jarnel-gost", kStreebog512Fns,
     "GOST R 34.11-2012, 512 bits"},
    {nullptr, nullptr, nullptr, nullptr}};

const OSSL_ALGORITHM* provider_query(void*, int operation_id, int* no_cache) {
  *no_cache = 0;
  switch (operation_id) {
    case OSSL_OP_CIPHER:
      return kCiphers;
    case OSSL_OP_DIGEST:
      return kDigests;
    default:
      return nullptr;
  }
}

const OSSL_PARAM* provider_gettable_params(void*) {
  static const OSSL_PARAM table[] = {OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_NAME, nullptr, 0),
                                     OSSL_PARAM_int(OSSL_PROV_PARAM_STATUS, nullptr), OSSL_PARAM_END};
  return table;
}

int provider_get_params(void*, OSSL_PARAM params[]) {
  OSSL_PARAM* p;
  if ((p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_NAME)) &&
      !OSSL_PARAM_set_utf8_ptr(p, "jarnel GOST provider"))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_STATUS)) && !OSSL_PARAM_set_int(p, 1)) return 0;
  return 1;
}

void provider_teardown(void*) {}

const OSSL_DISPATCH kProviderFns[] = {
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, fn(provider_query)},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, fn(provider_gettable_params)},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, fn(provider_get_params)},
    {OSSL_FUNC_PROVIDER_TEARDOWN, fn(provider_teardown)},
    {0, nullptr}};

int provider_init(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*, const OSSL_DISPATCH** out,
                  void** provctx) {
  *out = kProviderFns;
  *provctx = nullptr;
  return 1;
}

std::mutex g_ctx_mutex;
OSSL_LIB_CTX* g_libctx = nullptr;
OSSL_PROVIDER* g_gost = nullptr;
OSSL_PROVIDER* g_default = nullptr;

}  // namespace

int GOST_register_algorithms() {
  std::lock_guard<std::mutex> guard(g_ctx_mutex);
  if (g_libctx) return 1;
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  if (!ctx) return 0;
  if (!OSSL_PROVIDER_add_builtin(ctx, "jarnel-gost", provider_init) ||
      !(g_gost = OSSL_PROVIDER_load(ctx, "jarnel-gost")) ||
      !(g_default = OSSL_PROVIDER_load(ctx, "default"))) {
    ERR_put_openssl_errors(LIB_GOSTE, GOSTE_F_GOSTE_NEW, R_INTERNAL_ERROR, __FILE__, __LINE__);
    if (g_gost) OSSL_PROVIDER_unload(g_gost);
    g_gost = nullptr;
    OSSL_LIB_CTX_free(ctx);
    return 0;
  }
  g_libctx = ctx;
  return 1;
}

OSSL_LIB_CTX* GOST_libctx() {
  std::lock_guard<std::mutex> guard(g_ctx_mutex);
  return g_libctx;
}

void GOST_unregister_algorithms() {
  std::lock_guard<std::mutex> guard(g_ctx_mutex);
  if (!g_libctx) return;
  OSSL_PROVIDER_unload(g_default);
  OSSL_PROVIDER_unload(g_gost);
  OSSL_LIB_CTX_free(g_libctx);
  g_default = g_gost = nullptr;
  g_libctx = nullptr;
}

const char* GOST_pbkdf2_prf_digest(const char* prf) {
  if (!prf) return "SHA1";
  if (ascii_strcasecmp(prf, "hmacWithR3411") == 0 || std::strcmp(prf, "1.3.6.1.4.1.7203.1.7.2") == 0)
    return "RUS-HASH";
  if (ascii_strcasecmp(prf, "hmacWithSHA1") == 0 || std::strcmp(prf, "1.2.840.113549.2.7") == 0)
    return "SHA1";
  return nullptr;
}

const char* GOST_pbkdf2_prf_digest_by_nid(int nid) {
  if (nid == 0 || nid == 163 /* hmacWithSHA1 */) return "SHA1";
  if (nid == RUS_NID_hmacWithR3411) return "RUS-HASH";
  return nullptr;
}

}  // namespace jarnel
