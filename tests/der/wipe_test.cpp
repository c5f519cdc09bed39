// Encoding and decoding a private key leaves no copy of the private value in freed memory:
// both the library's allocator and OpenSSL's are replaced (before anything allocates) by ones
// that look into every block as it is freed.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/startup.h"

namespace {

// The bytes looked for; blocks freed while watching that hold them are counted.
unsigned char g_needle[2][16];
std::atomic<bool> g_watch{false};
std::atomic<int> g_hits{0};

// Blocks made by the recorder, with their sizes (blocks made before it was installed are passed
// on to free untouched).
std::mutex g_lock;
std::unordered_map<void*, std::size_t>& blocks() {
  static auto* m = new std::unordered_map<void*, std::size_t>;
  return *m;
}

void inspect(const unsigned char* p, std::size_t n) {
  if (!g_watch) return;
  for (const auto& needle : g_needle)
    if (std::search(p, p + n, needle, needle + sizeof needle) != p + n) ++g_hits;
}

void* rec_malloc(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (p) {
    std::lock_guard<std::mutex> g(g_lock);
    blocks()[p] = n;
  }
  return p;
}
void rec_free(void* p) {
  if (!p) return;
  {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = blocks().find(p);
    if (it != blocks().end()) {
      inspect(static_cast<unsigned char*>(p), it->second);
      blocks().erase(it);
    }
  }
  std::free(p);
}
void* rec_realloc(void* p, std::size_t n) {
  if (!p) return rec_malloc(n);
  std::size_t old = 0;
  bool ours = false;
  {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = blocks().find(p);
    if (it != blocks().end()) {
      old = it->second;
      ours = true;
    }
  }
  if (!ours) return std::realloc(p, n);
  void* q = rec_malloc(n);
  if (!q) return nullptr;
  std::memcpy(q, p, std::min(old, n));
  rec_free(p);
  return q;
}
void* ossl_malloc(std::size_t n, const char*, int) { return rec_malloc(n); }
void* ossl_realloc(void* p, std::size_t n, const char*, int) { return rec_realloc(p, n); }
void ossl_free(void* p, const char*, int) { rec_free(p); }

// Before OpenSSL or the library allocates anything.
__attribute__((constructor(101))) void install() {
  CRYPTO_set_mem_functions(ossl_malloc, ossl_realloc, ossl_free);
}

// Watches for the 16 middle bytes of value, in big- and little-endian order.
void watch(const unsigned char be[32]) {
  std::memcpy(g_needle[0], be + 8, 16);
  for (int i = 0; i < 16; ++i) g_needle[1][i] = be[23 - i];
  g_hits = 0;
  g_watch = true;
}

struct Wipe : ::testing::Test {
  static void SetUpTestSuite() {
    jarnel::CADB_startup();
    ASSERT_EQ(jarnel::CRYPTO_set_mem_functions(rec_malloc, rec_realloc, rec_free), 1);
  }
  void TearDown() override {
    g_watch = false;
    jarnel::ERR_clear_error();
  }
};

const unsigned char kX[32] = {0x1c, 0x3f, 0x52, 0x61, 0x7a, 0x0b, 0x9e, 0x44, 0x15, 0x26, 0x37,
                              0x48, 0x59, 0x6a, 0x7b, 0x8c, 0x9d, 0xae, 0xbf, 0xc0, 0xd1, 0xe2,
                              0xf3, 0x04, 0x15, 0x26, 0x37, 0x48, 0x59, 0x6a, 0x7b, 0x8c};

TEST_F(Wipe, R3410PrivateKeyEncodingAndDecoding) {
  using namespace jarnel;
  ASSERT_TRUE(OPENSSL_init_crypto(0, nullptr));
  for (bool with_mac : {false, true}) {
    R3410* key = R3410_new();
    ASSERT_TRUE(key && R3410_set_params(key, R3410_SEL_CP_A));
    ASSERT_TRUE(R3410_set_private_key(key, kX, 32) && R3410_generate_pubkey(key));
    if (with_mac) {
      key->key_mac = BN_new();
      BN_set_word(key->key_mac, 0x01020304);
    }
    watch(kX);
    std::vector<unsigned char> der(static_cast<std::size_t>(i2d_R3410PrivateKey(key, nullptr)));
    unsigned char* w = der.data();
    ASSERT_EQ(i2d_R3410PrivateKey(key, &w), static_cast<int>(der.size()));
    // A buffer made by the encoder for the caller, freed wiped by the caller.
    unsigned char* made = nullptr;
    const int n = i2d_R3410PrivateKey(key, &made);
    ASSERT_EQ(n, static_cast<int>(der.size()));
    mem_clear_free(made, static_cast<std::size_t>(n));
    const unsigned char* r = der.data();
    R3410* back = d2i_R3410PrivateKey(nullptr, &r, static_cast<long>(der.size()));
    ASSERT_TRUE(back);
    unsigned char x[32];
    ASSERT_TRUE(R3410_get_private_key(back, x, 32));
    EXPECT_EQ(std::memcmp(x, kX, 32), 0);
    mem_cleanse(x, sizeof x);
    R3410_free(back);
    R3410_free(key);
    mem_cleanse(der.data(), der.size());
    EXPECT_EQ(g_hits, 0) << "with key_mac " << with_mac;
    g_watch = false;
  }
}

TEST_F(Wipe, EcgostPrivateKeyEncodingAndDecoding) {
  using namespace jarnel;
  ECURVE* curve = ECURVE_by_number(ECURVE_CP_A);
  ECGOST* key = ECGOST_new(curve);
  ECURVE_free(curve);
  ASSERT_TRUE(key);
  ECGOST_set_paramsets(key, NID_CP_2001_A, NID_CP_R3411_94_PARAMSET, 0);
  BIGNUM* d = BN_secure_new();
  BN_bin2bn(kX, 32, d);
  ASSERT_TRUE(ECGOST_set_private(key, d) && ECGOST_generate_pubkey(key));
  BN_clear_free(d);
  watch(kX);
  std::vector<unsigned char> der(static_cast<std::size_t>(i2d_ECGOSTPRIVATEKEY(key, nullptr)));
  unsigned char* w = der.data();
  ASSERT_EQ(i2d_ECGOSTPRIVATEKEY(key, &w), static_cast<int>(der.size()));
  const unsigned char* r = der.data();
  ECGOST* back = d2i_ECGOSTPRIVATEKEY(nullptr, &r, static_cast<long>(der.size()));
  ASSERT_TRUE(back);
  ECGOST_free(back);
  ECGOST_free(key);
  mem_cleanse(der.data(), der.size());
  EXPECT_EQ(g_hits, 0);
}

// The recorder itself: an unwiped block holding the value is seen.
TEST_F(Wipe, TheRecorderSeesAnUnwipedCopy) {
  watch(kX);
  void* p = jarnel::mem_alloc(64);
  std::memcpy(static_cast<unsigned char*>(p) + 5, kX, 32);
  jarnel::mem_free(p);
  unsigned char* q = static_cast<unsigned char*>(OPENSSL_malloc(40));
  for (int i = 0; i < 32; ++i) q[3 + i] = kX[31 - i];
  OPENSSL_free(q);
  EXPECT_EQ(g_hits, 2);
}

}  // namespace
