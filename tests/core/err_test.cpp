// The per-thread error queue: packing, the ring, texts, printing, status and vendor words.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "crypto/err/err.h"
#include "crypto/jarnel/jni_util.h"
#include "crypto/startup.h"
#include "platform/thread.h"

using namespace jarnel;

namespace {

std::string drain() {
  std::string text;
  ERR_print_errors_cb(
      [](const char* s, std::size_t n, void* u) {
        static_cast<std::string*>(u)->append(s, n);
        return 1;
      },
      &text);
  return text;
}

class ErrTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { jarnel_process_attach(); }
  void SetUp() override {
    ERR_clear_error();
    ERR_set_token_error(0, 0);
  }
};

TEST_F(ErrTest, PacksLibraryFunctionReason) {
  EXPECT_EQ(ERR_pack(85, 105, 12), 0x5506900CUL);
  EXPECT_EQ(ERR_get_lib(0x5506900CUL), 85);
  EXPECT_EQ(ERR_get_func(0x5506900CUL), 105);
  EXPECT_EQ(ERR_get_reason(0x5506900CUL), 12);
  ERR_put_error(66, 101, 12, "x.c", 7);
  const char* file = nullptr;
  int line = 0;
  EXPECT_EQ(ERR_get_error_line(&file, &line), ERR_pack(66, 101, 12));
  EXPECT_STREQ(file, "x.c");
  EXPECT_EQ(line, 7);
  EXPECT_EQ(ERR_get_error(), 0UL);
}

TEST_F(ErrTest, RingKeepsTheNewestFifteenOldestFirst) {
  for (int i = 1; i <= 20; ++i) ERR_put_error(66, i, 12, "f", i);
  EXPECT_EQ(ERR_count_errors(), ERR_NUM_ERRORS - 1);
  EXPECT_EQ(ERR_peek_last_error(), ERR_pack(66, 20, 12));
  for (int i = 6; i <= 20; ++i) EXPECT_EQ(ERR_get_error(), ERR_pack(66, i, 12)) << i;
  EXPECT_EQ(ERR_get_error(), 0UL);
}

TEST_F(ErrTest, PopToCountTakesBackOnlyTheNewestEntries) {
  ERR_put_error(66, 1, 12, "caller", 1);
  const int before = ERR_count_errors();
  ERR_put_error(66, 2, 12, "step", 2);
  ERR_put_error(66, 3, 12, "step", 3);
  ERR_pop_to_count(before);
  EXPECT_EQ(ERR_count_errors(), before);
  EXPECT_EQ(ERR_peek_last_error(), ERR_pack(66, 1, 12));  // the caller's entry stays
  ERR_pop_to_count(5);  // more than there are: nothing happens
  EXPECT_EQ(ERR_get_error(), ERR_pack(66, 1, 12));
  // Across the ring's wrap-around too.
  for (int i = 1; i <= 20; ++i) ERR_put_error(66, i, 12, "f", i);
  ERR_pop_to_count(3);
  EXPECT_EQ(ERR_count_errors(), 3);
  for (int i = 6; i <= 8; ++i) EXPECT_EQ(ERR_get_error(), ERR_pack(66, i, 12)) << i;
  EXPECT_EQ(ERR_get_error(), 0UL);
}

TEST_F(ErrTest, ErrorStringUsesTextsOrNumberedFallbacks) {
  struct Case {
    unsigned long code;
    const char* text;
  } cases[] = {
      {ERR_pack(85, 105, 12), "error:5506900C::lib(85) :tokenFileRead:internal error"},
      {ERR_pack(66, 999, 33), "error:423E7021:CADB routines:func(999) :memory alloc failure"},
      {ERR_pack(32, 119, 118), "error:20077076:BIO routines:MEM_WRITE:null parameter"},
      {ERR_pack(7, 100, 33), "error:07064021:memory buffer routines:BUF_MEM_grow:memory alloc failure"},
      {ERR_pack(85, 103, 103), "error:55067067::lib(85) :token_passwd_callback:PSE not found or corrupted"},
      {ERR_pack(99, 1, 4000), "error:63001FA0::lib(99) :func(1) :reason(4000)"},
      {ERR_pack(83, 1, 11), "error:5300100B:GNIVC routines:func(1) :self-testing error"},
  };
  for (const auto& c : cases) {
    char buf[256];
    EXPECT_STREQ(ERR_error_string(c.code, buf), c.text);
  }
}

