#include "fixture.h"

#include <openssl/bn.h>
#include <openssl/conf.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "crypto/ecgost/ecgost.h"
#include "crypto/objects/objects.h"

namespace certtest {

Bytes unhex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

std::string hex(const unsigned char* p, std::size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string hex(const jarnel::BUFFER* b) {
  return b ? hex(b->data, static_cast<std::size_t>(b->length)) : "(null)";
}

EVP_PKEY* issuer_key() {
  static EVP_PKEY* key = EVP_RSA_gen(2048);
  return key;
}

// Sections that extension values may name with @.
const char kConf[] =
    "[pol]\n"
    "policyIdentifier = 1.2.3.4\n"
    "CPS.1 = \"http://cps.example/cps\"\n"
    "userNotice.1 = @notice\n"
    "[notice]\n"
    "explicitText = \"Explicit text\"\n"
    "organization = \"Org Name\"\n"
    "noticeNumbers = 1, 2, 3\n"
    "[dirname]\n"
    "C = RU\n"
    "CN = Dir Name\n"
    "[idp]\n"
    "fullname = URI:http://crl.example/idp.crl\n"
    "onlysomereasons = keyCompromise, CACompromise\n"
    "onlyuser = TRUE\n"
    "[dp]\n"
    "fullname = URI:http://crl.example/dp.crl\n"
    "reasons = keyCompromise, superseded\n"
    "CRLissuer = dirName:dirname\n"
    "[dprel]\n"
    "relativename = rel\n"
    "[rel]\n"
    "CN = Relative\n";

CONF* conf() {
  static CONF* c = [] {
    CONF* n = NCONF_new(nullptr);
    BIO* b = BIO_new_mem_buf(kConf, -1);
    long eline = 0;
    EXPECT_EQ(NCONF_load_bio(n, b, &eline), 1) << eline;
    BIO_free(b);
    return n;
  }();
  return c;
}

X509_EXTENSION* make_ext(const Ext& e) {
  if (e.raw) {
    ASN1_OBJECT* o = OBJ_txt2obj(e.name.c_str(), 1);
    Bytes der = unhex(e.value);
    ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(os, der.data(), static_cast<int>(der.size()));
    X509_EXTENSION* x = X509_EXTENSION_create_by_OBJ(nullptr, o, e.critical ? 1 : 0, os);
    ASN1_OBJECT_free(o);
    ASN1_OCTET_STRING_free(os);
    return x;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, nullptr, nullptr, nullptr, nullptr, 0);
  X509V3_set_nconf(&ctx, conf());
  std::string v = (e.critical ? "critical," : "") + e.value;
  return X509V3_EXT_nconf(conf(), &ctx, e.name.c_str(), v.c_str());
}

namespace {

X509_NAME* name_of(const std::string& text) {
  X509_NAME* n = X509_NAME_new();
  std::size_t at = 1;
  while (at < text.size()) {
    std::size_t next = text.find('/', at);
    if (next == std::string::npos) next = text.size();
    std::string part = text.substr(at, next - at);
    std::size_t eq = part.find('=');
    X509_NAME_add_entry_by_txt(n, part.substr(0, eq).c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(part.c_str() + eq + 1), -1,
                               -1, 0);
    at = next + 1;
  }
  return n;
}

jarnel::ECGOST* gost_key() {
  static jarnel::ECGOST* key = [] {
    jarnel::ECGOST* k = jarnel::ECGOST_new(jarnel::ECURVE_by_number(jarnel::ECURVE_CP_A));
    BIGNUM* d = nullptr;
    BN_hex2bn(&d, "7A929ADE789BB9BE10ED359DD39A72C11B60961F49397EEE1D19CE9891EC3B28");
    jarnel::ECGOST_set_private(k, d);
    BN_free(d);
    jarnel::ECGOST_generate_pubkey(k);
    jarnel::ECGOST_set_paramsets(k, jarnel::NID_CP_2001_A, jarnel::NID_CP_R3411_94_PARAMSET,
                                 jarnel::NID_CP_28147_A);
    return k;
  }();
  return key;
}

X509_PUBKEY* gost_pubkey() {
  unsigned char* der = nullptr;
  int n = jarnel::i2d_ECGOST_PUBKEY(gost_key(), nullptr);
  Bytes buf(static_cast<std::size_t>(n));
  der = buf.data();
  jarnel::i2d_ECGOST_PUBKEY(gost_key(), &der);
  const unsigned char* p = buf.data();
  return d2i_X509_PUBKEY(nullptr, &p, n);
}

}  // namespace

Bytes gost_key_bits() {
  X509_PUBKEY* pub = gost_pubkey();
  const unsigned char* bits = nullptr;
  int len = 0;
  X509_PUBKEY_get0_param(nullptr, &bits, &len, nullptr, pub);
  Bytes out(bits, bits + len);
  X509_PUBKEY_free(pub);
  return out;
}

X509* make_x509(const CertPlan& s) {
  X509* x = X509_new();
  X509_set_version(x, s.version);
  BIGNUM* sn = nullptr;
  BN_hex2bn(&sn, s.serial_hex.c_str());
  BN_set_negative(sn, s.negative_serial);
  BN_to_ASN1_INTEGER(sn, X509_get_serialNumber(x));
  BN_free(sn);
  ASN1_TIME_set_string_X509(X509_getm_notBefore(x), s.not_before.c_str());
  ASN1_TIME_set_string_X509(X509_getm_notAfter(x), s.not_after.c_str());
  X509_NAME* subj = name_of(s.subject);
  X509_NAME* iss = name_of(s.issuer);
  X509_set_subject_name(x, subj);
  X509_set_issuer_name(x, iss);
  X509_NAME_free(subj);
  X509_NAME_free(iss);
  if (s.key == "rsa") {
    X509_set_pubkey(x, issuer_key());
  } else {
    X509_PUBKEY* g = gost_pubkey();
    ASN1_OBJECT* alg = nullptr;
    const unsigned char* bits = nullptr;
    int len = 0;
    X509_ALGOR* a = nullptr;
    X509_PUBKEY_get0_param(&alg, &bits, &len, &a, g);
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, a);
    unsigned char* copy = static_cast<unsigned char*>(OPENSSL_memdup(bits, len));
    void* params = nullptr;
    if (s.key == "gost") {
      params = ASN1_STRING_dup(static_cast<const ASN1_STRING*>(pval));
    } else {
      ptype = V_ASN1_UNDEF;
    }
    X509_PUBKEY_set0_param(X509_get_X509_PUBKEY(x), OBJ_dup(alg), ptype, params, copy, len);
    X509_PUBKEY_free(g);
  }
  for (const Ext& e : s.exts) {
    X509_EXTENSION* ext = make_ext(e);
    EXPECT_TRUE(ext) << e.name << " " << e.value;
    if (ext) X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  EXPECT_GT(X509_sign(x, issuer_key(), EVP_sha256()), 0);
  ::ERR_clear_error();
  return x;
}

Bytes der_of(X509* x) {
  unsigned char* der = nullptr;
  int n = i2d_X509(x, &der);
  Bytes out(der, der + n);
  OPENSSL_free(der);
  return out;
}

Bytes make_cert(const CertPlan& plan) {
  X509* x = make_x509(plan);
  Bytes out = der_of(x);
  X509_free(x);
  return out;
}

std::string pem_of(const Bytes& der, const char* label) {
  return std::string("-----BEGIN ") + label + "-----\n" + base64_of(der, "\n", true) +
         "-----END " + label + "-----\n";
}

std::string base64_of(const Bytes& der, const char* eol, bool final_break) {
  std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), der.data(),
                          static_cast<int>(der.size()));
  b64.resize(static_cast<std::size_t>(n));
  std::string out;
  for (std::size_t i = 0; i < b64.size(); i += 64) {
    out += b64.substr(i, 64);
    if (i + 64 < b64.size() || final_break) out += eol;
  }
  return out;
}

}  // namespace certtest
