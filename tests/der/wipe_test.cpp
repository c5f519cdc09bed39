// Encoding and decoding a private key leaves no copy of the private value in freed memory:
// both the library's allocator and OpenSSL's are replaced (before anything allocates) by ones
// that look into every block as it is freed (tests/support/mem_watch.h).
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/startup.h"
#include "tests/support/mem_watch.h"

namespace {

// Watches for the 16 middle bytes of value, in big- and little-endian order.
void watch(const unsigned char be[32]) {
  mem_watch::unwatch();
  mem_watch::watch("private value", {be, 32});
}
int hits() { return static_cast<int>(mem_watch::hits().size()); }

struct Wipe : ::testing::Test {
  static void SetUpTestSuite() {
    jarnel::CADB_startup();
    mem_watch::install_library();
  }
  void TearDown() override {
    mem_watch::unwatch();
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
    EXPECT_EQ(hits(), 0) << "with key_mac " << with_mac;
    mem_watch::unwatch();
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
  EXPECT_EQ(hits(), 0);
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
  EXPECT_EQ(hits(), 2);
}

}  // namespace
