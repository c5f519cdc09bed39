// GOST R 34.11-94 hash: step function, length and checksum accumulation, finalisation.
#include "crypto/rus/gosth.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "crypto/check/check.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89_core.h"
#include "crypto/status.h"
#include "crypto/byteorder.h"

namespace jarnel {


namespace {

// transform_p reads the 64-bit parts as bytes in memory order.
static_assert(std::endian::native == std::endian::little);

constexpr std::uint32_t kStatusNull = STATUS_NULL_ARGUMENT, kStatusAlloc = STATUS_NO_MEMORY;
constexpr int GOSTH_F_GOSTH_FINAL = 112;

// C3 of the key generation, least significant byte first.
constexpr unsigned char kC3[32] = {
    0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
    0x00, 0xFF, 0xFF, 0x00, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF};

// A(Y) = (y1 ^ y2) || y4 || y3 || y2 over 64-bit parts, y1 the least significant.
inline void transform_a(std::uint64_t y[4]) {
  std::uint64_t t = y[0] ^ y[1];
  y[0] = y[1];
  y[1] = y[2];
  y[2] = y[3];
  y[3] = t;
}

// P: byte i + 4k of the result is byte 8i + k of the input (i = 0..3, k = 0..7); the result
// goes straight into the eight key words.
inline void transform_p(const std::uint64_t w[4], std::uint32_t key[8]) {
  unsigned char in[32];
  std::memcpy(in, w, 32);
  for (int k = 0; k < 8; ++k)
    key[k] = static_cast<std::uint32_t>(in[k]) | (static_cast<std::uint32_t>(in[8 + k]) << 8) |
             (static_cast<std::uint32_t>(in[16 + k]) << 16) |
             (static_cast<std::uint32_t>(in[24 + k]) << 24);
}

inline void load256(const unsigned char* p, std::uint64_t y[4]) {
  for (int i = 0; i < 4; ++i) y[i] = load_le64(p + 8 * i);
}

// The shuffle psi on a 256-bit value held as four 64-bit parts q0..q3 (sixteen 16-bit words,
// w0 the least significant). One psi appends w0^w1^w2^w3^w12^w15 above w15 and drops w0.
inline void psi1(std::uint64_t& q0, std::uint64_t& q1, std::uint64_t& q2, std::uint64_t& q3) {
  const std::uint64_t w = (q0 ^ (q0 >> 16) ^ (q0 >> 32) ^ (q0 >> 48) ^ q3 ^ (q3 >> 48)) & 0xFFFFu;
  q0 = (q0 >> 16) | (q1 << 48);
  q1 = (q1 >> 16) | (q2 << 48);
  q2 = (q2 >> 16) | (q3 << 48);
  q3 = (q3 >> 16) | (w << 48);
}

// Four applications of psi at once: the four new words are w(i)^w(i+1)^w(i+2)^w(i+3)^w(i+12)
// for i = 0..3, each also XORed with the word before it (w15 for the first): a prefix XOR over
// the four 16-bit lanes.
inline void psi4(std::uint64_t& q0, std::uint64_t& q1, std::uint64_t& q2, std::uint64_t& q3) {
  const std::uint64_t b = (q0 >> 16) | (q1 << 48);
  const std::uint64_t c = (q0 >> 32) | (q1 << 32);
  const std::uint64_t d = (q0 >> 48) | (q1 << 16);
  std::uint64_t v = q0 ^ b ^ c ^ d ^ q3 ^ (q3 >> 48);
  v ^= v << 16;
  v ^= v << 32;
  q0 = q1;
  q1 = q2;
  q2 = q3;
  q3 = v;
}

void add256(unsigned char* acc, const unsigned char* m) {
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    unsigned s = acc[i] + m[i] + carry;
    acc[i] = static_cast<unsigned char>(s);
    carry = s >> 8;
  }
}

void add_length(GOSTH_CTX* ctx, unsigned bits) {
  std::uint32_t carry = bits;
  for (int i = 0; i < 16 && carry; ++i) {
    std::uint32_t s = ctx->length[i] + carry;
    ctx->length[i] = static_cast<std::uint16_t>(s);
    carry = s >> 16;
  }
  int used = 0;
  for (int i = 0; i < 16; ++i)
    if (ctx->length[i]) used = i + 1;
  ctx->length_limbs = used;
}

void process_block(GOSTH_CTX* ctx, const unsigned char* m) {
  GOSTH_step(ctx->cipher.table, ctx->H, m);
  add_length(ctx, 256);
  add256(ctx->sigma, m);
}

int init_common(GOSTH_CTX* ctx, const unsigned char* h0, const unsigned char* sbox, int count) {
  if (!ctx) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!GOSTH_check(ctx)) return 0;
  std::uint32_t marker = ctx->selftest_marker;
  GOSTH_cleanup(ctx);
  ctx->selftest_marker = marker;
  if (!GOSTE_set_sbox(&ctx->cipher, sbox ? sbox : GOSTE_default_hash_sbox())) return 0;
  if (h0) std::memcpy(ctx->H, h0, 32);
  ctx->count = count;
  return 1;
}

}  // namespace

