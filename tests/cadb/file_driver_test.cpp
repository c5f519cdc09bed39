// The "FILE pointer" driver: opening by name, the control commands, reads and writes.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "crypto/bio/token.h"
#include "fixture.h"

using namespace jarnel;
using namespace cadbtest;

namespace {

class FileDriverTest : public TempDirTest {};

TEST_F(FileDriverTest, MissingFileRecordsTheSystemErrorAndTheOpenArguments) {
  std::string path = at("missing.key");
  EXPECT_EQ(BIO_new_token_file(path.c_str(), "rb", 0, nullptr), nullptr);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ((std::vector<int>{errors[0].lib, errors[0].func, errors[0].reason}),
            (std::vector<int>{LIB_SYS, 1, ENOENT}));
  EXPECT_EQ(errors[0].data, "fopen('" + path + "','rb')");
  EXPECT_EQ((std::vector<int>{errors[1].lib, errors[1].func, errors[1].reason}),
            (std::vector<int>{LIB_BIO, BIO_F_FILE_CTRL, 2}));
}

TEST_F(FileDriverTest, LengthIsTheSizeRightAfterOpening) {
  write_bytes(dir_ / "k", std::string(1000, 'x'));
  std::string path = at("k");
  BIO* b = BIO_new_token_file(path.c_str(), "r+b", 0, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(BIO_method_name(b), "FILE pointer");
  EXPECT_EQ(b->length, 1000);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_PENDING, 0, nullptr), 1000);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_WPENDING, 0, nullptr), 1000);
  EXPECT_EQ(BIO_free(b), 1);

  b = BIO_new_token_file(path.c_str(), "wb", 0, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->length, 0);  // "wb" empties the file at once
  BIO_free(b);
  EXPECT_EQ(fs::file_size(dir_ / "k"), 0u);
  EXPECT_TRUE(drain().empty());
}

TEST_F(FileDriverTest, BytesAreStoredWithoutLineEndTranslation) {
  const std::string bytes("a\r\nb\nc\r\0d\x1a", 10);
  std::string path = at("crlf");
  BIO* b = BIO_new_token_file(path.c_str(), "wb", 0, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BIO_write(b, bytes.data(), static_cast<int>(bytes.size())), 10);
  BIO_free(b);
  EXPECT_EQ(read_bytes(dir_ / "crlf"), bytes);

  b = BIO_new_token_file(path.c_str(), "rb", 0, nullptr);
  ASSERT_NE(b, nullptr);
  char line[16];
  EXPECT_EQ(BIO_gets(b, line, sizeof line), 3);
  EXPECT_STREQ(line, "a\r\n");
  EXPECT_EQ(BIO_ctrl(b, BIO_C_FILE_TELL, 0, nullptr), 3);
  EXPECT_EQ(BIO_gets(b, line, 2), 1);  // size - 1 characters at most
  EXPECT_STREQ(line, "b");
  EXPECT_EQ(BIO_ctrl(b, BIO_C_FILE_SEEK, 8, nullptr), 0);
  char rest[8] = {};
  EXPECT_EQ(BIO_read(b, rest, 8), 2);
  EXPECT_EQ(std::string(rest, 2), std::string("d\x1a"));
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_EOF, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_RESET, 0, nullptr), 0);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_INFO, 0, nullptr), 0);
  EXPECT_EQ(BIO_gets(b, line, sizeof line), 3);
  BIO_free(b);
}

