// GOST R 34.11-94: published vectors (in this system's byte order), the two initialisers,
// streaming and the pre-hashed binding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/rus/gosth.h"
#include "tests/support/vec_file.h"

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
  for (const auto& v : testdata::read_vectors("gost3411.vec", "test"))
    EXPECT_EQ(digest(v.get("Msg"), GOSTE_test_hash_sbox(), true), reversed(v.get("Digest")))
        << "line " << v.line;
}

TEST(GosthVectors, CryptoProParameterSet) {
  for (const auto& v : testdata::read_vectors("gost3411.vec", "cryptopro")) {
    const std::string& msg = v.get("Msg");
    unsigned char d[32];
    ASSERT_TRUE(GOSTH_digest_cp(msg.data(), static_cast<int>(msg.size()), d));
    EXPECT_EQ(hex(d, 32), reversed(v.get("Digest"))) << "line " << v.line;
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
