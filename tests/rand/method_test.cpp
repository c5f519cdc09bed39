// The method layer: method selection, seeding and clean-up, unbuffered and buffered drawing,
// refills, the statistical test in the refill loop, and the error codes and statuses.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rand_fixture.h"

using namespace jarnel;

namespace {

// A scripted method. Each bytes call is counted; what it delivers depends on the mode.
struct Fake {
  enum Mode { kRandom, kZeros, kShort } mode = kRandom;
  int bytes_calls = 0, seed_calls = 0, cleanup_calls = 0, init_calls = 0;
  int cleanup_result = 1;
  std::uint64_t state = 0x0123456789ABCDEFULL;
};
Fake g_fake;

int fake_bytes(unsigned char* buf, int num) {
  ++g_fake.bytes_calls;
  if (g_fake.mode == Fake::kShort) return num / 2;
  for (int i = 0; i < num; ++i) {
    if (g_fake.mode == Fake::kZeros) {
      buf[i] = 0;
      continue;
    }
    g_fake.state ^= g_fake.state << 13;
    g_fake.state ^= g_fake.state >> 7;
    g_fake.state ^= g_fake.state << 17;
    buf[i] = static_cast<unsigned char>(g_fake.state >> 24);
  }
  return num;
}
int fake_seed(unsigned char*, int num) {
  ++g_fake.seed_calls;
  return num > 0;
}
int fake_cleanup() {
  ++g_fake.cleanup_calls;
  return g_fake.cleanup_result;
}
int fake_init(unsigned char*, void* param) {
  ++g_fake.init_calls;
  return param != nullptr;
}

const jarnel::RAND_METHOD kFake = {fake_seed, fake_bytes, fake_cleanup, fake_init, nullptr};
const jarnel::RAND_METHOD kBare = {nullptr, nullptr, nullptr, nullptr, nullptr};

class MethodLayer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { randtest::start_library(); }
  void SetUp() override {
    randtest::reset_generator(0);
    g_fake = Fake{};
  }
  void TearDown() override { randtest::reset_generator(0); }
};

TEST_F(MethodLayer, NothingWorksWithoutAMethod) {
  unsigned char buf[16] = {};
  EXPECT_EQ(RAND_bytes(buf, 16), 0);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_NOT_READY);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{ERR_pack(LIB_RAND, RAND_F_RAND_BYTES, RAND_R_METHOD_NOT_SET)}));
  EXPECT_EQ(RAND_seed(buf, 16), 0);
  EXPECT_EQ(RAND_init(buf, nullptr), 0);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{ERR_pack(LIB_RAND, RAND_F_RAND_SEED, RAND_R_METHOD_NOT_SET),
                                        ERR_pack(LIB_RAND, RAND_F_RAND_INIT, RAND_R_METHOD_NOT_SET)}));
  EXPECT_STREQ(ERR_reason_error_string(ERR_pack(LIB_RAND, 0, RAND_R_METHOD_NOT_SET)),
               "method not set");
  EXPECT_STREQ(ERR_func_error_string(ERR_pack(LIB_RAND, RAND_F_RAND_OPERATIONAL_CHECK, 0)),
               "RAND_operational_check");
  EXPECT_STREQ(ERR_lib_error_string(ERR_pack(LIB_RAND, 0, 0)), "RAND routines");
}

TEST_F(MethodLayer, CleanupTwiceReportsOnlyTheFirst) {
  RAND_set_method(&kFake);
  EXPECT_EQ(RAND_cleanup(), 1);
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_EQ(RAND_cleanup(), 0);
  EXPECT_EQ(g_fake.cleanup_calls, 1);
}

TEST_F(MethodLayer, FailingCleanupKeepsTheMethod) {
  RAND_set_method(&kFake);
  g_fake.cleanup_result = 0;
  EXPECT_EQ(RAND_cleanup(), 0);
  EXPECT_EQ(RAND_get_method(), &kFake);
}

TEST_F(MethodLayer, ChangingMethodCleansUpTheOldOneOnly) {
  RAND_set_method(&kFake);
  RAND_set_method(&kFake);
  EXPECT_EQ(g_fake.cleanup_calls, 0);
  RAND_set_method(&kBare);
  EXPECT_EQ(g_fake.cleanup_calls, 1);
  EXPECT_EQ(RAND_get_method(), &kBare);
}

TEST_F(MethodLayer, SeedAndInitFollowTheEntries) {
  RAND_set_method(&kFake);
  unsigned char seed[4] = {1, 2, 3, 4};
  EXPECT_EQ(RAND_seed(seed, 4), 1);
  EXPECT_EQ(RAND_seed(seed, 0), 0);  // the entry refuses
  int param = 0;
  EXPECT_EQ(RAND_init(nullptr, &param), 1);
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  EXPECT_EQ(g_fake.init_calls, 2);

  RAND_set_method(&kBare);
  EXPECT_EQ(RAND_seed(seed, 4), 1);       // no seed entry: nothing to refuse
  EXPECT_EQ(RAND_init(nullptr, &param), 0);  // no init entry
  EXPECT_EQ(RAND_bytes(seed, 4), 0);      // no bytes entry: 0 and no error
  EXPECT_EQ(ERR_count_errors(), 0);
}

