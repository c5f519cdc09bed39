// What needs no GOST mechanism, on SoftHSM2: a software key pair imported under a name, read
// back, listed and deleted by name; certificate objects written, read, listed and deleted.
#include <openssl/rand.h>

#include <cstring>
#include <fstream>

#include "crypto/cadb/cert.h"
#include "crypto/cadb/pkey.h"
#include "crypto/mem.h"
#include "crypto/pse/pse.h"
#include "crypto/pkcs11/token_keys.h"
#include "tests/pkcs11/fixture.h"

using namespace jarnel;
using namespace p11test;

namespace {

class TokenKeysSoftHsm : public SoftHsm {
 protected:
  std::vector<std::string> list(unsigned flags) {
    std::vector<std::string> out;
    PKCS11_list_objects(
        "pkcs11:\\softhsm2", flags,
        [](const char* name, void* arg) {
          static_cast<std::vector<std::string>*>(arg)->push_back(name);
          return 1;
        },
        &out);
    return out;
  }
};

TEST_F(TokenKeysSoftHsm, ImportedPairIsReadListedAndDeletedByName) {
  Owned<ECURVE> c(ECURVE_by_number(ECURVE_number_by_paramset(NID_CP_2001_A)));
  Owned<ECGOST> soft(ECGOST_new(c.get()));
  ECGOST_set_paramsets(soft.get(), NID_CP_2001_A, NID_CP_R3411_94_PARAMSET, 0);
  ASSERT_TRUE(ECGOST_key_pair_generation(soft.get()));
  PKCS11_TOKEN_KEY w{soft.get(), nullptr, nullptr, 0};
  ASSERT_TRUE(PKCS11_write_key("pkcs11:\\softhsm2\\pair", nullptr, nullptr, &w))
      << ERR_peek_error();
  // A second import under the name replaces the first.
  ASSERT_TRUE(PKCS11_write_key("pkcs11:\\softhsm2\\pair", nullptr, nullptr, &w));
  EXPECT_EQ(list(PKCS11_LIST_PRIVATE_KEYS), std::vector<std::string>{"pkcs11:\\softhsm2\\pair"});
  EXPECT_EQ(list(PKCS11_LIST_PUBLIC_KEYS), std::vector<std::string>{"pkcs11:\\softhsm2\\pair"});

  PKCS11_TOKEN_KEY k{};
  ASSERT_TRUE(PKCS11_read_key("pkcs11:\\softhsm2\\pair", nullptr, nullptr, 0, &k));
  unsigned char a[64], b[64];
  ASSERT_EQ(ECPOINT_point2le(ECGOST_get_public(k.key), a, 64), 64);
  ASSERT_EQ(ECPOINT_point2le(ECGOST_get_public(soft.get()), b, 64), 64);
  EXPECT_EQ(Bytes(a, a + 64), Bytes(b, b + 64));
  int pub = 0, hash = 0, cipher = 0;
  ECGOST_get_paramsets(k.key, &pub, &hash, &cipher);
  EXPECT_EQ(pub, NID_CP_2001_A);
  EXPECT_EQ(cipher, NID_CP_28147_A);  // the default the import wrote
  // SoftHSM2 lists no GOST mechanism: the sign-only table, and no generating there.
  EXPECT_STREQ(k.method->name, "EVP_PKEY_METHOD only pkcs11 sign");
  EXPECT_EQ(k.flags, PKCS11_TOKEN_KEY_SIGN_ONLY);
  PKCS11_TOKEN_KEY g{};
  EXPECT_FALSE(PKCS11_generate_key("pkcs11:\\softhsm2\\x", nullptr, 271, 0, &g));
  // The private value is not readable.
  unsigned char value[32];
  CK_ULONG len = sizeof value;
  EXPECT_FALSE(PKCS11_get_attribute(k.token, CKA_VALUE, value, &len));
  PKCS11_TOKEN_KEY_clear(&k);
  drain_errors();

  ASSERT_TRUE(PKCS11_delete_by_path("pkcs11:\\softhsm2\\pair"));
  EXPECT_TRUE(list(PKCS11_LIST_PRIVATE_KEYS | PKCS11_LIST_PUBLIC_KEYS).empty());
  EXPECT_FALSE(PKCS11_read_key("pkcs11:\\softhsm2\\pair", nullptr, nullptr, 0, &k));
}

TEST_F(TokenKeysSoftHsm, CertificateObjectsAreWrittenReadListedAndDeleted) {
  const fs::path der = dir_ / "cert.der";
  std::string out = run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                        "-subj /CN=softhsm-cert -days 1 -keyout " + (dir_ / "k.pem").string() +
                        " -outform DER -out " + der.string());
  std::ifstream f(der, std::ios::binary);
  Bytes cert((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(cert.empty()) << out;
  ASSERT_TRUE(PKCS11_write_certificate("pkcs11:\\softhsm2\\ca", nullptr, 2, cert.data(),
                                       cert.size()));
  ASSERT_TRUE(PKCS11_write_certificate("pkcs11:\\softhsm2\\own", nullptr, 1, cert.data(),
                                       cert.size()));
  CK_ULONG category = 0;
  unsigned char* got = nullptr;
  std::size_t got_len = 0;
  ASSERT_TRUE(PKCS11_read_certificate("pkcs11:\\softhsm2\\ca", nullptr, &category, &got, &got_len));
  EXPECT_EQ(category, 2u);
  EXPECT_EQ(Bytes(got, got + got_len), cert);
  mem_free(got);
  EXPECT_EQ(list(PKCS11_LIST_CERTS_CATEGORY2), std::vector<std::string>{"pkcs11:\\softhsm2\\ca"});
  EXPECT_EQ(list(PKCS11_LIST_CERTIFICATES).size(), 2u);
  // An independent reader sees the subject and label.
  std::string listing = tool("--type cert -O");
  EXPECT_NE(listing.find("Halvorit certificate object"), std::string::npos) << listing;
  EXPECT_NE(listing.find("softhsm-cert"), std::string::npos) << listing;

  ASSERT_TRUE(PKCS11_delete_by_path("pkcs11:\\softhsm2\\ca"));
  EXPECT_EQ(list(PKCS11_LIST_CERTIFICATES), std::vector<std::string>{"pkcs11:\\softhsm2\\own"});
  EXPECT_FALSE(PKCS11_read_certificate("pkcs11:\\softhsm2\\ca", nullptr, &category, &got, &got_len));
}

// The key and certificate contexts of a container on SoftHSM2: a key made in software is stored
// as a pair and read back as a token key (sign-only: SoftHSM2 lists no GOST mechanism), a
// certificate keeps its kind.
TEST_F(TokenKeysSoftHsm, KeyAndCertificateContextsOnAContainerPath) {
  PSE* pse = PSE_new();
  ASSERT_TRUE(pse && PSE_set_path(pse, "pkcs11:\\softhsm2\\box"));
  Owned<PKEY> soft(PKEY_generate(PKEY_TYPE_ECGOST_CP, NID_CP_2001_B, nullptr, nullptr, nullptr));
  Owned<PKEY_CTX> w(PKEY_CTX_new()), r(PKEY_CTX_new());
  ASSERT_TRUE(soft && w && r && PKEY_CTX_set_pse(w.get(), pse) && PKEY_CTX_set_pse(r.get(), pse));
  PSE_free(pse);  // the contexts hold it
  ASSERT_TRUE(PKEY_CTX_set_key(w.get(), soft.get()));
  ASSERT_TRUE(PKEY_CTX_write(w.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8)) << ERR_peek_error();
  EXPECT_EQ(list(PKCS11_LIST_PUBLIC_KEYS | PKCS11_LIST_RECURSE),
            std::vector<std::string>{"pkcs11:\\softhsm2\\box\\keys\\00000001.key"});
  ASSERT_TRUE(PKEY_CTX_read(r.get())) << ERR_peek_error();
  const PKEY* got = PKEY_CTX_get_key(r.get());
  EXPECT_EQ(Bytes(got->fingerprint->data, got->fingerprint->data + 32),
            Bytes(soft->fingerprint->data, soft->fingerprint->data + 32));
  EXPECT_EQ(got->flags & PKEY_FLAG_SIGN_ONLY, PKEY_FLAG_SIGN_ONLY);
  EXPECT_STREQ(got->key->token_method->name, "EVP_PKEY_METHOD only pkcs11 sign");
  // No generating without the GOST mechanisms; the record stays as it was.
  EXPECT_FALSE(PKEY_CTX_generate(r.get(), PKEY_TYPE_ECGOST_CP, 0));
  EXPECT_EQ(PKEY_CTX_get_key(r.get()), got);
  drain_errors();

  const fs::path der = dir_ / "cert.der";
  std::string out = run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                        "-subj /CN=ctx-cert -days 1 -keyout " + (dir_ / "k.pem").string() +
                        " -outform DER -out " + der.string());
  std::ifstream f(der, std::ios::binary);
  Bytes cert((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(cert.empty()) << out;
  Owned<CERT_CTX> cw(CERT_CTX_new()), cr(CERT_CTX_new());
  ASSERT_TRUE(CERT_CTX_set_data(cw.get(), cert.data(), static_cast<int>(cert.size())) &&
              CERT_CTX_read(cw.get()) &&
              CERT_CTX_set_path(cw.get(), "pkcs11:\\softhsm2\\box\\c1") &&
              CERT_CTX_set_kind(cw.get(), 2));
  ASSERT_TRUE(CERT_CTX_write(cw.get(), CERT_FORMAT_DER)) << ERR_peek_error();
  ASSERT_TRUE(CERT_CTX_set_path(cr.get(), "pkcs11:\\softhsm2\\box\\c1") && CERT_CTX_read(cr.get()));
  EXPECT_EQ(cr->kind, 2);
  EXPECT_EQ(list(PKCS11_LIST_CERTS_CATEGORY2 | PKCS11_LIST_RECURSE).size(), 1u);
  BufPtr back(CERT_get(CERT_CTX_get_cert(cr.get()), CERT_FORMAT_DER));
  ASSERT_TRUE(back);
  EXPECT_EQ(Bytes(back->data, back->data + back->length), cert);
}

}  // namespace
