#pragma once
// GOST R 34.11-94 hash.
//
// Digests are returned most significant byte first: output byte 0 is byte 31 of the chaining
// value H. Published test vectors that list H in memory order therefore appear reversed; users
// that need memory order (least significant byte first) reverse the output again.
//
// Two initialisers: GOSTH_init processes one all-zero block for an empty message (the "RUS-HASH"
// behaviour), GOSTH_init_cp processes none (the CryptoPro behaviour, same as other
// implementations). Both take a start value H0 (null = zero) and a packed S-box (null = the
// default hash S-box).
#include <cstdint>

#include "crypto/owners.h"
#include "crypto/rus/gost89.h"

namespace jarnel {

inline constexpr std::uint32_t GOSTH_MARKER = 0x0B97AFC4;
inline constexpr int GOSTH_DIGEST_BYTES = 32;

struct GOSTH_CTX {
  unsigned char H[32];          // chaining value
  unsigned char sigma[32];      // sum of the message blocks mod 2^256
  std::uint16_t length[16];     // message bits, 16-bit limbs, least significant first
  unsigned char block[32];      // incomplete block
  GOSTE_CTX cipher;             // S-box and expanded table of the step function (key unused)
  std::int32_t count;           // bytes in block, or -1 right after GOSTH_init
  std::int32_t length_limbs;    // limbs of length in use
  std::uint32_t selftest_marker;
};

GOSTH_CTX* GOSTH_new();
void GOSTH_cleanup(GOSTH_CTX* ctx);
void GOSTH_free(GOSTH_CTX* ctx);
// Deep copy into a cleaned-up or zeroed dst.
int GOSTH_copy(GOSTH_CTX* dst, const GOSTH_CTX* src);
int GOSTH_init(GOSTH_CTX* ctx, const unsigned char* h0, const unsigned char* sbox);
int GOSTH_init_cp(GOSTH_CTX* ctx, const unsigned char* h0, const unsigned char* sbox);
// Bytes consumed (= len), 0 for len < 1 or a null argument.
int GOSTH_update(GOSTH_CTX* ctx, const void* data, int len);
// 32, or 0 on failure. The context is left in its final state.
int GOSTH_final(GOSTH_CTX* ctx, unsigned char* out32);

// One-shot helpers.
// "RUS-HASH": GOSTH_init, default hash S-box, zero H0.
int GOSTH_digest(const void* data, int len, unsigned char* out32);
// "RUS-HASH-CP": GOSTH_init_cp, CryptoPro hash S-box, zero H0.
int GOSTH_digest_cp(const void* data, int len, unsigned char* out32);
// Any combination: cp selects GOSTH_init_cp.
int GOSTH_digest_ex(const void* data, int len, const unsigned char* h0,
                    const unsigned char* sbox, int cp, unsigned char* out32);

// Pre-hashed binding: a "digest" whose value is given by the caller (a digest computed
// elsewhere, to be signed). Every update copies the first min(len, 32) bytes of its input to the
// start of the value; final writes the 32 bytes out unchanged.
struct GOSTH_PREHASHED {
  unsigned char value[32];
};
void GOSTH_prehashed_init(GOSTH_PREHASHED* ctx);
int GOSTH_prehashed_update(GOSTH_PREHASHED* ctx, const void* data, int len);
int GOSTH_prehashed_final(GOSTH_PREHASHED* ctx, unsigned char* out32);

// The step function f(H, M) on 32-byte little-endian values, with the context's S-box table.
void GOSTH_step(const GOSTE_TABLE* t, unsigned char* H, const unsigned char* M);

JARNEL_MAKE_OWNER(GOSTH_CTX, GOSTH_free);  // Owned<GOSTH_CTX> (crypto/owners.h)

}  // namespace jarnel
