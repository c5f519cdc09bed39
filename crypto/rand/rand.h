#pragma once
// Random bytes. Every random byte the library uses is drawn through RAND_bytes.

namespace jarnel {

// Fills buf with num random bytes; 1 on success, 0 (with an error recorded) on failure.
int RAND_bytes(unsigned char* buf, int num);

}  // namespace jarnel
