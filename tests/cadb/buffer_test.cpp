// BUFFER: filling, joining, growing, wiping, and the failures when memory is short.
#include <cstdlib>
#include <cstring>

#include "crypto/cadb/buffer.h"
#include "crypto/mem.h"
#include "fixture.h"

using namespace jarnel;
using namespace cadbtest;

namespace {

// An allocator that keeps each block's size in front of it, so that a free can check what the
// block held, and that refuses blocks of one chosen size.
struct Tracker {
  static inline std::size_t refuse_size = 0;
  static inline std::size_t watch_size = 0;
  static inline int watched_frees = 0;
  static inline int watched_nonzero = 0;

  static void* alloc(std::size_t n) {
    if (n == refuse_size) return nullptr;
    auto* p = static_cast<std::size_t*>(std::malloc(n + sizeof(std::size_t) * 2));
    if (!p) return nullptr;
    p[0] = n;
    return p + 2;
  }
  static void* realloc(void* q, std::size_t n) {
    if (!q) return alloc(n);
    if (n == refuse_size) return nullptr;
    auto* p = static_cast<std::size_t*>(q) - 2;
    p = static_cast<std::size_t*>(std::realloc(p, n + sizeof(std::size_t) * 2));
    if (!p) return nullptr;
    p[0] = n;
    return p + 2;
  }
  static void free(void* q) {
    if (!q) return;
    auto* p = static_cast<std::size_t*>(q) - 2;
    if (p[0] == watch_size) {
      ++watched_frees;
      const auto* bytes = static_cast<const unsigned char*>(q);
      for (std::size_t i = 0; i < p[0]; ++i)
        if (bytes[i]) {
          ++watched_nonzero;
          break;
        }
    }
    std::free(p);
  }
};

class BufferTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    CRYPTO_get_mem_functions(&m_, &r_, &f_);
  }
  void TearDown() override {
    CRYPTO_set_mem_functions(m_, r_, f_);
    Tracker::refuse_size = Tracker::watch_size = 0;
    TempDirTest::TearDown();
  }
  void track() { CRYPTO_set_mem_functions(Tracker::alloc, Tracker::realloc, Tracker::free); }
  MallocFn m_;
  ReallocFn r_;
  FreeFn f_;
};

std::string contents(const BUFFER* b) {
  return b && b->data ? std::string(reinterpret_cast<const char*>(b->data), static_cast<std::size_t>(b->length)) : std::string();
}

TEST_F(BufferTest, NewIsEmpty) {
  BUFFER* b = BUFFER_new();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->data, nullptr);
  EXPECT_EQ(b->length, 0);
  BUFFER_free(b);
  BUFFER_free(nullptr);
}

TEST_F(BufferTest, FillCopiesOrZeroesAndAlwaysEndsWithAZeroByte) {
  struct Case {
    const char* data;
    int length;
    std::string expected;
  } cases[] = {
      {"abcdef", 3, "abc"},
      {"abc", -1, "abc"},  // negative: up to the zero byte
      {nullptr, 4, std::string(4, '\0')},
      {nullptr, 0, ""},
      {"", -1, ""},
  };
  for (const auto& c : cases) {
    BUFFER* b = BUFFER_fill(c.data, c.length);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(b->data, nullptr);  // even when empty: the terminating zero
    EXPECT_EQ(contents(b), c.expected);
    EXPECT_EQ(b->data[b->length], 0);
    BUFFER_free(b);
  }
  EXPECT_TRUE(drain().empty());
}

TEST_F(BufferTest, FillWithNegativeLengthAndNoDataFails) {
  EXPECT_EQ(BUFFER_fill(nullptr, -1), nullptr);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(codes(errors)[0], (std::vector<int>{LIB_BUF, BUF_F_BUFFER_FILL, LIB_CADB, errors[0].line}));
}

TEST_F(BufferTest, CatJoinsAndConsumesBoth) {
  BUFFER* r = BUFFER_cat(BUFFER_fill("ab", 2), BUFFER_fill("cde", 3));
  EXPECT_EQ(contents(r), "abcde");
  EXPECT_EQ(r->data[5], 0);
  BUFFER* s = BUFFER_cat(nullptr, r);
  EXPECT_EQ(s, r);
  EXPECT_EQ(BUFFER_cat(s, nullptr), s);
  EXPECT_EQ(BUFFER_cat(nullptr, nullptr), nullptr);
  BUFFER_free(s);
}

TEST_F(BufferTest, AppendGrowsInPlace) {
  BUFFER* b = BUFFER_new();
  EXPECT_EQ(BUFFER_append(b, "key", -1), 3);
  EXPECT_EQ(BUFFER_append(b, ".bin", 4), 4);
  EXPECT_EQ(BUFFER_append(b, nullptr, 2), 2);
  EXPECT_EQ(contents(b), std::string("key.bin\0\0", 9));
  EXPECT_EQ(b->data[b->length], 0);
  BUFFER_clear(b);
  EXPECT_EQ(b->data, nullptr);
  EXPECT_EQ(b->length, 0);
  BUFFER_free(b);
  EXPECT_TRUE(drain().empty());
}

TEST_F(BufferTest, AppendingNothingIsReported) {
  BUFFER* b = BUFFER_fill("x", 1);
  EXPECT_EQ(BUFFER_append(b, "", -1), 0);
  EXPECT_EQ(BUFFER_append(nullptr, "abc", 3), 0);
  EXPECT_EQ(contents(b), "x");
  EXPECT_EQ(ERR_get_status(), 2u);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].lib, LIB_BUF);
  EXPECT_EQ(errors[0].reason, LIB_CADB);
  BUFFER_free(b);
}

TEST_F(BufferTest, ShortMemoryFailsCleanly) {
  track();
  Tracker::refuse_size = 1001;  // the data of a 1000-byte buffer
  EXPECT_EQ(BUFFER_fill(nullptr, 1000), nullptr);
  EXPECT_EQ(ERR_get_status(), 11u);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].reason, R_MALLOC_FAILURE);
  EXPECT_EQ(errors[1].reason, LIB_CADB);

  BUFFER* a = BUFFER_fill(nullptr, 600);
  BUFFER* b = BUFFER_fill(nullptr, 400);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(BUFFER_cat(a, b), nullptr);  // a and b are consumed all the same
  errors = drain();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(codes(errors)[0][1], BUF_F_BUFFER_CAT);

  BUFFER* c = BUFFER_fill(nullptr, 999);
  EXPECT_EQ(BUFFER_append(c, "x", 1), 0);
  EXPECT_EQ(c->length, 999);  // unchanged
  BUFFER_free(c);
  drain();
}

TEST_F(BufferTest, ReleasedBytesAreWiped) {
  track();
  Tracker::watch_size = 778;  // 777 bytes and the terminating zero
  Tracker::watched_frees = Tracker::watched_nonzero = 0;
  std::string secret(777, 'S');
  BUFFER_free(BUFFER_fill(secret.data(), 777));
  BUFFER* b = BUFFER_fill(secret.data(), 777);
  BUFFER_clear(b);
  BUFFER_free(b);
  BUFFER* grown = BUFFER_fill(secret.data(), 777);
  BUFFER_append(grown, "more", 4);  // the old 778-byte block goes
  BUFFER_free(grown);
  EXPECT_EQ(Tracker::watched_frees, 3);
  EXPECT_EQ(Tracker::watched_nonzero, 0);
}

}  // namespace
