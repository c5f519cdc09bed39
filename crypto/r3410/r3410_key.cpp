// The key object: creation, references, key generation and the masked private value.
#include <openssl/bn.h>

#include <algorithm>
#include <cstring>

#include "crypto/check/check.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/pse/mask.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"
#include "crypto/rand/rand.h"

namespace jarnel {
namespace r3410 {

void drop_triple(R3410* key) {
  MASK_BN_free(key->k);
  BN_clear_free(key->r_pre);
  key->k = nullptr;
  key->r_pre = nullptr;
}

bool pad_exponent(const BIGNUM* e, const BIGNUM* order, BIGNUM* out, BN_CTX* ctx) {
  BnPtr m(BN_new()), rem(BN_new()), t(BN_new());
  const int words = (BN_num_bits(order) + 63) / 64;
  if (!m || !rem || !t || !BN_set_bit(m.get(), 64 * words) ||
      !BN_div(m.get(), rem.get(), m.get(), order, ctx) ||
      (!BN_is_zero(rem.get()) && !BN_add_word(m.get(), 1)) ||
      !BN_mul(t.get(), m.get(), order, ctx))
    return false;
  BN_set_flags(out, BN_FLG_CONSTTIME);
  return BN_add(out, e, t.get()) != 0;
}

bool public_value_sound(const BIGNUM* y, const BIGNUM* p, const BIGNUM* q, BN_CTX* ctx) {
  BnPtr pm1(BN_dup(p)), t(BN_new());
  if (!pm1 || !t || !BN_sub_word(pm1.get(), 1)) return false;
  if (BN_is_negative(y) || BN_cmp(y, BN_value_one()) <= 0 || BN_cmp(y, pm1.get()) >= 0)
    return false;
  if (!q) return true;
  return BN_mod_exp(t.get(), y, q, p, ctx) && BN_is_one(t.get());
}

void set_status_if_unset(std::uint32_t value) {
  if (ERR_get_status() == 0) ERR_set_status(value);
}

bool secret_set(R3410_SECRET& s, const BIGNUM* clear) {
  MASKED_BN* v = MASK_BN_from_bn(clear, kQBytes);
  if (!v) return false;
  MASK_BN_free(s.value);
  s.value = v;
  return true;
}

BnPtr secret_copy(const R3410_SECRET& s) {
  if (!s.value) return nullptr;
  BnPtr v(MASK_BN_unmasked_copy(s.value));
  if (v) BN_set_flags(v.get(), BN_FLG_CONSTTIME);
  return v;
}

bool secret_present(const R3410_SECRET& s) { return s.value != nullptr; }

void secret_clear(R3410_SECRET& s) {
  MASK_BN_free(s.value);
  s.value = nullptr;
}

BN_MONT_CTX* key_mont(R3410* key, BN_CTX* ctx) {
  LockGuard guard(locks::R3410);
  if (!key->mont_p && key->p) {
    BN_MONT_CTX* m = BN_MONT_CTX_new();
    if (m && BN_MONT_CTX_set(m, key->p, ctx)) {
      key->mont_p = m;
    } else {
      BN_MONT_CTX_free(m);
    }
  }
  return key->mont_p;
}

bool value_below_q(const BIGNUM* q, const unsigned char* seed, int seed_len, BIGNUM* out) {
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) return false;
  if (seed) {
    // seed mod q without a branch on the seed: its bits enter from the top, each followed by
    // a masked subtraction of q, over the seed's whole length (a short k, with its leading
    // zeros, runs the same steps as any other). q has at most 256 bits, so 5 limbs hold 2r+1.
    const int n = std::clamp(seed_len, 0, kQBytes);
    unsigned char qb[kQBytes];
    if (BN_is_zero(q) || BN_is_negative(q) || BN_num_bytes(q) > kQBytes ||
        BN_bn2lebinpad(q, qb, kQBytes) != kQBytes)
      return false;
    std::uint64_t qv[5] = {}, r[5] = {}, t[5];
    for (int j = 0; j < 4; ++j)
      for (int b = 7; b >= 0; --b) qv[j] = (qv[j] << 8) | qb[8 * j + b];
    for (int i = 0; i < n; ++i) {
      for (int bit = 7; bit >= 0; --bit) {
        std::uint64_t carry = (seed[i] >> bit) & 1;
        for (int j = 0; j < 5; ++j) {
          const std::uint64_t top = r[j] >> 63;
          r[j] = (r[j] << 1) | carry;
          carry = top;
        }
        std::uint64_t borrow = 0;
        for (int j = 0; j < 5; ++j) {
          const unsigned __int128 d = static_cast<unsigned __int128>(r[j]) - qv[j] - borrow;
          t[j] = static_cast<std::uint64_t>(d);
          borrow = static_cast<std::uint64_t>(d >> 64) & 1;
        }
        const std::uint64_t keep_t = borrow - 1;  // all ones when r >= q
        for (int j = 0; j < 5; ++j) r[j] = (t[j] & keep_t) | (r[j] & ~keep_t);
      }
    }
    // To a number with a byte 1 above the value, then that bit cleared: no zero bytes skipped.
    unsigned char le[kQBytes + 1];
    for (int j = 0; j < 4; ++j)
      for (int b = 0; b < 8; ++b) le[8 * j + b] = static_cast<unsigned char>(r[j] >> (8 * b));
    le[kQBytes] = 1;
    BN_set_flags(out, BN_FLG_CONSTTIME);
    const bool ok = BN_lebin2bn(le, kQBytes + 1, out) && BN_clear_bit(out, 8 * kQBytes);
    mem_cleanse(le, sizeof le);
    mem_cleanse(r, sizeof r);
    mem_cleanse(t, sizeof t);
    if (!ok) return false;
    return !BN_is_zero(out);
  }
  const int n = BN_num_bytes(q) + 8;
  SecureBuffer buf(static_cast<std::size_t>(n));
  BnPtr v(BN_secure_new()), qm1(BN_dup(q));
  if (buf.size() != static_cast<std::size_t>(n) || !v || !qm1 || !BN_sub_word(qm1.get(), 1) ||
      BN_is_zero(qm1.get()))
    return false;
  BN_set_flags(v.get(), BN_FLG_CONSTTIME);
  BN_set_flags(out, BN_FLG_CONSTTIME);
  return RAND_bytes(buf.data(), n) == n && BN_bin2bn(buf.data(), n, v.get()) &&
         BN_mod(out, v.get(), qm1.get(), ctx.get()) && BN_add_word(out, 1);
}

namespace {

// Records the summary of a failed key operation.
void key_failed(int func) {
  set_status_if_unset(R3410_STATUS_KEY_FAILED);
  JARNEL_ERR(LIB_GOSTS, func, LIB_GOSTS);
}

// Stores x (masked) and y; the key no longer holds a container-encrypted value.
bool store_keypair(R3410* key, const BIGNUM* x, BnPtr y) {
  LockGuard guard(locks::R3410);
  if (!secret_set(key->x, x)) return false;
  BN_free(key->y);
  key->y = y.release();
  BN_free(key->key_mac);
  key->key_mac = nullptr;
  drop_triple(key);
  return true;
}

}  // namespace
}  // namespace r3410

