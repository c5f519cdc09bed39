// The memory driver, its buffer and the BIO core functions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/bio/bio.h"
#include "crypto/bio/buf_mem.h"
#include "crypto/bio/token.h"
#include "crypto/err/err.h"

using namespace jarnel;

namespace {

struct BioDeleter {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

BioPtr mem_bio(const std::string& contents = "") {
  BioPtr b(BIO_new(BIO_s_mem()));
  if (!contents.empty()) BIO_write(b.get(), contents.data(), static_cast<int>(contents.size()));
  return b;
}

BUF_MEM* buf_of(BIO* b) {
  BUF_MEM* bm = nullptr;
  BIO_ctrl(b, BIO_C_GET_BUF_MEM_PTR, 0, &bm);
  return bm;
}

bool retry_read(BIO* b) {
  return bio_test_flags(b, BIO_FLAGS_SHOULD_RETRY) && bio_test_flags(b, BIO_FLAGS_READ);
}

class BioTest : public ::testing::Test {
 protected:
  void SetUp() override { ERR_clear_error(); }
};

TEST_F(BioTest, NewBioHasUnknownLengthAndMemMethodFields) {
  BioPtr b = mem_bio();
  EXPECT_EQ(b->length, -1);
  EXPECT_EQ(b->method->type, 0x401);
  EXPECT_STREQ(b->method->name, "memory buffer");
  EXPECT_EQ(b->init, 1);
  EXPECT_EQ(b->shutdown, 1);
  EXPECT_EQ(b->num, -1);
  EXPECT_EQ(b->references, 1);
}

TEST_F(BioTest, ReadConsumesFromTheFrontAndWipes) {
  BioPtr b = mem_bio();
  const char in[] = {1, 2, 3};
  ASSERT_EQ(BIO_write(b.get(), in, 3), 3);
  char out[8] = {};
  ASSERT_EQ(BIO_read(b.get(), out, 2), 2);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 2);
  BUF_MEM* bm = buf_of(b.get());
  EXPECT_EQ(bm->length, 1);
  EXPECT_EQ(bm->data, bm->base + 2);
  EXPECT_EQ(bm->base[0], 0);  // consumed bytes are wiped
  EXPECT_EQ(bm->base[1], 0);
  ASSERT_EQ(BIO_read(b.get(), out, 5), 1);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(bm->data, bm->base);  // emptied: back to the start of the allocation
  EXPECT_FALSE(retry_read(b.get()));

  EXPECT_EQ(BIO_read(b.get(), out, 5), -1);
  EXPECT_TRUE(retry_read(b.get()));
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_C_SET_BUF_MEM_EOF_RETURN, 0, nullptr), 1);
  EXPECT_EQ(BIO_read(b.get(), out, 5), 0);
  EXPECT_FALSE(retry_read(b.get()));
  EXPECT_EQ(BIO_read(b.get(), out, 0), 0);
}

TEST_F(BioTest, ReadIntoNullDiscards) {
  BioPtr b = mem_bio("abcdef");
  EXPECT_EQ(BIO_read(b.get(), nullptr, 4), 4);
  char out[4] = {};
  EXPECT_EQ(BIO_read(b.get(), out, 4), 2);
  EXPECT_EQ(std::string(out, 2), "ef");
}

TEST_F(BioTest, GetsStopsAtLineFeedOrBufferSize) {
  BioPtr b = mem_bio("hello\nworld");
  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(BIO_gets(b.get(), buf, 4), 3);
  EXPECT_EQ(std::string(buf, 4), std::string("hel\0", 4));
  EXPECT_EQ(BIO_gets(b.get(), buf, 4), 3);
  EXPECT_EQ(std::string(buf, 4), std::string("lo\n\0", 4));
  EXPECT_FALSE(retry_read(b.get()));
  // The last line has no line feed: it is returned whole and a retry is signalled.
  EXPECT_EQ(BIO_gets(b.get(), buf, 16), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_TRUE(retry_read(b.get()));
  EXPECT_EQ(BIO_gets(b.get(), buf, 16), 0);
}

TEST_F(BioTest, WriteOfNullIsRefusedWithItsError) {
  BioPtr b = mem_bio();
  EXPECT_EQ(BIO_write(b.get(), nullptr, 3), -1);
  EXPECT_EQ(ERR_get_error(), ERR_pack(32, 119, 118));
  EXPECT_EQ(BIO_puts(b.get(), "abc"), 3);
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_PENDING, 0, nullptr), 3);
}

