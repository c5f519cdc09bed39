// The private value in the key container's protected form (36 bytes under the container's KEK),
// with a real in-memory container.
#include <openssl/bn.h>

#include <cstring>

#include "crypto/check/check.h"
#include "crypto/pse/pse.h"
#include "crypto/r3410/r3410_local.h"
#include "tests/r3410/r3410_fixture.h"

namespace jarnel::test {
namespace {

struct PseDeleter {
  void operator()(PSE* p) const { PSE_free(p); }
};
using PsePtr = std::unique_ptr<PSE, PseDeleter>;

class R3410OpaqueTest : public R3410Test {
 protected:
  void SetUp() override {
    R3410Test::SetUp();
    pse_.reset(PSE_new());
    ASSERT_TRUE(pse_);
    const Bytes kek = hex("8182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9fa0");
    ASSERT_EQ(PSE_set_kek(pse_.get(), kek.data()), 1);
  }
  // The 36-byte form the container makes of 32 clear bytes.
  Bytes sealed(const Bytes& clear) {
    Bytes out(36);
    EXPECT_TRUE(PSE_write_opaque(pse_.get(), clear.data(), out.data()));
    return out;
  }
  PsePtr pse_;
};

Bytes private_bytes(const R3410* key) {
  Bytes x(32);
  EXPECT_EQ(R3410_get_private_key(key, x.data(), 32), 1);
  return x;
}

Bytes key_form(const R3410* key) {
  Bytes out = private_bytes(key);
  Bytes mac = bn_bytes(key->key_mac, 4);
  out.insert(out.end(), mac.begin(), mac.end());
  return out;
}

TEST_F(R3410OpaqueTest, EncryptThenDecryptRestoresTheKey) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  const Bytes x = private_bytes(key.get());
  ASSERT_EQ(R3410_encrypt_opaque(key.get(), pse_.get()), 1);
  ASSERT_TRUE(key->key_mac);
  EXPECT_EQ(key->pse, pse_.get());
  EXPECT_EQ(pse_->references, 2);
  EXPECT_EQ(key_form(key.get()), sealed(x));

  // Decryption without an argument uses the remembered container.
  ASSERT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 1);
  EXPECT_FALSE(key->key_mac);
  EXPECT_EQ(private_bytes(key.get()), x);
  Bytes digest(32, 3);
  R3410_SIG* sig = R3410_do_sign(key.get(), digest.data(), 32);
  ASSERT_TRUE(sig);
  EXPECT_EQ(R3410_do_verify(sig, key.get(), digest.data(), 32), 1);
  R3410_SIG_free(sig);
  key.reset();
  EXPECT_EQ(pse_->references, 1);
}

TEST_F(R3410OpaqueTest, ASecondEncryptionChangesNothing) {
  KeyPtr key = make_key(R3410_SEL_CP_B);
  ASSERT_EQ(R3410_encrypt_opaque(key.get(), pse_.get()), 1);
  const Bytes form = key_form(key.get());
  PsePtr other(PSE_new());
  ASSERT_EQ(R3410_encrypt_opaque(key.get(), other.get()), 1);
  EXPECT_EQ(key_form(key.get()), form);
  EXPECT_EQ(other->references, 1);
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 1);
  const Bytes x = private_bytes(key.get());
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 1);  // already clear: no change
  EXPECT_EQ(private_bytes(key.get()), x);
}

TEST_F(R3410OpaqueTest, FailuresKeepTheKeyAsItWas) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  const Bytes x = private_bytes(key.get());
  // No container at all.
  EXPECT_EQ(R3410_encrypt_opaque(key.get(), nullptr), 0);
  EXPECT_TRUE(has_error(drain_errors(), 65, 120, 74));
  // A container without a KEK cannot protect anything.
  PsePtr empty(PSE_new());
  EXPECT_EQ(R3410_encrypt_opaque(key.get(), empty.get()), 0);
  EXPECT_FALSE(key->key_mac);
  EXPECT_EQ(private_bytes(key.get()), x);
  drain_errors();
  key.reset();  // lets go of the remembered empty container
  EXPECT_EQ(empty->references, 1);

  key = make_key(R3410_SEL_CP_A);
  ASSERT_EQ(R3410_encrypt_opaque(key.get(), pse_.get()), 1);
  const Bytes form = key_form(key.get());
  BN_add_word(key->key_mac, 1);  // a check value that no longer matches
  ERR_clear_error();
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 0);
  EXPECT_TRUE(key->key_mac);
  EXPECT_EQ(ERR_get_status(), PSE_STATUS_INVALID_MAC);
  auto q = drain_errors();
  EXPECT_TRUE(has_error(q, 74, 104, 100));
  EXPECT_TRUE(has_error(q, 65, 119, 74));
}

TEST_F(R3410OpaqueTest, ContainerKeyGenerationReturnsTheProtectedPair) {
  unsigned char priv[36], pub[128];
  ASSERT_EQ(R3410_pse_generate(pse_.get(), R3410_SEL_CP_XCHB, priv, pub), 1);
  EXPECT_EQ(pse_->references, 1);  // the temporary key let its reference go
  // The container opens the private part; its public value is the one returned.
  unsigned char x[32];
  ASSERT_TRUE(PSE_read_opaque(pse_.get(), priv, x));
  KeyPtr key(R3410_new());
  R3410_set_params(key.get(), R3410_SEL_CP_XCHB);
  ASSERT_EQ(R3410_set_private_key(key.get(), x, 32), 1);
  ASSERT_EQ(R3410_generate_pubkey(key.get()), 1);
  EXPECT_EQ(bn_bytes(key->y, 128), Bytes(pub, pub + 128));
}

TEST_F(R3410OpaqueTest, ContainerKeyGenerationFailuresReturnNothing) {
  unsigned char priv[36], pub[128];
  std::memset(priv, 0xEE, sizeof priv);
  EXPECT_EQ(R3410_pse_generate(nullptr, R3410_SEL_CP_A, priv, pub), 0);
  EXPECT_EQ(ERR_get_status(), 1u);
  EXPECT_TRUE(has_error(drain_errors(), 78, 121, 108));
  ERR_clear_error();
  EXPECT_EQ(R3410_pse_generate(pse_.get(), 2, priv, pub), 0);
  EXPECT_EQ(ERR_get_status(), 13u);
  EXPECT_TRUE(has_error(drain_errors(), 78, 121, 78));
  ERR_clear_error();
  PsePtr empty(PSE_new());
  EXPECT_EQ(R3410_pse_generate(empty.get(), R3410_SEL_CP_A, priv, pub), 0);
  EXPECT_EQ(ERR_get_status(), 14u);
  EXPECT_EQ(empty->references, 1);
  EXPECT_EQ(priv[0], 0xEE);

  // The key-agreement self-test guards container key generation as well.
  ERR_clear_error();
  unsigned char& byte = r3410::rfc_table()[5].p[100];
  ASSERT_EQ(R3410_params_check(), 1);
  byte ^= 0x20;
  CHECK_reset_times();
  EXPECT_EQ(R3410_pse_generate(pse_.get(), R3410_SEL_CP_A, priv, pub), 0);
  byte ^= 0x20;
  CHECK_reset_times();
  EXPECT_TRUE(has_error(drain_errors(), 78, 138, 11));
  EXPECT_EQ(priv[0], 0xEE);
}

}  // namespace
}  // namespace jarnel::test
