// Public values outside the group of order q are refused by verification and key agreement
// (they let signatures verify without the private value, or give known shared values); random
// keys and nonces are uniform on [1, q-1]; one key signs on many threads while another thread
// changes its form (run under ASan and ThreadSanitizer, see docs/r3410.md).
#include <openssl/bn.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "crypto/lock.h"
#include "crypto/pse/mask.h"
#include "crypto/pse/pse.h"
#include "crypto/r3410/r3410_local.h"
#include "tests/r3410/r3410_fixture.h"

namespace jarnel::test {
namespace {

using r3410::BnPtr;
using r3410::secret_copy;

struct Ctx {
  BN_CTX* c = BN_CTX_new();
  ~Ctx() { BN_CTX_free(c); }
};

struct SigDeleter {
  void operator()(R3410_SIG* s) const { R3410_SIG_free(s); }
};
using SigPtr = std::unique_ptr<R3410_SIG, SigDeleter>;

// A signature that verifies under y = p - 1 for any key: s = k*h, r = (a^k mod p) mod q with
// (q - r)/h even, so that y^z2 = 1.
SigPtr forge_for_minus_one(const R3410* key, const Bytes& digest) {
  Ctx ctx;
  BnPtr h(BN_bin2bn(digest.data(), static_cast<int>(digest.size()), nullptr)), hinv(BN_new()),
      k(BN_new()), z2(BN_new());
  BN_nnmod(h.get(), h.get(), key->q, ctx.c);
  BN_mod_inverse(hinv.get(), h.get(), key->q, ctx.c);
  for (unsigned w = 2; w < 200; ++w) {
    SigPtr sig(R3410_SIG_new());
    BN_set_word(k.get(), w);
    BN_mod_exp(sig->r, key->a, k.get(), key->p, ctx.c);
    BN_nnmod(sig->r, sig->r, key->q, ctx.c);
    BN_sub(z2.get(), key->q, sig->r);
    BN_mod_mul(z2.get(), z2.get(), hinv.get(), key->q, ctx.c);
    if (BN_is_odd(z2.get())) continue;
    BN_mod_mul(sig->s, k.get(), h.get(), key->q, ctx.c);
    return sig;
  }
  return nullptr;
}

// An element of p's group outside the subgroup of order q: b^q for a small b, not 1.
BnPtr wrong_order(const R3410* key) {
  Ctx ctx;
  BnPtr v(BN_new()), b(BN_new());
  for (unsigned w = 2; w < 100; ++w) {
    BN_set_word(b.get(), w);
    BN_mod_exp(v.get(), b.get(), key->q, key->p, ctx.c);
    if (!BN_is_one(v.get())) return v;
  }
  return nullptr;
}

double bn_double(const BIGNUM* b) {
  unsigned char buf[32];
  BN_bn2binpad(b, buf, 32);
  double v = 0;
  for (unsigned char x : buf) v = v * 256 + x;
  return v;
}

TEST_F(R3410Test, PublicValuesOutsideTheGroupAreRefused) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  const Bytes digest(32, 0x5A);
  SigPtr forged = forge_for_minus_one(key.get(), digest);
  ASSERT_TRUE(forged);
  BnPtr minus_one(BN_dup(key->p));
  BN_sub_word(minus_one.get(), 1);
  BnPtr small = wrong_order(key.get());
  ASSERT_TRUE(small);
  struct Case {
    const char* name;
    const BIGNUM* y;
  } cases[] = {{"p - 1", minus_one.get()}, {"order not q", small.get()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeyPtr victim(R3410_new());
    ASSERT_EQ(R3410_set_params(victim.get(), R3410_SEL_CP_A), 1);
    victim->y = BN_dup(c.y);
    ERR_clear_error();
    EXPECT_EQ(R3410_do_verify(forged.get(), victim.get(), digest.data(), 32), -1);
    EXPECT_TRUE(has_error(drain_errors(), LIB_GOSTS, R3410_F_DO_VERIFY,
                          R3410_R_INVALID_PUBLIC_VALUE));
    // The same values as a key-agreement peer.
    R3410_DH* dh = R3410_DH_from_key(key.get());
    ASSERT_TRUE(dh);
    const int n = R3410_DH_size(dh);
    Bytes peer = bn_bytes(c.y, n), out(static_cast<std::size_t>(n));
    ERR_clear_error();
    EXPECT_EQ(R3410_DH_compute_key(dh, peer.data(), n, out.data(), n), 0);
    EXPECT_TRUE(has_error(drain_errors(), LIB_GOSTS, R3410_F_DH_COMPUTE_KEY,
                          R3410_R_INVALID_PUBLIC_VALUE));
    R3410_DH_free(dh);
  }
  // A sound y still verifies (and the remembered check follows a change of y).
  Bytes sig(64);
  unsigned len = 0;
  ASSERT_EQ(R3410_sign(R3410_SIG_RS, key.get(), digest.data(), 32, sig.data(), &len), 1);
  EXPECT_EQ(R3410_verify(R3410_SIG_RS, key.get(), digest.data(), 32, sig.data(), 64), 1);
  BN_free(key->y);
  key->y = BN_dup(minus_one.get());
  EXPECT_EQ(R3410_verify(R3410_SIG_RS, key.get(), digest.data(), 32, sig.data(), 64), 0);
}

// The share of values below 2^256 - q on CryptoPro-A is that of the uniform distribution on
// [1, q-1], not the doubled share of a plain reduction of 256 random bits.
TEST_F(R3410Test, RandomKeysAndNoncesAreUniform) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  Ctx ctx;
  BnPtr bound(BN_new());
  BN_set_bit(bound.get(), 256);
  BN_sub(bound.get(), bound.get(), key->q);
  const double want = bn_double(bound.get()) / bn_double(key->q);
  const double biased = 2 * bn_double(bound.get()) / std::ldexp(1.0, 256);
  ASSERT_GT(biased - want, 0.1);
  constexpr int kDraws = 3000;
  int keys_below = 0, nonces_below = 0;
  const Bytes digest(32, 0x33);
  BnPtr h(BN_bin2bn(digest.data(), 32, nullptr)), hinv(BN_new()), x(BN_new()), k(BN_new()),
      t(BN_new());
  BN_nnmod(h.get(), h.get(), key->q, ctx.c);
  BN_mod_inverse(hinv.get(), h.get(), key->q, ctx.c);
  for (int i = 0; i < kDraws; ++i) {
    ASSERT_EQ(R3410_generate_key(key.get(), nullptr, 0), 1);
    BnPtr xv = secret_copy(key->x);
    keys_below += BN_cmp(xv.get(), bound.get()) < 0;
  }
  BnPtr xv = secret_copy(key->x);
  for (int i = 0; i < kDraws; ++i) {
    SigPtr s(R3410_do_sign(key.get(), digest.data(), 32));
    ASSERT_TRUE(s);
    // k = (s - x*r) / h mod q
    BN_mod_mul(t.get(), xv.get(), s->r, key->q, ctx.c);
    BN_mod_sub(k.get(), s->s, t.get(), key->q, ctx.c);
    BN_mod_mul(k.get(), k.get(), hinv.get(), key->q, ctx.c);
    nonces_below += BN_cmp(k.get(), bound.get()) < 0;
  }
  EXPECT_NEAR(keys_below / double(kDraws), want, 0.04);
  EXPECT_NEAR(nonces_below / double(kDraws), want, 0.04);
}

TEST_F(R3410Test, SigningWhileTheKeyChangesForm) {
  ASSERT_EQ(CRYPTO_create_lock_table(), 1);  // installed by the start-up already; kept
  PSE* pse = PSE_new();
  ASSERT_TRUE(pse);
  const Bytes kek = hex("8182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9fa0");
  ASSERT_EQ(PSE_set_kek(pse, kek.data()), 1);
  KeyPtr key = make_key(R3410_SEL_CP_A);
  const Bytes digest(32, 0x21);
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0}, bad{0};
  std::vector<std::thread> signers;
  for (int t = 0; t < 8; ++t) {
    signers.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        if ((i + t) % 3 == 0) R3410_sign_setup(key.get());
        SigPtr s(R3410_do_sign(key.get(), digest.data(), 32));
        if (s) {
          ++ok;
          if (R3410_do_verify(s.get(), key.get(), digest.data(), 32) != 1) ++bad;
        }
        ERR_clear_error();
      }
    });
  }
  std::thread converter([&] {
    while (!stop) {
      R3410_encrypt_opaque(key.get(), pse);
      R3410_decrypt_opaque(key.get(), pse);
      ERR_clear_error();
    }
  });
  for (auto& th : signers) th.join();
  stop = true;
  converter.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(ok.load(), 0);
  ASSERT_EQ(R3410_decrypt_opaque(key.get(), pse), 1);
  SigPtr s(R3410_do_sign(key.get(), digest.data(), 32));
  ASSERT_TRUE(s);
  EXPECT_EQ(R3410_do_verify(s.get(), key.get(), digest.data(), 32), 1);
  key.reset();
  PSE_free(pse);
}

}  // namespace
}  // namespace jarnel::test
