// The ruToken driver through the file layer, on the simulated "rtapilt.dll".
#include <cstring>

#include "crypto/bio/rutoken.h"
#include "crypto/cadb/token_dir.h"
#include "fixture.h"
#include "tests/support/whole_file_race.h"

namespace tokentest {
namespace {

using namespace jarnel;

constexpr std::uint32_t AUTH_REQUIRED = 0x81116982;
constexpr std::uint32_t WRONG_PIN_9 = 0x811163C9;
constexpr std::uint32_t PIN_LOCKED = 0x81116983;
constexpr std::uint32_t REMOVED = 0x80100069;
const char* const PIN = "12345678";

// A call-back that hands over the zero-terminated string it is given as context.
int pin_from_arg(char* buf, int size, int, void* u) {
  int n = static_cast<int>(std::strlen(static_cast<const char*>(u)));
  if (n > size) return 0;
  std::memcpy(buf, u, static_cast<std::size_t>(n));
  return n;
}
int too_long(char*, int, int, void*) { return 300; }

class Rutoken : public TokenTest {
 protected:
  Rutoken() : TokenTest(sim::RUTOKEN, "Aktiv Co. ruToken 0") {}
  void TearDown() override { RT_set_password_callback(nullptr); }
};

TEST_F(Rutoken, LoadsTheSimulatedLibrary) { EXPECT_EQ(RT_available(nullptr), 1); }

TEST_F(Rutoken, PathFormsNameTheSameFile) {
  ASSERT_EQ(write("ruToken:1001\\2002", "key bytes"), 1);
  EXPECT_EQ(contents("1001/2002"), "key bytes");
  EXPECT_TRUE(node("1001")->directory);
  for (const char* path : {"ruToken:\\0000f001\\1001\\2002", "ruToken:/0000F001/1001/2002",
                           "Aktiv Co. ruToken:1001/2002", "RUTOKEN 0:10012002"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(read(path), "key bytes");
    EXPECT_EQ(CADB_is_file(path), 1);
    EXPECT_EQ(CADB_file_length(path, 0, nullptr), 9);
  }
  EXPECT_EQ(CADB_is_directory("ruToken:1001"), 1);
  EXPECT_EQ(CADB_is_directory("ruToken:"), 1);  // the root
  EXPECT_EQ(CADB_file_exists("ruToken:1001\\2003"), 0);
}

TEST_F(Rutoken, IdentifierPathMustBeWholeHexGroups) {
  for (const char* path : {"ruToken:10012", "ruToken:1001\\200", "ruToken:10g1"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(write(path, "x"), 0);
    auto errs = drain();
    EXPECT_TRUE(has(errs, {32, 134, 32}));
    EXPECT_TRUE(has(errs, {32, 103, 32}));
    EXPECT_FALSE(read(path));
  }
  // Nothing was made on the way.
  EXPECT_FALSE(node("1001"));
  EXPECT_FALSE(node("10g1"));
}

TEST_F(Rutoken, WritingMakesMissingDirectoriesReadingNever) {
  EXPECT_FALSE(read("ruToken:3001\\4001\\5001"));
  EXPECT_TRUE(has(drain(), {32, 132, 12}));  // the directory open failed
  EXPECT_FALSE(node("3001"));
  EXPECT_EQ(CADB_file_exists("ruToken:3001\\4001\\5001"), 0);
  EXPECT_FALSE(node("3001"));

  ASSERT_EQ(write("ruToken:3001\\4001\\5001", "deep"), 1);
  EXPECT_TRUE(drain().empty());
  EXPECT_TRUE(node("3001")->directory);
  EXPECT_TRUE(node("3001/4001")->directory);
  EXPECT_EQ(contents("3001/4001/5001"), "deep");
}

TEST_F(Rutoken, RewriteZeroFillsAndDeletesTheOldFileThenCreatesTheNewLength) {
  ASSERT_EQ(write("ruToken:1001", "0123456789"), 1);
  long writes = calls("rtlWriteFile");
  // A delete that fails shows what the rewrite did to the old file before it: all zeros.
  fail("rtlDeleteFile", 1, 0x81116A82);
  EXPECT_EQ(write("ruToken:1001", "abc"), 0);
  EXPECT_TRUE(has(drain(), {32, 135, 32}));
  EXPECT_EQ(contents("1001"), std::string(10, '\0'));
  EXPECT_EQ(calls("rtlWriteFile"), writes + 1);  // the zeros only

  ASSERT_EQ(write("ruToken:1001", "abc"), 1);
  EXPECT_EQ(contents("1001"), "abc");  // exactly the new length
  EXPECT_EQ(calls("rtlDeleteFile"), 2);
  EXPECT_EQ(calls("rtlCreateFile"), 2);
}

TEST_F(Rutoken, AuthenticationRequiredWithoutPasswordOrCallbackFails) {
  ASSERT_EQ(write("ruToken:1001", "private", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD,
                  const_cast<char*>(PIN)),
            1);
  EXPECT_TRUE(node("1001")->is_private);
  ERR_clear_error();
  EXPECT_FALSE(read("ruToken:1001"));
  auto errs = drain();
  EXPECT_TRUE(has(errs, {32, 121, 128}));  // login failed
  EXPECT_TRUE(has(errs, {32, 126, 128}));  // the read it was for
  EXPECT_EQ(ERR_get_token_error(), AUTH_REQUIRED);
  EXPECT_EQ(ERR_get_token_error_source(), 2u);
  // A call-back without a context to give it is not asked.
  RT_set_password_callback(pin_from_arg);
  EXPECT_FALSE(read("ruToken:1001"));
  EXPECT_TRUE(has(drain(), {32, 121, 128}));
  EXPECT_EQ(retries(), 10);
}

TEST_F(Rutoken, CallbackSuppliesThePin) {
  ASSERT_EQ(write("ruToken:1001", "private", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD,
                  const_cast<char*>(PIN)),
            1);
  RT_set_password_callback(pin_from_arg);
  EXPECT_EQ(read("ruToken:1001", TOKEN_FLAG_CALLBACK, const_cast<char*>(PIN)), "private");
  EXPECT_EQ(ERR_get_token_error(), 0u);
}

TEST_F(Rutoken, CallbackResultAbove256Fails) {
  ASSERT_EQ(write("ruToken:1001", "p", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD,
                  const_cast<char*>(PIN)),
            1);
  RT_set_password_callback(too_long);
  EXPECT_FALSE(read("ruToken:1001", TOKEN_FLAG_CALLBACK, const_cast<char*>("ctx")));
  auto errs = drain();
  EXPECT_TRUE(has(errs, {32, 121, 129}));
  EXPECT_EQ(calls("rtlLoginToken_A"), 1);  // only the write's
}

TEST_F(Rutoken, LogoutAfterEveryOperationWithFlag1) {
  std::string pin = PIN;
  struct Case {
    std::uint32_t flags;
    long logins, logouts;
  } cases[] = {
      // Rewriting a private file: zero-fill, delete, create and write each need the login.
      {TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD | TOKEN_FLAG_LOGOUT, 4, 4},
      // Without flag 1 the first login lasts until the object is released.
      {TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, 1, 0},
  };
  for (const auto& c : cases) {
    SetUp();
    ASSERT_EQ(write("ruToken:1001", "old", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, pin.data()), 1);
    long in = calls("rtlLoginToken_A"), out = calls("rtlLogoutToken");
    ASSERT_EQ(write("ruToken:1001", "new", c.flags, pin.data()), 1);
    EXPECT_EQ(calls("rtlLoginToken_A") - in, c.logins) << c.flags;
    EXPECT_EQ(calls("rtlLogoutToken") - out, c.logouts) << c.flags;
    EXPECT_EQ(contents("1001"), "new");
  }
}

TEST_F(Rutoken, PasswordGoesToTheTokenInTheAnsiCodePage) {
  set_pin("\xEF\xE0\xF0\xEE\xEB\xFC", 10);  // "пароль" in Windows-1251
  std::string utf8 = "\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C";
  EXPECT_EQ(write("ruToken:1001", "x", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, utf8.data()), 1);
  EXPECT_EQ(retries(), 10);
  // A character the code page lacks never reaches the token.
  std::string han = "\xE6\xBC\xA2";
  EXPECT_EQ(write("ruToken:1002", "x", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, han.data()), 0);
  EXPECT_TRUE(has(drain(), {32, 121, 12}));
  EXPECT_EQ(retries(), 10);
}

TEST_F(Rutoken, WrongPinIsATokenErrorAndKeepsTheFile) {
  std::string pin = PIN, wrong = "00000000";
  ASSERT_EQ(write("ruToken:1001", "secret", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, pin.data()), 1);
  ERR_clear_error();
  EXPECT_EQ(write("ruToken:1001", "other", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, wrong.data()), 0);
  EXPECT_TRUE(has(drain(), {32, 121, 128}));
  EXPECT_EQ(ERR_get_token_error(), WRONG_PIN_9);
  EXPECT_EQ(ERR_get_status(), 28u);
  EXPECT_EQ(retries(), 9);
  // The zero-fill was refused before anything changed.
  EXPECT_EQ(contents("1001"), "secret");
  // One attempt per refused call: the session does not offer the wrong PIN again.
  EXPECT_EQ(calls("rtlLoginToken_A"), 2);
}

TEST_F(Rutoken, LockedPinRefusesEvenTheRightOne) {
  std::string pin = PIN, wrong = "0";
  ASSERT_EQ(write("ruToken:1001", "secret", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, pin.data()), 1);
  set_pin(PIN, 1);
  EXPECT_FALSE(read("ruToken:1001", TOKEN_FLAG_PASSWORD, wrong.data()));
  EXPECT_EQ(retries(), 0);
  ERR_set_token_error(0, 2);
  drain();
  EXPECT_FALSE(read("ruToken:1001", TOKEN_FLAG_PASSWORD, pin.data()));
  EXPECT_TRUE(has(drain(), {32, 121, 128}));
  EXPECT_EQ(ERR_get_token_error(), PIN_LOCKED);
  EXPECT_EQ(contents("1001"), "secret");
}

TEST_F(Rutoken, TokenRemovedBetweenOpenAndFlushKeepsTheOldFile) {
  ASSERT_EQ(write("ruToken:1001", "old"), 1);
  BIO* b = BIO_new_token_file("ruToken:1001", "wb", 0, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(BIO_write(b, "new", 3), 3);
  remove(reader_);
  EXPECT_EQ(BIO_free(b), 0);
  auto errs = drain();
  EXPECT_TRUE(has(errs, {32, 124, 12}));  // the create
  EXPECT_TRUE(has(errs, {32, 135, 32}));
  EXPECT_EQ(ERR_get_token_error(), REMOVED);
  insert(reader_);
  EXPECT_EQ(contents("1001"), "old");
}

TEST_F(Rutoken, FailingWrites) {
  ASSERT_EQ(write("ruToken:1001", "old"), 1);
  // The zero-fill fails: the old file stays whole.
  fail("rtlWriteFile", 1, 0x81116581);
  EXPECT_EQ(write("ruToken:1001", "newer"), 0);
  EXPECT_TRUE(has(drain(), {32, 125, 12}));
  EXPECT_EQ(ERR_get_token_error(), 0x81116581u);
  EXPECT_EQ(contents("1001"), "old");
  // The new contents fail: the old file is gone and the new one holds zeros.
  ERR_set_token_error(0, 2);
  fail("rtlWriteFile", 2, 0x81116581);
  EXPECT_EQ(write("ruToken:1001", "newer"), 0);
  EXPECT_EQ(contents("1001"), std::string(5, '\0'));
}

TEST_F(Rutoken, ContentsBeyond16BitSizesAreRefusedAndTheOldFileKept) {
  ASSERT_EQ(write("ruToken:1001", "old"), 1);
  EXPECT_EQ(write("ruToken:1001", std::string(65535, 'a')), 1);
  EXPECT_EQ(node("1001")->data.size(), 65535u);
  EXPECT_EQ(write("ruToken:1001", std::string(65536, 'b')), 0);
  drain();
  EXPECT_EQ(contents("1001"), std::string(65535, 'a'));
}

TEST_F(Rutoken, ReaderSelection) {
  insert("Aktiv Co. ruToken 1");
  ASSERT_EQ(write("ruToken 1:1001", "one"), 1);
  EXPECT_EQ(contents("1001", "Aktiv Co. ruToken 1"), "one");
  EXPECT_FALSE(node("1001"));
  EXPECT_EQ(read("Aktiv Co. ruToken   1:1001"), "one");  // leading spaces skipped
  // Without a suffix the first reader holding a token is taken.
  ASSERT_EQ(write("ruToken:1002", "any"), 1);
  EXPECT_EQ(contents("1002"), "any");
  remove(reader_);
  ASSERT_EQ(write("ruToken:1003", "next"), 1);
  EXPECT_EQ(contents("1003", "Aktiv Co. ruToken 1"), "next");
  drain();
  // No such reader, or no token in it.
  EXPECT_EQ(write("ruToken 2:1001", "x"), 0);
  EXPECT_TRUE(has(drain(), {32, 134, 126}));
  EXPECT_EQ(write("ruToken 0:1001", "x"), 0);
  EXPECT_TRUE(has(drain(), {32, 134, 126}));
  // A reader whose token does not bind.
  fail("rtlBindToken_A", 1, 0x8010000B);
  EXPECT_EQ(write("ruToken 1:1001", "x"), 0);
  auto errs = drain();
  EXPECT_TRUE(has(errs, {84, 122, 32}));
  EXPECT_TRUE(has(errs, {32, 134, 127}));
  EXPECT_EQ(ERR_get_token_error(), 0x8010000Bu);
}

TEST_F(Rutoken, PresenceAndLogout) {
  EXPECT_EQ(CADB_is_inserted("ruToken:"), 1);
  EXPECT_EQ(CADB_is_inserted("ruToken 0:1001"), 1);
  EXPECT_EQ(CADB_is_inserted("ruToken 7:"), 0);
  EXPECT_EQ(RT_is_inserted(nullptr), 1);
  EXPECT_EQ(RT_logout(nullptr), 1);
  EXPECT_EQ(calls("rtlLogoutToken"), 1);
  remove(reader_);
  EXPECT_EQ(CADB_is_inserted("ruToken:"), 0);
  EXPECT_EQ(RT_logout("ruToken:"), 0);
  drain();
}

int collect(const char* path, void* arg) {
  static_cast<std::vector<std::string>*>(arg)->push_back(path);
  return 1;
}

TEST_F(Rutoken, ListingDirectoriesAndErasure) {
  ASSERT_EQ(write("ruToken:1001\\2002", "a"), 1);
  ASSERT_EQ(write("ruToken:1001\\2001", "bb"), 1);
  ASSERT_EQ(write("ruToken:1001\\3000\\0005", "c"), 1);
  TOKEN_DIR_LIST* list = TOKEN_DIR_LIST_new();
  ASSERT_EQ(RT_list("ruToken:1001", list), 1);
  ASSERT_EQ(list->count, 3);
  EXPECT_STREQ(list->items[0].name, "3000");  // subdirectories first
  EXPECT_EQ(list->items[0].is_directory, 1);
  EXPECT_STREQ(list->items[1].name, "2001");
  EXPECT_EQ(list->items[1].size, 2u);
  EXPECT_EQ(list->items[2].id, 0x2002u);
  TOKEN_DIR_LIST_free(list);
  TOKEN_DIR_LIST* none = TOKEN_DIR_LIST_new();
  EXPECT_EQ(RT_list("ruToken:1001\\2002", none), 0);  // a file is no directory
  EXPECT_EQ(none->count, 0);
  TOKEN_DIR_LIST_free(none);

  std::vector<std::string> seen;
  EXPECT_EQ(CADB_list_directory("ruToken:1001", 1, collect, &seen), 1);
  EXPECT_EQ(seen.size(), 3u);

  EXPECT_EQ(CADB_erase_file("ruToken:1001\\2001", 0, nullptr), 1);
  EXPECT_FALSE(node("1001/2001"));
  EXPECT_EQ(CADB_token_mkdir("ruToken:4000", 0, nullptr), 1);
  EXPECT_TRUE(node("4000")->directory);
  EXPECT_FALSE(node("4000/0001"));  // the placeholder went again
  EXPECT_EQ(CADB_token_rmdir("ruToken:4000", 0, nullptr), 1);
  EXPECT_FALSE(node("4000"));
  // A directory that still holds files stays.
  EXPECT_EQ(CADB_token_rmdir("ruToken:1001\\3000", 0, nullptr), 0);
  EXPECT_TRUE(node("1001/3000/0005"));
  drain();
}

TEST_F(Rutoken, BioSlotsAndCommands) {
  ASSERT_EQ(write("ruToken:1001", "line one\r\nline two\n"), 1);
  BIO* b = BIO_new_token_file("ruToken:1001", "rb", 0, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->length, 19);
  char line[64];
  EXPECT_EQ(BIO_gets(b, line, sizeof line), 9);
  EXPECT_STREQ(line, "line one\n");
  EXPECT_EQ(BIO_write(b, "x", 1), -1);  // opened for reading only
  EXPECT_EQ(BIO_ctrl(b, BIO_C_SET_PRIVATE, 1, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b, BIO_C_SET_SESSION_FLAGS, 2, nullptr), 0);  // eToken's commands
  EXPECT_EQ(BIO_ctrl(b, 999, 0, nullptr), 0);
  EXPECT_EQ(BIO_free(b), 1);
  EXPECT_EQ(BIO_new_token_file("ruToken:1001", "a", 0, nullptr), nullptr);
  BIO* c = BIO_new(BIO_s_rutoken());
  EXPECT_EQ(BIO_ctrl(c, BIO_C_SET_FILENAME, BIO_CLOSE, const_cast<char*>("ruToken:1001")), 0);
  EXPECT_TRUE(has(drain(), {32, 103, 101}));
  BIO_free(c);
}

// Threads of one process rewriting and reading one token file: a commit (zero-fill, delete,
// create, write) and a read each happen whole, so no write fails at the create and no read
// finds the file missing or holding another length's bytes.
TEST_F(Rutoken, ConcurrentRewritesAndReadsOfOneFileStayWhole) {
  const std::string path = "ruToken:1001\\2002";
  ASSERT_EQ(write(path, racetest::record_of(0)), 1);
  racetest::RaceResult r = racetest::whole_file_race(
      3, 3, 15, [&](const std::string& data) { return write(path, data) == 1; },
      [&] { return read(path); });
  EXPECT_EQ(r.failed_writes, 0);
  EXPECT_EQ(r.failed_reads, 0);
  EXPECT_TRUE(r.bad_reads.empty()) << r.bad_reads.front().size() << " bytes";
  EXPECT_TRUE(racetest::is_record(contents("1001/2002").value_or("")));
}

}  // namespace
}  // namespace tokentest
