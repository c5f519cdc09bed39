#pragma once
// Text conversions between the encodings the system meets.
#include <cstddef>

namespace jarnel::platform {

// Converts host-order UTF-16 (UCS-2 and surrogate pairs) to UTF-8. Writes at most cap bytes to
// out (which may be null to measure) and returns the full UTF-8 length, or -1 for text that is
// not valid UTF-16 (an unpaired surrogate).
long utf16_to_utf8(const char16_t* in, std::size_t count, unsigned char* out, std::size_t cap);

}  // namespace jarnel::platform
