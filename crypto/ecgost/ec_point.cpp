// Points: Jacobian arithmetic, the 3k signed-binary and fixed-base multiplications, the point
// strings and octets, and the curve-equation test.
#include <openssl/bn.h>

#include <cstring>
#include <memory>

#include "crypto/ecgost/ec_field_impl.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/lock.h"
#include "crypto/mem.h"

namespace jarnel {
namespace ec {
bool bad_args(int func) {
  ECGOST_ERR(func, ECGOST_R_INVALID_PARAMETERS);
  ERR_set_status(ECGOST_STATUS_BAD_ARGS);
  return false;
}

void jp_set_inf(JPoint& r) {
  fe_zero(r.X);
  fe_zero(r.Y);
  fe_zero(r.Z);
  r.inf = true;
  r.z1 = false;
}

template <int N>
struct Ops {
  static void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { detail::mont_mul<N>(f, r, a, b); }
  static void add(const Field& f, Fe& r, const Fe& a, const Fe& b) { detail::mod_add<N>(f, r, a, b); }
  static void sub(const Field& f, Fe& r, const Fe& a, const Fe& b) { detail::mod_sub<N>(f, r, a, b); }
};
// Any other size goes through the field's own functions.
template <>
struct Ops<0> {
  static void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { f.mul(f, r, a, b); }
  static void add(const Field& f, Fe& r, const Fe& a, const Fe& b) { f.add(f, r, a, b); }
  static void sub(const Field& f, Fe& r, const Fe& a, const Fe& b) { f.sub(f, r, a, b); }
};

template <int N>
void dbl_t(const ECURVE& c, JPoint& r, const JPoint& a) {
  using O = Ops<N>;
  const Field& f = c.field;
  if (a.inf || fe_is_zero(f, a.Y)) {
    jp_set_inf(r);
    return;
  }
  Fe m, t, zz, yy, s, x3, y3, z3;
  if (a.z1) {
    O::mul(f, m, a.X, a.X);
    O::add(f, t, m, m);
    O::add(f, m, t, m);
    O::add(f, m, m, c.a_m);  // M = 3X^2 + a
  } else if (c.flags & 1) {
    O::mul(f, zz, a.Z, a.Z);
    O::sub(f, t, a.X, zz);
    O::add(f, s, a.X, zz);
    O::mul(f, m, t, s);
    O::add(f, t, m, m);
    O::add(f, m, t, m);  // M = 3(X - Z^2)(X + Z^2)
  } else {
    O::mul(f, zz, a.Z, a.Z);
    O::mul(f, zz, zz, zz);
    O::mul(f, zz, zz, c.a_m);
    O::mul(f, m, a.X, a.X);
    O::add(f, t, m, m);
    O::add(f, m, t, m);
    O::add(f, m, m, zz);  // M = 3X^2 + a Z^4
  }
  O::mul(f, yy, a.Y, a.Y);
  O::mul(f, s, a.X, yy);
  O::add(f, s, s, s);
  O::add(f, s, s, s);  // S = 4 X Y^2
  O::mul(f, x3, m, m);
  O::sub(f, x3, x3, s);
  O::sub(f, x3, x3, s);  // X3 = M^2 - 2S
  O::mul(f, yy, yy, yy);
  O::add(f, yy, yy, yy);
  O::add(f, yy, yy, yy);
  O::add(f, yy, yy, yy);  // 8 Y^4
  O::sub(f, t, s, x3);
  O::mul(f, y3, m, t);
  O::sub(f, y3, y3, yy);  // Y3 = M(S - X3) - 8Y^4
  if (a.z1)
    O::add(f, z3, a.Y, a.Y);
  else {
    O::mul(f, z3, a.Y, a.Z);
    O::add(f, z3, z3, z3);  // Z3 = 2YZ
  }
  r.X = x3;
  r.Y = y3;
  r.Z = z3;
  r.inf = false;
  r.z1 = false;
}

template <int N>
void add_t(const ECURVE& c, JPoint& r, const JPoint& a, const JPoint& b) {
  using O = Ops<N>;
  const Field& f = c.field;
  if (a.inf) {
    r = b;
    return;
  }
  if (b.inf) {
    r = a;
    return;
  }
  Fe u1, u2, s1, s2, t;
  if (b.z1) {
    u1 = a.X;
    s1 = a.Y;
  } else {
    O::mul(f, t, b.Z, b.Z);
    O::mul(f, u1, a.X, t);
    O::mul(f, t, t, b.Z);
    O::mul(f, s1, a.Y, t);
  }
  if (a.z1) {
    u2 = b.X;
    s2 = b.Y;
  } else {
    O::mul(f, t, a.Z, a.Z);
    O::mul(f, u2, b.X, t);
    O::mul(f, t, t, a.Z);
    O::mul(f, s2, b.Y, t);
  }
  Fe h, rr;
  O::sub(f, h, u2, u1);
  O::sub(f, rr, s2, s1);
  if (fe_is_zero(f, h)) {
    if (fe_is_zero(f, rr))
      jp_double(c, r, a);
    else
      jp_set_inf(r);
    return;
  }
  Fe hh, hhh, v, x3, y3, z3;
  O::mul(f, hh, h, h);
  O::mul(f, hhh, h, hh);
  O::mul(f, v, u1, hh);
  O::mul(f, x3, rr, rr);
  O::sub(f, x3, x3, hhh);
  O::sub(f, x3, x3, v);
  O::sub(f, x3, x3, v);  // X3 = r^2 - H^3 - 2V
  O::sub(f, t, v, x3);
  O::mul(f, y3, rr, t);
  O::mul(f, t, s1, hhh);
  O::sub(f, y3, y3, t);  // Y3 = r(V - X3) - S1 H^3
  z3 = h;
  if (!a.z1) O::mul(f, z3, z3, a.Z);
  if (!b.z1) O::mul(f, z3, z3, b.Z);
  r.X = x3;
  r.Y = y3;
  r.Z = z3;
  r.inf = false;
  r.z1 = false;
}

void jp_double(const ECURVE& c, JPoint& r, const JPoint& a) {
  if (c.field.n == 4)
    dbl_t<4>(c, r, a);
  else
    dbl_t<0>(c, r, a);
}

void jp_add(const ECURVE& c, JPoint& r, const JPoint& a, const JPoint& b) {
  if (c.field.n == 4)
    add_t<4>(c, r, a, b);
  else
    add_t<0>(c, r, a, b);
}

void jp_neg(const ECURVE& c, JPoint& r, const JPoint& a) {
  r = a;
  if (!a.inf) fe_neg(c.field, r.Y, a.Y);
}

void jp_to_affine(const ECURVE& c, JPoint& r, const JPoint& a) {
  const Field& f = c.field;
  if (a.inf) {
    jp_set_inf(r);
    return;
  }
  if (a.z1) {
    r = a;
    return;
  }
  Fe zi, zi2, zi3;
  fe_inv(f, zi, a.Z);
  fe_sqr(f, zi2, zi);
  fe_mul(f, zi3, zi2, zi);
  fe_mul(f, r.X, a.X, zi2);
  fe_mul(f, r.Y, a.Y, zi3);
  r.Z = f.one;
  r.inf = false;
  r.z1 = true;
}

bool jp_mul_3k(const ECURVE& c, JPoint& r, const JPoint& a, const BIGNUM* k) {
  if (BN_is_zero(k) || a.inf) {
    jp_set_inf(r);
    return true;
  }
  BnPtr h(BN_new());
  if (!h || !BN_lshift1(h.get(), k) || !BN_add(h.get(), h.get(), k)) return false;
  JPoint p = a, neg, acc = a;
  jp_neg(c, neg, a);
  for (int i = BN_num_bits(h.get()) - 2; i >= 1; --i) {
    jp_double(c, acc, acc);
    const int hb = BN_is_bit_set(h.get(), i), kb = BN_is_bit_set(k, i);
    if (hb && !kb)
      jp_add(c, acc, acc, p);
    else if (!hb && kb)
      jp_add(c, acc, acc, neg);
  }
  r = acc;
  return true;
}

bool jp_mul_fbw(const ECURVE& c, JPoint& r, const EC_FBW& t, const BIGNUM* k) {
  const int w = t.w;
  if (BN_num_bits(k) > t.count * w) return false;
  // Digits of k, least significant first.
  unsigned char digits[1024];
  if (t.count > static_cast<int>(sizeof digits)) return false;
  for (int i = 0; i < t.count; ++i) {
    unsigned d = 0;
    for (int b = w - 1; b >= 0; --b) d = (d << 1) | (BN_is_bit_set(k, i * w + b) ? 1U : 0U);
    digits[i] = static_cast<unsigned char>(d);
  }
  JPoint A, B, Pi;
  jp_set_inf(A);
  jp_set_inf(B);
  Pi.inf = false;
  Pi.z1 = true;
  Pi.Z = c.field.one;
  for (int j = (1 << w) - 1; j >= 1; --j) {
    for (int i = 0; i < t.count; ++i) {
      if (digits[i] != j) continue;
      Pi.X = t.x[i];
      Pi.Y = t.y[i];
      jp_add(c, B, B, Pi);
    }
    jp_add(c, A, A, B);
  }
  mem_cleanse(digits, sizeof digits);
  r = A;
  return true;
}

// --- Multiplication by a secret scalar ---
//
// Everything below runs the same instructions and touches the same memory whatever the scalar:
// the scalar is read as a fixed number of 4-bit digits (padded to the length its bound allows),
// every table entry is read for every digit and the wanted one kept by masks, and the special
// cases of the addition (either input at infinity, equal inputs) are computed alongside and
// chosen by masks. Infinity is Z = 0 here; the final inversion is Fermat's, a^(p-2).

namespace {

using u64 = std::uint64_t;

// All ones when a is zero, else 0.
u64 zero_mask(const Field& f, const Fe& a) {
  u64 acc = 0;
  for (int i = 0; i < f.n; ++i) acc |= a.v[i];
  return ((acc | (0 - acc)) >> 63) - 1;
}

// r := a where mask is all ones.
void fe_cmov(const Field& f, Fe& r, const Fe& a, u64 mask) {
  for (int i = 0; i < f.n; ++i) r.v[i] = (a.v[i] & mask) | (r.v[i] & ~mask);
}

// Doubling in Jacobian coordinates with no test of its input; Z = 0 (infinity) and Y = 0 (a
// point of order 2) both give Z3 = 0.
template <int N>
void dbl_ct(const ECURVE& c, JPoint& r, const JPoint& a) {
  using O = Ops<N>;
  const Field& f = c.field;
  Fe m, t, zz, yy, s, x3, y3, z3;
  O::mul(f, zz, a.Z, a.Z);
  if (c.flags & 1) {  // a = -3: a property of the curve, not of the scalar
    O::sub(f, t, a.X, zz);
    O::add(f, s, a.X, zz);
    O::mul(f, m, t, s);
    O::add(f, t, m, m);
    O::add(f, m, t, m);
  } else {
    O::mul(f, zz, zz, zz);
    O::mul(f, zz, zz, c.a_m);
    O::mul(f, m, a.X, a.X);
    O::add(f, t, m, m);
    O::add(f, m, t, m);
    O::add(f, m, m, zz);
  }
  O::mul(f, yy, a.Y, a.Y);
  O::mul(f, s, a.X, yy);
  O::add(f, s, s, s);
  O::add(f, s, s, s);
  O::mul(f, x3, m, m);
  O::sub(f, x3, x3, s);
  O::sub(f, x3, x3, s);
  O::mul(f, yy, yy, yy);
  O::add(f, yy, yy, yy);
  O::add(f, yy, yy, yy);
  O::add(f, yy, yy, yy);
  O::sub(f, t, s, x3);
  O::mul(f, y3, m, t);
  O::sub(f, y3, y3, yy);
  O::mul(f, z3, a.Y, a.Z);
  O::add(f, z3, z3, z3);
  r.X = x3;
  r.Y = y3;
  r.Z = z3;
  r.inf = false;
  r.z1 = false;
}

// r := a + (bx, by), b affine and at infinity when b_inf is all ones; a Jacobian with Z = 0 for
// infinity. The general sum, the doubling of a and the two infinity cases are all computed;
// masks pick the right one. kDistinct: the caller's scalar recoding rules out a = b (see the
// multiplications below), so the doubling is left out.
template <int N, bool kDistinct>
void add_ct(const ECURVE& c, JPoint& r, const JPoint& a, const Fe& bx, const Fe& by, u64 b_inf) {
  using O = Ops<N>;
  const Field& f = c.field;
  const u64 a_inf = zero_mask(f, a.Z);
  Fe z1z1, u2, s2, h, rr, hh, hhh, v, t, x3, y3, z3;
  O::mul(f, z1z1, a.Z, a.Z);
  O::mul(f, u2, bx, z1z1);
  O::mul(f, t, z1z1, a.Z);
  O::mul(f, s2, by, t);
  O::sub(f, h, u2, a.X);
  O::sub(f, rr, s2, a.Y);
  O::mul(f, hh, h, h);
  O::mul(f, hhh, h, hh);
  O::mul(f, v, a.X, hh);
  O::mul(f, x3, rr, rr);
  O::sub(f, x3, x3, hhh);
  O::sub(f, x3, x3, v);
  O::sub(f, x3, x3, v);
  O::sub(f, t, v, x3);
  O::mul(f, y3, rr, t);
  O::mul(f, t, a.Y, hhh);
  O::sub(f, y3, y3, t);
  O::mul(f, z3, a.Z, h);  // zero when a = -b: the sum is infinity
  if constexpr (!kDistinct) {
    JPoint d;
    dbl_ct<N>(c, d, a);
    const u64 same = zero_mask(f, h) & zero_mask(f, rr) & ~a_inf;
    fe_cmov(f, x3, d.X, same);
    fe_cmov(f, y3, d.Y, same);
    fe_cmov(f, z3, d.Z, same);
  }
  fe_cmov(f, x3, bx, a_inf);
  fe_cmov(f, y3, by, a_inf);
  fe_cmov(f, z3, f.one, a_inf);
  fe_cmov(f, x3, a.X, b_inf);
  fe_cmov(f, y3, a.Y, b_inf);
  fe_cmov(f, z3, a.Z, b_inf);
  r.X = x3;
  r.Y = y3;
  r.Z = z3;
  r.inf = false;
  r.z1 = false;
}

void dbl_ct_any(const ECURVE& c, JPoint& r, const JPoint& a) {
  if (c.field.n == 4)
    dbl_ct<4>(c, r, a);
  else
    dbl_ct<0>(c, r, a);
}

void add_ct_any(const ECURVE& c, JPoint& r, const JPoint& a, const Fe& bx, const Fe& by,
                u64 b_inf, bool distinct) {
  if (c.field.n == 4) {
    if (distinct)
      add_ct<4, true>(c, r, a, bx, by, b_inf);
    else
      add_ct<4, false>(c, r, a, bx, by, b_inf);
  } else if (distinct) {
    add_ct<0, true>(c, r, a, bx, by, b_inf);
  } else {
    add_ct<0, false>(c, r, a, bx, by, b_inf);
  }
}

// Reads entry `digit` (1..count) of a row of affine points by touching every entry; b_inf is
// all ones when digit is 0 or the chosen entry is infinity (inf may be null: no entry is).
void select_affine(const Field& f, const Fe* xs, const Fe* ys, const u64* inf, int count,
                   unsigned digit, Fe& x, Fe& y, u64& b_inf) {
  fe_zero(x);
  fe_zero(y);
  b_inf = 0 - static_cast<u64>(((digit | (0U - digit)) >> 31) ^ 1U);  // digit == 0
  for (int j = 0; j < count; ++j) {
    const unsigned d = static_cast<unsigned>(j + 1) ^ digit;
    const u64 m = static_cast<u64>(((d | (0U - d)) >> 31)) - 1;  // all ones when equal
    fe_cmov(f, x, xs[j], m);
    fe_cmov(f, y, ys[j], m);
    if (inf) b_inf |= inf[j] & m;
  }
}

// Fixed-length little-endian digits of k; false when k does not fit in nbytes.
bool scalar_bytes(const BIGNUM* k, unsigned char* buf, int nbytes) {
  if (BN_is_negative(k)) return false;
  return BN_bn2lebinpad(k, buf, nbytes) == nbytes;
}

unsigned nibble(const unsigned char* le, int i) { return (le[i / 2] >> (4 * (i & 1))) & 0xFU; }

// Affine form of a point computed from a secret: Fermat inversion, and the infinity flag only
// at the end (the result, not the scalar, decides it).
void finish_ct(const ECURVE& c, JPoint& r, const JPoint& a) {
  const Field& f = c.field;
  if (zero_mask(f, a.Z)) {
    jp_set_inf(r);
    return;
  }
  Fe zi, zi2, zi3;
  fe_inv_fermat(f, zi, a.Z);
  fe_sqr(f, zi2, zi);
  fe_mul(f, zi3, zi2, zi);
  fe_mul(f, r.X, a.X, zi2);
  fe_mul(f, r.Y, a.Y, zi3);
  r.Z = f.one;
  r.inf = false;
  r.z1 = true;
}

// Affine forms of n public points at once (one inversion); infinity stays flagged in inf. The
// running products live on the stack for the table sizes used here (at most 15 points), so the
// multiplications allocate nothing; false only when a larger batch finds no memory.
bool batch_affine(const ECURVE& c, const JPoint* in, int n, Fe* xs, Fe* ys, u64* inf) {
  const Field& f = c.field;
  constexpr int kOnStack = 32;
  Fe local[kOnStack];
  MemPtr<Fe> heap(n > kOnStack ? static_cast<Fe*>(mem_alloc(sizeof(Fe) * static_cast<std::size_t>(n)))
                               : nullptr);
  if (n > kOnStack && !heap) return false;
  Fe* pre = heap ? heap.get() : local;
  Fe acc = f.one;
  for (int i = 0; i < n; ++i) {
    pre[i] = acc;
    if (!in[i].inf) fe_mul(f, acc, acc, in[i].Z);
  }
  Fe inv;
  fe_inv(f, inv, acc);
  for (int i = n - 1; i >= 0; --i) {
    inf[i] = in[i].inf ? ~u64{0} : 0;
    if (in[i].inf) {
      fe_zero(xs[i]);
      fe_zero(ys[i]);
      continue;
    }
    Fe zi, zi2, zi3;
    fe_mul(f, zi, inv, pre[i]);
    fe_mul(f, inv, inv, in[i].Z);
    fe_sqr(f, zi2, zi);
    fe_mul(f, zi3, zi2, zi);
    fe_mul(f, xs[i], in[i].X, zi2);
    fe_mul(f, ys[i], in[i].Y, zi3);
  }
  return true;
}

}  // namespace

int scalar_bound_bits(const ECURVE& c) {
  int bits = BN_num_bits(c.q);
  if (c.h && !BN_is_one(c.h)) bits += BN_num_bits(c.h);
  return bits;
}

bool jp_mul_ct(const ECURVE& c, JPoint& r, const JPoint& a, const BIGNUM* k, int nbits,
               bool order_q) {
  constexpr int kEntries = 15;
  const int windows = (nbits + 3) / 4;
  const int nbytes = (windows + 1) / 2;
  unsigned char le[80];
  if (nbits <= 0 || nbytes > static_cast<int>(sizeof le)) return false;
  if (!scalar_bytes(k, le, nbytes)) return false;
  if (a.inf) {
    mem_cleanse(le, sizeof le);
    jp_set_inf(r);
    return true;
  }
  // Multiples 1..15 of the (public) point.
  JPoint mult[kEntries];
  mult[0] = a;
  for (int j = 1; j < kEntries; ++j) {
    if (j % 2)
      jp_double(c, mult[j], mult[j / 2]);
    else
      jp_add(c, mult[j], mult[j - 1], a);
  }
  Fe xs[kEntries], ys[kEntries];
  u64 inf[kEntries];
  if (!batch_affine(c, mult, kEntries, xs, ys, inf)) return false;
  const Field& f = c.field;
  JPoint acc;
  acc.X = f.one;
  acc.Y = f.one;
  fe_zero(acc.Z);
  acc.inf = false;
  acc.z1 = false;
  Fe x, y;
  u64 b_inf;
  for (int i = windows - 1; i >= 0; --i) {
    for (int s = 0; s < 4; ++s) dbl_ct_any(c, acc, acc);
    select_affine(f, xs, ys, inf, kEntries, nibble(le, i), x, y, b_inf);
    // With k < q and a of order q, acc = 16A (A the digits so far, A > 0) never equals d * a:
    // 0 < 16A - d < k < q.
    add_ct_any(c, acc, acc, x, y, b_inf, order_q);
  }
  mem_cleanse(le, sizeof le);
  mem_cleanse(&x, sizeof x);
  mem_cleanse(&y, sizeof y);
  finish_ct(c, r, acc);
  return true;
}

bool fbw_comb(EC_FBW& t, const ECURVE& c) {
  LockGuard g(locks::EC);
  if (t.cx) return true;
  const int per = (1 << t.w) - 1;
  const std::size_t n = static_cast<std::size_t>(t.count) * per;
  auto* cx = static_cast<Fe*>(mem_alloc(sizeof(Fe) * n));
  auto* cy = static_cast<Fe*>(mem_alloc(sizeof(Fe) * n));
  MemPtr<JPoint> row(static_cast<JPoint*>(mem_alloc(sizeof(JPoint) * static_cast<std::size_t>(per))));
  MemPtr<u64> inf(static_cast<u64*>(mem_alloc(sizeof(u64) * static_cast<std::size_t>(per))));
  if (!cx || !cy || !row || !inf) {
    mem_free(cx);
    mem_free(cy);
    return false;
  }
  std::memset(cx, 0, sizeof(Fe) * n);
  std::memset(cy, 0, sizeof(Fe) * n);
  for (int i = 0; i < t.count; ++i) {
    JPoint base;
    base.X = t.x[i];
    base.Y = t.y[i];
    base.Z = c.field.one;
    base.inf = false;
    base.z1 = true;
    JPoint* r = row.get();
    r[0] = base;
    for (int j = 1; j < per; ++j) jp_add(c, r[j], r[j - 1], base);
    if (!batch_affine(c, r, per, cx + static_cast<std::size_t>(i) * per,
                      cy + static_cast<std::size_t>(i) * per, inf.get())) {
      mem_free(cx);
      mem_free(cy);
      return false;
    }
  }
  t.cx = cx;
  t.cy = cy;
  return true;
}

bool jp_mul_comb_ct(const ECURVE& c, JPoint& r, EC_FBW& t, const BIGNUM* k, bool order_q) {
  if (t.w != 4 || !fbw_comb(t, c)) return false;
  const int nbytes = (t.count + 1) / 2;
  unsigned char le[80];
  if (nbytes > static_cast<int>(sizeof le) || !scalar_bytes(k, le, nbytes)) return false;
  const Field& f = c.field;
  const int per = (1 << t.w) - 1;
  JPoint acc;
  acc.X = f.one;
  acc.Y = f.one;
  fe_zero(acc.Z);
  acc.inf = false;
  acc.z1 = false;
  Fe x, y;
  u64 b_inf;
  for (int i = 0; i < t.count; ++i) {
    const std::size_t off = static_cast<std::size_t>(i) * per;
    select_affine(f, t.cx + off, t.cy + off, nullptr, per, nibble(le, i), x, y, b_inf);
    // With k < q and a base of order q, acc = A (the lower digits) never equals d * 16^i:
    // 0 < d * 16^i - A <= k < q.
    add_ct_any(c, acc, acc, x, y, b_inf, order_q);
  }
  mem_cleanse(le, sizeof le);
  mem_cleanse(&x, sizeof x);
  mem_cleanse(&y, sizeof y);
  finish_ct(c, r, acc);
  return true;
}

}  // namespace ec

using namespace ec;

// --- Fixed-base tables ---

EC_FBW* EC_FBW_alloc(int count) {
  auto* t = static_cast<EC_FBW*>(mem_alloc(sizeof(EC_FBW)));
  if (!t) return nullptr;
  t->references = 1;
  t->bits = t->w = 0;
  t->count = count;
  t->x = static_cast<Fe*>(mem_alloc(sizeof(Fe) * count));
  t->y = static_cast<Fe*>(mem_alloc(sizeof(Fe) * count));
  if (!t->x || !t->y) {
    mem_free(t->x);
    mem_free(t->y);
    mem_free(t);
    return nullptr;
  }
  std::memset(t->x, 0, sizeof(Fe) * count);
  std::memset(t->y, 0, sizeof(Fe) * count);
  t->cx = t->cy = nullptr;
  return t;
}

void EC_FBW_up_ref(EC_FBW* t) {
  if (t) ec::ref_up(t->references);
}

void EC_FBW_free(EC_FBW* t) {
  if (!t || !ec::ref_down(t->references)) return;
  mem_free(t->x);
  mem_free(t->y);
  mem_free(t->cx);
  mem_free(t->cy);
  mem_free(t);
}

// --- Point objects ---

namespace {

ECPOINT* point_alloc(ECURVE* curve, bool owns) {
  if (!curve) {
    ECGOST_ERR(ECGOST_F_ECPOINT_NEW, ECGOST_R_INVALID_PARAMETERS);
    ERR_set_status(ECGOST_STATUS_BAD_ARGS);
    return nullptr;
  }
  auto* p = static_cast<ECPOINT*>(mem_alloc(sizeof(ECPOINT)));
  if (!p) {
    ECGOST_ERR(ECGOST_F_ECPOINT_NEW, R_MALLOC_FAILURE);
    ERR_set_status(ECGOST_STATUS_NO_MEMORY);
    return nullptr;
  }
  std::memset(static_cast<void*>(p), 0, sizeof *p);
  p->curve = curve;
  p->owns_curve = owns;
  if (owns) ECURVE_up_ref(curve);
  jp_set_inf(p->P);
  return p;
}

bool check_args(int func, const void* a, const void* b = reinterpret_cast<const void*>(1)) {
  if (a && b) return true;
  ECGOST_ERR(func, ECGOST_R_INVALID_PARAMETERS);
  ERR_set_status(ECGOST_STATUS_BAD_ARGS);
  return false;
}

bool same_curve(const ECPOINT* a, const ECPOINT* b) {
  return a->curve == b->curve || (a->curve->field.n == b->curve->field.n &&
                                   BN_cmp(a->curve->p, b->curve->p) == 0 &&
                                   BN_cmp(a->curve->a, b->curve->a) == 0);
}

int hexval(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Hex digits (no sign, at least one) into a number.
bool hex_to_bn(const char* s, std::size_t n, BIGNUM* out) {
  if (n == 0) return false;
  unsigned char buf[130];
  if (n > 2 * sizeof buf) return false;
  std::size_t bytes = (n + 1) / 2, pos = 0;
  std::size_t i = 0;
  if (n % 2) {
    int v = hexval(s[0]);
    if (v < 0) return false;
    buf[pos++] = static_cast<unsigned char>(v);
    i = 1;
  }
  for (; i < n; i += 2) {
    int hi = hexval(s[i]), lo = hexval(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    buf[pos++] = static_cast<unsigned char>(hi * 16 + lo);
  }
  return BN_bin2bn(buf, static_cast<int>(bytes), out) != nullptr;
}

}  // namespace

ECPOINT* ECPOINT_new(ECURVE* curve) { return point_alloc(curve, true); }
ECPOINT* ECPOINT_new_weak(ECURVE* curve) { return point_alloc(curve, false); }

void ECPOINT_free(ECPOINT* point) {
  if (!point) return;
  EC_FBW_free(point->table);
  ECURVE* c = point->owns_curve ? point->curve : nullptr;
  mem_cleanse(point, sizeof *point);
  mem_free(point);
  ECURVE_free(c);
}

ECPOINT* ECPOINT_dup(const ECPOINT* point) {
  if (!check_args(ECGOST_F_ECPOINT_DUP, point)) return nullptr;
  ECPOINT* r = ECPOINT_new(point->curve);
  if (!r) {
    ECGOST_ERR(ECGOST_F_ECPOINT_DUP, R_MALLOC_FAILURE);
    return nullptr;
  }
  ECPOINT_copy(r, point);
  return r;
}

int ECPOINT_copy(ECPOINT* dst, const ECPOINT* src) {
  if (!check_args(ECGOST_F_ECPOINT_COPY, dst, src)) return 0;
  if (dst == src) return 1;
  if (!same_curve(dst, src)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_COPY, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  dst->P = src->P;
  dst->form = src->form;
  if (dst->table != src->table) {
    EC_FBW_up_ref(src->table);
    EC_FBW_free(dst->table);
    dst->table = src->table;
  }
  return 1;
}

ECURVE* ECPOINT_curve(const ECPOINT* point) { return point ? point->curve : nullptr; }

int ECPOINT_set_infinity(ECPOINT* point) {
  if (!check_args(ECGOST_F_ECPOINT_SET_INFINITY, point)) return 0;
  jp_set_inf(point->P);
  point->form = 0;
  return 1;
}

int ECPOINT_is_infinity(const ECPOINT* point) { return point && point->P.inf ? 1 : 0; }

int ECPOINT_set_affine(ECPOINT* point, const BIGNUM* x, const BIGNUM* y) {
  if (!check_args(ECGOST_F_ECPOINT_NEW, point, x) || !check_args(ECGOST_F_ECPOINT_NEW, y))
    return 0;
  const Field& f = point->curve->field;
  JPoint p;
  if (!fe_from_bn(f, p.X, x) || !fe_from_bn(f, p.Y, y)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_NEW, R_INTERNAL_ERROR);
    return 0;
  }
  p.Z = f.one;
  p.inf = false;
  p.z1 = true;
  point->P = p;
  point->form = 0;
  return 1;
}

int ECPOINT_to_affine(ECPOINT* point) {
  if (!check_args(ECGOST_F_ECPOINT_TO_AFFINE, point)) return 0;
  jp_to_affine(*point->curve, point->P, point->P);
  point->form = 0;
  return 1;
}

int ECPOINT_normalize(ECPOINT* point) {
  if (!check_args(ECGOST_F_ECPOINT_NORMALIZE, point)) return 0;
  if (point->form == 1 || (!point->P.inf && !point->P.z1)) return ECPOINT_to_affine(point);
  return 1;
}

int ECPOINT_get_xy(const ECPOINT* point, BIGNUM* x, BIGNUM* y) {
  if (!check_args(ECGOST_F_ECPOINT_GET_X, point)) return 0;
  if (point->P.inf) {
    ECGOST_ERR(ECGOST_F_ECPOINT_GET_X, R_INTERNAL_ERROR);
    return 0;
  }
  JPoint a;
  jp_to_affine(*point->curve, a, point->P);
  const Field& f = point->curve->field;
  if ((x && !fe_to_bn(f, x, a.X)) || (y && !fe_to_bn(f, y, a.Y))) {
    ECGOST_ERR(ECGOST_F_ECPOINT_GET_X, R_MALLOC_FAILURE);
    return 0;
  }
  return 1;
}

int ECPOINT_get_x(const ECPOINT* point, BIGNUM* x) {
  if (!check_args(ECGOST_F_ECPOINT_GET_X, point, x)) return 0;
  return ECPOINT_get_xy(point, x, nullptr);
}

int ECPOINT_derive(ECPOINT* point, const BIGNUM* x, int y_odd) {
  if (!check_args(ECGOST_F_ECPOINT_DERIVE, point, x)) return 0;
  const ECURVE* c = point->curve;
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr rhs(BN_new()), t(BN_new()), y(BN_new());
  bool ok = ctx && rhs && t && y && BN_cmp(x, c->p) < 0 && !BN_is_negative(x) &&
            BN_mod_sqr(rhs.get(), x, c->p, ctx.get()) &&
            BN_mod_add(rhs.get(), rhs.get(), c->a, c->p, ctx.get()) &&
            BN_mod_mul(rhs.get(), rhs.get(), x, c->p, ctx.get()) &&
            BN_mod_add(rhs.get(), rhs.get(), c->b, c->p, ctx.get());
  if (ok) {
    // BN_mod_sqrt leaves an OpenSSL error for a non-residue; drop it, our queue says why.
    ossl_mark();
    ok = BN_mod_sqrt(y.get(), rhs.get(), c->p, ctx.get()) != nullptr;
    ossl_pop();
  }
  if (ok && BN_mod_sqr(t.get(), y.get(), c->p, ctx.get()) && BN_cmp(t.get(), rhs.get()) != 0)
    ok = false;
  if (ok && BN_is_odd(y.get()) != (y_odd ? 1 : 0) && !BN_is_zero(y.get()))
    ok = BN_sub(y.get(), c->p, y.get()) != 0;
  if (ok && y_odd && BN_is_zero(y.get())) ok = false;
  if (!ok || !ECPOINT_set_affine(point, x, y.get())) {
    ECGOST_ERR(ECGOST_F_ECPOINT_DERIVE, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int ECPOINT_hex2point(ECPOINT* point, const char* hex) {
  if (!check_args(ECGOST_F_ECPOINT_HEX2POINT, point, hex)) return 0;
  const std::size_t n = std::strlen(hex);
  if (n >= 2 && hex[0] == '0' && hex[1] == '0' && n == 2) return ECPOINT_set_infinity(point);
  BnPtr x(BN_new()), y(BN_new());
  bool ok = x && y && n > 2 && hex[0] == '0';
  if (ok && hex[1] == '4') {
    const std::size_t half = (n - 2) / 2;
    ok = (n - 2) % 2 == 0 && hex_to_bn(hex + 2, half, x.get()) &&
         hex_to_bn(hex + 2 + half, half, y.get()) && BN_cmp(x.get(), point->curve->p) < 0 &&
         BN_cmp(y.get(), point->curve->p) < 0 && ECPOINT_set_affine(point, x.get(), y.get());
  } else if (ok && (hex[1] == '2' || hex[1] == '3')) {
    ok = hex_to_bn(hex + 2, n - 2, x.get()) && ECPOINT_derive(point, x.get(), hex[1] == '3');
  } else {
    ok = false;
  }
  if (!ok) {
    ECGOST_ERR(ECGOST_F_ECPOINT_HEX2POINT, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int ECPOINT_bi2point(ECPOINT* point, const unsigned char* in, std::size_t len) {
  if (!check_args(ECGOST_F_ECPOINT_BI2POINT, point, in) || len == 0) {
    if (point && in) ECGOST_ERR(ECGOST_F_ECPOINT_BI2POINT, R_INTERNAL_ERROR);
    return 0;
  }
  const std::size_t n = static_cast<std::size_t>(point->curve->field.bytes);
  BnPtr x(BN_new()), y(BN_new());
  bool ok = x && y;
  if (in[0] == 0x00 && len == 1) return ECPOINT_set_infinity(point);
  if (ok && in[0] == 0x04 && len == 1 + 2 * n) {
    ok = BN_bin2bn(in + 1, static_cast<int>(n), x.get()) &&
         BN_bin2bn(in + 1 + n, static_cast<int>(n), y.get()) &&
         BN_cmp(x.get(), point->curve->p) < 0 && BN_cmp(y.get(), point->curve->p) < 0 &&
         ECPOINT_set_affine(point, x.get(), y.get());
  } else if (ok && (in[0] == 0x02 || in[0] == 0x03) && len == 1 + n) {
    ok = BN_bin2bn(in + 1, static_cast<int>(n), x.get()) &&
         ECPOINT_derive(point, x.get(), in[0] == 0x03);
  } else {
    ok = false;
  }
  if (!ok) {
    ECGOST_ERR(ECGOST_F_ECPOINT_BI2POINT, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int ECPOINT_point2bin(const ECPOINT* point, int compressed, unsigned char* out,
                      std::size_t outlen) {
  if (!check_args(ECGOST_F_ECPOINT_POINT2BIN, point)) return 0;
  const int n = point->curve->field.bytes;
  if (point->P.inf) {
    if (!out) return 1;
    if (outlen < 1) {
      ECGOST_ERR(ECGOST_F_ECPOINT_POINT2BIN, R_INTERNAL_ERROR);
      return 0;
    }
    out[0] = 0;
    return 1;
  }
  const int len = compressed ? 1 + n : 1 + 2 * n;
  if (!out) return len;
  if (outlen < static_cast<std::size_t>(len)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_POINT2BIN, R_INTERNAL_ERROR);
    return 0;
  }
  BnPtr x(BN_new()), y(BN_new());
  if (!x || !y || !ECPOINT_get_xy(point, x.get(), y.get()) ||
      BN_bn2binpad(x.get(), out + 1, n) != n ||
      (!compressed && BN_bn2binpad(y.get(), out + 1 + n, n) != n)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_POINT2BIN, R_INTERNAL_ERROR);
    return 0;
  }
  out[0] = compressed ? (BN_is_odd(y.get()) ? 0x03 : 0x02) : 0x04;
  return len;
}

int ECPOINT_point2le(const ECPOINT* point, unsigned char* out, std::size_t outlen) {
  if (!check_args(ECGOST_F_ECPOINT_POINT2BIN, point, out)) return 0;
  const int n = point->curve->field.bytes;
  BnPtr x(BN_new()), y(BN_new());
  if (outlen < static_cast<std::size_t>(2 * n) || point->P.inf || !x || !y ||
      !ECPOINT_get_xy(point, x.get(), y.get()) || BN_bn2lebinpad(x.get(), out, n) != n ||
      BN_bn2lebinpad(y.get(), out + n, n) != n) {
    ECGOST_ERR(ECGOST_F_ECPOINT_POINT2BIN, R_INTERNAL_ERROR);
    return 0;
  }
  return 2 * n;
}

int ECPOINT_le2point(ECPOINT* point, const unsigned char* in, std::size_t len) {
  if (!check_args(ECGOST_F_ECPOINT_BI2POINT, point, in)) return 0;
  const std::size_t n = static_cast<std::size_t>(point->curve->field.bytes);
  BnPtr x(BN_new()), y(BN_new());
  if (len != 2 * n || !x || !y || !BN_lebin2bn(in, static_cast<int>(n), x.get()) ||
      !BN_lebin2bn(in + n, static_cast<int>(n), y.get()) ||
      BN_cmp(x.get(), point->curve->p) >= 0 || BN_cmp(y.get(), point->curve->p) >= 0 ||
      !ECPOINT_set_affine(point, x.get(), y.get())) {
    ECGOST_ERR(ECGOST_F_ECPOINT_BI2POINT, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

// --- Arithmetic ---

namespace {

// Affine formulas with one inversion per operation; inputs are normalised first.
void affine_add(const ECURVE& c, JPoint& r, const JPoint& a0, const JPoint& b0) {
  const Field& f = c.field;
  JPoint a, b;
  jp_to_affine(c, a, a0);
  jp_to_affine(c, b, b0);
  if (a.inf) {
    r = b;
    return;
  }
  if (b.inf) {
    r = a;
    return;
  }
  Fe lam, num, den, t;
  if (fe_equal(f, a.X, b.X)) {
    fe_add(f, t, a.Y, b.Y);
    if (fe_is_zero(f, t)) {
      jp_set_inf(r);
      return;
    }
    fe_sqr(f, num, a.X);
    fe_add(f, t, num, num);
    fe_add(f, num, t, num);
    fe_add(f, num, num, c.a_m);
    fe_add(f, den, a.Y, a.Y);
  } else {
    fe_sub(f, num, b.Y, a.Y);
    fe_sub(f, den, b.X, a.X);
  }
  fe_inv(f, t, den);
  fe_mul(f, lam, num, t);
  Fe x3, y3;
  fe_sqr(f, x3, lam);
  fe_sub(f, x3, x3, a.X);
  fe_sub(f, x3, x3, b.X);
  fe_sub(f, t, a.X, x3);
  fe_mul(f, y3, lam, t);
  fe_sub(f, y3, y3, a.Y);
  r.X = x3;
  r.Y = y3;
  r.Z = f.one;
  r.inf = false;
  r.z1 = true;
}

}  // namespace

int ECPOINT_double_affine(ECPOINT* r, const ECPOINT* a) {
  if (!check_args(ECGOST_F_ECPOINT_DOUBLE_AFFINE, r, a)) return 0;
  affine_add(*a->curve, r->P, a->P, a->P);
  r->form = 0;
  return 1;
}

int ECPOINT_add_affine(ECPOINT* r, const ECPOINT* a, const ECPOINT* b) {
  if (!check_args(ECGOST_F_ECPOINT_ADD_AFFINE, r, a) ||
      !check_args(ECGOST_F_ECPOINT_ADD_AFFINE, b))
    return 0;
  if (!same_curve(a, b)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_ADD_AFFINE, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  affine_add(*a->curve, r->P, a->P, b->P);
  r->form = 0;
  return 1;
}

int ECPOINT_double_projective(ECPOINT* r, const ECPOINT* a) {
  if (!check_args(ECGOST_F_ECPOINT_DOUBLE_PROJECTIVE, r, a)) return 0;
  jp_double(*a->curve, r->P, a->P);
  r->form = r->P.inf ? 0 : 1;
  return 1;
}

int ECPOINT_add_projective(ECPOINT* r, const ECPOINT* a, const ECPOINT* b) {
  if (!check_args(ECGOST_F_ECPOINT_ADD_PROJECTIVE, r, a) ||
      !check_args(ECGOST_F_ECPOINT_ADD_PROJECTIVE, b))
    return 0;
  if (!same_curve(a, b)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_ADD_PROJECTIVE, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  jp_add(*a->curve, r->P, a->P, b->P);
  r->form = (r->P.inf || r->P.z1) ? 0 : 1;
  return 1;
}

int ECPOINT_add(ECPOINT* r, const ECPOINT* a, const ECPOINT* b) {
  if (a && a->curve->mode != ECURVE_PROJECTIVE) return ECPOINT_add_affine(r, a, b);
  return ECPOINT_add_projective(r, a, b);
}

int ECPOINT_invert(ECPOINT* point) {
  if (!check_args(ECGOST_F_ECPOINT_MUL, point)) return 0;
  jp_neg(*point->curve, point->P, point->P);
  return 1;
}

namespace {

// Finishes a multiplication result in the curve's coordinate mode.
void finish(ECPOINT* r, const JPoint& v) {
  if (r->curve->mode != ECURVE_PROJECTIVE) {
    jp_to_affine(*r->curve, r->P, v);
    r->form = 0;
  } else {
    r->P = v;
    r->form = (v.inf || v.z1) ? 0 : 1;
  }
}

}  // namespace

// k * point for a k that may be secret: constant time over the scalar's bound (q, times the
// cofactor), or over k's own length when a caller gives a longer one.
int ECPOINT_mul(ECPOINT* r, const ECPOINT* point, const BIGNUM* k) {
  if (!check_args(ECGOST_F_ECPOINT_MUL, r, point) || !check_args(ECGOST_F_ECPOINT_MUL, k))
    return 0;
  if (BN_is_negative(k) || !same_curve(r, point)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_MUL, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  const ECURVE& c = *point->curve;
  JPoint v;
  if (point->table && jp_mul_comb_ct(c, v, *point->table, k, false)) {
    finish(r, v);
    return 1;
  }
  int nbits = scalar_bound_bits(c);
  if (BN_num_bits(k) > nbits) nbits = BN_num_bits(k);
  if (!jp_mul_ct(c, v, point->P, k, nbits, false)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_MUL, R_MALLOC_FAILURE);
    return 0;
  }
  finish(r, v);
  return 1;
}

int ec::mul_secret_order_q(ECPOINT* r, const ECPOINT* point, const BIGNUM* k) {
  const ECURVE& c = *point->curve;
  if (BN_is_negative(k) || BN_cmp(k, c.q) >= 0 || !same_curve(r, point))
    return ECPOINT_mul(r, point, k);
  JPoint v;
  if (!jp_mul_ct(c, v, point->P, k, BN_num_bits(c.q), true)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_MUL, R_MALLOC_FAILURE);
    return 0;
  }
  finish(r, v);
  return 1;
}

namespace {

// Width-5 NAF of a public k (digits odd in -15..15 or 0, least significant first); the number
// of digits, or -1 when k is too long.
int wnaf5(const BIGNUM* k, signed char* out, int max) {
  constexpr int kLimbs = kMaxLimbs + 2;
  unsigned char le[kLimbs * 8];
  if (BN_is_negative(k) || BN_num_bytes(k) > kMaxLimbs * 8 ||
      BN_bn2lebinpad(k, le, sizeof le) != static_cast<int>(sizeof le))
    return -1;
  std::uint64_t v[kLimbs];
  for (int i = 0; i < kLimbs; ++i) {
    v[i] = 0;
    for (int j = 7; j >= 0; --j) v[i] = (v[i] << 8) | le[8 * i + j];
  }
  auto nonzero = [&v] {
    for (std::uint64_t w : v)
      if (w) return true;
    return false;
  };
  int n = 0;
  while (nonzero()) {
    if (n >= max) return -1;
    int d = 0;
    if (v[0] & 1) {
      d = static_cast<int>(v[0] & 31);
      if (d >= 16) d -= 32;
      // v -= d
      if (d > 0) {
        std::uint64_t borrow = static_cast<std::uint64_t>(d);
        for (int i = 0; i < kLimbs && borrow; ++i) {
          const std::uint64_t old = v[i];
          v[i] -= borrow;
          borrow = old < borrow ? 1 : 0;
        }
      } else {
        std::uint64_t carry = static_cast<std::uint64_t>(-d);
        for (int i = 0; i < kLimbs && carry; ++i) {
          v[i] += carry;
          carry = v[i] < carry ? 1 : 0;
        }
      }
    }
    out[n++] = static_cast<signed char>(d);
    for (int i = 0; i < kLimbs - 1; ++i) v[i] = (v[i] >> 1) | (v[i + 1] << 63);
    v[kLimbs - 1] >>= 1;
  }
  return n;
}

// r = k * a for a public k: width-5 NAF over the affine odd multiples a, 3a, ..., 15a.
bool jp_mul_wnaf(const ECURVE& c, JPoint& r, const JPoint& a, const BIGNUM* k) {
  signed char naf[64 * kMaxLimbs + 2];
  const int n = a.inf ? 0 : wnaf5(k, naf, static_cast<int>(sizeof naf));
  if (n < 0) return jp_mul_3k(c, r, a, k);
  if (n == 0) {
    jp_set_inf(r);
    return true;
  }
  JPoint odd[8], twice;
  odd[0] = a;
  jp_double(c, twice, a);
  for (int j = 1; j < 8; ++j) jp_add(c, odd[j], odd[j - 1], twice);
  Fe xs[8], ys[8];
  std::uint64_t inf[8];
  if (!batch_affine(c, odd, 8, xs, ys, inf)) return false;
  JPoint acc, t;
  jp_set_inf(acc);
  for (int i = n - 1; i >= 0; --i) {
    jp_double(c, acc, acc);
    const int d = naf[i];
    if (!d) continue;
    const int j = (d > 0 ? d : -d) / 2;
    if (inf[j]) continue;
    t.X = xs[j];
    t.Y = ys[j];
    t.Z = c.field.one;
    t.inf = false;
    t.z1 = true;
    if (d < 0) fe_neg(c.field, t.Y, t.Y);
    jp_add(c, acc, acc, t);
  }
  r = acc;
  return true;
}

// r = k * base with the comb rows of a table, for a public k: one addition per non-zero digit.
bool jp_mul_comb_public(const ECURVE& c, JPoint& r, EC_FBW& t, const BIGNUM* k) {
  if (t.w != 4 || !fbw_comb(t, c)) return false;
  const int nbytes = (t.count + 1) / 2;
  unsigned char le[80];
  if (nbytes > static_cast<int>(sizeof le) || !scalar_bytes(k, le, nbytes)) return false;
  const int per = (1 << t.w) - 1;
  JPoint acc, e;
  jp_set_inf(acc);
  e.Z = c.field.one;
  e.inf = false;
  e.z1 = true;
  for (int i = 0; i < t.count; ++i) {
    const unsigned d = nibble(le, i);
    if (!d) continue;
    const std::size_t at = static_cast<std::size_t>(i) * per + d - 1;
    e.X = t.cx[at];
    e.Y = t.cy[at];
    jp_add(c, acc, acc, e);
  }
  r = acc;
  return true;
}

}  // namespace

int ec::mul_public(ECPOINT* r, const ECPOINT* point, const BIGNUM* k) {
  if (!check_args(ECGOST_F_ECPOINT_MUL, r, point) || !check_args(ECGOST_F_ECPOINT_MUL, k))
    return 0;
  if (BN_is_negative(k) || !same_curve(r, point)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_MUL, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  JPoint v;
  if (point->table && jp_mul_fbw(*point->curve, v, *point->table, k)) {
    finish(r, v);
    return 1;
  }
  if (!jp_mul_wnaf(*point->curve, v, point->P, k)) {
    ECGOST_ERR(ECGOST_F_ECPOINT_MUL, R_MALLOC_FAILURE);
    return 0;
  }
  finish(r, v);
  return 1;
}

int ec::mul_generator_public(ECPOINT* r, const BIGNUM* k, const ECURVE* curve) {
  if (!check_args(ECGOST_F_ECPOINT_MUL, r, k) || !check_args(ECGOST_F_ECPOINT_MUL, curve))
    return 0;
  JPoint v;
  if (curve->meth_data && !BN_is_negative(k) &&
      jp_mul_comb_public(*curve, v, *curve->meth_data, k)) {
    finish(r, v);
    return 1;
  }
  return mul_public(r, curve->G, k);
}

int ECPOINT_mul_generator(ECPOINT* r, const BIGNUM* k, const ECURVE* curve) {
  if (!check_args(ECGOST_F_ECPOINT_MUL, r, k) || !check_args(ECGOST_F_ECPOINT_MUL, curve))
    return 0;
  return curve->meth->mul_generator(r, k, curve);
}

int ECPOINT_cmp(const ECPOINT* a, const ECPOINT* b) {
  if (!a || !b) return -1;
  if (!same_curve(a, b)) return 1;
  if (a->P.inf || b->P.inf) return a->P.inf == b->P.inf ? 0 : 1;
  JPoint x, y;
  jp_to_affine(*a->curve, x, a->P);
  jp_to_affine(*a->curve, y, b->P);
  const Field& f = a->curve->field;
  return fe_equal(f, x.X, y.X) && fe_equal(f, x.Y, y.Y) ? 0 : 1;
}

int ECPOINT_lies(const ECPOINT* point) {
  if (!check_args(ECGOST_F_ECPOINT_LIES, point)) return -1;
  if (point->P.inf) return 0;
  const ECURVE& c = *point->curve;
  const Field& f = c.field;
  JPoint a;
  jp_to_affine(c, a, point->P);
  Fe lhs, rhs, t;
  fe_sqr(f, lhs, a.Y);
  fe_sqr(f, rhs, a.X);
  fe_add(f, rhs, rhs, c.a_m);
  fe_mul(f, rhs, rhs, a.X);
  fe_add(f, rhs, rhs, c.b_m);
  (void)t;
  return fe_equal(f, lhs, rhs) ? 1 : 0;
}

int ECPOINT_FBW_new(ECPOINT* point) {
  if (!check_args(ECGOST_F_ECPOINT_FBW_NEW, point)) return 0;
  const ECURVE& c = *point->curve;
  if (point->P.inf) {
    ECGOST_ERR(ECGOST_F_ECPOINT_FBW_NEW, R_INTERNAL_ERROR);
    return 0;
  }
  const int w = c.field.bits <= 256 ? 4 : 5;
  int bits = c.field.bits;
  if (BN_num_bits(c.q) > bits) bits = BN_num_bits(c.q);
  const int count = (bits + w - 1) / w;
  EC_FBW* t = EC_FBW_alloc(count);
  if (!t) {
    ECGOST_ERR(ECGOST_F_ECPOINT_FBW_NEW, R_MALLOC_FAILURE);
    ERR_set_status(ECGOST_STATUS_NO_MEMORY);
    return 0;
  }
  t->bits = bits;
  t->w = w;
  JPoint cur;
  jp_to_affine(c, cur, point->P);
  for (int i = 0; i < count; ++i) {
    if (cur.inf) {  // a point of small order has no table
      EC_FBW_free(t);
      ECGOST_ERR(ECGOST_F_ECPOINT_FBW_NEW, R_INTERNAL_ERROR);
      return 0;
    }
    t->x[i] = cur.X;
    t->y[i] = cur.Y;
    for (int s = 0; s < w; ++s) jp_double(c, cur, cur);
    jp_to_affine(c, cur, cur);
  }
  EC_FBW_free(point->table);
  point->table = t;
  return 1;
}

int ECPOINT_has_table(const ECPOINT* point) { return point && point->table ? 1 : 0; }

}  // namespace jarnel
