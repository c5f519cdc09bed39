#pragma once
// BUFFER: the byte buffer of the file layer. When data is set it always has one zero byte
// after its length bytes; an empty BUFFER has null data and length 0. Freeing or clearing a
// BUFFER overwrites its bytes with zeros first, so it may hold secrets.
#include <cstdint>

namespace jarnel {

struct BUFFER {
  unsigned char* data;
  int length;
};

// Function numbers of the buffer functions (library 7).
inline constexpr int BUF_F_BUFFER_NEW = 103, BUF_F_BUFFER_FILL = 104, BUF_F_BUFFER_CAT = 105,
                     BUF_F_BUFFER_READ_FILE = 106;

// Empty buffer; null with (7, 103, 33) when memory is short.
BUFFER* BUFFER_new();
// A copy of length bytes of data, or length zero bytes when data is null. A negative length
// with data means the length of the zero-terminated string; with null data it fails. Failures
// record (7, 104, 66), preceded by (7, 104, 33) and status 11 when memory is short.
BUFFER* BUFFER_fill(const void* data, int length);
// New buffer holding a then b. a and b are always consumed (freed), also when the call fails;
// a null a gives b and a null b gives a. Failure records (7, 105, 33) and (7, 105, 66).
BUFFER* BUFFER_cat(BUFFER* a, BUFFER* b);
// Grows buffer in place by length bytes of data (zero bytes for null data; a negative length
// is the length of the zero-terminated string). Returns the number appended; 0 with
// (7, 104, 66) and status 2 (when none is set) when nothing was appended.
int BUFFER_append(BUFFER* buffer, const void* data, int length);
// Wipes and frees the data; the record stays, empty.
void BUFFER_clear(BUFFER* buffer);
// BUFFER_clear, then frees the record. Null is allowed.
void BUFFER_free(BUFFER* buffer);

// The whole file at a token path, or null (errors recorded as (7, 106, 12) with the failing
// step's line, status 2 when none is set). flags and arg are the open parameters handed to the
// carrier's driver.
BUFFER* BUFFER_read_file(const char* path, std::uint32_t flags, void* arg);
// BUFFER_read_file with no open flags and no call-back argument.
BUFFER* BUFFER_read(const char* path);

}  // namespace jarnel
