#pragma once
// Reading a secret from the controlling terminal.
#include <cstddef>

namespace jarnel::platform {

// Writes prompt to the terminal and reads one line without echo into buf (zero-terminated,
// line end removed). Returns the length, or -1 when there is no terminal or reading failed.
long read_secret_from_terminal(const char* prompt, char* buf, std::size_t cap);

}  // namespace jarnel::platform
