// Key masking: CRC, slots (mask, unmask, renewal after 2 seconds, corruption) and masked big
// numbers.
#include <gtest/gtest.h>

#include <cstring>

#include <openssl/bn.h>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/mask.h"
#include "crypto/pse/pse.h"

using namespace jarnel;

namespace {

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

struct Slot {
  MASKED_KEY s{};
  ~Slot() { MASK_key_wipe(&s); }
};

}  // namespace

TEST(MaskCrc, KnownValuesAndZeroReplacement) {
  // CRC-32 register without the final inversion: the complement of the common CRC-32.
  EXPECT_EQ(MASK_crc32("123456789", 9), ~0xCBF43926u);
  EXPECT_EQ(MASK_crc32("", 0), 0xFFFFFFFFu);
  // Four 0xFF bytes clear the register (each step indexes table entry 0): a result of 0 is
  // replaced by 0xFFFFFFFF.
  const unsigned char ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(MASK_crc32(ones, 4), 0xFFFFFFFFu);
}

TEST(MaskKey, SetMasksAndUnmaskRestores) {
  Slot k;
  ASSERT_TRUE(MASK_key_set(&k.s, kKey));
  EXPECT_TRUE(MASK_key_is_masked(&k.s));
  ASSERT_NE(k.s.mask, nullptr);
  EXPECT_NE(std::memcmp(k.s.key, kKey, 32), 0);
  ASSERT_TRUE(MASK_key_unmask(&k.s));
  EXPECT_FALSE(MASK_key_is_masked(&k.s));
  EXPECT_EQ(std::memcmp(k.s.key, kKey, 32), 0);  // words are little-endian on this target
  // Unmasking an unmasked slot only verifies the checksum.
  EXPECT_TRUE(MASK_key_unmask(&k.s));
  EXPECT_EQ(std::memcmp(k.s.key, kKey, 32), 0);
}

TEST(MaskKey, GetReturnsTheClearKeyAndStaysMasked) {
  Slot k;
  ASSERT_TRUE(MASK_key_set(&k.s, kKey));
  unsigned char out[32];
  ASSERT_TRUE(MASK_key_get(&k.s, out));
  EXPECT_EQ(std::memcmp(out, kKey, 32), 0);
  EXPECT_TRUE(MASK_key_is_masked(&k.s));
  k.s.key[7] ^= 1;
  ERR_clear_error();
  EXPECT_EQ(MASK_key_get(&k.s, out), 0);
  EXPECT_EQ(ERR_get_status(), 12u);
  unsigned char zero[32] = {0};
  EXPECT_EQ(std::memcmp(out, zero, 32), 0);
  EXPECT_EQ(k.s.mask, nullptr);
  ERR_clear_error();
}

TEST(MaskKey, MaskingTwiceMasksOnce) {
  Slot k;
  ASSERT_TRUE(MASK_key_set(&k.s, kKey));
  std::uint32_t once[8];
  std::memcpy(once, k.s.key, 32);
  ASSERT_TRUE(MASK_key_mask(&k.s));
  EXPECT_EQ(std::memcmp(once, k.s.key, 32), 0);
  ASSERT_TRUE(MASK_key_unmask(&k.s));
  EXPECT_EQ(std::memcmp(k.s.key, kKey, 32), 0);
}

TEST(MaskKey, AlteredWhileMaskedFailsWithStatus12) {
  Slot k;
  ASSERT_TRUE(MASK_key_set(&k.s, kKey));
  k.s.key[5] ^= 0x80;
  ERR_clear_error();
  EXPECT_EQ(MASK_key_unmask(&k.s), 0);
  EXPECT_EQ(ERR_get_status(), 12u);
  ERR_clear_error();
}

