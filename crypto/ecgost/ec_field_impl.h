#pragma once
// The per-size field templates, shared by ec_field.cpp (which installs them in a Field) and the
// point formulas (which call the four-limb instances directly so they inline).
#include <cstdint>

#include "crypto/ecgost/ec_field.h"

namespace jarnel::ec::detail {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

// r = a - b over N limbs; returns the borrow.
template <int N>
[[gnu::always_inline]] inline u64 sub_n(u64* r, const u64* a, const u64* b) {
  u64 borrow = 0;
  #pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    u128 d = static_cast<u128>(a[i]) - b[i] - borrow;
    r[i] = static_cast<u64>(d);
    borrow = static_cast<u64>(d >> 64) & 1;
  }
  return borrow;
}

// Chooses x when mask is all ones, y when it is 0.
template <int N>
[[gnu::always_inline]] inline void select_n(u64* r, u64 mask, const u64* x, const u64* y) {
  #pragma GCC unroll 8
  for (int i = 0; i < N; ++i) r[i] = (x[i] & mask) | (y[i] & ~mask);
}

template <int N>
void mont_mul(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  u64 t[N + 2] = {};
  #pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    u128 c = 0;
    const u64 bi = b.v[i];
    #pragma GCC unroll 8
    for (int j = 0; j < N; ++j) {
      c += static_cast<u128>(a.v[j]) * bi + t[j];
      t[j] = static_cast<u64>(c);
      c >>= 64;
    }
    c += t[N];
    t[N] = static_cast<u64>(c);
    t[N + 1] = static_cast<u64>(c >> 64);
    const u64 m = t[0] * f.pinv;
    c = static_cast<u128>(m) * f.p[0] + t[0];
    c >>= 64;
    #pragma GCC unroll 8
    for (int j = 1; j < N; ++j) {
      c += static_cast<u128>(m) * f.p[j] + t[j];
      t[j - 1] = static_cast<u64>(c);
      c >>= 64;
    }
    c += t[N];
    t[N - 1] = static_cast<u64>(c);
    t[N] = t[N + 1] + static_cast<u64>(c >> 64);
  }
  u64 s[N];
  const u64 borrow = sub_n<N>(s, t, f.p);
  // Keep t only when t < p, that is when the subtraction borrowed and no carry word is set.
  const u64 keep_t = 0 - (borrow & static_cast<u64>(t[N] == 0));
  select_n<N>(r.v, keep_t, t, s);
}


// r = t - p when t = t4:t3:t2:t1:t0 (below 2p) is at least p, else t; without branches.
inline void reduce_once4(const Field& f, Fe& r, u64 t0, u64 t1, u64 t2, u64 t3, u64 t4) {
  u128 x = static_cast<u128>(t0) - f.p[0];
  const u64 s0 = static_cast<u64>(x);
  u64 borrow = static_cast<u64>(x >> 64) & 1;
  x = static_cast<u128>(t1) - f.p[1] - borrow;
  const u64 s1 = static_cast<u64>(x);
  borrow = static_cast<u64>(x >> 64) & 1;
  x = static_cast<u128>(t2) - f.p[2] - borrow;
  const u64 s2 = static_cast<u64>(x);
  borrow = static_cast<u64>(x >> 64) & 1;
  x = static_cast<u128>(t3) - f.p[3] - borrow;
  const u64 s3 = static_cast<u64>(x);
  borrow = static_cast<u64>(x >> 64) & 1;
  const u64 keep_t = 0 - (borrow & static_cast<u64>(t4 == 0));
  r.v[0] = (t0 & keep_t) | (s0 & ~keep_t);
  r.v[1] = (t1 & keep_t) | (s1 & ~keep_t);
  r.v[2] = (t2 & keep_t) | (s2 & ~keep_t);
  r.v[3] = (t3 & keep_t) | (s3 & ~keep_t);
}

