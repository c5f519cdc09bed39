// Allocation-failure sweeps: every operation of the table runs with allocation number N failing
// (the library's and OpenSSL's allocations alike), for N = 0, 1, 2, ... until a run needs no more
// allocations than it got. Every run ends in success or in a clean failure: a failure result
// with an error in the queue, no crash, nothing leaked (LeakSanitizer in the asan preset), no
// half-written file, no copy of a key or password in freed memory, and keys masked at rest.
//
// Adding an operation is one row: a name, what to prepare before each run (not counted), the
// run itself (true on success), and what to check and clean up afterwards.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/cms.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/mask.h"
#include "crypto/pse/pse.h"
#include "crypto/r3410/r3410.h"
#include "tests/robust/robust_fixture.h"
#include "tests/robust/sweep.h"
#include "tests/support/mem_watch.h"

namespace robust {
namespace {

using namespace jarnel;

class Sweep : public Fixture {};

TEST_F(Sweep, ContainerGenerateWriteOpen) {
  static constexpr char kMaskPassword[] = "mask password \xd0\xbf";
  CtxPtr ctx;
  std::string path, protected_;
  int serial = 0;
  const Row rows[] = {
      {"container generate",
       [&] { ctx = context(dir("gen")); },
       [&] { return PSE_CTX_generate(ctx.get()) == 1; },
       [&](bool ok) {
         if (ok) {
           expect_masked(PSE_CTX_get_pse(ctx.get()));
           watch_container(ctx.get());  // freeing the context wipes the new keys
         } else {
           EXPECT_EQ(PSE_CTX_get_pse(ctx.get()), nullptr);
         }
         ctx.reset();
       }},
      {"container write",
       [&] {
         path = dir("w" + std::to_string(serial++));
         ctx = context(path);
         ASSERT_EQ(PSE_CTX_generate(ctx.get()), 1);
         watch_container(ctx.get());
       },
       [&] { return PSE_CTX_write(ctx.get()) == 1; },
       [&](bool ok) {
         // All four files or none.
         EXPECT_EQ(container_files(path), ok ? 4 : 0);
         ctx.reset();
       }},
      {"container open",
       [&] {
         ctx = context(container_);
         PSE_CTX_set_flags(ctx.get(), 1);  // the random state is not touched
         watch_container_files();
       },
       [&] { return PSE_CTX_read(ctx.get()) == 1; },
       [&](bool ok) {
         if (ok) expect_masked(PSE_CTX_get_pse(ctx.get()));
         else EXPECT_EQ(PSE_CTX_get_pse(ctx.get()), nullptr);
         expect_container_unchanged();
         ctx.reset();
       }},
      {"container write (protected mask)",
       [&] {
         path = dir("p" + std::to_string(serial++));
         ctx = context(path);
         ASSERT_EQ(PSE_CTX_set_password(ctx.get(), kMaskPassword, 0), 1);
         ASSERT_EQ(PSE_CTX_generate(ctx.get()), 1);
         watch_container(ctx.get());
         mem_watch::watch("mask password", {bytes(kMaskPassword), std::strlen(kMaskPassword)});
       },
       [&] { return PSE_CTX_write(ctx.get()) == 1; },
       [&](bool ok) {
         EXPECT_EQ(container_files(path), ok ? 4 : 0);
         if (ok) protected_ = path;
         ctx.reset();
       },
       mem_watch::Scope::Library, true},
      {"container open (protected mask)",
       [&] {
         ctx = context(protected_);
         PSE_CTX_set_flags(ctx.get(), 1);
         ASSERT_EQ(PSE_CTX_set_password(ctx.get(), kMaskPassword, 0), 1);
         mem_watch::watch("mask password", {bytes(kMaskPassword), std::strlen(kMaskPassword)});
       },
       [&] { return PSE_CTX_read(ctx.get()) == 1; },
       [&](bool ok) {
         if (ok) {
           expect_masked(PSE_CTX_get_pse(ctx.get()));
           watch_container(ctx.get());
         } else {
           EXPECT_EQ(PSE_CTX_get_pse(ctx.get()), nullptr);
         }
         ctx.reset();
       },
       mem_watch::Scope::Library, true},
  };
  for (const auto& row : rows) sweep(row);
}

TEST_F(Sweep, ProtectedBuffer) {
  const std::string secret = "private file contents: the key is 0123456789abcdef";
  const std::string password = "correct horse";
  BufferPtr made(BUFFER_encrypt(bytes(secret), static_cast<int>(secret.size()), CMS_NID_rus_gammar,
                                bytes(password), static_cast<int>(password.size()), 2, 1));
  ASSERT_TRUE(made);
  BufferPtr out;
  auto watch_both = [&] {
    mem_watch::watch("contents", {bytes(secret), secret.size()});
    mem_watch::watch("password", {bytes(password), password.size()});
  };
  auto done = [&](bool ok) {
    if (ok && out) mem_cleanse(out->data, static_cast<std::size_t>(out->length));
    out.reset();
  };
  const Row rows[] = {
      {"buffer encrypt (GOST 28147-89)", watch_both,
       [&] {
         out.reset(BUFFER_encrypt(bytes(secret), static_cast<int>(secret.size()), CMS_NID_rus_gammar,
                                  bytes(password), static_cast<int>(password.size()), 2, 1));
         return out != nullptr;
       },
       done},
      {"buffer encrypt (DES-EDE3)", watch_both,
       [&] {
         out.reset(BUFFER_encrypt(bytes(secret), static_cast<int>(secret.size()), CMS_NID_des_ede3_cbc,
                                  bytes(password), static_cast<int>(password.size()), 2, 1));
         return out != nullptr;
       },
       done},
      {"buffer decrypt", watch_both,
       [&] {
         out.reset(BUFFER_decrypt(made->data, made->length, bytes(password),
                                  static_cast<int>(password.size()), 2));
         return out && out->length == static_cast<int>(secret.size()) &&
                !std::memcmp(out->data, secret.data(), secret.size());
       },
       done},
  };
  for (const auto& row : rows) sweep(row);
}

TEST_F(Sweep, SignaturesAgreementsAndKeyTransport) {
  ECGOST* ec = ecgost_key();
  R3410* k94 = r3410_key();
  ASSERT_TRUE(ec && k94);
  const unsigned char digest[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  static constexpr unsigned char kNonce[32] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93,
                                               0x23, 0x84, 0x62, 0x64, 0x33, 0x83, 0x27, 0x95,
                                               0x02, 0x88, 0x41, 0x97, 0x16, 0x93, 0x99, 0x37,
                                               0x51, 0x05, 0x82, 0x09, 0x74, 0x94, 0x45, 0x92};
  std::vector<unsigned char> ec_sig(static_cast<std::size_t>(ECGOST_size(ec)));
  unsigned ec_len = static_cast<unsigned>(ec_sig.size());
  ASSERT_EQ(ECGOST_sign(ECGOST_SIG_RAW, digest, 32, ec_sig.data(), &ec_len, ec), 1);
  std::vector<unsigned char> sig94(static_cast<std::size_t>(R3410_size(R3410_SIG_RS, k94)));
  unsigned len94 = 0;
  ASSERT_EQ(R3410_sign(R3410_SIG_RS, k94, digest, 32, sig94.data(), &len94), 1);
  // The peer of the agreements and the transport: another key on the same curve.
  EcPtr peer(ECGOST_new(ECGOST_get_curve(ec)));
  ASSERT_TRUE(peer);
  ECGOST_set_paramsets(peer.get(), NID_CP_2001_A, NID_CP_R3411_94_PARAMSET, NID_CP_28147_A);
  ASSERT_TRUE(ECGOST_key_pair_generation(peer.get()));
  unsigned char peer_oct[65];
  ASSERT_EQ(ECPOINT_point2bin(ECGOST_get_public(peer.get()), 0, peer_oct, sizeof peer_oct), 65);
  unsigned char cek[32];
  for (int i = 0; i < 32; ++i) cek[i] = static_cast<unsigned char>(0xC0 + i);
  unsigned char wrapped[512];
  int wrapped_len = sizeof wrapped;
  ASSERT_EQ(ECGOST_key_wrap(ec, cek, wrapped, &wrapped_len), 1);
  R3410* other94 = R3410_new();
  ASSERT_TRUE(other94 && R3410_set_params(other94, R3410_SEL_CP_A) && R3410_generate_key(other94, nullptr, 0));
  unsigned char peer94[128];
  ASSERT_EQ(BN_bn2binpad(other94->y, peer94, 128), 128);
  R3410_free(other94);

  auto watch_keys = [&] {
    mem_watch::watch("GOST R 34.10-2001 private key", {kPrivate, 32});
    mem_watch::watch("GOST R 34.10-94 private key", {kPrivate94, 32});
    mem_watch::watch("content key", {cek, 32});
  };
  EcdhPtr dh;
  Owned<R3410_DH> dh94;
  auto done = [&](bool) {
    dh.reset();
    dh94.reset();
    expect_key_masked(ec);
    expect_key_masked(k94);
  };
  const Row rows[] = {
      {"GOST R 34.10-2001 sign", watch_keys,
       [&] {
         std::vector<unsigned char> sig(ec_sig.size());
         unsigned n = static_cast<unsigned>(sig.size());
         return ECGOST_sign(ECGOST_SIG_RAW, digest, 32, sig.data(), &n, ec) == 1;
       },
       done},
      {"GOST R 34.10-2001 sign (given nonce)",
       [&] {
         ASSERT_EQ(ECGOST_sign_setup(ec, kNonce, sizeof kNonce), 1);
         watch_keys();
         mem_watch::watch("nonce", {kNonce, sizeof kNonce});
       },
       [&] {
         std::vector<unsigned char> sig(ec_sig.size());
         unsigned n = static_cast<unsigned>(sig.size());
         return ECGOST_sign(ECGOST_SIG_RAW, digest, 32, sig.data(), &n, ec) == 1;
       },
       done},
      {"GOST R 34.10-2001 verify", watch_keys,
       [&] { return ECGOST_verify(ECGOST_SIG_RAW, digest, 32, ec_sig.data(), static_cast<int>(ec_len), ec) == 1; },
       done},
      {"GOST R 34.10-94 sign", watch_keys,
       [&] {
         std::vector<unsigned char> sig(sig94.size());
         unsigned n = 0;
         return R3410_sign(R3410_SIG_RS, k94, digest, 32, sig.data(), &n) == 1;
       },
       done},
      {"GOST R 34.10-94 verify", watch_keys,
       [&] { return R3410_verify(R3410_SIG_RS, k94, digest, 32, sig94.data(), static_cast<int>(len94)) == 1; },
       done},
      {"VKO key-encryption key", watch_keys,
       [&] {
         const unsigned char ukm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
         unsigned char kek[32];
         const bool ok = ECGOST_vko_kek(ec, ECGOST_get_public(peer.get()), ukm, kek) == 1;
         mem_cleanse(kek, sizeof kek);
         return ok;
       },
       done},
      {"ECDH shared value",
       [&] {
         dh.reset(ECDH_new(ECGOST_get_curve(ec), 0));
         BnPtr d(BN_bin2bn(kPrivate, 32, BN_secure_new()));
         ASSERT_TRUE(dh && d && ECDH_set_private(dh.get(), d.get()));
         watch_keys();
       },
       [&] {
         unsigned char out[80];
         int outlen = sizeof out;
         const bool ok = ECGOST_DH_compute_key(dh.get(), peer_oct, sizeof peer_oct, out, &outlen) == 1;
         mem_cleanse(out, sizeof out);
         return ok;
       },
       done},
      {"GOST R 34.10-94 Diffie-Hellman",
       [&] {
         dh94.reset(R3410_DH_from_key(k94));
         ASSERT_TRUE(dh94);
         watch_keys();
       },
       [&] {
         unsigned char out[128];
         const bool ok = R3410_DH_compute_key(dh94.get(), peer94, sizeof peer94, out, sizeof out) == 128;
         mem_cleanse(out, sizeof out);
         return ok;
       },
       done},
      {"key wrap", watch_keys,
       [&] {
         unsigned char out[512];
         int n = sizeof out;
         return ECGOST_key_wrap(ec, cek, out, &n) == 1;
       },
       done},
      {"key unwrap", watch_keys,
       [&] {
         unsigned char got[32];
         const bool ok = ECGOST_key_unwrap(ec, wrapped, wrapped_len, got) == 1 && !std::memcmp(got, cek, 32);
         mem_cleanse(got, sizeof got);
         return ok;
       },
       done},
  };
  for (const auto& row : rows) sweep(row);
}

TEST_F(Sweep, TokenFiles) {
  const std::string contents = "token file contents, private: 5ecret-5ecret-5ecret";
  const std::string folder = dir("files");
  ASSERT_TRUE(fs::create_directories(folder));
  for (const char* name : {"a.bin", "b.bin", "c.bin"}) put_file(folder + "/" + name, contents);
  const std::string target = folder + "/new.bin", existing = folder + "/a.bin";
  BufferPtr got;
  const Row rows[] = {
      {"token file write (new)", [&] { std::filesystem::remove(target); },
       [&] {
         return CADB_write_file(target.c_str(), contents.data(), static_cast<int>(contents.size()),
                                kPrivateFile, nullptr) == static_cast<int>(contents.size());
       },
       [&](bool ok) {
         // The whole file or none.
         if (ok) EXPECT_EQ(get_file(target), contents);
         else EXPECT_FALSE(std::filesystem::exists(target));
       }},
      {"token file write (replace)", [&] { put_file(existing, "the old contents"); },
       [&] {
         return CADB_write_file(existing.c_str(), contents.data(), static_cast<int>(contents.size()),
                                0, nullptr) == static_cast<int>(contents.size());
       },
       [&](bool ok) {
         const std::string now = get_file(existing);
         if (ok) EXPECT_EQ(now, contents);
         else EXPECT_TRUE(now == "the old contents" || now == contents) << "half-written: " << now;
         put_file(existing, contents);
       }},
      {"token file read", [&] { mem_watch::watch("private file contents", {bytes(contents), contents.size()}); },
       [&] {
         got.reset(BUFFER_read_file(existing.c_str(), kPrivateFile, nullptr));
         return got && got->length == static_cast<int>(contents.size());
       },
       [&](bool) {
         if (got) mem_cleanse(got->data, static_cast<std::size_t>(got->length));
         got.reset();
       }},
      {"token file list", [] {},
       [&] {
         int seen = 0;
         auto cb = [](const char*, void* arg) {
           ++*static_cast<int*>(arg);
           return 1;
         };
         return CADB_list_directory(folder.c_str(), 0, cb, &seen) == 1 && seen >= 3;
       },
       [](bool) {}},
  };
  for (const auto& row : rows) sweep(row);
}

}  // namespace
}  // namespace robust
