// Keys generated and used on the GOST test module through the library's token-key operations,
// each result checked against an independent peer: this library's software verifier, VKO and
// key transport, libgcrypt and the OpenSSL GOST engine (ENGINE interface and command line).
#include <gcrypt.h>
#include <openssl/rand.h>

#include <cstring>
#include <fstream>

#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/mem.h"
#include "crypto/pkcs11/token_keys.h"
#include "engine_peer.h"
#include "gost_module.h"

using namespace jarnel;
using namespace gosttest;

namespace {

constexpr char kContainer[] = "pkcs11:\\pkcs11gost\\container";

std::string key_path(const std::string& name) { return std::string("pkcs11:\\pkcs11gost\\") + name; }

struct PinCount {
  int calls = 0;
};
PinCount g_pin;
int pin_cb(char* buf, int size, int, void*) {
  ++g_pin.calls;
  if (size < 4) return -1;
  std::memcpy(buf, "1234", 4);
  return 4;
}

// SubjectPublicKeyInfo of a key, as this library writes it.
Bytes spki(ECGOST* key) {
  int n = i2d_ECGOST_PUBKEY(key, nullptr);
  Bytes out(n > 0 ? static_cast<std::size_t>(n) : 0);
  unsigned char* p = out.data();
  if (n > 0) i2d_ECGOST_PUBKEY(key, &p);
  return out;
}
// The engine's key from a software key (PKCS#8, private value little-endian).
Bytes pkcs8(ECGOST* key) {
  BIGNUM* d = BN_new();
  unsigned char le[32];
  bool ok = ECGOST_get_private(key, d) && BN_bn2lebinpad(d, le, 32) == 32;
  BN_free(d);
  if (!ok) return {};
  unsigned char params[64];
  unsigned char* pp = params;
  const int plen = i2d_ECGOSTPARAMS(key, &pp);
  Bytes alg = {0x06, 0x06, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x13};
  alg.insert(alg.end(), params, params + plen);
  Bytes body = {0x02, 0x01, 0x00, 0x30, static_cast<unsigned char>(alg.size())};
  body.insert(body.end(), alg.begin(), alg.end());
  body.push_back(0x04);
  body.push_back(32);
  body.insert(body.end(), le, le + 32);
  Bytes der = {0x30, static_cast<unsigned char>(body.size())};
  der.insert(der.end(), body.begin(), body.end());
  return der;
}

const char* gcrypt_curve(int nid) {
  switch (nid) {
    case NID_CP_2001_B: return "GOST2001-CryptoPro-B";
    case NID_CP_2001_C: return "GOST2001-CryptoPro-C";
    case NID_CP_2001_XCHA: return "GOST2001-CryptoPro-XchA";
    case NID_CP_2001_XCHB: return "GOST2001-CryptoPro-XchB";
    default: return "GOST2001-CryptoPro-A";
  }
}

// libgcrypt's verdict on a token signature (s || r) over the digest (a big-endian number).
bool gcrypt_verifies(ECGOST* key, const unsigned char dg[32], const unsigned char sig[64]) {
  int nid = 0;
  ECGOST_get_paramsets(key, &nid, nullptr, nullptr);
  unsigned char q[65];
  if (ECPOINT_point2bin(ECGOST_get_public(key), 0, q, sizeof q) != 65) return false;
  gcry_sexp_t pub = nullptr, data = nullptr, sv = nullptr;
  bool ok = gcry_sexp_build(&pub, nullptr, "(public-key (ecc (curve %s) (q %b)))",
                            gcrypt_curve(nid), 65, q) == 0 &&
            gcry_sexp_build(&data, nullptr, "(data (flags gost) (value %b))", 32, dg) == 0 &&
            gcry_sexp_build(&sv, nullptr, "(sig-val (gost (r %b) (s %b)))", 32, sig + 32, 32,
                            sig) == 0 &&
            gcry_pk_verify(sv, data, pub) == 0;
  gcry_sexp_release(pub);
  gcry_sexp_release(data);
  gcry_sexp_release(sv);
  return ok;
}

Owned<ECGOST> software_key(int nid) {
  Owned<ECURVE> c(ECURVE_by_number(ECURVE_number_by_paramset(nid)));
  Owned<ECGOST> k(ECGOST_new(c.get()));
  ECGOST_set_paramsets(k.get(), nid, NID_CP_R3411_94_PARAMSET, NID_CP_28147_A);
  if (!ECGOST_key_pair_generation(k.get())) return nullptr;
  return k;
}

std::vector<unsigned long> drain() {
  std::vector<unsigned long> out;
  while (unsigned long e = ERR_get_error()) out.push_back(e);
  return out;
}
bool has(const std::vector<unsigned long>& q, int func, int reason) {
  for (unsigned long e : q)
    if (ERR_get_lib(e) == LIB_PKCS11 && ERR_get_func(e) == func && ERR_get_reason(e) == reason)
      return true;
  return false;
}

struct TokenKey {
  PKCS11_TOKEN_KEY k{};
  ~TokenKey() { PKCS11_TOKEN_KEY_clear(&k); }
  PKCS11_TOKEN_KEY* operator->() { return &k; }
};

class TokenKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module().load()) << dlerror();
    setenv("JARNEL_LIBRARY_PATH", SIM_DIR, 1);
    unsetenv("PKCS11GOST_PIN");
    module().control("reset");
    PKCS11_set_default_passwd_cb(pin_cb);
    g_pin = PinCount();
    ERR_clear_error();
    ERR_set_token_error(0, 0);
    gcry_check_version(nullptr);
  }
  void TearDown() override {
    PKCS11_shutdown();
    PKCS11_startup();
    // The test's own initialisation, when it came first.
    module().f->C_Finalize(nullptr);
    module().control("reset");
  }

  // A session of the module's own, logged in, for looking behind the library.
  CK_SESSION_HANDLE raw_session() {
    module().f->C_Initialize(nullptr);
    CK_SESSION_HANDLE s = 0;
    module().f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    module().f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("1234")), 4);
    return s;
  }
  std::vector<CK_OBJECT_HANDLE> with_label(CK_SESSION_HANDLE s, const char* label) {
    CK_ATTRIBUTE t{CKA_LABEL, const_cast<char*>(label), std::strlen(label)};
    std::vector<CK_OBJECT_HANDLE> out;
    module().f->C_FindObjectsInit(s, &t, 1);
    CK_OBJECT_HANDLE h;
    CK_ULONG n = 0;
    while (module().f->C_FindObjects(s, &h, 1, &n) == CKR_OK && n == 1) out.push_back(h);
    module().f->C_FindObjectsFinal(s);
    return out;
  }
  std::string attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
    char buf[256];
    CK_ATTRIBUTE a{type, buf, sizeof buf};
    if (module().f->C_GetAttributeValue(s, h, &a, 1) != CKR_OK) return "<none>";
    return std::string(buf, a.ulValueLen);
  }
  Bytes sign(PKCS11_TOKEN_KEY* k, const unsigned char dg[32]) {
    unsigned char sig[64];
    std::size_t len = sizeof sig;
    if (!k->method->sign(k->token, PKCS11_SIG_TYPE_CP, dg, 32, sig, &len)) return {};
    return Bytes(sig, sig + len);
  }

  TokenDir dir_;
};

