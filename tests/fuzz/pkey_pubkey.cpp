// SubjectPublicKeyInfo as the key store takes it from a peer: d2i_PKEY_KEY_PUBKEY for GOST
// R 34.10-2001 and -94 under either identifier, RSA and DSA. What it accepts encodes again and
// that decodes to the same encoding; a refusal leaves the pointer where it was and an error.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/cadb/pkey.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  const unsigned char* p = data;
  PKEY_KEY* key = d2i_PKEY_KEY_PUBKEY(&p, static_cast<long>(size));
  if (!key) {
    if (p != data || !ERR_peek_error()) std::abort();
    return 0;
  }
  if (p <= data || p > data + size) std::abort();
  const int n = i2d_PKEY_KEY_PUBKEY(key, nullptr);
  if (n > 0) {
    std::vector<unsigned char> der(static_cast<std::size_t>(n));
    unsigned char* w = der.data();
    if (i2d_PKEY_KEY_PUBKEY(key, &w) != n || w != der.data() + n) std::abort();
    const unsigned char* r = der.data();
    PKEY_KEY* back = d2i_PKEY_KEY_PUBKEY(&r, n);
    if (!back) std::abort();  // the library cannot read what it wrote
    std::vector<unsigned char> again(static_cast<std::size_t>(n));
    unsigned char* w2 = again.data();
    if (i2d_PKEY_KEY_PUBKEY(back, &w2) != n || again != der) std::abort();
    PKEY_KEY_free(back);
  }
  // The fingerprint of any key read is 32 bytes.
  BUFFER* fp = FINGER_PRINT_get(key);
  if (fp && fp->length != 32) std::abort();
  BUFFER_free(fp);
  PKEY_KEY_free(key);
  return 0;
}
