// Signing and verification, the one-time signing values and the three signature layouts.
#include <openssl/bn.h>

#include <cstring>

#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/pse/mask.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"
#include "platform/csp.h"

namespace jarnel {
namespace r3410 {
namespace {

// Provider algorithm identifier of the GOST R 34.11-94 hash value that the provider signs.
constexpr unsigned kCspHashGost = 0x8033;

void sign_failed(int reason) {
  JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, reason);
  set_status_if_unset(R3410_STATUS_SIGN_FAILED);
}

// H: the digest as a big-endian number; a multiple of q (q itself, or zero) becomes 1, so that
// its inverse exists.
bool digest_number(const unsigned char* digest, int len, const BIGNUM* q, BIGNUM* h,
                   BN_CTX* ctx) {
  BnPtr rem(BN_new());
  if (!rem || !BN_bin2bn(digest, len, h) || !BN_nnmod(rem.get(), h, q, ctx)) return false;
  if (BN_is_zero(rem.get())) return BN_one(h) == 1;
  return true;
}

int q_bytes(const R3410* key) { return key && key->q ? BN_num_bytes(key->q) : kQBytes; }

// The key's y is a sound public value of its group. The answer is remembered with the y and p
// it was found for, so a key verifying many signatures pays for the test once.
bool public_key_checked(R3410* key) {
  {
    LockGuard guard(locks::R3410);
    if (key->y_checked && key->y_checked_p && BN_cmp(key->y_checked, key->y) == 0 &&
        BN_cmp(key->y_checked_p, key->p) == 0)
      return true;
  }
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx || !public_value_sound(key->y, key->p, key->q, ctx.get())) return false;
  BIGNUM* y = BN_dup(key->y);
  BIGNUM* p = BN_dup(key->p);
  LockGuard guard(locks::R3410);
  BN_free(key->y_checked);
  BN_free(key->y_checked_p);
  key->y_checked = y;
  key->y_checked_p = p;
  return true;
}

// The hash parameter that sets a hash object's value (HP_HASHVAL).
constexpr unsigned kCspHashValue = 2;

// Signing by the provider that holds the key: the digest becomes the value of a provider hash
// object, the provider signs it, and its little-endian signature is turned around into out
// (capacity bytes). The signature length, or -1; the hash object is destroyed in every case.
int provider_sign(const R3410_PROVIDER_KEY& pk, const unsigned char* digest, int len,
                  unsigned char* out, unsigned capacity, unsigned* sig_len) {
  const platform::CspProvider* csp = platform::csp_provider();
  std::uintptr_t hash = 0;
  if (!csp || len != kQBytes || !csp->create_hash(pk.handle, kCspHashGost, &hash)) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_SIGN, R_INTERNAL_ERROR);
    return -1;
  }
  unsigned long n = 0;
  bool ok = csp->set_hash_param(hash, kCspHashValue, digest) &&
            csp->sign_hash(hash, pk.key_spec, nullptr, 0, nullptr, &n) && n > 0 &&
            n <= capacity && csp->sign_hash(hash, pk.key_spec, nullptr, 0, out, &n) &&
            n <= capacity;
  csp->destroy_hash(hash);
  if (!ok) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_SIGN, R_INTERNAL_ERROR);
    return -1;
  }
  BUF_reverse(out, n);
  *sig_len = static_cast<unsigned>(n);
  return static_cast<int>(n);
}

}  // namespace
}  // namespace r3410

using namespace r3410;

