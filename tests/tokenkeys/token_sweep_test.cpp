// Allocation-failure sweeps (tests/robust/sweep.h) over keys on the GOST test module: reading a
// pair by name (open, login, find), signing and VKO on the token. Every run ends in success or
// a clean failure, leaks nothing (LeakSanitizer in the asan preset), leaves the stored pair as
// it was, and no copy of the PIN or the VKO result is found in freed memory. The module's own
// allocations are its business; the library's and OpenSSL's are counted.
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/mem.h"
#include "crypto/pkcs11/token_keys.h"
#include "crypto/startup.h"
#include "gost_module.h"
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

}  // namespace
