// The master key split into shares, and the KEK under the master key.
#include <cstring>

#include <openssl/crypto.h>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/pse.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost89.h"

namespace jarnel {
namespace {

// The check value of a master key: the MAC of 32 zero bytes under it.
bool check_value(const unsigned char* key32, const unsigned char* sbox64, unsigned char* out4) {
  static const unsigned char zeros[PSE_KEY_BYTES] = {};
  return GOSTE_mac(nullptr, zeros, PSE_KEY_BYTES, key32, sbox64, out4) != nullptr;
}

}  // namespace

int PSE_key32_generate(unsigned char* out32) {
  if (!out32) return 0;
  return RAND_bytes(out32, PSE_KEY_BYTES) == PSE_KEY_BYTES ? 1 : 0;
}

int PSE_save_mkey(const unsigned char* key32, int shares, unsigned char* out, int* out_len,
                  const unsigned char* sbox64) {
  if (shares < 1 || shares > 255 || !out_len) {
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_SAVE_MKEY, LIB_PSE);
    return 0;
  }
  *out_len = PSE_mkey_blob_length(shares);
  if (!out) return 1;
  SecureBuffer last(PSE_KEY_BYTES);
  bool ok = key32 && sbox64 && !last.empty() && check_value(key32, sbox64, out + 2);
  if (ok) {
    out[0] = PSE_MKEY_MARKER;
    out[1] = static_cast<unsigned char>(shares);
    std::memcpy(last.data(), key32, PSE_KEY_BYTES);
    unsigned char* share = out + PSE_MKEY_HEADER_BYTES;
    for (int i = 1; ok && i < shares; ++i, share += PSE_KEY_BYTES) {
      ok = PSE_key32_generate(share) != 0;
      for (int b = 0; ok && b < PSE_KEY_BYTES; ++b) last.data()[b] ^= share[b];
    }
    if (ok) std::memcpy(share, last.data(), PSE_KEY_BYTES);
  }
  if (!ok) {
    mem_cleanse(out, static_cast<std::size_t>(*out_len));
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_SAVE_MKEY, LIB_PSE);
    return 0;
  }
  return 1;
}

int PSE_load_mkey(MASKED_KEY* slot, const unsigned char* blob, int len,
                  const unsigned char* sbox64) {
  SecureBuffer key(PSE_KEY_BYTES);
  unsigned char check[4] = {};
  bool ok = slot && blob && sbox64 && !key.empty() && len >= PSE_MKEY_HEADER_BYTES &&
            blob[0] == PSE_MKEY_MARKER && blob[1] != 0 &&
            len == PSE_mkey_blob_length(blob[1]);
  if (ok) {
    const unsigned char* share = blob + PSE_MKEY_HEADER_BYTES;
    for (int i = 0; i < blob[1]; ++i, share += PSE_KEY_BYTES)
      for (int b = 0; b < PSE_KEY_BYTES; ++b) key.data()[b] ^= share[b];
    ok = check_value(key.data(), sbox64, check);
    if (ok && CRYPTO_memcmp(check, blob + 2, sizeof check) != 0) {
      ok = false;
      JARNEL_ERR(LIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_INVALID_MAC);
    }
  }
  if (ok) {
    MASK_key_wipe(slot);
    ok = MASK_key_set(slot, key.data()) != 0;
  }
  if (!ok) {
    if (slot) MASK_key_wipe(slot);
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_LOAD_MKEY, LIB_PSE);
    return 0;
  }
  return 1;
}

int PSE_generate_kek(PSE* pse, unsigned char* out36) {
  SecureBuffer kek(PSE_KEY_BYTES);
  unsigned char image[PSE_OPAQUE_BYTES];
  bool ok = pse && out36 && !kek.empty() && PSE_key_is_set(&pse->mkey) &&
            PSE_key32_generate(kek.data()) &&
            PSE_encrypt32(kek.data(), &pse->mkey, pse->sbox, image) != nullptr;
  if (ok) {
    MASK_key_wipe(&pse->kek);
    ok = PSE_set_kek(pse, kek.data()) != 0;
  }
  if (!ok) {
    if (pse) MASK_key_wipe(&pse->kek);
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_GENERATE_KEK, LIB_PSE);
    return 0;
  }
  std::memcpy(out36, image, sizeof image);
  return 1;
}

int PSE_load_kek(PSE* pse, const unsigned char* in36) {
  SecureBuffer kek(PSE_KEY_BYTES);
  bool ok = pse && in36 && !kek.empty() &&
            PSE_decrypt32(in36, &pse->mkey, pse->sbox, kek.data()) != nullptr;
  if (ok) {
    MASK_key_wipe(&pse->kek);
    ok = PSE_set_kek(pse, kek.data()) != 0;
  }
  if (!ok) {
    if (pse) MASK_key_wipe(&pse->kek);
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_LOAD_KEK, LIB_PSE);
    return 0;
  }
  return 1;
}

}  // namespace jarnel
