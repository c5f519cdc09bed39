// The key container on a carrier: generate, write, open, erase; the master-key blob, the
// S-box search, the random state, the password-protected mask and the context's own rules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "crypto/bio/token.h"
#include "crypto/cadb/cms.h"
#include "crypto/rus/gost89.h"
#include "ctx_fixture.h"

using namespace jarnel;
using namespace pse_test;

namespace {

// Notify events seen, in order.
std::vector<int> g_events;
void record_event(int event, void*) { g_events.push_back(event); }

std::string g_password;
int g_password_calls = 0;
int give_password(char* buf, int size, int rwflag, void*) {
  ++g_password_calls;
  EXPECT_EQ(size, 1024);
  EXPECT_EQ(rwflag, 0);
  std::memcpy(buf, g_password.data(), g_password.size());
  return static_cast<int>(g_password.size());
}
int refuse_password(char*, int, int, void*) { return -1; }
int too_long_password(char*, int, int, void*) { return 1025; }

// Records the open flags and argument of every file the file layer opens.
struct Opened {
  std::string path, mode;
  std::uint32_t flags;
  void* arg;
};
std::vector<Opened> g_opened;
jarnel::BIO* recording_opener(const char* path, const char* mode, std::uint32_t flags, void* arg) {
  g_opened.push_back({path, mode, flags, arg});
  return BIO_new_token_file(path, mode, flags, arg);
}

Bytes xor_shares(const Bytes& blob) {
  Bytes key(32, 0);
  for (std::size_t off = 6; off < blob.size(); off += 32)
    for (int i = 0; i < 32; ++i) key[i] ^= blob[off + i];
  return key;
}

}  // namespace

class Container : public ContainerTest {};

TEST_F(Container, FileSizesAndBlobLayoutByShareCount) {
  struct Case {
    int shares;
    std::size_t mk;
  } const cases[] = {{8, 230}, {1, 6}, {2, 38}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shares);
    CtxPtr ctx = create(dir_, c.shares);
    Bytes mk = read_file(file("mk.db3")), mask = read_file(file("masks.db3"));
    EXPECT_EQ(mk.size(), c.mk);
    EXPECT_EQ(mask.size(), 32U);
    EXPECT_EQ(read_file(file("kek.opq")).size(), 36U);
    EXPECT_EQ(read_file(file("rand.opq")).size(), 36U);
    ASSERT_GE(mk.size(), 6U);
    EXPECT_EQ(mk[0], 0x22);
    EXPECT_EQ(mk[1], c.shares);
    // The check value is the MAC of 32 zero bytes under the XOR of all shares.
    Bytes blob = mk;
    blob.insert(blob.end(), mask.begin(), mask.end());
    Bytes key = xor_shares(blob);
    unsigned char zeros[32] = {}, mac[4];
    ASSERT_NE(GOSTE_mac(nullptr, zeros, 32, key.data(), GOSTE_sbox_by_number(31), mac), nullptr);
    EXPECT_EQ(0, std::memcmp(mac, mk.data() + 2, 4));
    if (c.shares == 1) {
      EXPECT_EQ(key, mask);  // the one share is the key itself
    }
    // The context holds what it wrote.
    int len = 0;
    EXPECT_EQ(PSE_CTX_get_mk(ctx.get(), nullptr, &len), 1);
    EXPECT_EQ(static_cast<std::size_t>(len), c.mk);
    EXPECT_EQ(PSE_CTX_erase(ctx.get()), 1);
  }
}

TEST_F(Container, OpensWhatWasWrittenWithTheSameKeys) {
  CtxPtr made = create(dir_);
  CtxPtr opened = context(dir_);
  ASSERT_EQ(PSE_CTX_read(opened.get()), 1);
  EXPECT_TRUE(drain_errors().empty());
  PSE* a = PSE_CTX_get_pse(made.get());
  PSE* b = PSE_CTX_get_pse(opened.get());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(0, std::memcmp(a->fingerprint, b->fingerprint, 32));
  EXPECT_STREQ(b->path, dir_.c_str());
  // The KEK agrees: what one protects, the other recovers.
  unsigned char secret[32], record[36], back[32];
  for (int i = 0; i < 32; ++i) secret[i] = static_cast<unsigned char>(i * 7);
  ASSERT_NE(PSE_write_opaque(a, secret, record), nullptr);
  ASSERT_NE(PSE_read_opaque(b, record, back), nullptr);
  EXPECT_EQ(0, std::memcmp(secret, back, 32));
  // An open fills the three contents but never the random state.
  int len = 0;
  EXPECT_EQ(PSE_CTX_get_kek(opened.get(), nullptr, &len), 1);
  EXPECT_EQ(len, 36);
  EXPECT_EQ(opened->rand, nullptr);
}

