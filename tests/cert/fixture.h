#pragma once
// Certificates and CRLs made in the test with OpenSSL: an RSA issuer signs; the subject key is
// RSA or a GOST R 34.10-2001 key of the library; extensions come from OpenSSL's configuration
// syntax or as raw DER.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/cadb/buffer.h"
#include "crypto/err/err.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <openssl/err.h>

namespace certtest {

using Bytes = std::vector<unsigned char>;

Bytes unhex(const std::string& s);
std::string hex(const unsigned char* p, std::size_t n);
std::string hex(const jarnel::BUFFER* b);

// The shared RSA-2048 issuer key.
EVP_PKEY* issuer_key();

struct Ext {
  std::string name;   // OpenSSL's extension name ("keyUsage") or a dotted identifier for raw
  std::string value;  // configuration text, or hex DER of the value for raw extensions
  bool critical = false;
  bool raw = false;
};

struct CertPlan {
  std::string subject = "/C=RU/O=Test Org/CN=Subject";
  std::string issuer = "/C=RU/O=Test Org/CN=Issuer";
  std::string serial_hex = "0102A0";
  bool negative_serial = false;
  std::string not_before = "20240229123456Z";
  std::string not_after = "20340101000000Z";
  int version = 2;
  std::vector<Ext> exts;
  // Subject key: "rsa" (the issuer's key), "gost" (GOST R 34.10-2001, CryptoPro-A), or
  // "gost-noparams" (the same point without the algorithm's parameters).
  std::string key = "rsa";
};

X509_EXTENSION* make_ext(const Ext& e);
// The certificate, signed with SHA-256/RSA by the issuer key.
X509* make_x509(const CertPlan& plan);
Bytes make_cert(const CertPlan& plan);
Bytes der_of(X509* x);
// The SPKI bit-string contents of the GOST key make_x509 puts in "gost" certificates.
Bytes gost_key_bits();

std::string pem_of(const Bytes& der, const char* label);
// Base64 of der in lines of 64 characters, each followed by eol; the last line's eol only
// when final_break.
std::string base64_of(const Bytes& der, const char* eol, bool final_break);

}  // namespace certtest
