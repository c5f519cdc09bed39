// GOST 28147-89: contexts, S-box selection, the modes, the MAC, key meshing, KEK
// diversification and the CryptoPro key wrap.
#include "crypto/rus/gost89.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>

#include "crypto/check/check.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89_core.h"
#include "crypto/rus/gosth.h"
#include "crypto/rus/sboxes.h"

namespace jarnel {

using gost89::load_le32;
using gost89::store_le32;

namespace {

constexpr std::uint32_t kStatusNull = 1, kStatusAlloc = 11, kStatusInternal = 12,
                        kStatusBadMode = 10, kStatusBadSbox = 13;
constexpr int kEcbStep = 16384;

// CryptoPro key-meshing constant C (RFC 4357 2.3.2).
constexpr unsigned char kMeshC[32] = {
    0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB, 0x96, 0x46, 0xE9, 0x2A, 0xC4,
    0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED, 0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};

// The CryptoPro default S-box, read under lock 29.
const unsigned char* g_cp_default = nullptr;

// Clear copy of the context key for the span of one operation; zeroed when it goes out of scope.
struct ClearKey {
  std::uint32_t k[8];
  ClearKey() = default;
  ClearKey(const ClearKey&) = delete;
  ClearKey& operator=(const ClearKey&) = delete;
  ~ClearKey() { mem_cleanse(k, sizeof(k)); }
};

// Unmasks the key, takes a clear copy and masks it again. On a checksum or masking failure the
// key record is wiped (the context is unusable until a new key is set).
bool take_key(GOSTE_CTX* ctx, ClearKey& ck) {
  if (!MASK_key_unmask(&ctx->key)) {
    MASK_key_wipe(&ctx->key);
    return false;
  }
  std::memcpy(ck.k, ctx->key.key, sizeof(ck.k));
  if (!MASK_key_mask(&ctx->key)) {
    MASK_key_wipe(&ctx->key);
    return false;
  }
  return true;
}

unsigned char* work_buffer(const unsigned char* in, unsigned char* out, int len) {
  if (!out || out == in) return const_cast<unsigned char*>(in);
  std::memmove(out, in, static_cast<std::size_t>(len));
  return out;
}

void reset_state(GOSTE_CTX* ctx) {
  ctx->N1 = ctx->N2 = ctx->N3 = ctx->N4 = 0;
  ctx->pos = 0;
  ctx->mac_blocks = 0;
  ctx->mesh_count = 0;
}

// ---- mode bodies: buf is processed in place, len > 0 --------------------------------------

bool ecb_blocks(GOSTE_CTX* ctx, unsigned char* buf, int len, bool enc) {
  for (int off = 0; off < len; off += kEcbStep) {
    int n = std::min(kEcbStep, len - off);
    ClearKey ck;
    if (!take_key(ctx, ck)) return false;
    const GOSTE_TABLE* T = ctx->table;
    unsigned char* p = buf + off;
    int i = 0;
    for (; i + 32 <= n; i += 32) {
      std::uint32_t b[4][2];
      for (int j = 0; j < 4; ++j) {
        b[j][0] = load_le32(p + i + 8 * j);
        b[j][1] = load_le32(p + i + 8 * j + 4);
      }
      gost89::crypt4(T, ck.k, b, enc);
      for (int j = 0; j < 4; ++j) {
        store_le32(p + i + 8 * j, b[j][0]);
        store_le32(p + i + 8 * j + 4, b[j][1]);
      }
    }
    for (; i + 16 <= n; i += 16) {
      std::uint32_t a0 = load_le32(p + i), a1 = load_le32(p + i + 4);
      std::uint32_t c0 = load_le32(p + i + 8), c1 = load_le32(p + i + 12);
      if (enc)
        gost89::encrypt2(T, ck.k, a0, a1, c0, c1);
      else
        gost89::decrypt2(T, ck.k, a0, a1, c0, c1);
      store_le32(p + i, a0);
      store_le32(p + i + 4, a1);
      store_le32(p + i + 8, c0);
      store_le32(p + i + 12, c1);
    }
    for (; i < n; i += 8) {
      std::uint32_t a0 = load_le32(p + i), a1 = load_le32(p + i + 4);
      if (enc)
        gost89::encrypt(T, ck.k, a0, a1);
      else
        gost89::decrypt(T, ck.k, a0, a1);
      store_le32(p + i, a0);
      store_le32(p + i + 4, a1);
    }
  }
  return true;
}

inline void counter_step(std::uint32_t& n3, std::uint32_t& n4) {
  n3 += 0x01010101u;
  if (n4 > 0xFEFEFEFBu) n4 += 1;
  n4 += 0x01010104u;
}

inline unsigned char reg_byte(const GOSTE_CTX* ctx, int i) {
  std::uint32_t w = i < 4 ? ctx->N1 : ctx->N2;
  return static_cast<unsigned char>(w >> (8 * (i & 3)));
}
inline void set_reg_byte(GOSTE_CTX* ctx, int i, unsigned char v) {
  std::uint32_t& w = i < 4 ? ctx->N1 : ctx->N2;
  int s = 8 * (i & 3);
  w = (w & ~(0xFFu << s)) | (static_cast<std::uint32_t>(v) << s);
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
  for (; i + 32 <= len; i += 32) {
    std::uint32_t b[4][2];
    for (int j = 0; j < 4; ++j) {
      counter_step(n3, n4);
      b[j][0] = n3;
      b[j][1] = n4;
    }
    gost89::crypt4(T, ck.k, b, true);
    for (int j = 0; j < 4; ++j) {
      store_le32(buf + i + 8 * j, load_le32(buf + i + 8 * j) ^ b[j][0]);
      store_le32(buf + i + 8 * j + 4, load_le32(buf + i + 8 * j + 4) ^ b[j][1]);
    }
  }
  for (; i + 16 <= len; i += 16) {
    counter_step(n3, n4);
    std::uint32_t a0 = n3, a1 = n4;
    counter_step(n3, n4);
    std::uint32_t c0 = n3, c1 = n4;
    gost89::encrypt2(T, ck.k, a0, a1, c0, c1);
    store_le32(buf + i, load_le32(buf + i) ^ a0);
    store_le32(buf + i + 4, load_le32(buf + i + 4) ^ a1);
    store_le32(buf + i + 8, load_le32(buf + i + 8) ^ c0);
    store_le32(buf + i + 12, load_le32(buf + i + 12) ^ c1);
  }
  for (; i + 8 <= len; i += 8) {
    counter_step(n3, n4);
    std::uint32_t a0 = n3, a1 = n4;
    gost89::encrypt(T, ck.k, a0, a1);
    store_le32(buf + i, load_le32(buf + i) ^ a0);
    store_le32(buf + i + 4, load_le32(buf + i + 4) ^ a1);
  }
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
    // The gamma of each block is the encrypted previous ciphertext: four blocks at a time.
    for (; i + 32 <= len; i += 32) {
      std::uint32_t b[4][2], c[4][2];
      for (int j = 0; j < 4; ++j) {
        c[j][0] = load_le32(buf + i + 8 * j);
        c[j][1] = load_le32(buf + i + 8 * j + 4);
        b[j][0] = j ? c[j - 1][0] : r0;
        b[j][1] = j ? c[j - 1][1] : r1;
      }
      gost89::crypt4(T, ck.k, b, true);
      for (int j = 0; j < 4; ++j) {
        store_le32(buf + i + 8 * j, c[j][0] ^ b[j][0]);
        store_le32(buf + i + 8 * j + 4, c[j][1] ^ b[j][1]);
      }
      r0 = c[3][0];
      r1 = c[3][1];
    }
    for (; i + 16 <= len; i += 16) {
      std::uint32_t c0 = load_le32(buf + i), c1 = load_le32(buf + i + 4);
      std::uint32_t d0 = load_le32(buf + i + 8), d1 = load_le32(buf + i + 12);
      std::uint32_t g0 = r0, g1 = r1, h0 = c0, h1 = c1;
      gost89::encrypt2(T, ck.k, g0, g1, h0, h1);
      store_le32(buf + i, c0 ^ g0);
      store_le32(buf + i + 4, c1 ^ g1);
      store_le32(buf + i + 8, d0 ^ h0);
      store_le32(buf + i + 12, d1 ^ h1);
      r0 = d0;
      r1 = d1;
    }
    for (; i + 8 <= len; i += 8) {
      std::uint32_t c0 = load_le32(buf + i), c1 = load_le32(buf + i + 4);
      gost89::encrypt(T, ck.k, r0, r1);
      store_le32(buf + i, c0 ^ r0);
      store_le32(buf + i + 4, c1 ^ r1);
      r0 = c0;
      r1 = c1;
    }
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
    int i = 0;
    if (enc) {
      for (; i < n; i += 8) {
        r0 ^= load_le32(p + i);
        r1 ^= load_le32(p + i + 4);
        gost89::encrypt(T, ck.k, r0, r1);
        store_le32(p + i, r0);
        store_le32(p + i + 4, r1);
      }
    } else {
      for (; i + 32 <= n; i += 32) {
        std::uint32_t b[4][2], c[4][2];
        for (int j = 0; j < 4; ++j) {
          c[j][0] = b[j][0] = load_le32(p + i + 8 * j);
          c[j][1] = b[j][1] = load_le32(p + i + 8 * j + 4);
        }
        gost89::crypt4(T, ck.k, b, false);
        for (int j = 0; j < 4; ++j) {
          store_le32(p + i + 8 * j, b[j][0] ^ (j ? c[j - 1][0] : r0));
          store_le32(p + i + 8 * j + 4, b[j][1] ^ (j ? c[j - 1][1] : r1));
        }
        r0 = c[3][0];
        r1 = c[3][1];
      }
      for (; i + 16 <= n; i += 16) {
        std::uint32_t c0 = load_le32(p + i), c1 = load_le32(p + i + 4);
        std::uint32_t d0 = load_le32(p + i + 8), d1 = load_le32(p + i + 12);
        std::uint32_t a0 = c0, a1 = c1, b0 = d0, b1 = d1;
        gost89::decrypt2(T, ck.k, a0, a1, b0, b1);
        store_le32(p + i, a0 ^ r0);
        store_le32(p + i + 4, a1 ^ r1);
        store_le32(p + i + 8, b0 ^ c0);
        store_le32(p + i + 12, b1 ^ c1);
        r0 = d0;
        r1 = d1;
      }
      for (; i < n; i += 8) {
        std::uint32_t c0 = load_le32(p + i), c1 = load_le32(p + i + 4);
        std::uint32_t a0 = c0, a1 = c1;
        gost89::decrypt(T, ck.k, a0, a1);
        store_le32(p + i, a0 ^ r0);
        store_le32(p + i + 4, a1 ^ r1);
        r0 = c0;
        r1 = c1;
      }
    }
    ctx->N1 = r0;
    ctx->N2 = r1;
  }
  return true;
}

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

// ---- checked wrappers used by the public functions and the meshing driver ------------------

using PieceFn = int (*)(GOSTE_CTX*, const unsigned char*, unsigned char*, int);

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
int mac_piece(GOSTE_CTX* ctx, const unsigned char* in, unsigned char*, int len) {
  return GOSTE_mac_update(ctx, in, len);
}

// Cuts the operation so that no piece crosses a 1024-byte boundary of the data processed under
// one key, and meshes the key at each boundary.
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

bool check_data_args(const GOSTE_CTX* ctx, const unsigned char* in, int len) {
  if (!ctx || !in || len <= 0) {
    ERR_set_status(kStatusNull);
    return false;
  }
  return true;
}

// Common part of the mode initialisers after the self-test hook.
int init_common(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* sbox,
                std::uint32_t mode) {
  reset_state(ctx);
  if (!GOSTE_set_key(ctx, key)) return 0;
  if (!GOSTE_set_sbox(ctx, sbox)) {
    MASK_key_wipe(&ctx->key);
    return 0;
  }
  if (ctx->mode == 0) ctx->mode = mode;
  return 1;
}

unsigned char g_mac_buffer[32];

}  // namespace

