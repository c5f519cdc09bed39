// Certificate records: fields, decoding forms, chains, the context and its file method, output
// formats, and refusal of malformed input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "crypto/cadb/cadb.h"
#include "crypto/cadb/cert.h"
#include "crypto/hooks.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"
#include "crypto/rus/gosth.h"
#include "fixture.h"

using namespace jarnel;
using namespace certtest;

namespace {

struct CertFree {
  void operator()(CERT* c) const { CERT_free(c); }
};
using CertPtr = std::unique_ptr<CERT, CertFree>;

CertPtr read(const Bytes& b) { return CertPtr(CERT_read_buffer(b.data(), static_cast<int>(b.size()))); }
CertPtr read(const std::string& s) { return CertPtr(CERT_read_buffer(s.data(), static_cast<int>(s.size()))); }

// The packed (lib, func, reason) codes in the queue, oldest first; empties it.
std::vector<unsigned long> drain() {
  std::vector<unsigned long> v;
  while (unsigned long e = jarnel::ERR_get_error()) v.push_back(e);
  return v;
}

bool has(const std::vector<unsigned long>& q, int func, int reason) {
  for (unsigned long e : q)
    if (e == ERR_pack(LIB_CADB, func, reason)) return true;
  return false;
}

std::string name_hash(const X509_NAME* n) {
  unsigned char* der = nullptr;
  int len = i2d_X509_NAME(n, &der);
  unsigned char h[32];
  GOSTH_digest(der, len, h);
  OPENSSL_free(der);
  return hex(h, 32);
}

std::string text(const BUFFER* b) {
  return b ? std::string(reinterpret_cast<const char*>(b->data), static_cast<std::size_t>(b->length)) : "";
}

TEST(CertRecord, FieldsOfAnRsaCertificate) {
  CertPlan plan;
  plan.serial_hex = "80";  // needs a sign byte: content octets 00 80
  X509* x = make_x509(plan);
  CertPtr c = read(der_of(x));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->version, 2);
  EXPECT_EQ(c->key_algorithm, NID_RSA_ENCRYPTION);
  EXPECT_EQ(c->key_size, 2048);
  EXPECT_EQ(c->signature_algorithm, NID_SHA256_WITH_RSA);
  EXPECT_EQ(c->self_issued, -1);
  EXPECT_EQ(c->params_missing, 0);
  EXPECT_EQ(hex(c->serial), "0080");
  // 2024-02-29 12:34:56 was a Thursday, day 59 of the year (from 0).
  const CADB_TIME& nb = c->not_before;
  EXPECT_EQ(std::vector<int>({nb.sec, nb.min, nb.hour, nb.mday, nb.mon, nb.year, nb.wday, nb.yday, nb.isdst}),
            std::vector<int>({56, 34, 12, 29, 1, 124, 4, 59, 0}));
  EXPECT_EQ(c->not_after.year, 134);
  EXPECT_EQ(text(c->subject_text), "C = RU, O = Test Org, CN = Subject");
  EXPECT_EQ(text(c->issuer_text), "C = RU, O = Test Org, CN = Issuer");
  ASSERT_TRUE(c->subject);
  ASSERT_EQ(c->subject->count, 3);
  const CADB_ATTRIBUTE* cn = CADB_ATTRIBUTES_get(c->subject, 2);
  EXPECT_STREQ(cn->type->sn, "CN");
  EXPECT_STREQ(cn->type->text, "2.5.4.3");
  EXPECT_EQ(text(cn->value), "Subject");
  EXPECT_EQ(cn->string_type, V_ASN1_UTF8STRING);
  EXPECT_EQ(hex(c->subject_hash), name_hash(X509_get_subject_name(x)));
  EXPECT_EQ(hex(c->issuer_hash), name_hash(X509_get_issuer_name(x)));
  EXPECT_NE(hex(c->subject_hash), hex(c->issuer_hash));
  // The fingerprint hashes the subjectPublicKey bits (the PKCS#1 key), not the whole SPKI.
  const unsigned char* bits = nullptr;
  int len = 0;
  X509_PUBKEY_get0_param(nullptr, &bits, &len, nullptr, X509_get_X509_PUBKEY(x));
  unsigned char h[32];
  GOSTH_digest(bits, len, h);
  EXPECT_EQ(hex(c->fingerprint), hex(h, 32));
  EXPECT_EQ(c->extensions, nullptr);
  EXPECT_EQ(c->next, nullptr);
  X509_free(x);
}