TEST_F(TokenKeys, TokenSignaturesVerifyHereInLibgcryptAndInTheEngine) {
  const struct {
    int nid;
    const char* oid;
  } sets[] = {{0, "\x06\x07\x2A\x85\x03\x02\x02\x23\x01"},
              {NID_CP_2001_A, "\x06\x07\x2A\x85\x03\x02\x02\x23\x01"},
              {NID_CP_2001_B, "\x06\x07\x2A\x85\x03\x02\x02\x23\x02"},
              {NID_CP_2001_C, "\x06\x07\x2A\x85\x03\x02\x02\x23\x03"},
              {NID_CP_2001_XCHA, "\x06\x07\x2A\x85\x03\x02\x02\x24\x00"},
              {NID_CP_2001_XCHB, "\x06\x07\x2A\x85\x03\x02\x02\x24\x01"}};
  CK_SESSION_HANDLE raw = raw_session();
  for (const auto& ps : sets) {
    SCOPED_TRACE(ps.nid);
    TokenKey k;
    ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, ps.nid, &k.k));
    // The public object carries the set asked for; none or 283 leaves the template's set A.
    CK_OBJECT_HANDLE pub = with_label(raw, PKCS11_LABEL_PUBLIC_TEMPORARY).at(0);
    EXPECT_EQ(attribute(raw, pub, CKA_GOSTR3410_PARAMS), std::string(ps.oid, 9));
    int pub_nid = 0, hash_nid = 0, cipher_nid = 0;
    ECGOST_get_paramsets(k->key, &pub_nid, &hash_nid, &cipher_nid);
    EXPECT_EQ(pub_nid, ps.nid ? ps.nid : NID_CP_2001_A);
    EXPECT_EQ(hash_nid, NID_CP_R3411_94_PARAMSET);
    EXPECT_EQ(cipher_nid, NID_CP_28147_A);

    for (int round = 0; round < 3; ++round) {
      unsigned char dg[32];
      RAND_bytes(dg, sizeof dg);
      const Bytes before(dg, dg + 32);
      Bytes sig = sign(&k.k, dg);
      ASSERT_EQ(sig.size(), 64u);
      EXPECT_EQ(Bytes(dg, dg + 32), before);  // the caller's digest is left as it was
      EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig.data(), 64, k->key), 1);
      EXPECT_TRUE(gcrypt_verifies(k->key, dg, sig.data()));
      if (engine_available()) {
        // The engine reads the digest as a little-endian number.
        Bytes e = reversed(dg, 32);
        EXPECT_TRUE(engine_verifies(spki(k->key), e.data(), sig.data()));
      }
      sig[3] ^= 0x10;
      EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig.data(), 64, k->key), 0);
    }
    ERR_clear_error();
  }
  // A length query, and a buffer too small, leave the token ready for the next signature.
  {
    TokenKey k;
    ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &k.k));
    unsigned char dg[32] = {4}, sig[64];
    std::size_t len = 0;
    ASSERT_TRUE(k->method->sign(k->token, PKCS11_SIG_TYPE_CP, dg, 32, nullptr, &len));
    EXPECT_EQ(len, 64u);
    len = 10;
    EXPECT_FALSE(k->method->sign(k->token, PKCS11_SIG_TYPE_CP, dg, 32, sig, &len));
    EXPECT_EQ(len, 64u);
    EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_SIGN, PKCS11_R_BUFFER_TOO_SMALL));
    Bytes good = sign(&k.k, dg);
    ASSERT_EQ(good.size(), 64u);
    EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, dg, 32, good.data(), 64, k->key), 1);
  }
  // Only the CryptoPro signature form is made.
  TokenKey k;
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &k.k));
  unsigned char dg[32] = {1}, sig[64];
  std::size_t len = sizeof sig;
  EXPECT_FALSE(k->method->sign(k->token, ECGOST_SIG_DER, dg, 32, sig, &len));
  EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_SIGN, R_INTERNAL_ERROR));
}

