// Key containers kept as data objects on SoftHSM2: written, opened, erased, read by pkcs11-tool,
// under injected failures and from several threads.
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "crypto/bio/token.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/mem.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "platform/entropy.h"
#include "tests/pkcs11/fixture.h"

namespace p11test {
namespace {

using namespace jarnel;

struct CtxFree {
  void operator()(PSE_CTX* c) const { PSE_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<PSE_CTX, CtxFree>;

class Containers : public SoftHsm {
 protected:
  CtxPtr context(const char* path, unsigned flags = PSE_CTX_FLAG_EXPORT) {
    CtxPtr ctx(PSE_CTX_new());
    EXPECT_TRUE(ctx && PSE_CTX_set_path(ctx.get(), path, 0) && PSE_CTX_set_flags(ctx.get(), flags));
    return ctx;
  }
  // A new container written at path; its fingerprint.
  Bytes make(const char* path) {
    CtxPtr ctx = context(path);
    EXPECT_EQ(PSE_CTX_generate(ctx.get()), 1);
    EXPECT_EQ(PSE_CTX_write(ctx.get()), 1);
    const PSE* pse = PSE_CTX_get_pse(ctx.get());
    return pse ? Bytes(pse->fingerprint, pse->fingerprint + sizeof pse->fingerprint) : Bytes();
  }
  Bytes open_fingerprint(const char* path) {
    CtxPtr ctx = context(path);
    if (!PSE_CTX_read(ctx.get())) return {};
    const PSE* pse = PSE_CTX_get_pse(ctx.get());
    return Bytes(pse->fingerprint, pse->fingerprint + sizeof pse->fingerprint);
  }
  // Objects with label on the token (after login).
  int count(const char* label) {
    ConnPtr c = open("pkcs11:\\softhsm2\\x");
    if (!c || !PKCS11_login(c.get(), 0)) return -1;
    TemplatePtr t(PKCS11_template(Pkcs11Template::ContainerFile));
    PKCS11_TEMPLATE_add_string(t.get(), CKA_LABEL, label);
    int n = 0;
    PKCS11_find_init(c.get(), t.get());
    while (PKCS11_find_next(c.get())) ++n;
    PKCS11_find_final(c.get());
    return n;
  }
  Bytes item(int number) {
    ConnPtr c = open("pkcs11:\\softhsm2\\x");
    CK_ULONG len = 0;
    if (!c || !PKCS11_login(c.get(), 0) || !PKCS11_read_item(number, c.get(), nullptr, &len))
      return {};
    Bytes b(len);
    if (!PKCS11_read_item(number, c.get(), b.data(), &len)) return {};
    return b;
  }
};

TEST_F(Containers, WrittenContainerOpensWithItsFingerprint) {
  Bytes fp = make("pkcs11:\\softhsm2\\pse");
  ASSERT_FALSE(fp.empty());
  for (const char* label : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"})
    EXPECT_EQ(count(label), 1) << label;
  EXPECT_EQ(open_fingerprint("pkcs11:\\softhsm2\\pse"), fp);
  // Any container path on the token reaches the same container.
  EXPECT_EQ(open_fingerprint("pkcs11:\\softhsm2\\other"), fp);
}

TEST_F(Containers, OpeningReplacesTheRandomStateThoughTheModuleKeepsValuesFixed) {
  make("pkcs11:\\softhsm2\\pse");
  Bytes before = item(3);
  ASSERT_EQ(before.size(), 36u);
  // SoftHSM2 refuses to change a data object's CKA_VALUE; the object is replaced instead.
  for (int round = 0; round < 2; ++round) {
    ERR_set_token_error(0, 0);
    ASSERT_FALSE(open_fingerprint("pkcs11:\\softhsm2\\pse").empty());
    EXPECT_EQ(ERR_get_token_error(), 0u);
    Bytes after = item(3);
    EXPECT_EQ(after.size(), 36u);
    EXPECT_NE(after, before);
    EXPECT_EQ(count("rand.opq"), 1);
    before = after;
  }
}

TEST_F(Containers, ListedByPkcs11ToolWithLabelsApplicationAndPrivacy) {
  make("pkcs11:\\softhsm2\\pse");
  std::string pub = tool("--list-objects --type data");
  EXPECT_EQ(pub.find("mk.db3"), std::string::npos) << pub;  // private: not seen before login
  for (const char* label : {"masks.db3", "kek.opq", "rand.opq"})
    EXPECT_NE(pub.find("'" + std::string(label) + "'"), std::string::npos) << pub;
  EXPECT_NE(pub.find("'Halvorit software'"), std::string::npos) << pub;
  std::string all = tool("--login --pin " + std::string(kPin) + " --list-objects --type data");
  std::size_t mk = all.find("'mk.db3'");
  ASSERT_NE(mk, std::string::npos) << all;
  std::size_t next = all.find("Data object", mk);
  std::string mk_part = all.substr(mk, next == std::string::npos ? std::string::npos : next - mk);
  EXPECT_NE(mk_part.find("'Halvorit software'"), std::string::npos) << mk_part;
  EXPECT_NE(mk_part.find("private"), std::string::npos) << mk_part;
  std::size_t masks = all.find("'masks.db3'");
  next = all.find("Data object", masks);
  std::string masks_part =
      all.substr(masks, next == std::string::npos ? std::string::npos : next - masks);
  EXPECT_EQ(masks_part.find("private"), std::string::npos) << masks_part;
}

TEST_F(Containers, WritingAnItemTwiceLeavesOneObject) {
  ConnPtr c = open("pkcs11:\\softhsm2\\x");
  ASSERT_TRUE(c && PKCS11_login(c.get(), 0));
  const unsigned char one[] = {1, 1, 1}, two[] = {2, 2};
  ASSERT_EQ(PKCS11_write_item(1, one, sizeof one, c.get()), 1);
  ASSERT_EQ(PKCS11_write_item(1, two, sizeof two, c.get()), 1);
  EXPECT_EQ(count("masks.db3"), 1);
  EXPECT_EQ(item(1), Bytes(two, two + sizeof two));
  ASSERT_EQ(PKCS11_delete_item(1, c.get()), 1);
  EXPECT_EQ(count("masks.db3"), 0);
  EXPECT_EQ(PKCS11_delete_item(1, c.get()), 1);  // nothing left: still a success
}

TEST_F(Containers, ItemNumberOutOfRangeFailsWithoutCallingTheModule) {
  ConnPtr c = open("pkcs11:\\p11fault\\x");
  ASSERT_TRUE(c);
  long finds = fault().calls("C_FindObjectsInit"), creates = fault().calls("C_CreateObject");
  CK_ULONG len = 0;
  const unsigned char v[] = {1};
  for (int bad : {-1, 4, 100}) {
    EXPECT_EQ(PKCS11_read_item(bad, c.get(), nullptr, &len), 0);
    EXPECT_EQ(PKCS11_write_item(bad, v, 1, c.get()), 0);
    EXPECT_EQ(PKCS11_delete_item(bad, c.get()), 0);
  }
  EXPECT_EQ(fault().calls("C_FindObjectsInit"), finds);
  EXPECT_EQ(fault().calls("C_CreateObject"), creates);
}

TEST_F(Containers, EraseWithoutRandomStateSucceeds) {
  make("pkcs11:\\softhsm2\\pse");
  {
    ConnPtr c = open("pkcs11:\\softhsm2\\x");
    ASSERT_TRUE(c && PKCS11_login(c.get(), 0) && PKCS11_delete_item(3, c.get()));
  }
  CtxPtr ctx = context("pkcs11:\\softhsm2\\pse");
  ASSERT_EQ(PSE_CTX_erase(ctx.get()), 1);
  for (const char* label : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"})
    EXPECT_EQ(count(label), 0) << label;
  EXPECT_FALSE(PSE_CTX_read(ctx.get()));
}

TEST_F(Containers, RunningGeneratorAndNoExportLeaveTheTokenAlone) {
  make("pkcs11:\\p11fault\\pse");
  long sessions = fault().calls("C_OpenSession");
  CtxPtr ctx = context("pkcs11:\\p11fault\\pse", 0);
  ASSERT_NE(RAND_get_method(), nullptr);
  ASSERT_EQ(PSE_CTX_read(ctx.get()), 1);
  EXPECT_EQ(fault().calls("C_OpenSession"), sessions);
  const PSE* pse = PSE_CTX_get_pse(ctx.get());
  ASSERT_NE(pse, nullptr);
  EXPECT_STREQ(pse->path, "pkcs11:\\p11fault\\pse");
  EXPECT_EQ(ctx->mk, nullptr);
}

// A failing call leaves no partial container and reports the module's answer.
TEST_F(Containers, FailedWriteLeavesNoPartialContainer) {
  for (long call = 1; call <= 4; ++call) {
    SCOPED_TRACE(call);
    fault().reset();
    ERR_clear_error();
    ERR_set_token_error(0, 0);
    fault().set("C_CreateObject", call, CKR_DEVICE_MEMORY, 0);
    CtxPtr ctx = context("pkcs11:\\p11fault\\pse");
    ASSERT_EQ(PSE_CTX_generate(ctx.get()), 1);
    EXPECT_EQ(PSE_CTX_write(ctx.get()), 0);
    EXPECT_EQ(ERR_get_token_error(), CKR_DEVICE_MEMORY);
    EXPECT_TRUE(has_reason(drain_errors(), LIB_PKCS11, R_INTERNAL_ERROR));
    for (const char* label : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"})
      EXPECT_EQ(count(label), 0) << label;
  }
}

TEST_F(Containers, FailedRewriteKeepsTheOldContainer) {
  Bytes fp = make("pkcs11:\\p11fault\\pse");
  ASSERT_FALSE(fp.empty());
  for (long nth = 1; nth <= 4; ++nth) {
    SCOPED_TRACE(nth);
    fault().set("C_CreateObject", fault().calls("C_CreateObject") + nth, CKR_DEVICE_MEMORY, 0);
    CtxPtr ctx = context("pkcs11:\\p11fault\\pse");
    ASSERT_EQ(PSE_CTX_generate(ctx.get()), 1);
    EXPECT_EQ(PSE_CTX_write(ctx.get()), 0);
    fault().reset();
    for (const char* label : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"})
      EXPECT_EQ(count(label), 1) << label;
    EXPECT_EQ(open_fingerprint("pkcs11:\\p11fault\\pse"), fp);
  }
}

TEST_F(Containers, FailingReadsGiveTheModulesAnswer) {
  make("pkcs11:\\p11fault\\pse");
  struct Case {
    const char* function;
    CK_RV rv;
  } cases[] = {{"C_FindObjects", CKR_DEVICE_ERROR},
               {"C_GetAttributeValue", CKR_DEVICE_ERROR},
               {"C_OpenSession", CKR_SESSION_COUNT},
               {"C_Login", CKR_PIN_LOCKED}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.function);
    PKCS11_shutdown();
    PKCS11_startup();  // forget the logged-in session
    fault().reset();
    ERR_clear_error();
    ERR_set_token_error(0, 0);
    fault().set(k.function, 0, k.rv, 0);
    CtxPtr ctx = context("pkcs11:\\p11fault\\pse");
    EXPECT_EQ(PSE_CTX_read(ctx.get()), 0);
    EXPECT_EQ(ERR_get_token_error(), k.rv);
    EXPECT_TRUE(has_reason(drain_errors(), LIB_PKCS11, R_INTERNAL_ERROR));
  }
}

TEST_F(Containers, PinCallbackGetsTheContainersCallbackData) {
  make("pkcs11:\\softhsm2\\pse");
  PKCS11_shutdown();
  PKCS11_startup();  // forget the logged-in session
  int marker = 0;
  CtxPtr ctx = context("pkcs11:\\softhsm2\\pse");
  ASSERT_EQ(PSE_CTX_set_callback_data(ctx.get(), &marker), 1);
  pin_state().calls = 0;
  ASSERT_EQ(PSE_CTX_read(ctx.get()), 1);
  EXPECT_EQ(pin_state().calls, 1);
  EXPECT_EQ(pin_state().last_arg, &marker);
}

// Writing the fresh random state fails: the open fails with the module's answer, and the
// generator that ran before is left as it was.
TEST_F(Containers, FailedRandomStateUpdateFailsTheOpen) {
  Bytes fp = make("pkcs11:\\p11fault\\pse");
  const auto* before = RAND_get_method();
  fault().set("C_SetAttributeValue", 0, CKR_DEVICE_ERROR, 0);
  ERR_set_token_error(0, 0);
  EXPECT_TRUE(open_fingerprint("pkcs11:\\p11fault\\pse").empty());
  EXPECT_EQ(RAND_get_method(), before);
  EXPECT_EQ(ERR_get_token_error(), CKR_DEVICE_ERROR);
  EXPECT_TRUE(has_reason(drain_errors(), LIB_PKCS11, R_INTERNAL_ERROR));
  fault().reset();
  EXPECT_EQ(open_fingerprint("pkcs11:\\p11fault\\pse"), fp);
}

// The same with no generator before: the one the open brought up from the container's state
// goes down again.
TEST_F(Containers, FailedRandomStateUpdateStopsAGeneratorTheOpenStarted) {
  make("pkcs11:\\p11fault\\pse");
  PSE_rand_cleanup();
  ASSERT_EQ(RAND_get_method(), nullptr);
  fault().set("C_SetAttributeValue", 0, CKR_DEVICE_ERROR, 0);
  fault().set("C_CreateObject", 0, CKR_DEVICE_ERROR, 0);
  EXPECT_TRUE(open_fingerprint("pkcs11:\\p11fault\\pse").empty());
  EXPECT_EQ(RAND_get_method(), nullptr);
  fault().reset();
  // Without the faults the open brings the generator up from the container.
  EXPECT_FALSE(open_fingerprint("pkcs11:\\p11fault\\pse").empty());
  EXPECT_NE(RAND_get_method(), nullptr);
  PSE_rand_cleanup();
  unsigned char seed[32];
  ASSERT_TRUE(platform::system_entropy(seed, sizeof seed));
  ASSERT_EQ(GRAND_start(seed, sizeof seed), 1);
  mem_cleanse(seed, sizeof seed);
}

TEST_F(Containers, TokenRemovedBetweenOperations) {
  Bytes fp = make("pkcs11:\\p11fault\\pse");
  ASSERT_FALSE(fp.empty());
  EXPECT_EQ(CADB_is_inserted("pkcs11:\\p11fault\\pse"), 1);
  fault().remove_token(1);
  ERR_set_token_error(0, 0);
  EXPECT_EQ(CADB_is_inserted("pkcs11:\\p11fault\\pse"), 0);
  EXPECT_TRUE(open_fingerprint("pkcs11:\\p11fault\\pse").empty());
  EXPECT_EQ(ERR_get_token_error(), CKR_TOKEN_NOT_PRESENT);
  EXPECT_TRUE(has_reason(drain_errors(), LIB_PKCS11, PKCS11_R_TOKEN_NOT_PRESENT));
  fault().remove_token(0);
  EXPECT_EQ(open_fingerprint("pkcs11:\\p11fault\\pse"), fp);
}

TEST_F(Containers, FileLayerOnTokenPaths) {
  make("pkcs11:\\softhsm2\\pse");
  EXPECT_EQ(CADB_file_exists("pkcs11:\\softhsm2\\pse\\mk.db3"), 1);
  EXPECT_EQ(CADB_file_exists("pkcs11:\\softhsm2\\pse\\kek.opq"), 1);
  EXPECT_EQ(CADB_erase_file("pkcs11:\\softhsm2\\pse\\kek.opq", 0, nullptr), 1);
  EXPECT_EQ(CADB_file_exists("pkcs11:\\softhsm2\\pse\\kek.opq"), 0);
  EXPECT_EQ(count("kek.opq"), 0);
  EXPECT_EQ(CADB_logout("pkcs11:\\softhsm2\\pse"), 1);
}

TEST_F(Containers, EightThreadsOpenOnOneToken) {
  Bytes fp = make("pkcs11:\\softhsm2\\pse");
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round)
        if (open_fingerprint("pkcs11:\\softhsm2\\pse") == fp) ++good;
      ERR_remove_state(0);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good.load(), 24);
  EXPECT_EQ(count("rand.opq"), 1);
  EXPECT_EQ(pin_state().calls, 1);
}

// A token-file erase logs in with the caller's call-back argument when its flags say it is one
// (the Java entry points' call-back context), and removes the private master-key item that no
// existence test could see before the login.
TEST_F(Containers, FileEraseLogsInWithTheCallersArgument) {
  struct Case {
    std::uint32_t flags;
    bool passes_arg;
  };
  for (Case k : {Case{TOKEN_FLAG_CALLBACK, true}, Case{0, false}}) {
    SCOPED_TRACE(k.flags);
    make("pkcs11:\\softhsm2\\pse");
    ASSERT_EQ(CADB_logout("pkcs11:\\softhsm2\\pse"), 1);
    int marker = 0;
    pin_state().calls = 0;
    pin_state().last_arg = nullptr;
    EXPECT_EQ(CADB_erase_file("pkcs11:\\softhsm2\\pse\\mk.db3", k.flags, &marker), 1);
    EXPECT_EQ(pin_state().calls, 1);
    EXPECT_EQ(pin_state().last_arg, k.passes_arg ? &marker : nullptr);
    EXPECT_EQ(count("mk.db3"), 0);
    EXPECT_EQ(count("masks.db3"), 1);
    // A missing item is no failure.
    EXPECT_EQ(CADB_erase_file("pkcs11:\\softhsm2\\pse\\mk.db3", k.flags, &marker), 1);
    PSE_CTX_erase(context("pkcs11:\\softhsm2\\pse").get());
    drain_errors();
  }
}

}  // namespace
}  // namespace p11test