TEST_F(BioTest, CtrlCommands) {
  BioPtr b = mem_bio("abc");
  char* p = nullptr;
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_INFO, 0, &p), 3);
  EXPECT_EQ(std::string(p, 3), "abc");
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_EOF, 0, nullptr), 0);
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_FLUSH, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_DUP, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_WPENDING, 0, nullptr), 0);
  EXPECT_EQ(BIO_ctrl(b.get(), 999, 0, nullptr), 0);
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_GET_CLOSE, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_SET_CLOSE, 0, nullptr), 1);
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_GET_CLOSE, 0, nullptr), 0);
  BIO_ctrl(b.get(), BIO_CTRL_SET_CLOSE, 1, nullptr);

  BUF_MEM* bm = buf_of(b.get());
  BIO_read(b.get(), nullptr, 1);  // data moves forward
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_RESET, 0, nullptr), 1);
  EXPECT_EQ(bm->length, 0);
  EXPECT_EQ(bm->data, bm->base);
  for (int i = 0; i < bm->max; ++i) EXPECT_EQ(bm->base[i], 0) << i;
  EXPECT_EQ(BIO_ctrl(b.get(), BIO_CTRL_EOF, 0, nullptr), 1);
}

TEST_F(BioTest, SetBufMemTakesOverAndHonoursCloseFlag) {
  BUF_MEM* mine = BUF_MEM_new();
  ASSERT_EQ(BUF_MEM_grow(mine, 4), 4);
  std::memcpy(mine->data, "wxyz", 4);
  {
    BioPtr b = mem_bio("old");
    EXPECT_EQ(BIO_ctrl(b.get(), BIO_C_SET_BUF_MEM, BIO_NOCLOSE, mine), 1);
    char out[4];
    EXPECT_EQ(BIO_read(b.get(), out, 4), 4);
    EXPECT_EQ(std::string(out, 4), "wxyz");
  }
  // Not freed with the BIO (NOCLOSE); ASan would flag a double free or leak otherwise.
  EXPECT_EQ(mine->length, 0);
  BUF_MEM_free(mine);
}

TEST_F(BioTest, BufMemGrowthRule) {
  BUF_MEM* bm = BUF_MEM_new();
  ASSERT_EQ(BUF_MEM_grow(bm, 10), 10);
  EXPECT_EQ(bm->max, 16);  // 0 + 4 * ((10 + 3) / 3)
  EXPECT_EQ(bm->data, bm->base);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(bm->data[i], 0);
  EXPECT_EQ(BUF_MEM_grow(bm, 4), 4);  // shrinking only changes the length
  EXPECT_EQ(bm->max, 16);
  bm->data[0] = 'a';
  std::memset(bm->data + 4, 'q', 12);  // stale bytes past the length are zeroed on growth
  EXPECT_EQ(BUF_MEM_grow(bm, 16), 16);
  EXPECT_EQ(bm->max, 16);
  EXPECT_EQ(bm->data[0], 'a');
  for (int i = 4; i < 16; ++i) EXPECT_EQ(bm->data[i], 0) << i;
  EXPECT_EQ(BUF_MEM_grow(bm, 17), 17);
  EXPECT_EQ(bm->max, 16 + 4 * 6);
  EXPECT_EQ(BUF_MEM_grow(bm, 0), 0);
  BUF_MEM_free(bm);
}

TEST_F(BioTest, GrowthKeepsTheUnreadOffset) {
  BioPtr b = mem_bio("0123456789");
  BUF_MEM* bm = buf_of(b.get());
  char out[4];
  ASSERT_EQ(BIO_read(b.get(), out, 4), 4);
  std::string more(100, 'z');
  ASSERT_EQ(BIO_write(b.get(), more.data(), 100), 100);
  EXPECT_EQ(bm->data - bm->base, 4);  // reads never move memory
  std::string rest(106, '\0');
  ASSERT_EQ(BIO_read(b.get(), rest.data(), 200), 106);
  EXPECT_EQ(rest, "456789" + more);
}

TEST_F(BioTest, CoreRefusesMissingSlotsAndUnopenedBios) {
  static const BIO_METHOD bare = {0x402, "bare", nullptr, nullptr, nullptr, nullptr,
                                  nullptr, token_file_create, nullptr};
  BioPtr b(BIO_new(&bare));
  ASSERT_TRUE(b);
  char buf[4];
  struct Case {
    int result;
    unsigned long error;
  } cases[] = {
      {BIO_read(b.get(), buf, 4), ERR_pack(32, 111, 124)},
      {BIO_write(b.get(), "x", 1), ERR_pack(32, 113, 124)},
      {BIO_puts(b.get(), "x"), ERR_pack(32, 110, 124)},
      {BIO_gets(b.get(), buf, 4), ERR_pack(32, 104, 124)},
      {static_cast<int>(BIO_ctrl(b.get(), 1, 0, nullptr)), ERR_pack(32, 103, 124)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.result, -2);
    EXPECT_EQ(ERR_get_error(), c.error);
  }

  // A driver that has the slots but has not opened its file.
  BioPtr m = mem_bio();
  m->init = 0;
  EXPECT_EQ(BIO_read(m.get(), buf, 4), -2);
  EXPECT_EQ(ERR_get_error(), ERR_pack(32, 111, 123));
  EXPECT_EQ(BIO_write(m.get(), "x", 1), -2);
  EXPECT_EQ(ERR_get_error(), ERR_pack(32, 113, 123));
  EXPECT_EQ(BIO_ctrl(m.get(), BIO_CTRL_PENDING, 0, nullptr), 0);  // ctrl still served
  m->init = 1;
}

