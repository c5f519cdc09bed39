// Signatures and verifications per second on CryptoPro-A with a 32-byte digest, layout 274.
// Prints "sign<TAB>ops_per_s" and "verify<TAB>ops_per_s".
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "crypto/r3410/r3410.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"

namespace {

template <class F>
double per_second(F op, double seconds) {
  using clock = std::chrono::steady_clock;
  // Warm-up, then count whole operations for the given time.
  for (int i = 0; i < 20; ++i) op();
  long n = 0;
  const auto start = clock::now();
  const auto stop = start + std::chrono::duration<double>(seconds);
  auto now = start;
  while (now < stop) {
    for (int i = 0; i < 16; ++i) op();
    n += 16;
    now = clock::now();
  }
  return static_cast<double>(n) / std::chrono::duration<double>(now - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace jarnel;
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  CADB_startup();
  R3410* key = R3410_new();
  if (!key || !R3410_set_params(key, R3410_SEL_CP_A) || !R3410_generate_key(key, nullptr, 0))
    return 1;
  unsigned char digest[32], sig[64];
  unsigned len = 0;
  RAND_bytes(digest, 32);
  bool ok = true;
  double sign = per_second(
      [&] { ok &= R3410_sign(R3410_SIG_CRYPTOPRO, key, digest, 32, sig, &len) == 1; }, seconds);
  double verify = per_second(
      [&] { ok &= R3410_verify(R3410_SIG_CRYPTOPRO, key, digest, 32, sig, 64) == 1; }, seconds);
  R3410_free(key);
  if (!ok) return 1;
  std::printf("sign\t%.0f\nverify\t%.0f\n", sign, verify);
  return 0;
}
