// The in-memory container: references, key slots, the opaque 36-byte form and the fingerprint.
// libgcrypt serves as the independent GOST 28147-89 and GOST R 34.11-94 implementation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <gcrypt.h>

#include "crypto/err/err.h"
#include "crypto/pse/pse.h"
#include "crypto/rus/gost89.h"
#include "crypto/startup.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed * 31 + i * 17 + 5);
  return b;
}

void gc_init() {
  static bool done = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)done;
}

// libgcrypt's view of the opaque form: ECB ciphertext followed by the imitation insert.
Bytes gc_opaque(const char* sbox_oid, const Bytes& key, const Bytes& plain) {
  gc_init();
  Bytes out(36);
  gcry_cipher_hd_t c;
  EXPECT_EQ(gcry_cipher_open(&c, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, 0), 0U);
  EXPECT_EQ(gcry_cipher_setkey(c, key.data(), key.size()), 0U);
  EXPECT_EQ(gcry_cipher_ctl(c, GCRYCTL_SET_SBOX, const_cast<char*>(sbox_oid), 0), 0U);
  EXPECT_EQ(gcry_cipher_encrypt(c, out.data(), 32, plain.data(), 32), 0U);
  gcry_cipher_close(c);
  gcry_mac_hd_t m;
  EXPECT_EQ(gcry_mac_open(&m, GCRY_MAC_GOST28147_IMIT, 0, nullptr), 0U);
  EXPECT_EQ(gcry_mac_ctl(m, GCRYCTL_SET_SBOX, const_cast<char*>(sbox_oid), 0), 0U);
  EXPECT_EQ(gcry_mac_setkey(m, key.data(), key.size()), 0U);
  EXPECT_EQ(gcry_mac_write(m, plain.data(), 32), 0U);
  std::size_t len = 4;
  EXPECT_EQ(gcry_mac_read(m, out.data() + 32, &len), 0U);
  gcry_mac_close(m);
  return out;
}

struct PseFree {
  void operator()(PSE* p) const { PSE_free(p); }
};
using PsePtr = std::unique_ptr<PSE, PseFree>;

class Pse : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { CADB_startup(); }
  void SetUp() override { ERR_clear_error(); }

  static PsePtr with_kek(const Bytes& kek, const unsigned char* sbox = nullptr) {
    PsePtr p(PSE_new());
    EXPECT_TRUE(p);
    EXPECT_EQ(PSE_set_sbox(p.get(), sbox), 1);
    EXPECT_EQ(PSE_set_kek(p.get(), kek.data()), 1);
    return p;
  }
};

TEST_F(Pse, NewRecordAndReferences) {
  PSE* p = PSE_new();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->references, 1);
  EXPECT_EQ(std::memcmp(p->sbox, GOSTE_default_sbox(), PSE_SBOX_BYTES), 0);
  EXPECT_FALSE(PSE_key_is_set(&p->mkey));
  EXPECT_FALSE(PSE_key_is_set(&p->kek));
  EXPECT_EQ(p->path, nullptr);
  EXPECT_EQ(PSE_set_path(p, "C:\\keys\\user"), 1);
  EXPECT_EQ(PSE_set_path(p, "D:\\other"), 1);
  EXPECT_STREQ(p->path, "D:\\other");
  EXPECT_EQ(PSE_up_ref(p), 2);
  PSE_free(p);
  EXPECT_EQ(p->references, 1);  // still alive
  PSE_free(p);                  // the last reference frees it (the leak checker watches)
  PSE_free(nullptr);
}

TEST_F(Pse, OpaqueFormMatchesLibgcrypt) {
  struct Case {
    int nid;
    const char* oid;
  } cases[] = {{RUS_NID_cp_sbox_A, "1.2.643.2.2.31.1"},
               {RUS_NID_cp_sbox_B, "1.2.643.2.2.31.2"},
               {RUS_NID_cp_sbox_C, "1.2.643.2.2.31.3"},
               {RUS_NID_cp_sbox_D, "1.2.643.2.2.31.4"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.oid);
    Bytes kek = pattern(32, static_cast<unsigned>(c.nid)), plain = pattern(32, 99);
    PsePtr p = with_kek(kek, GOSTE_sbox_by_nid(c.nid));
    Bytes record(36);
    ASSERT_NE(PSE_write_opaque(p.get(), plain.data(), record.data()), nullptr);
    EXPECT_EQ(record, gc_opaque(c.oid, kek, plain));
    Bytes back(32, 0);
    ASSERT_EQ(PSE_read_opaque(p.get(), record.data(), back.data()), back.data());
    EXPECT_EQ(back, plain);
    // The KEK stays masked between uses.
    EXPECT_TRUE(MASK_key_is_masked(&p->kek));
  }
}