using namespace r3410;

R3410* R3410_new() {
  auto* key = static_cast<R3410*>(mem_alloc(sizeof(R3410)));
  if (!key) {
    ERR_set_status(R3410_STATUS_NO_MEMORY);
    JARNEL_ERR(LIB_GOSTS, R3410_F_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  if (!CHECK_ram(key, static_cast<long>(sizeof(R3410)))) {
    JARNEL_ERR(LIB_GOSTE, R3410_F_NEW_RAM, R_CHECK_RAM_FAILURE);
    mem_free(key);
    return nullptr;
  }
  std::memset(static_cast<void*>(key), 0, sizeof(R3410));
  key->write_params = 1;
  key->references = 1;
  key->param_nid = NID_CP_R3410_94_A;
  key->digest_param_nid = NID_CP_R3411_94_PARAMSET;
  key->flags = 0;
  return key;
}

int R3410_up_ref(R3410* key) {
  if (!key) return 0;
  LockGuard guard(locks::R3410);
  ++key->references;
  return 1;
}

void R3410_free(R3410* key) {
  if (!key) return;
  {
    LockGuard guard(locks::R3410);
    if (--key->references > 0) return;
  }
  BN_free(key->p);
  BN_free(key->q);
  BN_free(key->a);
  BN_free(key->y);
  secret_clear(key->x);
  BN_clear_free(key->key_mac);
  drop_triple(key);
  BN_free(key->y_checked);
  BN_free(key->y_checked_p);
  BN_MONT_CTX_free(key->mont_p);
  release_pse(key);
  int refs = key->references;
  mem_cleanse(key, sizeof(R3410));
  key->references = refs;
  mem_free(key);
}

int R3410_generate_key(R3410* key, const unsigned char* seed, int seed_len) {
  if (!key) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_GENERATE_KEY, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!params_sane(key->p, key->q, key->a, R3410_F_GENERATE_KEY)) {
    key_failed(R3410_F_GENERATE_KEY);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr x(BN_secure_new());
  BnPtr y(BN_new());
  if (!ctx || !x || !y) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_GENERATE_KEY, R_MALLOC_FAILURE);
    key_failed(R3410_F_GENERATE_KEY);
    return 0;
  }
  BN_set_flags(x.get(), BN_FLG_CONSTTIME);
  if (!value_below_q(key->q, seed, seed_len, x.get())) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_GENERATE_KEY,
               seed ? R3410_R_INVALID_PRIVATE_KEY : R_INTERNAL_ERROR);
    key_failed(R3410_F_GENERATE_KEY);
    return 0;
  }
  if (!generator_power(key, x.get(), y.get(), ctx.get()) ||
      !store_keypair(key, x.get(), std::move(y))) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_GENERATE_KEY, LIB_BN);
    key_failed(R3410_F_GENERATE_KEY);
    return 0;
  }
  return 1;
}

