// GOST R 34.11-94: published vectors (in this system's byte order), the two initialisers,
// streaming and the pre-hashed binding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/rus/gosth.h"

using namespace jarnel;

namespace {

std::string hex(const unsigned char* p, std::size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

// Published values list H in memory order; this system returns it most significant byte first.
std::string reversed(const std::string& h) {
  std::string r;
  for (std::size_t i = h.size(); i >= 2; i -= 2) r += h.substr(i - 2, 2);
  return r;
}

std::string digest(const std::string& msg, const unsigned char* sbox, bool cp) {
  unsigned char d[32];
  EXPECT_TRUE(GOSTH_digest_ex(msg.data(), static_cast<int>(msg.size()), nullptr, sbox, cp, d));
  return hex(d, 32);
}

}  // namespace

TEST(GosthVectors, Rfc5831AndCommonVectorsTestParameterSet) {
  struct Case {
    std::string msg, published;
  } cases[] = {
      {"This is message, length=32 bytes",
       "b1c466d37519b82e8319819ff32595e047a28cb6f83eff1c6916a815a637fffa"},
      {"Suppose the original message has length = 50 bytes",
       "471aba57a60a770d3a76130635c1fbea4ef14de51f78b4ae57dd893b62f55208"},
      {"", "ce85b99cc46752fffee35cab9a7b0278abb4c2d2055cff685af4912c49490f8d"},
      {"abc", "f3134348c44fb1b2a277729e2285ebb5cb5e0f29c975bc753b70497c06a4d51d"},
      {std::string(128, 'U'), "53a3a3ed25180cef0c1d85a074273e551c25660a87062a52d926a9e8fe5733a4"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(digest(c.msg, GOSTE_test_hash_sbox(), true), reversed(c.published)) << c.msg;
}

TEST(GosthVectors, CryptoProParameterSet) {
  struct Case {
    std::string msg, published;
  } cases[] = {
      {"", "981e5f3ca30c841487830f84fb433e13ac1101569b9c13584ac483234cd656c0"},
      {"a", "e74c52dd282183bf37af0079c9f78055715a103f17e3133ceff1aacf2f403011"},
      {"This is message, length=32 bytes",
       "2cefc2f7b7bdc514e18ea57fa74ff357e7fa17d652c75f69cb1be7893ede48eb"},
      {"Suppose the original message has length = 50 bytes",
       "c3730c5cbccacf915ac292676f21e8bd4ef75331d9405e5f1a61dc3130a65011"},
      {"The quick brown fox jumps over the lazy dog",
       "9004294a361a508c586fe53d1f1b02746765e71b765472786e4770d565830a76"},
  };
  for (const auto& c : cases) {
    unsigned char d[32];
    ASSERT_TRUE(GOSTH_digest_cp(c.msg.data(), static_cast<int>(c.msg.size()), d));
    EXPECT_EQ(hex(d, 32), reversed(c.published)) << c.msg;
  }
}

TEST(GosthInit, InitialisersDifferOnlyOnTheEmptyMessage) {
  for (const unsigned char* sbox : {GOSTE_test_hash_sbox(), GOSTE_default_hash_sbox()}) {
    EXPECT_NE(digest("", sbox, false), digest("", sbox, true));
    // GOSTH_init on an empty message processes one all-zero block (length 0 bits), then the
    // length and checksum blocks, both zero: H = f(f(f(0, 0), 0), 0).
    GOSTE_CTX* c = GOSTE_new();
    ASSERT_TRUE(GOSTE_set_sbox(c, sbox));
    unsigned char h[32] = {0}, zero[32] = {0}, expect[32];
    for (int i = 0; i < 3; ++i) GOSTH_step(c->table, h, zero);
    for (int i = 0; i < 32; ++i) expect[i] = h[31 - i];
    EXPECT_EQ(digest("", sbox, false), hex(expect, 32));
    GOSTE_free(c);
    for (std::size_t n : {1u, 31u, 32u, 33u, 64u}) {
      std::string m(n, 'x');
      EXPECT_EQ(digest(m, sbox, false), digest(m, sbox, true)) << n;
    }
  }
}

TEST(GosthInit, DefaultsAreTheDefaultHashSboxAndZeroStart) {
  unsigned char a[32], b[32];
  ASSERT_TRUE(GOSTH_digest("abc", 3, a));
  ASSERT_TRUE(GOSTH_digest_ex("abc", 3, nullptr, GOSTE_default_hash_sbox(), 0, b));
  EXPECT_EQ(hex(a, 32), hex(b, 32));
  unsigned char h0[32] = {0};
  ASSERT_TRUE(GOSTH_digest_ex("abc", 3, h0, GOSTE_default_hash_sbox(), 0, b));
  EXPECT_EQ(hex(a, 32), hex(b, 32));
  h0[0] = 1;
  ASSERT_TRUE(GOSTH_digest_ex("abc", 3, h0, GOSTE_default_hash_sbox(), 0, b));
  EXPECT_NE(hex(a, 32), hex(b, 32));
  EXPECT_NE(digest("abc", GOSTE_test_hash_sbox(), false), hex(a, 32));
}

TEST(GosthStream, PiecesGiveTheOneCallDigest) {
  std::string msg(200, '\0');
  for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<char>(i * 7 + 1);
  for (std::size_t len : {35u, 64u, 200u}) {
    std::string m = msg.substr(0, len);
    std::string whole = digest(m, GOSTE_test_hash_sbox(), false);
    for (std::size_t first : {1u, 31u, 32u, 33u}) {
      GOSTH_CTX* h = GOSTH_new();
      ASSERT_TRUE(GOSTH_init(h, nullptr, GOSTE_test_hash_sbox()));
      ASSERT_EQ(GOSTH_update(h, m.data(), static_cast<int>(first)), static_cast<int>(first));
      ASSERT_EQ(GOSTH_update(h, m.data() + first, static_cast<int>(len - first)),
                static_cast<int>(len - first));
      unsigned char d[32];
      ASSERT_EQ(GOSTH_final(h, d), 32);
      EXPECT_EQ(hex(d, 32), whole) << len << "/" << first;
      GOSTH_free(h);
    }
  }
}

TEST(GosthStream, CountAndLengthBookkeeping) {
  GOSTH_CTX* h = GOSTH_new();
  ASSERT_TRUE(GOSTH_init(h, nullptr, nullptr));
  EXPECT_EQ(h->count, -1);
  std::string m(33, 'q');
  EXPECT_EQ(GOSTH_update(h, m.data(), 0), 0);
  EXPECT_EQ(h->count, -1);
  ASSERT_EQ(GOSTH_update(h, m.data(), 33), 33);
  EXPECT_EQ(h->count, 1);
  EXPECT_EQ(h->length[0], 256);
  EXPECT_EQ(h->length_limbs, 1);
  unsigned char d[32];
  ASSERT_EQ(GOSTH_final(h, d), 32);
  EXPECT_EQ(h->length[0], 264);
  ASSERT_TRUE(GOSTH_init_cp(h, nullptr, nullptr));
  EXPECT_EQ(h->count, 0);
  GOSTH_free(h);
  ERR_clear_error();
  EXPECT_EQ(GOSTH_update(nullptr, m.data(), 3), 0);
  EXPECT_EQ(ERR_get_status(), 1u);
  ERR_clear_error();
}

TEST(GosthPrehashed, KeepsTheFirst32BytesOfTheLastUpdate) {
  GOSTH_PREHASHED p;
  GOSTH_prehashed_init(&p);
  unsigned char in[40], out[32];
  for (int i = 0; i < 40; ++i) in[i] = static_cast<unsigned char>(i + 1);
  ASSERT_EQ(GOSTH_prehashed_update(&p, in, 20), 20);
  ASSERT_EQ(GOSTH_prehashed_final(&p, out), 32);
  EXPECT_EQ(std::memcmp(out, in, 20), 0);
  for (int i = 20; i < 32; ++i) EXPECT_EQ(out[i], 0);
  ASSERT_EQ(GOSTH_prehashed_update(&p, in + 8, 40 - 8), 32);
  ASSERT_EQ(GOSTH_prehashed_update(&p, in, 40), 40);
  ASSERT_EQ(GOSTH_prehashed_final(&p, out), 32);
  EXPECT_EQ(std::memcmp(out, in, 32), 0);
}
