// GOST R 34.10-94 signatures and verifications per second on CryptoPro-A (32-byte digest,
// layout 274), this code against BouncyCastle measured in the same run. Prints
//   r3410-sign-cryptopro-a<TAB>bouncycastle<TAB>ours_per_s<TAB>peer_per_s<TAB>ratio
// and the same for verify. The unit of these lines is operations per second.
// Arguments: --benchmark_min_time=S sets the seconds per measurement (default 1); others are
// ignored, so that scripts/bench can hand every benchmark binary the same ones.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "crypto/r3410/r3410.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"
#include "platform/entropy.h"

namespace {

template <class F>
double per_second(F op, double seconds) {
  using clock = std::chrono::steady_clock;
  for (int i = 0; i < 20; ++i) op();  // warm-up: tables, caches
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

// BouncyCastle's figures: the JVM runs BcR3410Bench, which writes "sign<TAB>n" lines.
std::map<std::string, double> peer(double seconds) {
  std::map<std::string, double> out;
  const std::string file = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                           "/r3410_bench." + std::to_string(std::chrono::steady_clock::now()
                                                                 .time_since_epoch()
                                                                 .count());
  const std::string cmd = std::string("'") + R3410_BENCH_JAVA + "' -cp '" +
                          R3410_BENCH_CLASSPATH + "' BcR3410Bench " + std::to_string(seconds) +
                          " > '" + file + "'";
  if (std::system(cmd.c_str()) == 0) {
    std::ifstream in(file);
    std::string op;
    double v = 0;
    while (in >> op >> v) out[op] = v;
  }
  std::remove(file.c_str());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace jarnel;
  double seconds = 1.0;
  const std::string opt = "--benchmark_min_time=";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind(opt, 0) == 0) seconds = std::max(0.2, std::atof(a.c_str() + opt.size()) * 2);
  }
  CADB_startup();
  // The GOST generator, keyed from the system's entropy source.
  unsigned char seed[32];
  if (!GRAND_is_initialised() &&
      (!platform::system_entropy(seed, sizeof seed) || !GRAND_start(seed, sizeof seed)))
    return 1;
  R3410* key = R3410_new();
  if (!key || !R3410_set_params(key, R3410_SEL_CP_A) || !R3410_generate_key(key, nullptr, 0))
    return 1;
  unsigned char digest[32], sig[64];
  unsigned len = 0;
  RAND_bytes(digest, 32);
  bool ok = true;
  const double sign = per_second(
      [&] { ok &= R3410_sign(R3410_SIG_CRYPTOPRO, key, digest, 32, sig, &len) == 1; }, seconds);
  const double verify = per_second(
      [&] { ok &= R3410_verify(R3410_SIG_CRYPTOPRO, key, digest, 32, sig, 64) == 1; }, seconds);
  R3410_free(key);
  if (!ok) {
    std::fprintf(stderr, "r3410_bench: an operation failed\n");
    return 1;
  }
  std::map<std::string, double> bc = peer(seconds);
  if (!bc.count("sign") || !bc.count("verify")) {
    std::fprintf(stderr, "r3410_bench: BouncyCastle did not report\n");
    return 1;
  }
  std::printf("r3410-sign-cryptopro-a\tbouncycastle\t%.0f\t%.0f\t%.2f\n", sign, bc["sign"],
              sign / bc["sign"]);
  std::printf("r3410-verify-cryptopro-a\tbouncycastle\t%.0f\t%.0f\t%.2f\n", verify,
              bc["verify"], verify / bc["verify"]);
  return 0;
}
