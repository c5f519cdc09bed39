// GOST R 34.10-94 keys and parameters from outside: the parameter, public-key, public-value
// and private-key decoders (first byte chooses), and Diffie-Hellman with a peer's public value.
// A decoded key encodes again and that decodes; a failed decode into an existing key leaves it
// intact.
#include <cstdlib>
#include <vector>

#include "fixed_keys.h"
#include "fuzz_util.h"

using namespace jarnel;

namespace {

using D2i = R3410* (*)(R3410**, const unsigned char**, long);
using I2d = int (*)(const R3410*, unsigned char**);
struct Codec {
  D2i d2i;
  I2d i2d;
};
const Codec kCodecs[] = {{d2i_R3410Params, i2d_R3410Params},
                         {d2i_R3410PublicKey, i2d_R3410PublicKey},
                         {d2i_R3410PublicValue, i2d_R3410PublicValue},
                         {d2i_R3410PrivateKey, i2d_R3410PrivateKey}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const std::uint8_t sel = in.byte();
  auto body = in.rest();
  if (sel % 5 == 4) {
    R3410_DH* dh = R3410_DH_from_key(fuzz::r3410_key((sel >> 3) % fuzz::kR3410Count));
    if (dh) {
      unsigned char out[128];
      const int n = R3410_DH_compute_key(dh, body.data(), static_cast<int>(body.size()), out, sizeof out);
      if (n != 0 && n != R3410_DH_size(dh)) std::abort();
      R3410_DH_free(dh);
    }
    return 0;
  }
  const Codec& c = kCodecs[sel % 5];
  const unsigned char* p = body.data();
  R3410* key = c.d2i(nullptr, &p, static_cast<long>(body.size()));
  if (key) {
    if (p != body.data() + body.size()) std::abort();
    unsigned char* der = nullptr;
    const int n = c.i2d(key, &der);
    if (n > 0) {
      const unsigned char* r = der;
      R3410* back = c.d2i(nullptr, &r, n);
      if (!back) std::abort();
      R3410_free(back);
      mem_clear_free(der, static_cast<std::size_t>(n));
    }
    R3410_free(key);
  } else if (p != body.data()) {
    std::abort();
  }
  if (sel & 0x80) {
    R3410* target = R3410_new();
    if (!target) return 0;
    R3410_set_params(target, R3410_SEL_CP_A);
    R3410_set_private_key(target, fuzz::kPrivate, sizeof fuzz::kPrivate);
    R3410_generate_pubkey(target);
    const unsigned char* q = body.data();
    if (!c.d2i(&target, &q, static_cast<long>(body.size())) &&
        (!target->y || R3410_params_nid(target) != R3410_params_nid(fuzz::r3410_key(0))))
      std::abort();
    R3410_free(target);
  }
  return 0;
}
