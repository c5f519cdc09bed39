// The GOST generator: seeding, its keystream batches, the snapshot and PRF, keyboard seeding,
// and its output under the statistical test and from many threads.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crypto/rus/gost89.h"
#include "rand_fixture.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

namespace {

class Grand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { randtest::start_library(); }
  void SetUp() override { randtest::reset_generator(0); }
  void TearDown() override { randtest::reset_generator(0); }

  static void seed_generator() {
    RAND_set_method(GRAND_get_method());
    Bytes seed(32, 0x5A);
    ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
  }
};

TEST_F(Grand, SeedingOverwritesTheSeedWithTheFirstOutput) {
  RAND_set_method(GRAND_get_method());
  Bytes seed(32, 0x11), before = seed;
  ASSERT_EQ(RAND_seed(seed.data(), 32), 1);
  EXPECT_TRUE(GRAND_is_initialised());
  EXPECT_NE(seed, before);
  // Those bytes are not handed out again.
  Bytes next(32);
  ASSERT_EQ(RAND_bytes(next.data(), 32), 32);
  EXPECT_NE(next, seed);

  // Keyed: a later seed is ignored and left as it is.
  Bytes again(32, 0x22);
  EXPECT_EQ(RAND_seed(again.data(), 32), 1);
  EXPECT_EQ(again, Bytes(32, 0x22));
}

TEST_F(Grand, StartReplacesAnyMethodAndKeysAfresh) {
  seed_generator();
  Bytes seed(16, 0x77);
  ASSERT_EQ(GRAND_start(seed.data(), 16), 1);
  EXPECT_EQ(seed, Bytes(16, 0x77));  // the caller's seed is left alone
  EXPECT_EQ(RAND_get_method(), GRAND_get_method());
  EXPECT_TRUE(GRAND_is_initialised());
  EXPECT_EQ(GRAND_start(seed.data(), 0), 0);
  EXPECT_EQ(RAND_get_method(), nullptr);
  EXPECT_FALSE(GRAND_is_initialised());
}

// Runs body in a child made by fork() and gives back the bytes it wrote to its pipe.
Bytes in_child(const std::function<Bytes()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    Bytes out = body();
    ssize_t ignored = ::write(fds[1], out.data(), out.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  Bytes got;
  unsigned char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return got;
}

TEST_F(Grand, AChildMadeByForkDoesNotDrawTheParentsBytes) {
  for (int buffered : {0, 1}) {
    SCOPED_TRACE(buffered);
    randtest::reset_generator(buffered);
    seed_generator();
    Bytes first(16);
    ASSERT_EQ(RAND_bytes(first.data(), 16), 16);  // a batch is under way in both processes
    // The child: its draw is refused, nothing of the generator is left, and once it seeds its
    // own generator it draws again.
    Bytes child = in_child([] {
      Bytes out(32, 0xEE);
      int got = RAND_bytes(out.data(), 32);
      Bytes report = {static_cast<unsigned char>(got),
                      static_cast<unsigned char>(ERR_peek_error() ==
                                                 ERR_pack(LIB_RAND, RAND_F_RAND_BYTES, RAND_R_METHOD_NOT_SET)),
                      static_cast<unsigned char>(RAND_get_method() == nullptr),
                      static_cast<unsigned char>(GRAND_is_initialised())};
      ERR_clear_error();
      Bytes seed(32, 0x33);
      Bytes again(32);
      report.push_back(static_cast<unsigned char>(GRAND_start(seed.data(), 32)));
      report.push_back(static_cast<unsigned char>(RAND_bytes(again.data(), 32)));
      report.insert(report.end(), out.begin(), out.end());
      return report;
    });
    ASSERT_EQ(child.size(), 6u + 32u);
    EXPECT_EQ(child[0], 0);  // refused
    EXPECT_EQ(child[1], 1);  // with the error recorded
    EXPECT_EQ(child[2], 1);  // no method left selected
    EXPECT_EQ(child[3], 0);  // the inherited state wiped
    EXPECT_EQ(child[4], 1);  // a fresh seed brings it back
    EXPECT_EQ(child[5], 32);
    // The parent goes on as before; the child handed out none of the parent's next bytes.
    Bytes next(32);
    ASSERT_EQ(RAND_bytes(next.data(), 32), 32);
    EXPECT_NE(Bytes(child.begin() + 6, child.end()), next);
    EXPECT_EQ(RAND_get_method(), GRAND_get_method());
    EXPECT_TRUE(GRAND_is_initialised());
  }
}

TEST_F(Grand, EmptyOrMissingSeedIsRefused) {
  RAND_set_method(GRAND_get_method());
  unsigned char b[4] = {};
  EXPECT_EQ(RAND_seed(b, 0), 0);
  EXPECT_EQ(RAND_seed(nullptr, 32), 0);
  EXPECT_FALSE(GRAND_is_initialised());
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{ERR_pack(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_SEED, LIB_RAND),
                                        ERR_pack(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_SEED, LIB_RAND)}));
  // An unkeyed generator produces nothing.
  EXPECT_EQ(RAND_bytes(b, 4), 0);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_GENERATOR_FAILED);
}