TEST_F(Container, SboxThirtyThreeOpensAfterTwoFailedChecksAndLeavesNoErrors) {
  create(dir_, 8, 33);
  CtxPtr ctx = context(dir_);
  ASSERT_EQ(PSE_CTX_read(ctx.get()), 1);
  EXPECT_EQ(ERR_peek_error(), 0UL);
  EXPECT_EQ(ERR_get_status(), 0U);
  EXPECT_EQ(0, std::memcmp(PSE_CTX_get_pse(ctx.get())->sbox, GOSTE_sbox_by_number(33), 64));
}

TEST_F(Container, ReadyGeneratorLeavesTheRandomStateAlone) {
  create(dir_);
  Bytes before = read_file(file("rand.opq"));
  CtxPtr ctx = context(dir_);
  g_events.clear();
  PSE_CTX_set_notify(ctx.get(), record_event);
  ASSERT_EQ(PSE_CTX_read(ctx.get()), 1);
  EXPECT_EQ(read_file(file("rand.opq")), before);
  EXPECT_TRUE(g_events.empty());
}

TEST_F(Container, OpenSeedsFromTheRandomStateAndRewritesIt) {
  create(dir_);
  Bytes before = read_file(file("rand.opq"));
  unseed_generator();
  CtxPtr ctx = context(dir_);
  g_events.clear();
  PSE_CTX_set_notify(ctx.get(), record_event);
  ASSERT_EQ(PSE_CTX_read(ctx.get()), 1) << ERR_get_status();
  EXPECT_NE(RAND_get_method(), nullptr);
  Bytes after = read_file(file("rand.opq"));
  EXPECT_EQ(after.size(), 36U);
  EXPECT_NE(after, before);
  EXPECT_EQ(g_events, (std::vector<int>{13, 14, 13, 14}));
  // The new record verifies under the container's KEK.
  unsigned char seed[32];
  EXPECT_NE(PSE_read_opaque(PSE_CTX_get_pse(ctx.get()), after.data(), seed), nullptr);
}

TEST_F(Container, FlagZeroOrMissingFileWithoutSeedSource) {
  create(dir_);
  Bytes before = read_file(file("rand.opq"));
  unseed_generator();
  {
    // Flag bit 0: the random state is neither read nor used.
    CtxPtr ctx = context(dir_);
    PSE_CTX_set_flags(ctx.get(), PSE_CTX_FLAG_NO_RAND);
    ASSERT_EQ(PSE_CTX_read(ctx.get()), 1);
    EXPECT_EQ(RAND_get_method(), nullptr);
    EXPECT_EQ(read_file(file("rand.opq")), before);
  }
  {
    // No random-state file and no other seed source: the open fails, status 6.
    fs::remove(file("rand.opq"));
    CtxPtr ctx = context(dir_);
    EXPECT_EQ(PSE_CTX_read(ctx.get()), 0);
    EXPECT_EQ(ERR_get_status(), 6U);
    EXPECT_EQ(RAND_get_method(), nullptr);
  }
}

TEST_F(Container, RandomStateFromTheContextIsUsedAndNotWritten) {
  CtxPtr made = create(dir_);
  unsigned char record[36];
  int size = sizeof record;
  ASSERT_EQ(PSE_CTX_get_rand(made.get(), record, &size), 1);
  EXPECT_EQ(size, 36);
  fs::remove(file("rand.opq"));
  unseed_generator();
  CtxPtr ctx = context(dir_);
  PSE_CTX_set_rand(ctx.get(), record, 36);
  ASSERT_EQ(PSE_CTX_read(ctx.get()), 1);
  EXPECT_NE(RAND_get_method(), nullptr);
  EXPECT_FALSE(fs::exists(file("rand.opq")));
  // Asking for a record below 36 bytes, or with the generator down, fails.
  size = 35;
  EXPECT_EQ(PSE_CTX_get_rand(ctx.get(), record, &size), 0);
  EXPECT_EQ(size, 36);
  unseed_generator();
  EXPECT_EQ(PSE_CTX_get_rand(ctx.get(), record, &size), 0);
  EXPECT_EQ(ERR_get_status(), 6U);
}