TEST_F(TokenKeys, VkoOnTheTokenEqualsSoftwareAndEngine) {
  for (int nid : {NID_CP_2001_A, NID_CP_2001_XCHA}) {
    SCOPED_TRACE(nid);
    TokenKey k;
    ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, nid, &k.k));
    ASSERT_TRUE(k->method->derive);
    Owned<ECGOST> peer = software_key(nid);
    ASSERT_TRUE(peer);
    unsigned char ukm[8], kek[32], soft[32];
    RAND_bytes(ukm, sizeof ukm);
    std::size_t len = sizeof kek;
    ASSERT_TRUE(k->method->derive(k->token, 271, ECGOST_get_public(peer.get()), ukm, kek, &len));
    EXPECT_EQ(len, 32u);
    ASSERT_TRUE(ECGOST_vko_kek(peer.get(), ECGOST_get_public(k->key), ukm, soft));
    EXPECT_EQ(Bytes(kek, kek + 32), Bytes(soft, soft + 32));
    if (engine_available()) {
      Bytes eng;
      ASSERT_TRUE(engine_derive(pkcs8(peer.get()), spki(k->key), ukm, eng));
      EXPECT_EQ(Bytes(kek, kek + 32), eng);
    }
    // The connection still points at the private key: a signature follows.
    unsigned char dg[32] = {9};
    EXPECT_EQ(sign(&k.k, dg).size(), 64u);
  }
}

