// The container files and the password-protected buffer recomputed from their parts without
// this library's cipher or hash: GOST 28147-89 and GOST R 34.11-94 from the OpenSSL GOST
// engine's own functions (which take any S-box table, so the default cipher S-box 31 and the
// default hash S-box are covered) and from libgcrypt (the CryptoPro S-boxes 32..35); PKCS#7
// parsing, DES-EDE3-CBC, SHA-1 and PBKDF2 from OpenSSL.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <gcrypt.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "crypto/cadb/cms.h"
#include "crypto/rus/gost89.h"
#include "ctx_fixture.h"
#include "tests/support/gost_engine_peer.h"

using namespace jarnel;
using namespace pse_test;
using namespace gost_peer;

namespace {

void gc_init() {
  static bool done = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)done;
}
const char* gc_sbox_oid(int number) {
  switch (number) {
    case 32: return "1.2.643.2.2.31.1";
    case 33: return "1.2.643.2.2.31.2";
    case 34: return "1.2.643.2.2.31.3";
    case 35: return "1.2.643.2.2.31.4";
    default: return nullptr;
  }
}
Bytes gc_ecb_decrypt(const char* oid, const Bytes& key, const unsigned char* in, std::size_t len) {
  gc_init();
  gcry_cipher_hd_t c;
  Bytes out(len);
  EXPECT_EQ(gcry_cipher_open(&c, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, 0), 0U);
  EXPECT_EQ(gcry_cipher_setkey(c, key.data(), key.size()), 0U);
  EXPECT_EQ(gcry_cipher_ctl(c, GCRYCTL_SET_SBOX, const_cast<char*>(oid), 0), 0U);
  EXPECT_EQ(gcry_cipher_decrypt(c, out.data(), len, in, len), 0U);
  gcry_cipher_close(c);
  return out;
}
Bytes gc_mac(const char* oid, const Bytes& key, const Bytes& data) {
  gc_init();
  gcry_mac_hd_t m;
  EXPECT_EQ(gcry_mac_open(&m, GCRY_MAC_GOST28147_IMIT, 0, nullptr), 0U);
  EXPECT_EQ(gcry_mac_ctl(m, GCRYCTL_SET_SBOX, const_cast<char*>(oid), 0), 0U);
  EXPECT_EQ(gcry_mac_setkey(m, key.data(), key.size()), 0U);
  EXPECT_EQ(gcry_mac_write(m, data.data(), data.size()), 0U);
  Bytes out(4);
  std::size_t n = 4;
  EXPECT_EQ(gcry_mac_read(m, out.data(), &n), 0U);
  gcry_mac_close(m);
  return out;
}

Bytes slice(const Bytes& b, std::size_t off, std::size_t n) {
  return Bytes(b.begin() + static_cast<long>(off), b.begin() + static_cast<long>(off + n));
}

struct P7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using P7Ptr = std::unique_ptr<PKCS7, P7Free>;

std::string oid_text(const ASN1_OBJECT* o) {
  char t[80];
  OBJ_obj2txt(t, sizeof t, o, 1);
  return t;
}

class Interop : public ContainerTest {};

}  // namespace

TEST_F(Interop, EngineTablesAgreeWithLibgcrypt) {
  // The oracle itself: the engine with the table converted from S-box 32 is the engine's own
  // CryptoPro-A table, and its ECB and MAC equal libgcrypt's.
  gost_subst_block a = engine_table(GOSTE_sbox_by_number(32));
  EXPECT_EQ(0, std::memcmp(&a, &Gost28147_CryptoProParamSetA, sizeof a));
  Bytes key(32), data(32);
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 11 + 3), data[i] = static_cast<unsigned char>(i);
  for (int s : {32, 35}) {
    EngineCipher e(GOSTE_sbox_by_number(s), key);
    Bytes enc = e.ecb_encrypt(data);
    EXPECT_EQ(gc_ecb_decrypt(gc_sbox_oid(s), key, enc.data(), enc.size()), data) << s;
    EXPECT_EQ(e.mac(data), gc_mac(gc_sbox_oid(s), key, data)) << s;
  }
}

