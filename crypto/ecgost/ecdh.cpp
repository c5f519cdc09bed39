// Diffie-Hellman on curves (three cofactor modes), the VKO point, and the octet-level DH and
// key-generation entry points used by the key store.
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <cstring>
#include <memory>

#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ec_priv.h"
#include "crypto/ecgost/ec_selftest.h"
#include "crypto/lock.h"
#include "crypto/mem.h"

namespace jarnel {

using ec::bad_args;
using ec::BnCtxPtr;
using ec::BnPtr;
using ec::KeyPtr;
using ec::PointPtr;

ECDH* ECDH_new(ECURVE* curve, int mode) {
  ECURVE* c = curve;
  auto* dh = static_cast<ECDH*>(ec::alloc_on_curve(sizeof(ECDH), c, ECGOST_F_ECDH_NEW));
  if (!dh) return nullptr;
  dh->curve = c;
  dh->references = 1;
  // Without a cofactor only the plain mode makes sense.
  dh->mode = (mode == ECDH_COFACTOR || mode == ECDH_COMPAT_COFACTOR) && c->h ? mode : ECDH_PLAIN;
  return dh;
}

int ECDH_up_ref(ECDH* dh) {
  if (!dh) return 0;
  ec::ref_up(dh->references);
  return 1;
}

void ECDH_free(ECDH* dh) {
  if (!dh || !ec::ref_down(dh->references)) return;
  MASK_BN_free(dh->d);
  ECPOINT_free(dh->Q);
  ECURVE_free(dh->curve);
  mem_cleanse(dh, sizeof *dh);
  mem_free(dh);
}

int ECDH_get_mode(const ECDH* dh) { return dh ? dh->mode : -1; }

int ECDH_set_private(ECDH* dh, const BIGNUM* d) {
  if (!dh || !d) return bad_args(ECGOST_F_ECDH_GENERATE_KEY);
  if (BN_is_zero(d) || BN_is_negative(d) || BN_cmp(d, dh->curve->q) >= 0) {
    ECGOST_ERR(ECGOST_F_ECDH_GENERATE_KEY, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  MASKED_BN* v = MASK_BN_from_bn(d, BN_num_bytes(dh->curve->q));
  if (!v) {
    ECGOST_ERR(ECGOST_F_ECDH_GENERATE_KEY, R_MALLOC_FAILURE);
    return 0;
  }
  LockGuard g(locks::EC);
  MASK_BN_free(dh->d);
  dh->d = v;
  ECPOINT_free(dh->Q);
  dh->Q = nullptr;
  return 1;
}

const ECPOINT* ECDH_get_public(const ECDH* dh) { return dh ? dh->Q : nullptr; }

int ECDH_generate_key(ECDH* dh) {
  if (!dh) return bad_args(ECGOST_F_ECDH_GENERATE_KEY);
  LockGuard g(locks::EC);
  BnPtr d(BN_secure_new());
  bool ok = d != nullptr;
  if (ok && !dh->d) {
    MASKED_BN* m = nullptr;
    ok = ec::random_below_q(*dh->curve, d.get()) && (m = MASK_BN_from_bn(d.get(), BN_num_bytes(dh->curve->q)));
    if (ok) dh->d = m;
  }
  if (ok && !dh->Q) {
    BIGNUM* clear = MASK_BN_unmasked_copy(dh->d);
    ok = clear && BN_copy(d.get(), clear);
    BN_clear_free(clear);
    ECPOINT* Q = ok ? ECPOINT_new(dh->curve) : nullptr;
    ok = Q && ECPOINT_mul_generator(Q, d.get(), dh->curve) && ECPOINT_to_affine(Q) && !Q->P.inf;
    if (ok)
      dh->Q = Q;
    else
      ECPOINT_free(Q);
  }
  if (!ok) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_ECDH_GENERATE_KEY, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int ECDH_compute_key(ECDH* dh, const ECPOINT* peer, BIGNUM* shared) {
  if (!dh || !peer || !dh->d) return bad_args(ECGOST_F_ECDH_COMPUTE_KEY);
  if (dh->selftest_marker != ECGOST_DH_SELFTEST_MARKER && !ECGOST_check_dh()) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    return 0;
  }
  const ECURVE* c = dh->curve;
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr t(BN_secure_new()), x(BN_new()), d;
  PointPtr S(ECPOINT_new(dh->curve));
  {
    LockGuard g(locks::EC);
    d.reset(MASK_BN_unmasked_copy(dh->d));
  }
  bool ok = ctx && t && x && S && d;
  if (ok) {
    BN_set_flags(t.get(), BN_FLG_CONSTTIME);
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
  }
  if (ok && !ECGOST_is_pubkey_valid(peer, dh->mode == ECDH_PLAIN)) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_ECDH_COMPUTE_KEY, LIB_ECGOST);
    return 0;
  }
  if (ok && dh->mode != ECDH_PLAIN && (!c->h || BN_is_zero(c->h))) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_ECDH_COMPUTE_KEY, R_INTERNAL_ERROR);
    return 0;
  }
  if (ok) {
    switch (dh->mode) {
      case ECDH_COFACTOR:
        ok = BN_mul(t.get(), c->h, d.get(), ctx.get());
        break;
      case ECDH_COMPAT_COFACTOR:
        // (h^-1 d mod q) * h: the cofactor clears any small-order part of the peer's point
        // while the result equals d * peer for points of order q.
        ec::ossl_mark();
        ok = BN_mod_inverse(t.get(), c->h, c->q, ctx.get()) != nullptr;
        ec::ossl_pop();
        ok = ok && BN_mod_mul(t.get(), t.get(), d.get(), c->q, ctx.get()) &&
             BN_mul(t.get(), t.get(), c->h, ctx.get());
        break;
      default:
        ok = BN_copy(t.get(), d.get()) != nullptr;
    }
  }
  // In the plain mode the peer passed the full check (order q) and t = d < q.
  ok = ok &&
       (dh->mode == ECDH_PLAIN ? ec::mul_secret_order_q(S.get(), peer, t.get())
                               : ECPOINT_mul(S.get(), peer, t.get())) &&
       !S->P.inf && ECPOINT_get_x(S.get(), x.get());
  if (!ok) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_ECDH_COMPUTE_KEY, R_INTERNAL_ERROR);
    return 0;
  }
  // The shared value goes to the caller only; the object keeps no copy.
  if (shared && !BN_copy(shared, x.get())) {
    ECGOST_ERR(ECGOST_F_ECDH_COMPUTE_KEY, R_MALLOC_FAILURE);
    return 0;
  }
  return 1;
}

