#pragma once
// Text conversions between the encodings the system meets.
#include <cstddef>

namespace jarnel::platform {

// Converts host-order UTF-16 (UCS-2 and surrogate pairs) to UTF-8. Writes at most cap bytes to
// out (which may be null to measure) and returns the full UTF-8 length, or -1 for text that is
// not valid UTF-16 (an unpaired surrogate).
long utf16_to_utf8(const char16_t* in, std::size_t count, unsigned char* out, std::size_t cap);

}  // namespace jarnel::platform

namespace jarnel::platform {

// Converts UTF-8 to the system's ANSI code page (Windows-1251 on every host of this system, the
// code page of the tokens' Russian Windows peers). Writes at most cap bytes to out and returns
// the length, or -1 for text that is not valid UTF-8, has a character the code page lacks, or
// does not fit.
long utf8_to_ansi(const char* in, std::size_t len, char* out, std::size_t cap);

}  // namespace jarnel::platform
