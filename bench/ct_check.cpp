// Timing check of the operations on secrets, in the manner of dudect: each operation is run
// many times on either a fixed, short secret (class 0) or a fresh random one (class 1), the
// class chosen at random per run, and its cycle count goes into a Welch t-test between the two
// classes. A |t| above 10 says the time depends on the secret.
//
//   ct_check [-n COUNT] [operation ...]          t-test; prints operation<TAB>count<TAB>|t|
//   ct_check --only fixed|random -n COUNT OP     runs one class only (for callgrind counts of
//                                                run_op: valgrind --tool=callgrind
//                                                --toggle-collect='*run_op*' ...)
//
// Operations: sign-nonce (k*G of signing), keygen (d*G and the public key), vko (d*UKM*Q),
// ecdh (d*Q), r3410-sign (a^k of GOST R 34.10-94 signing). Exit status 1 when an operation's
// |t| exceeds 10, 2 for bad usage.
#include <openssl/bn.h>
#include <openssl/rand.h>
#include <x86intrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "crypto/ecgost/ecgost.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"

using namespace jarnel;

namespace {

constexpr int kPool = 64;  // random secrets prepared per operation, reused in turn

std::uint64_t cycles() {
  unsigned aux;
  _mm_lfence();
  const std::uint64_t t = __rdtscp(&aux);
  _mm_lfence();
  return t;
}

// Running mean and variance (Welford) of one class.
struct Stats {
  double n = 0, mean = 0, m2 = 0;
  void add(double x) {
    n += 1;
    const double d = x - mean;
    mean += d / n;
    m2 += d * (x - mean);
  }
  double var() const { return n > 1 ? m2 / (n - 1) : 0; }
};

double welch_t(const Stats& a, const Stats& b) {
  const double se = std::sqrt(a.var() / a.n + b.var() / b.n);
  return se > 0 ? (a.mean - b.mean) / se : 0;
}

// An operation: prepare(i, cls) gets input i of class cls ready outside the timed region,
// run(cls, i) is the timed call.
struct Op {
  std::string name;
  std::function<void(int cls, int i)> prepare;
  std::function<void(int cls, int i)> run;
};

BIGNUM* random_below(const BIGNUM* q) {
  BIGNUM* r = BN_new();
  do BN_rand_range(r, q);
  while (BN_is_zero(r));
  return r;
}

std::vector<unsigned char> be(const BIGNUM* b, int n) {
  std::vector<unsigned char> v(static_cast<std::size_t>(n));
  BN_bn2binpad(b, v.data(), n);
  return v;
}

struct Fixture {
  ECURVE* curve = ECURVE_by_number(ECURVE_CP_A);
  ECGOST* key = ECGOST_new(curve);
  ECGOST* peer = ECGOST_new(curve);
  std::vector<std::vector<unsigned char>> k_fixed, k_random;  // 32-byte nonces
  std::vector<BIGNUM*> d_random;
  BIGNUM* d_fixed = BN_new();
  std::vector<ECGOST*> vko_keys;  // [0] fixed, then the random pool
  std::vector<ECDH*> dhs;         // [0] fixed, then the random pool
  ECPOINT* out = ECPOINT_new(curve);
  BIGNUM* ukm = BN_new();
  BIGNUM* shared = BN_new();
  R3410* r94 = R3410_new();
  std::vector<std::vector<unsigned char>> k94_random;
  std::vector<unsigned char> k94_fixed;