TEST(MaskKey, PadIsReusedWithinTwoSecondsAndRenewedAfter) {
  Slot k;
  ASSERT_TRUE(MASK_key_set(&k.s, kKey));
  unsigned char first[32];
  std::memcpy(first, k.s.mask, 32);
  ASSERT_TRUE(MASK_key_unmask(&k.s));
  ASSERT_TRUE(MASK_key_mask(&k.s));
  EXPECT_EQ(std::memcmp(first, k.s.mask, 32), 0);  // same second: same pad
  // Pretend the pad was made three seconds ago.
  ASSERT_TRUE(MASK_key_unmask(&k.s));
  k.s.mask_time -= 3;
  std::int64_t old_time = k.s.mask_time;
  ASSERT_TRUE(MASK_key_mask(&k.s));
  EXPECT_NE(std::memcmp(first, k.s.mask, 32), 0);
  EXPECT_GT(k.s.mask_time, old_time);
  ASSERT_TRUE(MASK_key_unmask(&k.s));
  EXPECT_EQ(std::memcmp(k.s.key, kKey, 32), 0);
}

TEST(MaskKey, DisabledSlotIsNeitherMaskedNorChecked) {
  Slot k;
  k.s.flags = MASK_FLAG_DISABLED;
  ASSERT_TRUE(MASK_key_set(&k.s, kKey));
  EXPECT_FALSE(MASK_key_is_masked(&k.s));
  EXPECT_EQ(k.s.mask, nullptr);
  k.s.key[0] ^= 1;
  EXPECT_TRUE(MASK_key_unmask(&k.s));
}

TEST(MaskKey, WipeZeroesEverything) {
  MASKED_KEY k{};
  ASSERT_TRUE(MASK_key_set(&k, kKey));
  MASK_key_wipe(&k);
  MASKED_KEY zero{};
  EXPECT_EQ(std::memcmp(&k, &zero, sizeof(k)), 0);
}

namespace {
// Every allocation through the library's memory functions fails while this lives.
void* no_memory(std::size_t) { return nullptr; }
struct NoMemory {
  MallocFn m;
  ReallocFn r;
  FreeFn f;
  NoMemory() {
    CRYPTO_get_mem_functions(&m, &r, &f);
    CRYPTO_set_mem_functions(no_memory, r, f);
  }
  ~NoMemory() { CRYPTO_set_mem_functions(m, r, f); }
};

// No byte of the key, in the slot's words or anywhere in the record.
bool holds_no_key(const MASKED_KEY& slot) {
  for (std::uint32_t w : slot.key)
    if (w != 0) return false;
  return slot.checksum == 0 && slot.mask == nullptr && !MASK_key_is_masked(&slot);
}
}  // namespace

TEST(MaskKey, FailedMaskingLeavesNoClearKey) {
  ERR_clear_error();  // the thread's error state exists before memory runs out
  {
    Slot k;
    {
      NoMemory nm;
      EXPECT_EQ(MASK_key_set(&k.s, kKey), 0);
    }
    EXPECT_TRUE(holds_no_key(k.s));
  }
  {
    // A slot taken out of its mask with the mask gone (as after a wipe of the pad alone): the
    // re-masking needs a new pad, and without memory the clear key must go.
    Slot k;
    ASSERT_TRUE(MASK_key_set(&k.s, kKey));
    ASSERT_TRUE(MASK_key_unmask(&k.s));
    mem_clear_free(k.s.mask, MASK_KEY_BYTES);
    k.s.mask = nullptr;
    {
      NoMemory nm;
      EXPECT_EQ(MASK_key_mask(&k.s), 0);
    }
    EXPECT_TRUE(holds_no_key(k.s));
  }
  PSE* pse = PSE_new();
  ASSERT_NE(pse, nullptr);
  {
    NoMemory nm;
    EXPECT_EQ(PSE_set_mkey(pse, kKey), 0);
    EXPECT_EQ(PSE_set_kek(pse, kKey), 0);
  }
  EXPECT_TRUE(holds_no_key(pse->mkey));
  EXPECT_TRUE(holds_no_key(pse->kek));
  EXPECT_FALSE(PSE_key_is_set(&pse->mkey));
  EXPECT_FALSE(PSE_key_is_set(&pse->kek));
  // With memory back, the same container takes its keys.
  EXPECT_EQ(PSE_set_mkey(pse, kKey), 1);
  EXPECT_TRUE(MASK_key_is_masked(&pse->mkey));
  PSE_free(pse);
  ERR_clear_error();
}

TEST(MaskFill, GeneratorOutputIsTheLowByteOfBits16To30) {
  unsigned char a[64], b[64];
  MASK_fill(a, sizeof(a));
  MASK_fill(b, sizeof(b));
  EXPECT_NE(std::memcmp(a, b, sizeof(a)), 0);
}

