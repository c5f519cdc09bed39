// KEK diversification and the CryptoPro key wrap against the OpenSSL GOST engine's own
// functions (the engine library is linked directly; this system takes the KEK most significant
// byte first, the engine least significant byte first).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "crypto/rus/gost89.h"
#include "peers.h"

extern "C" {
// From the engine's gost89.h / gost_keywrap.h (engine 3.0.x).
struct gost_subst_block;
extern struct gost_subst_block Gost28147_CryptoProParamSetA, Gost28147_CryptoProParamSetB,
    Gost28147_CryptoProParamSetC, Gost28147_CryptoProParamSetD;
void gost_init(void* ctx, const struct gost_subst_block* b);
void gost_destroy(void* ctx);
int keyDiversifyCryptoPro(void* ctx, const unsigned char* inputKey, const unsigned char* ukm,
                          unsigned char* outputKey);
int keyWrapCryptoPro(void* ctx, const unsigned char* keyExchangeKey, const unsigned char* ukm,
                     const unsigned char* sessionKey, unsigned char* wrappedKey);
}

using namespace jarnel;
using peers::Bytes;

namespace {
// Larger than the engine's context in any version.
struct alignas(64) EngineCtx {
  unsigned char space[64 * 1024] = {};
};
const struct gost_subst_block* engine_sbox(int number) {
  switch (number) {
    case 33: return &Gost28147_CryptoProParamSetB;
    case 34: return &Gost28147_CryptoProParamSetC;
    case 35: return &Gost28147_CryptoProParamSetD;
    default: return &Gost28147_CryptoProParamSetA;
  }
}
}  // namespace

TEST(EngineKeyWrap, DiversificationMatchesTheEngine) {
  for (int s : {32, 33, 34, 35}) {
    for (int i = 0; i < 10; ++i) {
      Bytes kek = peers::random_bytes(32), ukm = peers::random_bytes(8);
      unsigned char ours[32], theirs[32];
      ASSERT_NE(GOSTE_kek_diversify(ukm.data(), kek.data(), ours, GOSTE_sbox_by_number(s)), nullptr);
      auto ctx = std::make_unique<EngineCtx>();
      gost_init(ctx.get(), engine_sbox(s));
      Bytes le(kek.rbegin(), kek.rend());
      keyDiversifyCryptoPro(ctx.get(), le.data(), ukm.data(), theirs);
      gost_destroy(ctx.get());
      EXPECT_EQ(peers::to_hex(ours, 32), peers::to_hex(theirs, 32)) << "sbox " << s;
    }
  }
}

TEST(EngineKeyWrap, WrapMatchesTheEngine) {
  for (int s : {32, 35}) {
    Bytes kek = peers::random_bytes(32), ukm = peers::random_bytes(8), cek = peers::random_bytes(32);
    unsigned char enc[32], mac[4], wrapped[44];
    ASSERT_TRUE(GOSTE_cp_key_wrap(kek.data(), ukm.data(), cek.data(), GOSTE_sbox_by_number(s), enc, mac));
    auto ctx = std::make_unique<EngineCtx>();
    gost_init(ctx.get(), engine_sbox(s));
    Bytes le(kek.rbegin(), kek.rend());
    ASSERT_EQ(keyWrapCryptoPro(ctx.get(), le.data(), ukm.data(), cek.data(), wrapped), 1);
    gost_destroy(ctx.get());
    EXPECT_EQ(peers::to_hex(wrapped, 8), peers::to_hex(ukm));
    EXPECT_EQ(peers::to_hex(wrapped + 8, 32), peers::to_hex(enc, 32));
    EXPECT_EQ(peers::to_hex(wrapped + 40, 4), peers::to_hex(mac, 4));
  }
}
