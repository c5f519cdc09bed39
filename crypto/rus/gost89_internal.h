#pragma once
// What the GOST 28147-89 source files share (internal to crypto/rus): status codes, the clear
// key copy of one operation, the register byte access and the key-meshing driver.
#include <cstdint>

#include "crypto/mem.h"
#include "crypto/rus/gost89.h"

namespace jarnel::gost89 {

inline constexpr std::uint32_t kStatusNull = 1, kStatusAlloc = 11, kStatusInternal = 12,
                               kStatusBadMode = 10, kStatusBadSbox = 13;

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
bool take_key(GOSTE_CTX* ctx, ClearKey& ck);

// Byte i (0..7, memory order) of the register N1N2.
inline unsigned char reg_byte(const GOSTE_CTX* ctx, int i) {
  std::uint32_t w = i < 4 ? ctx->N1 : ctx->N2;
  return static_cast<unsigned char>(w >> (8 * (i & 3)));
}
inline void set_reg_byte(GOSTE_CTX* ctx, int i, unsigned char v) {
  std::uint32_t& w = i < 4 ? ctx->N1 : ctx->N2;
  int s = 8 * (i & 3);
  w = (w & ~(0xFFu << s)) | (static_cast<std::uint32_t>(v) << s);
}

// Null context or data, or a length <= 0: status 1 and false.
bool check_data_args(const GOSTE_CTX* ctx, const unsigned char* in, int len);

// Clears the register, counters, position and counts before an initialiser sets a key.
void reset_state(GOSTE_CTX* ctx);

// Common part of the mode initialisers after the self-test hook: key, S-box, mode if unset. On
// failure the key record holds no key.
int init_common(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* sbox,
                std::uint32_t mode);

// One data operation of a mode (the public update functions have this shape).
using PieceFn = int (*)(GOSTE_CTX*, const unsigned char*, unsigned char*, int);
int mac_piece(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len);

// Cuts the operation so that no piece crosses a 1024-byte boundary of the data processed under
// one key, and meshes the key at each boundary. Without the meshing bits fn runs once.
int mesh_driver(GOSTE_CTX* ctx, PieceFn fn, const unsigned char* in, unsigned char* out,
                int len);

}  // namespace jarnel::gost89
