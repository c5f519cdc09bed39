// Start-up, numbered locks, mutex functions, memory functions and byte reversal.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "crypto/bio/bio.h"
#include "crypto/bio/buf_mem.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/startup.h"

using namespace jarnel;

namespace {

class CoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { jarnel_process_attach(); }
  void SetUp() override { ERR_clear_error(); }
};

TEST_F(CoreTest, StartupIsCountedAndLeavesLocksInstalled) {
  EXPECT_TRUE(CRYPTO_library_started());
  int before = CADB_startup_count();
  EXPECT_EQ(CADB_startup(), 1);
  EXPECT_EQ(CADB_startup_count(), before + 1);
  CADB_shutdown();
  EXPECT_EQ(CADB_startup_count(), before);
  EXPECT_TRUE(CRYPTO_library_started());
  EXPECT_NE(CRYPTO_get_locking_callback(), nullptr);
  // The error texts are loaded once the library has started.
  EXPECT_STREQ(ERR_lib_error_string(ERR_pack(LIB_CADB, 0, 0)), "CADB routines");
  EXPECT_STREQ(ERR_func_error_string(ERR_pack(LIB_JNI, 108, 0)), "tokenFileDerete");
}

TEST_F(CoreTest, NumberedLockIsReenterableByItsOwner) {
  CRYPTO_lock(CRYPTO_LOCK | CRYPTO_WRITE, locks::PSE, __FILE__, __LINE__);
  CRYPTO_lock(CRYPTO_LOCK | CRYPTO_WRITE, locks::PSE, __FILE__, __LINE__);  // does not block
  std::atomic<bool> other_got_it{false};
  std::thread t([&] {
    LockGuard g(locks::PSE);
    other_got_it = true;
  });
  CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, locks::PSE, __FILE__, __LINE__);
  // Still held once by this thread: the other thread cannot have entered.
  EXPECT_FALSE(other_got_it.load());
  CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, locks::PSE, __FILE__, __LINE__);
  t.join();
  EXPECT_TRUE(other_got_it.load());
}

