// The memory driver "memory buffer": a BIO over a BUF_MEM. Token drivers keep a file's contents
// in one between open and close. Consumed and released bytes are wiped, since the contents are
// often key material.
#include <cstring>

#include "crypto/bio/bio.h"
#include "crypto/bio/buf_mem.h"
#include "crypto/err/err.h"

namespace jarnel {
namespace {

inline void clear_retry(BIO* b) { bio_clear_flags(b, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY); }
inline void set_retry_read(BIO* b) { bio_set_flags(b, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY); }

int mem_new(BIO* b) {
  BUF_MEM* bm = BUF_MEM_new();
  if (!bm) return 0;
  b->shutdown = 1;
  b->init = 1;
  b->num = -1;
  b->ptr = bm;
  return 1;
}

int mem_free(BIO* b) {
  if (!b) return 0;
  if (b->shutdown && b->init && b->ptr) {
    BUF_MEM_free(static_cast<BUF_MEM*>(b->ptr));
    b->ptr = nullptr;
  }
  return 1;
}

int mem_read(BIO* b, char* out, int n) {
  if (n <= 0) return 0;
  clear_retry(b);
  auto* bm = static_cast<BUF_MEM*>(b->ptr);
  if (!bm) return 0;
  int k = n < bm->length ? n : bm->length;
  if (k > 0) {
    if (out) std::memcpy(out, bm->data, static_cast<std::size_t>(k));
    std::memset(bm->data, 0, static_cast<std::size_t>(k));
    bm->length -= k;
    if (bm->length > 0)
      bm->data += k;
    else
      bm->data = bm->base;
    return k;
  }
  int ret = b->num;
  if (ret != 0) set_retry_read(b);
  return ret;
}

int mem_write(BIO* b, const char* in, int n) {
  if (!in) {
    JARNEL_ERR(LIB_BIO, BIO_F_MEM_WRITE, BIO_R_NULL_PARAMETER);
    return -1;
  }
  if (n < 0) return -1;
  clear_retry(b);
  auto* bm = static_cast<BUF_MEM*>(b->ptr);
  if (!bm) return -1;
  int held = bm->length;
  if (n > 0x7fffffff - held) return -1;
  if (BUF_MEM_grow(bm, held + n) != held + n) return -1;
  if (n) std::memcpy(bm->data + held, in, static_cast<std::size_t>(n));
  return n;
}

int mem_gets(BIO* b, char* buf, int size) {
  clear_retry(b);
  auto* bm = static_cast<BUF_MEM*>(b->ptr);
  if (!bm || !buf || size <= 0) return 0;
  if (bm->length == 0) {
    buf[0] = '\0';
    return 0;
  }
  int count = bm->length;
  const void* lf = std::memchr(bm->data, '\n', static_cast<std::size_t>(bm->length));
  if (lf)
    count = static_cast<int>(static_cast<const char*>(lf) - bm->data) + 1;
  else
    set_retry_read(b);
  int want = size - 1 < count ? size - 1 : count;
  int got = want > 0 ? mem_read(b, buf, want) : 0;
  if (got < 0) got = 0;
  if (!lf) set_retry_read(b);  // mem_read cleared the flags
  buf[got] = '\0';
  return got;
}

int mem_puts(BIO* b, const char* str) {
  if (!str) return mem_write(b, str, 0);
  return mem_write(b, str, static_cast<int>(std::strlen(str)));
}

long mem_ctrl(BIO* b, int cmd, long num, void* ptr) {
  auto* bm = static_cast<BUF_MEM*>(b->ptr);
  switch (cmd) {
    case BIO_CTRL_RESET:
      if (bm && bm->base) {
        std::memset(bm->base, 0, static_cast<std::size_t>(bm->max));
        bm->data = bm->base;
        bm->length = 0;
      }
      return 1;
    case BIO_CTRL_EOF:
      return !bm || bm->length == 0 ? 1 : 0;
    case BIO_C_SET_BUF_MEM_EOF_RETURN:
      b->num = static_cast<int>(num);
      return 1;
    case BIO_CTRL_INFO:
      if (ptr) *static_cast<char**>(ptr) = bm ? bm->data : nullptr;
      return bm ? bm->length : 0;
    case BIO_C_SET_BUF_MEM:
      mem_free(b);
      b->shutdown = static_cast<int>(num);
      b->ptr = ptr;
      return 1;
    case BIO_C_GET_BUF_MEM_PTR:
      if (ptr) *static_cast<BUF_MEM**>(ptr) = bm;
      return 1;
    case BIO_CTRL_GET_CLOSE:
      return b->shutdown;
    case BIO_CTRL_SET_CLOSE:
      b->shutdown = static_cast<int>(num);
      return 1;
    case BIO_CTRL_PENDING:
      return bm ? bm->length : 0;
    case BIO_CTRL_FLUSH:
    case BIO_CTRL_DUP:
      return 1;
    default:
      return 0;
  }
}

const BIO_METHOD mem_method = {
    BIO_TYPE_MEM, "memory buffer", mem_write, mem_read, mem_puts, mem_gets, mem_ctrl,
    mem_new,      mem_free,
};

}  // namespace

const BIO_METHOD* BIO_s_mem() { return &mem_method; }

BIO* BIO_new_mem_copy(const void* data, int len) {
  BIO* b = BIO_new(BIO_s_mem());
  if (!b) return nullptr;
  if (len > 0 && BIO_write(b, data, len) != len) {
    BIO_free(b);
    return nullptr;
  }
  return b;
}

}  // namespace jarnel
