#pragma once
// The unlocked key container (PSE) in memory: the master key and the key-encryption key (KEK)
// in masked slots, the container's S-box, a reference count, the container path and the
// fingerprint of the master key. Opening, generating and writing containers build on it
// (PSE_CTX); this header holds the record and the protected 36-byte form of 32-byte secrets.
//
// Opaque form: 32 bytes of GOST 28147-89 ECB ciphertext followed by the 4-byte GOST 28147-89
// MAC of the plaintext, under one 256-bit key and the container's S-box. The KEK file holds the
// KEK in this form under the master key; the random-state record holds a seed under the KEK.
#include <cstdint>

#include "crypto/pse/mask.h"
#include "crypto/status.h"

namespace jarnel {

inline constexpr int PSE_KEY_BYTES = 32;
inline constexpr int PSE_OPAQUE_BYTES = 36;
inline constexpr int PSE_SBOX_BYTES = 64;
inline constexpr int PSE_FINGERPRINT_BYTES = 32;

struct PSE {
  MASKED_KEY mkey;                     // master key
  MASKED_KEY kek;                      // key-encryption key
  unsigned char sbox[PSE_SBOX_BYTES];  // packed S-box of the container
  int references;                      // changed under lock 25
  char* path;                          // copy of the container path, or null
  unsigned char fingerprint[PSE_FINGERPRINT_BYTES];  // hash of master key || master key
};

// Error codes of the PSE library (74) used here.
inline constexpr int PSE_F_PSE_DECRYPT32 = 104, PSE_F_PSE_ENCRYPT32 = 105,
                     PSE_F_PSE_LOAD_MKEY = 111, PSE_F_PSE_GENERATE_KEK = 112,
                     PSE_F_PSE_LOAD_KEK = 113, PSE_F_PSE_RAND_INIT = 114,
                     PSE_F_PSE_RAND_SAVE_STATE = 115, PSE_F_PSE_SAVE_MKEY = 118,
                     PSE_F_PSE_FINGER_PRINT = 119;
inline constexpr int PSE_R_INVALID_MAC = 100;
// Status beside a MAC that does not verify.
inline constexpr unsigned PSE_STATUS_INVALID_MAC = STATUS_INVALID_MAC;

// A zeroed container with one reference and the default cipher S-box (number 31); null with
// status 11 and (74, 0, 33) when memory is short.
PSE* PSE_new();
// Drops one reference; the last one wipes both key slots and their masks, frees the path and
// zeroes and frees the record. Null is ignored.
void PSE_free(PSE* pse);
// Takes one more reference; returns the new count (0 for null).
int PSE_up_ref(PSE* pse);

// Replaces the S-box (null: the default cipher S-box). 1, or 0 for a null container.
int PSE_set_sbox(PSE* pse, const unsigned char* sbox64);
// Replaces the path with a copy (null clears it). 1, or 0 when memory is short.
int PSE_set_path(PSE* pse, const char* path);
// Stores the master key in its slot (masked). 1, or 0 with status 12.
int PSE_set_mkey(PSE* pse, const unsigned char* key32);
// Stores the KEK in its slot (masked) and, when the master key is set, recomputes the
// fingerprint. 1, or 0 on failure.
int PSE_set_kek(PSE* pse, const unsigned char* key32);
// 1 when the slot holds a key.
bool PSE_key_is_set(const MASKED_KEY* slot);

// Protects 32 bytes under the key in slot: out36 = ECB(in32) || MAC(in32). Returns out36, or
// null with (74, 105, 74). in32 and out36 may be the same buffer.
unsigned char* PSE_encrypt32(const unsigned char* in32, MASKED_KEY* slot,
                             const unsigned char* sbox64, unsigned char* out36);
// Recovers the 32 bytes of an opaque record. Returns out32, or null with (74, 104, 74); a MAC
// that does not verify adds (74, 104, 100) "invalid MAC" and status 3, and leaves out32 alone.
unsigned char* PSE_decrypt32(const unsigned char* in36, MASKED_KEY* slot,
                             const unsigned char* sbox64, unsigned char* out32);
// The opaque form under the container's KEK and S-box, under lock 25.
unsigned char* PSE_write_opaque(PSE* pse, const unsigned char* in32, unsigned char* out36);
unsigned char* PSE_read_opaque(PSE* pse, const unsigned char* in36, unsigned char* out32);
// Master-key blob: 0x22, the share count n (1..255), the 4-byte check value (the GOST 28147-89
// MAC of 32 zero bytes under the master key and the S-box), then n shares of 32 bytes whose XOR
// is the master key. With n = 1 the one share is the key; otherwise shares 1..n-1 are fresh
// random bytes. The master-key file holds all but the last 32 bytes, the mask file the last
// share.
inline constexpr unsigned char PSE_MKEY_MARKER = 0x22;
inline constexpr int PSE_MKEY_HEADER_BYTES = 6;
constexpr int PSE_mkey_blob_length(int shares) {
  return PSE_MKEY_HEADER_BYTES + PSE_KEY_BYTES * shares;
}

// Builds the blob of key32 with n shares into out (null: only *out_len is set, 6 + 32 * n).
// 1, or 0 with (74, 118, 74) (bad share count, or the generator failed to draw a share).
int PSE_save_mkey(const unsigned char* key32, int shares, unsigned char* out, int* out_len,
                  const unsigned char* sbox64);
// Checks a blob of len bytes (marker, length 6 + 32 * n, check value under sbox64) and stores
// the master key it holds in slot. 1, or 0 with (74, 111, 74), preceded by (74, 111, 100)
// "invalid MAC" when the check value does not match; the slot is then wiped.
int PSE_load_mkey(MASKED_KEY* slot, const unsigned char* blob, int len,
                  const unsigned char* sbox64);
// 32 random bytes from the current generator. 1, or 0 (the generator's errors are queued).
int PSE_key32_generate(unsigned char* out32);
// Draws a new KEK, stores it, writes its KEK-file image (opaque form under the master key) to
// out36 and recomputes the fingerprint. 1, or 0 with (74, 112, 74).
int PSE_generate_kek(PSE* pse, unsigned char* out36);
// Recovers the KEK from its KEK-file image under the master key, stores it and recomputes the
// fingerprint. 1, or 0 with (74, 113, 74) after the reasons of PSE_decrypt32.
int PSE_load_kek(PSE* pse, const unsigned char* in36);

// Recomputes the fingerprint: GOST R 34.11-94 with the container S-box as hash parameters over
// master key || master key. 1, or 0 with (74, 119, 74).
int PSE_finger_print(PSE* pse);

}  // namespace jarnel