TEST_F(TokenKeys, DeriveAndUnwrapOutputRules) {
  TokenKey k;
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &k.k));
  Owned<ECGOST> peer = software_key(NID_CP_2001_A);
  unsigned char ukm[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[32];
  const auto* m = k->method;
  // No buffer: the length.
  std::size_t len = 0;
  EXPECT_TRUE(m->derive(k->token, 271, ECGOST_get_public(peer.get()), ukm, nullptr, &len));
  EXPECT_EQ(len, 32u);
  len = 0;
  EXPECT_TRUE(m->unwrap(k->token, 271, out, 10, nullptr, &len));
  EXPECT_EQ(len, 32u);
  // 31 bytes: reason 105 and the length 32, the token not asked.
  long derives = module().calls("C_DeriveKey");
  len = 31;
  EXPECT_FALSE(m->derive(k->token, 271, ECGOST_get_public(peer.get()), ukm, out, &len));
  EXPECT_EQ(len, 32u);
  EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_DERIVE, PKCS11_R_BUFFER_TOO_SMALL));
  EXPECT_EQ(module().calls("C_DeriveKey"), derives);
  len = 31;
  EXPECT_FALSE(m->unwrap(k->token, 271, out, 10, out, &len));
  EXPECT_EQ(len, 32u);
  EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_UNWRAP, PKCS11_R_BUFFER_TOO_SMALL));
  // Another key type.
  len = sizeof out;
  EXPECT_FALSE(m->derive(k->token, 272, ECGOST_get_public(peer.get()), ukm, out, &len));
  EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_DERIVE, R_INTERNAL_ERROR));
  EXPECT_FALSE(m->unwrap(k->token, 272, out, 10, out, &len));
  EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_UNWRAP, R_INTERNAL_ERROR));
  // A peer point of another curve: the token refuses it.
  Owned<ECGOST> other = software_key(NID_CP_2001_C);
  ERR_set_token_error(0, 0);
  EXPECT_FALSE(m->derive(k->token, 271, ECGOST_get_public(other.get()), ukm, out, &len));
  EXPECT_EQ(ERR_get_token_error(), static_cast<std::uint32_t>(CKR_MECHANISM_PARAM_INVALID));
  EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_DERIVE, R_INTERNAL_ERROR));
  // Derived keys do not stay behind on the token.
  ASSERT_TRUE(m->derive(k->token, 271, ECGOST_get_public(peer.get()), ukm, out, &len));
  CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
  CK_ATTRIBUTE t{CKA_CLASS, &secret, sizeof secret};
  auto* conn = k->token;
  CK_ULONG n = 5;
  CK_OBJECT_HANDLE h;
  ASSERT_EQ(module().f->C_FindObjectsInit(conn->session, &t, 1), CKR_OK);
  ASSERT_EQ(module().f->C_FindObjects(conn->session, &h, 1, &n), CKR_OK);
  module().f->C_FindObjectsFinal(conn->session);
  EXPECT_EQ(n, 0u);
}

