#include "crypto/mem.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace jarnel {
namespace {

std::atomic<MallocFn> g_malloc{&std::malloc};
std::atomic<ReallocFn> g_realloc{&std::realloc};
std::atomic<FreeFn> g_free{&std::free};

}  // namespace

int CRYPTO_set_mem_functions(MallocFn m, ReallocFn r, FreeFn f) {
  if (!m || !r || !f) return 0;
  g_malloc = m;
  g_realloc = r;
  g_free = f;
  return 1;
}

void CRYPTO_get_mem_functions(MallocFn* m, ReallocFn* r, FreeFn* f) {
  if (m) *m = g_malloc;
  if (r) *r = g_realloc;
  if (f) *f = g_free;
}

void* mem_alloc(std::size_t n) { return n ? g_malloc.load()(n) : nullptr; }

void* mem_realloc(void* p, std::size_t n) {
  if (!p) return mem_alloc(n);
  return g_realloc.load()(p, n);
}

void mem_free(void* p) {
  if (p) g_free.load()(p);
}

void mem_cleanse(void* p, std::size_t n) {
  if (p && n) OPENSSL_cleanse(p, n);
}

void mem_clear_free(void* p, std::size_t n) {
  if (!p) return;
  mem_cleanse(p, n);
  mem_free(p);
}

char* mem_strdup(const char* s) {
  if (!s) return nullptr;
  std::size_t n = std::strlen(s) + 1;
  auto* d = static_cast<char*>(mem_alloc(n));
  if (d) std::memcpy(d, s, n);
  return d;
}

unsigned char* BUF_reverse(unsigned char* buf, std::size_t length) {
  if (!buf || length < 2) return buf;
  for (std::size_t i = 0, j = length - 1; i < j; ++i, --j) {
    unsigned char t = buf[i];
    buf[i] = buf[j];
    buf[j] = t;
  }
  return buf;
}

bool SecureBuffer::resize(std::size_t n) {
  reset();
  if (n == 0) return true;
  p_ = static_cast<unsigned char*>(mem_alloc(n));
  if (!p_) return false;
  std::memset(p_, 0, n);
  n_ = n;
  return true;
}

void SecureBuffer::reset() {
  mem_clear_free(p_, n_);
  p_ = nullptr;
  n_ = 0;
}

}  // namespace jarnel