TEST_F(BioTest, FreeReturnsDestroyResultOnlyAtTheLastReference) {
  static int destroyed = 0;
  static const BIO_METHOD failing = {
      0x402, "failing", nullptr, nullptr, nullptr, nullptr, nullptr, token_file_create,
      [](BIO*) { ++destroyed; return 0; }};
  BIO* b = BIO_new(&failing);
  ASSERT_TRUE(b);
  BIO_up_ref(b);
  EXPECT_EQ(BIO_free(b), 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(BIO_free(b), 0);  // the carrier refused: the caller learns it here
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(BIO_free(nullptr), 0);
}

TEST_F(BioTest, CallbackSeesBeforeAndAfterAndCountsBytes) {
  static std::string trace;
  trace.clear();
  BioPtr b = mem_bio();
  BIO_set_callback(b.get(), [](BIO*, int oper, const char*, int argi, long, long ret) -> long {
    trace += std::to_string(oper) + "/" + std::to_string(argi) + "/" + std::to_string(ret) + " ";
    return ret;
  });
  BIO_write(b.get(), "abcd", 4);
  char out[2];
  BIO_read(b.get(), out, 2);
  EXPECT_EQ(trace, "3/4/1 131/4/4 2/2/1 130/2/2 ");
  EXPECT_EQ(b->num_write, 4u);
  EXPECT_EQ(b->num_read, 2u);
  BIO_set_callback(b.get(), nullptr);
}

TEST_F(BioTest, PushAndFindType) {
  BioPtr a = mem_bio();
  BioPtr c = mem_bio();
  BIO_push(a.get(), c.get());
  EXPECT_EQ(a->next_bio, c.get());
  EXPECT_EQ(c->prev_bio, a.get());
  EXPECT_EQ(BIO_find_type(a.get(), BIO_TYPE_MEM), a.get());
  EXPECT_EQ(BIO_find_type(a.get(), BIO_TYPE_FILE), nullptr);
  EXPECT_EQ(BIO_find_type(c.get(), 0x0400), c.get());  // class match on the high byte
  BIO_pop(a.get());
  EXPECT_EQ(a->next_bio, nullptr);
}

struct DispatchCase {
  const char* path;
  const char* driver;
};

class TokenDispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(TokenDispatch, PrefixSelectsTheDriver) {
  const BIO_METHOD* m = token_method_for_path(GetParam().path);
  EXPECT_STREQ(m->name, GetParam().driver);
  EXPECT_EQ(m->type, 0x402);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TokenDispatch,
    ::testing::Values(DispatchCase{"eToken\\keys", "eToken"}, DispatchCase{"ETOKEN 0\\a", "eToken"},
                      DispatchCase{"AKS ifdh 0\\a", "eToken"},
                      DispatchCase{"aladdin token jc 1\\x", "eToken"},
                      DispatchCase{"eTR2\\x", "eToken R2"}, DispatchCase{"ruToken\\a", "ruToken"},
                      DispatchCase{"Aktiv Co. ruToken 0\\a", "ruToken"},
                      DispatchCase{"ibutton\\1", "Touch Memory"},
                      DispatchCase{"/tmp/keys/a.key", "FILE pointer"},
                      DispatchCase{"eTok", "FILE pointer"}, DispatchCase{"", "FILE pointer"}));

TEST(TokenOpen, ModeTable) {
  struct {
    const char* mode;
    int number;
  } cases[] = {{"r", 3},   {"rb", 3},  {"w", 5},   {"wb", 5},   {"r+", 7},  {"rb+", 7},
               {"r+b", 7}, {"wb+", 7}, {"w+b", 7}, {"a", 0},    {"w+", 0},  {"", 0},
               {"RB", 0},  {"ab", 0},  {"a+", 0},  {nullptr, 0}};
  for (const auto& c : cases) EXPECT_EQ(token_open_mode(c.mode), c.number) << (c.mode ? c.mode : "null");
}

TEST(TokenOpen, UnknownModeTouchesNothing) {
  ERR_clear_error();
  EXPECT_EQ(BIO_new_token_file("eToken\\x", "a", 16, nullptr), nullptr);
  EXPECT_EQ(ERR_count_errors(), 0);  // no driver was asked to open anything
}

TEST(TokenOpen, CarriersWithoutSupportFailToOpenWithARecordedError) {
  for (const char* path : {"eToken\\k", "eTR2\\k", "ruToken\\k", "iButton\\k"}) {
    ERR_clear_error();
    EXPECT_EQ(BIO_new_token_file(path, "rb", 16, nullptr), nullptr) << path;
    EXPECT_GE(ERR_count_errors(), 1) << path;
  }
}

}  // namespace
