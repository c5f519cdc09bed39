#pragma once
// Byte-order helpers: GOST numbers, keys and signatures are little-endian on the wire, OpenSSL's
// big numbers and DER big-endian. Loads and stores work on any alignment.
#include <cstddef>
#include <cstdint>

namespace jarnel {

constexpr std::uint32_t load_le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
constexpr std::uint64_t load_le64(const unsigned char* p) {
  return static_cast<std::uint64_t>(load_le32(p)) |
         (static_cast<std::uint64_t>(load_le32(p + 4)) << 32);
}
constexpr std::uint32_t load_be32(const unsigned char* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
constexpr std::uint64_t load_be64(const unsigned char* p) {
  return (static_cast<std::uint64_t>(load_be32(p)) << 32) | load_be32(p + 4);
}
constexpr void store_le32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
constexpr void store_le64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
constexpr void store_be32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * (3 - i)));
}
constexpr void store_be64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * (7 - i)));
}

// Reverses length bytes in place and returns buf; a null buf or a length below 2 is left alone.
// Converts between the little-endian GOST form and the big-endian big-number form.
unsigned char* BUF_reverse(unsigned char* buf, std::size_t length);

}  // namespace jarnel
