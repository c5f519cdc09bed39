// The Accord board ("tmdrv32.dll"): 32-byte blocks from TmGetRandomBytes, once TmGetInfo says
// that the board has a random generator.
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/board_draw.h"
#include "crypto/rand/boards.h"
#include "platform/dl.h"

namespace jarnel {
namespace {

struct AccordLib {
  TmDriverPresent_fn driver_present;
  TmGetVersion_fn get_version;
  TmGetInfo_fn get_info;
  TmGetRandomBytes_fn get_random_bytes;
};
constexpr const char* kNames[] = {"TmDriverPresent", "TmGetVersion", "TmGetInfo",
                                  "TmGetRandomBytes"};
constexpr int kNameCount = sizeof kNames / sizeof kNames[0];
static_assert(sizeof(AccordLib) == kNameCount * sizeof(void*));

struct AccordState {
  unsigned char buffer[ACCORD_BLOCK_BYTES];
  int pos;
  int unread;
  int initialised;
};

AccordState g_state;
AccordLib g_lib;
void* g_handle = nullptr;

// Byte 11, bit 1 of the information block: the board has a random generator.
constexpr int kInfoRngByte = 11;
constexpr unsigned kInfoRngBit = 0x02;

void unbind() {
  if (g_handle) platform::dl_close(g_handle);
  g_handle = nullptr;
  std::memset(&g_lib, 0, sizeof g_lib);
}

bool bind() {
  if (g_handle) return true;
  g_handle = board::bind("tmdrv32.dll", kNames, reinterpret_cast<void**>(&g_lib), kNameCount);
  return g_handle != nullptr;
}

int accord_cleanup() {
  if (g_state.initialised) unbind();
  mem_cleanse(&g_state, sizeof g_state);
  return 1;
}

int accord_init(unsigned char*, void*) {
  if (g_state.initialised) return 1;
  bool ok = bind();
  if (ok) {
    g_state.initialised = 1;
    unsigned char info[ACCORD_INFO_BYTES] = {};
    std::uint16_t status = 0;
    g_lib.get_info(0, info, ACCORD_INFO_BYTES, &status);
    ok = status != 0 && (info[kInfoRngByte] & kInfoRngBit) != 0;
  }
  if (!ok) {
    JARNEL_ERR(LIB_PSE, RAND_F_ACCORD_RAND_INIT, R_INTERNAL_ERROR);
    accord_cleanup();
    return 0;
  }
  return 1;
}

int accord_bytes(unsigned char* buf, int num) {
  return board::draw(&g_state, ACCORD_BLOCK_BYTES, RAND_F_ACCORD_RAND_BYTES, buf, num,
                     [](unsigned char* block) {
                       return g_lib.get_random_bytes(block, ACCORD_BLOCK_BYTES) == 0;
                     });
}

int accord_info(void* record) {
  if (!record) return 0;
  // Without an init the library is bound for this call only.
  bool temporary = !g_state.initialised;
  std::uint16_t status = 0;
  if (!temporary || bind())
    g_lib.get_info(0, static_cast<unsigned char*>(record), ACCORD_INFO_BYTES, &status);
  if (temporary) unbind();
  if (status == 0) {
    JARNEL_ERR(LIB_PSE, RAND_F_ACCORD_RAND_INFO, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

const RAND_METHOD g_method = {nullptr, accord_bytes, accord_cleanup, accord_init, accord_info};

}  // namespace

const RAND_METHOD* ACCORD_get_method() { return &g_method; }

}  // namespace jarnel
