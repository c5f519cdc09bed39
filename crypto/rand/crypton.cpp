// The Crypton board ("sccrptn.dll"): 512-byte blocks from crRandom or crControlledRandom on a
// service opened as the init parameter says.
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/board_draw.h"
#include "crypto/rand/boards.h"
#include "platform/dl.h"

namespace jarnel {
namespace {

struct CryptonLib {
  crInitCryptonLib_fn init_lib;
  crDoneCryptonLib_fn done_lib;
  crInitService_fn init_service;
  crInitService_fn init_hardware_service;
  crInitService_fn init_light_service;
  crDoneService_fn done_service;
  crGetDriverType_fn get_driver_type;
  crGetDriverVersion_fn get_driver_version;
  crRandom_fn random;
  crControlledRandom_fn controlled_random;
};
constexpr const char* kNames[] = {"crInitCryptonLib",      "crDoneCryptonLib",
                                  "crInitService",         "crInitHardwareService",
                                  "crInitLightService",    "crDoneService",
                                  "crGetDriverType",       "crGetDriverVersion",
                                  "crRandom",              "crControlledRandom"};
constexpr int kNameCount = sizeof kNames / sizeof kNames[0];
static_assert(sizeof(CryptonLib) == kNameCount * sizeof(void*));

struct CryptonState {
  std::uint8_t driver_type;
  void* service;
  unsigned char buffer[CRYPTON_BLOCK_BYTES];
  int pos;
  int unread;
  int initialised;
  std::uint32_t flags;
};

CryptonState g_state;
CryptonLib g_lib;
void* g_handle = nullptr;

bool bind() {
  if (g_handle) return true;
  g_handle = board::bind("sccrptn.dll", kNames, reinterpret_cast<void**>(&g_lib), kNameCount);
  return g_handle != nullptr;
}

// Opens a service as flags say; null when none of the service bits is set.
void* open_service(std::uint32_t flags) {
  if (flags & CRYPTON_SERVICE_FULL) return g_lib.init_service();
  if (flags & CRYPTON_SERVICE_LIGHT) return g_lib.init_light_service();
  if (flags & CRYPTON_SERVICE_HARDWARE) return g_lib.init_hardware_service();
  return nullptr;
}

bool wants_service(std::uint32_t flags) {
  return (flags & (CRYPTON_SERVICE_FULL | CRYPTON_SERVICE_LIGHT | CRYPTON_SERVICE_HARDWARE)) != 0;
}

int crypton_cleanup() {
  if (g_handle && g_state.initialised) {
    if (g_state.service) g_lib.done_service(g_state.service);
    g_lib.done_lib();
  }
  mem_cleanse(&g_state, sizeof g_state);
  if (g_handle) platform::dl_close(g_handle);
  g_handle = nullptr;
  std::memset(&g_lib, 0, sizeof g_lib);
  return 1;
}

int crypton_init(unsigned char*, void* param) {
  if (!bind()) {
    JARNEL_ERR(LIB_PSE, RAND_F_CRYPTON_RAND_INIT, R_INTERNAL_ERROR);
    return 0;
  }
  if (!param) return 0;
  const auto* p = static_cast<const CRYPTON_PARAMS*>(param);
  if (!g_state.initialised) {
    if (!g_lib.init_lib()) {
      JARNEL_ERR(LIB_PSE, RAND_F_CRYPTON_RAND_INIT, R_INTERNAL_ERROR);
      return 0;
    }
    g_state.initialised = 1;
  }
  if (wants_service(p->flags)) {
    // A second init with a service request replaces the service it opened before.
    if (g_state.service) g_lib.done_service(g_state.service);
    g_state.service = open_service(p->flags);
  }
  if (!g_state.service) {
    JARNEL_ERR(LIB_PSE, RAND_F_CRYPTON_RAND_INIT, R_INTERNAL_ERROR);
    crypton_cleanup();
    return 0;
  }
  g_state.driver_type = g_lib.get_driver_type(g_state.service);
  g_state.flags = p->flags;
  return 1;
}

int crypton_bytes(unsigned char* buf, int num) {
  return board::draw(&g_state, CRYPTON_BLOCK_BYTES, RAND_F_CRYPTON_RAND_BYTES, buf, num,
                     [](unsigned char* block) {
                       if (g_state.flags & CRYPTON_CONTROLLED)
                         return g_lib.controlled_random(g_state.service, block) != 0;
                       return g_lib.random(g_state.service, CRYPTON_BLOCK_BYTES, block) != 0;
                     });
}

int crypton_info(void* record) {
  auto* info = static_cast<CRYPTON_INFO*>(record);
  // Only after an init has bound the library.
  if (!info || !g_handle || !g_lib.init_lib()) {
    JARNEL_ERR(LIB_PSE, RAND_F_CRYPTON_RAND_INFO, R_INTERNAL_ERROR);
    return 0;
  }
  void* service = open_service(info->flags);
  bool ok = service != nullptr;
  if (ok) {
    info->driver_type = g_lib.get_driver_type(service);
    ok = g_lib.get_driver_version(service, &info->version[0], &info->version[1]) != 0;
    g_lib.done_service(service);
  }
  g_lib.done_lib();
  if (!ok) {
    JARNEL_ERR(LIB_PSE, RAND_F_CRYPTON_RAND_INFO, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

const RAND_METHOD g_method = {nullptr, crypton_bytes, crypton_cleanup, crypton_init,
                              crypton_info};

}  // namespace

const RAND_METHOD* CRYPTON_get_method() { return &g_method; }

}  // namespace jarnel
