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
inline u64 sub_n(u64* r, const u64* a, const u64* b) {
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
inline void select_n(u64* r, u64 mask, const u64* x, const u64* y) {
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

template <int N>
void mod_add(const Field& f, Fe& r, const Fe& a, const Fe& b) {
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
void mod_sub(const Field& f, Fe& r, const Fe& a, const Fe& b) {
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
