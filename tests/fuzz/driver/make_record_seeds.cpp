// Writes the seed corpora of the record harnesses (pkey_file, pkey_pubkey, cert_read, crl_read,
// v3ext_der) in tests/fuzz/corpus from keys made here and bound to the harnesses' container
// (record_fixture.h), and certificates and CRLs made with OpenSSL like the certificate tests'.
// Run it again after changing a layout:
//
//   cmake --build --preset default --target fuzz_make_record_seeds &&
//     build/default/fuzz/fuzz_make_record_seeds tests/fuzz/corpus
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../record_fixture.h"
#include "crypto/cadb/pkey.h"
#include "tests/cert/fixture.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

namespace {

std::string g_root;

void put(const std::string& target, const std::string& name, const Bytes& b) {
  const std::string dir = g_root + "/" + target;
  ::mkdir(dir.c_str(), 0755);
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

int password_cb(char* buf, int size, int, void*) {
  const int n = static_cast<int>(std::strlen(fuzz::kRecordPassword));
  if (n > size) return -1;
  std::memcpy(buf, fuzz::kRecordPassword, static_cast<std::size_t>(n));
  return n;
}

// The harness's layout: selector, password piece, file.
Bytes pkey_input(unsigned char sel, bool with_password, const BUFFER* file) {
  Bytes out{sel};
  const std::string pw = with_password ? fuzz::kRecordPassword : "";
  out.push_back(static_cast<unsigned char>(pw.size()));
  out.insert(out.end(), pw.begin(), pw.end());
  out.insert(out.end(), file->data, file->data + file->length);
  return out;
}

void pkey_seeds() {
  PSE* pse = fuzz::record_pse();
  struct Kind {
    const char* name;
    int type, param;
  } const kinds[] = {{"ec2001", PKEY_TYPE_ECGOST_CP, 0},
                     {"ec2001b", PKEY_TYPE_ECGOST_CP, NID_CP_2001_B},
                     {"r3410", PKEY_TYPE_R3410_CP, 0},
                     {"rsa", PKEY_TYPE_RSA, 512},
                     {"dsa", PKEY_TYPE_DSA, 0}};
  for (const auto& k : kinds) {
    PKEY* key = PKEY_generate(k.type, k.param, nullptr, nullptr, nullptr);
    if (!key) {
      std::fprintf(stderr, "cannot generate %s\n", k.name);
      continue;
    }
    const bool gost = key->key->ec || key->key->r3410;
    if (gost && PKEY_KEY_bind(key->key, pse) != 1) std::fprintf(stderr, "cannot bind %s\n", k.name);
    int n = 0;
    for (int kind : {PKEY_KIND_PKCS8, PKEY_KIND_TRADITIONAL})
      for (int format : {PKEY_FORMAT_DER, PKEY_FORMAT_PEM})
        for (bool pw : {false, true}) {
          // The other key types: a few forms are enough.
          if (std::strcmp(k.name, "ec2001") && n++ % 3) continue;
          BUFFER* file = PKEY_write_buffer(key, format, kind, pw ? password_cb : nullptr, nullptr);
          if (!file) continue;
          const std::string name = std::string(k.name) + (kind == PKEY_KIND_PKCS8 ? "-p8" : "-trad") +
                                   (format == PKEY_FORMAT_DER ? "-der" : "-pem") + (pw ? "-enc" : "");
          put("pkey_file", name, pkey_input(gost ? 3 : 2, pw, file));
          BUFFER_free(file);
        }
    const int len = i2d_PKEY_KEY_PUBKEY(key->key, nullptr);
    if (len > 0) {
      Bytes spki(static_cast<std::size_t>(len));
      unsigned char* w = spki.data();
      i2d_PKEY_KEY_PUBKEY(key->key, &w);
      put("pkey_pubkey", k.name, spki);
    }
    PKEY_free(key);
  }
}

void cert_seeds() {
  using certtest::CertPlan;
  using certtest::Ext;
  CertPlan rsa;
  rsa.exts = {{"basicConstraints", "critical,CA:TRUE,pathlen:2"},
              {"keyUsage", "digitalSignature,keyCertSign", true},
              {"subjectAltName", "email:a@b.example,URI:http://x/"},
              {"crlDistributionPoints", "URI:http://crl.example/dp.crl"}};
  CertPlan gost;
  gost.key = "gost";
  gost.exts = {{"2.5.29.9", "303A301D06082B060105050709013111180F31393830303130313030303030305A301906082B06010505070904310D13025255130242590C000101FF", false, true},
               {"1.3.6.1.5.5.7.1.2", "30363017020100300806062A850302020904020ABC160468747470301B06032A0304300806062A8503020209040AAABBCCDDEEFF00112233", false, true},
               {"certificatePolicies", "1.2.643.100.113.1"}};
  CertPlan v1;
  v1.version = 0;
  v1.key = "gost-noparams";
  const Bytes der_rsa = certtest::make_cert(rsa), der_gost = certtest::make_cert(gost),
              der_v1 = certtest::make_cert(v1);
  put("cert_read", "rsa-der", der_rsa);
  put("cert_read", "gost-der", der_gost);
  put("cert_read", "v1-der", der_v1);
  put("cert_read", "chain-pem",
      text(certtest::pem_of(der_gost, "CERTIFICATE") + certtest::pem_of(der_rsa, "CERTIFICATE")));
  put("cert_read", "bare-base64", text(certtest::base64_of(der_gost, "\r\n", false)));
}

Bytes make_crl(bool with_entries) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_NAME* n = X509_NAME_new();
  X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("CRL Issuer"), -1, -1, 0);
  X509_CRL_set_issuer_name(crl, n);
  X509_NAME_free(n);
  ASN1_TIME* t = ASN1_TIME_new();
  ASN1_TIME_set_string_X509(t, "20240101000000Z");
  X509_CRL_set1_lastUpdate(crl, t);
  ASN1_TIME_set_string_X509(t, "20240201000000Z");
  X509_CRL_set1_nextUpdate(crl, t);
  for (int i = 0; with_entries && i < 2; ++i) {
    X509_REVOKED* r = X509_REVOKED_new();
    ASN1_INTEGER* sn = ASN1_INTEGER_new();
    ASN1_INTEGER_set(sn, 0x1234 + i);
    X509_REVOKED_set_serialNumber(r, sn);
    ASN1_INTEGER_free(sn);
    ASN1_TIME_set_string_X509(t, "20240115103000Z");
    X509_REVOKED_set_revocationDate(r, t);
    if (i == 0) {
      for (const certtest::Ext& x : {certtest::Ext{"2.5.29.21", "0A0101", false, true},
                                     certtest::Ext{"2.5.29.24", "180F3230323430313130303030303030305A", false, true}}) {
        X509_EXTENSION* e = certtest::make_ext(x);
        X509_REVOKED_add_ext(r, e, -1);
        X509_EXTENSION_free(e);
      }
    }
    X509_CRL_add0_revoked(crl, r);
  }
  for (const certtest::Ext& x : {certtest::Ext{"2.5.29.20", "020107", false, true},
                                 certtest::Ext{"issuingDistributionPoint", "fullname=URI:http://crl.example/idp.crl"}}) {
    X509_EXTENSION* e = certtest::make_ext(x);
    if (e) X509_CRL_add_ext(crl, e, -1);
    X509_EXTENSION_free(e);
  }
  ASN1_TIME_free(t);
  X509_CRL_sort(crl);
  X509_CRL_sign(crl, certtest::issuer_key(), EVP_sha256());
  unsigned char* der = nullptr;
  const int len = i2d_X509_CRL(crl, &der);
  Bytes out(der, der + len);
  OPENSSL_free(der);
  X509_CRL_free(crl);
  return out;
}

