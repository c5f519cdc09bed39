// The key transport from outside: GostR3410-KeyTransport structures unwrapped with a fixed
// recipient key on a chosen curve (first byte), the rest being the structure.
#include <cstdlib>
#include <cstring>

#include "fixed_keys.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  ECGOST* key = fuzz::ecgost_key(in.byte() % fuzz::kCurveCount);
  auto body = in.rest();
  unsigned char cek[32];
  std::memset(cek, 0xA5, sizeof cek);
  const int r = ECGOST_key_unwrap(key, body.data(), static_cast<int>(body.size()), cek);
  if (r != 1) {
    // A refused transport hands out no key bytes.
    for (unsigned char b : cek)
      if (b != 0xA5 && b != 0) std::abort();
  }
  return 0;
}