R3410_SIG* R3410_SIG_new() {
  auto* sig = static_cast<R3410_SIG*>(mem_alloc(sizeof(R3410_SIG)));
  if (!sig) {
    JARNEL_ERR(LIB_R3410, R3410_F_SIG_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  sig->r = BN_new();
  sig->s = BN_new();
  if (!sig->r || !sig->s) {
    R3410_SIG_free(sig);
    JARNEL_ERR(LIB_R3410, R3410_F_SIG_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  return sig;
}

void R3410_SIG_free(R3410_SIG* sig) {
  if (!sig) return;
  BN_clear_free(sig->r);
  BN_clear_free(sig->s);
  mem_free(sig);
}

int R3410_sign_setup(R3410* key, const unsigned char* seed, int seed_len) {
  if (!key) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!key->p || !key->q || !key->a) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, R_INTERNAL_ERROR);
    return 0;
  }
  bool have_x = false;
  {
    // x only decides whether a pair is worth making; it is read again when signing.
    LockGuard guard(locks::R3410);
    BnPtr x = key->key_mac ? nullptr : secret_copy(key->x);
    have_x = x && !BN_is_zero(x.get()) && BN_cmp(x.get(), key->q) < 0;
  }
  if (!have_x) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, R3410_R_INVALID_PRIVATE_KEY);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr k(BN_secure_new()), r(BN_new());
  if (!ctx || !k || !r) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, R_MALLOC_FAILURE);
    return 0;
  }
  BN_set_flags(k.get(), BN_FLG_CONSTTIME);
  // r = 0 would make a signature that says nothing about x: draw k again.
  for (int attempt = 0;; ++attempt) {
    if (attempt == 16 || !value_below_q(key->q, seed, seed_len, k.get())) {
      JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, R3410_R_INVALID_K);
      return 0;
    }
    if (!generator_power(key, k.get(), r.get(), ctx.get()) ||
        !BN_nnmod(r.get(), r.get(), key->q, ctx.get())) {
      JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, LIB_BN);
      return 0;
    }
    if (!BN_is_zero(r.get())) break;
    if (seed) {
      JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, R3410_R_INVALID_K);
      return 0;
    }
  }
  // k stays masked until the signature that uses it, padded by a multiple of q to a fixed
  // length so that masking and unmasking it take as long for every k.
  BnPtr kp(BN_secure_new());
  MASKED_BN* mk = kp && pad_exponent(k.get(), key->q, kp.get(), ctx.get()) ? MASK_BN_from_bn(kp.get())
                                                                         : nullptr;
  if (!mk) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, R_MALLOC_FAILURE);
    return 0;
  }
  LockGuard guard(locks::R3410);
  drop_triple(key);
  key->k = mk;
  key->r_pre = r.release();
  return 1;
}

