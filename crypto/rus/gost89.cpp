// GOST 28147-89: contexts, keys, S-box selection and look-ups, the table integrity check, and
// what the modes share (key handling, argument checks, the common initialiser). The cycles are
// in gost89_core.h, the modes in gost89_modes.cpp, the MAC in gost89_mac.cpp, key meshing and
// the key wrap in gost89_mesh_wrap.cpp.
#include "crypto/rus/gost89.h"

#include <cstring>

#include "crypto/check/check.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89_core.h"
#include "crypto/rus/gost89_internal.h"
#include "crypto/rus/gosth.h"
#include "crypto/rus/sboxes.h"

namespace jarnel {

using namespace gost89;

namespace {

// The CryptoPro default S-box, read under lock 29.
const unsigned char* g_cp_default = nullptr;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Shared by the modes.

namespace gost89 {

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

bool check_data_args(const GOSTE_CTX* ctx, const unsigned char* in, int len) {
  if (!ctx || !in || len <= 0) {
    ERR_set_status(kStatusNull);
    return false;
  }
  return true;
}

void reset_state(GOSTE_CTX* ctx) {
  ctx->N1 = ctx->N2 = ctx->N3 = ctx->N4 = 0;
  ctx->pos = 0;
  ctx->mac_blocks = 0;
  ctx->mesh_count = 0;
}

int init_common(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* sbox,
                std::uint32_t mode) {
  reset_state(ctx);
  if (!GOSTE_set_key(ctx, key)) return 0;  // the slot is wiped
  if (!GOSTE_set_sbox(ctx, sbox)) {
    MASK_key_wipe(&ctx->key);
    return 0;
  }
  if (ctx->mode == 0) ctx->mode = mode;
  return 1;
}

}  // namespace gost89

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
    // The key went into the slot before masking failed: leave no clear copy behind.
    MASK_key_wipe(&ctx->key);
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
