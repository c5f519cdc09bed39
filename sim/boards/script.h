#pragma once
// The scripting every board simulator shares. The test opens the simulator library by the same
// name the driver loads it by and calls these:
//
//   sim_reset()                   board present, default byte stream, no failures, counts zero
//   sim_set_present(on)           board present (1) or absent (0)
//   sim_set_bytes(data, len)      deliver these bytes first, then the default stream
//   sim_fail(call, times)         the next `times` calls of `call` fail (-1: every call)
//   sim_calls(call)               how many times `call` was made since the last reset
//
// The default stream is a fixed xorshift sequence, the same after every reset.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace sim {

struct Script {
  std::mutex mu;
  bool present = true;
  std::vector<unsigned char> bytes;
  std::size_t next = 0;
  std::uint64_t stream = 0x9E3779B97F4A7C15ULL;
  std::map<std::string, int> fail_left;
  std::map<std::string, int> calls;

  void reset() {
    present = true;
    bytes.clear();
    next = 0;
    stream = 0x9E3779B97F4A7C15ULL;
    fail_left.clear();
    calls.clear();
  }
  // Counts the call; true when it is to fail.
  bool call(const char* name) {
    ++calls[name];
    auto it = fail_left.find(name);
    if (it == fail_left.end() || it->second == 0) return false;
    if (it->second > 0) --it->second;
    return true;
  }
  unsigned char byte() {
    if (next < bytes.size()) return bytes[next++];
    stream ^= stream << 13;
    stream ^= stream >> 7;
    stream ^= stream << 17;
    return static_cast<unsigned char>((stream * 0x2545F4914F6CDD1DULL) >> 56);
  }
  void fill(unsigned char* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = byte();
  }
};

// Extra state of one simulator, cleared by sim_reset.
inline void (*on_reset)() = nullptr;

inline Script& script() {
  static Script s;
  return s;
}

}  // namespace sim

SIM_EXPORT void sim_reset() {
  std::lock_guard<std::mutex> g(sim::script().mu);
  sim::script().reset();
  if (sim::on_reset) sim::on_reset();
}
SIM_EXPORT void sim_set_present(int on) {
  std::lock_guard<std::mutex> g(sim::script().mu);
  sim::script().present = on != 0;
}
SIM_EXPORT void sim_set_bytes(const unsigned char* data, std::size_t len) {
  std::lock_guard<std::mutex> g(sim::script().mu);
  sim::script().bytes.assign(data, data + len);
  sim::script().next = 0;
}
SIM_EXPORT void sim_fail(const char* call, int times) {
  std::lock_guard<std::mutex> g(sim::script().mu);
  sim::script().fail_left[call] = times;
}
SIM_EXPORT int sim_calls(const char* call) {
  std::lock_guard<std::mutex> g(sim::script().mu);
  auto it = sim::script().calls.find(call);
  return it == sim::script().calls.end() ? 0 : it->second;
}