TEST_F(Container, DamagedFilesFailTheOpenCleanly) {
  // The status is the first one set: the open's own 5 arrives after the step's queue entry, so
  // it reads 12 unless a deeper layer set one (3 for a MAC, 6 for the random state).
  struct Case {
    const char* name;
    const char* file;
    std::size_t offset;  // byte to flip; SIZE_MAX truncates the file by one byte
    std::uint32_t status;
    int lib, func, reason;  // an entry the queue must hold
    bool generator_down;    // the open resets the generator
  } const cases[] = {
      {"marker", "mk.db3", 0, 12, LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR, false},
      {"share count", "mk.db3", 1, 12, LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR, false},
      {"check value", "mk.db3", 3, 12, LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR, false},
      {"share", "masks.db3", 17, 12, LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR, false},
      {"KEK MAC", "kek.opq", 33, 3, LIB_PSE, PSE_F_PSE_DECRYPT32, PSE_R_INVALID_MAC, false},
      {"KEK length", "kek.opq", SIZE_MAX, 12, LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR, false},
      {"random-state record", "rand.opq", 5, 6, LIB_PSE, PSE_F_PSE_RAND_INIT, LIB_PSE, true},
      {"random-state length", "rand.opq", SIZE_MAX, 6, LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    seed_generator();
    create(dir_);
    Bytes bytes = read_file(file(c.file));
    if (c.offset == SIZE_MAX) bytes.pop_back(); else bytes[c.offset] ^= 0x01;
    write_file(file(c.file), bytes);
    if (c.generator_down) unseed_generator();
    ERR_clear_error();
    CtxPtr ctx = context(dir_);
    EXPECT_EQ(PSE_CTX_read(ctx.get()), 0);
    EXPECT_EQ(PSE_CTX_get_pse(ctx.get()), nullptr);
    EXPECT_EQ(ERR_get_status(), c.status);
    auto q = drain_errors();
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(q.back(), ERR_pack(LIB_CADB, CADB_F_PSE_CTX_READ, LIB_CADB));
    EXPECT_TRUE(has_error(q, c.lib, c.func, c.reason));
    EXPECT_EQ(RAND_get_method() == nullptr, c.generator_down);
    fs::remove_all(dir_);
  }
}

TEST_F(Container, MissingFilesAndPathLimits) {
  {
    // Nothing there.
    CtxPtr ctx = context(dir_);
    EXPECT_EQ(PSE_CTX_read(ctx.get()), 0);
    EXPECT_EQ(ERR_get_status(), 12U);
    auto q = drain_errors();
    EXPECT_TRUE(has_error(q, LIB_BUF, BUF_F_BUFFER_READ_FILE, R_INTERNAL_ERROR));
    EXPECT_EQ(q.back(), ERR_pack(LIB_CADB, CADB_F_PSE_CTX_READ, LIB_CADB));
  }
  {
    // No path and no contents.
    CtxPtr ctx(PSE_CTX_new());
    EXPECT_EQ(PSE_CTX_read(ctx.get()), 0);
    EXPECT_EQ(PSE_CTX_erase(ctx.get()), 0);
    auto q = drain_errors();
    EXPECT_TRUE(has_error(q, LIB_CADB, CADB_F_PSE_CTX_ERASE, LIB_CADB));
  }
  // 247 characters name files; 248 do not.
  std::string p247 = "/tmp/" + std::string(242, 'p'), p248 = p247 + "q";
  char out[CADB_PATH_BUF];
  EXPECT_EQ(PSE_item_path(p247.c_str(), PseItem::MasterKey, out), 1);
  EXPECT_EQ(PSE_item_path(p248.c_str(), PseItem::MasterKey, out), 0);
  CtxPtr ctx = context(p248);
  EXPECT_EQ(PSE_CTX_read(ctx.get()), 0);
  EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_PSE_CTX_READ, LIB_CADB));
  ASSERT_EQ(PSE_CTX_generate(ctx.get()), 1);
  EXPECT_EQ(PSE_CTX_write(ctx.get()), 0);
}