TEST_F(Pse, EncryptInPlaceUnderAnySlot) {
  MASKED_KEY slot{};
  Bytes key = pattern(32, 3);
  ASSERT_EQ(MASK_key_set(&slot, key.data()), 1);
  Bytes buf(36, 0);
  Bytes plain = pattern(32, 4);
  std::copy(plain.begin(), plain.end(), buf.begin());
  ASSERT_EQ(PSE_encrypt32(buf.data(), &slot, GOSTE_default_sbox(), buf.data()), buf.data());
  EXPECT_NE(Bytes(buf.begin(), buf.begin() + 32), plain);
  Bytes out(32);
  ASSERT_NE(PSE_decrypt32(buf.data(), &slot, GOSTE_default_sbox(), out.data()), nullptr);
  EXPECT_EQ(out, plain);
  MASK_key_wipe(&slot);
}

TEST_F(Pse, RecordThatFailsItsMacIsRefused) {
  Bytes kek = pattern(32, 1), plain = pattern(32, 2);
  PsePtr p = with_kek(kek);
  Bytes record(36);
  ASSERT_NE(PSE_write_opaque(p.get(), plain.data(), record.data()), nullptr);
  for (int pos : {0, 17, 31, 32, 35}) {
    SCOPED_TRACE(pos);
    Bytes bad = record;
    bad[static_cast<std::size_t>(pos)] ^= 0x01;
    Bytes out(32, 0xEE);
    ERR_clear_error();
    EXPECT_EQ(PSE_read_opaque(p.get(), bad.data(), out.data()), nullptr);
    EXPECT_EQ(out, Bytes(32, 0xEE));  // nothing of the bad plaintext is handed out
    EXPECT_EQ(ERR_get_status(), PSE_STATUS_INVALID_MAC);
    EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, PSE_F_PSE_DECRYPT32, PSE_R_INVALID_MAC));
    EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, PSE_F_PSE_DECRYPT32, LIB_PSE));
    EXPECT_EQ(ERR_get_error(), 0UL);
  }
  // Another KEK does not open it either.
  PsePtr other = with_kek(pattern(32, 9));
  Bytes out(32);
  EXPECT_EQ(PSE_read_opaque(other.get(), record.data(), out.data()), nullptr);
}

TEST_F(Pse, NoKekNoOpaqueForm) {
  PsePtr p(PSE_new());
  Bytes in(36, 1), out(36);
  EXPECT_EQ(PSE_write_opaque(p.get(), in.data(), out.data()), nullptr);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, PSE_F_PSE_ENCRYPT32, LIB_PSE));
  EXPECT_EQ(PSE_read_opaque(p.get(), in.data(), out.data()), nullptr);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, PSE_F_PSE_DECRYPT32, LIB_PSE));
  EXPECT_EQ(PSE_read_opaque(nullptr, in.data(), out.data()), nullptr);
  EXPECT_EQ(PSE_write_opaque(p.get(), nullptr, out.data()), nullptr);
}

TEST_F(Pse, FingerprintIsTheHashOfTheMasterKeyTwice) {
  gc_init();
  Bytes mk = pattern(32, 11);
  PsePtr p(PSE_new());
  // Hash parameters are the container S-box: the CryptoPro hash table here, for the peer.
  ASSERT_EQ(PSE_set_sbox(p.get(), GOSTE_cp_hash_sbox()), 1);
  ASSERT_EQ(PSE_set_kek(p.get(), pattern(32, 12).data()), 1);
  EXPECT_EQ(Bytes(p->fingerprint, p->fingerprint + 32), Bytes(32, 0));  // no master key yet
  ASSERT_EQ(PSE_set_mkey(p.get(), mk.data()), 1);
  ASSERT_EQ(PSE_set_kek(p.get(), pattern(32, 12).data()), 1);

  Bytes twice = mk;
  twice.insert(twice.end(), mk.begin(), mk.end());
  Bytes peer(32);
  gcry_md_hash_buffer(GCRY_MD_GOSTR3411_CP, peer.data(), twice.data(), twice.size());
  // The library gives digests most significant byte first; libgcrypt in memory order.
  std::reverse(peer.begin(), peer.end());
  EXPECT_EQ(Bytes(p->fingerprint, p->fingerprint + 32), peer);
  EXPECT_TRUE(MASK_key_is_masked(&p->mkey));

  // A fingerprint needs a master key.
  PsePtr empty(PSE_new());
  EXPECT_EQ(PSE_finger_print(empty.get()), 0);
  EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PSE, PSE_F_PSE_FINGER_PRINT, LIB_PSE));
}

}  // namespace
