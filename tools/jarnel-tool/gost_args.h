#pragma once
// Argument helpers shared by the digest, cipher and mac commands.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "crypto/mem.h"
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
inline const unsigned char* sbox_number_arg(const char* s) {
  char* end = nullptr;
  long n = std::strtol(s, &end, 10);
  if (!*s || *end) return nullptr;
  if (n != 23 && (n < 31 || n > 35)) return nullptr;
  return GOSTE_sbox_by_number(static_cast<int>(n));
}

// The S-boxes of GOST 28147-89 by name, with the system's numbers where it has one.
struct SboxName {
  const char* name;
  int number;  // 0: no number
  const unsigned char* (*table)();
};
inline const unsigned char* sbox_test() { return GOSTE_sbox_by_number(23); }
inline const unsigned char* sbox_cp_a() { return GOSTE_sbox_by_number(32); }
inline const unsigned char* sbox_cp_b() { return GOSTE_sbox_by_number(33); }
inline const unsigned char* sbox_cp_c() { return GOSTE_sbox_by_number(34); }
inline const unsigned char* sbox_cp_d() { return GOSTE_sbox_by_number(35); }
inline constexpr SboxName kSboxNames[] = {
    {"test", 23, sbox_test},           {"default", 31, GOSTE_default_sbox},
    {"cryptopro-a", 32, sbox_cp_a},    {"cryptopro-b", 33, sbox_cp_b},
    {"cryptopro-c", 34, sbox_cp_c},    {"cryptopro-d", 35, sbox_cp_d},
    {"tc26-z", 0, GOSTE_tc26_z_sbox},
};
// The S-box every command uses when none is chosen: CryptoPro-A, the S-box of RFC 4357 and the
// default of OpenSSL's gost-mac.
inline constexpr const char* kDefaultSboxName = "cryptopro-a";
inline constexpr const char* kSboxHelp =
    "  --sbox NAME  S-box: test, default, cryptopro-a, cryptopro-b, cryptopro-c, cryptopro-d or\n"
    "               tc26-z (the numbers 23, 31 and 32..35 name the first six); default\n"
    "               cryptopro-a (RFC 4357, OpenSSL's gost-mac; OpenSSL's gost89 cipher\n"
    "               defaults to tc26-z unless CRYPT_PARAMS says otherwise)\n";

// S-box by name or number; the default for null; null for anything unknown.
inline const unsigned char* sbox_arg(const char* s) {
  if (!s) s = kDefaultSboxName;
  char* end = nullptr;
  const long n = std::strtol(s, &end, 10);
  for (const auto& e : kSboxNames) {
    if (!std::strcmp(s, e.name)) return e.table();
    if (*s && !*end && e.number != 0 && n == e.number) return e.table();
  }
  return nullptr;
}

// Opens FILE or standard input ("-" or none); null with errno set when it cannot be opened.
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

// The name an input goes by in messages.
inline const char* input_name(const char* path) {
  return !path || std::strcmp(path, "-") == 0 ? "standard input" : path;
}

// Reads a whole small file (at most max bytes) into out; false with errno set (EFBIG when larger).
inline bool read_small_file(const char* path, std::size_t max, SecureBuffer& out) {
  std::FILE* f = open_input(path);
  if (!f) return false;
  SecureBuffer buf(max + 1);
  bool err = false;
  const std::size_t n = buf.empty() ? 0 : read_full(f, buf.data(), max + 1, err);
  const int e = errno;
  if (f != stdin) std::fclose(f);
  if (buf.empty() || err) {
    errno = buf.empty() ? ENOMEM : (e ? e : EIO);
    return false;
  }
  if (n > max) {
    errno = EFBIG;
    return false;
  }
  if (!out.resize(n)) {
    errno = ENOMEM;
    return false;
  }
  if (n) std::memcpy(out.data(), buf.data(), n);  // an empty file leaves out without storage
  return true;
}

// The bytes of a text with surrounding white space removed: [begin, end).
inline void trim(const unsigned char*& b, const unsigned char*& e) {
  auto space = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (b < e && space(*b)) ++b;
  while (e > b && space(e[-1])) --e;
}

}  // namespace jarnel::tool