TEST_F(Container, ItemNamesFollowThePathPrefix) {
  struct Case {
    const char* path;
    const char* names[6];
  } const cases[] = {
      {"/media/usb/pse", {"mk.db3", "masks.db3", "kek.opq", "rand.opq", "keys", "store.pfx"}},
      {"pkcs11:softhsm/pse", {"mk.db3", "masks.db3", "kek.opq", "rand.opq", "keys", "store.pfx"}},
      {"iButton\\pse", {"mk  .001", "mask.001", "kek .001", "rand.001", "keys", "stor.001"}},
      {"IBUTTON\\pse", {"mk  .001", "mask.001", "kek .001", "rand.001", "keys", "stor.001"}},
      {"ruToken\\pse", {"a001", "b001", "c001", "d001", "aaaa", "e001"}},
      {"RUTOKEN\\pse", {"a001", "b001", "c001", "d001", "aaaa", "e001"}},
      {"Aktiv Co. ruToken 0\\pse", {"a001", "b001", "c001", "d001", "aaaa", "e001"}},
      {"eToken\\pse", {"a001", "b001", "c001", "d001", "aaaa", "e001"}},
      {"etr2\\pse", {"a001", "b001", "c001", "d001", "aaaa", "e001"}},
      {"AKS ifdh 0\\pse", {"a001", "b001", "c001", "d001", "aaaa", "e001"}},
      {"Aladdin Token JC\\pse", {"a001", "b001", "c001", "d001", "aaaa", "e001"}},
  };
  for (const auto& c : cases) {
    for (int i = 0; i < 6; ++i) {
      EXPECT_STREQ(PSE_item_name(c.path, static_cast<PseItem>(i)), c.names[i]) << c.path;
    }
  }
  char out[CADB_PATH_BUF];
  ASSERT_EQ(PSE_item_path("iButton/pse", PseItem::MasterKey, out), 1);
  EXPECT_STREQ(out, "iButton\\pse\\mk  .001");
  ASSERT_EQ(PSE_item_path("ruToken\\pse\\", PseItem::Kek, out), 1);
  EXPECT_STREQ(out, "ruToken\\pse\\c001");
}

TEST_F(Container, PasswordProtectedMask) {
  CtxPtr made = create(dir_, 8, 31, "s3cret");
  Bytes mask = read_file(file("masks.db3"));
  ASSERT_GT(mask.size(), 32U);
  EXPECT_EQ(mask[0], 0x30);
  EXPECT_EQ(CADB_CMS_probe_type(mask.data(), static_cast<int>(mask.size())), CMS_NID_encrypted);
  // The context hands out the mask in protected form as well.
  int len = 0;
  ASSERT_EQ(PSE_CTX_get_mask(made.get(), nullptr, &len), 1);
  EXPECT_EQ(static_cast<std::size_t>(len), mask.size());

  struct Case {
    const char* name;
    const char* password;  // in the context
    password_cb cb;
    const char* typed;     // what the call-back answers
    bool opens;
  } const cases[] = {
      {"context password", "s3cret", nullptr, "", true},
      {"call-back", nullptr, give_password, "s3cret", true},
      {"wrong context password", "secret", nullptr, "", false},
      {"wrong typed password", nullptr, give_password, "s3cret ", false},
      {"no password source", nullptr, nullptr, "", false},
      {"call-back refuses", nullptr, refuse_password, "", false},
      {"call-back answer too long", nullptr, too_long_password, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CtxPtr ctx = context(dir_);
    if (c.password) PSE_CTX_set_password(ctx.get(), c.password, 0);
    PSE_CTX_set_password_callback(ctx.get(), c.cb);
    g_password = c.typed;
    EXPECT_EQ(PSE_CTX_read(ctx.get()), c.opens ? 1 : 0);
    if (c.opens) {
      // The mask contents are the clear share, and a password from the call-back is kept so
      // that the container is written back protected.
      Bytes clear(32);
      len = 32;
      ASSERT_EQ(PSE_CTX_set_password(ctx.get(), nullptr, 0), 1);
      ASSERT_EQ(PSE_CTX_get_mask(ctx.get(), clear.data(), &len), 1);
      EXPECT_EQ(len, 32);
    } else {
      EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_PSE_CTX_READ, LIB_CADB));
    }
  }
  // Opened through the call-back and written elsewhere: still protected.
  CtxPtr ctx = context(dir_);
  PSE_CTX_set_password_callback(ctx.get(), give_password);
  g_password = "s3cret";
  g_password_calls = 0;
  ASSERT_EQ(PSE_CTX_read(ctx.get()), 1);
  EXPECT_EQ(g_password_calls, 1);
  std::string copy = (root_ / "copy").string();
  ASSERT_EQ(PSE_CTX_set_path(ctx.get(), copy.c_str(), 0), 1);
  ASSERT_EQ(PSE_CTX_write(ctx.get()), 1);
  Bytes copied = read_file(fs::path(copy) / "masks.db3");
  EXPECT_EQ(CADB_CMS_probe_type(copied.data(), static_cast<int>(copied.size())), CMS_NID_encrypted);
  CtxPtr again = context(copy);
  PSE_CTX_set_password(again.get(), "s3cret", 0);
  EXPECT_EQ(PSE_CTX_read(again.get()), 1);
}

