#include "platform/text.h"

#include <iconv.h>

namespace jarnel::platform {

long utf16_to_utf8(const char16_t* in, std::size_t count, unsigned char* out, std::size_t cap) {
  if (!in && count) return -1;
  std::size_t n = 0;
  auto put = [&](unsigned char b) {
    if (out && n < cap) out[n] = b;
    ++n;
  };
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= count || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return -1;
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return -1;
    }
    if (c < 0x80) {
      put(static_cast<unsigned char>(c));
    } else if (c < 0x800) {
      put(static_cast<unsigned char>(0xC0 | (c >> 6)));
      put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      put(static_cast<unsigned char>(0xE0 | (c >> 12)));
      put(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
      put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    } else {
      put(static_cast<unsigned char>(0xF0 | (c >> 18)));
      put(static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F)));
      put(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
      put(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    }
  }
  return static_cast<long>(n);
}

}  // namespace jarnel::platform


namespace jarnel::platform {

long utf8_to_ansi(const char* in, std::size_t len, char* out, std::size_t cap) {
  iconv_t cd = iconv_open("CP1251", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  char* src = const_cast<char*>(in);
  char* dst = out;
  std::size_t left = len, room = cap;
  std::size_t r = iconv(cd, &src, &left, &dst, &room);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1) || left != 0) return -1;
  return static_cast<long>(cap - room);
}

}  // namespace jarnel::platform
