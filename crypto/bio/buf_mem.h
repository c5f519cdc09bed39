#pragma once
// The growable byte buffer behind the memory driver. The held bytes are data[0 .. length-1];
// reads consume from the front by moving data forward, and the space before data is reused only
// after the buffer has been emptied. Every release wipes the whole allocation.

namespace jarnel {

struct BUF_MEM {
  int length;  // bytes held
  char* data;  // current start of the held bytes
  int max;     // bytes allocated
  char* base;  // start of the allocation
};

// All fields 0; null when memory is short.
BUF_MEM* BUF_MEM_new();
// Wipes max bytes from base, frees the allocation and the record.
void BUF_MEM_free(BUF_MEM* bm);
// Makes the buffer hold n bytes; new bytes are zero. Returns n, or 0 with (7, 100, 33)
// recorded when memory is short (the buffer is then unchanged).
int BUF_MEM_grow(BUF_MEM* bm, int n);

}  // namespace jarnel
