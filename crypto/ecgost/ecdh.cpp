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
  BN_clear_free(dh->d);
  BN_clear_free(dh->shared);
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
  BnPtr v(BN_secure_new());
  if (!v || !BN_copy(v.get(), d)) {
    ECGOST_ERR(ECGOST_F_ECDH_GENERATE_KEY, R_MALLOC_FAILURE);
    return 0;
  }
  BN_clear_free(dh->d);
  dh->d = v.release();
  ECPOINT_free(dh->Q);
  dh->Q = nullptr;
  return 1;
}

const ECPOINT* ECDH_get_public(const ECDH* dh) { return dh ? dh->Q : nullptr; }

int ECDH_generate_key(ECDH* dh) {
  if (!dh) return bad_args(ECGOST_F_ECDH_GENERATE_KEY);
  bool ok = true;
  if (!dh->d) {
    BnPtr d(BN_secure_new());
    ok = d && ec::random_below_q(*dh->curve, d.get(), BN_num_bits(dh->curve->q));
    if (ok) dh->d = d.release();
  }
  if (ok && !dh->Q) {
    PointPtr Q(ECPOINT_new(dh->curve));
    ok = Q && ECPOINT_mul_generator(Q.get(), dh->d, dh->curve) && ECPOINT_to_affine(Q.get()) &&
         !Q->P.inf;
    if (ok) dh->Q = Q.release();
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
  BnPtr t(BN_secure_new()), x(BN_new());
  PointPtr S(ECPOINT_new(dh->curve));
  bool ok = ctx && t && x && S;
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
        ok = BN_mul(t.get(), c->h, dh->d, ctx.get());
        break;
      case ECDH_COMPAT_COFACTOR:
        // (h^-1 d mod q) * h: the cofactor clears any small-order part of the peer's point
        // while the result equals d * peer for points of order q.
        ec::ossl_mark();
        ok = BN_mod_inverse(t.get(), c->h, c->q, ctx.get()) != nullptr;
        ec::ossl_pop();
        ok = ok && BN_mod_mul(t.get(), t.get(), dh->d, c->q, ctx.get()) &&
             BN_mul(t.get(), t.get(), c->h, ctx.get());
        break;
      default:
        ok = BN_copy(t.get(), dh->d) != nullptr;
    }
  }
  ok = ok && ECPOINT_mul(S.get(), peer, t.get()) && !S->P.inf && ECPOINT_get_x(S.get(), x.get());
  if (!ok) {
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_ECDH_COMPUTE_KEY, R_INTERNAL_ERROR);
    return 0;
  }
  if (!dh->shared) dh->shared = BN_secure_new();
  if (!dh->shared || !BN_copy(dh->shared, x.get()) || (shared && !BN_copy(shared, x.get()))) {
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
  bool ok = ctx && t && ec::priv_present(key) && ec::priv_load(key, t.get()) &&
            (!ukm || BN_mod_mul(t.get(), t.get(), ukm, c->q, ctx.get())) &&
            !BN_is_zero(t.get()) && ECPOINT_mul(out, peer, t.get()) && !out->P.inf &&
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
         ECDH_set_private(dh, d.get());
    if (ok) {
      ECPOINT_free(dh->Q);
      dh->Q = Q.release();
    }
  } else {
    BN_clear_free(dh->d);
    dh->d = nullptr;
    ECPOINT_free(dh->Q);
    dh->Q = nullptr;
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
  if (out && given >= need)
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
    ECGOST_ERR(ECGOST_F_DH_COMPUTE_KEY, R_INTERNAL_ERROR);
    return 0;
  }
  BN_bn2bin(x.get(), out);
  return 1;
}

}  // namespace jarnel
