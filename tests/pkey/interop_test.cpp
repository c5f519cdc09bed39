// The key file forms no peer reads (PBES2 under the library's GOST 28147-89 CFB and
// HMAC-GOST R 34.11-94 objects 174 and 180, PEM encryption with object 174), recomputed from
// their parts without this library's cipher or hash: GOST from the OpenSSL GOST engine's own
// functions, MD5, ASN.1 and PEM framing from OpenSSL.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>

#include "pkey_fixture.h"
#include "tests/support/gost_engine_peer.h"

using namespace jarnel;
using namespace pkey_test;
using gost_peer::EngineCipher;

namespace {

std::string oid_text(const ASN1_OBJECT* o) {
  char t[80];
  OBJ_obj2txt(t, sizeof t, o, 1);
  return t;
}

Bytes md5(const Bytes& a) {
  Bytes out(16);
  unsigned n = 16;
  EXPECT_EQ(EVP_Digest(a.data(), a.size(), out.data(), &n, EVP_md5(), nullptr), 1);
  return out;
}

// EVP_BytesToKey with MD5 and one round, written out: D1 = MD5(pw || salt), D2 = MD5(D1 || pw
// || salt); the key is D1 || D2.
Bytes pem_key(const std::string& pw, const unsigned char* salt) {
  Bytes in(pw.begin(), pw.end());
  in.insert(in.end(), salt, salt + 8);
  Bytes d1 = md5(in);
  Bytes in2 = d1;
  in2.insert(in2.end(), in.begin(), in.end());
  Bytes d2 = md5(in2);
  d1.insert(d1.end(), d2.begin(), d2.end());
  return d1;
}

int hexval(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

class GostForms : public KeyTest {
 protected:
  void SetUp() override {
    KeyTest::SetUp();
    key_.reset(PKEY_generate(PKEY_TYPE_ECGOST_CP, NID_CP_2001_A, nullptr, nullptr, nullptr));
    ASSERT_TRUE(key_);
  }
  Bytes encoded(int kind) {
    SecureBuffer b;
    EXPECT_TRUE(kind == PKEY_KIND_PKCS8 ? pkey::pkcs8_encode(key_->key, b) : pkey::traditional_encode(key_->key, b));
    return Bytes(b.data(), b.data() + b.size());
  }
  std::string pw_ = "engine check";
  PkeyPtr key_;
};

TEST_F(GostForms, EncryptedPkcs8Recomputed) {
  Owned<BUFFER> img(PKEY_write_buffer(key_.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8, string_password, &pw_));
  ASSERT_TRUE(img);
  const unsigned char* p = img->data;
  X509_SIG* sig = d2i_X509_SIG(nullptr, &p, img->length);
  ASSERT_TRUE(sig);
  const X509_ALGOR* alg = nullptr;
  const ASN1_OCTET_STRING* ct = nullptr;
  X509_SIG_get0(sig, &alg, &ct);
  EXPECT_EQ(OBJ_obj2nid(alg->algorithm), NID_pbes2);
  PBE2PARAM* pbe2 = static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter));
  ASSERT_TRUE(pbe2);
  EXPECT_EQ(OBJ_obj2nid(pbe2->keyfunc->algorithm), NID_id_pbkdf2);
  PBKDF2PARAM* kdf = static_cast<PBKDF2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter));
  ASSERT_TRUE(kdf);
  ASSERT_TRUE(kdf->prf);
  EXPECT_EQ(oid_text(kdf->prf->algorithm), "1.3.6.1.4.1.7203.1.7.2");
  EXPECT_EQ(ASN1_INTEGER_get(kdf->iter), 2048);
  ASSERT_EQ(kdf->salt->type, V_ASN1_OCTET_STRING);
  const ASN1_OCTET_STRING* salt = kdf->salt->value.octet_string;
  EXPECT_EQ(ASN1_STRING_length(salt), 8);
  EXPECT_EQ(oid_text(pbe2->encryption->algorithm), "1.3.6.1.4.1.7203.1.1.3");
  ASSERT_EQ(pbe2->encryption->parameter->type, V_ASN1_OCTET_STRING);
  const ASN1_OCTET_STRING* iv = pbe2->encryption->parameter->value.octet_string;
  ASSERT_EQ(ASN1_STRING_length(iv), 8);

  const Bytes key = gost_peer::pbkdf2_gost(Bytes(pw_.begin(), pw_.end()),
                                           Bytes(ASN1_STRING_get0_data(salt), ASN1_STRING_get0_data(salt) + 8), 2048);
  EngineCipher gost(GOSTE_sbox_by_number(31), key);
  const Bytes plain = gost.cfb_decrypt(ASN1_STRING_get0_data(iv), ASN1_STRING_get0_data(ct),
                                       static_cast<std::size_t>(ASN1_STRING_length(ct)));
  EXPECT_EQ(plain, encoded(PKEY_KIND_PKCS8));
  const unsigned char* q = plain.data();
  PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &q, static_cast<long>(plain.size()));
  ASSERT_TRUE(p8);
  const ASN1_OBJECT* o = nullptr;
  PKCS8_pkey_get0(&o, nullptr, nullptr, nullptr, p8);
  EXPECT_EQ(oid_text(o), "1.2.643.2.2.19");
  PKCS8_PRIV_KEY_INFO_free(p8);
  PBKDF2PARAM_free(kdf);
  PBE2PARAM_free(pbe2);
  X509_SIG_free(sig);
}