// ---------------------------------------------------------------------------------------------
// Context management.

GOSTE_CTX* GOSTE_new() {
  auto* ctx = static_cast<GOSTE_CTX*>(mem_alloc(sizeof(GOSTE_CTX)));
  if (!ctx) {
    ERR_set_status(kStatusAlloc);
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GOSTE_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  if (!CHECK_ram(ctx, sizeof(GOSTE_CTX))) {
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GOSTE_NEW, R_CHECK_RAM_FAILURE);
    mem_free(ctx);
    return nullptr;
  }
  std::memset(static_cast<void*>(ctx), 0, sizeof(*ctx));
  return ctx;
}

void GOSTE_cleanup(GOSTE_CTX* ctx) {
  if (!ctx) return;
  MASK_key_wipe(&ctx->key);
  if (ctx->table_storage) mem_clear_free(ctx->table_storage, sizeof(GOSTE_TABLE));
  mem_cleanse(ctx, sizeof(*ctx));
}

void GOSTE_free(GOSTE_CTX* ctx) {
  if (!ctx) return;
  GOSTE_cleanup(ctx);
  mem_free(ctx);
}

int GOSTE_copy(GOSTE_CTX* dst, const GOSTE_CTX* src) {
  if (!dst || !src) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  GOSTE_cleanup(dst);
  std::memcpy(static_cast<void*>(dst), src, sizeof(*dst));
  dst->key.mask = nullptr;
  dst->table_storage = nullptr;
  if (src->key.mask) {
    dst->key.mask = static_cast<unsigned char*>(mem_alloc(MASK_KEY_BYTES));
    if (!dst->key.mask) {
      mem_cleanse(dst, sizeof(*dst));
      ERR_set_status(kStatusAlloc);
      return 0;
    }
    std::memcpy(dst->key.mask, src->key.mask, MASK_KEY_BYTES);
  }
  if (src->table_storage) {
    auto* t = static_cast<GOSTE_TABLE*>(mem_alloc(sizeof(GOSTE_TABLE)));
    if (!t) {
      GOSTE_cleanup(dst);
      ERR_set_status(kStatusAlloc);
      return 0;
    }
    std::memcpy(t, src->table_storage, sizeof(GOSTE_TABLE));
    dst->table_storage = t;
    dst->table = t;
  }
  return 1;
}