TEST_F(CoreTest, NumberedLockExcludesOtherThreads) {
  long counter = 0;  // deliberately not atomic: the lock must make the increments exclusive
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        LockGuard g(locks::MASK);
        long v = counter;
        counter = v + 1;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST_F(CoreTest, OutOfRangeLockNumbersAreIgnored) {
  CRYPTO_lock(CRYPTO_LOCK, -1, __FILE__, __LINE__);
  CRYPTO_lock(CRYPTO_LOCK, CRYPTO_NUM_LOCKS, __FILE__, __LINE__);
  SUCCEED();
}

TEST_F(CoreTest, MutexFunctions) {
  MUTEX m = nullptr;
  ASSERT_EQ(CRYPTO_create_mutex(&m), 1);
  EXPECT_EQ(CRYPTO_lock_mutex(m), 1);
  EXPECT_EQ(CRYPTO_lock_mutex(m), 1);
  EXPECT_EQ(CRYPTO_unlock_mutex(m), 1);
  EXPECT_EQ(CRYPTO_unlock_mutex(m), 1);
  EXPECT_EQ(CRYPTO_destroy_mutex(m), 1);
  EXPECT_EQ(CRYPTO_create_mutex(nullptr), 0);
  EXPECT_EQ(CRYPTO_lock_mutex(nullptr), 0);
  EXPECT_EQ(CRYPTO_unlock_mutex(nullptr), 0);
  EXPECT_EQ(CRYPTO_destroy_mutex(nullptr), 0);
}

TEST(BufReverse, ReversesInPlace) {
  struct {
    std::vector<unsigned char> in, out;
  } cases[] = {{{}, {}}, {{7}, {7}}, {{1, 2}, {2, 1}}, {{1, 2, 3}, {3, 2, 1}}, {{1, 2, 3, 4}, {4, 3, 2, 1}}};
  for (auto& c : cases) {
    EXPECT_EQ(BUF_reverse(c.in.data(), c.in.size()), c.in.data());
    EXPECT_EQ(c.in, c.out);
  }
  EXPECT_EQ(BUF_reverse(nullptr, 5), nullptr);
}

// Allocation failure injected through the memory functions: the Nth allocation from now fails.
std::atomic<int> g_fail_countdown{-1};
void* failing_malloc(std::size_t n) {
  if (g_fail_countdown.load() >= 0 && g_fail_countdown-- == 0) return nullptr;
  return std::malloc(n);
}

class FailingAllocation : public ::testing::Test {
 protected:
  void SetUp() override {
    CRYPTO_get_mem_functions(&m_, &r_, &f_);
    ASSERT_EQ(CRYPTO_set_mem_functions(&failing_malloc, &std::realloc, &std::free), 1);
    ERR_get_state();  // the error state itself must not be the allocation that fails
    ERR_clear_error();
  }
  void TearDown() override {
    g_fail_countdown = -1;
    CRYPTO_set_mem_functions(m_, r_, f_);
  }
  MallocFn m_;
  ReallocFn r_;
  FreeFn f_;
};

TEST_F(FailingAllocation, SetterIgnoresIncompleteSets) {
  EXPECT_EQ(CRYPTO_set_mem_functions(nullptr, &std::realloc, &std::free), 0);
  EXPECT_EQ(CRYPTO_set_mem_functions(&std::malloc, nullptr, &std::free), 0);
  EXPECT_EQ(CRYPTO_set_mem_functions(&std::malloc, &std::realloc, nullptr), 0);
  MallocFn m;
  CRYPTO_get_mem_functions(&m, nullptr, nullptr);
  EXPECT_EQ(m, &failing_malloc);
}

TEST_F(FailingAllocation, BioCreationFailsCleanlyAtEveryStep) {
  for (int n = 0; n < 2; ++n) {
    g_fail_countdown = n;  // 0: the BIO record, 1: its BUF_MEM
    EXPECT_EQ(BIO_new(BIO_s_mem()), nullptr) << n;
    g_fail_countdown = -1;
  }
  EXPECT_EQ(ERR_get_error(), ERR_pack(32, 108, 33));
}

TEST_F(FailingAllocation, WriteFailsWhenTheBufferCannotGrowAndKeepsItsContents) {
  BIO* b = BIO_new(BIO_s_mem());
  ASSERT_EQ(BIO_write(b, "abc", 3), 3);
  ERR_clear_error();
  std::vector<char> big(64, 'x');
  g_fail_countdown = 0;
  EXPECT_EQ(BIO_write(b, big.data(), static_cast<int>(big.size())), -1);
  EXPECT_EQ(ERR_get_error(), ERR_pack(7, 100, 33));
  char out[8];
  EXPECT_EQ(BIO_read(b, out, 8), 3);
  EXPECT_EQ(std::string(out, 3), "abc");
  BIO_free(b);
}

TEST_F(FailingAllocation, ErrorStateThatCannotBeMadeMakesErrorCallsNoOps) {
  std::thread t([] {
    g_fail_countdown = 0;
    ERR_put_error(66, 1, 12, "f", 1);  // dropped: no state could be made for it
    g_fail_countdown = 0;
    EXPECT_EQ(ERR_get_token_error(), 0u);  // so a key-store call would report 5
    g_fail_countdown = -1;
    EXPECT_EQ(ERR_count_errors(), 0);
  });
  t.join();
}

TEST(SecureBufferTest, ZeroFilledAndMovable) {
  SecureBuffer a(8);
  ASSERT_EQ(a.size(), 8u);
  for (auto c : a.span()) EXPECT_EQ(c, 0);
  a.data()[0] = 42;
  SecureBuffer b(std::move(a));
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(b.data()[0], 42);
  b.reset();
  EXPECT_TRUE(b.empty());
}

}  // namespace
