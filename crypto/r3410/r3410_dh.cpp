// Diffie-Hellman key agreement on the GOST R 34.10-94 parameters, and its conditional
// self-test: before an agreement (or a container key generation) runs, and at most once a
// second, the parameter tables are re-hashed and a fixed agreement on a small test group is
// computed in both directions.
#include <openssl/bn.h>

#include <cstring>

#include "crypto/check/check.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"

namespace jarnel {
namespace r3410 {
namespace {

// The test group: a 128-bit safe prime p = 2q' + 1 and the generator 4 of its subgroup of
// order q'. Both are kept in the constant tables that the parameter check hashes.
constexpr int kTestBytes = 16;
constexpr unsigned char kTestX1[kTestBytes] = {0x1D, 0x2C, 0x3B, 0x4A, 0x59, 0x68, 0x77, 0x86,
                                               0x95, 0xA4, 0xB3, 0xC2, 0xD1, 0xE0, 0xF0, 0x11};
constexpr unsigned char kTestX2[kTestBytes] = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                                               0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF3};
// g^(x1·x2) mod p.
constexpr unsigned char kTestShared[kTestBytes] = {0x71, 0x46, 0x03, 0x74, 0x36, 0xC7,
                                                   0xFB, 0xE6, 0x14, 0xFD, 0xA5, 0x5B,
                                                   0x33, 0x9C, 0x08, 0xAC};

void dh_failed(int func, int reason) {
  set_status_if_unset(R3410_STATUS_KEY_FAILED);
  if (reason) JARNEL_ERR(LIB_GOSTS, func, reason);
  JARNEL_ERR(LIB_GOSTS, func, LIB_GOSTS);
}

// A test object on the test group with a fixed private value.
R3410_DH* test_object(const unsigned char* x) {
  Owned<R3410_DH> dh(R3410_DH_new());
  if (!dh) return nullptr;
  dh->marker = kDhTestMarker;
  dh->p = BN_bin2bn(check_constant(0), kPBytes, nullptr);
  dh->g = BN_bin2bn(check_constant(1), kPBytes, nullptr);
  BnPtr v(BN_bin2bn(x, kTestBytes, nullptr));
  if (!dh->p || !dh->g || !v || !secret_set(dh->x, v.get())) return nullptr;
  return dh.release();
}

// The known-answer step: both public values, the shared value in both directions, compared
// with each other and with the stored answer.
bool dh_known_answer() {
  Owned<R3410_DH> a(test_object(kTestX1)), b(test_object(kTestX2));
  if (!a || !b) return false;
  bool ok = true;
  {
    const int n = R3410_DH_size(a.get());
    SecureBuffer pa(n), pb(n), sa(n), sb(n);
    ok = n == kTestBytes && pa.size() == static_cast<std::size_t>(n) &&
         pb.size() == pa.size() && sa.size() == pa.size() && sb.size() == pa.size() &&
         R3410_DH_generate_key(a.get(), pa.data(), n) == n &&
         R3410_DH_generate_key(b.get(), pb.data(), n) == n &&
         R3410_DH_compute_key(a.get(), pb.data(), n, sa.data(), n) == n &&
         R3410_DH_compute_key(b.get(), pa.data(), n, sb.data(), n) == n &&
         std::memcmp(sa.data(), sb.data(), n) == 0 &&
         std::memcmp(sa.data(), kTestShared, kTestBytes) == 0;
  }
  return ok;
}

// x-th power modulo p with the exponent padded by a multiple of the base's order (q when known,
// else p - 1), so the time does not depend on x.
bool secret_power(BIGNUM* out, const BIGNUM* base, const BIGNUM* x, const R3410_DH* dh,
                  BN_CTX* ctx) {
  BnPtr order(dh->q ? BN_dup(dh->q) : BN_dup(dh->p)), padded(BN_secure_new());
  return order && padded && (dh->q || BN_sub_word(order.get(), 1)) &&
         pad_exponent(x, order.get(), padded.get(), ctx) &&
         BN_mod_exp_mont_consttime(out, base, padded.get(), dh->p, ctx, nullptr);
}

}  // namespace

int dh_check(const R3410_DH* dh) {
  if (dh && dh->marker == kDhTestMarker) return 1;
  if (!CHECK_due(kDhCheckSlot)) return 1;
  if (R3410_params_check() && dh_known_answer()) return 1;
  set_status_if_unset(R3410_STATUS_SELF_TEST);
  ERR_put_error(LIB_GOSTS, GOSTS_F_R3410_CHECK, R_SELF_TEST_ERROR, __FILE__, kDhCheckLine);
  return 0;
}

}  // namespace r3410

using namespace r3410;

