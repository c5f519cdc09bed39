#pragma once
// Shared pieces of the container-context tests: a temporary container folder, file helpers,
// owners, the error queue as a list, and control of the random generator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "crypto/cadb/pse_ctx.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"
#include "platform/entropy.h"

namespace pse_test {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

struct CtxFree {
  void operator()(jarnel::PSE_CTX* c) const { jarnel::PSE_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<jarnel::PSE_CTX, CtxFree>;
struct BufferFree {
  void operator()(jarnel::BUFFER* b) const { jarnel::BUFFER_free(b); }
};
using BufferPtr = std::unique_ptr<jarnel::BUFFER, BufferFree>;

inline Bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline void write_file(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The queue, oldest first; empties it.
inline std::vector<unsigned long> drain_errors() {
  std::vector<unsigned long> out;
  while (unsigned long e = jarnel::ERR_get_error()) out.push_back(e);
  return out;
}
inline bool has_error(const std::vector<unsigned long>& q, int lib, int func, int reason) {
  for (unsigned long e : q)
    if (e == jarnel::ERR_pack(lib, func, reason)) return true;
  return false;
}

// Keys the GOST generator from the system's entropy, or leaves no method selected.
inline void seed_generator() {
  if (jarnel::RAND_get_method()) return;
  unsigned char seed[32];
  ASSERT_TRUE(jarnel::platform::system_entropy(seed, sizeof seed));
  ASSERT_EQ(jarnel::GRAND_start(seed, sizeof seed), 1);
  jarnel::mem_cleanse(seed, sizeof seed);
}
inline void unseed_generator() { jarnel::PSE_rand_cleanup(); }

class ContainerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { jarnel::CADB_startup(); }
  void SetUp() override {
    char tmpl[] = "/tmp/jarnel_pse_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = (root_ / "container").string();
    seed_generator();
    jarnel::ERR_clear_error();
  }
  void TearDown() override {
    jarnel::ERR_clear_error();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path file(const char* name) const { return fs::path(dir_) / name; }

  CtxPtr context(const std::string& path) const {
    CtxPtr ctx(jarnel::PSE_CTX_new());
    EXPECT_TRUE(ctx);
    EXPECT_EQ(jarnel::PSE_CTX_set_path(ctx.get(), path.c_str(), 0), 1);
    return ctx;
  }
  // A new container written at path (the generator must be ready).
  CtxPtr create(const std::string& path, int shares = 8, int sbox = 31,
                const char* password = nullptr) const {
    CtxPtr ctx = context(path);
    EXPECT_EQ(jarnel::PSE_CTX_set_shares(ctx.get(), shares), 1);
    EXPECT_EQ(jarnel::PSE_CTX_set_sbox_number(ctx.get(), sbox), 1);
    if (password) {
      EXPECT_EQ(jarnel::PSE_CTX_set_password(ctx.get(), password, 0), 1);
    }
    EXPECT_EQ(jarnel::PSE_CTX_generate(ctx.get()), 1);
    EXPECT_EQ(jarnel::PSE_CTX_write(ctx.get()), 1);
    return ctx;
  }

  fs::path root_;
  std::string dir_;
};

}  // namespace pse_test
