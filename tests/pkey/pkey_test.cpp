// Private-key records and the key context on real container folders: where the key file
// lives, generation of every type, every encoding written and read back, the decoding order,
// passwords and the errors of the context.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "pkey_fixture.h"

using namespace jarnel;
using namespace pkey_test;

namespace {

TEST(KeyFilePath, NameAndFolderByCarrier) {
  struct Case {
    const char* container;
    const char* file;
  } const cases[] = {
      {"/media/usb/pse", "\\media\\usb\\pse\\keys\\00000001.key"},
      {"iButton\\3\\pse", "iButton\\3\\pse\\keys\\key .001"},
      {"IBUTTON\\3", "IBUTTON\\3\\keys\\key .001"},
      {"eToken\\0\\pse", "eToken\\0\\pse\\aaaa\\0001"},
      {"AKS ifdh 0\\pse", "AKS ifdh 0\\pse\\aaaa\\0001"},
      {"Aladdin Token JC 1\\pse", "Aladdin Token JC 1\\pse\\aaaa\\0001"},
      {"eTR2\\pse", "eTR2\\pse\\aaaa\\0001"},
      {"ruToken\\1\\pse", "ruToken\\1\\pse\\aaaa\\0001"},
      {"Aktiv Co. ruToken 0\\pse", "Aktiv Co. ruToken 0\\pse\\aaaa\\0001"},
  };
  for (const auto& c : cases) {
    char out[CADB_PATH_BUF];
    ASSERT_EQ(PKEY_key_file_path(c.container, 1, out), 1) << c.container;
    EXPECT_STREQ(out, c.file);
  }
  char out[CADB_PATH_BUF];
  EXPECT_EQ(PKEY_key_file_path(nullptr, 1, out), 0);
  EXPECT_EQ(PKEY_key_file_path(std::string(250, 'a').c_str(), 1, out), 0);
  // The longest container path leaves too little room for a key file name: refused, not cut.
  EXPECT_EQ(PKEY_key_file_path(std::string(247, 'a').c_str(), 1, out), 0);
  ASSERT_EQ(PKEY_key_file_path(std::string(240, 'a').c_str(), 1, out), 1);
  EXPECT_EQ(std::string(out).substr(240), "\\keys\\00000001.key");
}

class Keys : public KeyTest {};

TEST_F(Keys, GenerateWriteReadEveryGostType) {
  struct Case {
    int type, paramset, want_set;
  } const cases[] = {
      {PKEY_TYPE_ECGOST_CP, 0, NID_CP_2001_A},       {PKEY_TYPE_ECGOST_CP, NID_CP_2001_C, NID_CP_2001_C},
      {PKEY_TYPE_ECGOST_CP, NID_CP_2001_XCHB, NID_CP_2001_XCHB},
      {PKEY_TYPE_ECGOST, 0, NID_X9_62_PRIME256V1},   {PKEY_TYPE_R3410_CP, 0, NID_CP_R3410_94_A},
      {PKEY_TYPE_R3410_CP, NID_CP_R3410_94_XCHB, NID_CP_R3410_94_XCHB},
      {PKEY_TYPE_R3410, 0, 0},
  };
  for (const auto& c : cases) {
    for (int kind : {PKEY_KIND_PKCS8, PKEY_KIND_TRADITIONAL}) {
      for (int format : {PKEY_FORMAT_DER, PKEY_FORMAT_PEM}) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " set " << c.paramset << " kind "
                                        << kind << " format " << format);
        PkeyCtxPtr gen = key_context();
        ASSERT_EQ(PKEY_CTX_generate(gen.get(), c.type, c.paramset), 1) << drain_errors().size();
        PKEY* made = PKEY_CTX_get_key(gen.get());
        ASSERT_TRUE(made);
        EXPECT_EQ(made->type, c.type);
        if (made->key->ec) {
          int pub = 0, dg = 0, ci = 0;
          ECGOST_get_paramsets(made->key->ec, &pub, &dg, &ci);
          EXPECT_EQ(pub, c.want_set);
          EXPECT_EQ(dg, NID_CP_R3411_94_PARAMSET);
          EXPECT_EQ(ci, 0);
          EXPECT_FALSE(ECGOST_is_opaque(made->key->ec));
        } else if (c.want_set) {
          EXPECT_EQ(made->key->r3410->param_nid, c.want_set);
        }
        ASSERT_EQ(PKEY_CTX_write(gen.get(), format, kind), 1);
        // Back in its loaded state after the write.
        EXPECT_TRUE(sign_verify(made, made));

        const Bytes file = pse_test::read_file(key_file());
        ASSERT_FALSE(file.empty());
        PkeyCtxPtr rd = key_context();
        ASSERT_EQ(PKEY_CTX_read(rd.get()), 1);
        PKEY* got = PKEY_CTX_get_key(rd.get());
        EXPECT_EQ(got->type, c.type);
        EXPECT_EQ(bytes_of(got->fingerprint), bytes_of(made->fingerprint));
        EXPECT_TRUE(sign_verify(got, made));
        EXPECT_TRUE(drain_errors().empty());
      }
    }
  }
}

