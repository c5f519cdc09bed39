// The in-memory container record and the opaque 36-byte form.
#include "crypto/pse/pse.h"

#include <cstring>
#include <memory>

#include <openssl/crypto.h>

#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gosth.h"
#include "crypto/status.h"

namespace jarnel {
namespace {

struct GosteFree {
  void operator()(GOSTE_CTX* c) const { GOSTE_free(c); }
};
using GostePtr = std::unique_ptr<GOSTE_CTX, GosteFree>;

// Copies the clear key of slot into out32 (K0 first, little-endian words) and re-masks the
// slot. false when the slot holds no key or fails its check.
bool take_key(MASKED_KEY* slot, unsigned char* out32) {
  if (!slot || !PSE_key_is_set(slot) || !MASK_key_unmask(slot)) return false;
  for (int i = 0; i < 8; ++i)
    for (int b = 0; b < 4; ++b)
      out32[4 * i + b] = static_cast<unsigned char>(slot->key[i] >> (8 * b));
  if (!MASK_key_mask(slot)) {
    mem_cleanse(out32, PSE_KEY_BYTES);
    return false;
  }
  return true;
}

// ECB over 32 bytes in place; direction 1 encrypts, 0 decrypts.
bool ecb32(const unsigned char* key, const unsigned char* sbox, int direction,
           unsigned char* data) {
  GostePtr ctx(GOSTE_new());
  return ctx && GOSTE_ss_init(ctx.get(), direction, key, sbox) &&
         GOSTE_ss_update(ctx.get(), data, nullptr, PSE_KEY_BYTES) == PSE_KEY_BYTES;
}

}  // namespace

bool PSE_key_is_set(const MASKED_KEY* slot) {
  // A stored key always has a non-zero checksum.
  return slot && slot->checksum != 0;
}

PSE* PSE_new() {
  auto* pse = static_cast<PSE*>(mem_alloc(sizeof(PSE)));
  if (!pse) {
    ERR_set_status(STATUS_NO_MEMORY);
    JARNEL_ERR(LIB_PSE, 0, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(pse, 0, sizeof *pse);
  pse->references = 1;
  std::memcpy(pse->sbox, GOSTE_default_sbox(), PSE_SBOX_BYTES);
  return pse;
}

int PSE_up_ref(PSE* pse) {
  if (!pse) return 0;
  LockGuard guard(locks::PSE);
  return ++pse->references;
}

void PSE_free(PSE* pse) {
  if (!pse) return;
  {
    LockGuard guard(locks::PSE);
    if (--pse->references > 0) return;
  }
  MASK_key_wipe(&pse->mkey);
  MASK_key_wipe(&pse->kek);
  if (pse->path) mem_clear_free(pse->path, std::strlen(pse->path));
  mem_clear_free(pse, sizeof *pse);
}

int PSE_set_sbox(PSE* pse, const unsigned char* sbox64) {
  if (!pse) return 0;
  std::memcpy(pse->sbox, sbox64 ? sbox64 : GOSTE_default_sbox(), PSE_SBOX_BYTES);
  return 1;
}

int PSE_set_path(PSE* pse, const char* path) {
  if (!pse) return 0;
  char* copy = nullptr;
  if (path && !(copy = mem_strdup(path))) {
    ERR_set_status(STATUS_NO_MEMORY);
    JARNEL_ERR(LIB_PSE, 0, R_MALLOC_FAILURE);
    return 0;
  }
  if (pse->path) mem_clear_free(pse->path, std::strlen(pse->path));
  pse->path = copy;
  return 1;
}

int PSE_set_mkey(PSE* pse, const unsigned char* key32) {
  if (!pse || !key32) return 0;
  if (!MASK_key_set(&pse->mkey, key32)) {
    // No half-set key stays behind, masked or not.
    MASK_key_wipe(&pse->mkey);
    return 0;
  }
  return 1;
}

int PSE_set_kek(PSE* pse, const unsigned char* key32) {
  if (!pse || !key32) return 0;
  if (!MASK_key_set(&pse->kek, key32)) {
    MASK_key_wipe(&pse->kek);
    return 0;
  }
  return PSE_key_is_set(&pse->mkey) ? PSE_finger_print(pse) : 1;
}

unsigned char* PSE_encrypt32(const unsigned char* in32, MASKED_KEY* slot,
                             const unsigned char* sbox64, unsigned char* out36) {
  SecureBuffer key(PSE_KEY_BYTES), work(PSE_OPAQUE_BYTES);
  bool ok = in32 && out36 && sbox64 && !key.empty() && !work.empty() &&
            take_key(slot, key.data());
  if (ok) {
    std::memcpy(work.data(), in32, PSE_KEY_BYTES);
    ok = GOSTE_mac(nullptr, work.data(), PSE_KEY_BYTES, key.data(), sbox64,
                   work.data() + PSE_KEY_BYTES) != nullptr &&
         ecb32(key.data(), sbox64, 1, work.data());
  }
  if (!ok) {
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_ENCRYPT32, LIB_PSE);
    return nullptr;
  }
  std::memcpy(out36, work.data(), PSE_OPAQUE_BYTES);
  return out36;
}

unsigned char* PSE_decrypt32(const unsigned char* in36, MASKED_KEY* slot,
                             const unsigned char* sbox64, unsigned char* out32) {
  SecureBuffer key(PSE_KEY_BYTES), plain(PSE_KEY_BYTES);
  unsigned char mac[4] = {};
  bool ok = in36 && out32 && sbox64 && !key.empty() && !plain.empty() &&
            take_key(slot, key.data());
  if (ok) {
    std::memcpy(plain.data(), in36, PSE_KEY_BYTES);
    ok = ecb32(key.data(), sbox64, 0, plain.data()) &&
         GOSTE_mac(nullptr, plain.data(), PSE_KEY_BYTES, key.data(), sbox64, mac) != nullptr;
    if (ok && CRYPTO_memcmp(mac, in36 + PSE_KEY_BYTES, sizeof mac) != 0) {
      ok = false;
      ERR_set_status(PSE_STATUS_INVALID_MAC);
      JARNEL_ERR(LIB_PSE, PSE_F_PSE_DECRYPT32, PSE_R_INVALID_MAC);
    }
  }
  if (!ok) {
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_DECRYPT32, LIB_PSE);
    return nullptr;
  }
  std::memcpy(out32, plain.data(), PSE_KEY_BYTES);
  return out32;
}

unsigned char* PSE_write_opaque(PSE* pse, const unsigned char* in32, unsigned char* out36) {
  if (!pse) {
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_ENCRYPT32, LIB_PSE);
    return nullptr;
  }
  LockGuard guard(locks::PSE);
  return PSE_encrypt32(in32, &pse->kek, pse->sbox, out36);
}

