// GOST R 34.10-2001 on CryptoPro-A against the OpenSSL GOST engine and libgcrypt: signing,
// verification, key generation and VKO, in operations per second, measured in the same run;
// and two reference lines, our signing and verification on P-256 against OpenSSL's ECDSA P-256.
// Standard output gets one line per comparison:
//   operation<TAB>peer<TAB>ours_ops_per_s<TAB>peer_ops_per_s<TAB>ratio
// (ratio = ours / peer; above 1.0 means faster than the peer). The engine is driven through the
// ENGINE interface, so this file is built without OPENSSL_NO_DEPRECATED.
#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <openssl/engine.h>
#include <openssl/evp.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "crypto/ecgost/ecgost.h"

using namespace jarnel;

// ecgost_bench_start.cpp: the library started and the GOST generator keyed.
bool ecgost_bench_start();

namespace {

const unsigned char kDigest[32] = {0x2D, 0xFB, 0xC1, 0xB3, 0x72, 0xD8, 0x9A, 0x11, 0x88, 0xC0, 0x9C,
                                   0x52, 0xE0, 0xEE, 0xC6, 0x1F, 0xCE, 0x52, 0x03, 0x2A, 0xB1, 0x02,
                                   0x2E, 0x8E, 0x67, 0xEC, 0xE6, 0x67, 0x2B, 0x04, 0x3E, 0xE5};
const unsigned char kUkm[8] = {1, 2, 3, 4, 5, 6, 7, 8};

// ---- ours ----

struct Ours {
  ECURVE* curve = ECURVE_by_number(ECURVE_CP_A);
  ECGOST* key = ECGOST_new(curve);
  ECGOST* peer = ECGOST_new(curve);
  Ours() {
    ECGOST_key_pair_generation(key);
    ECGOST_key_pair_generation(peer);
  }
};
Ours& ours() {
  static Ours o;
  return o;
}

void ours_sign(benchmark::State& st) {
  unsigned char sig[64];
  unsigned len = 0;
  for (auto _ : st)
    if (!ECGOST_sign(ECGOST_SIG_CP, kDigest, 32, sig, &len, ours().key)) st.SkipWithError("sign");
  st.SetItemsProcessed(st.iterations());
}
void ours_verify(benchmark::State& st) {
  unsigned char sig[64];
  unsigned len = 0;
  ECGOST_sign(ECGOST_SIG_CP, kDigest, 32, sig, &len, ours().key);
  for (auto _ : st)
    if (ECGOST_verify(ECGOST_SIG_CP, kDigest, 32, sig, 64, ours().key) != 1) st.SkipWithError("verify");
  st.SetItemsProcessed(st.iterations());
}
void ours_keygen(benchmark::State& st) {
  ECGOST* k = ECGOST_new(ours().curve);
  for (auto _ : st)
    if (!ECGOST_key_pair_generation(k)) st.SkipWithError("keygen");
  ECGOST_free(k);
  st.SetItemsProcessed(st.iterations());
}
void ours_vko(benchmark::State& st) {
  unsigned char kek[32];
  for (auto _ : st)
    if (!ECGOST_vko_kek(ours().key, ECGOST_get_public(ours().peer), kUkm, kek)) st.SkipWithError("vko");
  st.SetItemsProcessed(st.iterations());
}

// ---- the OpenSSL GOST engine ----

struct Engine {
  ENGINE* e = nullptr;
  EVP_PKEY* key = nullptr;
  EVP_PKEY* peer = nullptr;
  EVP_PKEY_CTX* gen = nullptr;
  Engine() {
    e = ENGINE_by_id("gost");
    if (!e || !ENGINE_init(e)) {
      e = nullptr;
      return;
    }
    ENGINE_set_default(e, ENGINE_METHOD_ALL);
    gen = EVP_PKEY_CTX_new_id(NID_id_GostR3410_2001, e);
    EVP_PKEY_keygen_init(gen);
    EVP_PKEY_CTX_ctrl_str(gen, "paramset", "A");
    EVP_PKEY_keygen(gen, &key);
    EVP_PKEY_keygen(gen, &peer);
  }
};
Engine& engine() {
  static Engine g;
  return g;
}

void engine_sign(benchmark::State& st) {
  if (!engine().key) return st.SkipWithError("no GOST engine");
  unsigned char sig[64];
  for (auto _ : st) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(engine().key, engine().e);
    size_t len = sizeof sig;
    if (EVP_PKEY_sign_init(c) <= 0 || EVP_PKEY_sign(c, sig, &len, kDigest, 32) <= 0)
      st.SkipWithError("sign");
    EVP_PKEY_CTX_free(c);
  }
  st.SetItemsProcessed(st.iterations());
}
void engine_verify(benchmark::State& st) {
  if (!engine().key) return st.SkipWithError("no GOST engine");
  unsigned char sig[64];
  size_t len = sizeof sig;
  EVP_PKEY_CTX* s = EVP_PKEY_CTX_new(engine().key, engine().e);
  EVP_PKEY_sign_init(s);
  EVP_PKEY_sign(s, sig, &len, kDigest, 32);
  EVP_PKEY_CTX_free(s);
  for (auto _ : st) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(engine().key, engine().e);
    if (EVP_PKEY_verify_init(c) <= 0 || EVP_PKEY_verify(c, sig, len, kDigest, 32) != 1)
      st.SkipWithError("verify");
    EVP_PKEY_CTX_free(c);
  }
  st.SetItemsProcessed(st.iterations());
}
void engine_keygen(benchmark::State& st) {
  if (!engine().key) return st.SkipWithError("no GOST engine");
  for (auto _ : st) {
    EVP_PKEY* k = nullptr;
    if (EVP_PKEY_keygen(engine().gen, &k) <= 0) st.SkipWithError("keygen");
    EVP_PKEY_free(k);
  }
  st.SetItemsProcessed(st.iterations());
}
void engine_vko(benchmark::State& st) {
  if (!engine().key) return st.SkipWithError("no GOST engine");
  unsigned char kek[32];
  for (auto _ : st) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(engine().key, engine().e);
    size_t len = sizeof kek;
    if (EVP_PKEY_derive_init(c) <= 0 || EVP_PKEY_derive_set_peer(c, engine().peer) <= 0 ||
        EVP_PKEY_CTX_ctrl(c, -1, -1, EVP_PKEY_CTRL_SET_IV, 8, const_cast<unsigned char*>(kUkm)) <= 0 ||
        EVP_PKEY_derive(c, kek, &len) <= 0)
      st.SkipWithError("derive");
    EVP_PKEY_CTX_free(c);
  }
  st.SetItemsProcessed(st.iterations());
}

