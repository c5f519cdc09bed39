// Key masking: masked key slots, masked big numbers, the CRC and the mask generator.
#include "crypto/pse/mask.h"

#include <cstring>
#include <ctime>

#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/status.h"
#include "crypto/byteorder.h"

namespace jarnel {
namespace {

constexpr std::uint32_t kStatusInternal = STATUS_INTERNAL;

struct CrcTable {
  std::uint32_t v[256];
  constexpr CrcTable() : v() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      v[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

// Mask generator: a linear congruential generator seeded once per process with the time.
// Guarded by lock 26.
std::uint32_t g_lcg_state = 0;
bool g_lcg_seeded = false;

std::int64_t now_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void fill_locked(unsigned char* buf, std::size_t len) {
  if (!g_lcg_seeded) {
    g_lcg_state = static_cast<std::uint32_t>(now_seconds());
    g_lcg_seeded = true;
  }
  std::uint32_t s = g_lcg_state;
  for (std::size_t i = 0; i < len; ++i) {
    s = s * 214013u + 2531011u;
    buf[i] = static_cast<unsigned char>((s >> 16) & 0x7FFF);
  }
  g_lcg_state = s;
}

void xor_bytes(void* dst, const unsigned char* mask, std::size_t n) {
  auto* d = static_cast<unsigned char*>(dst);
  for (std::size_t i = 0; i < n; ++i) d[i] ^= mask[i];
}

}  // namespace

std::uint32_t MASK_crc32(const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < len; ++i) c = kCrc.v[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c == 0 ? 0xFFFFFFFFu : c;
}

void MASK_fill(unsigned char* buf, std::size_t len) {
  if (!buf || len == 0) return;
  LockGuard guard(locks::MASK);
  fill_locked(buf, len);
}

int MASK_key_mask(MASKED_KEY* slot) {
  if (!slot) {
    ERR_set_status(STATUS_NULL_ARGUMENT);
    return 0;
  }
  if (slot->flags & (MASK_FLAG_DISABLED | MASK_FLAG_MASKED)) return 1;
  if (!slot->mask) {
    slot->mask = static_cast<unsigned char*>(mem_alloc(MASK_KEY_BYTES));
    if (!slot->mask) {
      // A key that cannot be masked must not stay in the clear: the slot is emptied.
      MASK_key_wipe(slot);
      ERR_set_status(kStatusInternal);
      return 0;
    }
    MASK_fill(slot->mask, MASK_KEY_BYTES);
    slot->mask_time = now_seconds();
  } else {
    std::int64_t now = now_seconds();
    if (now - slot->mask_time >= 2) {
      MASK_fill(slot->mask, MASK_KEY_BYTES);
      slot->mask_time = now;
    }
  }
  xor_bytes(slot->key, slot->mask, MASK_KEY_BYTES);
  slot->flags |= MASK_FLAG_MASKED;
  return 1;
}

int MASK_key_unmask(MASKED_KEY* slot) {
  if (!slot) {
    ERR_set_status(STATUS_NULL_ARGUMENT);
    return 0;
  }
  if (slot->flags & MASK_FLAG_DISABLED) return 1;
  if (slot->flags & MASK_FLAG_MASKED) {
    if (!slot->mask) {
      ERR_set_status(kStatusInternal);
      return 0;
    }
    xor_bytes(slot->key, slot->mask, MASK_KEY_BYTES);
    slot->flags &= ~MASK_FLAG_MASKED;
  }
  if (MASK_crc32(slot->key, MASK_KEY_BYTES) != slot->checksum) {
    ERR_set_status(kStatusInternal);
    return 0;
  }
  return 1;
}

int MASK_key_set(MASKED_KEY* slot, const unsigned char* key32) {
  if (!slot || !key32) {
    ERR_set_status(STATUS_NULL_ARGUMENT);
    return 0;
  }
  for (int i = 0; i < 8; ++i) slot->key[i] = load_le32(key32 + 4 * i);
  slot->flags &= ~MASK_FLAG_MASKED;
  slot->checksum = MASK_crc32(slot->key, MASK_KEY_BYTES);
  if (!MASK_key_mask(slot)) {
    MASK_key_wipe(slot);
    ERR_set_status(kStatusInternal);
    return 0;
  }
  return 1;
}

int MASK_key_get(MASKED_KEY* slot, unsigned char* out32) {
  if (!slot || !out32) {
    ERR_set_status(STATUS_NULL_ARGUMENT);
    return 0;
  }
  bool was_masked = (slot->flags & MASK_FLAG_MASKED) != 0;
  if (!MASK_key_unmask(slot)) {
    MASK_key_wipe(slot);
    mem_cleanse(out32, MASK_KEY_BYTES);
    return 0;
  }
  for (int i = 0; i < 8; ++i)
    for (int b = 0; b < 4; ++b) out32[4 * i + b] = static_cast<unsigned char>(slot->key[i] >> (8 * b));
  if (was_masked && !MASK_key_mask(slot)) {
    MASK_key_wipe(slot);
    mem_cleanse(out32, MASK_KEY_BYTES);
    return 0;
  }
  return 1;
}

void MASK_key_wipe(MASKED_KEY* slot) {
  if (!slot) return;
  if (slot->mask) mem_clear_free(slot->mask, MASK_KEY_BYTES);
  mem_cleanse(slot, sizeof(*slot));
}

// ---------------------------------------------------------------------------------------------
// Masked big numbers.

MASKED_BN* MASK_BN_new() {
  auto* n = static_cast<MASKED_BN*>(mem_alloc(sizeof(MASKED_BN)));
  if (!n) {
    ERR_set_status(kStatusInternal);
    return nullptr;
  }
  std::memset(n, 0, sizeof(*n));
  n->flags = MASK_FLAG_HEAP;
  return n;
}

namespace {
void bn_clear_storage(MASKED_BN* n) {
  if (n->d) mem_clear_free(n->d, static_cast<std::size_t>(n->dmax) * 4);
  if (n->mask) mem_clear_free(n->mask, static_cast<std::size_t>(n->dmax) * 4);
  n->d = nullptr;
  n->mask = nullptr;
  n->top = n->dmax = n->neg = 0;
  n->checksum = 0;
  n->flags = MASK_FLAG_HEAP;
}
}  // namespace

void MASK_BN_free(MASKED_BN* n) {
  if (!n) return;
  bn_clear_storage(n);
  mem_clear_free(n, sizeof(*n));
}

int MASK_BN_set(MASKED_BN* n, const BIGNUM* value, int min_bytes) {
  if (!n || !value) {
    ERR_set_status(STATUS_NULL_ARGUMENT);
    return 0;
  }
  bn_clear_storage(n);
  int bytes = BN_num_bytes(value);
  int words = bytes > 0 ? (bytes + 3) / 4 : 1;
  if (min_bytes > 0 && words < (min_bytes + 3) / 4) words = (min_bytes + 3) / 4;
  SecureBuffer le(static_cast<std::size_t>(words) * 4);
  auto* d = static_cast<std::uint32_t*>(mem_alloc(static_cast<std::size_t>(words) * 4));
  if (le.empty() || !d || BN_bn2lebinpad(value, le.data(), words * 4) != words * 4) {
    mem_free(d);
    ERR_set_status(kStatusInternal);
    return 0;
  }
  for (int i = 0; i < words; ++i) d[i] = load_le32(le.data() + 4 * i);
  n->d = d;
  n->dmax = words;
  n->top = (bytes + 3) / 4;
  n->neg = BN_is_negative(value);
  n->flags = MASK_FLAG_HEAP;
  return 1;
}

int MASK_BN_mask(MASKED_BN* n) {
  if (!n || !n->d) {
    ERR_set_status(STATUS_NULL_ARGUMENT);
    return 0;
  }
  LockGuard guard(locks::MASK);
  std::size_t len = static_cast<std::size_t>(n->dmax) * 4;
  if (n->flags & MASK_FLAG_MASKED) {
    // Already masked: take the clear value back before the new mask goes on.
    if (!n->mask) {
      ERR_set_status(kStatusInternal);
      return 0;
    }
    xor_bytes(n->d, n->mask, len);
    n->flags &= ~MASK_FLAG_MASKED;
  }
  if (n->mask) mem_clear_free(n->mask, len);
  n->mask = static_cast<unsigned char*>(mem_alloc(len));
  if (!n->mask) {
    ERR_set_status(kStatusInternal);
    return 0;
  }
  fill_locked(n->mask, len);
  n->checksum = MASK_crc32(n->d, len);
  xor_bytes(n->d, n->mask, len);
  n->flags |= MASK_FLAG_MASKED;
  return 1;
}

MASKED_BN* MASK_BN_from_bn(const BIGNUM* value, int min_bytes) {
  MASKED_BN* n = MASK_BN_new();
  if (!n) return nullptr;
  if (!MASK_BN_set(n, value, min_bytes) || !MASK_BN_mask(n)) {
    MASK_BN_free(n);
    ERR_set_status(kStatusInternal);
    return nullptr;
  }
  return n;
}

namespace {
MASKED_BN* dup_locked(const MASKED_BN* n) {
  Owned<MASKED_BN> c(MASK_BN_new());
  if (!c) return nullptr;
  std::size_t len = static_cast<std::size_t>(n->dmax) * 4;
  if (len) {
    c->d = static_cast<std::uint32_t*>(mem_alloc(len));
    if (!c->d) return nullptr;
    // From here on the owner's free wipes d (and mask) over this length.
    c->dmax = n->dmax;
    std::memcpy(c->d, n->d, len);
    if (n->mask) {
      c->mask = static_cast<unsigned char*>(mem_alloc(len));
      if (!c->mask) return nullptr;
      std::memcpy(c->mask, n->mask, len);
    }
  }
  c->top = n->top;
  c->dmax = n->dmax;
  c->neg = n->neg;
  c->flags = n->flags | MASK_FLAG_HEAP;
  c->checksum = n->checksum;
  return c.release();
}
}  // namespace

MASKED_BN* MASK_BN_dup(const MASKED_BN* n) {
  if (!n) {
    ERR_set_status(STATUS_NULL_ARGUMENT);
    return nullptr;
  }
  LockGuard guard(locks::MASK);
  MASKED_BN* c = dup_locked(n);
  if (!c) ERR_set_status(kStatusInternal);
  return c;
}

MASKED_BN* MASK_BN_unmasked_dup(const MASKED_BN* n) {
  if (!n) {
    ERR_set_status(STATUS_NULL_ARGUMENT);
    return nullptr;
  }
  Owned<MASKED_BN> c;
  {
    LockGuard guard(locks::MASK);
    c.reset(dup_locked(n));
  }
  if (!c) {
    ERR_set_status(kStatusInternal);
    return nullptr;
  }
  if (!(c->flags & MASK_FLAG_MASKED)) return c.release();
  std::size_t len = static_cast<std::size_t>(c->dmax) * 4;
  if (c->mask) {
    xor_bytes(c->d, c->mask, len);
    if (MASK_crc32(c->d, len) == c->checksum) {
      mem_clear_free(c->mask, len);
      c->mask = nullptr;
      c->flags &= ~MASK_FLAG_MASKED;
      return c.release();
    }
  }
  ERR_set_status(kStatusInternal);
  return nullptr;
}

BIGNUM* MASK_BN_unmasked_copy(const MASKED_BN* n) {
  MASKED_BN* c = MASK_BN_unmasked_dup(n);
  if (!c) return nullptr;
  std::size_t len = static_cast<std::size_t>(c->dmax) * 4;
  // One byte 1 above the words: the number read is value + 2^(8 len), so the reader never
  // skips leading zero bytes (as many as the value is short) and always allocates the same
  // length; clearing that bit then leaves the value.
  SecureBuffer le(len + 1);
  BIGNUM* bn = BN_secure_new();
  bool ok = bn && le.size() == len + 1;
  if (ok) {
    for (int i = 0; i < c->dmax; ++i) store_le32(le.data() + 4 * i, c->d[i]);
    le.data()[len] = 1;
    BN_set_flags(bn, BN_FLG_CONSTTIME);
    ok = BN_lebin2bn(le.data(), static_cast<int>(len + 1), bn) != nullptr &&
         BN_clear_bit(bn, static_cast<int>(8 * len)) == 1;
    if (ok) BN_set_negative(bn, c->neg);
  }
  MASK_BN_free(c);
  if (!ok) {
    BN_clear_free(bn);
    ERR_set_status(kStatusInternal);
    return nullptr;
  }
  return bn;
}

// ---------------------------------------------------------------------------------------------
// Module hooks.

int MASK_startup() {
  // Seed the generator now so that the first masking does not pay for it.
  LockGuard guard(locks::MASK);
  if (!g_lcg_seeded) {
    g_lcg_state = static_cast<std::uint32_t>(now_seconds());
    g_lcg_seeded = true;
  }
  return 1;
}

// The generator stays seeded: it is seeded once per process, and masked keys of a later
// start-up keep their own pads.
void MASK_shutdown() {}

}  // namespace jarnel