int GOSTE_set_key(GOSTE_CTX* ctx, const unsigned char* key32) {
  if (!ctx || !key32) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!MASK_key_set(&ctx->key, key32)) {
    ERR_set_status(kStatusInternal);
    return 0;
  }
  return 1;
}

int GOSTE_set_sbox(GOSTE_CTX* ctx, const unsigned char* sbox64) {
  if (!ctx) {
    ERR_set_status(kStatusNull);
    return 0;
  }
  if (!sbox64) sbox64 = gost89::packed(gost89::kDefaultCipherIndex);
  if (sbox64 != ctx->sbox) std::memmove(ctx->sbox, sbox64, GOSTE_SBOX_BYTES);
  if (ctx->table_storage) {
    mem_clear_free(ctx->table_storage, sizeof(GOSTE_TABLE));
    ctx->table_storage = nullptr;
  }
  int idx = gost89::shared_index(ctx->sbox);
  if (idx >= 0) {
    ctx->table = gost89::shared_table(idx);
    return 1;
  }
  auto* t = static_cast<GOSTE_TABLE*>(mem_alloc(sizeof(GOSTE_TABLE)));
  if (!t) {
    ctx->table = nullptr;
    ERR_set_status(kStatusAlloc);
    JARNEL_ERR(LIB_GOSTE, GOSTE_F_GOSTE_NEW, R_MALLOC_FAILURE);
    return 0;
  }
  gost89::expand(ctx->sbox, t);
  ctx->table_storage = t;
  ctx->table = t;
  return 1;
}

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