TEST_F(Interop, ContainerFilesRecomputedFromTheirParts) {
  for (int sbox : {31, 32, 33, 34, 35}) {
    for (int shares : {8, 1}) {
      SCOPED_TRACE(testing::Message() << "sbox " << sbox << " shares " << shares);
      CtxPtr ctx = create(dir_, shares, sbox);
      Bytes mk = read_file(file("mk.db3")), mask = read_file(file("masks.db3"));
      Bytes kek_file = read_file(file("kek.opq")), rand_file = read_file(file("rand.opq"));
      ASSERT_EQ(mk.size(), static_cast<std::size_t>(6 + 32 * (shares - 1)));
      ASSERT_EQ(mask.size(), 32U);
      ASSERT_EQ(kek_file.size(), 36U);
      ASSERT_EQ(rand_file.size(), 36U);
      EXPECT_EQ(mk[0], 0x22);
      EXPECT_EQ(mk[1], shares);
      Bytes blob = mk;
      blob.insert(blob.end(), mask.begin(), mask.end());
      Bytes master(32, 0);
      for (std::size_t off = 6; off < blob.size(); off += 32)
        for (int i = 0; i < 32; ++i) master[i] ^= blob[off + i];

      const unsigned char* table = GOSTE_sbox_by_number(sbox);
      EngineCipher under_master(table, master);
      // Check value: the MAC of 32 zero bytes under the master key.
      EXPECT_EQ(under_master.mac(Bytes(32, 0)), slice(mk, 2, 4));
      // KEK file: ECB of the KEK, then the MAC of the clear KEK, both under the master key.
      Bytes kek = under_master.ecb_decrypt(kek_file.data(), 32);
      EXPECT_EQ(under_master.mac(kek), slice(kek_file, 32, 4));
      // Random state: the same form under the KEK.
      EngineCipher under_kek(table, kek);
      Bytes seed = under_kek.ecb_decrypt(rand_file.data(), 32);
      EXPECT_EQ(under_kek.mac(seed), slice(rand_file, 32, 4));
      // Fingerprint: GOST R 34.11-94 over master key twice, the container S-box as parameters.
      Bytes twice = master;
      twice.insert(twice.end(), master.begin(), master.end());
      EXPECT_EQ(engine_hash(table, twice), Bytes(PSE_CTX_get_pse(ctx.get())->fingerprint,
                                                 PSE_CTX_get_pse(ctx.get())->fingerprint + 32));
      if (const char* oid = gc_sbox_oid(sbox)) {
        // A second implementation for the CryptoPro S-boxes.
        EXPECT_EQ(gc_mac(oid, master, Bytes(32, 0)), slice(mk, 2, 4));
        EXPECT_EQ(gc_ecb_decrypt(oid, master, kek_file.data(), 32), kek);
        EXPECT_EQ(gc_mac(oid, kek, seed), slice(rand_file, 32, 4));
      }
      EXPECT_EQ(PSE_CTX_erase(ctx.get()), 1);
    }
  }
}