TEST_F(TokenKeys, ContentKeysWrappedForTheTokenKeyUnwrapThere) {
  TokenKey k;
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, NID_CP_2001_B, &k.k));
  ASSERT_TRUE(k->method->unwrap);
  unsigned char cek[32], got[32];
  RAND_bytes(cek, sizeof cek);
  int len = 0;
  ASSERT_TRUE(ECGOST_key_wrap(k->key, cek, nullptr, &len));
  Bytes wrapped(static_cast<std::size_t>(len));
  ASSERT_TRUE(ECGOST_key_wrap(k->key, cek, wrapped.data(), &len));
  std::size_t glen = sizeof got;
  ASSERT_TRUE(k->method->unwrap(k->token, 271, wrapped.data(), wrapped.size(), got, &glen));
  EXPECT_EQ(Bytes(got, got + 32), Bytes(cek, cek + 32));
  // A damaged transport fails on the token's MAC check.
  Bytes bad = wrapped;
  bad[8] ^= 1;
  EXPECT_FALSE(k->method->unwrap(k->token, 271, bad.data(), bad.size(), got, &glen));
  EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_UNWRAP, R_INTERNAL_ERROR));
  EXPECT_EQ(ERR_get_token_error(), static_cast<std::uint32_t>(CKR_WRAPPED_KEY_INVALID));

  // The OpenSSL GOST engine's key transport (openssl pkeyutl -encrypt).
  if (!engine_available()) GTEST_SKIP() << "the OpenSSL GOST engine is not installed";
  const fs::path pem = dir_.path() / "pub.pem", in = dir_.path() / "cek.bin",
                 out = dir_.path() / "wrapped.der";
  ASSERT_TRUE(engine_write_public_pem(spki(k->key), pem.string()));
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(cek), 32);
  std::string msg = run("openssl pkeyutl -engine gost -encrypt -pubin -inkey " + pem.string() +
                        " -in " + in.string() + " -out " + out.string());
  std::ifstream wf(out, std::ios::binary);
  Bytes engine_wrapped((std::istreambuf_iterator<char>(wf)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(engine_wrapped.empty()) << msg;
  std::memset(got, 0, sizeof got);
  glen = sizeof got;
  ASSERT_TRUE(k->method->unwrap(k->token, 271, engine_wrapped.data(), engine_wrapped.size(), got,
                                &glen));
  EXPECT_EQ(Bytes(got, got + 32), Bytes(cek, cek + 32));
}

TEST_F(TokenKeys, MethodFollowsTheMechanismsTheTokenLists) {
  const struct {
    const char* mechanisms;
    const char* name;
    bool derive, unwrap;
  } cases[] = {
      {"gen,sign,digest", "EVP_PKEY_METHOD only pkcs11 sign", false, false},
      {"gen,sign,derive", "EVP_PKEY_METHOD pkcs11 sign and kek", true, false},
      {"gen,sign,wrap", "EVP_PKEY_METHOD pkcs11 sign and cek", false, true},
      {"gen,sign,wrap,derive,digest", "EVP_PKEY_METHOD pkcs11 sign, kek and cek", true, true},
  };
  CK_SESSION_HANDLE raw = raw_session();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mechanisms);
    ASSERT_EQ(module().control((std::string("mechanisms=") + c.mechanisms).c_str()), 1);
    TokenKey k;
    ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &k.k));
    EXPECT_STREQ(k->method->name, c.name);
    EXPECT_EQ(k->method->derive != nullptr, c.derive);
    EXPECT_EQ(k->method->unwrap != nullptr, c.unwrap);
    EXPECT_EQ(k->method->empty1, nullptr);
    EXPECT_EQ(k->method->empty2, nullptr);
    EXPECT_EQ(k->flags, c.derive || c.unwrap ? 0u : PKCS11_TOKEN_KEY_SIGN_ONLY);
    // The private key may derive and unwrap exactly as the token offers.
    CK_OBJECT_HANDLE priv = with_label(raw, PKCS11_LABEL_PRIVATE_TEMPORARY).at(0);
    EXPECT_EQ(attribute(raw, priv, CKA_DERIVE), std::string(1, c.derive ? 1 : 0));
    EXPECT_EQ(attribute(raw, priv, CKA_UNWRAP), std::string(1, c.unwrap ? 1 : 0));
    unsigned char dg[32] = {3};
    EXPECT_EQ(sign(&k.k, dg).size(), 64u);
  }
  // Without key-pair generation or signing there is no generating.
  for (const char* m : {"mechanisms=sign,derive,wrap", "mechanisms=gen,derive,wrap"}) {
    module().control(m);
    TokenKey k;
    EXPECT_FALSE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &k.k)) << m;
    EXPECT_TRUE(has(drain(), PKCS11_F_GENERATE_KEY, R_INTERNAL_ERROR));
  }
  // Other key types and parameter sets are refused.
  module().control("reset");
  TokenKey k;
  EXPECT_FALSE(PKCS11_generate_key(kContainer, nullptr, 272, 0, &k.k));
  EXPECT_FALSE(PKCS11_generate_key(kContainer, nullptr, 271, 276, &k.k));
}

TEST_F(TokenKeys, LostSessionBetweenSignaturesIsReopenedOnceOnly) {
  TokenKey k;
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &k.k));
  ASSERT_TRUE(PKCS11_write_key(key_path("signer").c_str(), kContainer, nullptr, &k.k));
  unsigned char dg[32];
  RAND_bytes(dg, sizeof dg);
  ASSERT_EQ(sign(&k.k, dg).size(), 64u);
  const int pins = g_pin.calls;

  // The token was taken out and put back: the next signature reconnects and logs in again.
  module().control("invalidate");
  Bytes sig = sign(&k.k, dg);
  ASSERT_EQ(sig.size(), 64u);
  EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig.data(), 64, k->key), 1);
  EXPECT_EQ(g_pin.calls, pins + 1);

  // Each of the four results is retried once; a second failure is reported.
  for (CK_RV rv : {CKR_DEVICE_REMOVED, CKR_OBJECT_HANDLE_INVALID, CKR_SESSION_HANDLE_INVALID,
                   CKR_USER_NOT_LOGGED_IN}) {
    SCOPED_TRACE(rv);
    long n = module().calls("C_SignInit");
    char rule[160];
    std::snprintf(rule, sizeof rule, "fail=C_SignInit@%ld=0x%lx", n + 1, rv);
    module().control(rule);
    EXPECT_EQ(sign(&k.k, dg).size(), 64u);
    EXPECT_EQ(module().calls("C_SignInit"), n + 2);
    std::snprintf(rule, sizeof rule, "fail=C_SignInit@%ld=0x%lx,C_SignInit@%ld=0x%lx", n + 3, rv,
                  n + 4, rv);
    module().control(rule);
    ERR_set_token_error(0, 0);
    EXPECT_TRUE(sign(&k.k, dg).empty());
    EXPECT_EQ(module().calls("C_SignInit"), n + 4);
    EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_SIGN, R_INTERNAL_ERROR));
    EXPECT_EQ(ERR_get_token_error(), static_cast<std::uint32_t>(rv));
  }
  // Any other failure is not retried.
  long n = module().calls("C_SignInit");
  module().control(("fail=C_SignInit@" + std::to_string(n + 1) + "=0x6").c_str());
  EXPECT_TRUE(sign(&k.k, dg).empty());
  EXPECT_EQ(module().calls("C_SignInit"), n + 1);
  drain();
  // CKR_BUFFER_TOO_SMALL brings one more C_Sign with the same arguments.
  n = module().calls("C_Sign");
  module().control(("fail=C_Sign@" + std::to_string(n + 1) + "=0x150").c_str());
  sig = sign(&k.k, dg);
  ASSERT_EQ(sig.size(), 64u);
  EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig.data(), 64, k->key), 1);
  EXPECT_EQ(module().calls("C_Sign"), n + 2);
}

