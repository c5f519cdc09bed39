#pragma once
// Memory of the library. Every allocation goes through three replaceable functions, so a test
// can make an allocation fail and an embedding application can supply its own allocator.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "crypto/byteorder.h"

namespace jarnel {

using MallocFn = void* (*)(std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
using FreeFn = void (*)(void*);

// Installs the three functions. Ignored (result 0) unless all three are non-null.
int CRYPTO_set_mem_functions(MallocFn m, ReallocFn r, FreeFn f);
void CRYPTO_get_mem_functions(MallocFn* m, ReallocFn* r, FreeFn* f);

void* mem_alloc(std::size_t n);
void* mem_realloc(void* p, std::size_t n);
void mem_free(void* p);
// Zeroes n bytes in a way the compiler does not remove.
void mem_cleanse(void* p, std::size_t n);
// Zeroes then frees: for anything that held a password, PIN or key material.
void mem_clear_free(void* p, std::size_t n);
char* mem_strdup(const char* s);

// A byte buffer from the library's allocator that is zeroed before it is released. Used for
// every secret that needs a scratch copy.
class SecureBuffer {
 public:
  SecureBuffer() = default;
  explicit SecureBuffer(std::size_t n) { resize(n); }
  SecureBuffer(const SecureBuffer&) = delete;
  SecureBuffer& operator=(const SecureBuffer&) = delete;
  SecureBuffer(SecureBuffer&& o) noexcept : p_(o.p_), n_(o.n_) { o.p_ = nullptr; o.n_ = 0; }
  SecureBuffer& operator=(SecureBuffer&& o) noexcept {
    if (this != &o) { reset(); p_ = o.p_; n_ = o.n_; o.p_ = nullptr; o.n_ = 0; }
    return *this;
  }
  ~SecureBuffer() { reset(); }

  // Replaces the contents with n zero bytes; false (and empty) when memory is short.
  bool resize(std::size_t n);
  void reset();
  unsigned char* data() { return p_; }
  const unsigned char* data() const { return p_; }
  std::size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  std::span<unsigned char> span() { return {p_, n_}; }
  std::span<const unsigned char> span() const { return {p_, n_}; }

 private:
  unsigned char* p_ = nullptr;
  std::size_t n_ = 0;
};

// unique_ptr deleter for memory from mem_alloc.
struct MemDeleter {
  void operator()(void* p) const { mem_free(p); }
};
template <class T>
using MemPtr = std::unique_ptr<T, MemDeleter>;

}  // namespace jarnel
