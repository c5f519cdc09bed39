#pragma once
// The GOST test module as tests see it: a fresh token folder per test (PKCS11GOST_DIR), the
// module's own function list and switches, and a PIN call-back for the library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace gosttest {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

struct GostModule {
  void* handle = nullptr;
  CK_FUNCTION_LIST_PTR f = nullptr;
  int (*control)(const char*) = nullptr;
  long (*calls)(const char*) = nullptr;
  bool load() {
    if (f) return true;
    handle = dlopen(SIM_DIR "/libpkcs11gost.so", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return false;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    control = reinterpret_cast<decltype(control)>(dlsym(handle, "P11GOST_control"));
    calls = reinterpret_cast<decltype(calls)>(dlsym(handle, "P11GOST_calls"));
    return get && control && calls && get(&f) == CKR_OK;
  }
};
inline GostModule& module() {
  static GostModule m;
  return m;
}

// A fresh token folder (not created: the module makes it) for the test.
class TokenDir {
 public:
  TokenDir() {
    char tmpl[] = "/tmp/jarnel-p11gost-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    setenv("PKCS11GOST_DIR", (dir_ / "token").c_str(), 1);
  }
  ~TokenDir() {
    std::error_code ec;
    if (!std::getenv("P11TEST_KEEP")) fs::remove_all(dir_, ec);
  }
  const fs::path& path() const { return dir_; }

 private:
  fs::path dir_;
};

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

inline Bytes reversed(const unsigned char* p, std::size_t n) {
  return Bytes(std::reverse_iterator(p + n), std::reverse_iterator(p));
}

inline Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace gosttest
