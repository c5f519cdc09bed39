#pragma once
// The hash behind the parameter-table integrity check.
#include <openssl/evp.h>

namespace jarnel::r3410 {

// PLACEHOLDER until the GOST R 34.11-94 hash is on main: SHA-256 from the base library.
class TablesDigest {
 public:
  TablesDigest() : ctx_(EVP_MD_CTX_new()) {}
  ~TablesDigest() { EVP_MD_CTX_free(ctx_); }
  TablesDigest(const TablesDigest&) = delete;
  TablesDigest& operator=(const TablesDigest&) = delete;
  bool begin() { return ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1; }
  bool update(const unsigned char* p, int n) { return EVP_DigestUpdate(ctx_, p, n) == 1; }
  bool finish(unsigned char out[32]) { return EVP_DigestFinal_ex(ctx_, out, nullptr) == 1; }

 private:
  EVP_MD_CTX* ctx_;
};

}  // namespace jarnel::r3410
