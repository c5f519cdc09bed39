// The password-protected buffer and the message object under it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/objects.h>
#include <openssl/params.h>

#include "crypto/cadb/cms.h"
#include "crypto/rus/gost_provider.h"
#include "ctx_fixture.h"

using namespace jarnel;
using namespace pse_test;

namespace {

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 13 + 1);
  return b;
}

const unsigned char* pw(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

BufferPtr encrypt(const Bytes& data, int cipher, const char* password, int iter) {
  return BufferPtr(BUFFER_encrypt(data.empty() ? pw("") : data.data(), static_cast<int>(data.size()),
                                  cipher, pw(password), static_cast<int>(std::strlen(password)),
                                  iter, CMS_FORMAT_DER));
}
BufferPtr decrypt(const BUFFER* b, const char* password, int iter) {
  return BufferPtr(BUFFER_decrypt(b->data, b->length, pw(password),
                                  static_cast<int>(std::strlen(password)), iter));
}

class ProtectedBuffer : public ContainerTest {};

}  // namespace

TEST_F(ProtectedBuffer, RoundTripsForBothCiphersAndRefusesAnotherPassword) {
  struct Case {
    int cipher;
    std::size_t length;
    int iter_enc, iter_dec;
  } const cases[] = {{174, 32, -1, 0},   {174, 1, 1, 1},     {174, 1000, 3, 3},
                     {44, 32, 0, 2048},  {44, 17, 5, 5},     {174, 0, 2048, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cipher << " " << c.length);
    Bytes data = pattern(c.length);
    // An empty buffer is written as a request for the zero-terminated text "" (length 0).
    BufferPtr sealed = encrypt(data, c.cipher, "pass word", c.iter_enc);
    ASSERT_TRUE(sealed);
    BufferPtr clear = decrypt(sealed.get(), "pass word", c.iter_dec);
    ASSERT_TRUE(clear);
    EXPECT_EQ(Bytes(clear->data, clear->data + clear->length), data);
    EXPECT_EQ(ERR_peek_error(), 0UL);
    EXPECT_FALSE(decrypt(sealed.get(), "pass worD", c.iter_dec));
    auto q = drain_errors();
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(q.back(), ERR_pack(LIB_CADB, CADB_F_BUFFER_DECRYPT, LIB_CADB));
    // A stream cipher always decrypts: the wrong key shows as an integrity failure.
    if (c.cipher == 174) {
      EXPECT_TRUE(has_error(q, LIB_CADB, CADB_F_BUFFER_DECRYPT, CADB_R_INTEGRITY_CHECK_FAILED));
    }
    // Another iteration count derives another key.
    EXPECT_FALSE(decrypt(sealed.get(), "pass word", c.iter_dec == 7 ? 8 : 7));
    ERR_clear_error();
  }
}

TEST_F(ProtectedBuffer, UnknownCipherRequestsBecomeGostCfb) {
  for (int cipher : {37, 0, -1, 174}) {
    BufferPtr sealed = encrypt(pattern(40), cipher, "x", 1);
    ASSERT_TRUE(sealed);
    struct CmsFree {
      void operator()(CADB_CMS* c) const { CADB_CMS_free(c); }
    };
    std::unique_ptr<CADB_CMS, CmsFree> cms(CADB_CMS_parse(sealed->data, sealed->length));
    ASSERT_TRUE(cms);
    EXPECT_EQ(CADB_CMS_type(cms.get()), CMS_NID_encrypted);
    EXPECT_EQ(CADB_CMS_inner_type(cms.get()), CMS_NID_digest);
    EXPECT_EQ(CADB_CMS_cipher(cms.get()), CMS_NID_rus_gammar) << cipher;
  }
}

