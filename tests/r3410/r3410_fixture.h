#pragma once
// Shared helpers of the GOST R 34.10-94 tests: library start-up, the error queue as a list,
// hex conversion and keys on a named set.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <string>
#include <tuple>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"
#include "crypto/startup.h"

namespace jarnel::test {

using Bytes = std::vector<unsigned char>;

inline Bytes hex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

inline Bytes bn_bytes(const BIGNUM* b, int len) {
  Bytes out(static_cast<std::size_t>(len));
  EXPECT_EQ(BN_bn2binpad(b, out.data(), len), len);
  return out;
}

struct Entry {
  int lib, func, reason, line;
  bool operator==(const Entry&) const = default;
};

// Empties the queue into a list, oldest first.
inline std::vector<Entry> drain_errors() {
  std::vector<Entry> out;
  const char* file = nullptr;
  int line = 0;
  while (unsigned long e = ERR_get_error_line(&file, &line))
    out.push_back({ERR_get_lib(e), ERR_get_func(e), ERR_get_reason(e), line});
  return out;
}

inline bool has_error(const std::vector<Entry>& q, int lib, int func, int reason) {
  for (const Entry& e : q)
    if (e.lib == lib && e.func == func && e.reason == reason) return true;
  return false;
}

struct KeyDeleter {
  void operator()(R3410* k) const { R3410_free(k); }
};
using KeyPtr = std::unique_ptr<R3410, KeyDeleter>;

class R3410Test : public ::testing::Test {
 protected:
  // The library is started and the generator keyed by the suite's environment (SEEDED).
  static void SetUpTestSuite() { CADB_startup(); }
  void SetUp() override { ERR_clear_error(); }
  void TearDown() override { ERR_clear_error(); }

  // A key on the set of selector with a key pair generated from seed (or at random).
  static KeyPtr make_key(int selector, const Bytes& seed = {}) {
    KeyPtr key(R3410_new());
    EXPECT_TRUE(key);
    EXPECT_EQ(R3410_set_params(key.get(), selector), 1);
    EXPECT_EQ(R3410_generate_key(key.get(), seed.empty() ? nullptr : seed.data(),
                                 static_cast<int>(seed.size())),
              1);
    return key;
  }
};

}  // namespace jarnel::test