  Fixture() {
    ECGOST_key_pair_generation(key);
    ECGOST_key_pair_generation(peer);
    BN_set_word(d_fixed, 1);  // the shortest secret there is
    std::vector<unsigned char> one(32, 0);
    one[31] = 1;
    k_fixed.push_back(one);
    for (int i = 0; i < kPool; ++i) {
      BIGNUM* d = random_below(ECURVE_get_q(curve));
      d_random.push_back(d);
      k_random.push_back(be(d, 32));
    }
    BN_set_word(ukm, 1);
    for (int i = 0; i <= kPool; ++i) {
      ECGOST* k = ECGOST_new(curve);
      ECGOST_set_private(k, i == 0 ? d_fixed : d_random[static_cast<std::size_t>(i - 1)]);
      ECGOST_generate_pubkey(k);
      vko_keys.push_back(k);
      ECDH* dh = ECDH_new(curve, ECDH_PLAIN);
      ECDH_set_private(dh, i == 0 ? d_fixed : d_random[static_cast<std::size_t>(i - 1)]);
      dhs.push_back(dh);
    }
    R3410_set_params(r94, R3410_SEL_CP_A);
    R3410_generate_key(r94, nullptr, 0);
    k94_fixed = one;
    for (int i = 0; i < kPool; ++i) k94_random.push_back(k_random[static_cast<std::size_t>(i)]);
  }
};

std::vector<Op> make_ops(Fixture& fx) {
  std::vector<Op> ops;
  auto nop = [](int, int) {};
  ops.push_back({"sign-nonce", nop, [&fx](int cls, int i) {
                   const auto& k = cls == 0 ? fx.k_fixed[0] : fx.k_random[static_cast<std::size_t>(i)];
                   ECGOST_sign_setup(fx.key, k.data(), 32);
                 }});
  ops.push_back({"keygen", [&fx](int cls, int i) {
                   ECGOST_set_private(fx.key, cls == 0 ? fx.d_fixed : fx.d_random[static_cast<std::size_t>(i)]);
                 },
                 [&fx](int, int) { ECGOST_generate_pubkey(fx.key); }});
  ops.push_back({"vko", nop, [&fx](int cls, int i) {
                   ECGOST_vko_point(fx.out, ECGOST_get_public(fx.peer), fx.ukm,
                                    fx.vko_keys[cls == 0 ? 0 : static_cast<std::size_t>(i + 1)]);
                 }});
  ops.push_back({"ecdh", nop, [&fx](int cls, int i) {
                   ECDH_compute_key(fx.dhs[cls == 0 ? 0 : static_cast<std::size_t>(i + 1)],
                                    ECGOST_get_public(fx.peer), fx.shared);
                 }});
  ops.push_back({"r3410-sign", nop, [&fx](int cls, int i) {
                   const auto& k = cls == 0 ? fx.k94_fixed : fx.k94_random[static_cast<std::size_t>(i)];
                   R3410_sign_setup(fx.r94, k.data(), 32);
                 }});
  return ops;
}

// The timed call, kept out of line so that callgrind can count it alone.
__attribute__((noinline)) void run_op(const Op& op, int cls, int i) { op.run(cls, i); }

bool start_library() {
  CADB_startup();
  if (RAND_get_method()) return true;
  unsigned char seed[32];
  const bool ok = ::RAND_priv_bytes(seed, sizeof seed) == 1 && GRAND_start(seed, sizeof seed);
  mem_cleanse(seed, sizeof seed);
  return ok;
}

int usage() {
  std::fprintf(stderr,
               "usage: ct_check [-n COUNT] [operation ...]\n"
               "       ct_check --only fixed|random -n COUNT operation\n"
               "operations: sign-nonce keygen vko ecdh r3410-sign\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long count = 1000000;
  int only = -1;
  std::vector<std::string> wanted;
  for (int a = 1; a < argc; ++a) {
    const std::string s = argv[a];
    if ((s == "-n" || s == "--count") && a + 1 < argc) {
      count = std::strtol(argv[++a], nullptr, 10);
      if (count < 2) return usage();
    } else if (s == "--only" && a + 1 < argc) {
      const std::string c = argv[++a];
      if (c != "fixed" && c != "random") return usage();
      only = c == "fixed" ? 0 : 1;
    } else if (!s.empty() && s[0] == '-') {
      return usage();
    } else {
      wanted.push_back(s);
    }
  }
  if (!start_library()) {
    std::fprintf(stderr, "ct_check: the library did not start\n");
    return 1;
  }
  Fixture fx;
  std::vector<Op> ops = make_ops(fx);
  for (const std::string& w : wanted) {
    bool known = false;
    for (const Op& op : ops) known = known || op.name == w;
    if (!known) return usage();
  }
  std::mt19937_64 rng(std::random_device{}());
  int status = 0;
  for (const Op& op : ops) {
    if (!wanted.empty()) {
      bool on = false;
      for (const std::string& w : wanted) on = on || w == op.name;
      if (!on) continue;
    }
    if (only >= 0) {
      for (long m = 0; m < count; ++m) {
        const int i = static_cast<int>(m % kPool);
        op.prepare(only, i);
        run_op(op, only, i);
      }
      std::printf("%s\t%ld\t(%s only)\n", op.name.c_str(), count, only == 0 ? "fixed" : "random");
      continue;
    }
    // Warm-up, then the threshold that crops the slowest tenth (interrupts, migrations): the
    // test is taken both on every measurement and on the cropped ones, and the larger |t| kept.
    std::vector<double> warm;
    for (int m = 0; m < 2000; ++m) {
      const int cls = static_cast<int>(rng() & 1), i = static_cast<int>(rng() % kPool);
      op.prepare(cls, i);
      const std::uint64_t t0 = cycles();
      run_op(op, cls, i);
      warm.push_back(static_cast<double>(cycles() - t0));
    }
    std::sort(warm.begin(), warm.end());
    const double crop = warm[warm.size() * 9 / 10];
    Stats all[2], cropped[2];
    for (long m = 0; m < count; ++m) {
      const int cls = static_cast<int>(rng() & 1), i = static_cast<int>(rng() % kPool);
      op.prepare(cls, i);
      const std::uint64_t t0 = cycles();
      run_op(op, cls, i);
      const double dt = static_cast<double>(cycles() - t0);
      all[cls].add(dt);
      if (dt < crop) cropped[cls].add(dt);
    }
    const double t = std::max(std::fabs(welch_t(all[0], all[1])),
                              std::fabs(welch_t(cropped[0], cropped[1])));
    std::printf("%s\t%ld\t%.2f\n", op.name.c_str(), count, t);
    std::fprintf(stderr, "%s: mean cycles fixed %.0f random %.0f\n", op.name.c_str(),
                 all[0].mean, all[1].mean);
    std::fflush(stdout);
    if (t > 10) status = 1;
  }
  return status;
}