int ECGOST_vko_point(ECPOINT* out, const ECPOINT* peer, const BIGNUM* ukm, ECGOST* key) {
  if (!out || !peer || !key) return bad_args(ECGOST_F_ECDH_COMPUTE_KEY);
  if (key->selftest_marker != ECGOST_DH_SELFTEST_MARKER && !ECGOST_check_dh()) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    return 0;
  }
  const ECURVE* c = key->curve;
  if (!ECGOST_is_pubkey_valid(peer, 1)) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_ECDH_COMPUTE_KEY, LIB_ECGOST);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr t(BN_secure_new());
  bool ok = ctx && t;
  if (ok) {
    BN_set_flags(t.get(), BN_FLG_CONSTTIME);
    LockGuard g(locks::EC);
    ok = ec::priv_present(key) && ec::priv_load(key, t.get());
  }
  ok = ok && (!ukm || BN_mod_mul(t.get(), t.get(), ukm, c->q, ctx.get())) &&
            !BN_is_zero(t.get()) && ec::mul_secret_order_q(out, peer, t.get()) && !out->P.inf &&
            ECPOINT_to_affine(out);
  if (!ok) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_ECDH_COMPUTE_KEY, LIB_ECGOST);
    return 0;
  }
  return 1;
}

int ECGOST_DH_generate_key(ECDH* dh, PSE* container, const unsigned char* priv36,
                           const unsigned char* pub, int publen, unsigned char* out,
                           int* outlen, int flags) {
  if (!dh || !outlen) return bad_args(ECGOST_F_DH_GENERATE_KEY);
  bool ok = true;
  if (priv36 && pub) {
    // Stored pair: d from the 36 bytes (through the container when one is given), Q from the
    // octets.
    BnPtr d(BN_secure_new());
    KeyPtr tmp(ECGOST_new(dh->curve));
    ok = d && tmp;
    if (ok && container) {
      ok = ECGOST_set_opaque(tmp.get(), priv36) && ECGOST_decrypt_opaque(tmp.get(), container) &&
           ECGOST_get_private(tmp.get(), d.get());
    } else if (ok) {
      ok = BN_bin2bn(priv36, 32, d.get()) != nullptr;
    }
    tmp.reset();
    PointPtr Q(ECPOINT_new(dh->curve));
    ok = ok && Q && ECPOINT_bi2point(Q.get(), pub, static_cast<std::size_t>(publen)) &&
         ec::pubkey_usable(Q.get(), ECGOST_F_DH_GENERATE_KEY) && ECDH_set_private(dh, d.get());
    if (ok) {
      ECPOINT_free(dh->Q);
      dh->Q = Q.release();
    }
  } else {
    {
      LockGuard g(locks::EC);
      MASK_BN_free(dh->d);
      dh->d = nullptr;
      ECPOINT_free(dh->Q);
      dh->Q = nullptr;
    }
    ok = ECDH_generate_key(dh);
  }
  const int compressed = (flags & ECGOST_FLAG_COMPRESSED) ? 1 : 0;
  int need = ok ? ECPOINT_point2bin(dh->Q, compressed, nullptr, 0) : 0;
  if (!ok || need <= 0) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_DH_GENERATE_KEY, LIB_ECGOST);
    return 0;
  }
  const int given = *outlen;
  *outlen = need;
  if (!out) return 1;  // a length query
  if (given < need) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_DH_GENERATE_KEY, R_INTERNAL_ERROR);
    return 0;
  }
  ECPOINT_point2bin(dh->Q, compressed, out, static_cast<std::size_t>(given));
  return 1;
}

int ECGOST_DH_compute_key(ECDH* dh, const unsigned char* peer, int peerlen, unsigned char* out,
                          int* outlen) {
  if (!dh || !peer || peerlen <= 0 || !outlen) return bad_args(ECGOST_F_DH_COMPUTE_KEY);
  PointPtr P(ECPOINT_new(dh->curve));
  BnPtr x(BN_secure_new());
  if (!P || !x || !ECPOINT_bi2point(P.get(), peer, static_cast<std::size_t>(peerlen)) ||
      !ECDH_compute_key(dh, P.get(), x.get())) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_DH_COMPUTE_KEY, LIB_ECGOST);
    return 0;
  }
  const int need = BN_num_bytes(x.get());
  const int given = *outlen;
  *outlen = need;
  if (!out || given < need) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_DH_COMPUTE_KEY, R_INTERNAL_ERROR);
    return 0;
  }
  BN_bn2bin(x.get(), out);
  return 1;
}

}  // namespace jarnel