TEST_F(Container, EraseRemovesTheFourFilesEvenWhenSomeAreMissing) {
  CtxPtr ctx = create(dir_);
  fs::create_directories(file("keys"));
  write_file(file("keys") / "a.key", {1, 2, 3});
  fs::remove(file("masks.db3"));
  fs::remove(file("rand.opq"));
  EXPECT_EQ(PSE_CTX_erase(ctx.get()), 1);
  EXPECT_EQ(ERR_peek_error(), 0UL);
  for (const char* name : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"}) EXPECT_FALSE(fs::exists(file(name))) << name;
  EXPECT_TRUE(fs::exists(file("keys") / "a.key"));
  // Again, with nothing left.
  EXPECT_EQ(PSE_CTX_erase(ctx.get()), 1);
}

TEST_F(Container, WriteWithoutGeneratorSkipsTheRandomStateAndFailedWriteLeavesNoFiles) {
  CtxPtr ctx = context(dir_);
  ASSERT_EQ(PSE_CTX_generate(ctx.get()), 1);
  unseed_generator();
  ASSERT_EQ(PSE_CTX_write(ctx.get()), 1);
  EXPECT_TRUE(fs::exists(file("kek.opq")));
  EXPECT_FALSE(fs::exists(file("rand.opq")));
  // A mask file that cannot be written: the master-key file this write made goes again.
  seed_generator();
  std::string other = (root_ / "other").string();
  fs::create_directories(fs::path(other) / "masks.db3");
  ASSERT_EQ(PSE_CTX_set_path(ctx.get(), other.c_str(), 0), 1);
  EXPECT_EQ(PSE_CTX_write(ctx.get()), 0);
  EXPECT_FALSE(fs::exists(fs::path(other) / "mk.db3"));
  EXPECT_EQ(ERR_get_status() != 0, true);
  auto q = drain_errors();
  EXPECT_EQ(q.back(), ERR_pack(LIB_CADB, CADB_F_PSE_CTX_WRITE, R_INTERNAL_ERROR));
  // Nothing to write.
  CtxPtr empty = context(dir_);
  EXPECT_EQ(PSE_CTX_write(empty.get()), 0);
  EXPECT_EQ(ERR_get_status(), 1U);
}

TEST_F(Container, GenerateNeedsAGeneratorOrASeedSource) {
  unseed_generator();
  CtxPtr ctx = context(dir_);
  EXPECT_EQ(PSE_CTX_generate(ctx.get()), 0);
  auto q = drain_errors();
  EXPECT_EQ(q.back(), ERR_pack(LIB_CADB, CADB_F_PSE_CTX_GENERATE, LIB_CADB));
  EXPECT_EQ(PSE_CTX_get_pse(ctx.get()), nullptr);
  EXPECT_EQ(ctx->mk, nullptr);
  // Out-of-range settings are refused.
  EXPECT_EQ(PSE_CTX_set_shares(ctx.get(), 0), 0);
  EXPECT_EQ(PSE_CTX_set_shares(ctx.get(), 256), 0);
  EXPECT_EQ(PSE_CTX_set_sbox_number(ctx.get(), 30), 0);
  EXPECT_EQ(PSE_CTX_set_sbox_number(ctx.get(), 36), 0);
}

TEST_F(Container, IoFlagsAndLoginArgumentReachEveryFileOperation) {
  CtxPtr ctx = context(dir_);
  const char login[] = "login-data";
  ASSERT_EQ(PSE_CTX_set_login_arg(ctx.get(), login, sizeof login), 1);
  ASSERT_EQ(PSE_CTX_set_io_flags(ctx.get(), TOKEN_FLAG_LOGOUT), 1);
  ASSERT_EQ(PSE_CTX_generate(ctx.get()), 1);
  g_opened.clear();
  CADB_bio_opener previous = CADB_set_bio_opener(recording_opener);
  ASSERT_EQ(PSE_CTX_write(ctx.get()), 1);
  unseed_generator();
  CtxPtr back = context(dir_);
  PSE_CTX_set_login_arg(back.get(), login, sizeof login);
  PSE_CTX_set_io_flags(back.get(), TOKEN_FLAG_LOGOUT);
  ASSERT_EQ(PSE_CTX_read(back.get()), 1);
  CADB_set_bio_opener(previous);
  ASSERT_GE(g_opened.size(), 9U);  // 4 writes, 4 reads, the random state written back
  for (const auto& o : g_opened) {
    bool master = o.path.find("mk.db3") != std::string::npos;
    bool writing = o.mode[0] == 'w';
    EXPECT_EQ(o.flags, TOKEN_FLAG_LOGOUT | (master && writing ? TOKEN_FLAG_PRIVATE : 0U)) << o.path;
    ASSERT_NE(o.arg, nullptr);
    EXPECT_STREQ(static_cast<const char*>(o.arg), login);
  }
}

TEST_F(Container, NullContextAndEmptyMethodSlots) {
  ERR_clear_error();
  EXPECT_EQ(PSE_CTX_read(nullptr), 0);
  EXPECT_EQ(ERR_get_status(), 1U);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR));
  EXPECT_EQ(PSE_CTX_set_path(nullptr, "x", 0), 0);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_CADB, CADB_F_PSE_CTX_SET_PATH, R_INTERNAL_ERROR));
  PSE_CTX_free(nullptr);

  static const PSE_CTX_METHOD empty = {"empty", nullptr, nullptr, nullptr, nullptr};
  CtxPtr ctx = context(dir_);
  ASSERT_EQ(PSE_CTX_set_method(ctx.get(), &empty), 1);
  EXPECT_EQ(PSE_CTX_generate(ctx.get()), 1);
  EXPECT_EQ(PSE_CTX_read(ctx.get()), 1);
  EXPECT_EQ(PSE_CTX_write(ctx.get()), 1);
  EXPECT_EQ(PSE_CTX_erase(ctx.get()), 1);
  EXPECT_EQ(PSE_CTX_get_pse(ctx.get()), nullptr);
  // The path picks the method.
  ASSERT_EQ(PSE_CTX_set_path(ctx.get(), "PKCS11:token/pse", 0), 1);
  EXPECT_STREQ(ctx->method->name, "PSE_CTX pkcs11 method");
  ASSERT_EQ(PSE_CTX_set_path(ctx.get(), dir_.c_str(), 3), 1);
  EXPECT_STREQ(PSE_CTX_get_path(ctx.get()), dir_.substr(0, 3).c_str());
  EXPECT_STREQ(ctx->method->name, "PSE_CTX default method");
}

