// The eToken driver through the file layer, on the simulated "etsdk.dll". What it shares with
// the ruToken driver is covered there; these are its own rules.
#include <cstring>

#include "crypto/bio/etoken.h"
#include "fixture.h"

namespace tokentest {
namespace {

using namespace jarnel;

const char* const PIN = "1234567890";

class Etoken : public TokenTest {
 protected:
  Etoken() : TokenTest(sim::ETOKEN, "AKS ifdh 0") {}
  void TearDown() override { ET_set_password_callback(nullptr); }
};

TEST_F(Etoken, LoadsTheSimulatedLibrary) { EXPECT_EQ(ET_available(nullptr), 1); }

TEST_F(Etoken, RelativePathsLieInTheApplicationDirectory) {
  ASSERT_EQ(write("eToken:1001\\2002", "key"), 1);
  EXPECT_EQ(contents("1001/2002"), "key");
  for (const char* path : {"eToken:\\3f00\\e007\\1001\\2002", "eToken:/3F00/E007/1001/2002",
                           "AKS ifdh:3f00e0071001\\2002", "ETOKEN 0:1001/2002"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(read(path), "key");
  }
  ASSERT_EQ(write("eToken:\\3f00\\6666\\e007\\1003", "file"), 1);
  EXPECT_EQ(read("eToken:1003"), "file");
  EXPECT_EQ(CADB_is_directory("eToken:"), 1);  // the application directory itself
  drain();
}

TEST_F(Etoken, PathOutsideTheApplicationDirectoryFails) {
  EXPECT_EQ(write("eToken:\\3f00\\1234", "x"), 0);
  auto errs = drain();
  EXPECT_TRUE(has(errs, {70, 134, 32}));
  EXPECT_TRUE(has(errs, {70, 103, 32}));
  EXPECT_FALSE(node("1234"));
  EXPECT_EQ(write("eToken:12345", "x"), 0);  // not whole groups
  EXPECT_TRUE(has(drain(), {70, 134, 32}));
}

TEST_F(Etoken, ReaderSuffixMatchesOnlyTheLastWord) {
  insert("AKS ifdh 1");
  insert("Aladdin Token JC 2");
  struct Case {
    const char* path;
    const char* reader;
  } cases[] = {
      {"AKS ifdh 1:1001", "AKS ifdh 1"},
      {"AKS ifdh 0:1002", "AKS ifdh 0"},
      {"AKS ifdh:1003", "AKS ifdh 0"},
      {"Aladdin Token JC 2:1004", "Aladdin Token JC 2"},
      {"Aladdin Token JC:1005", "Aladdin Token JC 2"},
      {"eToken 2:1006", "Aladdin Token JC 2"},
      {"eToken  1:1007", "AKS ifdh 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_EQ(write(std::string(c.path), "x"), 1);
    std::string id = std::string(std::strchr(c.path, ':') + 1);
    EXPECT_EQ(contents(id, c.reader), "x");
  }
  // "ifdh" is a word of the name but not its last; "Aladdin" readers are not "AKS ifdh" ones.
  for (const char* path : {"AKS ifdh ifdh:1001", "AKS ifdh 2:1001", "eToken 3:1001"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(write(path, "x"), 0);
    EXPECT_TRUE(has(drain(), {70, 134, 126}));
  }
}

TEST_F(Etoken, AnyStatusEndingIn6982TriggersExactlyOneRetry) {
  ASSERT_EQ(write("eToken:1001", "public"), 1);
  std::string pin = PIN;
  for (std::uint32_t code : {0x80106982u, 0xA1B26982u, 0x80006982u}) {
    SCOPED_TRACE(code);
    fail("ETFileRead", 1, code);
    long reads = calls("ETFileRead"), logins = calls("ETTokenLogin");
    EXPECT_EQ(read("eToken:1001", TOKEN_FLAG_PASSWORD, pin.data()), "public");
    EXPECT_EQ(calls("ETFileRead") - reads, 2);
    EXPECT_EQ(calls("ETTokenLogin") - logins, 1);
  }
  // Refused twice: one retry only, then the call fails.
  fail("ETFileRead", 1, 0xA1B26982u);
  fail("ETFileRead", 2, 0xA1B26982u);
  long reads = calls("ETFileRead");
  EXPECT_FALSE(read("eToken:1001", TOKEN_FLAG_PASSWORD, pin.data()));
  EXPECT_EQ(calls("ETFileRead") - reads, 2);
  EXPECT_TRUE(has(drain(), {70, 126, 12}));
  EXPECT_EQ(ERR_get_token_error(), 0xA1B26982u);
  EXPECT_EQ(ERR_get_token_error_source(), 1u);
  // Another status is a plain failure.
  ERR_set_token_error(0, 1);
  fail("ETFileRead", 1, 0x80106983u);
  reads = calls("ETFileRead");
  EXPECT_FALSE(read("eToken:1001", TOKEN_FLAG_PASSWORD, pin.data()));
  EXPECT_EQ(calls("ETFileRead") - reads, 1);
  drain();
}

TEST_F(Etoken, PrivateFilesAndThePinAsEntered) {
  std::string utf8 = "\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C";
  set_pin(utf8, 15);  // the token holds the UTF-8 bytes themselves
  ASSERT_EQ(write("eToken:1001", "secret", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, utf8.data()), 1);
  EXPECT_TRUE(node("1001")->is_private);
  EXPECT_FALSE(read("eToken:1001"));
  auto errs = drain();
  EXPECT_TRUE(has(errs, {70, 121, 128}));
  EXPECT_EQ(ERR_get_token_error(), 0x80106982u);
  std::string wrong = "0000";
  EXPECT_FALSE(read("eToken:1001", TOKEN_FLAG_PASSWORD, wrong.data()));
  EXPECT_EQ(ERR_get_token_error(), 0x801063CEu);  // 14 attempts left
  EXPECT_EQ(ERR_get_status(), 28u);
  EXPECT_EQ(read("eToken:1001", TOKEN_FLAG_PASSWORD, utf8.data()), "secret");
  drain();
}

TEST_F(Etoken, SessionFlagCommands) {
  ASSERT_EQ(write("eToken:1001", "x"), 1);
  BIO* b = BIO_new_token_file("eToken:1001", "rb", 0, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BIO_ctrl(b, BIO_C_GET_SESSION_FLAGS, 0, nullptr), 0);
  EXPECT_EQ(BIO_ctrl(b, BIO_C_SET_SESSION_FLAGS, 2, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b, BIO_C_GET_SESSION_FLAGS, 0, nullptr), 2);
  EXPECT_EQ(BIO_ctrl(b, 149, 0, nullptr), 0);
  EXPECT_EQ(BIO_free(b), 1);
  // Without a session: the call-back settings are taken, the private flag and flags are not.
  BIO* c = BIO_new(BIO_s_etoken());
  EXPECT_EQ(BIO_ctrl(c, BIO_C_SET_PASSWD_CB, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(c, BIO_C_SET_PASSWORD, 0, const_cast<char*>("pin")), 1);
  EXPECT_EQ(BIO_ctrl(c, BIO_C_SET_CB_ARG, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(c, BIO_C_SET_PRIVATE, 1, nullptr), 0);
  EXPECT_EQ(BIO_ctrl(c, BIO_C_GET_SESSION_FLAGS, 0, nullptr), 0);
  BIO_free(c);
}

TEST_F(Etoken, LogoutFlagAndRewrite) {
  std::string pin = PIN;
  ASSERT_EQ(write("eToken:1001", "old", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD, pin.data()), 1);
  long in = calls("ETTokenLogin"), out = calls("ETTokenLogout");
  ASSERT_EQ(write("eToken:1001", "new!", TOKEN_FLAG_PRIVATE | TOKEN_FLAG_PASSWORD | TOKEN_FLAG_LOGOUT,
                  pin.data()),
            1);
  EXPECT_EQ(calls("ETTokenLogin") - in, 4);
  EXPECT_EQ(calls("ETTokenLogout") - out, 4);
  EXPECT_EQ(contents("1001"), "new!");
  EXPECT_EQ(CADB_erase_file("eToken:1001", TOKEN_FLAG_PASSWORD, pin.data()), 1);
  EXPECT_FALSE(node("1001"));
  EXPECT_EQ(CADB_is_inserted("AKS ifdh 0:"), 1);
  EXPECT_EQ(ET_logout(nullptr), 1);
}

}  // namespace
}  // namespace tokentest
