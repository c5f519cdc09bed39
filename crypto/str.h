#pragma once
// ASCII string helpers that do not depend on the locale.
#include <cstddef>

namespace jarnel {

int ascii_tolower(int c);
// Compares without regard to ASCII case; null sorts before any string.
int ascii_strcasecmp(const char* a, const char* b);
int ascii_strncasecmp(const char* a, const char* b, std::size_t n);
// True when s begins with prefix, without regard to ASCII case.
bool ascii_has_prefix(const char* s, const char* prefix);

}  // namespace jarnel
