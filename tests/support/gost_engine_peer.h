#pragma once
// GOST 28147-89 and GOST R 34.11-94 computed by the OpenSSL GOST engine's own functions (which
// take any S-box table), and HMAC and PBKDF2 over that hash written out here: an implementation
// independent of the library's, for tests that recompute the library's protected files. Link
// the engine's gost.so (see tests/pse/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "crypto/rus/gost89.h"

extern "C" {
// From the engine's gost89.h and gosthash.h (engine 3.0.x). The contexts are opaque here and
// given more room than any version needs.
struct gost_subst_block {
  unsigned char k8[16], k7[16], k6[16], k5[16], k4[16], k3[16], k2[16], k1[16];
};
extern struct gost_subst_block Gost28147_CryptoProParamSetA;
void gost_init(void* ctx, const gost_subst_block* b);
void gost_destroy(void* ctx);
void gost_key(void* ctx, const unsigned char* k);
void gost_enc(void* ctx, const unsigned char* clear, unsigned char* cipher, int blocks);
void gost_dec(void* ctx, const unsigned char* cipher, unsigned char* clear, int blocks);
void gost_dec_cfb(void* ctx, const unsigned char* iv, const unsigned char* cipher,
                  unsigned char* clear, int blocks);
void gost_enc_cfb(void* ctx, const unsigned char* iv, const unsigned char* clear,
                  unsigned char* cipher, int blocks);
int gost_mac(void* ctx, int mac_len, const unsigned char* data, unsigned int data_len,
             unsigned char* mac);
int init_gost_hash_ctx(void* ctx, const gost_subst_block* b);
void done_gost_hash_ctx(void* ctx);
int start_hash(void* ctx);
int hash_block(void* ctx, const unsigned char* block, std::size_t length);
int finish_hash(void* ctx, unsigned char* hashval);
}

namespace gost_peer {

using Bytes = std::vector<unsigned char>;
using jarnel::GOSTE_default_hash_sbox;



struct alignas(64) EngineSpace {
  unsigned char space[64 * 1024] = {};
};

// The engine's table from a packed 64-byte S-box: byte 4*i + g holds S-box 2g+1 (low nibble)
// and S-box 2g+2 (high nibble) of input i; k1 substitutes the lowest nibble of the word.
inline gost_subst_block engine_table(const unsigned char* packed) {
  gost_subst_block b{};
  unsigned char* k[8] = {b.k1, b.k2, b.k3, b.k4, b.k5, b.k6, b.k7, b.k8};
  for (int i = 0; i < 16; ++i)
    for (int g = 0; g < 4; ++g) {
      k[2 * g][i] = packed[4 * i + g] & 0x0F;
      k[2 * g + 1][i] = packed[4 * i + g] >> 4;
    }
  return b;
}

// GOST 28147-89 by the engine with one key and table.
class EngineCipher {
 public:
  EngineCipher(const unsigned char* packed, const Bytes& key) : table_(engine_table(packed)) {
    gost_init(ctx_->space, &table_);
    gost_key(ctx_->space, key.data());
  }
  ~EngineCipher() { gost_destroy(ctx_->space); }
  Bytes ecb_decrypt(const unsigned char* in, int len) {
    Bytes out(static_cast<std::size_t>(len));
    gost_dec(ctx_->space, in, out.data(), len / 8);
    return out;
  }
  Bytes ecb_encrypt(const Bytes& in) {
    Bytes out(in.size());
    gost_enc(ctx_->space, in.data(), out.data(), static_cast<int>(in.size() / 8));
    return out;
  }
  Bytes mac(const Bytes& data) {
    Bytes out(4);
    gost_mac(ctx_->space, 32, data.data(), static_cast<unsigned>(data.size()), out.data());
    return out;
  }
  Bytes cfb_decrypt(const unsigned char* iv, const unsigned char* in, std::size_t len) {
    // Whole blocks only; the tail goes through one more block of keystream.
    Bytes padded(in, in + len);
    padded.resize((len + 7) / 8 * 8, 0);
    Bytes out(padded.size());
    gost_dec_cfb(ctx_->space, iv, padded.data(), out.data(), static_cast<int>(padded.size() / 8));
    out.resize(len);
    return out;
  }
  Bytes cfb_encrypt(const unsigned char* iv, const Bytes& in) {
    Bytes padded = in;
    padded.resize((in.size() + 7) / 8 * 8, 0);
    Bytes out(padded.size());
    gost_enc_cfb(ctx_->space, iv, padded.data(), out.data(), static_cast<int>(padded.size() / 8));
    out.resize(in.size());
    return out;
  }

 private:
  gost_subst_block table_;
  std::unique_ptr<EngineSpace> ctx_ = std::make_unique<EngineSpace>();
};

// GOST R 34.11-94 by the engine (H0 = 0) with the hash S-box given; returned most significant
// byte first, as this system returns digests (the engine gives the least significant first).
inline Bytes engine_hash(const unsigned char* packed, const Bytes& data) {
  gost_subst_block table = engine_table(packed);
  auto ctx = std::make_unique<EngineSpace>();
  EXPECT_EQ(init_gost_hash_ctx(ctx->space, &table), 1);
  start_hash(ctx->space);
  hash_block(ctx->space, data.data(), data.size());
  Bytes out(32);
  finish_hash(ctx->space, out.data());
  done_gost_hash_ctx(ctx->space);
  return Bytes(out.rbegin(), out.rend());
}

// HMAC over the engine's hash (block 32 bytes) and PBKDF2 over that HMAC, written out here.
inline Bytes hmac(const Bytes& key, const Bytes& msg) {
  const unsigned char* hs = GOSTE_default_hash_sbox();
  Bytes k = key.size() > 32 ? engine_hash(hs, key) : key;
  k.resize(32, 0);
  Bytes in(32), out(32);
  for (int i = 0; i < 32; ++i) in[i] = k[i] ^ 0x36;
  in.insert(in.end(), msg.begin(), msg.end());
  Bytes inner = engine_hash(hs, in);
  for (int i = 0; i < 32; ++i) out[i] = k[i] ^ 0x5C;
  out.insert(out.end(), inner.begin(), inner.end());
  return engine_hash(hs, out);
}
inline Bytes pbkdf2_gost(const Bytes& password, const Bytes& salt, int iterations) {
  Bytes s = salt;
  for (unsigned char b : {0, 0, 0, 1}) s.push_back(b);
  Bytes u = hmac(password, s), t = u;
  for (int i = 1; i < iterations; ++i) {
    u = hmac(password, u);
    for (int j = 0; j < 32; ++j) t[j] ^= u[j];
  }
  return t;
}

}  // namespace gost_peer