TEST_F(Keys, KeyFileHoldsOnlyTheProtectedValue) {
  PkeyCtxPtr gen = key_context();
  ASSERT_EQ(PKEY_CTX_generate(gen.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
  ASSERT_EQ(PKEY_CTX_write(gen.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8), 1);
  BnPtr d(BN_new());
  ASSERT_EQ(ECGOST_get_private(PKEY_CTX_get_key(gen.get())->key->ec, d.get()), 1);
  unsigned char be[32], le[32];
  ASSERT_EQ(BN_bn2binpad(d.get(), be, 32), 32);
  for (int i = 0; i < 32; ++i) le[i] = be[31 - i];
  const Bytes file = pse_test::read_file(key_file());
  EXPECT_EQ(std::search(file.begin(), file.end(), be, be + 32), file.end());
  EXPECT_EQ(std::search(file.begin(), file.end(), le, le + 32), file.end());
  // The private value inside PrivateKeyInfo is SEQUENCE { INTEGER, INTEGER }.
  const unsigned char* p = file.data();
  PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(file.size()));
  ASSERT_TRUE(p8);
  const unsigned char* v = nullptr;
  int vlen = 0;
  ASSERT_EQ(PKCS8_pkey_get0(nullptr, &v, &vlen, nullptr, p8), 1);
  EXPECT_EQ(v[0], 0x30);
  PKCS8_PRIV_KEY_INFO_free(p8);
  // Another container's KEK cannot load it.
  pse_test::CtxPtr other = create((root_ / "other").string());
  PkeyCtxPtr rd(PKEY_CTX_new());
  ASSERT_EQ(PKEY_CTX_set_pse(rd.get(), PSE_CTX_get_pse(other.get())), 1);
  ASSERT_EQ(PKEY_CTX_set_path(rd.get(), key_file().c_str()), 1);
  EXPECT_EQ(PKEY_CTX_read(rd.get()), 0);
  EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_PKEY_DEFAULT_READ, LIB_CADB));
}

TEST_F(Keys, ContainerPathAsKeyPathMeansItsKeyFile) {
  PkeyCtxPtr gen = key_context();
  ASSERT_EQ(PKEY_CTX_set_path(gen.get(), dir_.c_str()), 1);
  ASSERT_EQ(PKEY_CTX_generate(gen.get(), PKEY_TYPE_ECGOST_CP, NID_CP_2001_B), 1);
  ASSERT_EQ(PKEY_CTX_write(gen.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8), 1);
  EXPECT_FALSE(pse_test::read_file(key_file()).empty());
  PkeyCtxPtr rd = key_context();
  ASSERT_EQ(PKEY_CTX_set_path(rd.get(), dir_.c_str()), 1);
  ASSERT_EQ(PKEY_CTX_read(rd.get()), 1);
}