void GOSTH_step(const GOSTE_TABLE* T, unsigned char* H, const unsigned char* M) {
  std::uint64_t u[4], v[4], w[4];
  std::uint32_t keys[4][8];
  load256(H, u);
  load256(M, v);
  std::uint64_t c3[4];
  load256(kC3, c3);
  for (int j = 0; j < 4; ++j) {
    if (j > 0) {
      transform_a(u);
      if (j == 2)
        for (int i = 0; i < 4; ++i) u[i] ^= c3[i];
      transform_a(v);
      transform_a(v);
    }
    for (int i = 0; i < 4; ++i) w[i] = u[i] ^ v[i];
    transform_p(w, keys[j]);
  }
  // Four encryptions with four keys, interleaved.
  std::uint32_t s[4][2];
  gost89::load_blocks(H, s);
  gost89::cycle_with<gost89::Order::Encrypt>(T, gost89::KeyPerBlock{keys}, s);
  mem_cleanse(keys, sizeof(keys));

  // H' = psi^61(H ^ psi(M ^ psi^12(S))).
  std::uint64_t q0 = s[0][0] | (static_cast<std::uint64_t>(s[0][1]) << 32);
  std::uint64_t q1 = s[1][0] | (static_cast<std::uint64_t>(s[1][1]) << 32);
  std::uint64_t q2 = s[2][0] | (static_cast<std::uint64_t>(s[2][1]) << 32);
  std::uint64_t q3 = s[3][0] | (static_cast<std::uint64_t>(s[3][1]) << 32);
  for (int i = 0; i < 3; ++i) psi4(q0, q1, q2, q3);
  std::uint64_t m[4], h[4];
  load256(M, m);
  load256(H, h);
  q0 ^= m[0];
  q1 ^= m[1];
  q2 ^= m[2];
  q3 ^= m[3];
  psi1(q0, q1, q2, q3);
  q0 ^= h[0];
  q1 ^= h[1];
  q2 ^= h[2];
  q3 ^= h[3];
  for (int i = 0; i < 15; ++i) psi4(q0, q1, q2, q3);
  psi1(q0, q1, q2, q3);
  const std::uint64_t out[4] = {q0, q1, q2, q3};
  for (int i = 0; i < 4; ++i)
    for (int b = 0; b < 8; ++b) H[8 * i + b] = static_cast<unsigned char>(out[i] >> (8 * b));
}

GOSTH_CTX* GOSTH_new() {
  auto* ctx = static_cast<GOSTH_CTX*>(mem_alloc(sizeof(GOSTH_CTX)));
  if (!ctx) {
    ERR_set_status(kStatusAlloc);
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GOSTH_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  if (!CHECK_ram(ctx, sizeof(GOSTH_CTX))) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GOSTH_NEW, R_CHECK_RAM_FAILURE);
    mem_free(ctx);
    return nullptr;
  }
  std::memset(static_cast<void*>(ctx), 0, sizeof(*ctx));
  return ctx;
}

void GOSTH_cleanup(GOSTH_CTX* ctx) {
  if (!ctx) return;
  GOSTE_cleanup(&ctx->cipher);
  mem_cleanse(ctx, sizeof(*ctx));
}

void GOSTH_free(GOSTH_CTX* ctx) {
  if (!ctx) return;
  GOSTH_cleanup(ctx);
  mem_free(ctx);
}

int GOSTH_copy(GOSTH_CTX* dst, const GOSTH_CTX* src) {
  if (!dst || !src) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  GOSTH_cleanup(dst);
  std::memcpy(static_cast<void*>(dst), src, sizeof(*dst));
  std::memset(static_cast<void*>(&dst->cipher), 0, sizeof(dst->cipher));
  if (!GOSTE_copy(&dst->cipher, &src->cipher)) {
    GOSTH_cleanup(dst);
    return 0;
  }
  return 1;
}

