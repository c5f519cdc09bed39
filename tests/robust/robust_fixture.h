#pragma once
// Shared pieces of the allocation-failure sweeps and the wiping checks: a temporary folder with
// one key container written at start, fixed keys of both signature schemes, owners, file
// helpers, and the checks that keys are masked and that container files did not change.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/mask.h"
#include "crypto/pse/pse.h"
#include "crypto/r3410/r3410.h"
#include "crypto/startup.h"
#include "tests/support/mem_watch.h"

namespace robust {

namespace fs = std::filesystem;

struct CtxFree {
  void operator()(jarnel::PSE_CTX* c) const { jarnel::PSE_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<jarnel::PSE_CTX, CtxFree>;
struct BufferFree {
  void operator()(jarnel::BUFFER* b) const { jarnel::BUFFER_free(b); }
};
using BufferPtr = std::unique_ptr<jarnel::BUFFER, BufferFree>;
using EcPtr = jarnel::Owned<jarnel::ECGOST>;
using EcdhPtr = jarnel::Owned<jarnel::ECDH>;

// The open flag of a private (PIN-protected) token file.
inline constexpr std::uint32_t kPrivateFile = 2;

inline const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

inline constexpr unsigned char kPrivate[32] = {
    0x1c, 0x3f, 0x52, 0x61, 0x7a, 0x0b, 0x9e, 0x44, 0x15, 0x26, 0x37, 0x48, 0x59, 0x6a, 0x7b, 0x8c,
    0x9d, 0xae, 0xbf, 0xc0, 0xd1, 0xe2, 0xf3, 0x04, 0x15, 0x26, 0x37, 0x48, 0x59, 0x6a, 0x7b, 0x8c};
inline constexpr unsigned char kPrivate94[32] = {
    0x2b, 0x61, 0x07, 0x93, 0x4e, 0xd0, 0x38, 0xc5, 0x71, 0x1f, 0xa2, 0x5d, 0x86, 0x3c, 0xe9, 0x04,
    0xb7, 0x52, 0x6e, 0x19, 0xf0, 0x8d, 0x33, 0xca, 0x47, 0x95, 0x0e, 0x6b, 0xd2, 0x28, 0x7f, 0x01};

inline void put_file(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}
inline std::string get_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The private value of a key in the plain state is held masked.
inline void expect_key_masked(const jarnel::ECGOST* key) {
  ASSERT_NE(key->d, nullptr);
  EXPECT_TRUE(jarnel::MASK_BN_is_masked(key->d));
}
inline void expect_key_masked(const jarnel::R3410* key) {
  ASSERT_NE(key->x.value, nullptr);
  EXPECT_TRUE(jarnel::MASK_BN_is_masked(key->x.value));
}
inline void expect_masked(jarnel::PSE* pse) {
  ASSERT_NE(pse, nullptr);
  EXPECT_TRUE(jarnel::MASK_key_is_masked(&pse->mkey));
  EXPECT_TRUE(jarnel::MASK_key_is_masked(&pse->kek));
}

class Fixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    jarnel::jarnel_process_attach();
    mem_watch::install_library();
  }
  void SetUp() override {
    char tmpl[] = "/tmp/jarnel_robust_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    container_ = dir("container");
    CtxPtr made = context(container_);
    ASSERT_EQ(jarnel::PSE_CTX_generate(made.get()), 1);
    ASSERT_EQ(jarnel::PSE_CTX_write(made.get()), 1);
    jarnel::PSE* pse = jarnel::PSE_CTX_get_pse(made.get());
    ASSERT_TRUE(pse);
    ASSERT_TRUE(jarnel::MASK_key_get(&pse->mkey, master_key_));
    ASSERT_TRUE(jarnel::MASK_key_get(&pse->kek, kek_));
    for (const char* f : kFiles) snapshot_.push_back(get_file(container_ + "/" + f));
    jarnel::ERR_clear_error();
  }
  void TearDown() override {
    mem_watch::unwatch();
    jarnel::mem_cleanse(master_key_, sizeof master_key_);
    jarnel::mem_cleanse(kek_, sizeof kek_);
    jarnel::ERR_clear_error();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  std::string dir(const std::string& name) const { return (root_ / name).string(); }

  CtxPtr context(const std::string& path) const {
    CtxPtr ctx(jarnel::PSE_CTX_new());
    EXPECT_TRUE(ctx);
    if (ctx) {
      EXPECT_EQ(jarnel::PSE_CTX_set_path(ctx.get(), path.c_str(), 0), 1);
    }
    return ctx;
  }

  // The master key and KEK of a generated container are looked for in freed memory.
  void watch_container(jarnel::PSE_CTX* ctx) {
    jarnel::PSE* pse = jarnel::PSE_CTX_get_pse(ctx);
    ASSERT_TRUE(pse);
    unsigned char key[32];
    ASSERT_TRUE(jarnel::MASK_key_get(&pse->mkey, key));
    mem_watch::watch("master key", {key, 32});
    ASSERT_TRUE(jarnel::MASK_key_get(&pse->kek, key));
    mem_watch::watch("KEK", {key, 32});
    jarnel::mem_cleanse(key, sizeof key);
  }
  // The same for the container written at start.
  void watch_container_files() {
    mem_watch::watch("master key", {master_key_, 32});
    mem_watch::watch("KEK", {kek_, 32});
  }
  void expect_container_unchanged() const {
    for (std::size_t i = 0; i < std::size(kFiles); ++i)
      EXPECT_EQ(get_file(container_ + "/" + kFiles[i]), snapshot_[i]) << kFiles[i] << " changed";
  }
  static int container_files(const std::string& path) {
    int n = 0;
    for (const char* f : {"mk.db3", "masks.db3", "kek.opq", "rand.opq"})
      n += fs::exists(fs::path(path) / f) ? 1 : 0;
    return n;
  }

  jarnel::ECGOST* ecgost_key() {
    if (!ec_) {
      jarnel::ECURVE* curve = jarnel::ECURVE_by_number(jarnel::ECURVE_CP_A);
      ec_.reset(jarnel::ECGOST_new(curve));
      jarnel::ECURVE_free(curve);
      if (!ec_) return nullptr;
      jarnel::ECGOST_set_paramsets(ec_.get(), jarnel::NID_CP_2001_A,
                                   jarnel::NID_CP_R3411_94_PARAMSET, jarnel::NID_CP_28147_A);
      jarnel::BnPtr d(BN_bin2bn(kPrivate, 32, BN_secure_new()));
      if (!d || !jarnel::ECGOST_set_private(ec_.get(), d.get()) ||
          !jarnel::ECGOST_generate_pubkey(ec_.get()))
        ec_.reset();
    }
    return ec_.get();
  }
  jarnel::R3410* r3410_key() {
    if (!k94_) {
      k94_.reset(jarnel::R3410_new());
      if (!k94_ || !jarnel::R3410_set_params(k94_.get(), jarnel::R3410_SEL_CP_A) ||
          !jarnel::R3410_set_private_key(k94_.get(), kPrivate94, 32) ||
          !jarnel::R3410_generate_pubkey(k94_.get()))
        k94_.reset();
    }
    return k94_.get();
  }

  static constexpr const char* kFiles[] = {"mk.db3", "masks.db3", "kek.opq"};
  fs::path root_;
  std::string container_;
  std::vector<std::string> snapshot_;
  unsigned char master_key_[32] = {};
  unsigned char kek_[32] = {};
  EcPtr ec_;
  jarnel::Owned<jarnel::R3410> k94_;
};

}  // namespace robust
