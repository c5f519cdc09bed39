#pragma once
// Shared set-up of the random-generator tests: the library started with the board simulators
// on the library path, a clean generator state before each test, simulator scripting and a
// scripted keystroke call-back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"
#include "platform/dl.h"

namespace randtest {

// Starts the library once per process with the simulators reachable. Every simulator starts
// absent, so that the start-up's probing leaves no generator behind unless a test asks.
inline void start_library() {
  static bool started = [] {
    setenv("JARNEL_LIBRARY_PATH", JARNEL_SIM_DIR, 1);
    for (const char* lib : {"sccrptn.dll", "tmdrv32.dll", "snellock.dll"}) {
      void* h = jarnel::platform::dl_open(lib);
      if (!h) continue;
      reinterpret_cast<void (*)()>(jarnel::platform::dl_symbol(h, "sim_reset"))();
      reinterpret_cast<void (*)(int)>(jarnel::platform::dl_symbol(h, "sim_set_present"))(0);
      // The handle stays open: the scripted state must outlive the driver's own handle.
    }
    jarnel::CADB_startup();
    return true;
  }();
  (void)started;
}

// No method, the given buffered mode, an empty queue, no keystroke pauses.
inline void reset_generator(int buffered) {
  while (jarnel::RAND_get_method()) {
    if (!jarnel::RAND_cleanup()) jarnel::RAND_set_method(nullptr);
  }
  jarnel::RAND_set_buffered_mode(buffered);
  jarnel::GRAND_set_sleep_function([](unsigned) {});
  jarnel::ERR_clear_error();
}

using Codes = std::vector<unsigned long>;

// The codes on the queue, oldest first; empties it.
inline Codes drain_errors() {
  std::vector<unsigned long> out;
  while (unsigned long e = jarnel::ERR_get_error()) out.push_back(e);
  return out;
}

// One simulator library, opened by the name its driver opens it by.
class Sim {
 public:
  explicit Sim(const char* windows_name) : h_(jarnel::platform::dl_open(windows_name)) {}
  ~Sim() { jarnel::platform::dl_close(h_); }
  Sim(const Sim&) = delete;
  Sim& operator=(const Sim&) = delete;
  bool ok() const { return h_ != nullptr; }
  template <class F>
  F fn(const char* name) const {
    return reinterpret_cast<F>(jarnel::platform::dl_symbol(h_, name));
  }
  void reset() const { fn<void (*)()>("sim_reset")(); }
  void present(bool on) const { fn<void (*)(int)>("sim_set_present")(on ? 1 : 0); }
  void bytes(const std::vector<unsigned char>& b) const {
    fn<void (*)(const unsigned char*, std::size_t)>("sim_set_bytes")(b.data(), b.size());
  }
  void fail(const char* call, int times) const {
    fn<void (*)(const char*, int)>("sim_fail")(call, times);
  }
  int calls(const char* call) const { return fn<int (*)(const char*)>("sim_calls")(call); }

 private:
  void* h_;
};

// Keystroke call-back driven by a script: 'c' types the prompted character, 'w' a wrong one,
// 'a' gives up; after the script every answer is correct.
struct Keyboard {
  explicit Keyboard(std::string s = "") : script(std::move(s)) {}
  std::string script;
  std::size_t next = 0;
  struct Prompt {
    int ch, number, total;
  };
  std::vector<Prompt> prompts;

  static int callback(int ch, int number, int total, void* arg) {
    auto* k = static_cast<Keyboard*>(arg);
    k->prompts.push_back({ch, number, total});
    char step = k->next < k->script.size() ? k->script[k->next++] : 'c';
    if (step == 'a') return 0;
    if (step == 'w') return ch == '#' ? '$' : '#';
    return ch;
  }
};

}  // namespace randtest