void crl_seeds() {
  const Bytes full = make_crl(true), empty = make_crl(false);
  put("crl_read", "entries-der", full);
  put("crl_read", "empty-der", empty);
  put("crl_read", "entries-pem", text(certtest::pem_of(full, "X509 CRL")));
  put("crl_read", "bare-base64", text(certtest::base64_of(empty, "\n", true)));
}

void v3ext_seeds() {
  const std::string biometric =
      "30363017020100300806062A850302020904020ABC160468747470301B06032A0304300806062A8503020209040AAABBCCDDEEFF00112233";
  const std::string attributes =
      "303A301D06082B060105050709013111180F31393830303130313030303030305A301906082B06010505070904310D13025255130242590C000101FF";
  Bytes b{1}, a{0};
  const Bytes bd = certtest::unhex(biometric), ad = certtest::unhex(attributes);
  b.insert(b.end(), bd.begin(), bd.end());
  a.insert(a.end(), ad.begin(), ad.end());
  put("v3ext_der", "biometric", b);
  put("v3ext_der", "attributes", a);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_record_seeds CORPUS_DIR\n");
    return 2;
  }
  g_root = argv[1];
  ::mkdir(g_root.c_str(), 0755);
  if (!fuzz::record_pse()) return 1;
  pkey_seeds();
  cert_seeds();
  crl_seeds();
  v3ext_seeds();
  return 0;
}