// ---- reference: the same signature work on P-256 against OpenSSL's ECDSA ----

struct P256 {
  ECURVE* curve = ECURVE_by_number(ECURVE_P256);
  ECGOST* key = ECGOST_new(curve);
  EVP_PKEY* ossl = EVP_EC_gen("P-256");
  P256() { ECGOST_key_pair_generation(key); }
};
P256& p256() {
  static P256 g;
  return g;
}

void ours_p256_sign(benchmark::State& st) {
  unsigned char sig[64];
  unsigned len = 0;
  for (auto _ : st)
    if (!ECGOST_sign(ECGOST_SIG_CP, kDigest, 32, sig, &len, p256().key)) st.SkipWithError("sign");
  st.SetItemsProcessed(st.iterations());
}
void ours_p256_verify(benchmark::State& st) {
  unsigned char sig[64];
  unsigned len = 0;
  ECGOST_sign(ECGOST_SIG_CP, kDigest, 32, sig, &len, p256().key);
  for (auto _ : st)
    if (ECGOST_verify(ECGOST_SIG_CP, kDigest, 32, sig, 64, p256().key) != 1) st.SkipWithError("verify");
  st.SetItemsProcessed(st.iterations());
}
void openssl_p256_sign(benchmark::State& st) {
  if (!p256().ossl) return st.SkipWithError("no P-256 key");
  unsigned char sig[80];
  for (auto _ : st) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(p256().ossl, nullptr);
    size_t len = sizeof sig;
    if (EVP_PKEY_sign_init(c) <= 0 || EVP_PKEY_sign(c, sig, &len, kDigest, 32) <= 0)
      st.SkipWithError("sign");
    EVP_PKEY_CTX_free(c);
  }
  st.SetItemsProcessed(st.iterations());
}
void openssl_p256_verify(benchmark::State& st) {
  if (!p256().ossl) return st.SkipWithError("no P-256 key");
  unsigned char sig[80];
  size_t len = sizeof sig;
  EVP_PKEY_CTX* s = EVP_PKEY_CTX_new(p256().ossl, nullptr);
  EVP_PKEY_sign_init(s);
  EVP_PKEY_sign(s, sig, &len, kDigest, 32);
  EVP_PKEY_CTX_free(s);
  for (auto _ : st) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(p256().ossl, nullptr);
    if (EVP_PKEY_verify_init(c) <= 0 || EVP_PKEY_verify(c, sig, len, kDigest, 32) != 1)
      st.SkipWithError("verify");
    EVP_PKEY_CTX_free(c);
  }
  st.SetItemsProcessed(st.iterations());
}

// ---- libgcrypt ----

