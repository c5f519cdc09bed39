// GOST 28147-89 modes: ECB (simple replacement), gamma (counter), gamma with feedback (CFB) and
// CBC, their initialisers and updates, and the dispatch of GOSTE_update through the meshing
// driver.
//
// Each mode body takes the clear key once per call (once per 16384-byte step in ECB and CBC) and
// runs the cycles of gost89_core.h. Wherever the inputs of several blocks are known in advance
// (ECB, gamma, CFB and CBC decryption) the blocks go through the cycle four, then two at a time;
// CFB and CBC encryption chain each block on the previous one and go one by one.
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

constexpr int kEcbStep = 16384;

unsigned char* work_buffer(const unsigned char* in, unsigned char* out, int len) {
  if (!out || out == in) return const_cast<unsigned char*>(in);
  std::memmove(out, in, static_cast<std::size_t>(len));
  return out;
}

inline void counter_step(std::uint32_t& n3, std::uint32_t& n4) {
  n3 += 0x01010101u;
  if (n4 > 0xFEFEFEFBu) n4 += 1;
  n4 += 0x01010104u;
}

// ---- mode bodies: buf is processed in place, len > 0 --------------------------------------

template <Order O>
void ecb_span(const GOSTE_TABLE* T, const std::uint32_t* k, unsigned char* p, int n) {
  for_block_groups(0, n, [&]<int N>(int i) JARNEL_GOST_STEP {
    std::uint32_t b[N][2];
    load_blocks(p + i, b);
    cycle<O>(T, k, b);
    store_blocks(p + i, b);
  });
}

bool ecb_blocks(GOSTE_CTX* ctx, unsigned char* buf, int len, bool enc) {
  for (int off = 0; off < len; off += kEcbStep) {
    int n = std::min(kEcbStep, len - off);
    ClearKey ck;
    if (!take_key(ctx, ck)) return false;
    if (enc)
      ecb_span<Order::Encrypt>(ctx->table, ck.k, buf + off, n);
    else
      ecb_span<Order::Decrypt>(ctx->table, ck.k, buf + off, n);
  }
  return true;
}

bool gamma_body(GOSTE_CTX* ctx, unsigned char* buf, int len) {
  ClearKey ck;
  if (!take_key(ctx, ck)) return false;
  const GOSTE_TABLE* T = ctx->table;
  int i = 0;
  while (i < len && ctx->pos > 0) {
    buf[i++] ^= reg_byte(ctx, 8 - ctx->pos);
    --ctx->pos;
  }
  std::uint32_t n3 = ctx->N3, n4 = ctx->N4;
  i = for_block_groups(i, len, [&]<int N>(int at) JARNEL_GOST_STEP {
    std::uint32_t g[N][2], d[N][2];
    for (int j = 0; j < N; ++j) {
      counter_step(n3, n4);
      g[j][0] = n3;
      g[j][1] = n4;
    }
    cycle<Order::Encrypt>(T, ck.k, g);
    load_blocks(buf + at, d);
    for (int j = 0; j < N; ++j) {
      d[j][0] ^= g[j][0];
      d[j][1] ^= g[j][1];
    }
    store_blocks(buf + at, d);
  });
  if (i < len) {
    counter_step(n3, n4);
    std::uint32_t a0 = n3, a1 = n4;
    gost89::encrypt(T, ck.k, a0, a1);
    ctx->N1 = a0;
    ctx->N2 = a1;
    ctx->pos = 8;
    while (i < len) {
      buf[i++] ^= reg_byte(ctx, 8 - ctx->pos);
      --ctx->pos;
    }
  }
  ctx->N3 = n3;
  ctx->N4 = n4;
  return true;
}

