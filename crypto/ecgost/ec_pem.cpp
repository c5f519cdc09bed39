// PEM form of the private-key encoding, label "ECGOST PRIVATE KEY". Kept apart from the files
// that include the library's error header, which cannot share a translation unit with
// OpenSSL's BIO and PEM headers.
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <cstring>

#include "crypto/ecgost/ecgost.h"
#include "crypto/mem.h"

namespace jarnel {

int ECGOST_private_key_to_pem(const ECGOST* key, char** out, std::size_t* outlen) {
  if (!key || !out || !outlen) return 0;
  const int n = i2d_ECGOSTPRIVATEKEY(key, nullptr);
  if (n <= 0) return 0;
  // The encoding holds the private key: a buffer that is wiped when released.
  SecureBuffer der;
  if (!der.resize(static_cast<std::size_t>(n))) return 0;
  unsigned char* p = der.data();
  if (i2d_ECGOSTPRIVATEKEY(key, &p) != n) return 0;
  Owned<::BIO> b(BIO_new(BIO_s_secmem()));
  if (!b || PEM_write_bio(b.get(), "ECGOST PRIVATE KEY", "", der.data(), n) <= 0) return 0;
  char* data = nullptr;
  const long len = BIO_get_mem_data(b.get(), &data);
  if (len <= 0) return 0;
  *out = static_cast<char*>(mem_alloc(static_cast<std::size_t>(len) + 1));
  if (!*out) return 0;
  std::memcpy(*out, data, static_cast<std::size_t>(len));
  (*out)[len] = '\0';
  *outlen = static_cast<std::size_t>(len);
  return 1;
}

ECGOST* ECGOST_private_key_from_pem(const char* pem, std::size_t len) {
  if (!pem || len == 0 || len > 1 << 20) return nullptr;
  Owned<::BIO> b(BIO_new_mem_buf(pem, static_cast<int>(len)));
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long n = 0;
  ECGOST* key = nullptr;
  if (b && PEM_read_bio(b.get(), &name, &header, &data, &n) > 0 &&
      std::strcmp(name, "ECGOST PRIVATE KEY") == 0) {
    const unsigned char* p = data;
    key = d2i_ECGOSTPRIVATEKEY(nullptr, &p, n);
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  if (data) OPENSSL_clear_free(data, static_cast<std::size_t>(n));
  return key;
}

}  // namespace jarnel
