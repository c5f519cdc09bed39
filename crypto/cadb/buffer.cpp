// BUFFER: allocation, filling, joining and growing. Reading a whole file into one lives with the
// other whole-file operations (file_io.cpp).
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"

#include <climits>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"

namespace jarnel {
namespace {

// Data of n bytes plus the terminating zero, all zero; null when memory is short or n cannot
// be held.
unsigned char* alloc_data(long long n) {
  if (n < 0 || n >= INT_MAX) return nullptr;
  auto* p = static_cast<unsigned char*>(mem_alloc(static_cast<std::size_t>(n) + 1));
  if (p) std::memset(p, 0, static_cast<std::size_t>(n) + 1);
  return p;
}

void wipe_data(BUFFER* b) {
  if (b->data) mem_clear_free(b->data, static_cast<std::size_t>(b->length) + 1);
  b->data = nullptr;
  b->length = 0;
}

}  // namespace

BUFFER* BUFFER_new() {
  auto* b = static_cast<BUFFER*>(mem_alloc(sizeof(BUFFER)));
  if (!b) {
    JARNEL_ERR(LIB_BUF, BUF_F_BUFFER_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  b->data = nullptr;
  b->length = 0;
  return b;
}

BUFFER* BUFFER_fill(const void* data, int length) {
  if (length < 0) {
    if (!data) {
      JARNEL_ERR(LIB_BUF, BUF_F_BUFFER_FILL, LIB_CADB);
      return nullptr;
    }
    std::size_t n = std::strlen(static_cast<const char*>(data));
    if (n >= INT_MAX) {
      JARNEL_ERR(LIB_BUF, BUF_F_BUFFER_FILL, LIB_CADB);
      return nullptr;
    }
    length = static_cast<int>(n);
  }
  BUFFER* b = BUFFER_new();
  unsigned char* p = b ? alloc_data(length) : nullptr;
  if (!p) {
    mem_free(b);
    ERR_set_status(CADB_STATUS_NO_MEMORY);
    JARNEL_ERR(LIB_BUF, BUF_F_BUFFER_FILL, R_MALLOC_FAILURE);
    JARNEL_ERR(LIB_BUF, BUF_F_BUFFER_FILL, LIB_CADB);
    return nullptr;
  }
  if (data && length > 0) std::memcpy(p, data, static_cast<std::size_t>(length));
  b->data = p;
  b->length = length;
  return b;
}

BUFFER* BUFFER_cat(BUFFER* a, BUFFER* b) {
  if (!a) return b;
  if (!b) return a;
  long long total = static_cast<long long>(a->length) + b->length;
  BUFFER* r = BUFFER_new();
  unsigned char* p = r ? alloc_data(total) : nullptr;
  if (!p) {
    mem_free(r);
    BUFFER_free(a);
    BUFFER_free(b);
    JARNEL_ERR(LIB_BUF, BUF_F_BUFFER_CAT, R_MALLOC_FAILURE);
    JARNEL_ERR(LIB_BUF, BUF_F_BUFFER_CAT, LIB_CADB);
    return nullptr;
  }
  if (a->length) std::memcpy(p, a->data, static_cast<std::size_t>(a->length));
  if (b->length) std::memcpy(p + a->length, b->data, static_cast<std::size_t>(b->length));
  r->data = p;
  r->length = static_cast<int>(total);
  BUFFER_free(a);
  BUFFER_free(b);
  return r;
}

int BUFFER_append(BUFFER* buffer, const void* data, int length) {
  if (buffer && length < 0 && data) {
    std::size_t n = std::strlen(static_cast<const char*>(data));
    length = n < INT_MAX ? static_cast<int>(n) : -1;
  }
  unsigned char* p = nullptr;
  if (buffer && length > 0) p = alloc_data(static_cast<long long>(buffer->length) + length);
  if (!p) {
    ERR_set_status_once(CADB_STATUS_IO);
    JARNEL_ERR(LIB_BUF, BUF_F_BUFFER_FILL, LIB_CADB);
    return 0;
  }
  // The old bytes move to the new allocation and the old one is wiped, as it may hold secrets.
  if (buffer->length) std::memcpy(p, buffer->data, static_cast<std::size_t>(buffer->length));
  if (data) std::memcpy(p + buffer->length, data, static_cast<std::size_t>(length));
  int old = buffer->length;
  wipe_data(buffer);
  buffer->data = p;
  buffer->length = old + length;
  return length;
}

void BUFFER_clear(BUFFER* buffer) {
  if (buffer) wipe_data(buffer);
}

void BUFFER_free(BUFFER* buffer) {
  if (!buffer) return;
  wipe_data(buffer);
  mem_free(buffer);
}

}  // namespace jarnel