TEST_F(MethodLayer, UnbufferedPassesTheCountThrough) {
  RAND_set_method(&kFake);
  std::vector<unsigned char> buf(3000);
  EXPECT_EQ(RAND_bytes(buf.data(), 3000), 3000);
  EXPECT_EQ(g_fake.bytes_calls, 1);

  g_fake.mode = Fake::kShort;
  EXPECT_EQ(RAND_bytes(buf.data(), 100), 50);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_GENERATOR_FAILED);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_RAND, RAND_F_RAND_BYTES, LIB_RAND));
}

TEST_F(MethodLayer, BufferedRefillsInBlocksAndHandsOutEachByteOnce) {
  RAND_set_buffered_mode(1);
  RAND_set_method(&kFake);
  unsigned char none[1];
  EXPECT_EQ(RAND_bytes(none, 0), 0);
  EXPECT_EQ(g_fake.bytes_calls, 0);

  // What the method delivers, for comparison.
  Fake copy = g_fake;
  std::vector<unsigned char> expect(3 * RAND_BUFFER_BYTES);
  fake_bytes(expect.data(), static_cast<int>(expect.size()));
  g_fake = copy;

  std::vector<unsigned char> out(3000);
  EXPECT_EQ(RAND_bytes(out.data(), 3000), 3000);
  EXPECT_EQ(g_fake.bytes_calls, 2);
  // 2,000 bytes are left from the second block: no refill for them.
  std::vector<unsigned char> more(2000);
  EXPECT_EQ(RAND_bytes(more.data(), 2000), 2000);
  EXPECT_EQ(g_fake.bytes_calls, 2);
  out.insert(out.end(), more.begin(), more.end());
  EXPECT_TRUE(std::equal(out.begin(), out.end(), expect.begin()));
  EXPECT_EQ(RAND_bytes(more.data(), 1), 1);
  EXPECT_EQ(g_fake.bytes_calls, 3);
}

TEST_F(MethodLayer, SelectingAMethodDropsBufferedOutput) {
  RAND_set_buffered_mode(1);
  RAND_set_method(&kFake);
  unsigned char b[10];
  ASSERT_EQ(RAND_bytes(b, 10), 10);
  RAND_set_method(&kFake);  // same method: the buffer is emptied all the same
  ASSERT_EQ(RAND_bytes(b, 10), 10);
  EXPECT_EQ(g_fake.bytes_calls, 2);
}

TEST_F(MethodLayer, TenFailedBlocksInARowEndTheDraw) {
  RAND_set_buffered_mode(1);
  RAND_set_method(&kFake);
  g_fake.mode = Fake::kZeros;
  std::vector<unsigned char> out(100, 0xAA);
  EXPECT_EQ(RAND_bytes(out.data(), 100), 0);
  EXPECT_EQ(g_fake.bytes_calls, RAND_MAX_FAILED_BLOCKS);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_GENERATOR_FAILED);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{ERR_pack(LIB_RAND, RAND_F_RAND_BYTES, LIB_RAND)}));
  // Nothing of the failed blocks reached the caller.
  EXPECT_EQ(out, std::vector<unsigned char>(100, 0xAA));
}

TEST_F(MethodLayer, AFailedRefillReturnsWhatWasDelivered) {
  RAND_set_buffered_mode(1);
  RAND_set_method(&kFake);
  std::vector<unsigned char> out(3000);
  ASSERT_EQ(RAND_bytes(out.data(), 2000), 2000);
  g_fake.mode = Fake::kShort;
  EXPECT_EQ(RAND_bytes(out.data(), 3000), 500);  // the 500 left in the buffer
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_GENERATOR_FAILED);

  g_fake.mode = Fake::kZeros;
  EXPECT_EQ(RAND_bytes(out.data(), 10), 0);
  EXPECT_EQ(g_fake.bytes_calls, 2 + RAND_MAX_FAILED_BLOCKS);
}

TEST_F(MethodLayer, AFewFailedBlocksAreSkipped) {
  // Blocks of zeros fail; the method recovers after nine of them.
  struct Recovering {
    static int bytes(unsigned char* buf, int num) {
      if (++g_fake.bytes_calls <= RAND_MAX_FAILED_BLOCKS - 1) {
        std::memset(buf, 0, static_cast<std::size_t>(num));
        return num;
      }
      g_fake.mode = Fake::kRandom;
      --g_fake.bytes_calls;
      return fake_bytes(buf, num);
    }
  };
  static const jarnel::RAND_METHOD recovering = {nullptr, Recovering::bytes, nullptr, nullptr,
                                                 nullptr};
  RAND_set_buffered_mode(1);
  RAND_set_method(&recovering);
  std::vector<unsigned char> out(64);
  EXPECT_EQ(RAND_bytes(out.data(), 64), 64);
  EXPECT_EQ(g_fake.bytes_calls, RAND_MAX_FAILED_BLOCKS);
  EXPECT_NE(out, std::vector<unsigned char>(64, 0));
}

}  // namespace