TEST_F(Keys, Generate271WithoutParameterSetIsOn283) {
  PkeyCtxPtr gen = key_context();
  ASSERT_EQ(PKEY_CTX_generate(gen.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
  int pub = 0, dg = 0, ci = 0;
  ECGOST_get_paramsets(PKEY_CTX_get_key(gen.get())->key->ec, &pub, &dg, &ci);
  EXPECT_EQ(pub, NID_CP_2001_A);
  EXPECT_EQ(ECURVE_get_nid(ECGOST_get_curve(PKEY_CTX_get_key(gen.get())->key->ec)), NID_CP_2001_A);
}

TEST_F(Keys, ErrorsOfTheContext) {
  PkeyCtxPtr gen = key_context();
  EXPECT_EQ(PKEY_CTX_generate(gen.get(), 999, 0), 0);
  EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_PKEY_GENERATE, CADB_R_UNKNOWN_ALGORITHM));
  PkeyCtxPtr bare(PKEY_CTX_new());
  EXPECT_EQ(PKEY_CTX_read(bare.get()), 0);
  EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_PKEY_DEFAULT_READ, R_INTERNAL_ERROR));
  EXPECT_EQ(PKEY_CTX_write(bare.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8), 0);
  // A GOST key cannot be made without a container.
  EXPECT_EQ(PKEY_CTX_generate(bare.get(), PKEY_TYPE_ECGOST_CP, 0), 0);
  drain_errors();
  // A read that fails leaves no record behind.
  PkeyCtxPtr rd = key_context();
  ASSERT_EQ(PKEY_CTX_generate(rd.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
  EXPECT_EQ(PKEY_CTX_read(rd.get()), 0);  // no key file yet
  EXPECT_EQ(PKEY_CTX_get_key(rd.get()), nullptr);
  drain_errors();
  // The PKCS#11 method is picked for containers on "pkcs11" paths; a path naming no module
  // fails cleanly.
  PSE* p = pse();
  char* saved = p->path;
  char fake[] = "pkcs11\\softhsm\\0\\pse";
  p->path = fake;
  PkeyCtxPtr tok = key_context();
  p->path = saved;
  EXPECT_EQ(tok->method, PKEY_pkcs11_method());
  EXPECT_STREQ(tok->method->name, "PKEY_CTX pkcs11 method");
  EXPECT_EQ(PKEY_CTX_generate(tok.get(), PKEY_TYPE_ECGOST_CP, 0), 0);
  EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_PKEY_CTX_GENERATE, LIB_CADB));
  EXPECT_EQ(PKEY_CTX_get_key(tok.get()), nullptr);
  EXPECT_EQ(PKEY_CTX_set_pse(tok.get(), nullptr), 1);
  EXPECT_EQ(tok->method, PKEY_default_method());
}

// ---- encodings of RSA, DSA and GOST records in memory ------------------------------------------

struct Encoding {
  int format, kind;
  bool password;
};
constexpr Encoding kEncodings[] = {
    {PKEY_FORMAT_DER, PKEY_KIND_PKCS8, false}, {PKEY_FORMAT_PEM, PKEY_KIND_PKCS8, false},
    {PKEY_FORMAT_DER, PKEY_KIND_PKCS8, true},  {PKEY_FORMAT_PEM, PKEY_KIND_PKCS8, true},
    {PKEY_FORMAT_DER, PKEY_KIND_TRADITIONAL, false},
    {PKEY_FORMAT_PEM, PKEY_KIND_TRADITIONAL, false},
    {PKEY_FORMAT_PEM, PKEY_KIND_TRADITIONAL, true}};

class Encodings : public KeyTest {};