// The four-limb product with every word in a local, so the compiler keeps them in registers.
inline void mont_mul4(const Field& f, Fe& r, const Fe& A, const Fe& B) {
  const u64 a0 = A.v[0], a1 = A.v[1], a2 = A.v[2], a3 = A.v[3];
  const u64 pinv = f.pinv;
  u64 t0 = 0, t1 = 0, t2 = 0, t3 = 0, t4 = 0, t5;
  u128 x;
  u64 c;
#define JARNEL_MONT_ROUND(bi)                                   \
  do {                                                          \
    const u64 b_ = (bi);                                        \
    x = static_cast<u128>(a0) * b_ + t0;                        \
    t0 = static_cast<u64>(x);                                   \
    c = static_cast<u64>(x >> 64);                              \
    x = static_cast<u128>(a1) * b_ + t1 + c;                    \
    t1 = static_cast<u64>(x);                                   \
    c = static_cast<u64>(x >> 64);                              \
    x = static_cast<u128>(a2) * b_ + t2 + c;                    \
    t2 = static_cast<u64>(x);                                   \
    c = static_cast<u64>(x >> 64);                              \
    x = static_cast<u128>(a3) * b_ + t3 + c;                    \
    t3 = static_cast<u64>(x);                                   \
    x = static_cast<u128>(t4) + static_cast<u64>(x >> 64);      \
    t4 = static_cast<u64>(x);                                   \
    t5 = static_cast<u64>(x >> 64);                             \
    const u64 m_ = t0 * pinv;                                   \
    x = static_cast<u128>(m_) * f.p[0] + t0;                    \
    c = static_cast<u64>(x >> 64);                              \
    x = static_cast<u128>(m_) * f.p[1] + t1 + c;                \
    t0 = static_cast<u64>(x);                                   \
    c = static_cast<u64>(x >> 64);                              \
    x = static_cast<u128>(m_) * f.p[2] + t2 + c;                \
    t1 = static_cast<u64>(x);                                   \
    c = static_cast<u64>(x >> 64);                              \
    x = static_cast<u128>(m_) * f.p[3] + t3 + c;                \
    t2 = static_cast<u64>(x);                                   \
    x = static_cast<u128>(t4) + static_cast<u64>(x >> 64);      \
    t3 = static_cast<u64>(x);                                   \
    t4 = t5 + static_cast<u64>(x >> 64);                        \
  } while (0)
  JARNEL_MONT_ROUND(B.v[0]);
  JARNEL_MONT_ROUND(B.v[1]);
  JARNEL_MONT_ROUND(B.v[2]);
  JARNEL_MONT_ROUND(B.v[3]);
#undef JARNEL_MONT_ROUND
  reduce_once4(f, r, t0, t1, t2, t3, t4);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define JARNEL_EC_HAVE_ADX_PATH 1
inline constexpr u64 kZeroWord = 0;

// The same product with the two independent carry chains of MULX/ADCX/ADOX (BMI2 and ADX);
// chosen at field set-up when the processor has them.
inline void mont_mul4_adx(const Field& f, Fe& r, const Fe& A, const Fe& B) {
  u64 t0, t1, t2, t3, t4, t5, lo, hi;
#define JARNEL_ADX_ROUND(off)                              \
  "movq " #off "(%[b]), %%rdx\n\t"                          \
  "xorl %k[t5], %k[t5]\n\t"                                 \
  "xorl %k[lo], %k[lo]\n\t"                                 \
  "mulxq 0(%[a]), %[lo], %[hi]\n\t"                         \
  "adoxq %[lo], %[t0]\n\t"                                  \
  "adcxq %[hi], %[t1]\n\t"                                  \
  "mulxq 8(%[a]), %[lo], %[hi]\n\t"                         \
  "adoxq %[lo], %[t1]\n\t"                                  \
  "adcxq %[hi], %[t2]\n\t"                                  \
  "mulxq 16(%[a]), %[lo], %[hi]\n\t"                        \
  "adoxq %[lo], %[t2]\n\t"                                  \
  "adcxq %[hi], %[t3]\n\t"                                  \
  "mulxq 24(%[a]), %[lo], %[hi]\n\t"                        \
  "adoxq %[lo], %[t3]\n\t"                                  \
  "adcxq %[hi], %[t4]\n\t"                                  \
  "adcxq %[zero], %[t5]\n\t"                                \
  "adoxq %[zero], %[t4]\n\t"                                \
  "adoxq %[zero], %[t5]\n\t"                                \
  "movq %[t0], %%rdx\n\t"                                   \
  "imulq %[pinv], %%rdx\n\t"                                \
  "xorl %k[lo], %k[lo]\n\t"                                 \
  "mulxq 0(%[p]), %[lo], %[hi]\n\t"                         \
  "adoxq %[lo], %[t0]\n\t"                                  \
  "adcxq %[hi], %[t1]\n\t"                                  \
  "mulxq 8(%[p]), %[lo], %[hi]\n\t"                         \
  "adoxq %[lo], %[t1]\n\t"                                  \
  "adcxq %[hi], %[t2]\n\t"                                  \
  "mulxq 16(%[p]), %[lo], %[hi]\n\t"                        \
  "adoxq %[lo], %[t2]\n\t"                                  \
  "adcxq %[hi], %[t3]\n\t"                                  \
  "mulxq 24(%[p]), %[lo], %[hi]\n\t"                        \
  "adoxq %[lo], %[t3]\n\t"                                  \
  "adcxq %[hi], %[t4]\n\t"                                  \
  "adcxq %[zero], %[t5]\n\t"                                \
  "adoxq %[zero], %[t4]\n\t"                                \
  "adoxq %[zero], %[t5]\n\t"                                \
  "movq %[t1], %[t0]\n\t"                                   \
  "movq %[t2], %[t1]\n\t"                                   \
  "movq %[t3], %[t2]\n\t"                                   \
  "movq %[t4], %[t3]\n\t"                                   \
  "movq %[t5], %[t4]\n\t"
  __asm__(
      "xorl %k[t0], %k[t0]\n\t"
      "xorl %k[t1], %k[t1]\n\t"
      "xorl %k[t2], %k[t2]\n\t"
      "xorl %k[t3], %k[t3]\n\t"
      "xorl %k[t4], %k[t4]\n\t"
      JARNEL_ADX_ROUND(0) JARNEL_ADX_ROUND(8) JARNEL_ADX_ROUND(16) JARNEL_ADX_ROUND(24)
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4),
        [t5] "=&r"(t5), [lo] "=&r"(lo), [hi] "=&r"(hi)
      : [a] "r"(A.v), [b] "r"(B.v), [p] "r"(f.p), [pinv] "m"(f.pinv), [zero] "m"(kZeroWord)
      : "rdx", "cc", "memory");
#undef JARNEL_ADX_ROUND
  reduce_once4(f, r, t0, t1, t2, t3, t4);
}
#endif

