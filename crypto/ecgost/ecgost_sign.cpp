// GOST R 34.10-2001 keys, signing and verification, public-key validation and the signature
// forms.
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <cstring>
#include <memory>

#include "crypto/ecgost/ec_der.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ec_priv.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/pse/pse.h"
#include "crypto/rand/rand.h"
#include "platform/csp.h"

namespace jarnel {

using ec::bad_args;
using ec::BnCtxPtr;
using ec::BnPtr;
using ec::KeyPtr;
using ec::PointPtr;
namespace {

void drop_precomputed(ECGOST* key) {
  MASK_BN_free(key->pre_k);
  BN_free(key->pre_r);
  key->pre_k = nullptr;
  key->pre_r = nullptr;
}

void drop_values(ECGOST* key) {
  ec::priv_clear(key);
  drop_precomputed(key);
  ECPOINT_free(key->Q);
  key->Q = nullptr;
  if (key->pub_buf) mem_free(key->pub_buf);
  key->pub_buf = nullptr;
  key->pub_len = 0;
}

// k and r = x(k*G) mod q; k drawn uniformly from [1, q-1] unless given (a given k is taken mod
// q; 0 fails). Both reductions run over a fixed length, so a short k, or the short x a small k
// may give, takes as long as any other.
bool make_pair(ECGOST* key, const unsigned char* kin, int klen, BIGNUM* k, BIGNUM* r,
               BN_CTX* ctx) {
  const ECURVE* c = key->curve;
  ECPOINT* P = ECPOINT_new(key->curve);
  if (!P) return false;
  BN_set_flags(k, BN_FLG_CONSTTIME);
  bool ok = false;
  for (int attempt = 0; attempt < 64; ++attempt) {
    if (kin) {
      if (!ec::bytes_mod_q(k, kin, klen, c->q, ctx) || BN_is_zero(k)) break;
    } else if (!ec::random_below_q(*c, k)) {
      break;
    }
    if (!ECPOINT_mul_generator(P, k, c) || P->P.inf || !ECPOINT_get_x(P, r) ||
        !ec::mod_q_fixed_length(r, r, c->q, ctx))
      break;
    if (!BN_is_zero(r)) {
      ok = true;
      break;
    }
    if (kin) break;
  }
  ECPOINT_free(P);
  return ok;
}

}  // namespace

namespace ec {

bool digest_to_e(const ECURVE& c, const unsigned char* dgst, int dlen, BIGNUM* e, BN_CTX* ctx) {
  if (!BN_bin2bn(dgst, dlen, e) || !BN_nnmod(e, e, c.q, ctx)) return false;
  if (BN_is_zero(e)) return BN_one(e) != 0;
  return true;
}

bool mod_q_fixed_length(BIGNUM* out, const BIGNUM* v, const BIGNUM* q, BN_CTX* ctx) {
  int bits = BN_num_bits(q);
  if (BN_num_bits(v) > bits) bits = BN_num_bits(v);
  BnPtr t(BN_secure_new());
  if (!t) return false;
  BN_set_flags(t.get(), BN_FLG_CONSTTIME);
  BN_set_flags(out, BN_FLG_CONSTTIME);
  return BN_lshift(t.get(), q, 64 * ((bits + 63) / 64)) && BN_add(t.get(), t.get(), v) &&
         BN_nnmod(out, t.get(), q, ctx);
}

bool bytes_mod_q(BIGNUM* out, const unsigned char* in, int len, const BIGNUM* q, BN_CTX* ctx) {
  const int qn = BN_num_bytes(q);
  if (len < 0 || qn <= 0) return false;
  SecureBuffer buf(static_cast<std::size_t>(qn + len));
  BnPtr t(BN_secure_new());
  if (!t || buf.size() != static_cast<std::size_t>(qn + len) ||
      BN_bn2binpad(q, buf.data(), qn) != qn)
    return false;
  if (len > 0) std::memcpy(buf.data() + qn, in, static_cast<std::size_t>(len));
  BN_set_flags(t.get(), BN_FLG_CONSTTIME);
  BN_set_flags(out, BN_FLG_CONSTTIME);
  return BN_bin2bn(buf.data(), qn + len, t.get()) && BN_nnmod(out, t.get(), q, ctx);
}

bool random_below_q(const ECURVE& c, BIGNUM* out) {
  // 64 bits more than q has, reduced mod q - 1, plus 1: uniform on [1, q-1] to within 2^-64.
  const int nbytes = (BN_num_bits(c.q) + 7) / 8 + 8;
  unsigned char buf[66 + 8];
  if (nbytes > static_cast<int>(sizeof buf)) return false;
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr v(BN_secure_new()), qm1(BN_dup(c.q));
  bool ok = ctx && v && qm1 && BN_sub_word(qm1.get(), 1) && !BN_is_zero(qm1.get()) &&
            RAND_bytes(buf, nbytes) == nbytes && BN_bin2bn(buf, nbytes, v.get());
  if (ok) {
    BN_set_flags(v.get(), BN_FLG_CONSTTIME);
    BN_set_flags(out, BN_FLG_CONSTTIME);
    ok = BN_mod(out, v.get(), qm1.get(), ctx.get()) && BN_add_word(out, 1);
  }
  OPENSSL_cleanse(buf, sizeof buf);
  return ok;
}

bool pubkey_usable(const ECPOINT* q, int func) {
  if (q && ECGOST_is_pubkey_valid(q, 1)) return true;
  ECGOST_ERR(func, ECGOST_R_INVALID_PUBLIC_KEY);
  return false;
}

}  // namespace ec

// --- Key objects ---

ECGOST* ECGOST_new(ECURVE* curve) {
  auto* key = static_cast<ECGOST*>(ec::alloc_on_curve(sizeof(ECGOST), curve, ECGOST_F_ECGOST_NEW));
  if (!key) return nullptr;
  key->curve = curve;
  key->references = 1;
  key->pubkey_nid = NID_CP_2001_A;
  key->digest_nid = NID_CP_R3411_94_PARAMSET;
  key->cipher_nid = 0;
  return key;
}

int ECGOST_up_ref(ECGOST* key) {
  if (!key) return 0;
  ec::ref_up(key->references);
  return 1;
}

void ECGOST_free(ECGOST* key) {
  if (!key || !ec::ref_down(key->references)) return;
  drop_values(key);
  BN_clear_free(key->enc_d);
  PSE_free(key->container);
  ECURVE_free(key->curve);
  mem_cleanse(key, sizeof *key);
  mem_free(key);
}

ECURVE* ECGOST_get_curve(const ECGOST* key) { return key ? key->curve : nullptr; }

int ECGOST_set_curve(ECGOST* key, ECURVE* curve) {
  if (!key || !curve) return bad_args(ECGOST_F_ECGOST_NEW);
  ECURVE_up_ref(curve);
  LockGuard g(locks::EC);
  drop_values(key);
  BN_clear_free(key->enc_d);
  key->enc_d = nullptr;
  ECURVE_free(key->curve);
  key->curve = curve;
  return 1;
}

int ECGOST_set_private(ECGOST* key, const BIGNUM* d) {
  if (!key || !d) return bad_args(ECGOST_F_ECGOST_NEW);
  if (BN_is_negative(d) || BN_is_zero(d) || BN_cmp(d, key->curve->q) >= 0) {
    ECGOST_ERR(ECGOST_F_ECGOST_NEW, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  LockGuard g(locks::EC);
  drop_precomputed(key);
  BN_clear_free(key->enc_d);
  key->enc_d = nullptr;
  return ec::priv_store(key, d) ? 1 : 0;
}

int ECGOST_get_private(const ECGOST* key, BIGNUM* d) {
  if (!key || !d) return 0;
  LockGuard g(locks::EC);
  if (!ec::priv_present(key)) return 0;
  return ec::priv_load(key, d) ? 1 : 0;
}

int ECGOST_has_private(const ECGOST* key) {
  if (!key) return 0;
  LockGuard g(locks::EC);
  return ec::priv_present(key) ? 1 : 0;
}
int ECGOST_is_opaque(const ECGOST* key) { return key && key->enc_d ? 1 : 0; }

int ECGOST_set_public(ECGOST* key, const ECPOINT* q) {
  if (!key || !q) return bad_args(ECGOST_F_ECGOST_NEW);
  // Infinity, points off the curve or outside the group of order q are no one's public key.
  if (!ec::pubkey_usable(q, ECGOST_F_ECGOST_NEW)) return 0;
  ECPOINT* copy = ECPOINT_new(key->curve);
  if (!copy || !ECPOINT_copy(copy, q) || !ECPOINT_normalize(copy)) {
    ECPOINT_free(copy);
    return 0;
  }
  ECPOINT_free(key->Q);
  key->Q = copy;
  if (key->pub_buf) mem_free(key->pub_buf);
  key->pub_buf = nullptr;
  key->pub_len = 0;
  return 1;
}

const ECPOINT* ECGOST_get_public(const ECGOST* key) { return key ? key->Q : nullptr; }

void ECGOST_set_paramsets(ECGOST* key, int pubkey_nid, int digest_nid, int cipher_nid) {
  if (!key) return;
  key->pubkey_nid = pubkey_nid;
  key->digest_nid = digest_nid;
  key->cipher_nid = cipher_nid;
}

void ECGOST_get_paramsets(const ECGOST* key, int* pubkey_nid, int* digest_nid, int* cipher_nid) {
  if (!key) return;
  if (pubkey_nid) *pubkey_nid = key->pubkey_nid;
  if (digest_nid) *digest_nid = key->digest_nid;
  if (cipher_nid) *cipher_nid = key->cipher_nid;
}

int ECGOST_generate_pubkey(ECGOST* key) {
  if (!key) return bad_args(ECGOST_F_GENERATE_PUBKEY);
  BnPtr d(BN_secure_new());
  ECPOINT* Q = ECPOINT_new(key->curve);
  bool ok = d && Q;
  if (ok) {
    LockGuard g(locks::EC);
    ok = ec::priv_present(key) && ec::priv_load(key, d.get());
  }
  ok = ok && ECPOINT_mul_generator(Q, d.get(), key->curve) && ECPOINT_to_affine(Q) && !Q->P.inf;
  if (!ok) {
    ECPOINT_free(Q);
    ECGOST_ERR(ECGOST_F_GENERATE_PUBKEY, R_INTERNAL_ERROR);
    return 0;
  }
  LockGuard g(locks::EC);
  ECPOINT_free(key->Q);
  key->Q = Q;
  if (key->pub_buf) mem_free(key->pub_buf);
  key->pub_buf = nullptr;
  key->pub_len = 0;
  return 1;
}

int ECGOST_key_pair_generation(ECGOST* key) {
  if (!key) return bad_args(ECGOST_F_KEY_PAIR_GENERATION);
  BnPtr d(BN_secure_new());
  if (!d || !ec::random_below_q(*key->curve, d.get()) ||
      !ECGOST_set_private(key, d.get()) || !ECGOST_generate_pubkey(key)) {
    ECGOST_ERR(ECGOST_F_KEY_PAIR_GENERATION, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int ECGOST_is_pubkey_valid(const ECPOINT* q, int full) {
  if (!q) return bad_args(ECGOST_F_IS_PUBKEY_VALID);
  const ECURVE* c = q->curve;
  ECPOINT* a = ECPOINT_dup(q);
  BnPtr x(BN_new()), y(BN_new());
  int reason = 0;
  if (!a || !x || !y || !ECPOINT_normalize(a)) {
    reason = LIB_ECGOST;
  } else if (a->P.inf) {
    reason = LIB_ECGOST;
  } else if (!ECPOINT_get_xy(a, x.get(), y.get()) || BN_cmp(x.get(), c->p) >= 0 ||
             BN_cmp(y.get(), c->p) >= 0) {
    // Coordinates must be field elements. Zero is one: the CryptoPro-C generator has x = 0.
    reason = LIB_ECGOST;
  } else if (ECPOINT_lies(a) != 1) {
    reason = R_INTERNAL_ERROR;
  } else if (full && !(c->h && BN_is_one(c->h))) {
    // With cofactor 1 the curve's group has prime order q, so every point on the curve other
    // than infinity has order q and the multiplication below could only confirm it.
    ECPOINT* t = ECPOINT_new(a->curve);
    if (!t || !ec::jp_mul_3k(*c, t->P, a->P, c->q) || !t->P.inf) reason = R_INTERNAL_ERROR;
    ECPOINT_free(t);
  }
  ECPOINT_free(a);
  if (reason) {
    ECGOST_ERR(ECGOST_F_IS_PUBKEY_VALID, reason);
    return 0;
  }
  return 1;
}

// --- Signing and verification ---

int ECGOST_sign_setup(ECGOST* key, const unsigned char* k, int klen) {
  if (!key || (k && klen <= 0)) return bad_args(ECGOST_F_SIGN_SETUP);
  if (k) {
    // A given k longer than q is no nonce of this curve: any byte set ahead of q's length.
    // Every byte is looked at, so the check takes as long for every k of one length.
    const int extra = klen - BN_num_bytes(key->curve->q);
    unsigned char ahead = 0;
    for (int i = 0; i < extra; ++i) ahead |= k[i];
    if (ahead != 0) return bad_args(ECGOST_F_SIGN_SETUP);
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr kk(BN_secure_new()), kp(BN_secure_new());
  BIGNUM* r = BN_new();
  MASKED_BN* mk = nullptr;
  // k is kept as k + q * 2^(64 w), w the words of q: the same k mod q, always 2w words long, so
  // masking and unmasking it take as long for every k.
  const int words = (BN_num_bits(key->curve->q) + 63) / 64;
  if (!ctx || !kk || !kp || !r || !make_pair(key, k, klen, kk.get(), r, ctx.get()) ||
      !BN_lshift(kp.get(), key->curve->q, 64 * words) || !BN_add(kp.get(), kp.get(), kk.get()) ||
      !(mk = MASK_BN_from_bn(kp.get()))) {
    BN_free(r);
    ECGOST_ERR(ECGOST_F_SIGN_SETUP, R_INTERNAL_ERROR);
    return 0;
  }
  LockGuard g(locks::EC);
  drop_precomputed(key);
  key->pre_k = mk;
  key->pre_r = r;
  return 1;
}

ECGOST_SIG* ECGOST_do_sign(const unsigned char* dgst, int dlen, ECGOST* key) {
  if (!dgst || dlen <= 0 || !key) {
    bad_args(ECGOST_F_DO_SIGN);
    return nullptr;
  }
  if (!ECGOST_has_private(key)) {
    ERR_set_status_once(ECGOST_STATUS_SIGN_FAILED);
    ECGOST_ERR(ECGOST_F_DO_SIGN, ECGOST_R_INVALID_PARAMETERS);
    return nullptr;
  }
  const ECURVE* c = key->curve;
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr e(BN_new()), d(BN_secure_new()), k(BN_secure_new()), r(BN_new()), s(BN_new()),
      t(BN_secure_new());
  ECGOST_SIG* sig = nullptr;
  bool ok = ctx && e && d && k && r && s && t && ec::digest_to_e(*c, dgst, dlen, e.get(), ctx.get());
  if (ok) {
    // Numbers that hold secrets (only once all were made: a failed allocation leaves nulls).
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    BN_set_flags(k.get(), BN_FLG_CONSTTIME);
    BN_set_flags(t.get(), BN_FLG_CONSTTIME);
  }
  for (int attempt = 0; ok && attempt < 64; ++attempt) {
    bool have_pair = false;
    {
      // d and the precomputed pair are read under the key's lock: another thread may be
      // turning the key into its opaque form.
      LockGuard g(locks::EC);
      if (key->pre_k) {
        // The precomputed pair serves exactly one signature.
        BIGNUM* pk = MASK_BN_unmasked_copy(key->pre_k);
        ok = pk && BN_copy(k.get(), pk) && BN_copy(r.get(), key->pre_r);
        BN_clear_free(pk);
        drop_precomputed(key);
        have_pair = true;
      }
      ok = ok && ec::priv_present(key) && ec::priv_load(key, d.get());
    }
    if (ok && !have_pair) ok = make_pair(key, nullptr, 0, k.get(), r.get(), ctx.get());
    // s = (r*d + k*e) mod q; d leaves its store only for the product.
    ok = ok && BN_mod_mul(s.get(), r.get(), d.get(), c->q, ctx.get());
    BN_clear(d.get());
    ok = ok && BN_mod_mul(t.get(), k.get(), e.get(), c->q, ctx.get()) &&
         BN_mod_add(s.get(), s.get(), t.get(), c->q, ctx.get());
    if (ok && !BN_is_zero(s.get())) {
      sig = ECGOST_SIG_new();
      if (!sig) break;
      ok = BN_copy(sig->r, r.get()) && BN_copy(sig->s, s.get());
      if (!ok) {
        ECGOST_SIG_free(sig);
        sig = nullptr;
      }
      break;
    }
  }
  if (!sig) {
    ERR_set_status_once(ECGOST_STATUS_SIGN_FAILED);
    ECGOST_ERR(ECGOST_F_DO_SIGN, R_INTERNAL_ERROR);
  }
  return sig;
}

int ECGOST_do_verify(const unsigned char* dgst, int dlen, const ECGOST_SIG* sig, ECGOST* key) {
  if (!dgst || dlen <= 0 || !sig || !sig->r || !sig->s || !key || !key->Q) {
    bad_args(ECGOST_F_DO_VERIFY);
    return -1;
  }
  if (!ec::pubkey_usable(key->Q, ECGOST_F_DO_VERIFY)) {
    ERR_set_status(ECGOST_STATUS_BAD_SIGNATURE);
    return -1;
  }
  const ECURVE* c = key->curve;
  int reason = 0;
  if (BN_is_zero(sig->r) || BN_is_negative(sig->r))
    reason = ECGOST_R_ZERO_R;
  else if (BN_cmp(sig->r, c->q) >= 0)
    reason = ECGOST_R_R_TOO_BIG;
  else if (BN_is_zero(sig->s) || BN_is_negative(sig->s))
    reason = ECGOST_R_ZERO_S;
  else if (BN_cmp(sig->s, c->q) >= 0)
    reason = ECGOST_R_S_TOO_BIG;
  if (reason) {
    ECGOST_ERR(ECGOST_F_DO_VERIFY, reason);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr e(BN_new()), v(BN_new()), z1(BN_new()), z2(BN_new()), R(BN_new());
  ECPOINT* A = ECPOINT_new(key->curve);
  ECPOINT* B = ECPOINT_new(key->curve);
  bool ok = ctx && e && v && z1 && z2 && R && A && B &&
            ec::digest_to_e(*c, dgst, dlen, e.get(), ctx.get());
  if (ok) {
    ec::ossl_mark();
    ok = BN_mod_inverse(v.get(), e.get(), c->q, ctx.get()) != nullptr;
    ec::ossl_pop();
  }
  ok = ok && BN_mod_mul(z1.get(), sig->s, v.get(), c->q, ctx.get()) &&
       BN_mod_mul(z2.get(), sig->r, v.get(), c->q, ctx.get()) &&
       (BN_is_zero(z2.get()) || BN_sub(z2.get(), c->q, z2.get())) &&
       ec::mul_generator_public(A, z1.get(), c) && ec::mul_public(B, key->Q, z2.get()) &&
       ECPOINT_add(A, A, B);
  int result = -1;
  if (ok) {
    if (A->P.inf) {
      result = 0;
    } else if (ECPOINT_get_x(A, R.get()) && BN_nnmod(R.get(), R.get(), c->q, ctx.get())) {
      result = BN_cmp(R.get(), sig->r) == 0 ? 1 : 0;
    }
  }
  ECPOINT_free(A);
  ECPOINT_free(B);
  if (result == 0) {
    ERR_set_status(ECGOST_STATUS_BAD_SIGNATURE);
    ECGOST_ERR(ECGOST_F_DO_VERIFY, ECGOST_R_SIGNATURE_FAILURE);
  } else if (result < 0) {
    ECGOST_ERR(ECGOST_F_DO_VERIFY, R_INTERNAL_ERROR);
  }
  return result;
}

// --- Signature objects and forms ---

ECGOST_SIG* ECGOST_SIG_new() {
  auto* sig = static_cast<ECGOST_SIG*>(mem_alloc(sizeof(ECGOST_SIG)));
  if (!sig) {
    ECGOST_ERR(ECGOST_F_ECGOST_SIG_NEW, R_MALLOC_FAILURE);
    ERR_set_status(ECGOST_STATUS_NO_MEMORY);
    return nullptr;
  }
  sig->r = BN_new();
  sig->s = BN_new();
  if (!sig->r || !sig->s) {
    ECGOST_SIG_free(sig);
    ECGOST_ERR(ECGOST_F_ECGOST_SIG_NEW, R_MALLOC_FAILURE);
    ERR_set_status(ECGOST_STATUS_NO_MEMORY);
    return nullptr;
  }
  return sig;
}

void ECGOST_SIG_free(ECGOST_SIG* sig) {
  if (!sig) return;
  BN_free(sig->r);
  BN_free(sig->s);
  mem_free(sig);
}

int i2d_ECGOST_SIG(const ECGOST_SIG* sig, unsigned char** pp) {
  if (!sig || !sig->r || !sig->s) return bad_args(ECGOST_F_I2D_ECGOST_SIG);
  der::Writer w;
  w.open(der::TAG_SEQUENCE);
  if (!w.integer(sig->r) || !w.integer(sig->s)) {
    ECGOST_ERR(ECGOST_F_I2D_ECGOST_SIG, R_INTERNAL_ERROR);
    return 0;
  }
  w.close();
  if (pp && !*pp) {
    // As with OpenSSL's encoders: a buffer of the right size is made for the caller (freed
    // with mem_free) and *pp points at its start.
    auto* out = static_cast<unsigned char*>(mem_alloc(w.size()));
    if (!out) {
      ECGOST_ERR(ECGOST_F_I2D_ECGOST_SIG, R_MALLOC_FAILURE);
      return 0;
    }
    std::memcpy(out, w.bytes().data(), w.size());
    *pp = out;
  } else if (pp) {
    std::memcpy(*pp, w.bytes().data(), w.size());
    *pp += w.size();
  }
  return static_cast<int>(w.size());
}

ECGOST_SIG* d2i_ECGOST_SIG(ECGOST_SIG** out, const unsigned char** pp, long len, int type) {
  if (!pp || !*pp || len <= 0) {
    ECGOST_ERR(ECGOST_F_D2I_ECGOST_SIG, ECGOST_R_INVALID_PARAMETERS);
    return nullptr;
  }
  ECGOST_SIG* sig = ECGOST_SIG_new();
  if (!sig) return nullptr;
  const unsigned char* in = *pp;
  const auto n = static_cast<std::size_t>(len);
  bool ok = false;
  std::size_t used = n;
  if (type == ECGOST_SIG_RAW) {
    ok = n % 2 == 0 && BN_bin2bn(in, static_cast<int>(n / 2), sig->r) &&
         BN_bin2bn(in + n / 2, static_cast<int>(n / 2), sig->s);
  } else if (type == ECGOST_SIG_CP) {
    ok = n == 64 && BN_bin2bn(in, 32, sig->s) && BN_bin2bn(in + 32, 32, sig->r);
  } else {
    der::Reader rd(std::span<const unsigned char>(in, n)), seq(std::span<const unsigned char>{});
    // The signature is the whole input, as in the other decoders of keys and signatures.
    ok = rd.enter(der::TAG_SEQUENCE, seq) && seq.integer(sig->r) && seq.integer(sig->s) &&
         seq.empty() && rd.empty();
    used = n - rd.remaining();
  }
  if (!ok) {
    ECGOST_SIG_free(sig);
    ECGOST_ERR(ECGOST_F_D2I_ECGOST_SIG, R_INTERNAL_ERROR);
    return nullptr;
  }
  *pp += used;
  if (out) {
    ECGOST_SIG_free(*out);
    *out = sig;
  }
  return sig;
}

int ECGOST_SIG_to_raw(const ECGOST_SIG* sig, int nbytes, unsigned char* out) {
  if (!sig || !out || nbytes <= 0 || BN_bn2binpad(sig->r, out, nbytes) != nbytes ||
      BN_bn2binpad(sig->s, out + nbytes, nbytes) != nbytes)
    return 0;
  return 2 * nbytes;
}

int ECGOST_SIG_to_cp(const ECGOST_SIG* sig, int nbytes, unsigned char* out) {
  if (!sig || !out || nbytes <= 0 || BN_bn2binpad(sig->s, out, nbytes) != nbytes ||
      BN_bn2binpad(sig->r, out + nbytes, nbytes) != nbytes)
    return 0;
  return 2 * nbytes;
}

int ECGOST_size(const ECGOST* key) {
  if (!key) return 0;
  const int n = ECURVE_order_bytes(key->curve);
  const int integer = 2 + n + 1;
  const int content = 2 * integer;
  return content + (content < 128 ? 2 : 3);
}

namespace {

// Signing by a key held by a cryptographic service provider.
int sign_with_provider(int type, const unsigned char* dgst, int dlen, unsigned char* sig,
                       unsigned int* siglen, ECGOST* key) {
  const platform::CspProvider* csp = platform::csp_provider();
  if (!csp) {
    ERR_set_status_once(ECGOST_STATUS_SIGN_FAILED);
    ECGOST_ERR(ECGOST_F_DO_SIGN, ECGOST_R_UNSUPPORTED_FIELD);
    return 0;
  }
  // The caller's digest stays as given; the provider gets a reversed copy for the CryptoPro
  // form.
  unsigned char hv[64];
  if (dlen > static_cast<int>(sizeof hv)) return bad_args(ECGOST_F_DO_SIGN);
  std::memcpy(hv, dgst, static_cast<std::size_t>(dlen));
  if (type == ECGOST_SIG_CP) BUF_reverse(hv, static_cast<std::size_t>(dlen));
  std::uintptr_t hash = 0;
  unsigned long len = 0;
  unsigned char out[256];
  bool ok = csp->create_hash(key->provider, type == ECGOST_SIG_CP ? 0x801E : 0x8033, &hash) &&
            csp->set_hash_param(hash, 2, hv) &&
            csp->sign_hash(hash, key->keyspec, nullptr, 0, nullptr, &len) && len > 0 &&
            len <= sizeof out && csp->sign_hash(hash, key->keyspec, nullptr, 0, out, &len);
  if (hash) csp->destroy_hash(hash);
  if (!ok) {
    ERR_set_status_once(ECGOST_STATUS_SIGN_FAILED);
    ECGOST_ERR(ECGOST_F_DO_SIGN, R_INTERNAL_ERROR);
    return 0;
  }
  BUF_reverse(out, len);
  if (type == ECGOST_SIG_RAW) {
    const unsigned char* p = out;
    ECGOST_SIG* s = d2i_ECGOST_SIG(nullptr, &p, static_cast<long>(len), ECGOST_SIG_DER);
    const int n = ECURVE_order_bytes(key->curve);
    const int written = s ? ECGOST_SIG_to_raw(s, n, sig) : 0;
    ECGOST_SIG_free(s);
    if (!written) {
      ERR_set_status_once(ECGOST_STATUS_SIGN_FAILED);
      ECGOST_ERR(ECGOST_F_DO_SIGN, R_INTERNAL_ERROR);
      return 0;
    }
    *siglen = static_cast<unsigned>(written);
    return 1;
  }
  // Callers size their buffers by ECGOST_size; a longer answer is not a signature of this key.
  if (len > static_cast<unsigned long>(ECGOST_size(key))) {
    ERR_set_status_once(ECGOST_STATUS_SIGN_FAILED);
    ECGOST_ERR(ECGOST_F_DO_SIGN, R_INTERNAL_ERROR);
    return 0;
  }
  std::memcpy(sig, out, len);
  *siglen = static_cast<unsigned>(len);
  return 1;
}

}  // namespace

int ECGOST_set_provider(ECGOST* key, std::uintptr_t provider, unsigned keyspec) {
  if (!key) return bad_args(ECGOST_F_ECGOST_NEW);
  key->provider = provider;
  key->keyspec = keyspec;
  return 1;
}

int ECGOST_sign(int type, const unsigned char* dgst, int dlen, unsigned char* sig,
                unsigned int* siglen, ECGOST* key) {
  if (!dgst || dlen <= 0 || !sig || !siglen || !key) return bad_args(ECGOST_F_DO_SIGN);
  if (key->provider) return sign_with_provider(type, dgst, dlen, sig, siglen, key);
  ECGOST_SIG* s = ECGOST_do_sign(dgst, dlen, key);
  if (!s) return 0;
  const int n = ECURVE_order_bytes(key->curve);
  int len = 0;
  if (type == ECGOST_SIG_RAW) {
    len = ECGOST_SIG_to_raw(s, n, sig);
  } else if (type == ECGOST_SIG_CP) {
    len = ECGOST_SIG_to_cp(s, n, sig);
  } else {
    unsigned char* p = sig;
    len = i2d_ECGOST_SIG(s, &p);
  }
  ECGOST_SIG_free(s);
  if (len <= 0) {
    ERR_set_status_once(ECGOST_STATUS_SIGN_FAILED);
    ECGOST_ERR(ECGOST_F_DO_SIGN, R_INTERNAL_ERROR);
    return 0;
  }
  *siglen = static_cast<unsigned>(len);
  return 1;
}

int ECGOST_verify(int type, const unsigned char* dgst, int dlen, const unsigned char* sig,
                  int siglen, ECGOST* key) {
  if (!sig || siglen <= 0) {
    bad_args(ECGOST_F_DO_VERIFY);
    return 0;
  }
  const unsigned char* p = sig;
  ECGOST_SIG* s = d2i_ECGOST_SIG(nullptr, &p, siglen, type);
  if (!s) return 0;
  // DER must use every byte it is given.
  int rc = (type != ECGOST_SIG_RAW && type != ECGOST_SIG_CP && p != sig + siglen)
               ? 0
               : ECGOST_do_verify(dgst, dlen, s, key);
  ECGOST_SIG_free(s);
  return rc;
}

}  // namespace jarnel
