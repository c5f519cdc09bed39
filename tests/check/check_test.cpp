// Self-tests: RAM check, the once-per-second rule, skipping for test objects, failures with
// their error codes and lines, and the known answers confirmed by libgcrypt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <atomic>

#include "crypto/check/check.h"
#include "crypto/r3410/r3410_local.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gosth.h"
#include "crypto/rus/sboxes.h"
#include "peers.h"

using namespace jarnel;
using peers::Bytes;

namespace answers {
#include "crypto/check/check_answers.inc"
}

namespace {

const unsigned char kUserKey[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1};

struct Row {
  const char* name;
  int slot;
  int lib, func, line;
  std::function<int(GOSTE_CTX*)> use;  // one operation that runs the row's test
};

std::vector<Row> rows() {
  return {
      {"ss", 0, LIB_GOSTE, 102, 73,
       [](GOSTE_CTX* c) { return GOSTE_ss_init(c, 1, kUserKey, nullptr); }},
      {"gamma", 1, LIB_GOSTE, 103, 119,
       [](GOSTE_CTX* c) { return GOSTE_gamma_init(c, kUserKey, nullptr, nullptr); }},
      {"gamma_fb", 2, LIB_GOSTE, 104, 165,
       [](GOSTE_CTX* c) { return GOSTE_gamma_fb_init(c, kUserKey, nullptr, nullptr); }},
      {"mac", 3, LIB_GOSTE, 105, 208,
       [](GOSTE_CTX* c) { return GOSTE_mac_init(c, kUserKey, nullptr); }},
      {"hash", 4, LIB_GOSTH, 106, 259,
       [](GOSTE_CTX*) {
         GOSTH_CTX* h = GOSTH_new();
         int ok = GOSTH_init(h, nullptr, nullptr);
         GOSTH_free(h);
         return ok;
       }},
  };
}

// Runs use twice and returns how often the test ran; retries when a second boundary fell between
// the two calls.
unsigned long runs_for_two_uses(const Row& r) {
  unsigned long delta = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    CHECK_reset_times();
    unsigned long before = CHECK_run_count(r.slot);
    for (int i = 0; i < 2; ++i) {
      GOSTE_CTX* c = GOSTE_new();
      EXPECT_TRUE(r.use(c)) << r.name;
      GOSTE_free(c);
    }
    delta = CHECK_run_count(r.slot) - before;
    if (delta == 1) break;
  }
  return delta;
}

}  // namespace

TEST(CheckRam, ZeroLengthAndPatternsLeaveZeros) {
  EXPECT_EQ(CHECK_ram(nullptr, 0), 1);
  unsigned char area[108];
  std::memset(area, 0x5C, sizeof(area));
  EXPECT_EQ(CHECK_ram(area, 0), 1);
  EXPECT_EQ(area[0], 0x5C);
  EXPECT_EQ(CHECK_ram(area, 108), 1);
  for (unsigned char b : area) EXPECT_EQ(b, 0);
  // Unaligned starts and short lengths: the bytes around the area stay untouched.
  for (int off = 0; off < 8; ++off) {
    for (long len : {1L, 7L, 8L, 9L, 23L}) {
      std::memset(area, 0x5C, sizeof(area));
      EXPECT_EQ(CHECK_ram(area + 1 + off, len), 1);
      EXPECT_EQ(area[off], 0x5C);
      EXPECT_EQ(area[1 + off + len], 0x5C);
      for (long i = 0; i < len; ++i) EXPECT_EQ(area[1 + off + i], 0);
    }
  }
}

TEST(CheckConditional, RunsOncePerSecondAndAgainWhenDue) {
  for (const Row& r : rows()) {
    EXPECT_EQ(runs_for_two_uses(r), 1u) << r.name;
    // Once the time has passed (simulated by forgetting the last run) it runs again.
    unsigned long before = CHECK_run_count(r.slot);
    CHECK_reset_times();
    GOSTE_CTX* c = GOSTE_new();
    EXPECT_TRUE(r.use(c));
    GOSTE_free(c);
    EXPECT_EQ(CHECK_run_count(r.slot), before + 1) << r.name;
  }
}

TEST(CheckConditional, ClockSetBackDoesNotSuspendTheTests) {
  for (const Row& r : rows()) {
    CHECK_set_last_run(r.slot, static_cast<std::int64_t>(std::time(nullptr)) + 3600);
    unsigned long before = CHECK_run_count(r.slot);
    GOSTE_CTX* c = GOSTE_new();
    EXPECT_TRUE(r.use(c));
    GOSTE_free(c);
    EXPECT_EQ(CHECK_run_count(r.slot), before + 1) << r.name;
  }
}