// ---------------------------------------------------------------------------------------------
// Meshing, MAC helper, diversification and key wrap.

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
    for (int i = 0; i < 32; i += 8) {
      std::uint32_t a0 = load_le32(kMeshC + i), a1 = load_le32(kMeshC + i + 4);
      gost89::decrypt(ctx->table, ck.k, a0, a1);
      store_le32(newkey + i, a0);
      store_le32(newkey + i + 4, a1);
    }
  }
  if (ctx->mode & GOSTE_MODE_MESH_IV) {
    ClearKey nk;
    for (int i = 0; i < 8; ++i) nk.k[i] = load_le32(newkey + 4 * i);
    if ((ctx->mode & 0xFF) == GOSTE_MODE_GAMMA)
      gost89::encrypt(ctx->table, nk.k, ctx->N3, ctx->N4);
    else
      gost89::encrypt(ctx->table, nk.k, ctx->N1, ctx->N2);
  }
  int ok = GOSTE_set_key(ctx, newkey);
  mem_cleanse(newkey, sizeof(newkey));
  return ok;
}

unsigned char* GOSTE_mac(GOSTE_CTX* ctx, const unsigned char* data, int len,
                         const unsigned char* key, const unsigned char* sbox,
                         unsigned char* out) {
  if (!key || (!data && len > 0) || len < 0) {
    ERR_set_status(kStatusNull);
    return nullptr;
  }
  GOSTE_CTX* c = ctx ? ctx : GOSTE_new();
  if (!c) return nullptr;
  unsigned char* dst = out ? out : g_mac_buffer;
  unsigned char* result = nullptr;
  if (GOSTE_mac_init(c, key, sbox) &&
      (len == 0 || mesh_driver(c, mac_piece, data, nullptr, len) == len) &&
      GOSTE_mac_final(c, dst, 32) == 4)
    result = dst;
  if (!ctx) GOSTE_free(c);
  return result;
}

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

