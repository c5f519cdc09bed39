#pragma once
// Argument helpers shared by the digest, cipher and mac commands.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/rus/gost89.h"

namespace jarnel::tool {

inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses an even-length hex string; false on any other character or an odd length.
inline bool parse_hex(const char* s, std::vector<unsigned char>& out) {
  out.clear();
  std::size_t n = std::strlen(s);
  if (n % 2) return false;
  for (std::size_t i = 0; i < n; i += 2) {
    int hi = hex_value(s[i]), lo = hex_value(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<unsigned char>(hi << 4 | lo));
  }
  return true;
}

inline void print_hex(const unsigned char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) std::printf("%02x", p[i]);
  std::printf("\n");
}

// S-box by the system's number (23, 31..35); null for anything else.
inline const unsigned char* sbox_arg(const char* s) {
  char* end = nullptr;
  long n = std::strtol(s, &end, 10);
  if (!*s || *end) return nullptr;
  if (n != 23 && (n < 31 || n > 35)) return nullptr;
  return GOSTE_sbox_by_number(static_cast<int>(n));
}

// Opens FILE or standard input ("-" or none); null with the reason printed when unreadable.
inline std::FILE* open_input(const char* path) {
  if (!path || std::strcmp(path, "-") == 0) return stdin;
  std::FILE* f = std::fopen(path, "rb");
  return f;
}

// Reads until the buffer is full or the input ends; sets err on a read error.
inline std::size_t read_full(std::FILE* f, unsigned char* buf, std::size_t n, bool& err) {
  std::size_t got = 0;
  while (got < n) {
    std::size_t r = std::fread(buf + got, 1, n - got, f);
    if (r == 0) {
      if (std::ferror(f)) err = true;
      break;
    }
    got += r;
  }
  return got;
}

inline constexpr std::size_t kChunk = 64 * 1024;

}  // namespace jarnel::tool