TEST_F(TokenKeys, UncommittedPairKeepsTemporaryLabelsUntilTheNextGeneration) {
  CK_SESSION_HANDLE raw = raw_session();
  TokenKey first;
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &first.k));
  auto temp_priv = with_label(raw, PKCS11_LABEL_PRIVATE_TEMPORARY);
  auto temp_pub = with_label(raw, PKCS11_LABEL_PUBLIC_TEMPORARY);
  ASSERT_EQ(temp_priv.size(), 1u);
  ASSERT_EQ(temp_pub.size(), 1u);
  EXPECT_EQ(attribute(raw, temp_priv[0], CKA_ID), "");
  EXPECT_EQ(temp_priv[0], first->token->object);

  TokenKey second;
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &second.k));
  EXPECT_EQ(with_label(raw, PKCS11_LABEL_PRIVATE_TEMPORARY),
            std::vector<CK_OBJECT_HANDLE>{second->token->object});
  EXPECT_EQ(with_label(raw, PKCS11_LABEL_PUBLIC_TEMPORARY).size(), 1u);
  EXPECT_EQ(attribute(raw, temp_priv[0], CKA_LABEL), "<none>");  // destroyed
  unsigned char dg[32] = {5};
  EXPECT_TRUE(sign(&first.k, dg).empty());
  drain();

  // Committing gives both halves the name and the final labels.
  ASSERT_TRUE(PKCS11_write_key(key_path("committed").c_str(), kContainer, nullptr, &second.k));
  EXPECT_TRUE(with_label(raw, PKCS11_LABEL_PRIVATE_TEMPORARY).empty());
  EXPECT_TRUE(with_label(raw, PKCS11_LABEL_PUBLIC_TEMPORARY).empty());
  auto priv = with_label(raw, PKCS11_LABEL_PRIVATE_FINAL), pub = with_label(raw, PKCS11_LABEL_PUBLIC_FINAL);
  ASSERT_EQ(priv.size(), 1u);
  ASSERT_EQ(pub.size(), 1u);
  EXPECT_EQ(attribute(raw, priv[0], CKA_ID), "committed");
  EXPECT_EQ(attribute(raw, pub[0], CKA_ID), "committed");
  EXPECT_STREQ(second->token->second_name, "committed");
  // The private value stays unreadable, through the module and through the object layer.
  unsigned char value[32];
  CK_ATTRIBUTE a{CKA_VALUE, value, sizeof value};
  EXPECT_EQ(module().f->C_GetAttributeValue(raw, priv[0], &a, 1), CKR_ATTRIBUTE_SENSITIVE);
  CK_ULONG len = sizeof value;
  EXPECT_FALSE(PKCS11_get_attribute(second->token, CKA_VALUE, value, &len));
  drain();
}