TEST_F(Grand, CleanupUnkeysTheGenerator) {
  seed_generator();
  EXPECT_EQ(RAND_cleanup(), 1);
  EXPECT_FALSE(GRAND_is_initialised());
  RAND_set_method(GRAND_get_method());
  unsigned char b[8];
  EXPECT_EQ(RAND_bytes(b, 8), 0);
  // A fresh seed keys it again.
  Bytes seed(32, 0x33);
  EXPECT_EQ(RAND_seed(seed.data(), 32), 1);
  EXPECT_EQ(RAND_bytes(b, 8), 8);
}

TEST_F(Grand, BatchesAreGammaKeystreamAfterTheFirstBlock) {
  // Keyed directly, with nothing in the batch buffer: the output is the gamma keystream of the
  // key and synchronisation value, except the first 8 bytes, whose gamma block the moment
  // replaced. Later batches follow on without a break.
  Bytes key(32), sync(8);
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
  for (int i = 0; i < 8; ++i) sync[i] = static_cast<unsigned char>(0xF0 + i);
  ASSERT_EQ(GRAND_rand_init(key.data(), sync.data(), GOSTE_default_sbox()), 1);
  const int n = 3 * GRAND_BATCH_BYTES;
  Bytes out(n);
  // In pieces that straddle the batch boundaries.
  for (int done = 0, piece = 1000; done < n; done += piece)
    ASSERT_EQ(GRAND_rand_bytes(out.data() + done, std::min(piece, n - done)),
              std::min(piece, n - done));

  GOSTE_CTX* ctx = GOSTE_new();
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(GOSTE_gamma_init(ctx, key.data(), sync.data(), GOSTE_default_sbox()), 1);
  Bytes ref(n, 0);
  ASSERT_EQ(GOSTE_gamma_update(ctx, ref.data(), nullptr, n), n);
  GOSTE_free(ctx);
  EXPECT_NE(Bytes(out.begin(), out.begin() + 8), Bytes(ref.begin(), ref.begin() + 8));
  EXPECT_TRUE(std::equal(out.begin() + 8, out.end(), ref.begin() + 8));
  GRAND_rand_cleanup();
}

TEST_F(Grand, SnapshotRecordLayout) {
  unsigned char a[GRAND_SNAPSHOT_BYTES], b[GRAND_SNAPSHOT_BYTES];
  GRAND_snapshot(a, 0xA1B2C3D4);
  GRAND_snapshot(b, 7);
  auto le = [](const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
  };
  EXPECT_EQ(le(b + 28, 4), le(a + 28, 4) + 1);  // snapshot counter
  EXPECT_EQ(le(a + 32, 4), 0xA1B2C3D4U);        // caller's value
  EXPECT_EQ(le(b + 32, 4), 7U);
  EXPECT_EQ(le(a + 22, 2), 0U);
  EXPECT_EQ(le(a + 36, 4), 0U);
  EXPECT_LT(le(a + 16, 2), 1000U);  // milliseconds
  std::uint64_t secs = le(a, 8), ext = le(a + 8, 8);
  EXPECT_GT(secs, 1600000000U);
  EXPECT_LE(ext >= secs ? ext - secs : secs - ext, 1U);
  EXPECT_LE(le(b + 24, 4) - le(a + 24, 4), 1000U);  // process milliseconds do not run back
}