TEST_F(GostForms, PemEncryptionRecomputedBothWays) {
  Owned<BUFFER> img(PKEY_write_buffer(key_.get(), PKEY_FORMAT_PEM, PKEY_KIND_TRADITIONAL, string_password, &pw_));
  ASSERT_TRUE(img);
  ::BIO* b = BIO_new_mem_buf(img->data, img->length);
  char *name = nullptr, *header = nullptr;
  unsigned char* data = nullptr;
  long len = 0;
  ASSERT_EQ(PEM_read_bio(b, &name, &header, &data, &len), 1);
  BIO_free(b);
  EXPECT_STREQ(name, "ANY PRIVATE KEY");
  const std::string h = header;
  const std::string dek = "DEK-Info: RUS-GAMMAR,";
  ASSERT_EQ(h.rfind("Proc-Type: 4,ENCRYPTED\n", 0), 0u) << h;
  const auto at = h.find(dek);
  ASSERT_NE(at, std::string::npos) << h;
  unsigned char iv[8];
  for (int i = 0; i < 8; ++i) iv[i] = static_cast<unsigned char>(hexval(h[at + dek.size() + 2 * i]) << 4 | hexval(h[at + dek.size() + 2 * i + 1]));
  EngineCipher gost(GOSTE_sbox_by_number(31), pem_key(pw_, iv));
  EXPECT_EQ(gost.cfb_decrypt(iv, data, static_cast<std::size_t>(len)), encoded(PKEY_KIND_TRADITIONAL));
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(data);

  // A file encrypted by the engine's cipher under the same scheme reads here.
  const unsigned char iv2[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EngineCipher gost2(GOSTE_sbox_by_number(31), pem_key(pw_, iv2));
  const Bytes enc = gost2.cfb_encrypt(iv2, encoded(PKEY_KIND_TRADITIONAL));
  ::BIO* out = BIO_new(BIO_s_mem());
  char hdr[] = "Proc-Type: 4,ENCRYPTED\nDEK-Info: RUS-GAMMAR,0102030405060708\n";
  ASSERT_EQ(PEM_write_bio(out, "ANY PRIVATE KEY", hdr, enc.data(), static_cast<long>(enc.size())) > 0, true);
  char* text = nullptr;
  const long n = BIO_get_mem_data(out, &text);
  PkeyPtr back(PKEY_read_buffer(reinterpret_cast<unsigned char*>(text), static_cast<int>(n), nullptr, string_password, &pw_));
  BIO_free(out);
  ASSERT_TRUE(back);
  EXPECT_EQ(bytes_of(back->fingerprint), bytes_of(key_->fingerprint));
}

// PBES2 written here with PBKDF2 over HMAC-GOST R 34.11-2012 (256 and 512) is read by the engine's
// command line (openssl pkcs8 -engine gost), which takes that PRF as its default; what it
// decrypts is the same key.
TEST_F(GostForms, Pbes2WithStreebogHmacDecryptedByTheEngine) {
  if (std::system("openssl engine gost >/dev/null 2>&1") != 0) GTEST_SKIP() << "no OpenSSL GOST engine";
  const Bytes info = encoded(PKEY_KIND_PKCS8);
  for (int prf : {NID_HMAC_STREEBOG_256, NID_HMAC_STREEBOG_512}) {
    SecureBuffer enc;
    ASSERT_TRUE(pkey::pbes2_encrypt(pkey::Bytes(info), pkey::Bytes(reinterpret_cast<const unsigned char*>(pw_.data()), pw_.size()), NID_AES_256_CBC, prf, 2048, enc));
    const std::string in = file("enc.der").string(), out = file("plain.der").string();
    {
      std::FILE* f = std::fopen(in.c_str(), "wb");
      ASSERT_TRUE(f);
      ASSERT_EQ(std::fwrite(enc.data(), 1, enc.size(), f), enc.size());
      std::fclose(f);
    }
    const std::string cmd = "openssl pkcs8 -engine gost -inform DER -in '" + in + "' -passin 'pass:" + pw_ +
                            "' -outform DER -out '" + out + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << prf;
    Bytes plain(4096);
    std::FILE* f = std::fopen(out.c_str(), "rb");
    ASSERT_TRUE(f);
    plain.resize(std::fread(plain.data(), 1, plain.size(), f));
    std::fclose(f);
    PkeyPtr back(PKEY_read_buffer(plain.data(), static_cast<int>(plain.size()), nullptr, nullptr, nullptr));
    ASSERT_TRUE(back) << prf;
    EXPECT_EQ(bytes_of(back->fingerprint), bytes_of(key_->fingerprint)) << prf;
    EXPECT_TRUE(sign_verify(back.get(), key_.get())) << prf;
    // And it reads back here with the right password only.
    PkeyPtr again(PKEY_read_buffer(enc.data(), static_cast<int>(enc.size()), nullptr, string_password, &pw_));
    ASSERT_TRUE(again) << prf;
    EXPECT_EQ(bytes_of(again->fingerprint), bytes_of(key_->fingerprint));
    std::string wrong = "engine chec";
    EXPECT_FALSE(PkeyPtr(PKEY_read_buffer(enc.data(), static_cast<int>(enc.size()), nullptr, string_password, &wrong)));
    drain_errors();
  }
}

}  // namespace
