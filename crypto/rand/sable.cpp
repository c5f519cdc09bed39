// The Sable board ("snellock.dll"): 32-byte blocks from sbGetRand once sbisCard finds the card.
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/board_draw.h"
#include "crypto/rand/boards.h"
#include "platform/dl.h"

namespace jarnel {
namespace {

struct SableLib {
  sbisCard_fn is_card;
  sbGetRand_fn get_rand;
};
constexpr const char* kNames[] = {"sbisCard", "sbGetRand"};
constexpr int kNameCount = sizeof kNames / sizeof kNames[0];
static_assert(sizeof(SableLib) == kNameCount * sizeof(void*));

struct SableState {
  unsigned char buffer[SABLE_BLOCK_BYTES];
  int pos;
  int unread;
  int initialised;
};

SableState g_state;
SableLib g_lib;
void* g_handle = nullptr;

int sable_cleanup() {
  if (g_state.initialised && g_handle) platform::dl_close(g_handle);
  if (g_state.initialised) {
    g_handle = nullptr;
    std::memset(&g_lib, 0, sizeof g_lib);
  }
  mem_cleanse(&g_state, sizeof g_state);
  return 1;
}

int sable_init(unsigned char*, void*) {
  if (g_state.initialised) return 1;
  if (!g_handle)
    g_handle = board::bind("snellock.dll", kNames, reinterpret_cast<void**>(&g_lib), kNameCount);
  bool ok = g_handle != nullptr;
  if (ok) {
    g_state.initialised = 1;
    ok = g_lib.is_card() == 0;
  }
  if (!ok) {
    JARNEL_ERR(LIB_PSE, RAND_F_SABLE_RAND_INIT, R_INTERNAL_ERROR);
    sable_cleanup();
    return 0;
  }
  return 1;
}

int sable_bytes(unsigned char* buf, int num) {
  return board::draw(&g_state, SABLE_BLOCK_BYTES, RAND_F_SABLE_RAND_BYTES, buf, num,
                     [](unsigned char* block) {
                       return g_lib.get_rand(block, SABLE_BLOCK_BYTES) == 0;
                     });
}

const RAND_METHOD g_method = {nullptr, sable_bytes, sable_cleanup, sable_init, nullptr};

}  // namespace

const RAND_METHOD* SABLE_get_method() { return &g_method; }

}  // namespace jarnel