bool cfb_body(GOSTE_CTX* ctx, unsigned char* buf, int len, bool enc) {
  ClearKey ck;
  if (!take_key(ctx, ck)) return false;
  const GOSTE_TABLE* T = ctx->table;
  int i = 0;
  // Finish a partial block.
  while (i < len && ctx->pos != 0) {
    unsigned char g = reg_byte(ctx, ctx->pos);
    unsigned char c = enc ? static_cast<unsigned char>(buf[i] ^ g) : buf[i];
    buf[i] = static_cast<unsigned char>(buf[i] ^ g);
    set_reg_byte(ctx, ctx->pos, c);
    ++i;
    ctx->pos = (ctx->pos + 1) & 7;
  }
  std::uint32_t r0 = ctx->N1, r1 = ctx->N2;
  if (enc) {
    for (; i + 8 <= len; i += 8) {
      gost89::encrypt(T, ck.k, r0, r1);
      r0 ^= load_le32(buf + i);
      r1 ^= load_le32(buf + i + 4);
      store_le32(buf + i, r0);
      store_le32(buf + i + 4, r1);
    }
  } else {
    // The gamma of each block is the encrypted previous ciphertext, all known in advance.
    i = for_block_groups(i, len, [&]<int N>(int at) JARNEL_GOST_STEP {
      std::uint32_t g[N][2], c[N][2];
      load_blocks(buf + at, c);
      for (int j = 0; j < N; ++j) {
        g[j][0] = j ? c[j - 1][0] : r0;
        g[j][1] = j ? c[j - 1][1] : r1;
      }
      cycle<Order::Encrypt, OneKeyHeld>(T, ck.k, g);
      r0 = c[N - 1][0];
      r1 = c[N - 1][1];
      for (int j = 0; j < N; ++j) {
        c[j][0] ^= g[j][0];
        c[j][1] ^= g[j][1];
      }
      store_blocks(buf + at, c);
    });
  }
  ctx->N1 = r0;
  ctx->N2 = r1;
  if (i < len) {
    // pos is 0 here: start a new block.
    std::uint32_t g0 = r0, g1 = r1;
    gost89::encrypt(T, ck.k, g0, g1);
    ctx->N1 = g0;
    ctx->N2 = g1;
    while (i < len) {
      unsigned char g = reg_byte(ctx, ctx->pos);
      unsigned char c = enc ? static_cast<unsigned char>(buf[i] ^ g) : buf[i];
      buf[i] = static_cast<unsigned char>(buf[i] ^ g);
      set_reg_byte(ctx, ctx->pos, c);
      ++i;
      ++ctx->pos;
    }
  }
  return true;
}

bool cbc_blocks(GOSTE_CTX* ctx, unsigned char* buf, int len) {
  bool enc = ctx->direction == 1;
  for (int off = 0; off < len; off += kEcbStep) {
    int n = std::min(kEcbStep, len - off);
    ClearKey ck;
    if (!take_key(ctx, ck)) return false;
    const GOSTE_TABLE* T = ctx->table;
    unsigned char* p = buf + off;
    std::uint32_t r0 = ctx->N1, r1 = ctx->N2;
    if (enc) {
      for (int i = 0; i < n; i += 8) {
        r0 ^= load_le32(p + i);
        r1 ^= load_le32(p + i + 4);
        gost89::encrypt(T, ck.k, r0, r1);
        store_le32(p + i, r0);
        store_le32(p + i + 4, r1);
      }
    } else {
      for_block_groups(0, n, [&]<int N>(int at) JARNEL_GOST_STEP {
        std::uint32_t b[N][2], c[N][2];
        load_blocks(p + at, c);
        std::memcpy(b, c, sizeof(b));
        cycle<Order::Decrypt, OneKeyHeld>(T, ck.k, b);
        for (int j = 0; j < N; ++j) {
          b[j][0] ^= j ? c[j - 1][0] : r0;
          b[j][1] ^= j ? c[j - 1][1] : r1;
        }
        store_blocks(p + at, b);
        r0 = c[N - 1][0];
        r1 = c[N - 1][1];
      });
    }
    ctx->N1 = r0;
    ctx->N2 = r1;
  }
  return true;
}

// ---- the public update functions with the signature of the meshing driver ------------------

int ecb_piece(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  return GOSTE_ss_update(ctx, in, out, len);
}
int gamma_piece(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  return GOSTE_gamma_update(ctx, in, out, len);
}
int cfbe_piece(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  return GOSTE_gamma_fbe_update(ctx, in, out, len);
}
int cfbd_piece(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  return GOSTE_gamma_fbd_update(ctx, in, out, len);
}
int cbc_piece(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  return GOSTE_cbc_update(ctx, in, out, len);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Initialisers.

int GOSTE_ss_init(GOSTE_CTX* ctx, int direction, const unsigned char* key,
                  const unsigned char* sbox) {
  if (!ctx || !key) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!GOSTE_ss_check(ctx)) return 0;
  ctx->direction = direction;
  return init_common(ctx, key, sbox, GOSTE_MODE_ECB);
}

int GOSTE_cbc_init(GOSTE_CTX* ctx, int direction, const unsigned char* key,
                   const unsigned char* iv, const unsigned char* sbox) {
  if (!ctx || !key) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!GOSTE_ss_check(ctx)) return 0;
  ctx->direction = direction;
  if (!init_common(ctx, key, sbox, GOSTE_MODE_CBC)) return 0;
  if (iv) {
    ctx->N1 = load_le32(iv);
    ctx->N2 = load_le32(iv + 4);
  }
  return 1;
}

