#pragma once
// GOST R 34.11-2012 ("Streebog") with 256- and 512-bit results.
//
// Digests come out as the byte string other implementations give (the OpenSSL GOST engine,
// libgcrypt, HMAC of RFC 7836): byte 0 is the least significant byte of the value, so the
// numbers RFC 6986 prints appear byte-reversed. (The GOST R 34.11-94 functions of gosth.h return
// their value most significant byte first; this hash does not.)
//
// The context holds no pointers: it can live on the stack or inside another record and be copied
// with assignment. STREEBOG_final and STREEBOG_cleanup wipe it.
#include <cstddef>
#include <cstdint>

namespace jarnel {

inline constexpr int STREEBOG_BLOCK_BYTES = 64;

struct STREEBOG_CTX {
  std::uint64_t h[8];      // chaining value, least significant word first
  std::uint64_t n[8];      // bits processed so far, mod 2^512
  std::uint64_t sigma[8];  // sum of the message blocks, mod 2^512
  unsigned char block[64]; // incomplete block
  std::uint32_t count;     // bytes in block
  std::uint32_t bytes;     // digest length: 32 or 64; 0 = not initialised
};

// bits: 256 or 512. 1 on success, 0 for another length or a null context.
int STREEBOG_init(STREEBOG_CTX* ctx, int bits);
// 1 on success, 0 for a null or uninitialised context (or null data with len > 0).
int STREEBOG_update(STREEBOG_CTX* ctx, const void* data, std::size_t len);
// Writes the digest (32 or 64 bytes) and wipes the context. Returns the length, 0 on failure.
int STREEBOG_final(STREEBOG_CTX* ctx, unsigned char* out);
// Wipes the context.
void STREEBOG_cleanup(STREEBOG_CTX* ctx);

// One shot: the digest of data (bits 256 or 512) into out. Returns its length, 0 on failure.
int STREEBOG_digest(int bits, const void* data, std::size_t len, unsigned char* out);

}  // namespace jarnel