// r = t mod p for p = 2^256 - c (c = f.pm_c < 2^32) and a 512-bit t = t7:...:t0 below p^2;
// no branch on the values.
inline void pm_reduce4(const Field& f, Fe& r, const u64* t) {
  const u64 c = f.pm_c;
  // Fold the high half: u = lo + hi * c (at most 2^289).
  u64 u[5];
  u64 carry = 0;
  #pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) {
    const u128 x = static_cast<u128>(t[4 + j]) * c + t[j] + carry;
    u[j] = static_cast<u64>(x);
    carry = static_cast<u64>(x >> 64);
  }
  u[4] = carry;
  // Fold the fifth word: v = u mod 2^256 + u4 * c, which may carry once more past 2^256.
  u128 x = static_cast<u128>(u[4]) * c + u[0];
  u64 v0 = static_cast<u64>(x);
  x = (x >> 64) + u[1];
  u64 v1 = static_cast<u64>(x);
  x = (x >> 64) + u[2];
  u64 v2 = static_cast<u64>(x);
  x = (x >> 64) + u[3];
  u64 v3 = static_cast<u64>(x);
  const u64 top = static_cast<u64>(x >> 64);  // 0 or 1
  // A carry past 2^256 is worth c; the sum then is far below 2^256.
  x = static_cast<u128>(v0) + (c & (0 - top));
  v0 = static_cast<u64>(x);
  x = (x >> 64) + v1;
  v1 = static_cast<u64>(x);
  x = (x >> 64) + v2;
  v2 = static_cast<u64>(x);
  x = (x >> 64) + v3;
  v3 = static_cast<u64>(x);
  // v < 2^256; subtract p (add c, drop 2^256) when v >= p, that is when v + c carries.
  x = static_cast<u128>(v0) + c;
  const u64 w0 = static_cast<u64>(x);
  x = (x >> 64) + v1;
  const u64 w1 = static_cast<u64>(x);
  x = (x >> 64) + v2;
  const u64 w2 = static_cast<u64>(x);
  x = (x >> 64) + v3;
  const u64 w3 = static_cast<u64>(x);
  const u64 ge = 0 - static_cast<u64>(x >> 64);
  r.v[0] = (w0 & ge) | (v0 & ~ge);
  r.v[1] = (w1 & ge) | (v1 & ~ge);
  r.v[2] = (w2 & ge) | (v2 & ~ge);
  r.v[3] = (w3 & ge) | (v3 & ~ge);
}

// r = a * b mod p for p = 2^256 - c, a, b < p.
inline void pm_mul4(const Field& f, Fe& r, const Fe& A, const Fe& B) {
  u64 t[8];
  {
    u64 carry = 0;
    for (int j = 0; j < 4; ++j) {
      const u128 x = static_cast<u128>(A.v[0]) * B.v[j] + carry;
      t[j] = static_cast<u64>(x);
      carry = static_cast<u64>(x >> 64);
    }
    t[4] = carry;
  }
  #pragma GCC unroll 4
  for (int i = 1; i < 4; ++i) {
    u64 carry = 0;
    #pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
      const u128 x = static_cast<u128>(A.v[i]) * B.v[j] + t[i + j] + carry;
      t[i + j] = static_cast<u64>(x);
      carry = static_cast<u64>(x >> 64);
    }
    t[i + 4] = carry;
  }
  pm_reduce4(f, r, t);
}

