// GOST R 34.11-2012: the published vectors (RFC 6986, and RFC 7836 for HMAC) directly and through
// the provider, streaming, argument errors and the wiped context.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/rus/gost_provider.h"
#include "crypto/rus/streebog.h"
#include "tests/support/vec_file.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

Bytes digest(int bits, const Bytes& m) {
  Bytes out(64);
  const int n = STREEBOG_digest(bits, m.data(), m.size(), out.data());
  EXPECT_EQ(n, bits / 8);
  out.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return out;
}

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 37 + (i >> 3));
  return b;
}

const char* evp_name(int bits) { return bits == 256 ? "STREEBOG-256" : "STREEBOG-512"; }

}  // namespace

TEST(StreebogVectors, Rfc6986MessagesBothLengths) {
  const auto vs = testdata::read_vectors("streebog.vec", "hash");
  ASSERT_EQ(vs.size(), 4u);
  for (const auto& v : vs) {
    const int bits = std::stoi(v.get("Bits"));
    // The output bytes are the printed value reversed.
    EXPECT_EQ(digest(bits, v.bytes("Msg")), reversed(v.bytes("Digest"))) << "line " << v.line;
  }
}

TEST(StreebogVectors, ProviderDigestsByEveryNameAndHmacOfRfc7836) {
  ASSERT_TRUE(GOST_register_algorithms());
  for (const auto& v : testdata::read_vectors("streebog.vec", "hash")) {
    const int bits = std::stoi(v.get("Bits"));
    const char* names256[] = {"STREEBOG-256", "md_gost12_256", "streebog256", "1.2.643.7.1.1.2.2"};
    const char* names512[] = {"STREEBOG-512", "md_gost12_512", "streebog512", "1.2.643.7.1.1.2.3"};
    for (const char* name : bits == 256 ? names256 : names512) {
      EVP_MD* md = EVP_MD_fetch(GOST_libctx(), name, nullptr);
      ASSERT_NE(md, nullptr) << name;
      EXPECT_EQ(EVP_MD_get_size(md), bits / 8);
      EXPECT_EQ(EVP_MD_get_block_size(md), 64);
      const Bytes m = v.bytes("Msg");
      Bytes out(64);
      unsigned len = 0;
      ASSERT_EQ(EVP_Digest(m.data(), m.size(), out.data(), &len, md, nullptr), 1);
      out.resize(len);
      EXPECT_EQ(out, reversed(v.bytes("Digest"))) << name;
      EVP_MD_free(md);
    }
  }
  EVP_MAC* mac = EVP_MAC_fetch(GOST_libctx(), "HMAC", nullptr);
  ASSERT_NE(mac, nullptr);
  for (const auto& v : testdata::read_vectors("streebog.vec", "hmac")) {
    const Bytes key = v.bytes("Key"), msg = v.bytes("Msg");
    char name[16];
    std::strcpy(name, evp_name(std::stoi(v.get("Bits"))));
    OSSL_PARAM p[] = {OSSL_PARAM_utf8_string(OSSL_MAC_PARAM_DIGEST, name, 0), OSSL_PARAM_END};
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    Bytes out(64);
    std::size_t n = 0;
    ASSERT_EQ(EVP_MAC_init(ctx, key.data(), key.size(), p), 1);
    ASSERT_EQ(EVP_MAC_update(ctx, msg.data(), msg.size()), 1);
    ASSERT_EQ(EVP_MAC_final(ctx, out.data(), &n, out.size()), 1);
    out.resize(n);
    EXPECT_EQ(out, v.bytes("Mac")) << "line " << v.line;
    EVP_MAC_CTX_free(ctx);
  }
  EVP_MAC_free(mac);
}