R3410_SIG* R3410_do_sign(R3410* key, const unsigned char* digest, int len) {
  if (!key || !digest || len <= 0) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_SIGN, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  if (!key->p || !key->q || !key->a) {
    sign_failed(R_INTERNAL_ERROR);
    return nullptr;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr h(BN_new()), s(BN_secure_new()), kh(BN_secure_new()), xr(BN_secure_new());
  if (!ctx || !h || !s || !kh || !xr) {
    sign_failed(R_MALLOC_FAILURE);
    return nullptr;
  }
  BN_set_flags(s.get(), BN_FLG_CONSTTIME);
  BN_set_flags(kh.get(), BN_FLG_CONSTTIME);
  BN_set_flags(xr.get(), BN_FLG_CONSTTIME);
  if (!digest_number(digest, len, key->q, h.get(), ctx.get())) {
    sign_failed(LIB_BN);
    return nullptr;
  }
  for (int attempt = 0;; ++attempt) {
    BnPtr k, r, x;
    while (!k) {
      {
        // The pair is taken (used once, whatever happens next) and x read under the key's lock:
        // other threads sign with the same key or turn it into its opaque form.
        LockGuard guard(locks::R3410);
        if (key->k) {
          k.reset(MASK_BN_unmasked_copy(key->k));
          r.reset(key->r_pre);
          key->r_pre = nullptr;
          drop_triple(key);
          if (k && r && !key->key_mac) x = secret_copy(key->x);
          if (!k || !r || !x) {
            sign_failed(R_INTERNAL_ERROR);
            return nullptr;
          }
          break;
        }
      }
      if (attempt == 16 || !R3410_sign_setup(key)) {
        sign_failed(R_INTERNAL_ERROR);
        return nullptr;
      }
      ++attempt;
    }
    BN_set_flags(k.get(), BN_FLG_CONSTTIME);
    if (!BN_mod_mul(xr.get(), x.get(), r.get(), key->q, ctx.get()) ||
        !BN_mod_mul(kh.get(), k.get(), h.get(), key->q, ctx.get()) ||
        !BN_mod_add(s.get(), xr.get(), kh.get(), key->q, ctx.get())) {
      sign_failed(LIB_BN);
      return nullptr;
    }
    if (BN_is_zero(s.get())) continue;
    R3410_SIG* sig = R3410_SIG_new();
    if (!sig || !BN_copy(sig->r, r.get()) || !BN_copy(sig->s, s.get())) {
      R3410_SIG_free(sig);
      sign_failed(R_MALLOC_FAILURE);
      return nullptr;
    }
    return sig;
  }
}

int R3410_do_verify(const R3410_SIG* sig, R3410* key, const unsigned char* digest, int len) {
  auto invalid = [](int reason) {
    if (reason) JARNEL_ERR(LIB_GOSTS, R3410_F_DO_VERIFY, reason);
    set_status_if_unset(R3410_STATUS_BAD_SIGNATURE);
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_VERIFY, LIB_BN);
    return 0;
  };
  auto error = [](int reason) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_VERIFY, reason);
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_VERIFY, LIB_BN);
    return -1;
  };
  if (!sig || !sig->r || !sig->s || !digest || len <= 0) return error(R_PASSED_NULL_PARAMETER);
  if (!key || !key->p || !key->q || !key->a || !key->y) return error(R_INTERNAL_ERROR);
  // A public value outside 1 < y < p belongs to no private key.
  if (BN_cmp(key->y, BN_value_one()) <= 0 || BN_cmp(key->y, key->p) >= 0)
    return error(R3410_R_INVALID_DOMAIN_PARAMETERS);
  // Nor does p - 1 or any value outside the group of order q: with such a y, signatures verify
  // without the private value.
  if (!public_key_checked(key)) return error(R3410_R_INVALID_PUBLIC_VALUE);
  if (BN_is_zero(sig->r) || BN_is_negative(sig->r)) return invalid(R3410_R_R_IS_ZERO);
  if (BN_cmp(sig->r, key->q) >= 0) return invalid(R3410_R_R_TOO_LARGE);
  if (BN_is_zero(sig->s) || BN_is_negative(sig->s)) return invalid(R3410_R_S_IS_ZERO);
  if (BN_cmp(sig->s, key->q) >= 0) return invalid(R3410_R_S_TOO_LARGE);

  BnCtxPtr ctx(BN_CTX_new());
  BnPtr h(BN_new()), v(BN_new()), z1(BN_new()), z2(BN_new()), u(BN_new());
  BN_MONT_CTX* mont = ctx ? key_mont(key, ctx.get()) : nullptr;
  if (!ctx || !h || !v || !z1 || !z2 || !u || !mont) return error(R_MALLOC_FAILURE);
  if (!digest_number(digest, len, key->q, h.get(), ctx.get()) ||
      !BN_mod_inverse(v.get(), h.get(), key->q, ctx.get()) ||
      !BN_mod_mul(z1.get(), sig->s, v.get(), key->q, ctx.get()) ||
      !BN_sub(z2.get(), key->q, sig->r) ||
      !BN_mod_mul(z2.get(), z2.get(), v.get(), key->q, ctx.get()) ||
      !BN_mod_exp2_mont(u.get(), key->a, z1.get(), key->y, z2.get(), key->p, ctx.get(), mont) ||
      !BN_nnmod(u.get(), u.get(), key->q, ctx.get()))
    return error(LIB_BN);
  if (BN_cmp(u.get(), sig->r) != 0) return invalid(0);
  return 1;
}

