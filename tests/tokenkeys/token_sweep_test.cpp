// Allocation-failure sweeps (tests/robust/sweep.h) over keys on the GOST test module: reading a
// pair by name (open, login, find), signing and VKO on the token; generating a pair, committing
// it by name, importing a software key and storing a certificate. Every run ends in success or
// a clean failure, leaks nothing (LeakSanitizer in the asan preset), leaves what the token
// stored as it was (no stray object, nothing lost, a failed write can be retried), and no copy
// of the PIN, the VKO result or an imported private key is found in freed memory. The module's
// own allocations are its business; the library's and OpenSSL's are counted.
#include <openssl/bn.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/mem.h"
#include "crypto/pkcs11/token_keys.h"
#include "crypto/startup.h"
#include "gost_module.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/pkcs11/store.h"
#include "crypto/pse/mask.h"
#include "tests/robust/sweep.h"

using namespace jarnel;
using namespace gosttest;

namespace {

constexpr char kContainer[] = "pkcs11:\\pkcs11gost\\container";
constexpr char kKeyPath[] = "pkcs11:\\pkcs11gost\\sweep";
constexpr char kPin[] = "1234";

int pin_cb(char* buf, int size, int, void*) {
  if (size < 4) return -1;
  std::memcpy(buf, kPin, 4);
  return 4;
}

struct TokenKey {
  PKCS11_TOKEN_KEY k{};
  ~TokenKey() { PKCS11_TOKEN_KEY_clear(&k); }
};

class TokenSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    jarnel_process_attach();
    mem_watch::install_library();
  }
  void SetUp() override {
    ASSERT_TRUE(module().load()) << dlerror();
    setenv("JARNEL_LIBRARY_PATH", SIM_DIR, 1);
    unsetenv("PKCS11GOST_PIN");
    module().control("reset");
    PKCS11_set_default_passwd_cb(pin_cb);
    ERR_clear_error();
  }
  void TearDown() override {
    mem_watch::unwatch();
    PKCS11_shutdown();
    PKCS11_startup();
    module().control("reset");
    ERR_clear_error();
  }
  TokenDir dir_;
};

TEST_F(TokenSweep, ReadSignDerive) {
  {
    TokenKey made;
    ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, NID_CP_2001_A, &made.k));
    ASSERT_TRUE(PKCS11_write_key(kKeyPath, kContainer, nullptr, &made.k));
  }
  TokenKey key;
  ASSERT_TRUE(PKCS11_read_key(kKeyPath, nullptr, nullptr, 0, &key.k));
  ASSERT_TRUE(key.k.method->derive);
  Owned<ECURVE> curve(ECURVE_by_number(ECURVE_CP_A));
  Owned<ECGOST> peer(ECGOST_new(curve.get()));
  ASSERT_TRUE(peer);
  ECGOST_set_paramsets(peer.get(), NID_CP_2001_A, NID_CP_R3411_94_PARAMSET, NID_CP_28147_A);
  ASSERT_TRUE(ECGOST_key_pair_generation(peer.get()));
  const unsigned char ukm[8] = {3, 1, 4, 1, 5, 9, 2, 6};
  unsigned char shared[32];
  ASSERT_TRUE(ECGOST_vko_kek(peer.get(), ECGOST_get_public(key.k.key), ukm, shared));
  const unsigned char digest[32] = {7, 7, 7, 7, 7};

  TokenKey got;
  const robust::Row rows[] = {
      {"token key read (open, login, find)",
       [&] {
         PKCS11_TOKEN_KEY_clear(&got.k);
         // A fresh library state, so each run opens and logs in again.
         PKCS11_shutdown();
         PKCS11_startup();
         PKCS11_set_default_passwd_cb(pin_cb);
         mem_watch::watch("PIN", {reinterpret_cast<const unsigned char*>(kPin), 4});
       },
       [&] { return PKCS11_read_key(kKeyPath, nullptr, nullptr, 0, &got.k) == 1; },
       [&](bool ok) {
         if (ok) {
           EXPECT_EQ(ECPOINT_cmp(ECGOST_get_public(got.k.key), ECGOST_get_public(key.k.key)), 0);
         } else {
           EXPECT_EQ(got.k.token, nullptr);
           EXPECT_EQ(got.k.key, nullptr);
         }
         PKCS11_TOKEN_KEY_clear(&got.k);
       }},
      {"token key sign", [] {},
       [&] {
         unsigned char sig[64];
         std::size_t n = sizeof sig;
         return key.k.method->sign(key.k.token, PKCS11_SIG_TYPE_CP, digest, 32, sig, &n) == 1 &&
                n == 64 && ECGOST_verify(ECGOST_SIG_CP, digest, 32, sig, 64, key.k.key) == 1;
       },
       [](bool) {}},
      {"token key VKO", [&] { mem_watch::watch("VKO shared key", {shared, 32}); },
       [&] {
         unsigned char out[32] = {};
         std::size_t n = sizeof out;
         const bool ok = key.k.method->derive(key.k.token, 271, ECGOST_get_public(peer.get()), ukm,
                                              out, &n) == 1 &&
                         n == 32 && !std::memcmp(out, shared, 32);
         mem_cleanse(out, sizeof out);
         return ok;
       },
       [](bool) {}},
  };
  for (const auto& row : rows) robust::sweep(row);
  mem_cleanse(shared, sizeof shared);
  // The stored pair is still there and whole.
  TokenKey after;
  EXPECT_TRUE(PKCS11_read_key(kKeyPath, nullptr, nullptr, 0, &after.k));
}

