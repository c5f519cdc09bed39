// GOST R 34.10-2001 signatures from outside: the decoder of each form, and verification of the
// bytes against a fixed key on a chosen curve (first byte: form and curve; then the 32-byte
// digest; the rest is the signature).
#include <cstdlib>
#include <vector>

#include "fixed_keys.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const std::uint8_t sel = in.byte();
  static const int kForms[] = {ECGOST_SIG_RAW, ECGOST_SIG_CP, 1};
  const int form = kForms[sel % 3];
  ECGOST* key = fuzz::ecgost_key((sel >> 2) % fuzz::kCurveCount);
  auto digest = in.take(32);
  auto sig = in.rest();

  const unsigned char* p = sig.data();
  ECGOST_SIG* decoded = d2i_ECGOST_SIG(nullptr, &p, static_cast<long>(sig.size()), form);
  if (decoded) {
    // What was accepted encodes again and decodes to the same numbers.
    const int n = i2d_ECGOST_SIG(decoded, nullptr);
    if (n > 0) {
      std::vector<unsigned char> der(static_cast<std::size_t>(n));
      unsigned char* w = der.data();
      if (i2d_ECGOST_SIG(decoded, &w) != n) std::abort();
      const unsigned char* q = der.data();
      ECGOST_SIG* back = d2i_ECGOST_SIG(nullptr, &q, n, 1);
      if (!back || BN_cmp(back->r, decoded->r) || BN_cmp(back->s, decoded->s)) std::abort();
      ECGOST_SIG_free(back);
    }
    ECGOST_SIG_free(decoded);
  }
  const int r = ECGOST_verify(form, digest.data(), static_cast<int>(digest.size()), sig.data(),
                              static_cast<int>(sig.size()), key);
  if (r != 1 && r != 0 && r != -1) std::abort();
  return 0;
}