TEST_F(Encodings, EveryTypeAndEncodingRoundTrips) {
  std::string pw = "p\xc3\xa4ss word";
  struct Type {
    int type, param;
  } const types[] = {{PKEY_TYPE_RSA, 1024}, {PKEY_TYPE_DSA, 0}, {PKEY_TYPE_ECGOST_CP, NID_CP_2001_B},
                     {PKEY_TYPE_R3410_CP, 0}};
  for (const auto& t : types) {
    PkeyPtr key(PKEY_generate(t.type, t.param, nullptr, nullptr, nullptr));
    ASSERT_TRUE(key) << t.type;
    EXPECT_EQ(key->type, t.type == PKEY_TYPE_RSA ? PKEY_TYPE_RSA_RECORD : t.type);
    EXPECT_GT(key->size, 0);
    ASSERT_EQ(PKEY_KEY_bind(key->key, pse()), 1);
    for (const auto& e : kEncodings) {
      SCOPED_TRACE(testing::Message() << "type " << t.type << " format " << e.format << " kind "
                                      << e.kind << " password " << e.password);
      Owned<BUFFER> img(PKEY_write_buffer(key.get(), e.format, e.kind, e.password ? string_password : nullptr, &pw));
      ASSERT_TRUE(img);
      const std::string text(reinterpret_cast<const char*>(img->data), static_cast<std::size_t>(img->length));
      if (e.format == PKEY_FORMAT_PEM) {
        const char* label = e.kind == PKEY_KIND_PKCS8
                                ? (e.password ? "ENCRYPTED PRIVATE KEY" : "PRIVATE KEY")
                                : pkey::traditional_label(key->type);
        EXPECT_NE(text.find(std::string("-----BEGIN ") + label + "-----"), std::string::npos) << text;
        EXPECT_EQ(text.find("ENCRYPTED\n") != std::string::npos, e.password && e.kind == PKEY_KIND_TRADITIONAL);
      }
      PkeyPtr back(PKEY_read_buffer(img->data, img->length, pse(), string_password, &pw));
      ASSERT_TRUE(back) << drain_errors().size();
      EXPECT_EQ(back->type, key->type);
      EXPECT_EQ(bytes_of(back->fingerprint), bytes_of(key->fingerprint));
      EXPECT_TRUE(sign_verify(back.get(), key.get()));
      // A wrong password does not open an encrypted image.
      if (e.password) {
        std::string wrong = "wrong";
        EXPECT_FALSE(PkeyPtr(PKEY_read_buffer(img->data, img->length, pse(), string_password, &wrong)));
        drain_errors();
      }
    }
  }
}

TEST_F(Encodings, EncryptedKeyWithoutPasswordSourceIsEvpReason129) {
  std::string pw = "secret";
  PkeyPtr key(PKEY_generate(PKEY_TYPE_ECGOST_CP, 0, nullptr, nullptr, nullptr));
  ASSERT_TRUE(key);
  ASSERT_EQ(PKEY_KEY_bind(key->key, pse()), 1);
  for (const auto& e : {kEncodings[2], kEncodings[3], kEncodings[6]}) {
    Owned<BUFFER> img(PKEY_write_buffer(key.get(), e.format, e.kind, string_password, &pw));
    ASSERT_TRUE(img);
    drain_errors();
    EXPECT_FALSE(PkeyPtr(PKEY_read_buffer(img->data, img->length, pse(), nullptr, nullptr)));
    const auto q = drain_errors();
    EXPECT_TRUE(has_error(q, LIB_EVP, 0, EVP_R_NO_PASSWORD_CALLBACK)) << e.format << " " << e.kind;
    EXPECT_TRUE(has_error(q, LIB_CADB, CADB_F_PKEY_READ_BUFFER, LIB_ASN1));
  }
}

