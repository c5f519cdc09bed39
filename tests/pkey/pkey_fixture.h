#pragma once
// Shared pieces of the private-key tests: a container in a temporary folder and helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/cadb/pkey.h"
#include "crypto/cadb/pkey_local.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rus/gosth.h"
#include "tests/pse/ctx_fixture.h"

namespace pkey_test {

using pse_test::Bytes;
using pse_test::drain_errors;
using pse_test::has_error;

struct PkeyFree {
  void operator()(jarnel::PKEY* k) const { jarnel::PKEY_free(k); }
};
using PkeyPtr = std::unique_ptr<jarnel::PKEY, PkeyFree>;
struct PkeyCtxFree {
  void operator()(jarnel::PKEY_CTX* c) const { jarnel::PKEY_CTX_free(c); }
};
using PkeyCtxPtr = std::unique_ptr<jarnel::PKEY_CTX, PkeyCtxFree>;

// A password call-back handing out the text at u (a std::string).
inline int string_password(char* buf, int size, int, void* u) {
  const auto* s = static_cast<const std::string*>(u);
  if (static_cast<int>(s->size()) > size) return -1;
  std::memcpy(buf, s->data(), s->size());
  return static_cast<int>(s->size());
}

inline Bytes bytes_of(const jarnel::BUFFER* b) {
  return b && b->data ? Bytes(b->data, b->data + b->length) : Bytes{};
}

// GOST R 34.11-94 (CryptoPro) of some fixed text, the digest the tests sign.
inline Bytes test_digest() {
  Bytes d(32);
  static const char kText[] = "private-key record test";
  EXPECT_TRUE(jarnel::GOSTH_digest_cp(kText, sizeof kText - 1, d.data()));
  return d;
}

// Signs with a and verifies with b (the digest form each type takes).
inline bool sign_verify(jarnel::PKEY* a, jarnel::PKEY* b) {
  Bytes dg = test_digest(), sig(1024);
  int type = jarnel::ECGOST_SIG_CP;
  if (a->key->r3410) type = jarnel::R3410_SIG_CRYPTOPRO;
  if (a->key->evp) dg.resize(20);
  unsigned n = static_cast<unsigned>(sig.size());
  if (!jarnel::PKEY_KEY_sign(a->key, type, dg.data(), static_cast<int>(dg.size()), sig.data(), &n))
    return false;
  return jarnel::PKEY_KEY_verify(b->key, type, dg.data(), static_cast<int>(dg.size()), sig.data(),
                                 static_cast<int>(n)) == 1;
}

class KeyTest : public pse_test::ContainerTest {
 protected:
  void SetUp() override {
    ContainerTest::SetUp();
    pse_ = create(dir_);
  }
  jarnel::PSE* pse() const { return jarnel::PSE_CTX_get_pse(pse_.get()); }
  PkeyCtxPtr key_context() const {
    PkeyCtxPtr k(jarnel::PKEY_CTX_new());
    EXPECT_TRUE(k);
    EXPECT_EQ(jarnel::PKEY_CTX_set_pse(k.get(), pse()), 1);
    return k;
  }
  std::string key_file() const {
    char p[jarnel::CADB_PATH_BUF];
    EXPECT_EQ(jarnel::PKEY_key_file_path(dir_.c_str(), 1, p), 1);
    std::string s = p;
    for (char& c : s)
      if (c == '\\') c = '/';
    return s;
  }

  pse_test::CtxPtr pse_;
};

}  // namespace pkey_test