long token_objects() { return module().calls("token objects"); }

TEST_F(TokenSweep, GenerateCommitImportCertificate) {
  constexpr char kGenPath[] = "pkcs11:\\pkcs11gost\\generated";
  constexpr char kImportName[] = "imported";
  constexpr char kImportPath[] = "pkcs11:\\pkcs11gost\\imported";
  constexpr char kCertPath[] = "pkcs11:\\pkcs11gost\\sweepcert";

  // A software pair to import, and an older one stored under the same name first.
  Owned<ECURVE> curve(ECURVE_by_number(ECURVE_CP_A));
  Owned<ECGOST> soft(ECGOST_new(curve.get())), older(ECGOST_new(curve.get()));
  ASSERT_TRUE(soft && older);
  for (ECGOST* k : {soft.get(), older.get()}) {
    ECGOST_set_paramsets(k, NID_CP_2001_A, NID_CP_R3411_94_PARAMSET, NID_CP_28147_A);
    ASSERT_TRUE(ECGOST_key_pair_generation(k));
  }
  unsigned char d[32];
  {
    Owned<BIGNUM> bn(BN_new());
    ASSERT_TRUE(bn && ECGOST_get_private(soft.get(), bn.get()) &&
                BN_bn2binpad(bn.get(), d, sizeof d) == 32);
  }
  // A certificate to store (its key does not matter to the token).
  const std::string der_file = dir_.path().string() + "/cert.der";
  const std::string out = run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                              "-subj /CN=sweep -days 1 -keyout " + dir_.path().string() +
                              "/k.pem -outform DER -out " + der_file);
  std::ifstream f(der_file, std::ios::binary);
  const Bytes cert((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(cert.empty()) << out;

  auto is_stored = [](const char* path, const ECGOST* expect) {
    TokenKey k;
    return PKCS11_read_key(path, nullptr, nullptr, 0, &k.k) == 1 &&
           ECPOINT_cmp(ECGOST_get_public(k.k.key), ECGOST_get_public(expect)) == 0;
  };
  auto stored_category = [&] {
    CK_ULONG category = 0;
    unsigned char* got = nullptr;
    std::size_t len = 0;
    if (!PKCS11_read_certificate(kCertPath, nullptr, &category, &got, &len)) return 0UL;
    const bool same = Bytes(got, got + len) == cert;
    mem_free(got);
    return same ? category : 0UL;
  };

  TokenKey gen;
  Owned<ECGOST> older_gen(ECGOST_new(curve.get()));
  ASSERT_TRUE(older_gen);
  long base = 0;
  struct Conn {
    PKCS11_OBJECT* c = nullptr;
    ~Conn() { PKCS11_OBJECT_free(c); }
  } conn;
  const robust::Row rows[] = {
      {"token key generate",
       [&] {
         PKCS11_TOKEN_KEY_clear(&gen.k);
         base = token_objects();
       },
       [&] { return PKCS11_generate_key(kContainer, nullptr, 271, NID_CP_2001_A, &gen.k) == 1; },
       [&](bool ok) {
         if (ok) {
           // Committed and deleted again, so the token is back where it was.
           EXPECT_EQ(token_objects(), base + 2);
           EXPECT_TRUE(PKCS11_write_key(kGenPath, kContainer, nullptr, &gen.k));
           EXPECT_TRUE(PKCS11_delete_by_path(kGenPath));
         } else {
           EXPECT_EQ(gen.k.key, nullptr);
         }
         EXPECT_EQ(token_objects(), base) << "a generation left objects behind";
         PKCS11_TOKEN_KEY_clear(&gen.k);
       }},
      {"token key commit by name",
       [&] {
         // An older pair holds the name; the fresh one replaces it.
         PKCS11_TOKEN_KEY_clear(&gen.k);
         ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, NID_CP_2001_A, &gen.k));
         ASSERT_TRUE(PKCS11_write_key(kGenPath, kContainer, nullptr, &gen.k));
         PKCS11_TOKEN_KEY_clear(&gen.k);
         ASSERT_TRUE(PKCS11_read_key(kGenPath, nullptr, nullptr, 0, &gen.k));
         ASSERT_TRUE(ECGOST_set_public(older_gen.get(), ECGOST_get_public(gen.k.key)));
         PKCS11_TOKEN_KEY_clear(&gen.k);
         ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, NID_CP_2001_A, &gen.k));
         base = token_objects();
       },
       [&] { return PKCS11_write_key(kGenPath, kContainer, nullptr, &gen.k) == 1; },
       [&](bool ok) {
         EXPECT_EQ(token_objects(), ok ? base - 2 : base);
         if (!ok) {
           // Nothing was lost, and a failed commit can be made again with the same key.
           EXPECT_TRUE(is_stored(kGenPath, older_gen.get()));
           EXPECT_TRUE(PKCS11_write_key(kGenPath, kContainer, nullptr, &gen.k));
         }
         EXPECT_TRUE(is_stored(kGenPath, gen.k.key));
         EXPECT_TRUE(PKCS11_delete_by_path(kGenPath));
         PKCS11_TOKEN_KEY_clear(&gen.k);
       }},
      {"token key import",
       [&] {
         PKCS11_OBJECT_free(conn.c);
         conn.c = PKCS11_OBJECT_new();
         ASSERT_TRUE(conn.c && PKCS11_OBJECT_set_path(conn.c, kContainer) && PKCS11_open(conn.c) &&
                     PKCS11_login(conn.c, 0));
         ASSERT_TRUE(PKCS11_import_key(conn.c, kImportName, older.get()));
         base = token_objects();
         ERR_clear_error();
         mem_watch::watch("imported private key", {d, sizeof d});
       },
       [&] { return PKCS11_import_key(conn.c, kImportName, soft.get()) == 1; },
       [&](bool ok) {
         EXPECT_EQ(token_objects(), base);
         // Either the new key is stored under the name or the older one still is.
         EXPECT_TRUE(is_stored(kImportPath, ok ? soft.get() : older.get()));
         EXPECT_TRUE(PKCS11_delete_by_path(kImportPath));
         PKCS11_OBJECT_free(conn.c);
         conn.c = nullptr;
       }},
      {"token certificate write",
       [&] {
         ASSERT_TRUE(PKCS11_write_certificate(kCertPath, nullptr, 1, cert.data(), cert.size()));
         base = token_objects();
       },
       [&] { return PKCS11_write_certificate(kCertPath, nullptr, 2, cert.data(), cert.size()) == 1; },
       [&](bool ok) {
         EXPECT_EQ(token_objects(), base) << "a name holds two certificates, or none";
         EXPECT_EQ(stored_category(), ok ? 2UL : 1UL);
       }},
  };
  for (const auto& row : rows) robust::sweep(row);
  mem_cleanse(d, sizeof d);
  EXPECT_EQ(module().calls("session objects"), 0) << "a session key stayed on the token";
}