// r = a^2 mod p for p = 2^256 - c: the six cross products once, doubled, plus the squares.
inline void pm_sqr4(const Field& f, Fe& r, const Fe& A) {
  const u64 a0 = A.v[0], a1 = A.v[1], a2 = A.v[2], a3 = A.v[3];
  u64 t[8];
  u128 x = static_cast<u128>(a0) * a1;
  t[1] = static_cast<u64>(x);
  x = static_cast<u128>(a0) * a2 + static_cast<u64>(x >> 64);
  t[2] = static_cast<u64>(x);
  x = static_cast<u128>(a0) * a3 + static_cast<u64>(x >> 64);
  t[3] = static_cast<u64>(x);
  t[4] = static_cast<u64>(x >> 64);
  x = static_cast<u128>(a1) * a2 + t[3];
  t[3] = static_cast<u64>(x);
  x = static_cast<u128>(a1) * a3 + t[4] + static_cast<u64>(x >> 64);
  t[4] = static_cast<u64>(x);
  t[5] = static_cast<u64>(x >> 64);
  x = static_cast<u128>(a2) * a3 + t[5];
  t[5] = static_cast<u64>(x);
  t[6] = static_cast<u64>(x >> 64);
  // Double the cross products.
  t[7] = t[6] >> 63;
  t[6] = (t[6] << 1) | (t[5] >> 63);
  t[5] = (t[5] << 1) | (t[4] >> 63);
  t[4] = (t[4] << 1) | (t[3] >> 63);
  t[3] = (t[3] << 1) | (t[2] >> 63);
  t[2] = (t[2] << 1) | (t[1] >> 63);
  t[1] = t[1] << 1;
  // Add the squares.
  x = static_cast<u128>(a0) * a0;
  t[0] = static_cast<u64>(x);
  x = static_cast<u128>(t[1]) + static_cast<u64>(x >> 64);
  t[1] = static_cast<u64>(x);
  x = static_cast<u128>(a1) * a1 + t[2] + static_cast<u64>(x >> 64);
  t[2] = static_cast<u64>(x);
  x = static_cast<u128>(t[3]) + static_cast<u64>(x >> 64);
  t[3] = static_cast<u64>(x);
  x = static_cast<u128>(a2) * a2 + t[4] + static_cast<u64>(x >> 64);
  t[4] = static_cast<u64>(x);
  x = static_cast<u128>(t[5]) + static_cast<u64>(x >> 64);
  t[5] = static_cast<u64>(x);
  x = static_cast<u128>(a3) * a3 + t[6] + static_cast<u64>(x >> 64);
  t[6] = static_cast<u64>(x);
  t[7] += static_cast<u64>(x >> 64);
  pm_reduce4(f, r, t);
}

template <>
inline void mont_mul<4>(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  if (f.pm_c) {
    // The same operand twice is a square (an address test: nothing about the values).
    if (&a == &b)
      pm_sqr4(f, r, a);
    else
      pm_mul4(f, r, a, b);
    return;
  }
#ifdef JARNEL_EC_HAVE_ADX_PATH
  if (f.adx) {
    mont_mul4_adx(f, r, a, b);
    return;
  }
#endif
  mont_mul4(f, r, a, b);
}

template <int N>
[[gnu::always_inline]] inline void mod_add(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  u64 t[N];
  u64 carry = 0;
  #pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    u128 s = static_cast<u128>(a.v[i]) + b.v[i] + carry;
    t[i] = static_cast<u64>(s);
    carry = static_cast<u64>(s >> 64);
  }
  u64 s[N];
  const u64 borrow = sub_n<N>(s, t, f.p);
  const u64 keep_t = 0 - (borrow & static_cast<u64>(carry == 0));
  select_n<N>(r.v, keep_t, t, s);
}

template <int N>
[[gnu::always_inline]] inline void mod_sub(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  u64 t[N];
  const u64 borrow = sub_n<N>(t, a.v, b.v);
  const u64 mask = 0 - borrow;
  u64 carry = 0;
  #pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    u128 s = static_cast<u128>(t[i]) + (f.p[i] & mask) + carry;
    r.v[i] = static_cast<u64>(s);
    carry = static_cast<u64>(s >> 64);
  }
}

}  // namespace jarnel::ec::detail
