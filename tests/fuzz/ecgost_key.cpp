// GOST R 34.10-2001 keys and parameters from outside: the private-key, public-key, parameter
// and SubjectPublicKeyInfo decoders and the PEM reader (first byte chooses). A decoded key
// encodes again and that decodes; a failed decode into an existing key leaves it intact.
#include <cstdlib>
#include <vector>

#include "fixed_keys.h"
#include "fuzz_util.h"

using namespace jarnel;

namespace {

using D2i = ECGOST* (*)(ECGOST**, const unsigned char**, long);
using I2d = int (*)(const ECGOST*, unsigned char**);
struct Codec {
  D2i d2i;
  I2d i2d;
};
const Codec kCodecs[] = {{d2i_ECGOSTPRIVATEKEY, i2d_ECGOSTPRIVATEKEY},
                         {d2i_ECGOSTPUBLICKEY, i2d_ECGOSTPUBLICKEY},
                         {d2i_ECGOSTPARAMS, i2d_ECGOSTPARAMS},
                         {d2i_ECGOST_PUBKEY, i2d_ECGOST_PUBKEY}};

void reencode(const Codec& c, ECGOST* key) {
  const int n = c.i2d(key, nullptr);
  if (n <= 0) return;
  std::vector<unsigned char> der(static_cast<std::size_t>(n));
  unsigned char* w = der.data();
  if (c.i2d(key, &w) != n) std::abort();
  const unsigned char* r = der.data();
  ECGOST* back = c.d2i(nullptr, &r, n);
  if (!back) std::abort();  // the library cannot read what it wrote
  ECGOST_free(back);
  mem_cleanse(der.data(), der.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const std::uint8_t sel = in.byte();
  auto body = in.rest();
  if (sel % 5 == 4) {
    ECGOST* key = ECGOST_private_key_from_pem(reinterpret_cast<const char*>(body.data()), body.size());
    if (key) reencode(kCodecs[0], key);
    ECGOST_free(key);
    return 0;
  }
  const Codec& c = kCodecs[sel % 5];
  const unsigned char* p = body.data();
  ECGOST* key = c.d2i(nullptr, &p, static_cast<long>(body.size()));
  if (key) {
    if (p != body.data() + body.size()) std::abort();  // a decoder takes the whole input
    reencode(c, key);
    ECGOST_free(key);
  } else if (p != body.data()) {
    std::abort();  // a refused input leaves the pointer where it was
  }
  // Into an existing key: on failure the key keeps its point.
  if (sel & 0x80) {
    ECURVE* curve = ECURVE_by_number(ECURVE_CP_A);
    ECGOST* target = ECGOST_new(curve);
    ECURVE_free(curve);
    if (!target) return 0;
    ECGOST_set_paramsets(target, NID_CP_2001_A, NID_CP_R3411_94_PARAMSET, 0);
    ECGOST_set_public(target, ECGOST_get_public(fuzz::ecgost_key(0)));
    const unsigned char* q = body.data();
    ECGOST* got = c.d2i(&target, &q, static_cast<long>(body.size()));
    if (!got && (!ECGOST_get_public(target) || ECPOINT_lies(ECGOST_get_public(target)) != 1))
      std::abort();
    ECGOST_free(target);
  }
  return 0;
}