int GOSTH_init(GOSTH_CTX* ctx, const unsigned char* h0, const unsigned char* sbox) {
  return init_common(ctx, h0, sbox, -1);
}

int GOSTH_init_cp(GOSTH_CTX* ctx, const unsigned char* h0, const unsigned char* sbox) {
  return init_common(ctx, h0, sbox, 0);
}

int GOSTH_update(GOSTH_CTX* ctx, const void* data, int len) {
  if (!ctx || !data) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (len < 1) return 0;
  const auto* p = static_cast<const unsigned char*>(data);
  if (ctx->count < 0) ctx->count = 0;
  int i = 0;
  if (ctx->count > 0) {
    int take = std::min(32 - ctx->count, len);
    std::memcpy(ctx->block + ctx->count, p, static_cast<std::size_t>(take));
    ctx->count += take;
    i = take;
    if (ctx->count < 32) return len;
    process_block(ctx, ctx->block);
    ctx->count = 0;
  }
  for (; i + 32 <= len; i += 32) process_block(ctx, p + i);
  if (i < len) {
    std::memcpy(ctx->block, p + i, static_cast<std::size_t>(len - i));
    ctx->count = len - i;
  }
  return len;
}

int GOSTH_final(GOSTH_CTX* ctx, unsigned char* out32) {
  if (!ctx || !out32) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (ctx->count != 0) {
    if (ctx->count < 0) ctx->count = 0;
    add_length(ctx, 8u * static_cast<unsigned>(ctx->count));
    std::memset(ctx->block + ctx->count, 0, static_cast<std::size_t>(32 - ctx->count));
    add256(ctx->sigma, ctx->block);
    GOSTH_step(ctx->cipher.table, ctx->H, ctx->block);
    ctx->count = 0;
  }
  unsigned char l[32];
  for (int i = 0; i < 16; ++i) {
    l[2 * i] = static_cast<unsigned char>(ctx->length[i]);
    l[2 * i + 1] = static_cast<unsigned char>(ctx->length[i] >> 8);
  }
  GOSTH_step(ctx->cipher.table, ctx->H, l);
  GOSTH_step(ctx->cipher.table, ctx->H, ctx->sigma);
  if (!GOSTH_check(ctx)) return 0;
  if (!CHECK_ram(out32, 32)) {
    JARNEL_ERR(LIB_GOSTH, GOSTH_F_GOSTH_FINAL, R_CHECK_RAM_FAILURE);
    return 0;
  }
  for (int i = 0; i < 32; ++i) out32[i] = ctx->H[31 - i];
  return 32;
}

int GOSTH_digest_ex(const void* data, int len, const unsigned char* h0,
                    const unsigned char* sbox, int cp, unsigned char* out32) {
  if ((!data && len > 0) || len < 0 || !out32) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  GOSTH_CTX ctx;
  std::memset(static_cast<void*>(&ctx), 0, sizeof(ctx));
  int ok = (cp ? GOSTH_init_cp(&ctx, h0, sbox) : GOSTH_init(&ctx, h0, sbox)) &&
           (len == 0 || GOSTH_update(&ctx, data, len) == len) && GOSTH_final(&ctx, out32) == 32;
  GOSTH_cleanup(&ctx);
  return ok ? 1 : 0;
}

void GOSTH_prehashed_init(GOSTH_PREHASHED* ctx) {
  if (ctx) std::memset(ctx->value, 0, sizeof(ctx->value));
}

int GOSTH_prehashed_update(GOSTH_PREHASHED* ctx, const void* data, int len) {
  if (!ctx || !data) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (len < 1) return 0;
  std::memcpy(ctx->value, data, static_cast<std::size_t>(std::min(len, 32)));
  return len;
}

int GOSTH_prehashed_final(GOSTH_PREHASHED* ctx, unsigned char* out32) {
  if (!ctx || !out32) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  std::memcpy(out32, ctx->value, 32);
  return 32;
}

int GOSTH_digest(const void* data, int len, unsigned char* out32) {
  return GOSTH_digest_ex(data, len, nullptr, nullptr, 0, out32);
}

int GOSTH_digest_cp(const void* data, int len, unsigned char* out32) {
  return GOSTH_digest_ex(data, len, nullptr, GOSTE_cp_hash_sbox(), 1, out32);
}

}  // namespace jarnel
