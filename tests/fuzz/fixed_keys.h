#pragma once
// The fixed keys the harnesses verify and unwrap with; tests/fuzz/driver/make_seeds.cpp makes
// the seed inputs under the same keys, so the seeds reach past the MAC and signature checks.
#include <openssl/bn.h>

#include "crypto/ecgost/ecgost.h"
#include "crypto/objects/objects.h"
#include "crypto/r3410/r3410.h"

namespace fuzz {

inline constexpr unsigned char kPrivate[32] = {
    0x1c, 0x3f, 0x52, 0x61, 0x7a, 0x0b, 0x9e, 0x44, 0x15, 0x26, 0x37, 0x48, 0x59, 0x6a, 0x7b, 0x8c,
    0x9d, 0xae, 0xbf, 0xc0, 0xd1, 0xe2, 0xf3, 0x04, 0x15, 0x26, 0x37, 0x48, 0x59, 0x6a, 0x7b, 0x8c};

// The GOST R 34.10-2001 curves by number, and the public-key parameter set of each.
inline constexpr int kCurves[] = {jarnel::ECURVE_CP_A, jarnel::ECURVE_CP_B, jarnel::ECURVE_CP_C,
                                  jarnel::ECURVE_CP_XCHA, jarnel::ECURVE_CP_XCHB,
                                  jarnel::ECURVE_TEST, jarnel::ECURVE_P256};
inline constexpr int kCurveCount = sizeof kCurves / sizeof kCurves[0];
inline constexpr int kParamsets[] = {jarnel::NID_CP_2001_A, jarnel::NID_CP_2001_B,
                                     jarnel::NID_CP_2001_C, jarnel::NID_CP_2001_XCHA,
                                     jarnel::NID_CP_2001_XCHB, jarnel::NID_CP_2001_A,
                                     jarnel::NID_CP_2001_A};

// The key pair (private value kPrivate) on curve kCurves[i]; made once, never freed.
inline jarnel::ECGOST* ecgost_key(int i) {
  static jarnel::ECGOST* keys[kCurveCount] = {};
  if (!keys[i]) {
    jarnel::ECURVE* curve = jarnel::ECURVE_by_number(kCurves[i]);
    jarnel::ECGOST* key = jarnel::ECGOST_new(curve);
    jarnel::ECURVE_free(curve);
    jarnel::ECGOST_set_paramsets(key, kParamsets[i], jarnel::NID_CP_R3411_94_PARAMSET,
                                 jarnel::NID_CP_28147_A);
    BIGNUM* d = BN_bin2bn(kPrivate, sizeof kPrivate, nullptr);
    jarnel::ECGOST_set_private(key, d);
    BN_clear_free(d);
    jarnel::ECGOST_generate_pubkey(key);
    keys[i] = key;
  }
  return keys[i];
}

// GOST R 34.10-94 parameter selectors, and the key pair (x = kPrivate) on each.
inline constexpr int kR3410Selectors[] = {jarnel::R3410_SEL_CP_A, jarnel::R3410_SEL_CP_B,
                                          jarnel::R3410_SEL_CP_C, jarnel::R3410_SEL_CP_D,
                                          jarnel::R3410_SEL_CP_XCHA, jarnel::R3410_SEL_BUILTIN_1};
inline constexpr int kR3410Count = sizeof kR3410Selectors / sizeof kR3410Selectors[0];

inline jarnel::R3410* r3410_key(int i) {
  static jarnel::R3410* keys[kR3410Count] = {};
  if (!keys[i]) {
    jarnel::R3410* key = jarnel::R3410_new();
    jarnel::R3410_set_params(key, kR3410Selectors[i]);
    jarnel::R3410_set_private_key(key, kPrivate, sizeof kPrivate);
    jarnel::R3410_generate_pubkey(key);
    keys[i] = key;
  }
  return keys[i];
}

}  // namespace fuzz