struct Gcrypt {
  gcry_sexp_t priv = nullptr, pub = nullptr, data = nullptr;
  Gcrypt() {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    gcry_sexp_t params = nullptr, key = nullptr;
    gcry_sexp_build(&params, nullptr, "(genkey (ecc (curve GOST2001-CryptoPro-A)))");
    gcry_pk_genkey(&key, params);
    priv = gcry_sexp_find_token(key, "private-key", 0);
    pub = gcry_sexp_find_token(key, "public-key", 0);
    gcry_sexp_build(&data, nullptr, "(data (flags gost) (value %b))", 32, kDigest);
    gcry_sexp_release(params);
    gcry_sexp_release(key);
  }
};
Gcrypt& gcrypt() {
  static Gcrypt g;
  return g;
}

void gcrypt_sign(benchmark::State& st) {
  for (auto _ : st) {
    gcry_sexp_t sig = nullptr;
    if (gcry_pk_sign(&sig, gcrypt().data, gcrypt().priv)) st.SkipWithError("sign");
    gcry_sexp_release(sig);
  }
  st.SetItemsProcessed(st.iterations());
}
void gcrypt_verify(benchmark::State& st) {
  gcry_sexp_t sig = nullptr;
  gcry_pk_sign(&sig, gcrypt().data, gcrypt().priv);
  for (auto _ : st)
    if (gcry_pk_verify(sig, gcrypt().data, gcrypt().pub)) st.SkipWithError("verify");
  gcry_sexp_release(sig);
  st.SetItemsProcessed(st.iterations());
}
void gcrypt_keygen(benchmark::State& st) {
  gcry_sexp_t params = nullptr;
  gcry_sexp_build(&params, nullptr, "(genkey (ecc (curve GOST2001-CryptoPro-A)))");
  for (auto _ : st) {
    gcry_sexp_t key = nullptr;
    if (gcry_pk_genkey(&key, params)) st.SkipWithError("keygen");
    gcry_sexp_release(key);
  }
  gcry_sexp_release(params);
  st.SetItemsProcessed(st.iterations());
}

BENCHMARK(ours_sign)->Name("ecgost-sign/ours");
BENCHMARK(engine_sign)->Name("ecgost-sign/gost-engine");
BENCHMARK(gcrypt_sign)->Name("ecgost-sign/libgcrypt");
BENCHMARK(ours_verify)->Name("ecgost-verify/ours");
BENCHMARK(engine_verify)->Name("ecgost-verify/gost-engine");
BENCHMARK(gcrypt_verify)->Name("ecgost-verify/libgcrypt");
BENCHMARK(ours_keygen)->Name("ecgost-keygen/ours");
BENCHMARK(engine_keygen)->Name("ecgost-keygen/gost-engine");
BENCHMARK(gcrypt_keygen)->Name("ecgost-keygen/libgcrypt");
BENCHMARK(ours_vko)->Name("ecgost-vko/ours");
BENCHMARK(engine_vko)->Name("ecgost-vko/gost-engine");
// Reference lines: GOST R 34.10-2001 signing on the P-256 curve (ours) against OpenSSL's ECDSA
// on P-256, a much-tuned implementation of the same amount of curve work.
BENCHMARK(ours_p256_sign)->Name("ecdsa-p256-sign/ours");
BENCHMARK(openssl_p256_sign)->Name("ecdsa-p256-sign/openssl-p256");
BENCHMARK(ours_p256_verify)->Name("ecdsa-p256-verify/ours");
BENCHMARK(openssl_p256_verify)->Name("ecdsa-p256-verify/openssl-p256");

// Keeps items per second while the console reporter writes its table to standard error.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
    }
    benchmark::ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  if (!ecgost_bench_start()) {
    std::fprintf(stderr, "ecgost_bench: cannot key the GOST generator\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  Collector collector;
  collector.SetOutputStream(&std::cerr);
  collector.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  std::map<std::string, std::map<std::string, double>> ops;
  for (const auto& [name, rate] : collector.rates) {
    const auto slash = name.find('/');
    if (slash == std::string::npos) continue;
    std::string impl = name.substr(slash + 1);
    const auto extra = impl.find('/');
    if (extra != std::string::npos) impl = impl.substr(0, extra);
    ops[name.substr(0, slash)][impl] = rate;
  }
  for (const auto& [op, impls] : ops) {
    const auto mine = impls.find("ours");
    if (mine == impls.end()) continue;
    for (const auto& [impl, rate] : impls) {
      if (impl == "ours" || rate <= 0) continue;
      std::printf("%s\t%s\t%.0f\t%.0f\t%.2f\n", op.c_str(), impl.c_str(), mine->second, rate,
                  mine->second / rate);
    }
  }
  std::fflush(stdout);
  return 0;
}
