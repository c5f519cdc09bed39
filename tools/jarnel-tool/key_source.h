#pragma once
// Where the cipher and mac commands take their 32-byte GOST 28147-89 key from: the command line
// (--key HEX), a file (--key-file FILE: 32 raw bytes or 64 hex digits) or a password
// (--password-file FILE: its first line, through PBKDF2 with HMAC-GOST R 34.11-94, --salt HEX and
// --iter N).
#include "crypto/mem.h"
#include "options.h"

namespace jarnel::tool {

struct KeySource {
  const char* key_hex = nullptr;
  const char* key_file = nullptr;
  const char* password_file = nullptr;
  const char* salt_hex = nullptr;
  const char* iter = nullptr;

  // Declares --key, --key-file, --password-file, --salt and --iter.
  void declare(Options& o);
  // Loads the key into key (32 bytes). -1 on success; otherwise the exit status, with the reason
  // printed (2 for bad usage or a malformed key, 1 when a file cannot be read or the derivation
  // fails).
  int load(SecureBuffer& key) const;
};

inline constexpr int kDefaultPbkdf2Iterations = 10000;
inline constexpr const char* kKeySourceHelp =
    "key (exactly one):\n"
    "  --key HEX            32 bytes as 64 hex digits (visible to other users in the process\n"
    "                       list: prefer a file)\n"
    "  --key-file FILE      32 raw bytes, or 64 hex digits (white space around them ignored)\n"
    "  --password-file FILE the first line of FILE is a password; the key is PBKDF2 with\n"
    "                       HMAC-GOST R 34.11-94 (CryptoPro parameters), 32 bytes, over it:\n"
    "  --salt HEX           PBKDF2 salt, at least 8 bytes (required with --password-file)\n"
    "  --iter N             PBKDF2 iterations, 1000 or more (default 10000)\n";

// PBKDF2 (RFC 8018) with HMAC-GOST R 34.11-94, CryptoPro parameters, the digest in the order the
// hash function produces it: the same key as OpenSSL's PBKDF2 over md_gost94. (The library's
// hmacWithR3411 for its containers feeds the digest in its own reversed order and differs.)
// 1 on success.
int pbkdf2_gost(const unsigned char* pass, std::size_t pass_len, const unsigned char* salt,
                std::size_t salt_len, int iter, unsigned char* out, std::size_t out_len);

}  // namespace jarnel::tool