TEST(CheckConditional, TestObjectsAndContextsAskingNotToBeTestedAreSkipped) {
  CHECK_reset_times();
  GOSTE_CTX* c = GOSTE_new();
  c->selftest_marker = GOSTE_SS_MARKER;
  unsigned long before = CHECK_run_count(0);
  EXPECT_TRUE(GOSTE_ss_check(c));
  EXPECT_EQ(CHECK_run_count(0), before);
  c->selftest_marker = 0;
  c->key.flags |= MASK_FLAG_MASKED;  // flag bit 2: not tested
  EXPECT_TRUE(GOSTE_ss_check(c));
  EXPECT_EQ(CHECK_run_count(0), before);
  GOSTE_free(c);
  GOSTH_CTX* h = GOSTH_new();
  h->selftest_marker = GOSTH_MARKER;
  before = CHECK_run_count(4);
  EXPECT_TRUE(GOSTH_check(h));
  EXPECT_EQ(CHECK_run_count(4), before);
  GOSTH_free(h);
}

TEST(CheckConditional, CorruptedTableFailsEveryTestWithItsErrorAndLine) {
  ASSERT_TRUE(GOSTE_tables_check());  // the reference digest is taken
  gost89::SharedTable* rec = gost89::shared_record(gost89::kCryptoProBIndex);
  gost89::shared_table(gost89::kCryptoProBIndex);
  for (const Row& r : rows()) {
    rec->table.t[2][17] ^= 0x00010000u;
    CHECK_reset_times();
    ERR_clear_error();
    GOSTE_CTX* c = GOSTE_new();
    EXPECT_EQ(r.use(c), 0) << r.name;
    GOSTE_free(c);
    EXPECT_EQ(ERR_get_status(), 12u) << r.name;
    EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_GOSTE, GOSTE_F_TABLES_CHECK, R_INTERNAL_ERROR));
    const char* file = nullptr;
    int line = 0;
    EXPECT_EQ(ERR_get_error_line(&file, &line), ERR_pack(r.lib, r.func, R_SELF_TEST_ERROR)) << r.name;
    EXPECT_EQ(line, r.line) << r.name;
    rec->table.t[2][17] ^= 0x00010000u;
    ERR_clear_error();
    CHECK_reset_times();
    c = GOSTE_new();
    EXPECT_EQ(r.use(c), 1) << r.name;
    GOSTE_free(c);
  }
}

TEST(CheckPowerOn, PassesAndReportsACorruptTableAtLine762) {
  EXPECT_EQ(CHECK_power_on(), 1);
  gost89::SharedTable* rec = gost89::shared_record(gost89::kDefaultCipherIndex);
  gost89::shared_table(gost89::kDefaultCipherIndex);
  rec->table.t[0][0] ^= 1;
  ERR_clear_error();
  EXPECT_EQ(CHECK_power_on(), 0);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_GOSTE, GOSTE_F_TABLES_CHECK, R_INTERNAL_ERROR));
  const char* file = nullptr;
  int line = 0;
  EXPECT_EQ(ERR_get_error_line(&file, &line), ERR_pack(LIB_GOSTE, 104, R_INTERNAL_ERROR));
  EXPECT_EQ(line, 762);
  rec->table.t[0][0] ^= 1;
  EXPECT_EQ(CHECK_power_on(), 1);
  ERR_clear_error();
}

// The power-on test starts with the GOST R 34.10-94 parameter tables: a corrupted one stops it
// there with the same summary entry at line 762.
TEST(CheckPowerOn, CorruptParameterTableFailsTheFirstStep) {
  ASSERT_EQ(CHECK_power_on(), 1);
  unsigned char& byte = r3410::rfc_table()[6].p[100];
  byte ^= 0x04;
  ERR_clear_error();
  EXPECT_EQ(CHECK_power_on(), 0);
  byte ^= 0x04;
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_GOSTE, 115, R_INTERNAL_ERROR));  // the parameter check
  const char* file = nullptr;
  int line = 0;
  EXPECT_EQ(ERR_get_error_line(&file, &line), ERR_pack(LIB_GOSTE, 104, R_INTERNAL_ERROR));
  EXPECT_EQ(line, 762);
  EXPECT_EQ(ERR_get_error(), 0UL);
  EXPECT_EQ(CHECK_power_on(), 1);
}