TEST_F(Grand, PrfGivesAnyLengthAndChangesWithTheMoment) {
  const unsigned char in[] = {1, 2, 3, 4, 5};
  Bytes a(40), b(40);
  ASSERT_EQ(GRAND_prf(40, a.data(), in, sizeof in), 1);
  ASSERT_EQ(GRAND_prf(40, b.data(), in, sizeof in), 1);
  EXPECT_NE(a, b);
  EXPECT_NE(Bytes(a.begin() + 32, a.end()), Bytes(8, 0));
  // No input at all is allowed: the moment alone.
  EXPECT_EQ(GRAND_prf(8, a.data(), nullptr, 0), 1);
  EXPECT_EQ(ERR_count_errors(), 0);
}

// Pauses asked for by keyboard seeding.
std::vector<unsigned> g_pauses;

TEST_F(Grand, KeyboardSeedingCountsNetCorrectKeystrokes) {
  g_pauses.clear();
  GRAND_set_sleep_function([](unsigned ms) { g_pauses.push_back(ms); });
  randtest::Keyboard kb{"wwcwcwwc"};
  unsigned char acc[32] = {};
  ASSERT_EQ(GRAND_keyboard_seed(acc, 32, 16, &randtest::Keyboard::callback, &kb), 1);

  // w w: stays at 0; c: 1; w: back to 0; c: 1; w w: 0 (never below); c: 1; then 15 more.
  std::vector<int> numbers;
  for (const auto& p : kb.prompts) numbers.push_back(p.number);
  std::vector<int> want = {1, 1, 1, 2, 1, 2, 1, 1};
  for (int n = 2; n <= 16; ++n) want.push_back(n);
  EXPECT_EQ(numbers, want);

  const std::string alphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  for (std::size_t i = 0; i < kb.prompts.size(); ++i) {
    EXPECT_EQ(kb.prompts[i].total, 16);
    EXPECT_NE(alphabet.find(static_cast<char>(kb.prompts[i].ch)), std::string::npos);
    if (i > 0) {
      EXPECT_NE(kb.prompts[i].ch, kb.prompts[i - 1].ch);
    }
  }
  EXPECT_EQ(g_pauses.size(), kb.prompts.size());
  for (unsigned ms : g_pauses) EXPECT_LT(ms, 500U);
  EXPECT_NE(Bytes(acc, acc + 32), Bytes(32, 0));
}

TEST_F(Grand, WrongKeystrokesAddNothing) {
  randtest::Keyboard kb{"wwwwa"};
  unsigned char acc[32] = {};
  EXPECT_EQ(GRAND_keyboard_seed(acc, 32, 16, &randtest::Keyboard::callback, &kb), 0);
  EXPECT_EQ(Bytes(acc, acc + 32), Bytes(32, 0));
  EXPECT_EQ(kb.prompts.size(), 5U);
  // Giving up sets status 22 and queues nothing.
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_USER_ABORT);
  EXPECT_EQ(ERR_count_errors(), 0);
}

TEST_F(Grand, KeyboardSeedingArguments) {
  randtest::Keyboard kb;
  unsigned char acc[32] = {};
  EXPECT_EQ(GRAND_keyboard_seed(acc, 32, 0, &randtest::Keyboard::callback, &kb), 1);
  EXPECT_TRUE(kb.prompts.empty());
  EXPECT_EQ(GRAND_keyboard_seed(acc, 32, 16, nullptr, &kb), 0);
  EXPECT_EQ(GRAND_keyboard_seed(nullptr, 32, 16, &randtest::Keyboard::callback, &kb), 0);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{ERR_pack(LIB_PSE, RAND_F_GRAND_RAND_INIT, LIB_RAND),
                                        ERR_pack(LIB_PSE, RAND_F_GRAND_RAND_INIT, LIB_RAND)}));
}

