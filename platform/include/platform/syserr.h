#pragma once
// The system's error number of the last failed call, and its text.
#include <cstddef>

namespace jarnel::platform {

int last_error();
// Writes the text of an error number into buf (zero-terminated, cut to cap).
void error_text(int code, char* buf, std::size_t cap);

}  // namespace jarnel::platform
