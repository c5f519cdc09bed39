// Throughput of GOST 28147-89 and GOST R 34.11-94 against libgcrypt and the OpenSSL GOST engine
// (loaded as its OpenSSL 3 provider "gostprov" into a library context of its own), on the same
// buffers in the same run. All parties use the CryptoPro-A cipher S-box and the CryptoPro hash
// parameters.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <gcrypt.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include "compare.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gosth.h"
#include "crypto/startup.h"

using namespace jarnel;

namespace {

constexpr std::size_t kBuf = 16 * 1024;
const char* kSboxOid = "1.2.643.2.2.31.1";

std::vector<unsigned char>& buffer() {
  static std::vector<unsigned char> b = [] {
    std::vector<unsigned char> v(kBuf);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<unsigned char>(i * 31 + 7);
    return v;
  }();
  return b;
}
const unsigned char kKey[32] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                                0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67,
                                0x78, 0x89, 0x9A, 0xAB, 0xBC, 0xCD, 0xDE, 0xEF, 0xF0, 0x0F};
const unsigned char kIv[8] = {1, 2, 3, 4, 5, 6, 7, 8};

// ---- ours ----------------------------------------------------------------------------------

enum class Op { Ecb, Counter, CfbEnc, CfbDec, CpEnc, CpDec };

void ours_cipher(benchmark::State& st, Op op) {
  GOSTE_CTX* c = GOSTE_new();
  const unsigned char* sb = GOSTE_sbox_by_number(32);
  switch (op) {
    case Op::Ecb: GOSTE_ss_init(c, 1, kKey, sb); break;
    case Op::Counter: GOSTE_gamma_init(c, kKey, kIv, sb); break;
    case Op::CfbEnc: GOSTE_gamma_fb_init(c, kKey, kIv, sb); c->direction = 1; break;
    case Op::CfbDec: GOSTE_gamma_fb_init(c, kKey, kIv, sb); c->direction = 0; break;
    case Op::CpEnc: GOSTE_gamma_fb_cp_init(c, kKey, kIv, sb); c->direction = 1; break;
    case Op::CpDec: GOSTE_gamma_fb_cp_init(c, kKey, kIv, sb); c->direction = 0; break;
  }
  auto& b = buffer();
  for (auto _ : st) {
    if (GOSTE_update(c, b.data(), nullptr, static_cast<int>(b.size())) != static_cast<int>(b.size()))
      st.SkipWithError("update failed");
    benchmark::DoNotOptimize(b.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(b.size()));
  GOSTE_free(c);
}

void ours_mac(benchmark::State& st) {
  GOSTE_CTX* c = GOSTE_new();
  GOSTE_mac_init(c, kKey, GOSTE_sbox_by_number(32));
  auto& b = buffer();
  for (auto _ : st) GOSTE_mac_update(c, b.data(), static_cast<int>(b.size()));
  unsigned char m[4];
  GOSTE_mac_final(c, m, 32);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(b.size()));
  GOSTE_free(c);
}

void ours_hash(benchmark::State& st, std::size_t len) {
  GOSTH_CTX* h = GOSTH_new();
  auto& b = buffer();
  unsigned char d[32];
  for (auto _ : st) {
    GOSTH_init_cp(h, nullptr, GOSTE_cp_hash_sbox());
    GOSTH_update(h, b.data(), static_cast<int>(len));
    GOSTH_final(h, d);
    benchmark::DoNotOptimize(d);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(len));
  GOSTH_free(h);
}

// ---- libgcrypt -----------------------------------------------------------------------------

void gc_init() {
  static bool done = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)done;
}

void gc_cipher(benchmark::State& st, Op op) {
  gc_init();
  int algo = (op == Op::CpEnc || op == Op::CpDec) ? GCRY_CIPHER_GOST28147_MESH : GCRY_CIPHER_GOST28147;
  int mode = op == Op::Ecb ? GCRY_CIPHER_MODE_ECB : op == Op::Counter ? GCRY_CIPHER_MODE_CTR : GCRY_CIPHER_MODE_CFB;
  gcry_cipher_hd_t h;
  if (gcry_cipher_open(&h, algo, mode, 0)) {
    st.SkipWithError("gcrypt open");
    return;
  }
  gcry_cipher_setkey(h, kKey, 32);
  gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(kSboxOid), 0);
  if (op == Op::Counter)
    gcry_cipher_setctr(h, kIv, 8);
  else if (op != Op::Ecb)
    gcry_cipher_setiv(h, kIv, 8);
  bool dec = op == Op::CfbDec || op == Op::CpDec;
  auto& b = buffer();
  for (auto _ : st) {
    if (dec)
      gcry_cipher_decrypt(h, b.data(), b.size(), nullptr, 0);
    else
      gcry_cipher_encrypt(h, b.data(), b.size(), nullptr, 0);
    benchmark::DoNotOptimize(b.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(b.size()));
  gcry_cipher_close(h);
}

