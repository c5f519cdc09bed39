#pragma once
// The GOST 28147-89 round function and cycles over an expanded table (internal to crypto/rus).
//
// Blocks are handled as two words: b0 from bytes 0..3, b1 from bytes 4..7 (little-endian). The
// rounds alternate which half they update instead of swapping halves, so the 32-round cycles
// end with the halves exchanged and the 16-round MAC cycle without.
#include <cstdint>
#include <cstring>

#include "crypto/byteorder.h"
#include "crypto/rus/gost89.h"

namespace jarnel::gost89 {

// The shared byte-order helpers (crypto/byteorder.h).
using jarnel::load_le32;
using jarnel::store_le32;

#define JARNEL_GOST_F(T, x)                                                           \
  ((T)->t[0][(x) & 0xFF] ^ (T)->t[1][((x) >> 8) & 0xFF] ^ (T)->t[2][((x) >> 16) & 0xFF] ^ \
   (T)->t[3][(x) >> 24])
#define JARNEL_GOST_R(T, a, b, key)        \
  do {                                     \
    std::uint32_t x_ = (a) + (key);        \
    (b) ^= JARNEL_GOST_F(T, x_);           \
  } while (0)
// Two rounds, each half updated once.
#define JARNEL_GOST_RR(T, n1, n2, ka, kb) \
  JARNEL_GOST_R(T, n1, n2, ka);           \
  JARNEL_GOST_R(T, n2, n1, kb)

// 32-round encryption: K0..K7 three times, then K7..K0.
inline void encrypt(const GOSTE_TABLE* T, const std::uint32_t* k, std::uint32_t& b0,
                    std::uint32_t& b1) {
  std::uint32_t n1 = b0, n2 = b1;
  const std::uint32_t k0 = k[0], k1 = k[1], k2 = k[2], k3 = k[3], k4 = k[4], k5 = k[5],
                      k6 = k[6], k7 = k[7];
  for (int i = 0; i < 3; ++i) {
    JARNEL_GOST_RR(T, n1, n2, k0, k1);
    JARNEL_GOST_RR(T, n1, n2, k2, k3);
    JARNEL_GOST_RR(T, n1, n2, k4, k5);
    JARNEL_GOST_RR(T, n1, n2, k6, k7);
  }
  JARNEL_GOST_RR(T, n1, n2, k7, k6);
  JARNEL_GOST_RR(T, n1, n2, k5, k4);
  JARNEL_GOST_RR(T, n1, n2, k3, k2);
  JARNEL_GOST_RR(T, n1, n2, k1, k0);
  b0 = n2;
  b1 = n1;
}

// 32-round decryption: K0..K7 once, then K7..K0 three times.
inline void decrypt(const GOSTE_TABLE* T, const std::uint32_t* k, std::uint32_t& b0,
                    std::uint32_t& b1) {
  std::uint32_t n1 = b0, n2 = b1;
  const std::uint32_t k0 = k[0], k1 = k[1], k2 = k[2], k3 = k[3], k4 = k[4], k5 = k[5],
                      k6 = k[6], k7 = k[7];
  JARNEL_GOST_RR(T, n1, n2, k0, k1);
  JARNEL_GOST_RR(T, n1, n2, k2, k3);
  JARNEL_GOST_RR(T, n1, n2, k4, k5);
  JARNEL_GOST_RR(T, n1, n2, k6, k7);
  for (int i = 0; i < 3; ++i) {
    JARNEL_GOST_RR(T, n1, n2, k7, k6);
    JARNEL_GOST_RR(T, n1, n2, k5, k4);
    JARNEL_GOST_RR(T, n1, n2, k3, k2);
    JARNEL_GOST_RR(T, n1, n2, k1, k0);
  }
  b0 = n2;
  b1 = n1;
}

// Two independent blocks at once: the rounds of one fill the latency gaps of the other.
inline void encrypt2(const GOSTE_TABLE* T, const std::uint32_t* k, std::uint32_t& a0,
                     std::uint32_t& a1, std::uint32_t& c0, std::uint32_t& c1) {
  std::uint32_t n1 = a0, n2 = a1, m1 = c0, m2 = c1;
  const std::uint32_t k0 = k[0], k1 = k[1], k2 = k[2], k3 = k[3], k4 = k[4], k5 = k[5],
                      k6 = k[6], k7 = k[7];
#define JARNEL_GOST_RR2(ka, kb)      \
  JARNEL_GOST_R(T, n1, n2, ka);      \
  JARNEL_GOST_R(T, m1, m2, ka);      \
  JARNEL_GOST_R(T, n2, n1, kb);      \
  JARNEL_GOST_R(T, m2, m1, kb)
  for (int i = 0; i < 3; ++i) {
    JARNEL_GOST_RR2(k0, k1);
    JARNEL_GOST_RR2(k2, k3);
    JARNEL_GOST_RR2(k4, k5);
    JARNEL_GOST_RR2(k6, k7);
  }
  JARNEL_GOST_RR2(k7, k6);
  JARNEL_GOST_RR2(k5, k4);
  JARNEL_GOST_RR2(k3, k2);
  JARNEL_GOST_RR2(k1, k0);
  a0 = n2;
  a1 = n1;
  c0 = m2;
  c1 = m1;
}

inline void decrypt2(const GOSTE_TABLE* T, const std::uint32_t* k, std::uint32_t& a0,
                     std::uint32_t& a1, std::uint32_t& c0, std::uint32_t& c1) {
  std::uint32_t n1 = a0, n2 = a1, m1 = c0, m2 = c1;
  const std::uint32_t k0 = k[0], k1 = k[1], k2 = k[2], k3 = k[3], k4 = k[4], k5 = k[5],
                      k6 = k[6], k7 = k[7];
  JARNEL_GOST_RR2(k0, k1);
  JARNEL_GOST_RR2(k2, k3);
  JARNEL_GOST_RR2(k4, k5);
  JARNEL_GOST_RR2(k6, k7);
  for (int i = 0; i < 3; ++i) {
    JARNEL_GOST_RR2(k7, k6);
    JARNEL_GOST_RR2(k5, k4);
    JARNEL_GOST_RR2(k3, k2);
    JARNEL_GOST_RR2(k1, k0);
  }
#undef JARNEL_GOST_RR2
  a0 = n2;
  a1 = n1;
  c0 = m2;
  c1 = m1;
}

// Four independent blocks under one key (b[i][0] bytes 0..3, b[i][1] bytes 4..7 of block i).
inline void crypt4(const GOSTE_TABLE* T, const std::uint32_t* k, std::uint32_t b[4][2], bool enc) {
  static constexpr unsigned char kEnc[32] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7,
                                             0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0};
  static constexpr unsigned char kDec[32] = {0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0,
                                             7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0};
  const unsigned char* order = enc ? kEnc : kDec;
  std::uint32_t a1 = b[0][0], a2 = b[0][1], c1 = b[1][0], c2 = b[1][1];
  std::uint32_t d1 = b[2][0], d2 = b[2][1], e1 = b[3][0], e2 = b[3][1];
#pragma GCC unroll 16
  for (int r = 0; r < 32; r += 2) {
    const std::uint32_t ki = k[order[r]], kj = k[order[r + 1]];
    JARNEL_GOST_R(T, a1, a2, ki);
    JARNEL_GOST_R(T, c1, c2, ki);
    JARNEL_GOST_R(T, d1, d2, ki);
    JARNEL_GOST_R(T, e1, e2, ki);
    JARNEL_GOST_R(T, a2, a1, kj);
    JARNEL_GOST_R(T, c2, c1, kj);
    JARNEL_GOST_R(T, d2, d1, kj);
    JARNEL_GOST_R(T, e2, e1, kj);
  }
  b[0][0] = a2;
  b[0][1] = a1;
  b[1][0] = c2;
  b[1][1] = c1;
  b[2][0] = d2;
  b[2][1] = d1;
  b[3][0] = e2;
  b[3][1] = e1;
}

// 16-round MAC cycle: K0..K7 twice, halves not exchanged at the end.
inline void mac16(const GOSTE_TABLE* T, const std::uint32_t* k, std::uint32_t& b0,
                  std::uint32_t& b1) {
  std::uint32_t n1 = b0, n2 = b1;
  const std::uint32_t k0 = k[0], k1 = k[1], k2 = k[2], k3 = k[3], k4 = k[4], k5 = k[5],
                      k6 = k[6], k7 = k[7];
  for (int i = 0; i < 2; ++i) {
    JARNEL_GOST_RR(T, n1, n2, k0, k1);
    JARNEL_GOST_RR(T, n1, n2, k2, k3);
    JARNEL_GOST_RR(T, n1, n2, k4, k5);
    JARNEL_GOST_RR(T, n1, n2, k6, k7);
  }
  b0 = n1;
  b1 = n2;
}

}  // namespace jarnel::gost89