int R3410_size(int type, const R3410* key) {
  const int n = q_bytes(key);
  if (type == R3410_SIG_RS || type == R3410_SIG_CRYPTOPRO) return 2 * n;
  // SEQUENCE header (2) and two INTEGERs of up to n + 1 content bytes with 2-byte headers.
  return 2 + 2 * (2 + n + 1);
}

int R3410_sign(int type, R3410* key, const unsigned char* digest, int len, unsigned char* out,
               unsigned* sig_len) {
  if (!key || !digest || !out || !sig_len) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_SIGN, R_PASSED_NULL_PARAMETER);
    return key && key->provider.handle ? -1 : 0;
  }
  if (key->provider.handle)
    return provider_sign(key->provider, digest, len, out,
                         static_cast<unsigned>(R3410_size(type, key)), sig_len);
  R3410_SIG* sig = R3410_do_sign(key, digest, len);
  if (!sig) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_SIGN, LIB_GOSTS);
    return 0;
  }
  int ok = 0;
  const int n = q_bytes(key);
  if (type == R3410_SIG_RS || type == R3410_SIG_CRYPTOPRO) {
    const BIGNUM* first = type == R3410_SIG_RS ? sig->r : sig->s;
    const BIGNUM* second = type == R3410_SIG_RS ? sig->s : sig->r;
    ok = BN_bn2binpad(first, out, n) == n && BN_bn2binpad(second, out + n, n) == n;
    if (ok) *sig_len = static_cast<unsigned>(2 * n);
  } else {
    unsigned char* p = out;
    int written = i2d_R3410_SIG(sig, &p);
    ok = written > 0;
    if (ok) *sig_len = static_cast<unsigned>(written);
  }
  R3410_SIG_free(sig);
  if (!ok) JARNEL_ERR(LIB_GOSTS, R3410_F_SIGN, R_INTERNAL_ERROR);
  return ok;
}

int R3410_verify(int type, R3410* key, const unsigned char* digest, int len,
                 const unsigned char* sig, int sig_len) {
  if (!key || !digest || !sig) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_VERIFY, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  auto refuse = [](int reason) {
    set_status_if_unset(R3410_STATUS_BAD_SIGNATURE);
    JARNEL_ERR(LIB_GOSTS, R3410_F_VERIFY, reason);
    JARNEL_ERR(LIB_GOSTS, R3410_F_DO_VERIFY, LIB_BN);
    return 0;
  };
  R3410_SIG parsed{nullptr, nullptr};
  R3410_SIG* der = nullptr;
  const int n = q_bytes(key);
  if (type == R3410_SIG_RS || type == R3410_SIG_CRYPTOPRO) {
    if (type == R3410_SIG_CRYPTOPRO ? sig_len != 2 * n : (sig_len <= 0 || sig_len % 2 != 0))
      return refuse(R3410_R_BAD_SIG_LENGTH);
    const int half = sig_len / 2;
    BnPtr a(BN_bin2bn(sig, half, nullptr)), b(BN_bin2bn(sig + half, half, nullptr));
    if (!a || !b) return refuse(R_MALLOC_FAILURE);
    parsed.r = type == R3410_SIG_RS ? a.release() : b.release();
    parsed.s = type == R3410_SIG_RS ? b.release() : a.release();
  } else {
    const unsigned char* p = sig;
    der = d2i_R3410_SIG(nullptr, &p, sig_len);
    if (!der) return refuse(R3410_R_BAD_SIG_LENGTH);
  }
  int result = R3410_do_verify(der ? der : &parsed, key, digest, len);
  BN_free(parsed.r);
  BN_free(parsed.s);
  R3410_SIG_free(der);
  return result == 1 ? 1 : 0;
}

}  // namespace jarnel
