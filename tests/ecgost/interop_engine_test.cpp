// Live cross-checks with the OpenSSL GOST engine: signatures both ways on every CryptoPro
// parameter set. This file uses the ENGINE interface, so it is built without
// OPENSSL_NO_DEPRECATED.
#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "interop_util.h"

using namespace jarnel;
using namespace ectest;

namespace {

ENGINE* gost_engine() {
  static ENGINE* e = [] {
    ENGINE* x = ENGINE_by_id("gost");
    if (x && ENGINE_init(x)) {
      ENGINE_set_default(x, ENGINE_METHOD_ALL);
      return x;
    }
    return static_cast<ENGINE*>(nullptr);
  }();
  return e;
}

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct CtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

Pkey engine_keygen(const char* paramset) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_id(NID_id_GostR3410_2001, gost_engine()));
  EVP_PKEY* out = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", paramset) <= 0 ||
      EVP_PKEY_keygen(ctx.get(), &out) <= 0)
    return nullptr;
  return Pkey(out);
}

// Our key from the engine's public key (SubjectPublicKeyInfo).
Key ours_from_engine_public(EVP_PKEY* pk) {
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(pk, &der);
  const unsigned char* p = der;
  Key k(len > 0 ? d2i_ECGOST_PUBKEY(nullptr, &p, len) : nullptr);
  OPENSSL_free(der);
  return k;
}

// The engine's key from ours (PKCS#8 with the private value little-endian in an OCTET STRING).
Pkey engine_from_ours(ECGOST* key) {
  Bn d(BN_new());
  if (!ECGOST_get_private(key, d.get())) return nullptr;
  unsigned char le[32];
  BN_bn2lebinpad(d.get(), le, 32);
  unsigned char params[64];
  unsigned char* pp = params;
  const int plen = i2d_ECGOSTPARAMS(key, &pp);
  std::vector<unsigned char> alg = {0x06, 0x06, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x13};
  alg.insert(alg.end(), params, params + plen);
  std::vector<unsigned char> body = {0x02, 0x01, 0x00, 0x30, static_cast<unsigned char>(alg.size())};
  body.insert(body.end(), alg.begin(), alg.end());
  body.push_back(0x04);
  body.push_back(32);
  body.insert(body.end(), le, le + 32);
  std::vector<unsigned char> der = {0x30, static_cast<unsigned char>(body.size())};
  der.insert(der.end(), body.begin(), body.end());
  const unsigned char* p = der.data();
  return Pkey(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
}

const struct {
  const char* name;
  int nid;
} kParamSets[] = {{"A", NID_CP_2001_A},
                  {"B", NID_CP_2001_B},
                  {"C", NID_CP_2001_C},
                  {"XA", NID_CP_2001_XCHA},
                  {"XB", NID_CP_2001_XCHB}};

}  // namespace

class EcgostEngineInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gost_engine()) GTEST_SKIP() << "the OpenSSL GOST engine is not installed";
  }
};

TEST_F(EcgostEngineInterop, EngineSignaturesVerifyHere) {
  for (const auto& ps : kParamSets) {
    Pkey pk = engine_keygen(ps.name);
    ASSERT_TRUE(pk) << ps.name;
    Key ours = ours_from_engine_public(pk.get());
    ASSERT_TRUE(ours) << ps.name;
    EXPECT_EQ(ECURVE_get_nid(ECGOST_get_curve(ours.get())), ps.nid);
    for (int round = 0; round < 5; ++round) {
      unsigned char dg[32];
      RAND_bytes(dg, 32);
      PkeyCtx ctx(EVP_PKEY_CTX_new(pk.get(), nullptr));
      unsigned char sig[64];
      size_t siglen = sizeof sig;
      ASSERT_GT(EVP_PKEY_sign_init(ctx.get()), 0);
      ASSERT_GT(EVP_PKEY_sign(ctx.get(), sig, &siglen, dg, 32), 0);
      ASSERT_EQ(siglen, 64u);
      // The engine reads the digest as a little-endian number and writes s || r.
      auto e = reversed(dg, 32);
      EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, e.data(), 32, sig, 64, ours.get()), 1) << ps.name;
      sig[10] ^= 0x40;
      EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, e.data(), 32, sig, 64, ours.get()), 0) << ps.name;
    }
  }
}

TEST_F(EcgostEngineInterop, SignaturesMadeHereVerifyInTheEngine) {
  for (const auto& ps : kParamSets) {
    Curve c(ECURVE_by_number(ECURVE_number_by_paramset(ps.nid)));
    Key ours(ECGOST_new(c.get()));
    ECGOST_set_paramsets(ours.get(), ps.nid, NID_CP_R3411_94_PARAMSET, 0);
    ASSERT_TRUE(ECGOST_key_pair_generation(ours.get()));
    Pkey pk = engine_from_ours(ours.get());
    ASSERT_TRUE(pk) << ps.name;
    for (int round = 0; round < 5; ++round) {
      unsigned char dg[32];
      RAND_bytes(dg, 32);
      auto e = reversed(dg, 32);
      unsigned char sig[64];
      unsigned siglen = 0;
      ASSERT_TRUE(ECGOST_sign(ECGOST_SIG_CP, e.data(), 32, sig, &siglen, ours.get()));
      PkeyCtx ctx(EVP_PKEY_CTX_new(pk.get(), nullptr));
      ASSERT_GT(EVP_PKEY_verify_init(ctx.get()), 0);
      EXPECT_EQ(EVP_PKEY_verify(ctx.get(), sig, siglen, dg, 32), 1) << ps.name;
    }
    // And the engine's idea of the public key is ours.
    Key back = ours_from_engine_public(pk.get());
    ASSERT_TRUE(back);
    EXPECT_EQ(ECPOINT_cmp(ECGOST_get_public(back.get()), ECGOST_get_public(ours.get())), 0);
  }
}