namespace {
std::atomic<int> g_inside{0}, g_most{0};
PSE* slow_read(PSE_CTX*) {
  int now = ++g_inside;
  int most = g_most.load();
  while (now > most && !g_most.compare_exchange_weak(most, now)) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  --g_inside;
  return PSE_new();
}
}  // namespace

TEST_F(Container, TwoThreadsOpeningOneContextTakeTurns) {
  static const PSE_CTX_METHOD slow = {"slow", nullptr, slow_read, nullptr, nullptr};
  CtxPtr ctx = context(dir_);
  PSE_CTX_set_method(ctx.get(), &slow);
  g_most = 0;
  std::thread a([&] {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(PSE_CTX_read(ctx.get()), 1);
  });
  std::thread b([&] {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(PSE_CTX_read(ctx.get()), 1);
  });
  a.join();
  b.join();
  EXPECT_EQ(g_most.load(), 1);
  EXPECT_NE(PSE_CTX_get_pse(ctx.get()), nullptr);
}

TEST(PseMkey, BlobRoundTripAndRefusals) {
  CADB_startup();
  seed_generator();
  const unsigned char* sbox = GOSTE_sbox_by_number(34);
  unsigned char key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(0xA0 + i);
  int len = 0;
  ASSERT_EQ(PSE_save_mkey(key, 3, nullptr, &len, sbox), 1);
  EXPECT_EQ(len, 102);
  Bytes blob(static_cast<std::size_t>(len));
  ASSERT_EQ(PSE_save_mkey(key, 3, blob.data(), &len, sbox), 1);
  EXPECT_EQ(xor_shares(blob), Bytes(key, key + 32));
  MASKED_KEY slot{};
  ASSERT_EQ(PSE_load_mkey(&slot, blob.data(), len, sbox), 1);
  unsigned char back[32];
  ASSERT_EQ(MASK_key_get(&slot, back), 1);
  EXPECT_EQ(0, std::memcmp(back, key, 32));
  // Under another S-box the check value does not match: invalid MAC, slot wiped.
  ERR_clear_error();
  EXPECT_EQ(PSE_load_mkey(&slot, blob.data(), len, GOSTE_sbox_by_number(31)), 0);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_INVALID_MAC));
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, PSE_F_PSE_LOAD_MKEY, LIB_PSE));
  EXPECT_FALSE(PSE_key_is_set(&slot));
  // A blob whose length does not match its share count, and bad share counts.
  EXPECT_EQ(PSE_load_mkey(&slot, blob.data(), len - 1, sbox), 0);
  blob[1] = 4;
  EXPECT_EQ(PSE_load_mkey(&slot, blob.data(), len, sbox), 0);
  EXPECT_EQ(PSE_save_mkey(key, 0, nullptr, &len, sbox), 0);
  EXPECT_EQ(PSE_save_mkey(key, 256, nullptr, &len, sbox), 0);
  ERR_clear_error();
  // The function-name texts of the PSE library.
  EXPECT_STREQ(ERR_func_error_string(ERR_pack(LIB_PSE, PSE_F_PSE_LOAD_MKEY, 0)), "PSE_load_mkey");
  EXPECT_STREQ(ERR_func_error_string(ERR_pack(LIB_PSE, RAND_F_GRAND_PRF, 0)), "GRAND_prf");
  EXPECT_STREQ(ERR_reason_error_string(ERR_pack(LIB_PSE, 0, PSE_R_INVALID_MAC)), "invalid MAC");
  EXPECT_STREQ(ERR_func_error_string(ERR_pack(LIB_CADB, CADB_F_PSE_CTX_READ, 0)), "PSE_CTX_read");
}