// ---------------------------------------------------------------------------------------------
// S-box look-ups.

const unsigned char* GOSTE_default_sbox() { return gost89::packed(gost89::kDefaultCipherIndex); }
const unsigned char* GOSTE_default_hash_sbox() {
  return gost89::packed(gost89::kDefaultHashIndex);
}
const unsigned char* GOSTE_test_hash_sbox() { return gost89::packed_hash_test(); }
const unsigned char* GOSTE_cp_hash_sbox() { return gost89::packed(gost89::kHashCryptoProIndex); }
const unsigned char* GOSTE_tc26_z_sbox() { return gost89::packed_tc26_z(); }

const unsigned char* GOSTE_default_cp_sbox() {
  LockGuard guard(locks::SBOX);
  if (!g_cp_default) g_cp_default = gost89::packed(gost89::kCryptoProAIndex);
  return g_cp_default;
}

const unsigned char* GOSTE_sbox_by_nid(int nid) {
  if (nid >= RUS_NID_cp_sbox_A && nid <= RUS_NID_cp_sbox_D)
    return gost89::packed(gost89::kCryptoProAIndex + (nid - RUS_NID_cp_sbox_A));
  ERR_set_status(kStatusBadSbox);
  return nullptr;
}

int GOSTE_sbox_to_nid(const unsigned char* sbox) {
  if (sbox) {
    for (int i = 0; i < 4; ++i)
      if (std::memcmp(sbox, gost89::packed(gost89::kCryptoProAIndex + i), GOSTE_SBOX_BYTES) == 0)
        return RUS_NID_cp_sbox_A + i;
  }
  ERR_set_status(kStatusBadSbox);
  return 0;
}

const unsigned char* GOSTE_sbox_by_number(int number) {
  if (number == 23) return gost89::packed_hash_test();
  if (number == 31) return gost89::packed(gost89::kDefaultCipherIndex);
  if (number >= 32 && number <= 35)
    return gost89::packed(gost89::kCryptoProAIndex + (number - 32));
  ERR_set_status(kStatusBadSbox);
  return nullptr;
}

void GOSTE_encrypt_block(const GOSTE_TABLE* t, const std::uint32_t* k, std::uint32_t* n1,
                         std::uint32_t* n2) {
  gost89::encrypt(t, k, *n1, *n2);
}

// ---------------------------------------------------------------------------------------------
// Table integrity check.

namespace {
bool g_tables_digest_set = false;
unsigned char g_tables_digest[32];
}  // namespace

int GOSTE_tables_check() {
  LockGuard guard(locks::CHECK);
  for (int i = 0; i < gost89::kSharedCount; ++i) gost89::shared_table(i);
  unsigned char digest[32];
  int ok = 0;
  GOSTH_CTX* h = GOSTH_new();
  if (h) {
    h->selftest_marker = GOSTH_MARKER;
    ok = GOSTH_init(h, nullptr, nullptr);
    for (int i = 0; ok && i < gost89::kSharedCount; ++i)
      ok = GOSTH_update(h, gost89::packed(i), GOSTE_SBOX_BYTES) == GOSTE_SBOX_BYTES;
    for (int i = 0; ok && i < gost89::kSharedCount; ++i)
      ok = GOSTH_update(h, gost89::shared_record(i), sizeof(gost89::SharedTable)) ==
           static_cast<int>(sizeof(gost89::SharedTable));
    ok = ok && GOSTH_final(h, digest) == 32;
    GOSTH_free(h);
  }
  if (ok) {
    if (!g_tables_digest_set) {
      std::memcpy(g_tables_digest, digest, 32);
      g_tables_digest_set = true;
    } else if (std::memcmp(g_tables_digest, digest, 32) != 0) {
      ok = 0;
    }
  }
  if (!ok) JARNEL_ERR(LIB_GOSTE, GOSTE_F_TABLES_CHECK, R_INTERNAL_ERROR);
  return ok;
}

}  // namespace jarnel