TEST_F(Encodings, PasswordTriedAsBytesThenAsText) {
  const std::string pw = "secret";
  PkeyCtxPtr gen = key_context();
  ASSERT_EQ(PKEY_CTX_generate(gen.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
  ASSERT_EQ(PKEY_CTX_set_password(gen.get(), pw.c_str(), 0), 1);
  ASSERT_EQ(PKEY_CTX_write(gen.get(), PKEY_FORMAT_PEM, PKEY_KIND_PKCS8), 1);
  EXPECT_NE(pse_test::read_file(key_file())[11], 'P');  // "-----BEGIN ENCRYPTED"
  // The password with a terminator and trailing bytes: the raw bytes fail, the text opens it.
  const char padded[] = "secret\0junk";
  PkeyCtxPtr rd = key_context();
  ASSERT_EQ(PKEY_CTX_set_password(rd.get(), padded, sizeof padded - 1), 1);
  ASSERT_EQ(PKEY_CTX_read(rd.get()), 1);
  EXPECT_TRUE(drain_errors().empty());
  PkeyCtxPtr wrong = key_context();
  ASSERT_EQ(PKEY_CTX_set_password(wrong.get(), "secreT", 0), 1);
  EXPECT_EQ(PKEY_CTX_read(wrong.get()), 0);
  EXPECT_TRUE(has_error(drain_errors(), LIB_EVP, 0, pkey::PKEY_R_BAD_DECRYPT));
}

// Key files made by OpenSSL itself: plain PKCS#8 needs no password source; a traditional RSA
// key loads after the PKCS#8 attempts, which leave nothing on either queue.
TEST_F(Encodings, OpenSslKeyFilesLoad) {
  EVP_PKEY* rsa = EVP_RSA_gen(1024);
  ASSERT_TRUE(rsa);
  unsigned char* der = nullptr;
  int n = i2d_PrivateKey(rsa, &der);
  ASSERT_GT(n, 0);
  Bytes trad(der, der + n);
  OPENSSL_free(der);
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(rsa);
  der = nullptr;
  n = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
  Bytes info(der, der + n);
  OPENSSL_free(der);
  PKCS8_PRIV_KEY_INFO_free(p8);
  for (const Bytes* img : {&trad, &info}) {
    drain_errors();
    PkeyPtr k(PKEY_read_buffer(img->data(), static_cast<int>(img->size()), nullptr, nullptr, nullptr));
    ASSERT_TRUE(k);
    EXPECT_EQ(k->type, PKEY_TYPE_RSA_RECORD);
    EXPECT_TRUE(drain_errors().empty());
    EXPECT_EQ(ERR_peek_error(), 0UL);
  }
  // Through a context reading the file.
  const std::string path = (root_ / "rsa.der").string();
  pse_test::write_file(path, trad);
  PkeyCtxPtr rd(PKEY_CTX_new());
  ASSERT_EQ(PKEY_CTX_set_path(rd.get(), path.c_str()), 1);
  ASSERT_EQ(PKEY_CTX_read(rd.get()), 1);
  EXPECT_TRUE(drain_errors().empty());
  EVP_PKEY_free(rsa);
}

// The encrypted forms of RSA keys are OpenSSL's own: OpenSSL reads ours, we read OpenSSL's.
TEST_F(Encodings, EncryptedRsaFormsAgreeWithOpenSsl) {
  std::string pw = "interop";
  PkeyPtr key(PKEY_generate(PKEY_TYPE_RSA, 1024, nullptr, nullptr, nullptr));
  ASSERT_TRUE(key);
  for (int kind : {PKEY_KIND_PKCS8, PKEY_KIND_TRADITIONAL}) {
    Owned<BUFFER> img(PKEY_write_buffer(key.get(), PKEY_FORMAT_PEM, kind, string_password, &pw));
    ASSERT_TRUE(img);
    ::BIO* b = BIO_new_mem_buf(img->data, img->length);
    EVP_PKEY* theirs = PEM_read_bio_PrivateKey(b, nullptr, nullptr, const_cast<char*>(pw.c_str()));
    BIO_free(b);
    ASSERT_TRUE(theirs) << kind;
    EXPECT_EQ(EVP_PKEY_eq(theirs, key->key->evp), 1);
    EVP_PKEY_free(theirs);
  }
  // OpenSSL's PBES2 (AES-256-CBC, hmacWithSHA256) and its DES-EDE3 PEM encryption.
  for (const EVP_CIPHER* c : {EVP_aes_256_cbc(), EVP_des_ede3_cbc()}) {
    for (bool pkcs8 : {true, false}) {
      ::BIO* b = BIO_new(BIO_s_mem());
      ASSERT_EQ(pkcs8 ? PEM_write_bio_PKCS8PrivateKey(b, key->key->evp, c, nullptr, 0, nullptr, const_cast<char*>(pw.c_str()))
                      : PEM_write_bio_PrivateKey_traditional(b, key->key->evp, c, nullptr, 0, nullptr, const_cast<char*>(pw.c_str())),
                1);
      char* p = nullptr;
      const long n = BIO_get_mem_data(b, &p);
      PkeyPtr ours(PKEY_read_buffer(reinterpret_cast<unsigned char*>(p), static_cast<int>(n), nullptr, string_password, &pw));
      BIO_free(b);
      ASSERT_TRUE(ours) << pkcs8;
      EXPECT_EQ(bytes_of(ours->fingerprint), bytes_of(key->fingerprint));
    }
  }
}

TEST(Fingerprint, IsTheHashOfThePublicKeyBits) {
  PkeyPtr key(PKEY_generate(PKEY_TYPE_ECGOST_CP, NID_CP_2001_A, nullptr, nullptr, nullptr));
  ASSERT_TRUE(key);
  const int n = i2d_PKEY_KEY_PUBKEY(key->key, nullptr);
  Bytes spki(static_cast<std::size_t>(n));
  unsigned char* p = spki.data();
  ASSERT_EQ(i2d_PKEY_KEY_PUBKEY(key->key, &p), n);
  // The BIT STRING is the last 67 bytes: tag, length, unused bits, OCTET STRING of 64.
  ASSERT_GT(n, 67);
  EXPECT_EQ(spki[spki.size() - 69], 0x03);
  Bytes fp(32);
  ASSERT_TRUE(GOSTH_digest(spki.data() + spki.size() - 64 - 2, 66, fp.data()));
  EXPECT_EQ(bytes_of(key->fingerprint), fp);
  unsigned char fp2[32];
  ASSERT_EQ(FINGER_PRINT_of_bits(spki.data() + spki.size() - 66, 66, fp2), 1);
  EXPECT_EQ(Bytes(fp2, fp2 + 32), fp);
  // Reading the SubjectPublicKeyInfo gives the same point and fingerprint.
  const unsigned char* q = spki.data();
  Owned<PKEY_KEY> pub(d2i_PKEY_KEY_PUBKEY(&q, n));
  ASSERT_TRUE(pub);
  Owned<BUFFER> fp3(FINGER_PRINT_get(pub.get()));
  EXPECT_EQ(bytes_of(fp3.get()), fp);
}

TEST(DsaParameters, AreValid) {
  PkeyPtr key(PKEY_generate(PKEY_TYPE_DSA, 0, nullptr, nullptr, nullptr));
  ASSERT_TRUE(key);
  EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_pkey(nullptr, key->key->evp, nullptr);
  EXPECT_EQ(EVP_PKEY_param_check(c), 1);
  EXPECT_EQ(EVP_PKEY_get_bits(key->key->evp), 1024);
  EVP_PKEY_CTX_free(c);
  EXPECT_TRUE(sign_verify(key.get(), key.get()));
}

}  // namespace

namespace {

// The plain private value of GOST R 34.10-2001 PKCS#8 keys other software writes: 32 raw
// little-endian bytes whatever their first byte (the engine writes them so; one in 256 begins
// like a SEQUENCE, one in 256 like an INTEGER), an OCTET STRING of them, an INTEGER, the masked
// form.
TEST(PlainGostValues, EveryFormWhateverItsFirstByte) {
  const unsigned char params[] = {0x30, 0x12, 0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01,
                                  0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1e, 0x01};
  auto info = [&](const Bytes& value) {
    Bytes alg{0x06, 0x06, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x13};
    alg.insert(alg.end(), params, params + sizeof params);
    Bytes body{0x02, 0x01, 0x00, 0x30, static_cast<unsigned char>(alg.size())};
    body.insert(body.end(), alg.begin(), alg.end());
    body.push_back(0x04);
    body.push_back(static_cast<unsigned char>(value.size()));
    body.insert(body.end(), value.begin(), value.end());
    Bytes out{0x30};
    if (body.size() >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
  };
  Bytes le(32);
  for (int i = 0; i < 32; ++i) le[i] = static_cast<unsigned char>(0x11 * i + 7);
  le[31] = 0x01;  // well below q
  BnPtr want(BN_lebin2bn(le.data(), 32, nullptr));
  for (unsigned char first : {0x02, 0x30, 0x04, 0xA0, 0x00}) {
    for (unsigned char second : {0x1E, 0x20, 0x05}) {
      Bytes raw = le;
      raw[0] = first;
      raw[1] = second;
      BnPtr d(BN_lebin2bn(raw.data(), 32, nullptr));
      Bytes octet{0x04, 0x20};
      octet.insert(octet.end(), raw.begin(), raw.end());
      Bytes be(32);
      BN_bn2binpad(d.get(), be.data(), 32);
      Bytes integer{0x02, 0x20};
      integer.insert(integer.end(), be.begin(), be.end());
      for (const Bytes* v : {&raw, &octet, &integer}) {
        const Bytes img = info(*v);
        PkeyPtr k(PKEY_read_buffer(img.data(), static_cast<int>(img.size()), nullptr, nullptr, nullptr));
        ASSERT_TRUE(k) << int(first) << " " << int(second) << " form " << v->size();
        BnPtr got(BN_new());
        ASSERT_EQ(ECGOST_get_private(k->key->ec, got.get()), 1);
        EXPECT_EQ(BN_cmp(got.get(), d.get()), 0);
      }
    }
  }
  // Masked: the value times the mask mod q; mask 1 leaves the value.
  Bytes masked = le;
  Bytes one(32, 0);
  one[0] = 1;
  masked.insert(masked.end(), one.begin(), one.end());
  const Bytes img = info(masked);
  PkeyPtr k(PKEY_read_buffer(img.data(), static_cast<int>(img.size()), nullptr, nullptr, nullptr));
  ASSERT_TRUE(k);
  BnPtr got(BN_new());
  ASSERT_EQ(ECGOST_get_private(k->key->ec, got.get()), 1);
  EXPECT_EQ(BN_cmp(got.get(), want.get()), 0);
  drain_errors();
}

}  // namespace

namespace {

int g_progress = 0;
int count_progress(int, int, void*) {
  ++g_progress;
  return 1;
}
int g_waits = 0;
int give_up(const char*, void*) {
  ++g_waits;
  return 0;
}

class Context : public KeyTest {};

// RSA and DSA keys through the default method: generated without the container (RSA with the
// progress call-back), written and read back through the key file.
TEST_F(Context, RsaAndDsaThroughTheDefaultMethod) {
  for (int type : {PKEY_TYPE_RSA, PKEY_TYPE_DSA}) {
    SCOPED_TRACE(type);
    g_progress = 0;
    PkeyCtxPtr gen = key_context();
    ASSERT_EQ(PKEY_CTX_set_gen_callback(gen.get(), count_progress, nullptr), 1);
    ASSERT_EQ(PKEY_CTX_generate(gen.get(), type, 1024), 1);
    if (type == PKEY_TYPE_RSA) {
      EXPECT_GT(g_progress, 0);
    }
    PKEY* made = PKEY_CTX_get_key(gen.get());
    EXPECT_EQ(made->type, type == PKEY_TYPE_RSA ? PKEY_TYPE_RSA_RECORD : type);
    EXPECT_EQ(EVP_PKEY_get_bits(made->key->evp), 1024);
    ASSERT_EQ(PKEY_CTX_write(gen.get(), PKEY_FORMAT_PEM, PKEY_KIND_TRADITIONAL), 1);
    PkeyCtxPtr rd = key_context();
    ASSERT_EQ(PKEY_CTX_read(rd.get()), 1);
    EXPECT_EQ(bytes_of(PKEY_CTX_get_key(rd.get())->fingerprint), bytes_of(made->fingerprint));
    std::filesystem::remove(key_file());
  }
}

// A key path on a carrier that is not there: the waiter is asked, gives up, and the read or
// write fails with (66, 366 or 368, 12). A key path inside the held container is not waited for.
TEST_F(Context, MissingCarrierOfTheKeyPath) {
  PkeyCtxPtr ctx = key_context();
  ASSERT_EQ(PKEY_CTX_generate(ctx.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
  ASSERT_EQ(PKEY_CTX_set_insert_callback(ctx.get(), give_up, nullptr), 1);
  ASSERT_EQ(PKEY_CTX_set_path(ctx.get(), "eToken\\0\\pse\\aaaa\\0001"), 1);
  g_waits = 0;
  EXPECT_EQ(PKEY_CTX_read(ctx.get()), 0);
  EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_PKEY_CTX_READ, R_INTERNAL_ERROR));
  ASSERT_EQ(PKEY_CTX_generate(ctx.get(), PKEY_TYPE_ECGOST_CP, 0), 1);
  EXPECT_EQ(PKEY_CTX_write(ctx.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8), 0);
  EXPECT_TRUE(has_error(drain_errors(), LIB_CADB, CADB_F_PKEY_CTX_WRITE, R_INTERNAL_ERROR));
  // Inside the held container: written without asking.
  ASSERT_EQ(PKEY_CTX_set_path(ctx.get(), key_file().c_str()), 1);
  g_waits = 0;
  ASSERT_EQ(PKEY_CTX_write(ctx.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8), 1);
  EXPECT_EQ(g_waits, 0);
}

}  // namespace