TEST_F(TokenKeys, PairsAreReadByNameAndReplacedByName) {
  TokenKey a, b;
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, NID_CP_2001_B, &a.k));
  ASSERT_TRUE(PKCS11_write_key(key_path("alpha").c_str(), kContainer, nullptr, &a.k));
  unsigned char qa[64], qb[64], q[64];
  ASSERT_EQ(ECPOINT_point2le(ECGOST_get_public(a->key), qa, 64), 64);

  TokenKey r;
  ASSERT_TRUE(PKCS11_read_key(key_path("alpha").c_str(), nullptr, nullptr, 0, &r.k));
  ASSERT_EQ(ECPOINT_point2le(ECGOST_get_public(r->key), q, 64), 64);
  EXPECT_EQ(Bytes(q, q + 64), Bytes(qa, qa + 64));
  EXPECT_STREQ(r->token->second_name, "alpha");
  EXPECT_STREQ(r->method->name, "EVP_PKEY_METHOD pkcs11 sign, kek and cek");
  int nid = 0;
  ECGOST_get_paramsets(r->key, &nid, nullptr, nullptr);
  EXPECT_EQ(nid, NID_CP_2001_B);
  unsigned char dg[32] = {1, 2};
  Bytes sig = sign(&r.k, dg);
  EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig.data(), 64, a->key), 1);
  // A key path without a module goes to the container's token.
  TokenKey byname;
  EXPECT_TRUE(PKCS11_read_key("alpha", kContainer, nullptr, 0, &byname.k));
  // Forced login asks for the PIN again.
  int pins = g_pin.calls;
  TokenKey forced;
  ASSERT_TRUE(PKCS11_read_key(key_path("alpha").c_str(), nullptr, nullptr, 1, &forced.k));
  EXPECT_EQ(g_pin.calls, pins + 1);

  // Writing a key already stored under the name keeps it.
  ASSERT_TRUE(PKCS11_write_key(key_path("alpha").c_str(), kContainer, nullptr, &r.k));
  TokenKey again;
  ASSERT_TRUE(PKCS11_read_key(key_path("alpha").c_str(), nullptr, nullptr, 0, &again.k));
  EXPECT_EQ(sign(&again.k, dg).size(), 64u);

  // A new pair written under the name replaces the old one.
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &b.k));
  ASSERT_EQ(ECPOINT_point2le(ECGOST_get_public(b->key), qb, 64), 64);
  ASSERT_TRUE(PKCS11_write_key(key_path("alpha").c_str(), kContainer, nullptr, &b.k));
  TokenKey r2;
  ASSERT_TRUE(PKCS11_read_key(key_path("alpha").c_str(), nullptr, nullptr, 0, &r2.k));
  ASSERT_EQ(ECPOINT_point2le(ECGOST_get_public(r2->key), q, 64), 64);
  EXPECT_EQ(Bytes(q, q + 64), Bytes(qb, qb + 64));
  CK_SESSION_HANDLE raw = raw_session();
  EXPECT_EQ(with_label(raw, PKCS11_LABEL_PRIVATE_FINAL).size(), 1u);
  EXPECT_EQ(with_label(raw, PKCS11_LABEL_PUBLIC_FINAL).size(), 1u);

  // A committed pair moves to another name.
  ASSERT_TRUE(PKCS11_write_key(key_path("beta").c_str(), kContainer, nullptr, &r2.k));
  TokenKey gone, moved;
  EXPECT_FALSE(PKCS11_read_key(key_path("alpha").c_str(), nullptr, nullptr, 0, &gone.k));
  EXPECT_TRUE(has(drain(), PKCS11_F_READ_KEY, R_INTERNAL_ERROR));
  EXPECT_TRUE(PKCS11_read_key(key_path("beta").c_str(), nullptr, nullptr, 0, &moved.k));
}

TEST_F(TokenKeys, SoftwareKeyImportedAsAPairWorksOnTheToken) {
  Owned<ECGOST> soft = software_key(NID_CP_2001_C);
  ASSERT_TRUE(soft);
  TokenKey w;
  w->key = soft.get();
  ASSERT_TRUE(PKCS11_write_key(key_path("imported").c_str(), kContainer, nullptr, &w.k));
  w->key = nullptr;
  TokenKey k;
  ASSERT_TRUE(PKCS11_read_key(key_path("imported").c_str(), nullptr, nullptr, 0, &k.k));
  unsigned char dg[32];
  RAND_bytes(dg, sizeof dg);
  Bytes sig = sign(&k.k, dg);
  ASSERT_EQ(sig.size(), 64u);
  EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig.data(), 64, soft.get()), 1);
  // VKO with the same private key on both sides of the wire.
  Owned<ECGOST> peer = software_key(NID_CP_2001_C);
  unsigned char ukm[8] = {0x11, 0x22}, kek[32], expect[32];
  std::size_t len = sizeof kek;
  ASSERT_TRUE(k->method->derive(k->token, 271, ECGOST_get_public(peer.get()), ukm, kek, &len));
  ASSERT_TRUE(ECGOST_vko_kek(soft.get(), ECGOST_get_public(peer.get()), ukm, expect));
  EXPECT_EQ(Bytes(kek, kek + 32), Bytes(expect, expect + 32));
  // The imported private value is as unreadable as a generated one.
  CK_SESSION_HANDLE raw = raw_session();
  auto priv = with_label(raw, PKCS11_LABEL_PRIVATE_FINAL);
  ASSERT_EQ(priv.size(), 1u);
  unsigned char value[32];
  CK_ATTRIBUTE a{CKA_VALUE, value, sizeof value};
  EXPECT_EQ(module().f->C_GetAttributeValue(raw, priv[0], &a, 1), CKR_ATTRIBUTE_SENSITIVE);
}

