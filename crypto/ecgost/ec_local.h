#pragma once
// Records of the curve code, shared by its source files and the tests.
#include <openssl/bn.h>

#include <cstdint>
#include <memory>

#include "crypto/ecgost/ec_field.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/pse/mask.h"

#define ECGOST_ERR(func, reason) JARNEL_ERR(::jarnel::LIB_ECGOST, (func), (reason))

namespace jarnel {

namespace ec {

// A point in Jacobian projective coordinates (x = X/Z^2, y = Y/Z^3), field values in Montgomery
// form. z1 records Z = 1, which lets additions take the shorter mixed formulas.
struct JPoint {
  Fe X, Y, Z;
  bool inf;
  bool z1;
};

}  // namespace ec

// A fixed-base table: count affine points, point i = 2^(w*i) * P. cx/cy, made on first use by
// a secret multiplication, hold j * 2^(w*i) * P for j = 1 .. 2^w - 1 (row i at i * (2^w - 1)).
struct EC_FBW {
  int references;
  int bits;
  int w;
  int count;
  ec::Fe* x;
  ec::Fe* y;
  ec::Fe* cx;
  ec::Fe* cy;
};
EC_FBW* EC_FBW_alloc(int count);
void EC_FBW_up_ref(EC_FBW* t);
void EC_FBW_free(EC_FBW* t);

struct ECURVE_METHOD {
  const char* name;
  int (*mul_generator)(ECPOINT* r, const BIGNUM* k, const ECURVE* curve);
};

struct ECURVE {
  int mode;  // ECURVE_PROJECTIVE or affine
  BIGNUM* p;
  BIGNUM* a;
  BIGNUM* b;
  ECPOINT* G;
  BIGNUM* q;
  BIGNUM* h;  // null: no cofactor
  BIGNUM* opt;
  BIGNUM* j;
  int references;
  int flags;  // bit 0: a = p - 3
  const ECURVE_METHOD* meth;
  EC_FBW* meth_data;
  int nid;
  // Arithmetic state derived from the numbers above.
  ec::Field field;
  ec::Fe a_m;
  ec::Fe b_m;
  bool ready;
};

struct ECPOINT {
  ECURVE* curve;
  bool owns_curve;  // false only for a curve's own generator
  ec::JPoint P;
  EC_FBW* table;
  int form;  // 1: projective values not yet normalised
};

struct ECGOST {
  ECURVE* curve;
  MASKED_BN* d;  // private number, masked; present only while the key is in the plain state
  BIGNUM* enc_d;  // opaque state: encrypted d as a number
  unsigned char mask_tag[4];
  ECPOINT* Q;
  unsigned char* pub_buf;
  int pub_len;
  MASKED_BN* pre_k;  // precomputed signing pair, used once (k masked)
  BIGNUM* pre_r;
  PSE* container;
  std::uintptr_t provider;
  unsigned keyspec;
  int pubkey_nid;
  int digest_nid;
  int cipher_nid;
  int references;
  std::uint32_t selftest_marker;
};

struct ECDH {
  ECURVE* curve;
  MASKED_BN* d;  // private number, masked between operations
  ECPOINT* Q;
  int mode;
  int references;
  std::uint32_t selftest_marker;
};

namespace ec {

// Point arithmetic on a curve's field (ec_point.cpp).
void jp_set_inf(JPoint& r);
void jp_double(const ECURVE& c, JPoint& r, const JPoint& a);
void jp_add(const ECURVE& c, JPoint& r, const JPoint& a, const JPoint& b);
void jp_neg(const ECURVE& c, JPoint& r, const JPoint& a);
void jp_to_affine(const ECURVE& c, JPoint& r, const JPoint& a);
// Multiplications by public scalars (verification, order checks): variable time.
// r = k * a by 3k signed binary.
bool jp_mul_3k(const ECURVE& c, JPoint& r, const JPoint& a, const BIGNUM* k);
// r = k * base with a fixed-base table; false when k has more digits than the table.
bool jp_mul_fbw(const ECURVE& c, JPoint& r, const EC_FBW& t, const BIGNUM* k);

// Multiplications by secret scalars: the same work and memory accesses for every k of up to
// nbits bits (false for a longer or negative k); the result is affine.
// order_q: k < q and a has order q, which rules out the doubling case of the additions.
bool jp_mul_ct(const ECURVE& c, JPoint& r, const JPoint& a, const BIGNUM* k, int nbits,
               bool order_q);
// The same with a fixed-base table (w = 4); false when the table cannot serve k.
bool jp_mul_comb_ct(const ECURVE& c, JPoint& r, EC_FBW& t, const BIGNUM* k, bool order_q);
// k * point, constant time, for 0 <= k < q and a point known to have order q (validated peers);
// other inputs go to ECPOINT_mul.
int mul_secret_order_q(ECPOINT* r, const ECPOINT* point, const BIGNUM* k);
// Builds a table's comb rows (under lock 27); false when memory is short.
bool fbw_comb(EC_FBW& t, const ECURVE& c);
// Bits of the largest secret scalar a curve's operations use: q, times the cofactor if any.
int scalar_bound_bits(const ECURVE& c);
// k * G and k * point for public k (fast, variable time); results as ECPOINT_mul gives them.
int mul_generator_public(ECPOINT* r, const BIGNUM* k, const ECURVE* curve);
int mul_public(ECPOINT* r, const ECPOINT* point, const BIGNUM* k);

// Owners for the objects the code juggles (crypto/owners.h; big numbers are wiped when
// released): BnPtr, BnCtxPtr and these.
using jarnel::BnCtxPtr;
using jarnel::BnPtr;
using PointPtr = Owned<ECPOINT>;
using KeyPtr = Owned<ECGOST>;

// A zeroed record of n bytes (from mem_alloc) for an object on a curve. On success curve holds
// a new reference (to the default curve when it was null); on failure the error is recorded
// under func and null returned.
void* alloc_on_curve(std::size_t n, ECURVE*& curve, int func);

// Records (75, func, 100) "invalid parameters" with status 1; returns false.
bool bad_args(int func);

// Reference counts of curves, points' tables, keys and DH objects, under lock 27.
inline void ref_up(int& refs) {
  LockGuard g(locks::EC);
  ++refs;
}
// True when the last reference went.
inline bool ref_down(int& refs) {
  LockGuard g(locks::EC);
  return --refs <= 0;
}

// Marks in OpenSSL's error queue around calls whose failure is an expected answer.
void ossl_mark();
void ossl_pop();

// Private numbers and nonces: uniform on [1, q-1].
bool random_below_q(const ECURVE& c, BIGNUM* out);
// out = v mod q for 0 <= v, reduced as v + q * 2^(64 w) with w at least q's words: the number
// divided always has the same length, so a short v (a small secret, or a point's small x) is
// reduced in the time a long one takes.
bool mod_q_fixed_length(BIGNUM* out, const BIGNUM* v, const BIGNUM* q, BN_CTX* ctx);
// out = the big-endian bytes in[0..len) mod q, read behind q's own bytes so that the number
// has q's length on top whatever leading zeros the input has.
bool bytes_mod_q(BIGNUM* out, const unsigned char* in, int len, const BIGNUM* q, BN_CTX* ctx);
// ECGOST_is_pubkey_valid with the full check; on failure also records (75, func, 139).
bool pubkey_usable(const ECPOINT* q, int func);
// The digest as a number mod q, 0 replaced by 1.
bool digest_to_e(const ECURVE& c, const unsigned char* dgst, int dlen, BIGNUM* e, BN_CTX* ctx);

}  // namespace ec

// Fixed-base method of curves that carry a table.
extern const ECURVE_METHOD ECURVE_default_method;
extern const ECURVE_METHOD ECURVE_fbw_method;

// A point on a curve's own generator slot, which does not hold a curve reference.
ECPOINT* ECPOINT_new_weak(ECURVE* curve);

}  // namespace jarnel
