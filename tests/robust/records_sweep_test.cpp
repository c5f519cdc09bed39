// Allocation-failure sweeps (see sweep.h) over the key, certificate and CRL records: key
// generate, write and read through the key context on a folder container (plain and under a
// password), sign and VKO through the key object, certificate read and write through the
// certificate context, CRL read. Besides a clean failure and no leak, every run must leave no
// half-written key or certificate file, the key's private value masked, and no copy of the
// password, the private value or the VKO result in freed memory.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/cadb/cert.h"
#include "crypto/cadb/pkey.h"
#include "crypto/cadb/x509v3.h"
#include "tests/cert/fixture.h"
#include "tests/robust/robust_fixture.h"
#include "tests/robust/sweep.h"

namespace robust {
namespace {

using namespace jarnel;

using PkeyCtxPtr = Owned<PKEY_CTX>;

class RecordSweep : public Fixture {
 protected:
  void SetUp() override {
    Fixture::SetUp();
    opened_ = context(container_);
    ASSERT_EQ(PSE_CTX_read(opened_.get()), 1);
    char p[CADB_PATH_BUF];
    ASSERT_EQ(PKEY_key_file_path(container_.c_str(), 1, p), 1);
    key_file_ = p;
    for (char& c : key_file_)
      if (c == '\\') c = '/';
    ERR_clear_error();
  }
  void TearDown() override {
    opened_.reset();
    Fixture::TearDown();
  }
  PSE* pse() { return PSE_CTX_get_pse(opened_.get()); }
  PkeyCtxPtr key_context() {
    PkeyCtxPtr k(PKEY_CTX_new());
    EXPECT_TRUE(k);
    if (k) {
      EXPECT_EQ(PKEY_CTX_set_pse(k.get(), pse()), 1);
    }
    return k;
  }
  // The private value of a loaded GOST R 34.10-2001 key, big-endian (32 bytes).
  static bool private_of(const PKEY* key, unsigned char out[32]) {
    if (!key || !key->key || !key->key->ec) return false;
    BnPtr d(BN_secure_new());
    const bool ok = d && ECGOST_get_private(key->key->ec, d.get()) == 1 &&
                    BN_bn2binpad(d.get(), out, 32) == 32;
    return ok;
  }
  // The file holds the whole of what a good write gives, or is missing.
  void expect_whole_key_file(bool ok) {
    if (!ok) {
      EXPECT_FALSE(fs::exists(key_file_)) << "a failed write left a key file";
      return;
    }
    PkeyCtxPtr rd = key_context();
    ASSERT_EQ(PKEY_CTX_set_password(rd.get(), kPassword, 0), 1);
    EXPECT_EQ(PKEY_CTX_read(rd.get()), 1) << "the written key file does not read";
  }