TEST_F(ErrTest, PrinterLinesAreExactAndEmptyTheQueue) {
  ERR_put_error(85, 105, 12, "..\\..\\crypto\\jarnel\\jarnel", 321);
  ERR_put_error(2, 1, 2, "crypto/bio/bss_file.cpp", 40);
  ERR_add_error_data(5, "fopen('", "/no/such", "','", "rb", "')");
  std::string tid = std::to_string(platform::thread_id());
  EXPECT_EQ(drain(),
            tid + ":error:5506900C::lib(85) :tokenFileRead:internal error:..\\..\\crypto\\jarnel\\jarnel:321:\n" +
                tid + ":error:02001002:system library:fopen:No such file or directory:crypto/bio/bss_file.cpp:40:fopen('/no/such','rb')\n");
  EXPECT_EQ(ERR_count_errors(), 0);
  EXPECT_EQ(drain(), "");
}

TEST_F(ErrTest, ReportPrintsVendorStatusOnceThenTheQueue) {
  ERR_set_token_error(0x6A82, TOKEN_ERR_RUTOKEN);
  ERR_put_error(85, 110, 12, "j", 9);
  std::string tid = std::to_string(platform::thread_id());
  testing::internal::CaptureStderr();
  report_token_errors();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "token error: 0x6a82\n" + tid + ":error:5506E00C::lib(85) :tokenFileExists:internal error:j:9:\n");
  EXPECT_EQ(ERR_get_token_error(), 0u);
  EXPECT_EQ(ERR_get_token_error_source(), 0u);
  // A clean call prints nothing at all.
  testing::internal::CaptureStderr();
  report_token_errors();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ErrTest, StatusRules) {
  ERR_set_status_once(24);
  EXPECT_EQ(ERR_get_status(), 24u);
  ERR_set_status_once(2);  // already set: kept
  EXPECT_EQ(ERR_get_status(), 24u);
  ERR_set_status(11);
  EXPECT_EQ(ERR_get_status(), 11u);
  ERR_clear_error();
  EXPECT_EQ(ERR_get_status(), 0u);
  // With errors queued and no status, "once" records the generic 12 instead of its value.
  ERR_put_error(66, 1, 12, "f", 1);
  ERR_set_status_once(2);
  EXPECT_EQ(ERR_get_status(), 12u);
}

TEST_F(ErrTest, TokenErrorOnceKeepsTheFirstCodeAndSurvivesClear) {
  EXPECT_EQ(ERR_set_token_error_once(0x10, TOKEN_ERR_ETOKEN), 0x10u);
  EXPECT_EQ(ERR_set_token_error_once(0x20, TOKEN_ERR_PKCS11), 0x10u);
  EXPECT_EQ(ERR_get_token_error(), 0x10u);
  EXPECT_EQ(ERR_get_token_error_source(), TOKEN_ERR_ETOKEN);
  ERR_clear_error();
  EXPECT_EQ(ERR_get_token_error(), 0x10u);
  ERR_set_token_error(0, TOKEN_ERR_RUTOKEN);  // a driver's operation starting clears the code
  EXPECT_EQ(ERR_get_token_error(), 0u);
  EXPECT_EQ(ERR_set_token_error_once(0x30, TOKEN_ERR_PKCS11), 0x30u);
}

TEST_F(ErrTest, EachThreadHasItsOwnStateFreedWhenItEnds) {
  ERR_put_error(66, 1, 12, "main", 1);
  ERR_set_token_error(0x77, TOKEN_ERR_PKCS11);
  unsigned long other_count = 99, other_token = 99;
  std::thread t([&] {
    other_count = static_cast<unsigned long>(ERR_count_errors());
    other_token = ERR_get_token_error();
    ERR_put_error(66, 2, 12, "thread", 2);
    ERR_set_status(24);
    // Left in the queue on purpose: the state must be freed when the thread ends (ASan would
    // report the leak otherwise).
  });
  t.join();
  EXPECT_EQ(other_count, 0u);
  EXPECT_EQ(other_token, 0u);
  EXPECT_EQ(ERR_count_errors(), 1);
  EXPECT_EQ(ERR_get_token_error(), 0x77u);
  EXPECT_EQ(ERR_get_status(), 0u);
}

TEST_F(ErrTest, RemovedStateStartsFresh) {
  ERR_put_error(66, 1, 12, "f", 1);
  ERR_set_token_error(5, TOKEN_ERR_ETOKEN);
  ERR_remove_state(0);
  EXPECT_EQ(ERR_count_errors(), 0);
  EXPECT_EQ(ERR_get_token_error(), 0u);
}

}  // namespace