R3410_DH* R3410_DH_new() {
  auto* dh = static_cast<R3410_DH*>(mem_alloc(sizeof(R3410_DH)));
  if (!dh) {
    set_status_if_unset(R3410_STATUS_NO_MEMORY);
    JARNEL_ERR(LIB_GOSTS, R3410_F_DH_GENERATE_KEY, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(static_cast<void*>(dh), 0, sizeof(R3410_DH));
  return dh;
}

void R3410_DH_free(R3410_DH* dh) {
  if (!dh) return;
  BN_free(dh->p);
  BN_free(dh->g);
  BN_free(dh->q);
  BN_free(dh->pub);
  secret_clear(dh->x);
  mem_clear_free(dh, sizeof(R3410_DH));
}

R3410_DH* R3410_DH_from_key(const R3410* key) {
  if (!key || !key->p || !key->a) {
    set_status_if_unset(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_DH_GENERATE_KEY, R3410_R_INVALID_DOMAIN_PARAMETERS);
    return nullptr;
  }
  Owned<R3410_DH> dh(R3410_DH_new());
  if (!dh) return nullptr;
  dh->p = BN_dup(key->p);
  dh->g = BN_dup(key->a);
  dh->q = key->q ? BN_dup(key->q) : nullptr;
  bool ok = dh->p && dh->g && (!key->q || dh->q);
  LockGuard guard(locks::R3410);
  if (ok && secret_present(key->x) && !key->key_mac) {
    BnPtr x = secret_copy(key->x);
    ok = x && secret_set(dh->x, x.get());
  }
  if (!ok) {
    dh_failed(R3410_F_DH_GENERATE_KEY, R_MALLOC_FAILURE);
    return nullptr;
  }
  return dh.release();
}

int R3410_DH_size(const R3410_DH* dh) { return dh && dh->p ? BN_num_bytes(dh->p) : 0; }

int R3410_DH_generate_key(R3410_DH* dh, unsigned char* out, int out_len) {
  if (!dh || !dh->p || !dh->g || !out) {
    set_status_if_unset(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_DH_GENERATE_KEY, R3410_R_INVALID_DOMAIN_PARAMETERS);
    return 0;
  }
  if (!dh_check(dh)) {
    dh_failed(R3410_F_DH_GENERATE_KEY, 0);
    return 0;
  }
  const int n = R3410_DH_size(dh);
  if (out_len < n) {
    dh_failed(R3410_F_DH_GENERATE_KEY, R3410_R_BAD_P_LENGTH);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr pub(BN_new());
  if (!ctx || !pub) {
    dh_failed(R3410_F_DH_GENERATE_KEY, R_MALLOC_FAILURE);
    return 0;
  }
  if (!secret_present(dh->x)) {
    // A fresh private value: below q when the group order is known, else below p - 1.
    BnPtr bound(dh->q ? BN_dup(dh->q) : BN_dup(dh->p));
    BnPtr x(BN_secure_new());
    if (!bound || !x || (!dh->q && !BN_sub_word(bound.get(), 1)) ||
        !value_below_q(bound.get(), nullptr, 0, x.get()) || !secret_set(dh->x, x.get())) {
      dh_failed(R3410_F_DH_GENERATE_KEY, R_INTERNAL_ERROR);
      return 0;
    }
  }
  BnPtr x = secret_copy(dh->x);
  if (!x || !secret_power(pub.get(), dh->g, x.get(), dh, ctx.get()) ||
      BN_bn2binpad(pub.get(), out, n) != n) {
    dh_failed(R3410_F_DH_GENERATE_KEY, LIB_BN);
    return 0;
  }
  BN_free(dh->pub);
  dh->pub = pub.release();
  return n;
}

int R3410_DH_compute_key(R3410_DH* dh, const unsigned char* peer, int peer_len,
                         unsigned char* out, int out_len) {
  if (!dh || !dh->p || !peer || !out) {
    set_status_if_unset(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_DH_COMPUTE_KEY, R3410_R_INVALID_DOMAIN_PARAMETERS);
    return 0;
  }
  if (!dh_check(dh)) {
    dh_failed(R3410_F_DH_COMPUTE_KEY, 0);
    return 0;
  }
  const int n = R3410_DH_size(dh);
  if (peer_len != n || out_len < n) {
    dh_failed(R3410_F_DH_COMPUTE_KEY, R3410_R_BAD_P_LENGTH);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr y(BN_bin2bn(peer, peer_len, nullptr));
  BnPtr shared(BN_secure_new());
  if (!ctx || !y || !shared) {
    dh_failed(R3410_F_DH_COMPUTE_KEY, R_MALLOC_FAILURE);
    return 0;
  }
  // 1 < y < p - 1 and, with q known, y of order q: 0, 1, p - 1 and the other elements of small
  // order would give a shared value known to anyone (or reveal x modulo a small order).
  if (!public_value_sound(y.get(), dh->p, dh->q, ctx.get())) {
    dh_failed(R3410_F_DH_COMPUTE_KEY, R3410_R_INVALID_PUBLIC_VALUE);
    return 0;
  }
  BnPtr x = secret_copy(dh->x);
  if (!x) {
    dh_failed(R3410_F_DH_COMPUTE_KEY, R3410_R_INVALID_PRIVATE_KEY);
    return 0;
  }
  BN_set_flags(shared.get(), BN_FLG_CONSTTIME);
  if (!secret_power(shared.get(), y.get(), x.get(), dh, ctx.get()) ||
      BN_bn2binpad(shared.get(), out, n) != n) {
    dh_failed(R3410_F_DH_COMPUTE_KEY, LIB_BN);
    return 0;
  }
  return n;
}

}  // namespace jarnel
