#pragma once
// The boundary between the library's C-style functions and the standard containers some of
// them use inside: a container that cannot get memory throws std::bad_alloc (MemAllocator), and
// alloc_guard turns that into the function's failure result with a malloc error queued, so no
// exception ever leaves the library and a caller sees the same kind of failure as from any
// other allocation. Whatever the body had done is undone by its own destructors; bodies that
// change a token arrange their allocations before the first change.
#include <new>
#include <utility>

#include "crypto/err/err.h"

namespace jarnel {

template <class R, class Body>
R alloc_guard(int lib, int func, R failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    ERR_put_error(lib, func, R_MALLOC_FAILURE, __FILE__, __LINE__);
  } catch (...) {
    ERR_put_error(lib, func, R_INTERNAL_ERROR, __FILE__, __LINE__);
  }
  return failure;
}

}  // namespace jarnel
