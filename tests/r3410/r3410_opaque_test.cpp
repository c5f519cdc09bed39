// The private value in the key container's protected form, with a stand-in container whose
// form is easy to check: the 32 bytes XORed with 0xA5, then a 4-byte sum of the clear bytes.
#include <openssl/bn.h>

#include <cstring>

#include "crypto/r3410/r3410_local.h"
#include "tests/r3410/r3410_fixture.h"

namespace jarnel {
struct PSE {
  int refs;
  bool fail;
};
}  // namespace jarnel

namespace jarnel::test {
namespace {

std::uint32_t sum(const unsigned char* p) {
  std::uint32_t s = 0x12345678;
  for (int i = 0; i < 32; ++i) s = s * 31 + p[i];
  return s;
}

int write_opaque(PSE* pse, const unsigned char in[32], unsigned char out[36]) {
  if (pse->fail) return 0;
  for (int i = 0; i < 32; ++i) out[i] = in[i] ^ 0xA5;
  const std::uint32_t s = sum(in);
  for (int i = 0; i < 4; ++i) out[32 + i] = static_cast<unsigned char>(s >> (24 - 8 * i));
  return 1;
}
int read_opaque(PSE* pse, const unsigned char in[36], unsigned char out[32]) {
  if (pse->fail) return 0;
  for (int i = 0; i < 32; ++i) out[i] = in[i] ^ 0xA5;
  unsigned char mac[4];
  const std::uint32_t s = sum(out);
  for (int i = 0; i < 4; ++i) mac[i] = static_cast<unsigned char>(s >> (24 - 8 * i));
  return std::memcmp(mac, in + 32, 4) == 0;
}
void up_ref(PSE* pse) { ++pse->refs; }
void release(PSE* pse) { --pse->refs; }
const R3410_PSE_METHOD kFakeContainer = {write_opaque, read_opaque, up_ref, release};

class R3410OpaqueTest : public R3410Test {
 protected:
  void SetUp() override {
    R3410Test::SetUp();
    R3410_set_pse_method(&kFakeContainer);
  }
  void TearDown() override {
    R3410_set_pse_method(nullptr);
    R3410Test::TearDown();
  }
  PSE pse_{0, false};
};

Bytes private_bytes(const R3410* key) {
  Bytes x(32);
  EXPECT_EQ(R3410_get_private_key(key, x.data(), 32), 1);
  return x;
}

TEST_F(R3410OpaqueTest, EncryptThenDecryptRestoresTheKey) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  const Bytes x = private_bytes(key.get());
  ASSERT_EQ(R3410_encrypt_opaque(key.get(), &pse_), 1);
  ASSERT_TRUE(key->key_mac);
  EXPECT_EQ(key->pse, &pse_);
  EXPECT_EQ(pse_.refs, 1);
  Bytes enc = private_bytes(key.get());
  for (int i = 0; i < 32; ++i) EXPECT_EQ(enc[i], x[i] ^ 0xA5);
  EXPECT_EQ(BN_get_word(key->key_mac), sum(x.data()));

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
  EXPECT_EQ(pse_.refs, 0);
}

TEST_F(R3410OpaqueTest, ASecondEncryptionChangesNothing) {
  KeyPtr key = make_key(R3410_SEL_CP_B);
  ASSERT_EQ(R3410_encrypt_opaque(key.get(), &pse_), 1);
  const Bytes enc = private_bytes(key.get());
  const BN_ULONG mac = BN_get_word(key->key_mac);
  PSE other{0, false};
  ASSERT_EQ(R3410_encrypt_opaque(key.get(), &other), 1);
  EXPECT_EQ(private_bytes(key.get()), enc);
  EXPECT_EQ(BN_get_word(key->key_mac), mac);
  EXPECT_EQ(other.refs, 0);
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 1);
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 1);  // already clear: no change
}

TEST_F(R3410OpaqueTest, FailuresKeepTheKeyAsItWas) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  const Bytes x = private_bytes(key.get());
  // No container at all.
  EXPECT_EQ(R3410_encrypt_opaque(key.get(), nullptr), 0);
  EXPECT_TRUE(has_error(drain_errors(), 65, 120, 74));
  // A container that refuses.
  PSE failing{0, true};
  EXPECT_EQ(R3410_encrypt_opaque(key.get(), &failing), 0);
  EXPECT_FALSE(key->key_mac);
  EXPECT_EQ(private_bytes(key.get()), x);
  drain_errors();
  key->pse = nullptr;  // forget the refusing one (its reference is counted in failing.refs)

  ASSERT_EQ(R3410_encrypt_opaque(key.get(), &pse_), 1);
  BN_add_word(key->key_mac, 1);  // a check value that no longer matches
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 0);
  EXPECT_TRUE(key->key_mac);
  EXPECT_TRUE(has_error(drain_errors(), 65, 119, 74));
  R3410_set_pse_method(nullptr);
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 0);
}

TEST_F(R3410OpaqueTest, ContainerKeyGenerationReturnsTheProtectedPair) {
  unsigned char priv[36], pub[128];
  ASSERT_EQ(R3410_pse_generate(&pse_, R3410_SEL_CP_XCHB, priv, pub), 1);
  EXPECT_EQ(pse_.refs, 0);  // the temporary key let its reference go
  // Rebuild the key from the protected form and check it matches the public value.
  KeyPtr key(R3410_new());
  R3410_set_params(key.get(), R3410_SEL_CP_XCHB);
  r3410::BnPtr enc(BN_bin2bn(priv, 32, nullptr));  // the encrypted 32 bytes, any value
  ASSERT_TRUE(r3410::secret_set(key->x, enc.get()));
  key->key_mac = BN_bin2bn(priv + 32, 4, nullptr);
  ASSERT_EQ(R3410_decrypt_opaque(key.get(), &pse_), 1);
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
  EXPECT_EQ(R3410_pse_generate(&pse_, 2, priv, pub), 0);
  EXPECT_EQ(ERR_get_status(), 13u);
  EXPECT_TRUE(has_error(drain_errors(), 78, 121, 78));
  ERR_clear_error();
  PSE failing{0, true};
  EXPECT_EQ(R3410_pse_generate(&failing, R3410_SEL_CP_A, priv, pub), 0);
  EXPECT_EQ(ERR_get_status(), 14u);
  EXPECT_EQ(failing.refs, 0);
  EXPECT_EQ(priv[0], 0xEE);

  // The key-agreement self-test guards container key generation as well.
  ERR_clear_error();
  unsigned char& byte = r3410::rfc_table()[5].p[100];
  ASSERT_EQ(R3410_params_check(), 1);
  byte ^= 0x20;
  r3410::dh_check_reset_time();
  EXPECT_EQ(R3410_pse_generate(&pse_, R3410_SEL_CP_A, priv, pub), 0);
  byte ^= 0x20;
  r3410::dh_check_reset_time();
  EXPECT_TRUE(has_error(drain_errors(), 78, 138, 11));
  EXPECT_EQ(priv[0], 0xEE);
}

}  // namespace
}  // namespace jarnel::test