TEST(CertRecord, SelfIssuedAndVersion1) {
  CertPlan plan;
  plan.issuer = plan.subject;
  plan.version = 0;
  CertPtr c = read(make_cert(plan));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->self_issued, 1);
  EXPECT_EQ(c->version, 0);
  EXPECT_EQ(hex(c->subject_hash), hex(c->issuer_hash));
}

TEST(CertRecord, NamesPrintAsUtf8InMode5) {
  CertPlan plan;
  plan.subject = "/C=RU/CN=Иван Петров";
  CERT_set_name_conversion(5, 5);
  CertPtr c = read(make_cert(plan));
  ASSERT_TRUE(c);
  EXPECT_EQ(text(c->subject_text), "C = RU, CN = Иван Петров");
  EXPECT_EQ(text(CADB_ATTRIBUTES_get(c->subject, 1)->value), "Иван Петров");
  CERT_set_name_conversion(0, 0);
}

TEST(CertRecord, NegativeSerialKeepsItsContentOctets) {
  CertPlan plan;
  plan.serial_hex = "01";
  plan.negative_serial = true;
  CertPtr c = read(make_cert(plan));
  ASSERT_TRUE(c);
  EXPECT_EQ(hex(c->serial), "FF");
}

TEST(CertRecord, GostKeys) {
  const Bytes bits = gost_key_bits();
  unsigned char h[32];
  GOSTH_digest(bits.data(), static_cast<int>(bits.size()), h);
  struct Case {
    const char* key;
    int params_missing;
  } cases[] = {{"gost", 0}, {"gost-noparams", 1}};
  for (const Case& t : cases) {
    SCOPED_TRACE(t.key);
    CertPlan plan;
    plan.key = t.key;
    CertPtr c = read(make_cert(plan));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->key_algorithm, NID_ECR3410_CP);
    EXPECT_EQ(c->key_size, 256);
    EXPECT_EQ(c->params_missing, t.params_missing);
    // 66 bytes of bit string: the OCTET STRING with the point's two 32-byte coordinates.
    EXPECT_EQ(bits.size(), 66u);
    EXPECT_EQ(hex(c->fingerprint), hex(h, 32));
  }
}

TEST(CertRecord, GostKeyThatIsNotAPointIsRefused) {
  // Replace the point with 64 bytes that are not on the curve.
  CertPlan plan;
  plan.key = "gost";
  X509* x = make_x509(plan);
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  ASN1_OBJECT* alg = nullptr;
  X509_ALGOR* a = nullptr;
  X509_PUBKEY_get0_param(&alg, nullptr, nullptr, &a, pub);
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, a);
  Bytes bad = unhex("0440" + std::string(128, '1'));
  unsigned char* copy = static_cast<unsigned char*>(OPENSSL_memdup(bad.data(), bad.size()));
  X509_PUBKEY_set0_param(pub, OBJ_dup(alg), ptype, ASN1_STRING_dup(static_cast<const ASN1_STRING*>(pval)),
                         copy, static_cast<int>(bad.size()));
  X509_sign(x, issuer_key(), EVP_sha256());
  jarnel::ERR_clear_error();
  EXPECT_FALSE(read(der_of(x)));
  auto q = drain();
  EXPECT_TRUE(has(q, CADB_F_CERT_SPLIT, CADB_R_NO_PUBLIC_KEY));
  EXPECT_TRUE(has(q, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB));
  X509_free(x);
}

