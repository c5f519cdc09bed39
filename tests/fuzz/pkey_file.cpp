// Private-key files from outside: PKEY_read_buffer over encrypted and plain PKCS#8, the
// traditional DER of every type and PEM, with or without a password call-back and with or
// without the key's container (first byte: bit 0 the container, bit 1 the call-back, bit 2 a
// call-back that refuses; then the password as a piece; the rest is the file). A read key has
// a 32-byte fingerprint, a size, a GOST private value held masked, and signs what verifies; a
// refused file leaves an error.
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/cadb/pkey.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/r3410/r3410.h"
#include "crypto/pse/mask.h"
#include "record_fixture.h"

using namespace jarnel;

namespace {

struct Password {
  std::string text;
  bool refuse;
  int calls = 0;
};

int give_password(char* buf, int size, int, void* u) {
  auto* pw = static_cast<Password*>(u);
  ++pw->calls;
  if (pw->refuse) return -1;
  const int n = static_cast<int>(pw->text.size()) < size ? static_cast<int>(pw->text.size()) : size;
  std::memcpy(buf, pw->text.data(), static_cast<std::size_t>(n));
  return n;
}

void check_key(PKEY* key) {
  if (!key->key || !key->fingerprint || key->fingerprint->length != 32) std::abort();
  if (key->size <= 0 || key->size != PKEY_KEY_size(key->key)) std::abort();
  if (key->key->ec && key->key->ec->d && !ECGOST_is_opaque(key->key->ec) &&
      !MASK_BN_is_masked(key->key->ec->d))
    std::abort();  // a GOST private value in the clear
  if (key->key->r3410 && key->key->r3410->x.value && !MASK_BN_is_masked(key->key->r3410->x.value))
    std::abort();
  // A GOST R 34.10-2001 key with its private value signs, and the signature verifies.
  if (key->key->ec && key->key->ec->d && !ECGOST_is_opaque(key->key->ec)) {
    unsigned char dgst[32], sig[256];
    for (int i = 0; i < 32; ++i) dgst[i] = static_cast<unsigned char>(i + 1);
    unsigned n = sizeof sig;
    if (PKEY_KEY_sign(key->key, ECGOST_SIG_CP, dgst, 32, sig, &n) == 1 &&
        PKEY_KEY_verify(key->key, ECGOST_SIG_CP, dgst, 32, sig, static_cast<int>(n)) != 1)
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  PSE* pse = fuzz::record_pse();
  if (!pse) std::abort();
  fuzz::Input in(data, size);
  const std::uint8_t sel = in.byte();
  Password pw{in.string(), (sel & 4) != 0};
  auto file = in.rest();
  PKEY* key = PKEY_read_buffer(file.data(), static_cast<int>(file.size()), (sel & 1) ? pse : nullptr,
                               (sel & 2) ? give_password : nullptr, &pw);
  if (key) {
    check_key(key);
    PKEY_free(key);
  } else if (!ERR_peek_error()) {
    std::abort();  // refused without saying why
  }
  return 0;
}
