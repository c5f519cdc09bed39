// Seeding the generator from a container's random-state record or from the keyboard, and
// producing the next record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "crypto/mem.h"
#include "crypto/pse/pse_rand.h"
#include "rand_fixture.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

namespace {

struct PseFree {
  void operator()(PSE* p) const { PSE_free(p); }
};

class PseRand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { randtest::start_library(); }
  void SetUp() override {
    randtest::reset_generator(0);
    Bytes kek(32);
    for (int i = 0; i < 32; ++i) kek[i] = static_cast<unsigned char>(0xA0 ^ i);
    ASSERT_EQ(PSE_set_kek(pse.get(), kek.data()), 1);
  }
  void TearDown() override { randtest::reset_generator(0); }

  // A record holding the given seed.
  Bytes record_of(const Bytes& seed) {
    Bytes r(PSE_RAND_RECORD_BYTES);
    EXPECT_NE(PSE_write_opaque(pse.get(), seed.data(), r.data()), nullptr);
    return r;
  }
  Bytes seed_in(const Bytes& record) {
    Bytes s(32, 0);
    EXPECT_NE(PSE_read_opaque(pse.get(), record.data(), s.data()), nullptr);
    return s;
  }

  std::unique_ptr<PSE, PseFree> pse{PSE_new()};
  const Bytes old_seed = Bytes(32, 0x42);
};

TEST_F(PseRand, RecordRoundTrip) {
  Bytes record = record_of(old_seed);
  int stored = -1;
  ASSERT_EQ(PSE_rand_init(pse.get(), record.data(), &stored, nullptr, nullptr), 1);
  EXPECT_EQ(stored, PSE_RAND_RECORD_BYTES);
  EXPECT_EQ(RAND_get_method(), GRAND_get_method());
  EXPECT_TRUE(GRAND_is_initialised());
  // The record now holds the generator's first output, never the seed it held.
  Bytes next_seed = seed_in(record);
  EXPECT_NE(next_seed, old_seed);
  Bytes drawn(32);
  ASSERT_EQ(RAND_bytes(drawn.data(), 32), 32);
  EXPECT_NE(drawn, next_seed);  // and that output is not handed out again
  EXPECT_EQ(ERR_count_errors(), 0);

  // The next record from the running generator.
  Bytes saved(PSE_RAND_RECORD_BYTES);
  ASSERT_EQ(PSE_rand_save_state(pse.get(), saved.data()), 1);
  EXPECT_NE(seed_in(saved), next_seed);
}

TEST_F(PseRand, ReadyAlreadyChangesNothing) {
  RAND_set_method(GRAND_get_method());
  Bytes seed(32, 1);
  ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
  Bytes record = record_of(old_seed), before = record;
  int stored = -1;
  EXPECT_EQ(PSE_rand_init(pse.get(), record.data(), &stored, nullptr, nullptr), 1);
  EXPECT_EQ(stored, 0);
  EXPECT_EQ(record, before);
}

TEST_F(PseRand, WithoutStoredLengthTheRecordStays) {
  Bytes record = record_of(old_seed), before = record;
  ASSERT_EQ(PSE_rand_init(pse.get(), record.data(), nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(record, before);
  EXPECT_TRUE(GRAND_is_initialised());
}

TEST_F(PseRand, NoRecordAndNoCallbackFails) {
  int stored = -1;
  EXPECT_EQ(PSE_rand_init(pse.get(), nullptr, &stored, nullptr, nullptr), 0);
  EXPECT_EQ(stored, 0);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{ERR_pack(LIB_PSE, PSE_F_PSE_RAND_INIT, R_INTERNAL_ERROR),
                                        ERR_pack(LIB_PSE, PSE_F_PSE_RAND_INIT, LIB_PSE)}));
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_FALSE(GRAND_is_initialised());
}

TEST_F(PseRand, RecordFailingItsMacWithoutCallbackFails) {
  Bytes record = record_of(old_seed);
  record[35] ^= 0x80;
  Bytes before = record;
  int stored = -1;
  EXPECT_EQ(PSE_rand_init(pse.get(), record.data(), &stored, nullptr, nullptr), 0);
  EXPECT_EQ(record, before);
  EXPECT_EQ(stored, 0);
  EXPECT_EQ(ERR_get_status(), PSE_STATUS_INVALID_MAC);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{ERR_pack(LIB_PSE, PSE_F_PSE_DECRYPT32, PSE_R_INVALID_MAC),
                                        ERR_pack(LIB_PSE, PSE_F_PSE_DECRYPT32, LIB_PSE),
                                        ERR_pack(LIB_PSE, PSE_F_PSE_RAND_INIT, R_INTERNAL_ERROR),
                                        ERR_pack(LIB_PSE, PSE_F_PSE_RAND_INIT, LIB_PSE)}));
  EXPECT_EQ(RAND_get_method(), nullptr);
}

TEST_F(PseRand, RecordFailingItsMacFallsBackToTheKeyboard) {
  Bytes record = record_of(old_seed);
  record[0] ^= 0x01;
  randtest::Keyboard kb;
  int stored = -1;
  ASSERT_EQ(PSE_rand_init(pse.get(), record.data(), &stored, &randtest::Keyboard::callback, &kb),
            1);
  EXPECT_EQ(kb.prompts.size(), 16U);
  EXPECT_EQ(ERR_count_errors(), 0);  // the reader's errors were dropped
  EXPECT_EQ(stored, PSE_RAND_RECORD_BYTES);
  // The record is whole again and holds fresh output.
  Bytes next_seed = seed_in(record);
  EXPECT_NE(next_seed, old_seed);
}