TEST_F(ProtectedBuffer, DecryptNamesWhatIsWrong) {
  BufferPtr sealed = encrypt(pattern(32), 174, "pw", 1);
  ASSERT_TRUE(sealed);
  // Not encrypted data: a digested-data message, and bytes that are no message at all.
  CADB_CMS* digested = CADB_CMS_new(CMS_NID_digest, 0);
  ASSERT_TRUE(digested);
  Bytes data = pattern(10);
  ASSERT_EQ(CADB_CMS_add(digested, data.data(), 10), 1);
  ASSERT_EQ(CADB_CMS_finish(digested), 1);
  BufferPtr der(CADB_CMS_encode(digested, CMS_FORMAT_DER));
  CADB_CMS_free(digested);
  ASSERT_TRUE(der);
  struct Case {
    const char* name;
    Bytes input;
    int reason;
  } const cases[] = {
      {"digested data", Bytes(der->data, der->data + der->length), CADB_R_ENCRYPTED_DATA_EXPECTED},
      {"garbage", pattern(50), CADB_R_ENCRYPTED_DATA_EXPECTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ERR_clear_error();
    EXPECT_EQ(BUFFER_decrypt(c.input.data(), static_cast<int>(c.input.size()), pw("pw"), 2, 1), nullptr);
    auto q = drain_errors();
    ASSERT_GE(q.size(), 2U);
    EXPECT_EQ(q[q.size() - 2], ERR_pack(LIB_CADB, CADB_F_BUFFER_DECRYPT, c.reason));
  }
  // Encrypted data under the right key whose content is a data message, not digested data; and
  // under another key, whose content decrypts to no message at all.
  unsigned char key[32];
  EVP_KDF* kdf = EVP_KDF_fetch(GOST_libctx(), "PBKDF2", nullptr);
  EVP_KDF_CTX* kctx = EVP_KDF_CTX_new(kdf);
  int iter = 1;
  unsigned char salt[8] = {};
  OSSL_PARAM params[] = {
      OSSL_PARAM_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char*>("pw"), 2),
      OSSL_PARAM_octet_string(OSSL_KDF_PARAM_SALT, salt, sizeof salt),
      OSSL_PARAM_int(OSSL_KDF_PARAM_ITER, &iter),
      OSSL_PARAM_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("RUS-HASH"), 0), OSSL_PARAM_END};
  ASSERT_EQ(EVP_KDF_derive(kctx, key, sizeof key, params), 1);
  EVP_KDF_CTX_free(kctx);
  EVP_KDF_free(kdf);
  PKCS7* plain = PKCS7_new();
  ASSERT_EQ(PKCS7_set_type(plain, NID_pkcs7_data), 1);
  ASSERT_EQ(ASN1_OCTET_STRING_set(plain->d.data, data.data(), 10), 1);
  unsigned char* plain_der = nullptr;
  int plain_len = i2d_PKCS7(plain, &plain_der);
  PKCS7_free(plain);
  ASSERT_GT(plain_len, 0);
  struct Inner {
    const char* name;
    bool right_key;
    int reason;
  } const inners[] = {{"data inside", true, CADB_R_DIGESTED_DATA_EXPECTED},
                      {"another key", false, CADB_R_INTEGRITY_CHECK_FAILED}};
  for (const auto& in : inners) {
    SCOPED_TRACE(in.name);
    CADB_CMS* outer = CADB_CMS_new(CMS_NID_encrypted, 0);
    ASSERT_TRUE(outer);
    ASSERT_EQ(CADB_CMS_set_inner_type(outer, CMS_NID_digest), 1);
    unsigned char k[32];
    std::memcpy(k, key, 32);
    if (!in.right_key) k[0] ^= 1;
    ASSERT_EQ(CADB_CMS_set_key(outer, k, 32), 1);
    ASSERT_EQ(CADB_CMS_add(outer, plain_der, plain_len), 1);
    ASSERT_EQ(CADB_CMS_finish(outer), 1);
    BufferPtr wrong(CADB_CMS_encode(outer, CMS_FORMAT_DER));
    CADB_CMS_free(outer);
    ERR_clear_error();
    EXPECT_EQ(BUFFER_decrypt(wrong->data, wrong->length, pw("pw"), 2, 1), nullptr);
    EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_BUFFER_DECRYPT, in.reason));
  }
  OPENSSL_free(plain_der);
  // Missing input.
  EXPECT_EQ(BUFFER_decrypt(nullptr, 0, pw("pw"), 2, 1), nullptr);
  EXPECT_EQ(BUFFER_encrypt(pw("x"), 1, 174, nullptr, 0, 1, 1), nullptr);
  EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_BUFFER_ENCRYPT, R_INTERNAL_ERROR));
}

