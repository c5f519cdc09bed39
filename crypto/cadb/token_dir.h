#pragma once
// Directory listings that the token drivers hand to the file layer: one entry per file or
// directory, in the order the carrier reports them.

namespace jarnel {

struct TOKEN_DIR_ENTRY {
  char name[64];      // the entry's name on the carrier (for identifier carriers "%04x")
  int is_file;
  int is_directory;
  unsigned id;        // the carrier's identifier of the entry, when it has one
  unsigned size;      // bytes; 0 for directories
};

struct TOKEN_DIR_LIST {
  TOKEN_DIR_ENTRY* items;
  int count;
  int capacity;
};

// An empty list; null when memory is short.
TOKEN_DIR_LIST* TOKEN_DIR_LIST_new();
// Appends a copy of entry; 0 when memory is short.
int TOKEN_DIR_LIST_push(TOKEN_DIR_LIST* list, const TOKEN_DIR_ENTRY* entry);
void TOKEN_DIR_LIST_free(TOKEN_DIR_LIST* list);

}  // namespace jarnel