void gc_mac(benchmark::State& st) {
  gc_init();
  gcry_mac_hd_t h;
  gcry_mac_open(&h, GCRY_MAC_GOST28147_IMIT, 0, nullptr);
  gcry_mac_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(kSboxOid), 0);
  gcry_mac_setkey(h, kKey, 32);
  auto& b = buffer();
  for (auto _ : st) gcry_mac_write(h, b.data(), b.size());
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(b.size()));
  gcry_mac_close(h);
}

void gc_hash(benchmark::State& st, std::size_t len) {
  gc_init();
  auto& b = buffer();
  unsigned char d[32];
  for (auto _ : st) {
    gcry_md_hash_buffer(GCRY_MD_GOSTR3411_CP, d, b.data(), len);
    benchmark::DoNotOptimize(d);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(len));
}

// ---- OpenSSL GOST engine (provider form) ---------------------------------------------------

OSSL_LIB_CTX* engine_ctx() {
  static OSSL_LIB_CTX* ctx = [] {
    setenv("CRYPT_PARAMS", "id-Gost28147-89-CryptoPro-A-ParamSet", 1);
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    if (c && !OSSL_PROVIDER_load(c, "gostprov")) {
      OSSL_LIB_CTX_free(c);
      c = nullptr;
    }
    return c;
  }();
  return ctx;
}

void en_cipher(benchmark::State& st, const char* name, int enc) {
  EVP_CIPHER* cipher = engine_ctx() ? EVP_CIPHER_fetch(engine_ctx(), name, nullptr) : nullptr;
  if (!cipher) {
    st.SkipWithError("engine cipher not available");
    return;
  }
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex2(ctx, cipher, kKey, kIv, enc, nullptr);
  auto& b = buffer();
  int outl = 0;
  for (auto _ : st) {
    EVP_CipherUpdate(ctx, b.data(), &outl, b.data(), static_cast<int>(b.size()));
    benchmark::DoNotOptimize(b.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(b.size()));
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
}

void en_mac(benchmark::State& st) {
  EVP_MAC* mac = engine_ctx() ? EVP_MAC_fetch(engine_ctx(), "gost-mac", nullptr) : nullptr;
  if (!mac) {
    st.SkipWithError("engine MAC not available");
    return;
  }
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  EVP_MAC_init(ctx, kKey, 32, nullptr);
  auto& b = buffer();
  for (auto _ : st) EVP_MAC_update(ctx, b.data(), b.size());
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(b.size()));
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
}

void en_hash(benchmark::State& st, std::size_t len) {
  EVP_MD* md = engine_ctx() ? EVP_MD_fetch(engine_ctx(), "md_gost94", nullptr) : nullptr;
  if (!md) {
    st.SkipWithError("engine digest not available");
    return;
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  auto& b = buffer();
  unsigned char d[32];
  unsigned int dl = 0;
  for (auto _ : st) {
    EVP_DigestInit_ex2(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, b.data(), len);
    EVP_DigestFinal_ex(ctx, d, &dl);
    benchmark::DoNotOptimize(d);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(len));
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}

void register_all() {
  struct CipherOp {
    const char* name;
    Op op;
    const char* engine;  // engine cipher name or null
    int enc;
  } ops[] = {{"ecb", Op::Ecb, nullptr, 1},
             {"counter", Op::Counter, "gost89-cnt", 1},
             {"cfb-encrypt", Op::CfbEnc, nullptr, 1},
             {"cfb-decrypt", Op::CfbDec, nullptr, 0},
             {"cryptopro-cfb-encrypt", Op::CpEnc, "gost89", 1},
             {"cryptopro-cfb-decrypt", Op::CpDec, "gost89", 0}};
  for (const auto& o : ops) {
    std::string n = o.name;
    Op op = o.op;
    benchmark::RegisterBenchmark((n + "/ours").c_str(), [op](benchmark::State& s) { ours_cipher(s, op); });
    benchmark::RegisterBenchmark((n + "/gcrypt").c_str(), [op](benchmark::State& s) { gc_cipher(s, op); });
    if (o.engine) {
      const char* e = o.engine;
      int enc = o.enc;
      benchmark::RegisterBenchmark((n + "/gost-engine").c_str(),
                                   [e, enc](benchmark::State& s) { en_cipher(s, e, enc); });
    }
  }
  benchmark::RegisterBenchmark("mac/ours", ours_mac);
  benchmark::RegisterBenchmark("mac/gcrypt", gc_mac);
  benchmark::RegisterBenchmark("mac/gost-engine", en_mac);
  for (std::size_t len : {kBuf, std::size_t{32}}) {
    std::string n = len == kBuf ? "hash-16k" : "hash-32b";
    benchmark::RegisterBenchmark((n + "/ours").c_str(), [len](benchmark::State& s) { ours_hash(s, len); });
    benchmark::RegisterBenchmark((n + "/gcrypt").c_str(), [len](benchmark::State& s) { gc_hash(s, len); });
    benchmark::RegisterBenchmark((n + "/gost-engine").c_str(), [len](benchmark::State& s) { en_hash(s, len); });
  }
}

}  // namespace

int main(int argc, char** argv) {
  jarnel::CADB_startup();
  register_all();
  int rc = jarnel::bench::run_comparisons(argc, argv);
  jarnel::CADB_shutdown();
  return rc;
}