TEST_F(Interop, ProtectedBufferRecomputedFromItsParts) {
  const char password[] = "pass word";
  const Bytes pw(password, password + sizeof password - 1);
  Bytes data(77);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 5 + 2);
  for (int cipher : {174, 44}) {
    SCOPED_TRACE(cipher);
    const int iter = 3;
    BufferPtr sealed(BUFFER_encrypt(data.data(), static_cast<int>(data.size()), cipher,
                                    pw.data(), static_cast<int>(pw.size()), iter, CMS_FORMAT_DER));
    ASSERT_TRUE(sealed);
    const unsigned char* p = sealed->data;
    P7Ptr outer(d2i_PKCS7(nullptr, &p, sealed->length));
    ASSERT_TRUE(outer);
    ASSERT_EQ(OBJ_obj2nid(outer->type), NID_pkcs7_encrypted);
    PKCS7_ENC_CONTENT* ec = outer->d.encrypted->enc_data;
    EXPECT_EQ(ASN1_INTEGER_get(outer->d.encrypted->version), 0);
    EXPECT_EQ(OBJ_obj2nid(ec->content_type), NID_pkcs7_digest);
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, ec->algorithm);
    ASSERT_EQ(ptype, V_ASN1_OCTET_STRING);
    const auto* ivs = static_cast<const ASN1_OCTET_STRING*>(pval);
    ASSERT_EQ(ASN1_STRING_length(ivs), 8);
    const unsigned char* iv = ASN1_STRING_get0_data(ivs);
    const unsigned char* ct = ASN1_STRING_get0_data(ec->enc_data);
    std::size_t ct_len = static_cast<std::size_t>(ASN1_STRING_length(ec->enc_data));
    Bytes salt(8, 0), inner_der;
    if (cipher == 174) {
      EXPECT_EQ(oid_text(ec->algorithm->algorithm), "1.3.6.1.4.1.7203.1.1.3");
      Bytes key = pbkdf2_gost(pw, salt, iter);
      EngineCipher gost(GOSTE_sbox_by_number(31), key);
      inner_der = gost.cfb_decrypt(iv, ct, ct_len);
    } else {
      EXPECT_EQ(OBJ_obj2nid(ec->algorithm->algorithm), NID_des_ede3_cbc);
      unsigned char key[24];
      ASSERT_EQ(PKCS5_PBKDF2_HMAC(password, static_cast<int>(pw.size()), salt.data(), 8, iter,
                                  EVP_sha1(), sizeof key, key), 1);
      EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
      inner_der.resize(ct_len + 16);
      int n1 = 0, n2 = 0;
      ASSERT_EQ(EVP_DecryptInit_ex(c, EVP_des_ede3_cbc(), nullptr, key, iv), 1);
      ASSERT_EQ(EVP_DecryptUpdate(c, inner_der.data(), &n1, ct, static_cast<int>(ct_len)), 1);
      ASSERT_EQ(EVP_DecryptFinal_ex(c, inner_der.data() + n1, &n2), 1);
      EVP_CIPHER_CTX_free(c);
      inner_der.resize(static_cast<std::size_t>(n1 + n2));
    }
    p = inner_der.data();
    P7Ptr inner(d2i_PKCS7(nullptr, &p, static_cast<long>(inner_der.size())));
    ASSERT_TRUE(inner);
    ASSERT_EQ(OBJ_obj2nid(inner->type), NID_pkcs7_digest);
    PKCS7_DIGEST* d = inner->d.digest;
    EXPECT_EQ(oid_text(d->md->algorithm), "1.3.6.1.4.1.7203.1.2.1");
    ASSERT_TRUE(d->contents);
    ASSERT_EQ(OBJ_obj2nid(d->contents->type), NID_pkcs7_data);
    const ASN1_OCTET_STRING* value = d->contents->d.data;
    Bytes got(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
    EXPECT_EQ(got, data);
    Bytes digest(ASN1_STRING_get0_data(d->digest), ASN1_STRING_get0_data(d->digest) + ASN1_STRING_length(d->digest));
    EXPECT_EQ(digest, engine_hash(GOSTE_default_hash_sbox(), data));
  }
}

TEST_F(Interop, PasswordProtectedMaskFileRecomputed) {
  create(dir_, 8, 31, "mask password");
  CtxPtr plain = context(dir_);
  ASSERT_EQ(PSE_CTX_set_password(plain.get(), "mask password", 0), 1);
  ASSERT_EQ(PSE_CTX_read(plain.get()), 1);
  int len = 32;
  Bytes share(32);
  ASSERT_EQ(PSE_CTX_set_password(plain.get(), nullptr, 0), 1);
  ASSERT_EQ(PSE_CTX_get_mask(plain.get(), share.data(), &len), 1);
  // The mask file decrypts, by the engine, to the share the open recovered.
  Bytes file_bytes = read_file(file("masks.db3"));
  const unsigned char* p = file_bytes.data();
  P7Ptr outer(d2i_PKCS7(nullptr, &p, static_cast<long>(file_bytes.size())));
  ASSERT_TRUE(outer);
  PKCS7_ENC_CONTENT* ec = outer->d.encrypted->enc_data;
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, ec->algorithm);
  const auto* ivs = static_cast<const ASN1_OCTET_STRING*>(pval);
  const std::string pwtext = "mask password";
  Bytes key = pbkdf2_gost(Bytes(pwtext.begin(), pwtext.end()), Bytes(8, 0), 2048);
  EngineCipher gost(GOSTE_sbox_by_number(31), key);
  Bytes inner_der = gost.cfb_decrypt(ASN1_STRING_get0_data(ivs), ASN1_STRING_get0_data(ec->enc_data),
                                     static_cast<std::size_t>(ASN1_STRING_length(ec->enc_data)));
  p = inner_der.data();
  P7Ptr inner(d2i_PKCS7(nullptr, &p, static_cast<long>(inner_der.size())));
  ASSERT_TRUE(inner);
  const ASN1_OCTET_STRING* value = inner->d.digest->contents->d.data;
  EXPECT_EQ(Bytes(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + 32), share);
}
