// Simulator of the Accord board library "tmdrv32.dll". TmGetInfo reports a nonzero status and
// the random-generator bit (byte 11, bit 1) while the board is present. Besides the common
// script:
//   sim_accord_set_rng(on)   whether the present board reports a random generator
#include "crypto/rand/boards.h"
#include "script.h"

namespace {
bool g_rng = true;
}

SIM_EXPORT int TmDriverPresent() {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  return !s.call("TmDriverPresent") && s.present;
}
SIM_EXPORT int TmGetVersion() {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  s.call("TmGetVersion");
  return 0x0301;
}
SIM_EXPORT int TmGetInfo(int, unsigned char* info, int len, std::uint16_t* status) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  bool fail = s.call("TmGetInfo");
  *status = 0;
  if (fail || !s.present || !info || len < jarnel::ACCORD_INFO_BYTES) return 0;
  std::memset(info, 0, static_cast<std::size_t>(len));
  info[0] = 'T';
  info[1] = 'M';
  info[11] = g_rng ? 0x03 : 0x01;
  *status = 1;
  return 1;
}
SIM_EXPORT std::uint16_t TmGetRandomBytes(unsigned char* out, int len) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  if (s.call("TmGetRandomBytes") || !s.present || len < 0) return 1;
  s.fill(out, static_cast<std::size_t>(len));
  return 0;
}

SIM_EXPORT void sim_accord_set_rng(int on) { g_rng = on != 0; }

static_assert(std::is_same_v<decltype(&TmDriverPresent), jarnel::TmDriverPresent_fn>);
static_assert(std::is_same_v<decltype(&TmGetVersion), jarnel::TmGetVersion_fn>);
static_assert(std::is_same_v<decltype(&TmGetInfo), jarnel::TmGetInfo_fn>);
static_assert(std::is_same_v<decltype(&TmGetRandomBytes), jarnel::TmGetRandomBytes_fn>);
