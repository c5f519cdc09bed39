#include "crypto/bio/buf_mem.h"

#include <climits>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"

namespace jarnel {

namespace {
constexpr int BUF_F_BUF_MEM_GROW = 100;
}

BUF_MEM* BUF_MEM_new() {
  auto* bm = static_cast<BUF_MEM*>(mem_alloc(sizeof(BUF_MEM)));
  if (!bm) {
    JARNEL_ERR(LIB_BUF, 101, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(bm, 0, sizeof *bm);
  return bm;
}

void BUF_MEM_free(BUF_MEM* bm) {
  if (!bm) return;
  if (bm->base) mem_clear_free(bm->base, static_cast<std::size_t>(bm->max));
  mem_free(bm);
}

int BUF_MEM_grow(BUF_MEM* bm, int n) {
  if (!bm || n < 0) return 0;
  if (n <= bm->length) {
    bm->length = n;
    return n;
  }
  long long offset = bm->data ? bm->data - bm->base : 0;
  if (bm->max - offset >= n) {
    std::memset(bm->data + bm->length, 0, static_cast<std::size_t>(n - bm->length));
    bm->length = n;
    return n;
  }
  long long new_max = static_cast<long long>(bm->max) + 4LL * ((static_cast<long long>(n) + 3) / 3);
  if (new_max > INT_MAX) {
    JARNEL_ERR(LIB_BUF, BUF_F_BUF_MEM_GROW, R_MALLOC_FAILURE);
    return 0;
  }
  // A fresh allocation instead of realloc: the old block may hold key material and must be
  // wiped before it goes back to the allocator.
  auto* fresh = static_cast<char*>(mem_alloc(static_cast<std::size_t>(new_max)));
  if (!fresh) {
    JARNEL_ERR(LIB_BUF, BUF_F_BUF_MEM_GROW, R_MALLOC_FAILURE);
    return 0;
  }
  std::memset(fresh, 0, static_cast<std::size_t>(new_max));
  if (bm->base) {
    std::memcpy(fresh, bm->base, static_cast<std::size_t>(bm->max));
    mem_clear_free(bm->base, static_cast<std::size_t>(bm->max));
  }
  bm->base = fresh;
  bm->data = fresh + offset;
  std::memset(bm->data + bm->length, 0, static_cast<std::size_t>(n - bm->length));
  bm->max = static_cast<int>(new_max);
  bm->length = n;
  return n;
}

}  // namespace jarnel