TEST(CertDecode, EveryFormGivesTheSameRecord) {
  const Bytes der = make_cert(CertPlan{});
  CertPtr ref = read(der);
  ASSERT_TRUE(ref);
  const std::string forms[] = {
      pem_of(der, "CERTIFICATE"),
      "leading text\n" + pem_of(der, "CERTIFICATE") + "trailing text\n",
      base64_of(der, "\n", true),
      base64_of(der, "\n", false),
      base64_of(der, "\r\n", true),
      base64_of(der, "\r\n", false),
  };
  for (const std::string& f : forms) {
    SCOPED_TRACE(f.substr(0, 40));
    CertPtr c = read(f);
    ASSERT_TRUE(c);
    EXPECT_EQ(hex(c->fingerprint), hex(ref->fingerprint));
    EXPECT_EQ(hex(c->serial), hex(ref->serial));
    EXPECT_EQ(text(c->subject_text), text(ref->subject_text));
    BUFFER* d = CERT_get(c.get(), CERT_FORMAT_DER);
    ASSERT_TRUE(d);
    EXPECT_EQ(hex(d), hex(der.data(), der.size()));
    BUFFER_free(d);
  }
}

TEST(CertDecode, PemBundleReadsAsAChain) {
  CertPlan a, b;
  b.serial_hex = "0B";
  const std::string bundle = pem_of(make_cert(a), "CERTIFICATE") + pem_of(make_cert(b), "CERTIFICATE");
  CertPtr c = read(bundle);
  ASSERT_TRUE(c);
  EXPECT_EQ(CERT_chain_length(c.get()), 2);
  EXPECT_EQ(hex(c->next->serial), "0B");
  // A damaged second certificate refuses the whole bundle: no partial chain.
  std::string bad = pem_of(make_cert(a), "CERTIFICATE") + "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  EXPECT_FALSE(read(bad));
  jarnel::ERR_clear_error();
}

TEST(CertDecode, MalformedInputIsRefusedCleanly) {
  const Bytes der = make_cert(CertPlan{});
  // Every truncation of the DER.
  for (std::size_t n = 1; n < der.size(); ++n) {
    Bytes t(der.begin(), der.begin() + static_cast<long>(n));
    ASSERT_FALSE(read(t)) << n;
    auto q = drain();
    ASSERT_TRUE(has(q, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB)) << n;
  }
  // Every truncation of the PEM text, in steps.
  const std::string pem = pem_of(der, "CERTIFICATE");
  for (std::size_t n = 1; n + 1 < pem.size(); n += 7) {
    ASSERT_FALSE(read(pem.substr(0, n))) << n;
    jarnel::ERR_clear_error();
  }
  std::vector<Bytes> bad;
  Bytes t = der;
  t[0] = 0x31;  // SET instead of SEQUENCE
  bad.push_back(t);
  t = der;
  t[4] = 0x02;  // the TBSCertificate becomes an INTEGER
  bad.push_back(t);
  bad.push_back(unhex("3084FFFFFFFF3000"));          // a length far beyond the input
  bad.push_back(unhex("308900000000000000000130"));  // a length of nine octets
  bad.push_back(Bytes(1, 0x30));
  bad.push_back(Bytes(300, 0xFF));
  Bytes junk = der;
  junk.push_back(0);  // trailing byte after the DER: not one certificate
  bad.push_back(junk);
  const std::string texts[] = {
      "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n",
      "-----BEGIN CERTIFICATE-----\n" + base64_of(der, "\n", true),  // no end line
      "-----BEGIN X509 CRL-----\n" + base64_of(der, "\n", true) + "-----END X509 CRL-----\n",
      "-----BEGIN CERTIFICATE----\n" + base64_of(der, "\n", true) + "-----END CERTIFICATE-----\n",
      base64_of(der, "\n", true).substr(5),  // Base64 out of step
      "not base64 at all",
  };
  for (const std::string& s : texts) bad.emplace_back(s.begin(), s.end());
  for (const Bytes& b : bad) {
    SCOPED_TRACE(hex(b.data(), std::min<std::size_t>(b.size(), 16)));
    EXPECT_FALSE(read(b));
    auto q = drain();
    EXPECT_TRUE(has(q, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB));
  }
  EXPECT_FALSE(CERT_read_buffer(nullptr, 10));
  EXPECT_FALSE(CERT_read_buffer(der.data(), 0));
  jarnel::ERR_clear_error();
}

