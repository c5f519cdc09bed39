#pragma once
// The operating system's entropy source.
#include <cstddef>

namespace jarnel::platform {

// Fills buf with n bytes from the system's entropy source; false when it cannot.
bool system_entropy(unsigned char* buf, std::size_t n);

}  // namespace jarnel::platform
