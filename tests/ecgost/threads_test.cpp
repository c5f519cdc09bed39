// One key used from many threads while another thread turns it into its container-encrypted
// form and back: signing either succeeds with a valid signature or fails cleanly, and nothing
// reads the private value or the one-time pair while they are replaced (run under ASan and
// ThreadSanitizer, see docs/ecgost.md).
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <atomic>
#include <thread>
#include <vector>

#include "crypto/ecgost/ec_local.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/pse/pse.h"
#include "test_util.h"

using namespace jarnel;
using namespace ectest;

TEST(EcgostThreads, SigningWhileTheKeyChangesForm) {
  ASSERT_EQ(CRYPTO_create_lock_table(), 1);  // installed by the start-up already; kept
  PSE* pse = PSE_new();
  ASSERT_TRUE(pse);
  unsigned char kek[32];
  for (int i = 0; i < 32; ++i) kek[i] = static_cast<unsigned char>(0x81 + i);
  ASSERT_EQ(PSE_set_kek(pse, kek), 1);
  Key key = cp_key(NID_CP_2001_A);
  Key pub(ECGOST_new(key->curve));
  ASSERT_TRUE(ECGOST_set_public(pub.get(), ECGOST_get_public(key.get())));
  unsigned char dgst[32] = {0x42, 0x17};
  std::atomic<bool> stop{false};
  std::atomic<int> signed_ok{0}, bad{0};
  std::vector<std::thread> signers;
  for (int t = 0; t < 8; ++t) {
    signers.emplace_back([&, t] {
      for (int i = 0; i < 60; ++i) {
        if ((i + t) % 3 == 0) ECGOST_sign_setup(key.get(), nullptr, 0);
        Sig s(ECGOST_do_sign(dgst, 32, key.get()));
        if (s) {
          ++signed_ok;
          if (ECGOST_do_verify(dgst, 32, s.get(), pub.get()) != 1) ++bad;
        }
        if (t == 0) {
          unsigned char der[256];
          unsigned char* p = der;
          if (i2d_ECGOSTPRIVATEKEY(key.get(), nullptr) > 0) i2d_ECGOSTPRIVATEKEY(key.get(), &p);
        }
        ERR_clear_error();
      }
    });
  }
  std::thread converter([&] {
    while (!stop) {
      ECGOST_encrypt_opaque(key.get(), pse);
      ECGOST_decrypt_opaque(key.get(), pse);
      ERR_clear_error();
    }
  });
  for (auto& th : signers) th.join();
  stop = true;
  converter.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(signed_ok.load(), 0);
  ASSERT_TRUE(ECGOST_decrypt_opaque(key.get(), pse) || ECGOST_has_private(key.get()));
  Sig s(ECGOST_do_sign(dgst, 32, key.get()));
  ASSERT_TRUE(s);
  EXPECT_EQ(ECGOST_do_verify(dgst, 32, s.get(), pub.get()), 1);
  key.reset();
  PSE_free(pse);
}
