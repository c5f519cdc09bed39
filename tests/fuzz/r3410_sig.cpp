// GOST R 34.10-94 signatures from outside: the DER decoder and verification of each layout
// against a fixed key (first byte: layout and parameter set; then the 32-byte digest; the rest
// is the signature).
#include <cstdlib>
#include <vector>

#include "fixed_keys.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const std::uint8_t sel = in.byte();
  static const int kForms[] = {R3410_SIG_RS, R3410_SIG_CRYPTOPRO, 1};
  const int form = kForms[sel % 3];
  R3410* key = fuzz::r3410_key((sel >> 2) % fuzz::kR3410Count);
  auto digest = in.take(32);
  auto sig = in.rest();

  const unsigned char* p = sig.data();
  R3410_SIG* decoded = d2i_R3410_SIG(nullptr, &p, static_cast<long>(sig.size()));
  if (decoded) {
    unsigned char* der = nullptr;
    const int n = i2d_R3410_SIG(decoded, &der);
    if (n != static_cast<int>(sig.size())) std::abort();  // DER: one encoding per value
    mem_free(der);
    R3410_SIG_free(decoded);
  }
  const int r = R3410_verify(form, key, digest.data(), static_cast<int>(digest.size()), sig.data(),
                             static_cast<int>(sig.size()));
  if (r != 1 && r != 0 && r != -1) std::abort();
  return 0;
}
