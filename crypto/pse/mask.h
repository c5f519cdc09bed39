#pragma once
// Key masking: secret keys are kept XOR-masked with a random pad while they are not in use.
//
// Two forms exist:
//  - MASKED_KEY, the slot of one 256-bit symmetric key (container master key and KEK, every
//    GOST 28147-89 context key). Unmask it just before use, mask it right after, wipe it on an
//    error path.
//  - MASKED_BN, a secret big number (private exponents of the signature algorithms). OpenSSL's
//    BIGNUM is opaque, so the value lives in this record as a fixed-size little-endian word
//    array next to its mask, flags and checksum; a clear BIGNUM is made only on request
//    (MASK_BN_unmasked_copy) for the span of one operation and freed with BN_clear_free.
//
// A CRC-32 of the clear key taken before masking detects corruption when it is unmasked. A mask
// is reused for re-masking within 2 seconds of its creation and renewed after that. Mask bytes
// come from a small generator seeded once per process; generating them takes lock 26.
#include <cstddef>
#include <cstdint>

#include <openssl/bn.h>

#include "crypto/owners.h"

namespace jarnel {

// Flag bits shared by both forms.
inline constexpr std::uint32_t MASK_FLAG_DISABLED = 0x1;  // slot: never masked, never checked
inline constexpr std::uint32_t MASK_FLAG_HEAP = 0x1;      // number: storage is heap-allocated
inline constexpr std::uint32_t MASK_FLAG_MASKED = 0x4;    // currently masked

inline constexpr std::size_t MASK_KEY_BYTES = 32;

struct MASKED_KEY {
  std::uint32_t key[8];      // the key (K0..K7), XORed with the mask while masked
  std::uint32_t checksum;    // MASK_crc32 of the clear key
  unsigned char* mask;       // 32 bytes, owned; null before the first masking
  std::int64_t mask_time;    // calendar seconds when the mask was made
  std::uint32_t flags;       // MASK_FLAG_DISABLED, MASK_FLAG_MASKED
};

// CRC-32, reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, no final inversion; a
// result of 0 becomes 0xFFFFFFFF (so an empty input gives 0xFFFFFFFF).
std::uint32_t MASK_crc32(const void* data, std::size_t len);

// Fills buf with len mask bytes from the process-wide generator, under lock 26.
void MASK_fill(unsigned char* buf, std::size_t len);

// Copies the 32-byte key (K0 from bytes 0..3, little-endian words), clears the masked flag,
// computes the checksum and masks. 1, or 0 with status 12; the slot is then wiped, so no
// clear copy of the key stays behind.
int MASK_key_set(MASKED_KEY* slot, const unsigned char* key32);
// Masks the slot (no change when disabled or already masked). 1, or 0 with status 12 when the
// mask cannot be allocated; the slot is then wiped rather than left holding the clear key.
int MASK_key_mask(MASKED_KEY* slot);
// Removes the mask and verifies the checksum. 1, or 0 with status 12 on a mismatch.
int MASK_key_unmask(MASKED_KEY* slot);
// Writes the clear key (32 bytes, the byte order MASK_key_set took) to out32 and leaves the slot
// masked as it was: unmask, copy, mask. 1, or 0 with status 12 (the slot is then wiped and out32
// zeroed). The caller zeroes out32 after use.
int MASK_key_get(MASKED_KEY* slot, unsigned char* out32);
// Zeroes and frees the mask and zeroes the whole slot.
void MASK_key_wipe(MASKED_KEY* slot);
inline bool MASK_key_is_masked(const MASKED_KEY* slot) {
  return (slot->flags & MASK_FLAG_MASKED) != 0;
}

// Secret big number with a mask of its own.
struct MASKED_BN {
  std::uint32_t* d;          // the value, least significant word first, masked while masked
  int top;                   // words in use
  int dmax;                  // allocated words
  int neg;                   // sign
  unsigned char* mask;       // dmax * 4 bytes, owned, or null
  std::uint32_t flags;       // MASK_FLAG_HEAP (always set here), MASK_FLAG_MASKED
  std::uint32_t checksum;    // MASK_crc32 of the clear word array over dmax words
};

MASKED_BN* MASK_BN_new();
// Zeroes value and mask, then frees. Null is ignored.
void MASK_BN_free(MASKED_BN* n);
// Stores a clear value (the record's previous contents are wiped); the result is unmasked.
// The word array is at least min_bytes long (a secret's modulus length), so that a short
// secret is stored, unmasked and copied over the same length as a long one. 1, or 0 with
// status 12.
int MASK_BN_set(MASKED_BN* n, const BIGNUM* value, int min_bytes = 0);
// Convenience: new record holding value, masked. Null with status 12 on failure.
MASKED_BN* MASK_BN_from_bn(const BIGNUM* value, int min_bytes = 0);
// Masks the number with a fresh mask (any previous mask is freed), under lock 26. 1, or 0 with
// status 12.
int MASK_BN_mask(MASKED_BN* n);
inline bool MASK_BN_is_masked(const MASKED_BN* n) { return (n->flags & MASK_FLAG_MASKED) != 0; }
// Copy of the record: value, a new copy of the mask, flags (heap bit set) and checksum.
MASKED_BN* MASK_BN_dup(const MASKED_BN* n);
// A new, unmasked copy of the record (the source stays masked), under lock 26; null with
// status 12 when the checksum does not match or a masked copy has no mask.
MASKED_BN* MASK_BN_unmasked_dup(const MASKED_BN* n);
// The clear value as a new BIGNUM (allocated with BN_secure_new) for one operation; free it
// with BN_clear_free. It is built over the record's whole length, whatever the value's. Null with status 12 on a checksum mismatch or when memory is short.
BIGNUM* MASK_BN_unmasked_copy(const MASKED_BN* n);

// Owned<MASKED_BN> (crypto/owners.h) frees with MASK_BN_free, which wipes.
JARNEL_MAKE_OWNER(MASKED_BN, MASK_BN_free);

}  // namespace jarnel
