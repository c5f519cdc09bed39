#include "crypto/str.h"

#include <cstring>

namespace jarnel {

int ascii_tolower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

int ascii_strncasecmp(const char* a, const char* b, std::size_t n) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  for (std::size_t i = 0; i < n; ++i) {
    int ca = ascii_tolower(static_cast<unsigned char>(a[i]));
    int cb = ascii_tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

int ascii_strcasecmp(const char* a, const char* b) {
  return ascii_strncasecmp(a, b, static_cast<std::size_t>(-1));
}

bool ascii_has_prefix(const char* s, const char* prefix) {
  return s && prefix && ascii_strncasecmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace jarnel