TEST(CertGet, Formats) {
  const Bytes der = make_cert(CertPlan{});
  CertPtr c = read(der);
  ASSERT_TRUE(c);
  BUFFER* pem = CERT_get(c.get(), CERT_FORMAT_PEM);
  BUFFER* txt = CERT_get(c.get(), CERT_FORMAT_TEXT);
  BUFFER* other = CERT_get(c.get(), 7);
  ASSERT_TRUE(pem && txt && other);
  EXPECT_EQ(text(pem), pem_of(der, "CERTIFICATE"));
  EXPECT_NE(text(txt).find("Subject: C=RU, O=Test Org, CN=Subject"), std::string::npos);
  EXPECT_EQ(hex(other), hex(der.data(), der.size()));
  BUFFER_free(pem);
  BUFFER_free(txt);
  BUFFER_free(other);
  EXPECT_FALSE(CERT_get(nullptr, CERT_FORMAT_DER));
  jarnel::ERR_clear_error();
}

class CertCtxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("cert_ctx_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

struct CtxFree {
  void operator()(CERT_CTX* c) const { CERT_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<CERT_CTX, CtxFree>;

TEST_F(CertCtxTest, ImportRunsSetDataReadSetPathWrite) {
  const Bytes der = make_cert(CertPlan{});
  const std::string pem = pem_of(der, "CERTIFICATE");
  CtxPtr ctx(CERT_CTX_new());
  ASSERT_TRUE(ctx);
  EXPECT_STREQ(ctx->method->name, "CERT_CTX default method");
  ASSERT_TRUE(CERT_CTX_set_data(ctx.get(), pem.data(), static_cast<int>(pem.size())));
  ASSERT_TRUE(CERT_CTX_read(ctx.get()));
  const CERT* first = CERT_CTX_get_cert(ctx.get());
  ASSERT_TRUE(first);
  // Setting the path drops the data but keeps the record, so the write stores it.
  ASSERT_TRUE(CERT_CTX_set_path(ctx.get(), path("c.cer").c_str()));
  EXPECT_EQ(ctx->data, nullptr);
  EXPECT_EQ(CERT_CTX_get_cert(ctx.get()), first);
  ASSERT_TRUE(CERT_CTX_set_kind(ctx.get(), 2));
  EXPECT_EQ(ctx->kind, 2);
  ASSERT_TRUE(CERT_CTX_write(ctx.get(), CERT_FORMAT_DER));
  // The file holds the DER; reading the path gives the same record.
  CtxPtr back(CERT_CTX_new());
  ASSERT_TRUE(CERT_CTX_set_path(back.get(), path("c.cer").c_str()));
  ASSERT_TRUE(CERT_CTX_read(back.get()));
  EXPECT_EQ(hex(CERT_CTX_get_cert(back.get())->fingerprint), hex(first->fingerprint));
  BUFFER* file = BUFFER_read_file(path("c.cer").c_str(), 0, nullptr);
  ASSERT_TRUE(file);
  EXPECT_EQ(hex(file), hex(der.data(), der.size()));
  BUFFER_free(file);
  // A PEM write.
  ASSERT_TRUE(CERT_CTX_set_path(ctx.get(), path("c.pem").c_str()));
  ASSERT_TRUE(CERT_CTX_write(ctx.get(), CERT_FORMAT_PEM));
  file = BUFFER_read_file(path("c.pem").c_str(), 0, nullptr);
  EXPECT_EQ(text(file), pem);
  BUFFER_free(file);
}

TEST_F(CertCtxTest, FailuresKeepTheRecordAndSayWhy) {
  CtxPtr ctx(CERT_CTX_new());
  jarnel::ERR_clear_error();
  // Neither data nor path.
  EXPECT_FALSE(CERT_CTX_read(ctx.get()));
  EXPECT_TRUE(has(drain(), CADB_F_CERT_CTX_SET, R_INTERNAL_ERROR));
  // Write without a path or record.
  EXPECT_FALSE(CERT_CTX_write(ctx.get(), CERT_FORMAT_DER));
  EXPECT_TRUE(has(drain(), CADB_F_CERT_CTX_DEFAULT_WRITE, R_INTERNAL_ERROR));
  // A good read, then bad bytes: the read fails and the first record stays.
  const Bytes der = make_cert(CertPlan{});
  ASSERT_TRUE(CERT_CTX_set_data(ctx.get(), der.data(), static_cast<int>(der.size())));
  ASSERT_TRUE(CERT_CTX_read(ctx.get()));
  const CERT* kept = CERT_CTX_get_cert(ctx.get());
  ASSERT_TRUE(CERT_CTX_set_data(ctx.get(), "garbage", 7));
  EXPECT_FALSE(CERT_CTX_read(ctx.get()));
  auto q = drain();
  EXPECT_TRUE(has(q, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB));
  EXPECT_TRUE(has(q, CADB_F_CERT_CTX_SET, CADB_R_CADB_LIB));
  EXPECT_EQ(CERT_CTX_get_cert(ctx.get()), kept);
  // A missing file.
  ASSERT_TRUE(CERT_CTX_set_path(ctx.get(), path("missing.cer").c_str()));
  EXPECT_FALSE(CERT_CTX_read(ctx.get()));
  EXPECT_TRUE(has(drain(), CADB_F_CERT_CTX_SET, CADB_R_CADB_LIB));
  // A write into a folder that is a file.
  ASSERT_TRUE(CERT_CTX_set_path(ctx.get(), path("missing.cer/sub/c.cer").c_str()));
  std::FILE* f = std::fopen(path("missing.cer").c_str(), "w");
  std::fclose(f);
  EXPECT_FALSE(CERT_CTX_write(ctx.get(), CERT_FORMAT_DER));
  q = drain();
  EXPECT_TRUE(has(q, CADB_F_CERT_CTX_DEFAULT_WRITE, R_INTERNAL_ERROR));
  EXPECT_TRUE(has(q, CADB_F_CERT_CTX_DEFAULT_WRITE, CADB_R_CADB_LIB));
  // Null arguments.
  EXPECT_FALSE(CERT_CTX_set_data(nullptr, "x", 1));
  EXPECT_FALSE(CERT_CTX_set_path(ctx.get(), nullptr));
  EXPECT_FALSE(CERT_CTX_set_kind(nullptr, 1));
  EXPECT_FALSE(CERT_CTX_read(nullptr));
  EXPECT_FALSE(CERT_CTX_write(nullptr, 1));
  CERT_CTX_free(nullptr);
  jarnel::ERR_clear_error();
}

TEST_F(CertCtxTest, Pkcs11PathsChooseTheTokenMethod) {
  CtxPtr ctx(CERT_CTX_new());
  for (const char* p : {"pkcs11:softhsm2:0\\aaaa", "PKCS11x", "Pkcs11"}) {
    ASSERT_TRUE(CERT_CTX_set_path(ctx.get(), p));
    EXPECT_STREQ(ctx->method->name, "certificate pkcs11 method") << p;
  }
  ASSERT_TRUE(CERT_CTX_set_path(ctx.get(), path("pkcs11").c_str()));
  EXPECT_STREQ(ctx->method->name, "CERT_CTX default method");
}

// Allocation failures at every step of a read leave no record, no leak and no crash.
int g_fail_at = -1, g_count = 0;
void* failing_malloc(std::size_t n) { return ++g_count == g_fail_at ? nullptr : std::malloc(n); }

TEST(CertMemory, EveryAllocationFailureIsClean) {
  CertPlan plan;
  plan.exts = {{"keyUsage", "digitalSignature"}, {"subjectAltName", "email:a@b.ru,DNS:x.ru"},
               {"certificatePolicies", "1.2.3.4"}};
  const Bytes der = make_cert(plan);
  MallocFn m;
  ReallocFn r;
  FreeFn f;
  CRYPTO_get_mem_functions(&m, &r, &f);
  bool succeeded = false;
  for (g_fail_at = 1; g_fail_at < 400 && !succeeded; ++g_fail_at) {
    g_count = 0;
    ASSERT_EQ(CRYPTO_set_mem_functions(failing_malloc, r, f), 1);
    CERT* c = CERT_read_buffer(der.data(), static_cast<int>(der.size()));
    CRYPTO_set_mem_functions(m, r, f);
    succeeded = c != nullptr && g_count < g_fail_at;
    CERT_free(c);
    jarnel::ERR_clear_error();
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
