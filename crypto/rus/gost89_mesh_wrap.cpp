// GOST 28147-89 key meshing (the driver that cuts data at 1024-byte boundaries and the CryptoPro
// meshing step), CryptoPro KEK diversification and the CryptoPro key wrap built on them.
#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gost89_core.h"
#include "crypto/rus/gost89_internal.h"

namespace jarnel {

using namespace gost89;

namespace {

// CryptoPro key-meshing constant C (RFC 4357 2.3.2).
constexpr unsigned char kMeshC[32] = {
    0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB, 0x96, 0x46, 0xE9, 0x2A, 0xC4,
    0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED, 0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};

}  // namespace

namespace gost89 {

int mesh_driver(GOSTE_CTX* ctx, PieceFn fn, const unsigned char* in, unsigned char* out,
                int len) {
  if (!(ctx->mode & (GOSTE_MODE_MESH | GOSTE_MODE_MESH_IV))) return fn(ctx, in, out, len);
  int done = 0;
  while (done < len) {
    int piece = std::min(len - done, GOSTE_MESH_BYTES - ctx->mesh_count);
    int r = fn(ctx, in + done, out ? out + done : nullptr, piece);
    if (r < piece) return done + std::max(r, 0);
    done += piece;
    ctx->mesh_count += piece;
    if (done == len && ctx->mesh_count < GOSTE_MESH_BYTES) break;
    if (!GOSTE_key_meshing(ctx)) return done;
    ctx->mesh_count %= GOSTE_MESH_BYTES;
  }
  return done;
}

}  // namespace gost89

// ---------------------------------------------------------------------------------------------
// Meshing step.

int GOSTE_key_meshing(GOSTE_CTX* ctx) {
  if (!ctx) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  unsigned char newkey[32];
  {
    ClearKey ck;
    if (!take_key(ctx, ck)) {
      JARNEL_ERR(LIB_GOSTE, GOSTE_F_GAMMA_UPDATE, R_INTERNAL_ERROR);
      return 0;
    }
    std::uint32_t b[4][2];
    load_blocks(kMeshC, b);
    cycle<Order::Decrypt>(ctx->table, ck.k, b);
    store_blocks(newkey, b);
    mem_cleanse(b, sizeof(b));
  }
  if (ctx->mode & GOSTE_MODE_MESH_IV) {
    ClearKey nk;
    for (int i = 0; i < 8; ++i) nk.k[i] = load_le32(newkey + 4 * i);
    if ((ctx->mode & 0xFF) == GOSTE_MODE_GAMMA)
      gost89::encrypt(ctx->table, nk.k, ctx->N3, ctx->N4);
    else
      gost89::encrypt(ctx->table, nk.k, ctx->N1, ctx->N2);
  }
  int ok = GOSTE_set_key(ctx, newkey);  // wipes the record on failure
  mem_cleanse(newkey, sizeof(newkey));
  return ok;
}

// ---------------------------------------------------------------------------------------------
// KEK diversification and key wrap.

unsigned char* GOSTE_kek_diversify(const unsigned char* ukm8, const unsigned char* kek32,
                                   unsigned char* out32, const unsigned char* sbox) {
  if (!ukm8 || !kek32 || !out32) {
    ERR_set_status(kStatusNull);
    return nullptr;
  }
  GOSTE_CTX* c = GOSTE_new();
  if (!c) return nullptr;
  unsigned char k[32];
  for (int i = 0; i < 32; ++i) k[i] = kek32[31 - i];
  unsigned char* result = out32;
  for (int round = 0; round < 8 && result; ++round) {
    std::uint32_t s1 = 0, s2 = 0;
    for (int j = 0; j < 8; ++j) {
      std::uint32_t w = load_le32(k + 4 * j);
      if ((ukm8[round] >> j) & 1)
        s1 += w;
      else
        s2 += w;
    }
    unsigned char iv[8];
    store_le32(iv, s1);
    store_le32(iv + 4, s2);
    c->mode = 0;
    if (!GOSTE_gamma_fb_init(c, k, iv, sbox) || GOSTE_gamma_fbe_update(c, k, k, 32) != 32)
      result = nullptr;
  }
  if (result) std::memcpy(out32, k, 32);
  mem_cleanse(k, sizeof(k));
  GOSTE_free(c);
  return result;
}

int GOSTE_cp_key_wrap(const unsigned char* kek32, const unsigned char* ukm8,
                      const unsigned char* cek32, const unsigned char* sbox,
                      unsigned char* enc32, unsigned char* mac4) {
  if (!kek32 || !ukm8 || !cek32 || !enc32 || !mac4) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!sbox) sbox = GOSTE_default_cp_sbox();
  unsigned char kek2[32];
  unsigned char enc[32];
  unsigned char mac[4];
  int ok = 0;
  GOSTE_CTX* c = GOSTE_new();
  if (c && GOSTE_kek_diversify(ukm8, kek32, kek2, sbox) &&
      GOSTE_mac_init_iv(c, kek2, ukm8, sbox) && GOSTE_mac_update(c, cek32, 32) == 32 &&
      GOSTE_mac_final(c, mac, 32) == 4) {
    GOSTE_cleanup(c);
    if (GOSTE_ss_init(c, 1, kek2, sbox) && GOSTE_ss_update(c, cek32, enc, 32) == 32) ok = 1;
  }
  if (ok) {
    std::memcpy(enc32, enc, 32);
    std::memcpy(mac4, mac, 4);
  }
  mem_cleanse(kek2, sizeof(kek2));
  mem_cleanse(enc, sizeof(enc));
  GOSTE_free(c);
  return ok;
}

int GOSTE_cp_key_unwrap(const unsigned char* kek32, const unsigned char* ukm8,
                        const unsigned char* enc32, const unsigned char* mac4,
                        const unsigned char* sbox, unsigned char* cek32) {
  if (!kek32 || !ukm8 || !enc32 || !mac4 || !cek32) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!sbox) sbox = GOSTE_default_cp_sbox();
  unsigned char kek2[32];
  unsigned char cek[32];
  unsigned char mac[4];
  int ok = 0;
  GOSTE_CTX* c = GOSTE_new();
  if (c && GOSTE_kek_diversify(ukm8, kek32, kek2, sbox) && GOSTE_ss_init(c, 0, kek2, sbox) &&
      GOSTE_ss_update(c, enc32, cek, 32) == 32) {
    GOSTE_cleanup(c);
    if (GOSTE_mac_init_iv(c, kek2, ukm8, sbox) && GOSTE_mac_update(c, cek, 32) == 32 &&
        GOSTE_mac_final(c, mac, 32) == 4) {
      if (::CRYPTO_memcmp(mac, mac4, 4) == 0)
        ok = 1;
      else
        ERR_set_status(kStatusInternal);
    }
  }
  if (ok) std::memcpy(cek32, cek, 32);
  mem_cleanse(kek2, sizeof(kek2));
  mem_cleanse(cek, sizeof(cek));
  GOSTE_free(c);
  return ok;
}

}  // namespace jarnel