TEST_F(FileDriverTest, EmptyOrNullPathFailsWithoutCreatingAnything) {
  for (const char* path : {"", static_cast<const char*>(nullptr)}) {
    BIO* b = BIO_new(BIO_s_token_file());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(BIO_ctrl(b, BIO_C_SET_FILENAME, BIO_CLOSE | BIO_FP_WRITE, const_cast<char*>(path)), 0);
    EXPECT_EQ(b->init, 0);
    BIO_free(b);
    auto errors = drain();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].lib, LIB_SYS);
    EXPECT_EQ(errors[0].data, "fopen('','wb')");
  }
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(FileDriverTest, ModeBitsChooseTheRunTimeMode) {
  std::string path = at("m");
  write_bytes(path, "abc");
  struct Case {
    long number;
    bool opens;
    std::string content_after;
  } cases[] = {
      {BIO_FP_READ, true, "abc"},
      {BIO_FP_READ | BIO_FP_WRITE, true, "Zbc"},  // "r+": in place from the start
      {BIO_FP_APPEND, true, "ZbcZ"},
      {BIO_FP_WRITE, true, "Z"},
      {BIO_CLOSE, false, "Z"},  // neither read nor write: bad mode
  };
  for (const auto& c : cases) {
    BIO* b = BIO_new(BIO_s_token_file());
    long ok = BIO_ctrl(b, BIO_C_SET_FILENAME, BIO_CLOSE | c.number, const_cast<char*>(path.c_str()));
    EXPECT_EQ(ok, c.opens ? 1 : 0) << c.number;
    if (ok && (c.number & (BIO_FP_WRITE | BIO_FP_APPEND))) BIO_write(b, "Z", 1);
    BIO_free(b);
    EXPECT_EQ(read_bytes(path), c.content_after) << c.number;
    auto errors = drain();
    if (!c.opens) {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(codes(errors)[0], (std::vector<int>{LIB_BIO, BIO_F_FILE_CTRL, BIO_R_BAD_FOPEN_MODE, errors[0].line}));
    } else {
      EXPECT_TRUE(errors.empty());
    }
  }
}

TEST_F(FileDriverTest, UnknownModeStringTouchesNothing) {
  std::string path = at("never");
  for (const char* mode : {"a", "", "rw", "wbx"})
    EXPECT_EQ(BIO_new_token_file(path.c_str(), mode, 0, nullptr), nullptr) << mode;
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(drain().empty());
}

TEST_F(FileDriverTest, DirectoryCannotBeOpenedAsAFile) {
  fs::create_directory(dir_ / "sub");
  EXPECT_EQ(BIO_new_token_file(at("sub").c_str(), "rb", 0, nullptr), nullptr);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].reason, EISDIR);
}

TEST_F(FileDriverTest, AttachedFileStaysOpenWithoutCloseOnFree) {
  std::string path = at("attached");
  std::FILE* fp = std::fopen(path.c_str(), "w+b");
  ASSERT_NE(fp, nullptr);
  BIO* b = BIO_new(BIO_s_token_file());
  EXPECT_EQ(BIO_ctrl(b, BIO_C_SET_FILE_PTR, BIO_NOCLOSE, fp), 1);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_GET_CLOSE, 0, nullptr), 0);
  std::FILE* got = nullptr;
  EXPECT_EQ(BIO_ctrl(b, BIO_C_GET_FILE_PTR, 0, &got), 1);
  EXPECT_EQ(got, fp);
  EXPECT_EQ(BIO_puts(b, "hello"), 5);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_FLUSH, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_PENDING, 0, nullptr), 5);
  EXPECT_EQ(BIO_free(b), 1);
  // Still ours to use and close.
  EXPECT_EQ(std::fputs(" world", fp), 1);
  EXPECT_EQ(std::fclose(fp), 0);
  EXPECT_EQ(read_bytes(path), "hello world");
}

TEST_F(FileDriverTest, CommandsOutsideTheRangeAnswerZero) {
  BIO* b = BIO_new(BIO_s_token_file());
  for (int cmd : {0, 134, 143, 200, -1}) EXPECT_EQ(BIO_ctrl(b, cmd, 1, nullptr), 0) << cmd;
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_DUP, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_PENDING, 0, nullptr), 1);  // no file attached
  EXPECT_EQ(BIO_read(b, nullptr, 0), -2);                    // not open: refused by the core
  BIO_free(b);
  drain();
}

TEST_F(FileDriverTest, FlushReportsDataThatCouldNotBeStored) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  BIO* b = BIO_new_token_file("/dev/full", "wb", 0, nullptr);
  ASSERT_NE(b, nullptr);
  // The driver's streams are unbuffered, so the device refuses the bytes at the write itself.
  EXPECT_EQ(BIO_write(b, "abc", 3), 0);
  BIO_free(b);
  // A stream attached by its owner may buffer: then the flush is where the loss shows.
  std::FILE* fp = std::fopen("/dev/full", "wb");
  ASSERT_NE(fp, nullptr);
  BIO* a = BIO_new(BIO_s_token_file());
  ASSERT_NE(a, nullptr);
  BIO_ctrl(a, BIO_C_SET_FILE_PTR, BIO_CLOSE, fp);
  EXPECT_EQ(BIO_write(a, "abc", 3), 3);  // buffered by the C library
  EXPECT_EQ(BIO_ctrl(a, BIO_CTRL_FLUSH, 0, nullptr), 0);
  BIO_free(a);
}

}  // namespace