unsigned char* PSE_read_opaque(PSE* pse, const unsigned char* in36, unsigned char* out32) {
  if (!pse) {
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_DECRYPT32, LIB_PSE);
    return nullptr;
  }
  LockGuard guard(locks::PSE);
  return PSE_decrypt32(in36, &pse->kek, pse->sbox, out32);
}

int PSE_finger_print(PSE* pse) {
  SecureBuffer key(PSE_KEY_BYTES);
  unsigned char digest[PSE_FINGERPRINT_BYTES];
  GOSTH_CTX ctx{};
  bool ok = pse && !key.empty() && take_key(&pse->mkey, key.data()) &&
            GOSTH_init(&ctx, nullptr, pse->sbox) &&
            GOSTH_update(&ctx, key.data(), PSE_KEY_BYTES) == PSE_KEY_BYTES &&
            GOSTH_update(&ctx, key.data(), PSE_KEY_BYTES) == PSE_KEY_BYTES &&
            GOSTH_final(&ctx, digest) == PSE_FINGERPRINT_BYTES;
  GOSTH_cleanup(&ctx);
  if (ok) std::memcpy(pse->fingerprint, digest, sizeof digest);
  mem_cleanse(digest, sizeof digest);
  if (!ok) {
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_FINGER_PRINT, LIB_PSE);
    return 0;
  }
  return 1;
}

}  // namespace jarnel