namespace {
int g_waits = 0;
int give_up(const char*, void*) {
  ++g_waits;
  return 0;
}
}  // namespace

TEST_F(Container, CarrierThatDoesNotComeFailsEachOperationAtTheWait) {
  struct Case {
    int (*op)(PSE_CTX*);
    int func;
  } const cases[] = {{PSE_CTX_read, CADB_F_PSE_CTX_READ},
                     {PSE_CTX_write, CADB_F_PSE_CTX_WRITE},
                     {PSE_CTX_erase, CADB_F_PSE_CTX_ERASE}};
  for (const auto& c : cases) {
    CtxPtr ctx = context("ruToken\\no such reader\\pse");
    PSE_CTX_set_insert_callback(ctx.get(), give_up, nullptr);
    ERR_clear_error();
    EXPECT_EQ(c.op(ctx.get()), 0);
    auto q = drain_errors();
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(q.back(), ERR_pack(LIB_CADB, c.func, R_INTERNAL_ERROR));
  }
  // A folder needs no waiting: the waiter is not asked.
  g_waits = 0;
  CtxPtr ctx = context(dir_);
  PSE_CTX_set_insert_callback(ctx.get(), give_up, nullptr);
  EXPECT_EQ(PSE_CTX_erase(ctx.get()), 1);
  EXPECT_EQ(g_waits, 0);
}

