// GOST 28147-89 imitation insert (32-bit MAC): initialisers, update, final and the one-shot
// helper. The register N1N2 accumulates the data; each full block goes through the 16-round
// cycle.
#include <algorithm>
#include <cstring>

#include "crypto/check/check.h"
#include "crypto/err/err.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gost89_core.h"
#include "crypto/rus/gost89_internal.h"

namespace jarnel {

using namespace gost89;

namespace {

unsigned char g_mac_buffer[32];

bool mac_body(GOSTE_CTX* ctx, const unsigned char* data, int len) {
  ClearKey ck;
  if (!take_key(ctx, ck)) return false;
  const GOSTE_TABLE* T = ctx->table;
  int i = 0;
  auto block_done = [ctx]() {
    ctx->pos = 0;
    if (ctx->mac_blocks < 2) ++ctx->mac_blocks;
  };
  while (i < len && ctx->pos != 0) {
    set_reg_byte(ctx, ctx->pos, static_cast<unsigned char>(reg_byte(ctx, ctx->pos) ^ data[i++]));
    if (++ctx->pos == 8) {
      gost89::mac16(T, ck.k, ctx->N1, ctx->N2);
      block_done();
    }
  }
  std::uint32_t r0 = ctx->N1, r1 = ctx->N2;
  int blocks = 0;
  for (; i + 8 <= len; i += 8) {
    r0 ^= load_le32(data + i);
    r1 ^= load_le32(data + i + 4);
    gost89::mac16(T, ck.k, r0, r1);
    ++blocks;
  }
  ctx->N1 = r0;
  ctx->N2 = r1;
  if (blocks) ctx->mac_blocks = std::min(2, ctx->mac_blocks + blocks);
  while (i < len) {
    set_reg_byte(ctx, ctx->pos, static_cast<unsigned char>(reg_byte(ctx, ctx->pos) ^ data[i++]));
    ++ctx->pos;  // cannot reach 8: fewer than 8 bytes are left
  }
  return true;
}

}  // namespace

namespace gost89 {
int mac_piece(GOSTE_CTX* ctx, const unsigned char* in, unsigned char*, int len) {
  return GOSTE_mac_update(ctx, in, len);
}
}  // namespace gost89

int GOSTE_mac_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* sbox) {
  if (!ctx || !key) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  std::uint32_t marker = ctx->selftest_marker;
  if (!GOSTE_mac_check(ctx)) return 0;
  ctx->selftest_marker = marker;
  return init_common(ctx, key, sbox, GOSTE_MODE_MAC);
}

int GOSTE_mac_init_iv(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv,
                      const unsigned char* sbox) {
  if (!GOSTE_mac_init(ctx, key, sbox)) return 0;
  if (iv) {
    ctx->N1 = load_le32(iv);
    ctx->N2 = load_le32(iv + 4);
  }
  return 1;
}

int GOSTE_mac_update(GOSTE_CTX* ctx, const unsigned char* data, int len) {
  if (!check_data_args(ctx, data, len)) return 0;
  if (!mac_body(ctx, data, len)) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_MAC_UPDATE, R_INTERNAL_ERROR);
    return 0;
  }
  return len;
}

int GOSTE_mac_final(GOSTE_CTX* ctx, unsigned char* out, int bits) {
  if (!ctx || !out) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (bits < 1 || bits > 32) bits = 32;
  if (ctx->pos > 0) {
    // The bytes not yet XORed stay as they are: the same as zero padding.
    ClearKey ck;
    if (!take_key(ctx, ck)) {
      JARNEL_ERR(LIB_GOSTE, GOSTE_F_MAC_FINAL, R_INTERNAL_ERROR);
      return 0;
    }
    gost89::mac16(ctx->table, ck.k, ctx->N1, ctx->N2);
    ctx->pos = 0;
    if (ctx->mac_blocks < 2) ++ctx->mac_blocks;
  }
  static const unsigned char kZero[8] = {0};
  while (ctx->mac_blocks < 2) {
    if (mesh_driver(ctx, mac_piece, kZero, nullptr, 8) != 8) {
      JARNEL_ERR(LIB_GOSTE, GOSTE_F_MAC_FINAL, R_INTERNAL_ERROR);
      return 0;
    }
  }
  if (!GOSTE_mac_check(ctx)) return 0;
  int nbytes = (bits + 7) / 8;
  if (!CHECK_ram(out, nbytes)) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_MAC_FINAL, R_CHECK_RAM_FAILURE);
    return 0;
  }
  std::uint32_t v = ctx->N1 >> ((32 - bits) % 32);
  for (int i = 0; i < nbytes; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
  return nbytes;
}

unsigned char* GOSTE_mac(GOSTE_CTX* ctx, const unsigned char* data, int len,
                         const unsigned char* key, const unsigned char* sbox,
                         unsigned char* out) {
  // An empty message has no MAC here, as in GOSTE_mac_update: refused like a null argument.
  if (!key || !data || len <= 0) {
    ERR_set_status(kStatusNull);
    return nullptr;
  }
  GOSTE_CTX* c = ctx ? ctx : GOSTE_new();
  if (!c) return nullptr;
  unsigned char* dst = out ? out : g_mac_buffer;
  unsigned char* result = nullptr;
  if (GOSTE_mac_init(c, key, sbox) &&
      mesh_driver(c, mac_piece, data, nullptr, len) == len &&
      GOSTE_mac_final(c, dst, 32) == 4)
    result = dst;
  if (!ctx) GOSTE_free(c);
  return result;
}

}  // namespace jarnel