TEST_F(ProtectedBuffer, MessageObjectTypes) {
  const unsigned char data[] = "content";
  for (int type : {22, 23, 25, 26}) {
    CADB_CMS* cms = CADB_CMS_new(type, 0);
    ASSERT_NE(cms, nullptr) << type;
    EXPECT_EQ(CADB_CMS_type(cms), type);
    ASSERT_EQ(CADB_CMS_add(cms, data, 7), 1);
    if (type == 22 || type == 23) {
      // Signed and enveloped messages are set up but never built here.
      ERR_clear_error();
      EXPECT_EQ(CADB_CMS_finish(cms), 0);
      EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PKCS7, P7_F_CMS_FINISH, P7_R_OPERATION_NOT_SUPPORTED));
    } else if (type == 25) {
      ASSERT_EQ(CADB_CMS_finish(cms), 1);
      BufferPtr pem(CADB_CMS_encode(cms, CMS_FORMAT_PEM));
      ASSERT_TRUE(pem);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(pem->data), 21), "-----BEGIN PKCS7-----");
    } else {
      // Encrypted data needs its key first.
      EXPECT_EQ(CADB_CMS_finish(cms), 0);
    }
    CADB_CMS_free(cms);
  }
  for (int type : {21, 24, 27, 0}) {
    ERR_clear_error();
    EXPECT_EQ(CADB_CMS_new(type, 0), nullptr);
    EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_PKCS7, P7_F_CMS_NEW, P7_R_UNSUPPORTED_CONTENT_TYPE));
  }
}

TEST_F(ProtectedBuffer, OpensslParsesTheStructure) {
  BufferPtr sealed = encrypt(pattern(32), 174, "pw", -1);
  ASSERT_TRUE(sealed);
  fs::path der = root_ / "sealed.der";
  write_file(der, Bytes(sealed->data, sealed->data + sealed->length));
  std::string cmd = "openssl asn1parse -inform DER -in " + der.string() + " 2>&1";
  std::FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char line[512];
  while (std::fgets(line, sizeof line, p)) out += line;
  ASSERT_EQ(pclose(p), 0) << out;
  // encryptedData { version 0, encryptedContentInfo { digestedData, GOST CFB with an 8-byte IV,
  // [0] ciphertext } }
  std::vector<std::string> expected = {"OBJECT            :pkcs7-encryptedData",
                                       "INTEGER           :00",
                                       "OBJECT            :pkcs7-digestData",
                                       "OBJECT            :1.3.6.1.4.1.7203.1.1.3",
                                       "OCTET STRING      [HEX DUMP]:",
                                       "cont [ 0 ]"};
  std::size_t at = 0;
  for (const auto& e : expected) {
    std::size_t found = out.find(e, at);
    ASSERT_NE(found, std::string::npos) << e << "\n" << out;
    at = found + e.size();
  }
}

TEST(PasswordText, Utf8StaysAndCp1251BecomesUtf8) {
  struct Case {
    Bytes in, out;
  } const cases[] = {
      {{'a', 'b', 'c'}, {'a', 'b', 'c'}},
      {{0xD0, 0x9F}, {0xD0, 0x9F}},                          // "П" in UTF-8 stays
      {{0xCF, 0xE0, 0xF0}, {0xD0, 0x9F, 0xD0, 0xB0, 0xD1, 0x80}},  // "Пар" in Windows-1251
      {{0xA8, 0xB8, 0xB9}, {0xD0, 0x81, 0xD1, 0x91, 0xE2, 0x84, 0x96}},  // Ё ё №
      {{0x88, '1'}, {0xE2, 0x82, 0xAC, '1'}},                // €
      {{}, {}},
  };
  for (const auto& c : cases) {
    BufferPtr t(CADB_password_text(c.in.empty() ? pw("") : c.in.data(), static_cast<int>(c.in.size())));
    ASSERT_TRUE(t);
    EXPECT_EQ(Bytes(t->data, t->data + t->length), c.out);
  }
}

TEST_F(ProtectedBuffer, Cp1251PasswordOpensWithItsUtf8Form) {
  // Encryption uses the canonical (UTF-8) text; decryption with the same password as typed in
  // Windows-1251 finds it through the conversion, and so does the UTF-8 form directly.
  const char cp1251[] = "\xCF\xE0\xF0\xEE\xEB\xFC";  // "Пароль"
  const char utf8[] = "\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C";
  BufferPtr sealed = encrypt(pattern(32), 174, cp1251, 1);
  ASSERT_TRUE(sealed);
  EXPECT_TRUE(decrypt(sealed.get(), cp1251, 1));
  EXPECT_TRUE(decrypt(sealed.get(), utf8, 1));
  EXPECT_EQ(ERR_peek_error(), 0UL);
}