namespace {
// The Nth allocation (counting from 0) fails; -1 lets all through.
int g_fail_from = -1, g_allocs = 0;
void* counted_malloc(std::size_t n) {
  return g_fail_from >= 0 && g_allocs++ == g_fail_from ? nullptr : std::malloc(n);
}
class ShortMemory {
 public:
  explicit ShortMemory(int fail_from) {
    CRYPTO_get_mem_functions(&m_, &r_, &f_);
    g_allocs = 0;
    g_fail_from = fail_from;
    CRYPTO_set_mem_functions(counted_malloc, r_, f_);
  }
  ~ShortMemory() {
    CRYPTO_set_mem_functions(m_, r_, f_);
    g_fail_from = -1;
  }

 private:
  MallocFn m_;
  ReallocFn r_;
  FreeFn f_;
};
}  // namespace

TEST_F(Container, ShortMemoryFailsEveryStepCleanly) {
  // Each allocation of a generate and write in turn fails: the result is either the whole
  // container or no file at all. The loop ends at the first run that needs no more allocations
  // than it got (the failure point lies beyond the last one).
  bool succeeded = false;
  for (int fail_at = 0; fail_at < 1000 && !succeeded; ++fail_at) {
    std::string path = (root_ / ("w" + std::to_string(fail_at))).string();
    CtxPtr ctx = context(path);
    int ok;
    {
      ShortMemory short_memory(fail_at);
      ok = PSE_CTX_generate(ctx.get()) && PSE_CTX_write(ctx.get());
    }
    ERR_clear_error();
    int files = 0;
    for (const char* name : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"})
      files += fs::exists(fs::path(path) / name) ? 1 : 0;
    EXPECT_EQ(files, ok ? 4 : 0) << "allocation " << fail_at;
    succeeded = ok != 0 && g_allocs <= fail_at;
  }
  EXPECT_TRUE(succeeded);
  // Open with the generator down (the random state is read and rewritten): a failure leaves the
  // three key files as they were and no container in the context.
  CtxPtr made = create(dir_);
  Bytes mk = read_file(file("mk.db3")), mask = read_file(file("masks.db3")),
        kek = read_file(file("kek.opq"));
  succeeded = false;
  for (int fail_at = 0; fail_at < 1000 && !succeeded; ++fail_at) {
    unseed_generator();
    CtxPtr ctx = context(dir_);
    int ok;
    {
      ShortMemory short_memory(fail_at);
      ok = PSE_CTX_read(ctx.get());
    }
    ERR_clear_error();
    EXPECT_EQ(PSE_CTX_get_pse(ctx.get()) != nullptr, ok != 0);
    EXPECT_EQ(read_file(file("mk.db3")), mk);
    EXPECT_EQ(read_file(file("masks.db3")), mask);
    EXPECT_EQ(read_file(file("kek.opq")), kek);
    succeeded = ok != 0 && g_allocs <= fail_at;
    if (!ok && read_file(file("rand.opq")).size() != 36) {
      ADD_FAILURE() << "random-state file damaged at allocation " << fail_at;
      break;
    }
  }
  EXPECT_TRUE(succeeded);
}

namespace {
// Keyboard seeding that always types what it is shown.
int type_it(int ch, int, int, void*) { return ch; }
void no_sleep(unsigned) {}
}  // namespace

TEST_F(Container, SeedSourceServesWhereNoRandomStateIs) {
  GRAND_set_sleep_function(no_sleep);
  unseed_generator();
  {
    // Generate with the generator down: the seed source brings it up.
    CtxPtr ctx = context(dir_);
    EXPECT_EQ(PSE_CTX_generate(ctx.get()), 0);
    ERR_clear_error();
    PSE_CTX_set_seed_source(ctx.get(), type_it, nullptr);
    ASSERT_EQ(PSE_CTX_generate(ctx.get()), 1);
    EXPECT_NE(RAND_get_method(), nullptr);
    ASSERT_EQ(PSE_CTX_write(ctx.get()), 1);
  }
  // Open without a random-state file: the seed source seeds, and no file is made.
  fs::remove(file("rand.opq"));
  unseed_generator();
  CtxPtr ctx = context(dir_);
  PSE_CTX_set_seed_source(ctx.get(), type_it, nullptr);
  EXPECT_EQ(PSE_CTX_read(ctx.get()), 1);
  EXPECT_NE(RAND_get_method(), nullptr);
  EXPECT_FALSE(fs::exists(file("rand.opq")));
  GRAND_set_sleep_function(nullptr);
}
