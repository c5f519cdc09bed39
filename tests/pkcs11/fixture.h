#pragma once
// A SoftHSM2 token folder of its own per test (SOFTHSM2_CONF), tokens made with softhsm2-util,
// a PIN call-back that counts its calls, the error queue as a list, and the fault-injecting
// forwarder's controls.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pkcs11/pkcs11.h"
#include "crypto/pkcs11/store.h"

namespace p11test {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr char kPin[] = "1234";
constexpr char kSoPin[] = "5678";

// The PIN the call-back hands out and how often it was asked.
struct PinState {
  std::string pin = kPin;
  int calls = 0;
  void* last_arg = nullptr;
};
inline PinState& pin_state() {
  static PinState s;
  return s;
}
inline int pin_cb(char* buf, int size, int, void* arg) {
  PinState& s = pin_state();
  ++s.calls;
  s.last_arg = arg;
  int n = static_cast<int>(s.pin.size());
  if (n > size) n = size;
  std::memcpy(buf, s.pin.data(), static_cast<std::size_t>(n));
  return n;
}

inline std::vector<unsigned long> drain_errors() {
  std::vector<unsigned long> out;
  while (unsigned long e = jarnel::ERR_get_error()) out.push_back(e);
  return out;
}
inline bool has_reason(const std::vector<unsigned long>& q, int lib, int reason) {
  for (unsigned long e : q)
    if (jarnel::ERR_get_lib(e) == lib && jarnel::ERR_get_reason(e) == reason) return true;
  return false;
}

inline std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// The forwarder's controls, from the copy the library loads (kept loaded by the test).
struct Fault {
  void* handle = nullptr;
  void (*set)(const char*, long, unsigned long, int) = nullptr;
  void (*reset)() = nullptr;
  long (*calls)(const char*) = nullptr;
  void (*remove_token)(int) = nullptr;
  void (*add_token_flags)(unsigned long) = nullptr;
  int (*login_pin_was_null)() = nullptr;
  bool load() {
    handle = dlopen(SIM_DIR "/libp11fault.so", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return false;
    set = reinterpret_cast<decltype(set)>(dlsym(handle, "p11fault_set"));
    reset = reinterpret_cast<decltype(reset)>(dlsym(handle, "p11fault_reset"));
    calls = reinterpret_cast<decltype(calls)>(dlsym(handle, "p11fault_calls"));
    remove_token = reinterpret_cast<decltype(remove_token)>(dlsym(handle, "p11fault_remove_token"));
    add_token_flags =
        reinterpret_cast<decltype(add_token_flags)>(dlsym(handle, "p11fault_add_token_flags"));
    login_pin_was_null = reinterpret_cast<decltype(login_pin_was_null)>(
        dlsym(handle, "p11fault_login_pin_was_null"));
    return set && reset && calls && remove_token && add_token_flags && login_pin_was_null;
  }
};
inline Fault& fault() {
  static Fault f;
  return f;
}

struct ConnFree {
  void operator()(jarnel::PKCS11_OBJECT* c) const { jarnel::PKCS11_OBJECT_free(c); }
};
using ConnPtr = std::unique_ptr<jarnel::PKCS11_OBJECT, ConnFree>;
struct TemplateFree {
  void operator()(jarnel::PKCS11_TEMPLATE* t) const { jarnel::PKCS11_TEMPLATE_free(t); }
};
using TemplatePtr = std::unique_ptr<jarnel::PKCS11_TEMPLATE, TemplateFree>;

class SoftHsm : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/jarnel-p11-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "tokens");
    std::ofstream(dir_ / "softhsm2.conf")
        << "directories.tokendir = " << (dir_ / "tokens").string()
        << "\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n";
    setenv("SOFTHSM2_CONF", (dir_ / "softhsm2.conf").c_str(), 1);
    setenv("JARNEL_LIBRARY_PATH", SOFTHSM_DIR ":" SIM_DIR, 1);
    setenv("P11FAULT_TARGET", SOFTHSM_MODULE, 1);
    ASSERT_TRUE(fault().handle || fault().load());
    fault().reset();
    pin_state() = PinState();
    jarnel::PKCS11_set_default_passwd_cb(pin_cb);
    jarnel::ERR_clear_error();
    jarnel::ERR_set_token_error(0, 0);
    ASSERT_TRUE(init_token("first"));
  }
  void TearDown() override {
    // Releases every module (C_Finalize) so the next test starts from nothing.
    jarnel::PKCS11_shutdown();
    jarnel::PKCS11_startup();
    fault().reset();
    std::error_code ec;
    if (!std::getenv("P11TEST_KEEP")) fs::remove_all(dir_, ec);
  }

  bool init_token(const std::string& label) {
    std::string out = run(std::string(SOFTHSM2_UTIL) + " --init-token --free --label " + label +
                          " --pin " + kPin + " --so-pin " + kSoPin);
    return out.find("has been initialized") != std::string::npos;
  }
  std::string tool(const std::string& args) {
    return run(std::string(PKCS11_TOOL) + " --module " + SOFTHSM_MODULE + " " + args);
  }

  ConnPtr open(const std::string& path) {
    ConnPtr c(jarnel::PKCS11_OBJECT_new());
    if (!c || !jarnel::PKCS11_OBJECT_set_path(c.get(), path.c_str()) ||
        !jarnel::PKCS11_open(c.get()))
      return nullptr;
    return c;
  }

  fs::path dir_;
};

}  // namespace p11test