TEST_F(TokenKeys, DigestOnTheTokenInTheLibrarysOrder) {
  TokenKey k;
  ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, 0, &k.k));
  const unsigned char abc[] = {'a', 'b', 'c'};
  unsigned char md[32];
  std::size_t len = sizeof md;
  ASSERT_TRUE(k->method->digest(k->token, 271, abc, 3, md, &len)) << std::hex << ERR_peek_error();
  ASSERT_EQ(len, 32u);
  Bytes kat = from_hex("b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c");
  EXPECT_EQ(Bytes(md, md + 32), reversed(kat.data(), 32));
  len = 31;
  EXPECT_FALSE(k->method->digest(k->token, 271, abc, 3, md, &len));
  EXPECT_EQ(len, 32u);
  EXPECT_TRUE(has(drain(), PKCS11_F_TOKEN_DIGEST, PKCS11_R_BUFFER_TOO_SMALL));
  // The short buffer left no digest open: the next one works, also after a lost session (the
  // key is found again by its name).
  ASSERT_TRUE(PKCS11_write_key(key_path("hasher").c_str(), kContainer, nullptr, &k.k));
  module().control("invalidate");
  len = sizeof md;
  ASSERT_TRUE(k->method->digest(k->token, 271, abc, 3, md, &len));
  EXPECT_EQ(Bytes(md, md + 32), reversed(kat.data(), 32));
}

TEST_F(TokenKeys, CertificatesKeepCategorySubjectAndName) {
  const fs::path der = dir_.path() / "cert.der", keyf = dir_.path() / "k.pem";
  std::string out = run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                        "-subj /CN=token-cert -days 1 -keyout " + keyf.string() +
                        " -outform DER -out " + der.string());
  std::ifstream f(der, std::ios::binary);
  Bytes cert((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(cert.empty()) << out;
  ASSERT_TRUE(PKCS11_write_certificate(key_path("mycert").c_str(), nullptr, 2, cert.data(),
                                       cert.size()));
  CK_ULONG category = 0;
  unsigned char* got = nullptr;
  std::size_t got_len = 0;
  ASSERT_TRUE(PKCS11_read_certificate(key_path("mycert").c_str(), nullptr, &category, &got,
                                      &got_len));
  EXPECT_EQ(category, 2u);
  EXPECT_EQ(Bytes(got, got + got_len), cert);
  mem_free(got);
  CK_SESSION_HANDLE raw = raw_session();
  auto certs = with_label(raw, PKCS11_LABEL_CERTIFICATE);
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_NE(attribute(raw, certs[0], CKA_SUBJECT).find("token-cert"), std::string::npos);
  // Writing again under the name leaves one certificate.
  ASSERT_TRUE(PKCS11_write_certificate(key_path("mycert").c_str(), nullptr, 1, cert.data(),
                                       cert.size()));
  EXPECT_EQ(with_label(raw, PKCS11_LABEL_CERTIFICATE).size(), 1u);
  // Not a certificate, and a name with none.
  EXPECT_FALSE(PKCS11_write_certificate(key_path("bad").c_str(), nullptr, 0, cert.data(), 20));
  EXPECT_TRUE(has(drain(), PKCS11_F_CERT_WRITE, R_INTERNAL_ERROR));
  EXPECT_FALSE(PKCS11_read_certificate(key_path("nothing").c_str(), nullptr, &category, &got,
                                       &got_len));
  EXPECT_TRUE(has(drain(), PKCS11_F_CERT_READ, R_INTERNAL_ERROR));
}

}  // namespace