TEST_F(Grand, RandInitSeedsFromTheKeyboard) {
  RAND_set_method(GRAND_get_method());
  randtest::Keyboard kb;
  RAND_KEY_CB_PAIR pair{&randtest::Keyboard::callback, &kb};
  Bytes out(32, 0);
  ASSERT_EQ(RAND_init(out.data(), &pair), 1);
  EXPECT_EQ(kb.prompts.size(), 16U);
  EXPECT_TRUE(GRAND_is_initialised());
  EXPECT_NE(out, Bytes(32, 0));
  Bytes next(32);
  ASSERT_EQ(RAND_bytes(next.data(), 32), 32);
  EXPECT_NE(next, out);
  // Keyed already: no more keystrokes; the output buffer still gets fresh bytes.
  Bytes more(32, 0);
  EXPECT_EQ(RAND_init(more.data(), &pair), 1);
  EXPECT_EQ(kb.prompts.size(), 16U);
  EXPECT_NE(more, Bytes(32, 0));
}

TEST_F(Grand, RandInitFailures) {
  RAND_set_method(GRAND_get_method());
  // No call-back.
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{
                ERR_pack(LIB_PSE, RAND_F_GRAND_RAND_INIT, LIB_RAND),
                ERR_pack(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, R_INTERNAL_ERROR),
                ERR_pack(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, LIB_RAND)}));
  // The user gives up.
  randtest::Keyboard kb{"cca"};
  RAND_KEY_CB_PAIR pair{&randtest::Keyboard::callback, &kb};
  EXPECT_EQ(RAND_init(nullptr, &pair), 0);
  EXPECT_EQ(ERR_get_status(), RAND_STATUS_USER_ABORT);
  EXPECT_EQ(randtest::drain_errors(),
            (randtest::Codes{
                ERR_pack(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, R_INTERNAL_ERROR),
                ERR_pack(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, LIB_RAND)}));
  EXPECT_FALSE(GRAND_is_initialised());
}

TEST_F(Grand, OutputPassesTheStatisticalTestBlockAfterBlock) {
  seed_generator();
  // A good generator fails a block now and then (about once in 1,300 blocks); allow a few.
  const int blocks = 200;
  int failed = 0;
  Bytes block(RAND_BUFFER_BYTES);
  for (int i = 0; i < blocks; ++i) {
    ASSERT_EQ(RAND_bytes(block.data(), RAND_BUFFER_BYTES), RAND_BUFFER_BYTES);
    failed += !RAND_statistical_test(block.data(), 0);
  }
  EXPECT_LE(failed, 3);

  // Buffered mode on the same generator.
  RAND_set_buffered_mode(1);
  Bytes big(100000);
  EXPECT_EQ(RAND_bytes(big.data(), static_cast<int>(big.size())), 100000);
}

TEST_F(Grand, ManyThreadsGetCorrectDistinctOutput) {
  seed_generator();
  for (int buffered : {0, 1}) {
    RAND_set_buffered_mode(buffered);
    const int threads = 8, draws = 100, size = 48;
    std::vector<std::vector<Bytes>> got(threads);
    std::vector<int> short_draws(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        for (int i = 0; i < draws; ++i) {
          Bytes b(size);
          if (RAND_bytes(b.data(), size) != size) ++short_draws[t];
          got[t].push_back(std::move(b));
        }
      });
    for (auto& th : pool) th.join();
    std::set<Bytes> distinct;
    for (int t = 0; t < threads; ++t) {
      EXPECT_EQ(short_draws[t], 0);
      distinct.insert(got[t].begin(), got[t].end());
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(threads * draws)) << buffered;
  }
}

}  // namespace