int GOSTE_gamma_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv,
                     const unsigned char* sbox) {
  if (!ctx || !key) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!GOSTE_gamma_check(ctx)) return 0;
  ctx->direction = 1;
  if (!init_common(ctx, key, sbox, GOSTE_MODE_GAMMA)) return 0;
  ClearKey ck;
  if (!take_key(ctx, ck)) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GAMMA_INIT, R_INTERNAL_ERROR);
    return 0;
  }
  std::uint32_t r0 = iv ? load_le32(iv) : 0, r1 = iv ? load_le32(iv + 4) : 0;
  gost89::encrypt(ctx->table, ck.k, r0, r1);
  ctx->N3 = r0;
  ctx->N4 = r1;
  counter_step(ctx->N3, ctx->N4);
  r0 = ctx->N3;
  r1 = ctx->N4;
  gost89::encrypt(ctx->table, ck.k, r0, r1);
  ctx->N1 = r0;
  ctx->N2 = r1;
  ctx->pos = 8;
  return 1;
}

int GOSTE_gamma_fb_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv,
                        const unsigned char* sbox) {
  if (!ctx || !key) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!GOSTE_gamma_fb_check(ctx)) return 0;
  if (!init_common(ctx, key, sbox, GOSTE_MODE_GAMMA_FB)) return 0;
  if (iv) {
    ctx->N1 = load_le32(iv);
    ctx->N2 = load_le32(iv + 4);
  }
  return 1;
}

int GOSTE_gamma_fb_cp_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv,
                           const unsigned char* sbox) {
  if (!ctx || !key) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!GOSTE_gamma_fb_check(ctx)) return 0;
  if (!init_common(ctx, key, sbox ? sbox : GOSTE_default_cp_sbox(), GOSTE_MODE_GAMMA_FB))
    return 0;
  ctx->mode = GOSTE_MODE_GAMMA_FB | GOSTE_MODE_MESH | GOSTE_MODE_MESH_IV;
  if (iv) {
    ctx->N1 = load_le32(iv);
    ctx->N2 = load_le32(iv + 4);
  }
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Data operations.

int GOSTE_ss_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  if (!check_data_args(ctx, in, len)) return 0;
  if (len > 0x7FFFFFF8) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  int n = (len + 7) & ~7;
  unsigned char* buf = work_buffer(in, out, n);
  if (!ecb_blocks(ctx, buf, n, ctx->direction != 0)) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_SS_UPDATE, R_INTERNAL_ERROR);
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_SS_UPDATE, LIB_GOSTE);
    return 0;
  }
  return n;
}

int GOSTE_cbc_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  if (!check_data_args(ctx, in, len)) return 0;
  if (len > 0x7FFFFFF8) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  int n = (len + 7) & ~7;
  unsigned char* buf = work_buffer(in, out, n);
  if (!cbc_blocks(ctx, buf, n)) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_SS_UPDATE, R_INTERNAL_ERROR);
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_SS_UPDATE, LIB_GOSTE);
    return 0;
  }
  return n;
}

int GOSTE_gamma_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  if (!check_data_args(ctx, in, len)) return 0;
  unsigned char* buf = work_buffer(in, out, len);
  if (!gamma_body(ctx, buf, len)) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GAMMA_UPDATE, R_INTERNAL_ERROR);
    return 0;
  }
  return len;
}

int GOSTE_gamma_fbe_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  if (!check_data_args(ctx, in, len)) return 0;
  unsigned char* buf = work_buffer(in, out, len);
  if (!cfb_body(ctx, buf, len, true)) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GAMMA_UPDATE, R_INTERNAL_ERROR);
    return 0;
  }
  return len;
}

int GOSTE_gamma_fbd_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  if (!check_data_args(ctx, in, len)) return 0;
  unsigned char* buf = work_buffer(in, out, len);
  if (!cfb_body(ctx, buf, len, false)) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GAMMA_UPDATE, R_INTERNAL_ERROR);
    return 0;
  }
  return len;
}

int GOSTE_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len) {
  if (!check_data_args(ctx, in, len)) return 0;
  switch (ctx->mode & 0xFF) {
    case GOSTE_MODE_ECB:
      return mesh_driver(ctx, ecb_piece, in, out, len);
    case GOSTE_MODE_GAMMA:
      return mesh_driver(ctx, gamma_piece, in, out, len);
    case GOSTE_MODE_GAMMA_FB:
      return mesh_driver(ctx, ctx->direction == 1 ? cfbe_piece : cfbd_piece, in, out, len);
    case GOSTE_MODE_MAC:
      return mesh_driver(ctx, mac_piece, in, nullptr, len);
    case GOSTE_MODE_CBC:
      return mesh_driver(ctx, cbc_piece, in, out, len);
    default:
      ERR_set_status(kStatusBadMode);
      return 0;
  }
}

}  // namespace jarnel