// A container's master key and KEK as the container at kContainer now holds them.
bool stored_container_keys(unsigned char mk[32], unsigned char kek[32]) {
  PSE_CTX* ctx = PSE_CTX_new();
  // Exporting reads the items themselves; otherwise a token container's keys stay on the token.
  bool ok = ctx && PSE_CTX_set_path(ctx, kContainer, 0) == 1 &&
            PSE_CTX_set_flags(ctx, 1 | PSE_CTX_FLAG_EXPORT) == 1 && PSE_CTX_read(ctx) == 1 &&
            PSE_CTX_get_pse(ctx) && MASK_key_get(&PSE_CTX_get_pse(ctx)->mkey, mk) &&
            MASK_key_get(&PSE_CTX_get_pse(ctx)->kek, kek);
  PSE_CTX_free(ctx);
  return ok;
}

TEST_F(TokenSweep, ContainerDeleteAndListOnTheToken) {
  constexpr char kDoomed[] = "pkcs11:\\pkcs11gost\\doomed";
  struct Ctx {
    PSE_CTX* c = nullptr;
    ~Ctx() { PSE_CTX_free(c); }
    void reset(PSE_CTX* n = nullptr) {
      PSE_CTX_free(c);
      c = n;
    }
  } ctx;
  auto fresh = [&] {
    ctx.reset(PSE_CTX_new());
    return ctx.c && PSE_CTX_set_path(ctx.c, kContainer, 0) == 1;
  };
  // The container the token holds at start, and its keys.
  ASSERT_TRUE(fresh() && PSE_CTX_generate(ctx.c) == 1 && PSE_CTX_write(ctx.c) == 1);
  unsigned char mk[32], kek[32], new_mk[32], new_kek[32], got_mk[32], got_kek[32];
  ASSERT_TRUE(stored_container_keys(mk, kek));
  ctx.reset();
  long base = 0;
  int listed = 0, listed_untouched = -1;
  auto count = [](const char*, void* arg) {
    ++*static_cast<int*>(arg);
    return 1;
  };
  const unsigned all = PKCS11_LIST_RECURSE | PKCS11_LIST_PRIVATE_KEYS | PKCS11_LIST_PUBLIC_KEYS |
                       PKCS11_LIST_CERTIFICATES;
  const robust::Row rows[] = {
      {"token container write",
       [&] {
         ASSERT_TRUE(fresh() && PSE_CTX_generate(ctx.c) == 1);
         ASSERT_TRUE(MASK_key_get(&PSE_CTX_get_pse(ctx.c)->mkey, new_mk) &&
                     MASK_key_get(&PSE_CTX_get_pse(ctx.c)->kek, new_kek));
         mem_watch::watch("master key", {new_mk, 32});
         mem_watch::watch("KEK", {new_kek, 32});
         base = token_objects();
       },
       [&] { return PSE_CTX_write(ctx.c) == 1; },
       [&](bool ok) {
         ctx.reset();
         // One object per item, the new container's or the old one's, never a mixture.
         EXPECT_EQ(token_objects(), base);
         ASSERT_TRUE(stored_container_keys(got_mk, got_kek));
         EXPECT_EQ(0, std::memcmp(got_mk, ok ? new_mk : mk, 32));
         EXPECT_EQ(0, std::memcmp(got_kek, ok ? new_kek : kek, 32));
         if (ok) {
           std::memcpy(mk, new_mk, 32);
           std::memcpy(kek, new_kek, 32);
         }
       }},
      {"token container open (export)",
       [&] {
         ASSERT_TRUE(fresh() && PSE_CTX_set_flags(ctx.c, 1 | PSE_CTX_FLAG_EXPORT));
         mem_watch::watch("master key", {mk, 32});
         mem_watch::watch("KEK", {kek, 32});
         base = token_objects();
       },
       [&] { return PSE_CTX_read(ctx.c) == 1; },
       [&](bool ok) {
         if (!ok) {
           EXPECT_EQ(PSE_CTX_get_pse(ctx.c), nullptr);
         }
         ctx.reset();
         EXPECT_EQ(token_objects(), base);
       }},
      {"token delete by path",
       [&] {
         TokenKey k;
         ASSERT_TRUE(PKCS11_generate_key(kContainer, nullptr, 271, NID_CP_2001_A, &k.k));
         ASSERT_TRUE(PKCS11_write_key(kDoomed, kContainer, nullptr, &k.k));
         base = token_objects();
       },
       [&] { return PKCS11_delete_by_path(kDoomed) == 1; },
       [&](bool ok) {
         // The pair goes whole or stays whole.
         EXPECT_EQ(token_objects(), ok ? base - 2 : base);
         TokenKey k;
         EXPECT_EQ(PKCS11_read_key(kDoomed, nullptr, nullptr, 0, &k.k) == 1, !ok);
         ERR_clear_error();
         if (!ok) {
           EXPECT_TRUE(PKCS11_delete_by_path(kDoomed));
         }
       }},
      {"token list",
       [&] {
         if (listed_untouched < 0) {
           int n = 0;
           ASSERT_TRUE(PKCS11_list_objects("pkcs11:\\pkcs11gost", all, count, &n));
           listed_untouched = n;
         }
         listed = 0;
       },
       [&] { return PKCS11_list_objects("pkcs11:\\pkcs11gost", all, count, &listed) == 1; },
       [&](bool ok) {
         if (ok) {
           EXPECT_EQ(listed, listed_untouched);
         }
       }},
  };
  for (const auto& row : rows) robust::sweep(row);
  for (unsigned char* b : {mk, kek, new_mk, new_kek, got_mk, got_kek}) mem_cleanse(b, 32);
}

}  // namespace
