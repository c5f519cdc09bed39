#pragma once
// A simulated token folder for the whole suite, the drivers loaded from the simulators, and
// helpers that prepare and inspect the tokens through the simulators' store.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "crypto/bio/bio.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"
#include "crypto/err/err.h"
#include "crypto/startup.h"
#include "sim/tokens/store.h"

namespace tokentest {

struct Err {
  int lib, func, reason;
  bool operator==(const Err&) const = default;
};
inline std::ostream& operator<<(std::ostream& o, const Err& e) {
  return o << "(" << e.lib << ", " << e.func << ", " << e.reason << ")";
}

// The calling thread's error queue, oldest first; empties it.
inline std::vector<Err> drain() {
  std::vector<Err> out;
  unsigned long e;
  while ((e = jarnel::ERR_get_error()) != 0)
    out.push_back({jarnel::ERR_get_lib(e), jarnel::ERR_get_func(e), jarnel::ERR_get_reason(e)});
  return out;
}
inline bool has(const std::vector<Err>& errs, Err e) {
  for (const auto& x : errs)
    if (x == e) return true;
  return false;
}

class TokenTest : public ::testing::Test {
 protected:
  explicit TokenTest(const sim::Kind& kind, const char* reader) : store_(kind), reader_(reader) {}

  static void SetUpTestSuite() {
    static std::string dir;
    if (dir.empty()) {
      char tmpl[] = "/tmp/jarnel-token-XXXXXX";
      dir = ::mkdtemp(tmpl);
      ::setenv("JARNEL_SIM_DIR", dir.c_str(), 1);
      ::setenv("JARNEL_LIBRARY_PATH", JARNEL_SIM_LIB_DIR, 1);
      jarnel::CADB_startup();
      std::atexit([] { std::filesystem::remove_all(dir); });
    }
  }

  void SetUp() override {
    store_.with([](sim::State& s) {
      s = sim::State{};
      return 0;
    });
    insert(reader_);
    jarnel::ERR_clear_error();
  }

  void insert(const std::string& reader) {
    const sim::Kind& kind = store_.kind();
    store_.with([&](sim::State& s) {
      sim::Token* t = s.find(reader);
      if (!t) {
        s.tokens.push_back(sim::Token{});
        t = &s.tokens.back();
        t->reader = reader;
        t->pin = kind.default_pin;
        t->retries = kind.max_retries;
      }
      t->present = true;
      ++t->insertion;
      return 0;
    });
  }
  void remove(const std::string& reader) {
    store_.with([&](sim::State& s) {
      s.find(reader)->present = false;
      return 0;
    });
  }
  void set_pin(const std::string& pin, int retries) {
    store_.with([&](sim::State& s) {
      s.find(reader_)->pin = pin;
      s.find(reader_)->retries = retries;
      return 0;
    });
  }
  int retries() {
    return store_.with([&](sim::State& s) { return s.find(reader_)->retries; });
  }
  // The nth call of fn from now returns code.
  void fail(const std::string& fn, long n, std::uint32_t code) {
    store_.with([&](sim::State& s) {
      s.faults[fn].push_back({s.calls[fn] + n, code});
      return 0;
    });
  }
  long calls(const std::string& fn) {
    return store_.with([&](sim::State& s) { return s.calls[fn]; });
  }
  // The node at an identifier path below the root ("1001/2002"), on reader (default: ours).
  std::optional<sim::Node> node(const std::string& path, std::string reader = {}) {
    if (reader.empty()) reader = reader_;
    return store_.with([&](sim::State& s) -> std::optional<sim::Node> {
      sim::Token* t = s.find(reader);
      if (!t) return std::nullopt;
      auto it = t->nodes.find(path);
      if (it == t->nodes.end()) return std::nullopt;
      return it->second;
    });
  }
  std::optional<std::string> contents(const std::string& path, std::string reader = {}) {
    auto n = node(path, std::move(reader));
    if (!n || n->directory) return std::nullopt;
    return std::string(n->data.begin(), n->data.end());
  }

  // 1 when the whole of data was written, else 0.
  static int write(const std::string& path, const std::string& data, std::uint32_t flags = 0,
                   void* arg = nullptr) {
    int n = jarnel::CADB_write_file(path.c_str(), data.data(), static_cast<int>(data.size()),
                                    flags, arg);
    return n == static_cast<int>(data.size()) ? 1 : 0;
  }
  static std::optional<std::string> read(const std::string& path, std::uint32_t flags = 0,
                                         void* arg = nullptr) {
    jarnel::BUFFER* b = jarnel::BUFFER_read_file(path.c_str(), flags, arg);
    if (!b) return std::nullopt;
    std::string out(reinterpret_cast<char*>(b->data), static_cast<std::size_t>(b->length));
    jarnel::BUFFER_free(b);
    return out;
  }

  sim::Store store_;
  std::string reader_;
};

}  // namespace tokentest
