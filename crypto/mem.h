#pragma once
// Memory of the library. Every allocation goes through three replaceable functions, so a test
// can make an allocation fail and an embedding application can supply its own allocator.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

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

// The library's allocator for standard containers, so that their memory comes through the
// three functions above like every other block (and a test can make it fail). A failed
// allocation throws std::bad_alloc: every exported function that uses such a container turns
// that into an ordinary failure with a malloc error (see mem_guard.h).
template <class T>
struct MemAllocator {
  using value_type = T;
  MemAllocator() noexcept = default;
  template <class U>
  MemAllocator(const MemAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* p = mem_alloc(n * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { mem_free(p); }
  template <class U>
  bool operator==(const MemAllocator<U>&) const noexcept { return true; }
};

template <class T>
using MemVector = std::vector<T, MemAllocator<T>>;
using MemString = std::basic_string<char, std::char_traits<char>, MemAllocator<char>>;

}  // namespace jarnel