// The stored answers agree with libgcrypt where libgcrypt has the mode.
TEST(CheckAnswers, ConfirmedByLibgcrypt) {
  const char* test_sbox = "1.2.643.2.2.30.0";
  Bytes key(answers::kKey, answers::kKey + 32), iv(answers::kIv, answers::kIv + 8);
  EXPECT_EQ(peers::gc_cipher(peers::GcMode::ECB, false, test_sbox, key, {},
                             Bytes(answers::kBlock, answers::kBlock + 8), true),
            Bytes(answers::kAnswerSs, answers::kAnswerSs + 8));
  EXPECT_EQ(peers::gc_cipher(peers::GcMode::CFB, false, test_sbox, key, iv,
                             Bytes(answers::kMsg13, answers::kMsg13 + 13), true),
            Bytes(answers::kAnswerGammaFb, answers::kAnswerGammaFb + 13));
  EXPECT_EQ(peers::gc_mac(test_sbox, key, {}, Bytes(answers::kMsg21, answers::kMsg21 + 21)),
            Bytes(answers::kAnswerMac, answers::kAnswerMac + 4));
  Bytes h = peers::gc_hash(false, Bytes(answers::kMsg35, answers::kMsg35 + 35));
  std::reverse(h.begin(), h.end());
  EXPECT_EQ(h, Bytes(answers::kAnswerHash, answers::kAnswerHash + 32));
}

// Counter mode: libgcrypt has none; check the first gamma block against ECB of the counter.
TEST(CheckAnswers, GammaEqualsEcbOfTheCounters) {
  const char* test_sbox = "1.2.643.2.2.30.0";
  Bytes key(answers::kKey, answers::kKey + 32);
  Bytes s = peers::gc_cipher(peers::GcMode::ECB, false, test_sbox, key, {},
                             Bytes(answers::kIv, answers::kIv + 8), true);
  auto word = [](const Bytes& b, int o) {
    return static_cast<std::uint32_t>(b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) |
                                      (static_cast<std::uint32_t>(b[o + 3]) << 24));
  };
  std::uint32_t n3 = word(s, 0), n4 = word(s, 4);
  Bytes ctr;
  for (int i = 0; i < 2; ++i) {
    n3 += 0x01010101u;
    if (n4 > 0xFEFEFEFBu) ++n4;
    n4 += 0x01010104u;
    for (int b = 0; b < 4; ++b) ctr.push_back(static_cast<unsigned char>(n3 >> (8 * b)));
    for (int b = 0; b < 4; ++b) ctr.push_back(static_cast<unsigned char>(n4 >> (8 * b)));
  }
  Bytes gamma = peers::gc_cipher(peers::GcMode::ECB, false, test_sbox, key, {}, ctr, true);
  for (int i = 0; i < 13; ++i)
    EXPECT_EQ(answers::kAnswerGamma[i], answers::kMsg13[i] ^ gamma[static_cast<std::size_t>(i)]) << i;
}

// Several threads use the algorithms at once with the numbered locks in place: the self-tests,
// the shared tables and the integrity digest stay consistent.
TEST(CheckConcurrency, ThreadsRunTestsAndOperationsTogether) {
  ASSERT_EQ(CRYPTO_create_lock_table(), 1);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 200; ++i) {
        if (i % 50 == 0) CHECK_reset_times();
        unsigned char d[32], mac[4];
        std::string m(static_cast<std::size_t>(i + t + 1), 'z');  // never empty
        if (!GOSTH_digest(m.data(), static_cast<int>(m.size()), d)) ++failures;
        if (!GOSTE_mac(nullptr, reinterpret_cast<const unsigned char*>(m.data()),
                       static_cast<int>(m.size()), kUserKey, GOSTE_sbox_by_number(32 + (i + t) % 4), mac))
          ++failures;
        if (!GOSTE_tables_check()) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  CRYPTO_destroy_lock_table();
  ERR_clear_error();
}

TEST(CheckStrings, FunctionTextsOfTheThreeLibraries) {
  ERR_load_ERR_strings();
  ERR_load_GOSTE_strings();
  ERR_load_GOSTH_strings();
  ERR_load_GOSTS_strings();
  struct Case {
    int lib, func;
    const char* text;
  } cases[] = {{LIB_GOSTE, 102, "GOSTE_ss_check"}, {LIB_GOSTE, 115, "GOSTE_tables_check"},
               {LIB_GOSTE, 101, "GOSTH_new"},       {LIB_GOSTH, 106, "GOSTH_check"},
               {LIB_GOSTH, 112, "GOSTH_final"}};
  for (const auto& c : cases) {
    const char* t = ERR_func_error_string(ERR_pack(c.lib, c.func, 0));
    ASSERT_NE(t, nullptr) << c.text;
    EXPECT_STREQ(t, c.text);
  }
  char buf[256];
  ERR_error_string_n(ERR_pack(LIB_GOSTE, 102, R_SELF_TEST_ERROR), buf, sizeof(buf));
  EXPECT_NE(std::string(buf).find("GOSTE routines:GOSTE_ss_check:self-testing error"), std::string::npos)
      << buf;
  ERR_error_string_n(ERR_pack(LIB_GOSTS, GOSTS_F_R3410_CHECK, R_SELF_TEST_ERROR), buf, sizeof(buf));
  EXPECT_STREQ(buf, "error:4E08A00B:GOSTS routines:func(138) :self-testing error");
}