  static constexpr char kPassword[] = "key file password \xd1\x8e";
  CtxPtr opened_;
  std::string key_file_;
};

TEST_F(RecordSweep, KeyGenerateWriteRead) {
  PkeyCtxPtr ctx;
  unsigned char d[32] = {};
  auto watch_key = [&] {
    mem_watch::watch("key file password", {bytes(kPassword), std::strlen(kPassword)});
    mem_watch::watch("private key", {d, 32});
  };
  // A fresh key with a known private value, loaded and masked: the write's input.
  auto generated = [&] {
    ctx = key_context();
    ASSERT_EQ(PKEY_CTX_generate(ctx.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
    ASSERT_TRUE(private_of(PKEY_CTX_get_key(ctx.get()), d));
  };
  // The private value is masked, or (a write that could not load it back) still in its form
  // protected under the container's KEK.
  auto key_masked = [&] {
    PKEY* key = PKEY_CTX_get_key(ctx.get());
    ASSERT_TRUE(key && key->key && key->key->ec);
    if (key->key->ec->d) expect_key_masked(key->key->ec);
    else EXPECT_TRUE(ECGOST_is_opaque(key->key->ec));
  };
  const Row rows[] = {
      {"key generate", [&] { ctx = key_context(); },
       [&] { return PKEY_CTX_generate(ctx.get(), PKEY_TYPE_ECGOST_CP, 0) == 1; },
       [&](bool ok) {
         if (ok) {
           key_masked();
           ASSERT_TRUE(private_of(PKEY_CTX_get_key(ctx.get()), d));
           mem_watch::watch("private key", {d, 32});  // freeing the context wipes it
         } else {
           EXPECT_EQ(PKEY_CTX_get_key(ctx.get()), nullptr);
         }
         ctx.reset();
       }},
      {"key write (plain PKCS#8 DER)",
       [&] {
         fs::remove(key_file_);
         generated();
         watch_key();
       },
       [&] { return PKEY_CTX_write(ctx.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8) == 1; },
       [&](bool ok) {
         key_masked();
         ctx.reset();
         expect_whole_key_file(ok);
       }},
      {"key write (password, PKCS#8 PEM)",
       [&] {
         fs::remove(key_file_);
         generated();
         ASSERT_EQ(PKEY_CTX_set_password(ctx.get(), kPassword, 0), 1);
         watch_key();
       },
       [&] { return PKEY_CTX_write(ctx.get(), PKEY_FORMAT_PEM, PKEY_KIND_PKCS8) == 1; },
       [&](bool ok) {
         key_masked();
         ctx.reset();
         expect_whole_key_file(ok);
       },
       mem_watch::Scope::Library, true},
      {"key read (password)",
       [&] {
         ctx = key_context();
         ASSERT_EQ(PKEY_CTX_set_password(ctx.get(), kPassword, 0), 1);
         watch_key();
       },
       [&] { return PKEY_CTX_read(ctx.get()) == 1; },
       [&](bool ok) {
         if (ok) {
           key_masked();
           unsigned char got[32];
           EXPECT_TRUE(private_of(PKEY_CTX_get_key(ctx.get()), got) && !std::memcmp(got, d, 32));
           mem_cleanse(got, sizeof got);
         } else {
           EXPECT_EQ(PKEY_CTX_get_key(ctx.get()), nullptr);
         }
         ctx.reset();
       },
       mem_watch::Scope::Library, true},
  };
  for (const auto& row : rows) sweep(row);
  // The plain file: read without a password, every allocation.
  generated();
  ASSERT_EQ(PKEY_CTX_write(ctx.get(), PKEY_FORMAT_DER, PKEY_KIND_TRADITIONAL), 1);
  ctx.reset();
  sweep({"key read (traditional DER)",
         [&] {
           ctx = key_context();
           mem_watch::watch("private key", {d, 32});
         },
         [&] { return PKEY_CTX_read(ctx.get()) == 1; },
         [&](bool ok) {
           if (ok) key_masked();
           ctx.reset();
         }});
  mem_cleanse(d, sizeof d);
}

TEST_F(RecordSweep, SignAndVkoThroughTheKeyObject) {
  PkeyCtxPtr gen = key_context();
  ASSERT_EQ(PKEY_CTX_generate(gen.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
  PKEY* key = PKEY_CTX_get_key(gen.get());
  unsigned char d[32];
  ASSERT_TRUE(private_of(key, d));
  EcPtr peer(ECGOST_new(ECGOST_get_curve(key->key->ec)));
  ASSERT_TRUE(peer);
  ECGOST_set_paramsets(peer.get(), NID_CP_2001_A, NID_CP_R3411_94_PARAMSET, NID_CP_28147_A);
  ASSERT_TRUE(ECGOST_key_pair_generation(peer.get()));
  const unsigned char ukm[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  unsigned char shared[32];
  std::size_t shared_len = sizeof shared;
  ASSERT_EQ(PKEY_KEY_derive(key->key, ECGOST_get_public(peer.get()), ukm, shared, &shared_len), 1);
  const unsigned char digest[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
  auto watch_secrets = [&] {
    mem_watch::watch("private key", {d, 32});
    mem_watch::watch("VKO shared key", {shared, 32});
  };
  auto masked = [&](bool) { expect_key_masked(key->key->ec); };
  const Row rows[] = {
      {"sign through the key object", watch_secrets,
       [&] {
         unsigned char sig[128];
         unsigned n = sizeof sig;
         return PKEY_KEY_sign(key->key, ECGOST_SIG_CP, digest, 32, sig, &n) == 1 &&
                PKEY_KEY_verify(key->key, ECGOST_SIG_CP, digest, 32, sig, static_cast<int>(n)) == 1;
       },
       masked},
      {"VKO through the key object", watch_secrets,
       [&] {
         unsigned char out[32] = {};
         std::size_t n = sizeof out;
         const bool ok = PKEY_KEY_derive(key->key, ECGOST_get_public(peer.get()), ukm, out, &n) == 1 &&
                         n == 32 && !std::memcmp(out, shared, 32);
         // A failed derive leaves nothing in the caller's buffer.
         if (!ok) {
           EXPECT_EQ(std::count(out, out + 32, 0), 32);
         }
         mem_cleanse(out, sizeof out);
         return ok;
       },
       masked},
  };
  for (const auto& row : rows) sweep(row);
  mem_cleanse(d, sizeof d);
  mem_cleanse(shared, sizeof shared);
}

// What the key store's derive does below its Java frame: open the container, read its key
// file, decode the peer's SubjectPublicKeyInfo and agree the key-encryption key.
TEST_F(RecordSweep, KeyStoreDerive) {
  unsigned char d[32], shared[32];
  std::vector<unsigned char> peer_spki;
  {
    PkeyCtxPtr gen = key_context();
    ASSERT_EQ(PKEY_CTX_generate(gen.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
    ASSERT_TRUE(private_of(PKEY_CTX_get_key(gen.get()), d));
    ASSERT_EQ(PKEY_CTX_write(gen.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8), 1);
    Owned<PKEY> peer(PKEY_generate(PKEY_TYPE_ECGOST_CP, 0, nullptr, nullptr, nullptr));
    ASSERT_TRUE(peer);
    const int n = i2d_PKEY_KEY_PUBKEY(peer->key, nullptr);
    ASSERT_GT(n, 0);
    peer_spki.resize(static_cast<std::size_t>(n));
    unsigned char* w = peer_spki.data();
    ASSERT_EQ(i2d_PKEY_KEY_PUBKEY(peer->key, &w), n);
  }
  const unsigned char ukm[8] = {1, 1, 2, 3, 5, 8, 13, 21};
  auto derive = [&](unsigned char out[32]) {
    CtxPtr opened(PSE_CTX_new());
    if (!opened || PSE_CTX_set_path(opened.get(), container_.c_str(), 0) != 1) return false;
    PSE_CTX_set_flags(opened.get(), 1);  // the random state is not touched
    if (PSE_CTX_read(opened.get()) != 1) return false;
    PkeyCtxPtr k(PKEY_CTX_new());
    if (!k || PKEY_CTX_set_pse(k.get(), PSE_CTX_get_pse(opened.get())) != 1 || PKEY_CTX_read(k.get()) != 1)
      return false;
    const unsigned char* p = peer_spki.data();
    Owned<PKEY_KEY> peer(d2i_PKEY_KEY_PUBKEY(&p, static_cast<long>(peer_spki.size())));
    if (!peer || !peer->ec) return false;
    std::size_t n = 32;
    return PKEY_KEY_derive(PKEY_CTX_get_key(k.get())->key, ECGOST_get_public(peer->ec), ukm, out, &n) == 1 &&
           n == 32;
  };
  ASSERT_TRUE(derive(shared));
  sweep({"key store derive",
         [&] {
           watch_container_files();
           mem_watch::watch("private key", {d, 32});
           mem_watch::watch("VKO shared key", {shared, 32});
         },
         [&] {
           unsigned char out[32] = {};
           const bool ok = derive(out) && !std::memcmp(out, shared, 32);
           mem_cleanse(out, sizeof out);
           return ok;
         },
         [&](bool) { expect_container_unchanged(); }});
  mem_cleanse(d, sizeof d);
  mem_cleanse(shared, sizeof shared);
}

TEST_F(RecordSweep, CertificatesAndCrls) {
  certtest::CertPlan plan;
  plan.key = "gost";
  plan.exts = {{"basicConstraints", "critical,CA:TRUE"},
               {"subjectAltName", "email:a@b.example"},
               {"2.5.29.9", "303A301D06082B060105050709013111180F31393830303130313030303030305A301906082B06010505070904310D13025255130242590C000101FF", false, true}};
  const certtest::Bytes der = certtest::make_cert(plan);
  const std::string cert_file = dir("cert.der"), out_file = dir("out.pem");
  put_file(cert_file, std::string(der.begin(), der.end()));
  // A CRL of one entry, signed by the test issuer.
  X509_CRL* x = X509_CRL_new();
  ASSERT_TRUE(x);
  X509_CRL_set_version(x, 1);
  X509* issuer = certtest::make_x509(plan);
  ASSERT_TRUE(issuer);
  X509_CRL_set_issuer_name(x, X509_get_subject_name(issuer));
  X509_free(issuer);
  ASN1_TIME* t = ASN1_TIME_new();
  ASN1_TIME_set_string_X509(t, "20240101000000Z");
  X509_CRL_set1_lastUpdate(x, t);
  X509_REVOKED* r = X509_REVOKED_new();
  ASN1_INTEGER* sn = ASN1_INTEGER_new();
  ASN1_INTEGER_set(sn, 0x1234);
  X509_REVOKED_set_serialNumber(r, sn);
  X509_REVOKED_set_revocationDate(r, t);
  X509_CRL_add0_revoked(x, r);
  ASN1_INTEGER_free(sn);
  ASN1_TIME_free(t);
  ASSERT_GT(X509_CRL_sign(x, certtest::issuer_key(), EVP_sha256()), 0);
  unsigned char* crl_der = nullptr;
  const int crl_len = i2d_X509_CRL(x, &crl_der);
  X509_CRL_free(x);
  ASSERT_GT(crl_len, 0);
  const std::string crl_pem = certtest::pem_of(certtest::Bytes(crl_der, crl_der + crl_len), "X509 CRL");

  Owned<CERT_CTX> ctx;
  const Row rows[] = {
      {"certificate read", [&] {
         ctx.reset(CERT_CTX_new());
         ASSERT_EQ(CERT_CTX_set_path(ctx.get(), cert_file.c_str()), 1);
       },
       [&] { return CERT_CTX_read(ctx.get()) == 1 && CERT_CTX_get_cert(ctx.get()); },
       [&](bool ok) {
         if (!ok) {
           EXPECT_EQ(CERT_CTX_get_cert(ctx.get()), nullptr);
         }
         ctx.reset();
       }},
      {"certificate write (PEM)",
       [&] {
         fs::remove(out_file);
         ctx.reset(CERT_CTX_new());
         ASSERT_EQ(CERT_CTX_set_data(ctx.get(), der.data(), static_cast<int>(der.size())), 1);
         ASSERT_EQ(CERT_CTX_read(ctx.get()), 1);
         ASSERT_EQ(CERT_CTX_set_path(ctx.get(), out_file.c_str()), 1);
       },
       [&] { return CERT_CTX_write(ctx.get(), CERT_FORMAT_PEM) == 1; },
       [&](bool ok) {
         ctx.reset();
         if (!ok) {
           EXPECT_FALSE(fs::exists(out_file)) << "a failed write left a certificate file";
           return;
         }
         const std::string pem = get_file(out_file);
         Owned<CERT> back(CERT_read_buffer(pem.data(), static_cast<int>(pem.size())));
         EXPECT_TRUE(back) << "the written certificate does not read";
       }},
      {"CRL read (DER)", [] {},
       [&] {
         Owned<CRL> crl(CRL_read_buffer(crl_der, crl_len));
         return crl && crl->revoked && !crl->revoked->next;
       },
       [](bool) {}},
      {"CRL read (PEM)", [] {},
       [&] {
         Owned<CRL> crl(CRL_read_buffer(crl_pem.data(), static_cast<int>(crl_pem.size())));
         return crl != nullptr;
       },
       [](bool) {}},
  };
  for (const auto& row : rows) sweep(row);
  OPENSSL_free(crl_der);
}

}  // namespace
}  // namespace robust
