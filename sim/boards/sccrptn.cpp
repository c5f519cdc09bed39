// Simulator of the Crypton board library "sccrptn.dll". The library must be initialised
// (crInitCryptonLib, counted) before a service opens; a service handle is non-null while the
// board is present. Besides the common script:
//   sim_crypton_lib_refs()       crInitCryptonLib calls not yet matched by crDoneCryptonLib
//   sim_crypton_open_services()  services opened and not yet closed
//   sim_crypton_last_service()   4, 2 or 1: which init call opened the last service
#include "crypto/rand/boards.h"
#include "script.h"

namespace {

int g_lib_refs = 0;
int g_open = 0;
int g_last_service = 0;
int g_services[3];  // the handles given out: one per kind

void* open(const char* name, int kind, int index) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  if (s.call(name) || !s.present || g_lib_refs == 0) return nullptr;
  ++g_open;
  g_last_service = kind;
  return &g_services[index];
}

void reset_counts() {
  g_lib_refs = 0;
  g_open = 0;
  g_last_service = 0;
}
const bool g_hooked = (sim::on_reset = reset_counts, true);

bool valid(void* h) { return h == &g_services[0] || h == &g_services[1] || h == &g_services[2]; }

}  // namespace

SIM_EXPORT int crInitCryptonLib() {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  if (s.call("crInitCryptonLib") || !s.present) return 0;
  ++g_lib_refs;
  return 1;
}
SIM_EXPORT int crDoneCryptonLib() {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  s.call("crDoneCryptonLib");
  if (g_lib_refs > 0) --g_lib_refs;
  return 1;
}
SIM_EXPORT void* crInitService() { return open("crInitService", 4, 0); }
SIM_EXPORT void* crInitLightService() { return open("crInitLightService", 2, 1); }
SIM_EXPORT void* crInitHardwareService() { return open("crInitHardwareService", 1, 2); }
SIM_EXPORT int crDoneService(void* h) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  s.call("crDoneService");
  if (!valid(h)) return 0;
  --g_open;
  return 1;
}
SIM_EXPORT std::uint8_t crGetDriverType(void* h) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  s.call("crGetDriverType");
  return valid(h) ? 5 : 0;
}
SIM_EXPORT int crGetDriverVersion(void* h, std::uint8_t* major, std::uint8_t* minor) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  if (s.call("crGetDriverVersion") || !valid(h)) return 0;
  *major = 2;
  *minor = 7;
  return 1;
}
SIM_EXPORT int crRandom(void* h, int len, unsigned char* out) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  if (s.call("crRandom") || !valid(h) || !s.present || len < 0) return 0;
  s.fill(out, static_cast<std::size_t>(len));
  return 1;
}
SIM_EXPORT int crControlledRandom(void* h, unsigned char* out) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  if (s.call("crControlledRandom") || !valid(h) || !s.present) return 0;
  s.fill(out, jarnel::CRYPTON_BLOCK_BYTES);
  return 1;
}

SIM_EXPORT int sim_crypton_lib_refs() { return g_lib_refs; }
SIM_EXPORT int sim_crypton_open_services() { return g_open; }
SIM_EXPORT int sim_crypton_last_service() { return g_last_service; }

// Every symbol the driver binds, with the shape it binds it in.
static_assert(std::is_same_v<decltype(&crInitCryptonLib), jarnel::crInitCryptonLib_fn>);
static_assert(std::is_same_v<decltype(&crInitService), jarnel::crInitService_fn>);
static_assert(std::is_same_v<decltype(&crDoneService), jarnel::crDoneService_fn>);
static_assert(std::is_same_v<decltype(&crGetDriverType), jarnel::crGetDriverType_fn>);
static_assert(std::is_same_v<decltype(&crGetDriverVersion), jarnel::crGetDriverVersion_fn>);
static_assert(std::is_same_v<decltype(&crRandom), jarnel::crRandom_fn>);
static_assert(std::is_same_v<decltype(&crControlledRandom), jarnel::crControlledRandom_fn>);