int R3410_generate_pubkey(R3410* key) {
  if (!key) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_R3410, R3410_F_GENERATE_PUBKEY, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!params_sane(key->p, key->q, key->a, R3410_F_GENERATE_KEY)) {
    key_failed(R3410_F_GENERATE_KEY);
    return 0;
  }
  BnPtr x;
  {
    LockGuard guard(locks::R3410);
    if (!key->key_mac) x = secret_copy(key->x);
  }
  if (!x || BN_is_zero(x.get()) || BN_is_negative(x.get()) || BN_cmp(x.get(), key->q) >= 0) {
    JARNEL_ERR(LIB_R3410, R3410_F_GENERATE_PUBKEY, R3410_R_INVALID_PRIVATE_KEY);
    set_status_if_unset(R3410_STATUS_KEY_FAILED);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr y(BN_new());
  if (!ctx || !y || !generator_power(key, x.get(), y.get(), ctx.get())) {
    JARNEL_ERR(LIB_R3410, R3410_F_GENERATE_PUBKEY, LIB_BN);
    set_status_if_unset(R3410_STATUS_KEY_FAILED);
    return 0;
  }
  LockGuard guard(locks::R3410);
  BN_free(key->y);
  key->y = y.release();
  return 1;
}

int R3410_set_private_key(R3410* key, const unsigned char* x, int len) {
  if (!key || !x || len <= 0) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_GENERATE_KEY, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  BnPtr v(BN_secure_new());
  if (!v || !BN_bin2bn(x, len, v.get())) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_GENERATE_KEY, R_MALLOC_FAILURE);
    key_failed(R3410_F_GENERATE_KEY);
    return 0;
  }
  if (!key->q || BN_is_zero(v.get()) || BN_cmp(v.get(), key->q) >= 0) {
    JARNEL_ERR(LIB_GOSTS, R3410_F_GENERATE_KEY, R3410_R_INVALID_PRIVATE_KEY);
    key_failed(R3410_F_GENERATE_KEY);
    return 0;
  }
  LockGuard guard(locks::R3410);
  if (!secret_set(key->x, v.get())) {
    key_failed(R3410_F_GENERATE_KEY);
    return 0;
  }
  BN_free(key->key_mac);
  key->key_mac = nullptr;
  drop_triple(key);
  return 1;
}

int R3410_get_private_key(const R3410* key, unsigned char* out, int len) {
  if (!key || !out || len <= 0) return 0;
  LockGuard guard(locks::R3410);
  BnPtr x = secret_copy(key->x);
  if (!x || BN_num_bytes(x.get()) > len) return 0;
  return BN_bn2binpad(x.get(), out, len) == len ? 1 : 0;
}

}  // namespace jarnel
