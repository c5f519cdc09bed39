#include "crypto/cadb/token_dir.h"

#include <cstring>

#include "crypto/mem.h"

namespace jarnel {

TOKEN_DIR_LIST* TOKEN_DIR_LIST_new() {
  auto* l = static_cast<TOKEN_DIR_LIST*>(mem_alloc(sizeof(TOKEN_DIR_LIST)));
  if (l) std::memset(l, 0, sizeof *l);
  return l;
}

int TOKEN_DIR_LIST_push(TOKEN_DIR_LIST* list, const TOKEN_DIR_ENTRY* entry) {
  if (!list || !entry) return 0;
  if (list->count == list->capacity) {
    int cap = list->capacity ? list->capacity * 2 : 8;
    auto* items = static_cast<TOKEN_DIR_ENTRY*>(
        mem_realloc(list->items, sizeof(TOKEN_DIR_ENTRY) * static_cast<std::size_t>(cap)));
    if (!items) return 0;
    list->items = items;
    list->capacity = cap;
  }
  list->items[list->count++] = *entry;
  return 1;
}

void TOKEN_DIR_LIST_free(TOKEN_DIR_LIST* list) {
  if (!list) return;
  mem_free(list->items);
  mem_free(list);
}

}  // namespace jarnel
