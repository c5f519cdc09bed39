#pragma once
// The drawing pattern the board methods share: hand out bytes from a block buffer, refilling it
// with one block from the board when it is empty. Internal to crypto/rand.
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/boards.h"
#include "crypto/rand/hand_out.h"
#include "platform/dl.h"

namespace jarnel::board {

// refill(block) returns true when the board filled block. Every refill may take up to
// BOARD_REFILL_ATTEMPTS attempts; then (74, func, 12) and 0. Bytes handed out are wiped.
template <class State, class Refill>
int draw(State* st, int block_bytes, int func, unsigned char* buf, int num, Refill refill) {
  if (!st || !st->initialised || num <= 0 || !buf) return 0;
  int done = 0;
  while (done < num) {
    if (st->unread == 0) {
      bool filled = false;
      for (int attempt = 0; attempt < BOARD_REFILL_ATTEMPTS && !filled; ++attempt)
        filled = refill(st->buffer);
      if (!filled) {
        mem_cleanse(st->buffer, static_cast<std::size_t>(block_bytes));
        JARNEL_ERR(LIB_PSE, func, R_INTERNAL_ERROR);
        return 0;
      }
      st->unread = block_bytes;
      st->pos = 0;
    }
    done += RAND_hand_out(st->buffer, st->pos, st->unread, buf + done, num - done);
  }
  return done;
}

// Resolves every name into the matching slot of fns; on any miss the library is closed and
// null returned.
inline void* bind(const char* library, const char* const* names, void** fns, int count) {
  void* lib = platform::dl_open(library);
  if (!lib) return nullptr;
  for (int i = 0; i < count; ++i) {
    fns[i] = platform::dl_symbol(lib, names[i]);
    if (!fns[i]) {
      platform::dl_close(lib);
      for (int j = 0; j < count; ++j) fns[j] = nullptr;
      return nullptr;
    }
  }
  return lib;
}

}  // namespace jarnel::board
