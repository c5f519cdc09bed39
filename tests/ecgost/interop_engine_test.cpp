// Live cross-checks with the OpenSSL GOST engine: signatures both ways on every CryptoPro
// parameter set. This file uses the ENGINE interface, so it is built without
// OPENSSL_NO_DEPRECATED.
#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/ecgost/ec_der.h"
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

TEST_F(EcgostEngineInterop, VkoKeksEqualTheEngineDerive) {
  for (const auto& ps : kParamSets) {
    Curve c(ECURVE_by_number(ECURVE_number_by_paramset(ps.nid)));
    Key ours(ECGOST_new(c.get()));
    ECGOST_set_paramsets(ours.get(), ps.nid, NID_CP_R3411_94_PARAMSET, 0);
    ASSERT_TRUE(ECGOST_key_pair_generation(ours.get()));
    Pkey mine = engine_from_ours(ours.get());
    Pkey peer = engine_keygen(ps.name);
    Key peer_pub = ours_from_engine_public(peer.get());
    ASSERT_TRUE(mine && peer && peer_pub);
    unsigned char ukm[8];
    RAND_bytes(ukm, 8);
    PkeyCtx ctx(EVP_PKEY_CTX_new(mine.get(), nullptr));
    ASSERT_GT(EVP_PKEY_derive_init(ctx.get()), 0);
    ASSERT_GT(EVP_PKEY_derive_set_peer(ctx.get(), peer.get()), 0);
    ASSERT_GT(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8, ukm), 0);
    unsigned char theirs[32];
    size_t len = sizeof theirs;
    ASSERT_GT(EVP_PKEY_derive(ctx.get(), theirs, &len), 0);
    ASSERT_EQ(len, 32u);
    unsigned char kek[32];
    ASSERT_TRUE(ECGOST_vko_kek(ours.get(), ECGOST_get_public(peer_pub.get()), ukm, kek));
    EXPECT_EQ(hexstr(kek, 32), hexstr(theirs, 32)) << ps.name;
  }
}

TEST_F(EcgostEngineInterop, KeyTransportBothWays) {
  for (const auto& ps : kParamSets) {
    Curve c(ECURVE_by_number(ECURVE_number_by_paramset(ps.nid)));
    Key ours(ECGOST_new(c.get()));
    ECGOST_set_paramsets(ours.get(), ps.nid, NID_CP_R3411_94_PARAMSET, 0);
    ASSERT_TRUE(ECGOST_key_pair_generation(ours.get()));
    Pkey pk = engine_from_ours(ours.get());
    ASSERT_TRUE(pk);
    unsigned char cek[32], got[32];
    RAND_bytes(cek, 32);
    // Wrapped by the engine for our key, unwrapped here.
    PkeyCtx enc(EVP_PKEY_CTX_new(pk.get(), nullptr));
    ASSERT_GT(EVP_PKEY_encrypt_init(enc.get()), 0);
    unsigned char blob[512];
    size_t blen = sizeof blob;
    ASSERT_GT(EVP_PKEY_encrypt(enc.get(), blob, &blen, cek, 32), 0) << ps.name;
    ASSERT_TRUE(ECGOST_key_unwrap(ours.get(), blob, static_cast<int>(blen), got)) << ps.name;
    EXPECT_EQ(hexstr(got, 32), hexstr(cek, 32));
    // Wrapped here, unwrapped by the engine.
    int len = sizeof blob;
    ASSERT_TRUE(ECGOST_key_wrap(ours.get(), cek, blob, &len));
    PkeyCtx dec(EVP_PKEY_CTX_new(pk.get(), nullptr));
    ASSERT_GT(EVP_PKEY_decrypt_init(dec.get()), 0);
    size_t glen = sizeof got;
    ASSERT_GT(EVP_PKEY_decrypt(dec.get(), got, &glen, blob, static_cast<size_t>(len)), 0) << ps.name;
    ASSERT_EQ(glen, 32u);
    EXPECT_EQ(hexstr(got, 32), hexstr(cek, 32));
  }
}

// An enveloped CMS message made by "openssl cms -encrypt" with the engine for a GOST R 34.10-2001
// certificate: the content key in its GostR3410-KeyTransport unwraps here with the recipient's
// key.
TEST_F(EcgostEngineInterop, CmsEnvelopedDataKeyUnwrapsHere) {
  const std::string dir = ::testing::TempDir() + "ecgost_cms_" + std::to_string(reinterpret_cast<std::uintptr_t>(&dir));
  const std::string mk = "mkdir -p " + dir + " && cd " + dir +
      " && openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out k.pem"
      " && openssl pkey -engine gost -in k.pem -outform DER -out k.der"
      " && openssl req -engine gost -x509 -new -key k.pem -subj /CN=recipient -md_gost94 -days 1 -out c.pem"
      " && printf 'GOST enveloped data' > m.txt"
      " && openssl cms -engine gost -encrypt -binary -gost89 -in m.txt -outform DER -out m.cms c.pem";
  ASSERT_EQ(std::system((mk + " >/dev/null 2>&1").c_str()), 0);
  auto slurp = [&](const char* name) {
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "rb");
    std::vector<unsigned char> v;
    if (!f) return v;
    unsigned char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
    std::fclose(f);
    return v;
  };
  auto key = slurp("k.der"), cms = slurp("m.cms");
  std::system(("rm -rf " + dir).c_str());
  ASSERT_GT(key.size(), 32u);
  ASSERT_FALSE(cms.empty());
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Key ours(ECGOST_new(c.get()));
  auto be = reversed(key.data() + key.size() - 32, 32);
  Bn d(BN_bin2bn(be.data(), 32, nullptr));
  ASSERT_TRUE(ECGOST_set_private(ours.get(), d.get()));
  ASSERT_TRUE(ECGOST_generate_pubkey(ours.get()));
  // ContentInfo { OID, [0] { EnvelopedData { version, SET { KeyTransRecipientInfo { version,
  // rid, keyEncryptionAlgorithm, encryptedKey } }, ... } } }
  der::Reader r(cms);
  der::Reader ci(std::span<const unsigned char>{}), ex(std::span<const unsigned char>{}),
      env(std::span<const unsigned char>{}), set(std::span<const unsigned char>{}),
      ktri(std::span<const unsigned char>{});
  der::Oid arcs;
  std::span<const unsigned char> skip, ek;
  unsigned v = 0;
  ASSERT_TRUE(r.enter(0x30, ci) && ci.oid(arcs) && ci.enter(0xA0, ex) && ex.enter(0x30, env) &&
              env.small_integer(v) && env.enter(0x31, set) && set.enter(0x30, ktri) &&
              ktri.small_integer(v) && ktri.expect(0x30, skip) && ktri.expect(0x30, skip) &&
              ktri.expect(0x04, ek));
  unsigned char cek[32];
  EXPECT_TRUE(ECGOST_key_unwrap(ours.get(), ek.data(), static_cast<int>(ek.size()), cek));
}