TEST_F(PseRand, KeyboardOnlyWithoutContainer) {
  randtest::Keyboard kb{"wc"};
  int stored = -1;
  ASSERT_EQ(PSE_rand_init(nullptr, nullptr, &stored, &randtest::Keyboard::callback, &kb), 1);
  EXPECT_EQ(stored, 0);
  EXPECT_EQ(kb.prompts.size(), 17U);
  EXPECT_EQ(PSE_rand_is_ready(), 1);
}

TEST_F(PseRand, AbandonedKeyboardSeedingLeavesNoMethod) {
  randtest::Keyboard kb{"ccwa"};
  EXPECT_EQ(PSE_rand_init(pse.get(), nullptr, nullptr, &randtest::Keyboard::callback, &kb), 0);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_USER_ABORT);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{
                ERR_pack(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, R_INTERNAL_ERROR),
                ERR_pack(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, LIB_RAND),
                ERR_pack(LIB_PSE, PSE_F_PSE_RAND_INIT, LIB_PSE)}));
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_FALSE(GRAND_is_initialised());
  // The next attempt starts clean.
  Bytes record = record_of(old_seed);
  EXPECT_EQ(PSE_rand_init(pse.get(), record.data(), nullptr, nullptr, nullptr), 1);
}

TEST_F(PseRand, ContainerWithoutKekCannotStoreTheNextRecord) {
  std::unique_ptr<PSE, PseFree> bare(PSE_new());
  randtest::Keyboard kb;
  Bytes record(PSE_RAND_RECORD_BYTES, 0x11), before = record;
  int stored = -1;
  EXPECT_EQ(PSE_rand_init(bare.get(), record.data(), &stored, &randtest::Keyboard::callback, &kb),
            0);
  EXPECT_EQ(stored, 0);
  EXPECT_EQ(record, before);
  EXPECT_EQ(RAND_get_method(), nullptr);
}

TEST_F(PseRand, SaveStateNeedsAGenerator) {
  Bytes out(PSE_RAND_RECORD_BYTES, 0);
  EXPECT_EQ(PSE_rand_save_state(pse.get(), out.data()), 0);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_NOT_READY);
  std::vector<unsigned long> errs = randtest::drain_errors();
  ASSERT_FALSE(errs.empty());
  EXPECT_EQ(errs.back(), ERR_pack(LIB_PSE, PSE_F_PSE_RAND_SAVE_STATE, LIB_PSE));
  EXPECT_EQ(PSE_rand_save_state(nullptr, out.data()), 0);
}

TEST_F(PseRand, CleanupDeselects) {
  Bytes record = record_of(old_seed);
  ASSERT_EQ(PSE_rand_init(pse.get(), record.data(), nullptr, nullptr, nullptr), 1);
  PSE_rand_cleanup();
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_FALSE(GRAND_is_initialised());
  PSE_rand_cleanup();  // nothing selected: nothing happens
  EXPECT_EQ(PSE_rand_is_ready(), 0);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_NOT_READY);
}

}  // namespace

namespace {

// Allocations fail from the Nth one on (counting from 0); -1 lets all through.
int g_fail_from = -1, g_allocs = 0;
void* counted_malloc(std::size_t n) {
  return g_fail_from >= 0 && g_allocs++ >= g_fail_from ? nullptr : std::malloc(n);
}

TEST_F(PseRand, ShortMemoryFailsCleanly) {
  // Every allocation point of a record-seeded start, one at a time.
  int failed_runs = 0;
  bool succeeded = false;
  for (int fail_at = 0; fail_at < 40 && !succeeded; ++fail_at) {
    randtest::reset_generator(0);
    Bytes record = record_of(old_seed), before = record;
    MallocFn m;
    ReallocFn r;
    FreeFn f;
    CRYPTO_get_mem_functions(&m, &r, &f);
    g_allocs = 0;
    g_fail_from = fail_at;
    ASSERT_EQ(CRYPTO_set_mem_functions(counted_malloc, r, f), 1);
    int stored = -1;
    int ok = PSE_rand_init(pse.get(), record.data(), &stored, nullptr, nullptr);
    CRYPTO_set_mem_functions(m, r, f);
    g_fail_from = -1;
    if (ok) {
      EXPECT_EQ(stored, PSE_RAND_RECORD_BYTES);
      EXPECT_EQ(RAND_get_method(), GRAND_get_method());
      succeeded = true;  // no allocation left to fail
      continue;
    }
    ++failed_runs;
    // A failure leaves no generator and the record as it was.
    EXPECT_EQ(RAND_get_method(), nullptr) << fail_at;
    EXPECT_FALSE(GRAND_is_initialised()) << fail_at;
    EXPECT_EQ(record, before) << fail_at;
    EXPECT_EQ(stored, 0) << fail_at;
  }
  EXPECT_TRUE(succeeded);
  EXPECT_GT(failed_runs, 2);
}

}  // namespace