TEST(MaskBn, UnmaskedCopyEqualsTheValueAndSourceStaysMasked) {
  for (const char* dec : {"0", "1", "4294967296", "-12345678901234567890123",
                          "115792089237316195423570985008687907853269984665640564039457584007913129639319"}) {
    for (int min_bytes : {0, 32, 64}) {
      BIGNUM* v = nullptr;
      ASSERT_TRUE(BN_dec2bn(&v, dec));
      MASKED_BN* m = MASK_BN_from_bn(v, min_bytes);
      ASSERT_NE(m, nullptr);
      EXPECT_TRUE(MASK_BN_is_masked(m));
      // A short value is stored over at least the length asked for.
      EXPECT_GE(m->dmax * 4, min_bytes) << dec;
      BIGNUM* c = MASK_BN_unmasked_copy(m);
      ASSERT_NE(c, nullptr) << dec;
      EXPECT_EQ(BN_cmp(c, v), 0) << dec << " " << min_bytes;
      EXPECT_EQ(BN_num_bytes(c), BN_num_bytes(v)) << dec;
      EXPECT_TRUE(MASK_BN_is_masked(m));
      MASKED_BN* dup = MASK_BN_dup(m);
      ASSERT_NE(dup, nullptr);
      EXPECT_TRUE(MASK_BN_is_masked(dup));
      EXPECT_NE(dup->mask, m->mask);
      BIGNUM* c2 = MASK_BN_unmasked_copy(dup);
      ASSERT_NE(c2, nullptr);
      EXPECT_EQ(BN_cmp(c2, v), 0);
      BN_clear_free(c);
      BN_clear_free(c2);
      MASK_BN_free(dup);
      MASK_BN_free(m);
      BN_free(v);
    }
  }
}

TEST(MaskBn, RemaskingUsesAFreshPadAndKeepsTheValue) {
  BIGNUM* v = BN_new();
  ASSERT_TRUE(BN_set_word(v, 0xDEADBEEF));
  MASKED_BN* m = MASK_BN_from_bn(v);
  ASSERT_NE(m, nullptr);
  ASSERT_TRUE(MASK_BN_mask(m));
  BIGNUM* c = MASK_BN_unmasked_copy(m);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(BN_cmp(c, v), 0);
  BN_clear_free(c);
  MASK_BN_free(m);
  BN_free(v);
}

TEST(MaskBn, CorruptedValueOrMissingMaskGivesNullWithStatus12) {
  BIGNUM* v = BN_new();
  ASSERT_TRUE(BN_set_word(v, 77777));
  MASKED_BN* m = MASK_BN_from_bn(v);
  ASSERT_NE(m, nullptr);
  m->d[0] ^= 0x10;
  ERR_clear_error();
  EXPECT_EQ(MASK_BN_unmasked_copy(m), nullptr);
  EXPECT_EQ(ERR_get_status(), 12u);
  m->d[0] ^= 0x10;
  BIGNUM* ok = MASK_BN_unmasked_copy(m);
  ASSERT_NE(ok, nullptr);
  BN_clear_free(ok);
  MASKED_BN* dup = MASK_BN_dup(m);
  ASSERT_NE(dup, nullptr);
  ERR_clear_error();
  unsigned char* mask = dup->mask;
  dup->mask = nullptr;
  EXPECT_EQ(MASK_BN_unmasked_dup(dup), nullptr);
  EXPECT_EQ(ERR_get_status(), 12u);
  dup->mask = mask;
  MASK_BN_free(dup);
  MASK_BN_free(m);
  BN_free(v);
  ERR_clear_error();
}

TEST(MaskBn, UnmaskedNumberCopiesAsIs) {
  BIGNUM* v = BN_new();
  ASSERT_TRUE(BN_set_word(v, 42));
  MASKED_BN* m = MASK_BN_new();
  ASSERT_TRUE(MASK_BN_set(m, v));
  EXPECT_FALSE(MASK_BN_is_masked(m));
  BIGNUM* c = MASK_BN_unmasked_copy(m);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(BN_cmp(c, v), 0);
  BN_clear_free(c);
  MASK_BN_free(m);
  BN_free(v);
}