// Pieces of every size around the 64-byte block, empty updates, and a copy of a context taken
// mid-stream (as OpenSSL's HMAC does) all give the one-shot digest.
TEST(StreebogStreaming, PiecesAndCopiesMatchOneShot) {
  ASSERT_TRUE(GOST_register_algorithms());
  const Bytes m = pattern(300);
  const std::vector<std::vector<std::size_t>> cuts = {{1}, {0, 5}, {63}, {64}, {65}, {7, 57}, {128, 1}, {299, 1}};
  for (int bits : {256, 512}) {
    const Bytes whole = digest(bits, m);
    for (const auto& cut : cuts) {
      STREEBOG_CTX ctx;
      ASSERT_TRUE(STREEBOG_init(&ctx, bits));
      std::size_t off = 0;
      for (std::size_t i = 0; off < m.size(); ++i) {
        const std::size_t n = std::min(cut[i % cut.size()], m.size() - off);
        ASSERT_TRUE(STREEBOG_update(&ctx, m.data() + off, n));
        off += n;
      }
      Bytes out(64);
      ASSERT_EQ(STREEBOG_final(&ctx, out.data()), bits / 8);
      out.resize(static_cast<std::size_t>(bits / 8));
      EXPECT_EQ(out, whole) << bits << " first piece " << cut[0];
    }
    // A copy continues independently of its original.
    STREEBOG_CTX a, b;
    ASSERT_TRUE(STREEBOG_init(&a, bits));
    ASSERT_TRUE(STREEBOG_update(&a, m.data(), 100));
    b = a;
    ASSERT_TRUE(STREEBOG_update(&a, m.data() + 100, 200));
    ASSERT_TRUE(STREEBOG_update(&b, m.data() + 100, 200));
    Bytes da(64), db(64);
    ASSERT_EQ(STREEBOG_final(&a, da.data()), bits / 8);
    ASSERT_EQ(STREEBOG_final(&b, db.data()), bits / 8);
    EXPECT_EQ(da, db);
    // The same through EVP_MD_CTX_copy, which duplicates the provider's context.
    EVP_MD* md = EVP_MD_fetch(GOST_libctx(), evp_name(bits), nullptr);
    EVP_MD_CTX* c1 = EVP_MD_CTX_new();
    EVP_MD_CTX* c2 = EVP_MD_CTX_new();
    ASSERT_TRUE(md && c1 && c2);
    ASSERT_EQ(EVP_DigestInit_ex2(c1, md, nullptr), 1);
    ASSERT_EQ(EVP_DigestUpdate(c1, m.data(), 70), 1);
    ASSERT_EQ(EVP_MD_CTX_copy_ex(c2, c1), 1);
    ASSERT_EQ(EVP_DigestUpdate(c1, m.data() + 70, 230), 1);
    ASSERT_EQ(EVP_DigestUpdate(c2, m.data() + 70, 230), 1);
    unsigned l1 = 0, l2 = 0;
    ASSERT_EQ(EVP_DigestFinal_ex(c1, da.data(), &l1), 1);
    ASSERT_EQ(EVP_DigestFinal_ex(c2, db.data(), &l2), 1);
    EXPECT_EQ(Bytes(da.begin(), da.begin() + l1), whole);
    EXPECT_EQ(Bytes(db.begin(), db.begin() + l2), whole);
    EVP_MD_CTX_free(c1);
    EVP_MD_CTX_free(c2);
    EVP_MD_free(md);
  }
}

TEST(StreebogErrors, BadLengthsNullArgumentsAndUseAfterFinal) {
  STREEBOG_CTX ctx;
  unsigned char out[64];
  for (int bits : {0, 128, 384, 1024, -256}) {
    EXPECT_EQ(STREEBOG_init(&ctx, bits), 0) << bits;
    EXPECT_EQ(STREEBOG_update(&ctx, "x", 1), 0) << bits;  // left unusable, not half set up
    EXPECT_EQ(STREEBOG_digest(bits, "x", 1, out), 0) << bits;
  }
  EXPECT_EQ(STREEBOG_init(nullptr, 256), 0);
  EXPECT_EQ(STREEBOG_update(nullptr, "x", 1), 0);
  EXPECT_EQ(STREEBOG_final(nullptr, out), 0);
  ASSERT_TRUE(STREEBOG_init(&ctx, 512));
  EXPECT_EQ(STREEBOG_update(&ctx, nullptr, 1), 0);
  EXPECT_EQ(STREEBOG_update(&ctx, nullptr, 0), 1);  // nothing to add
  EXPECT_EQ(STREEBOG_final(&ctx, nullptr), 0);
  EXPECT_EQ(STREEBOG_final(&ctx, out), 64);
  // final wipes the context: nothing of the message's state is left, and it must be
  // initialised again before use.
  const STREEBOG_CTX zero{};
  EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
  EXPECT_EQ(STREEBOG_update(&ctx, "x", 1), 0);
  EXPECT_EQ(STREEBOG_final(&ctx, out), 0);
  ASSERT_TRUE(STREEBOG_init(&ctx, 256));
  ASSERT_TRUE(STREEBOG_update(&ctx, "secret", 6));
  STREEBOG_cleanup(&ctx);
  EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}
