#pragma once
// The GOST generator: a GOST 28147-89 gamma (counter-mode) keystream, keyed from a hashed seed
// and the moment, produced in batches of 8,192 bytes. It is reached through its RAND_METHOD
// (crypto/rand/rand.h): seed = RAND_seed, bytes = RAND_bytes, init = keyboard seeding.
//
// It is keyed once; later seeds are ignored until its cleanup entry runs. Every byte it hands
// out is wiped from its batch.
#include <cstdint>

#include "crypto/rand/rand.h"

namespace jarnel {

inline constexpr int GRAND_BATCH_BYTES = 8192;
inline constexpr int GRAND_SNAPSHOT_BYTES = 40;
inline constexpr int GRAND_KEYSTROKES = 16;

const RAND_METHOD* GRAND_get_method();

// Keystroke call-back of keyboard seeding: shown the character to type, the number of the
// keystroke asked for (from 1) and how many are needed, it returns the character typed, or 0
// or less when the user gives up.
using RAND_KEY_CALLBACK = int (*)(int ch, int number, int total, void* arg);
// The init parameter of the GOST generator.
struct RAND_KEY_CB_PAIR {
  RAND_KEY_CALLBACK cb;
  void* arg;
};

// The 40-byte record of the moment (little-endian fields): calendar seconds (8); extended time:
// seconds (8), milliseconds (2), time-zone minutes (2), daylight-saving flag (2), 0 (2);
// milliseconds since the process started (4); snapshot counter (4, the first snapshot carries
// 1); the caller's value (4); 0 (4).
void GRAND_snapshot(unsigned char* out40, std::uint32_t value);
// GOST R 34.11-94 hash (default parameters) of a fresh snapshot. 1, or 0 on a hash failure.
int GRAND_snapshot_hash(unsigned char* out32, std::uint32_t value);
// Derives outlen bytes from in (may be null when inlen is 0) and the moment: each 32-byte piece
// is the hash of in followed by the hash of a fresh snapshot. 1, or 0 with an error.
int GRAND_prf(int outlen, unsigned char* out, const unsigned char* in, int inlen);
// Keys the generator (no change when it is keyed already). 1, or 0 with an error.
int GRAND_rand_init(const unsigned char* key32, const unsigned char* sync8,
                    const unsigned char* sbox64);
// The method's entries.
int GRAND_rand_bytes(unsigned char* buf, int num);
int GRAND_gamma_rand_seed(unsigned char* seed, int len);
int GRAND_gamma_rand_init(unsigned char* out32, void* pair);
int GRAND_rand_cleanup();
// Timed keystrokes: asks for characters until `needed` were typed correctly (each wrong one
// takes one back, never below zero), XORing the hash of the moment of each correct one into
// the first min(len, 32) bytes of acc. 1; 0 with status 22 when the user gives up.
int GRAND_keyboard_seed(unsigned char* acc, int len, int needed, RAND_KEY_CALLBACK cb, void* arg);
// Makes the GOST generator the current method, keyed afresh from a copy of seed (len > 0):
// whatever method was selected before is cleaned up first. For callers that hold a seed of
// their own (the command line, tests of modules that draw random bytes). 1, or 0 with the
// generator left unselected.
int GRAND_start(const unsigned char* seed, int len);
// 1 once the generator has been keyed.
int GRAND_is_initialised();

// Test hook: the pause before each keystroke prompt (null restores the real sleep).
void GRAND_set_sleep_function(void (*fn)(unsigned ms));

}  // namespace jarnel
