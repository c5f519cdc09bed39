// What needs no GOST mechanism, on SoftHSM2: a software key pair imported under a name, read
// back, listed and deleted by name; certificate objects written, read, listed and deleted.
#include <openssl/rand.h>

#include <cstring>
#include <fstream>

#include "crypto/mem.h"
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

}  // namespace
