// Cross-checks against libgcrypt and the OpenSSL GOST provider on random keys and messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include "crypto/mem.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gost_provider.h"
#include "crypto/rus/gosth.h"
#include "crypto/rus/streebog.h"
#include "peers.h"

using namespace jarnel;
using peers::Bytes;

namespace {

struct SboxCase {
  int number;
  const char* oid;  // as libgcrypt names it
};
const SboxCase kSboxes[] = {{23, "1.2.643.2.2.30.0"},
                            {32, "1.2.643.2.2.31.1"},
                            {33, "1.2.643.2.2.31.2"},
                            {34, "1.2.643.2.2.31.3"},
                            {35, "1.2.643.2.2.31.4"}};
const int kLengths[] = {1, 7, 8, 9, 15, 16, 17, 31, 64, 255, 1000, 1023, 1024, 1025, 2048, 3000, 5000};

struct Ctx {
  GOSTE_CTX* c = GOSTE_new();
  ~Ctx() { GOSTE_free(c); }
};

Bytes ours_ecb(const Bytes& key, const unsigned char* sbox, const Bytes& data, int dir) {
  Ctx c;
  EXPECT_TRUE(GOSTE_ss_init(c.c, dir, key.data(), sbox));
  Bytes out(data.size());
  EXPECT_EQ(GOSTE_ss_update(c.c, data.data(), out.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  return out;
}

// Feeds the data in pieces of the given sizes (cycled) through GOSTE_update.
Bytes ours_stream(int (*init)(GOSTE_CTX*, const unsigned char*, const unsigned char*,
                              const unsigned char*),
                  const Bytes& key, const Bytes& iv, const unsigned char* sbox, const Bytes& data,
                  int direction, std::vector<int> pieces = {}) {
  Ctx c;
  EXPECT_TRUE(init(c.c, key.data(), iv.data(), sbox));
  c.c->direction = direction;
  Bytes out(data.size());
  if (pieces.empty()) pieces = {static_cast<int>(data.size())};
  std::size_t off = 0;
  for (std::size_t i = 0; off < data.size(); ++i) {
    int n = std::min<int>(pieces[i % pieces.size()], static_cast<int>(data.size() - off));
    EXPECT_EQ(GOSTE_update(c.c, data.data() + off, out.data() + off, n), n);
    off += static_cast<std::size_t>(n);
  }
  return out;
}

}  // namespace

TEST(GcryptInterop, EcbAllSboxesBothDirections) {
  for (const auto& s : kSboxes) {
    for (int len : {8, 16, 24, 800, 4096}) {
      Bytes key = peers::random_bytes(32), data = peers::random_bytes(static_cast<std::size_t>(len));
      const unsigned char* sb = GOSTE_sbox_by_number(s.number);
      Bytes enc = ours_ecb(key, sb, data, 1);
      EXPECT_EQ(peers::to_hex(enc),
                peers::to_hex(peers::gc_cipher(peers::GcMode::ECB, false, s.oid, key, {}, data, true)))
          << "sbox " << s.number << " len " << len;
      EXPECT_EQ(peers::to_hex(ours_ecb(key, sb, enc, 0)), peers::to_hex(data));
    }
  }
}

TEST(GcryptInterop, CfbWithoutMeshing) {
  for (const auto& s : kSboxes) {
    for (int len : kLengths) {
      Bytes key = peers::random_bytes(32), iv = peers::random_bytes(8);
      Bytes data = peers::random_bytes(static_cast<std::size_t>(len));
      const unsigned char* sb = GOSTE_sbox_by_number(s.number);
      Bytes enc = ours_stream(GOSTE_gamma_fb_init, key, iv, sb, data, 1);
      EXPECT_EQ(peers::to_hex(enc), peers::to_hex(peers::gc_cipher(peers::GcMode::CFB, false, s.oid,
                                                                   key, iv, data, true)))
          << "sbox " << s.number << " len " << len;
      EXPECT_EQ(peers::to_hex(ours_stream(GOSTE_gamma_fb_init, key, iv, sb, enc, 0, {3, 13, 8})),
                peers::to_hex(data));
      EXPECT_EQ(peers::to_hex(ours_stream(GOSTE_gamma_fb_init, key, iv, sb, enc, 0)),
                peers::to_hex(peers::gc_cipher(peers::GcMode::CFB, false, s.oid, key, iv, enc, false)));
    }
  }
}

TEST(GcryptInterop, CryptoProCfbMeshesLikeGcryptInOneCallAndInPieces) {
  const std::vector<std::vector<int>> splits = {{}, {1}, {7, 9}, {1024, 1}, {1000, 48}, {513}};
  for (int s : {32, 33, 34, 35}) {
    const char* oid = kSboxes[s - 31].oid;
    for (int len : {1023, 1024, 1025, 2048, 2049, 5000}) {
      Bytes key = peers::random_bytes(32), iv = peers::random_bytes(8);
      Bytes data = peers::random_bytes(static_cast<std::size_t>(len));
      Bytes ref = peers::gc_cipher(peers::GcMode::CFB, true, oid, key, iv, data, true);
      for (const auto& split : splits) {
        EXPECT_EQ(peers::to_hex(ours_stream(GOSTE_gamma_fb_cp_init, key, iv,
                                            GOSTE_sbox_by_number(s), data, 1, split)),
                  peers::to_hex(ref))
            << "sbox " << s << " len " << len << " pieces " << split.size();
        EXPECT_EQ(peers::to_hex(ours_stream(GOSTE_gamma_fb_cp_init, key, iv,
                                            GOSTE_sbox_by_number(s), ref, 0, split)),
                  peers::to_hex(data));
      }
    }
  }
}

TEST(GcryptInterop, CbcBothDirections) {
  for (const auto& s : kSboxes) {
    Bytes key = peers::random_bytes(32), iv = peers::random_bytes(8);
    Bytes data = peers::random_bytes(8 * 300);
    const unsigned char* sb = GOSTE_sbox_by_number(s.number);
    Ctx e, d;
    ASSERT_TRUE(GOSTE_cbc_init(e.c, 1, key.data(), iv.data(), sb));
    ASSERT_TRUE(GOSTE_cbc_init(d.c, 0, key.data(), iv.data(), sb));
    Bytes enc(data.size()), dec(data.size());
    ASSERT_EQ(GOSTE_update(e.c, data.data(), enc.data(), 800), 800);
    ASSERT_EQ(GOSTE_update(e.c, data.data() + 800, enc.data() + 800, 1600), 1600);
    EXPECT_EQ(peers::to_hex(enc),
              peers::to_hex(peers::gc_cipher(peers::GcMode::CBC, false, s.oid, key, iv, data, true)));
    ASSERT_EQ(GOSTE_update(d.c, enc.data(), dec.data(), 2400), 2400);
    EXPECT_EQ(dec, data);
  }
}

TEST(GcryptInterop, MacOfShortAndLongMessages) {
  for (const auto& s : kSboxes) {
    for (int len : {1, 4, 8, 9, 16, 17, 100, 1024, 1500}) {
      Bytes key = peers::random_bytes(32), data = peers::random_bytes(static_cast<std::size_t>(len));
      unsigned char mac[4];
      ASSERT_NE(GOSTE_mac(nullptr, data.data(), len, key.data(), GOSTE_sbox_by_number(s.number), mac),
                nullptr);
      EXPECT_EQ(peers::to_hex(mac, 4), peers::to_hex(peers::gc_mac(s.oid, key, {}, data)))
          << "sbox " << s.number << " len " << len;
    }
  }
}

TEST(GcryptInterop, MacWithInitialRegister) {
  Bytes key = peers::random_bytes(32), iv = peers::random_bytes(8), data = peers::random_bytes(32);
  Ctx c;
  ASSERT_TRUE(GOSTE_mac_init_iv(c.c, key.data(), iv.data(), GOSTE_sbox_by_number(32)));
  ASSERT_EQ(GOSTE_mac_update(c.c, data.data(), 32), 32);
  unsigned char mac[4];
  ASSERT_EQ(GOSTE_mac_final(c.c, mac, 32), 4);
  EXPECT_EQ(peers::to_hex(mac, 4), peers::to_hex(peers::gc_mac("1.2.643.2.2.31.1", key, iv, data)));
}

TEST(GcryptInterop, HashBothSboxesReversedByteOrder) {
  for (int len : {1, 31, 32, 33, 50, 64, 100, 1000, 4097}) {
    Bytes data = peers::random_bytes(static_cast<std::size_t>(len));
    unsigned char d[32];
    ASSERT_TRUE(GOSTH_digest_ex(data.data(), len, nullptr, GOSTE_test_hash_sbox(), 0, d));
    Bytes ref = peers::gc_hash(false, data);
    std::reverse(ref.begin(), ref.end());
    EXPECT_EQ(peers::to_hex(d, 32), peers::to_hex(ref)) << "test sbox len " << len;
    ASSERT_TRUE(GOSTH_digest_cp(data.data(), len, d));
    ref = peers::gc_hash(true, data);
    std::reverse(ref.begin(), ref.end());
    EXPECT_EQ(peers::to_hex(d, 32), peers::to_hex(ref)) << "cp len " << len;
  }
}

TEST(GcryptInterop, EmptyMessageMatchesOnlyWithTheCryptoProInitialiser) {
  unsigned char d[32];
  ASSERT_TRUE(GOSTH_digest_ex("", 0, nullptr, GOSTE_cp_hash_sbox(), 1, d));
  Bytes ref = peers::gc_hash(true, {});
  std::reverse(ref.begin(), ref.end());
  EXPECT_EQ(peers::to_hex(d, 32), peers::to_hex(ref));
  ASSERT_TRUE(GOSTH_digest_ex("", 0, nullptr, GOSTE_cp_hash_sbox(), 0, d));
  EXPECT_NE(peers::to_hex(d, 32), peers::to_hex(ref));
}

// KEK diversification rebuilt from libgcrypt's CFB: the same steps over an independent cipher.
TEST(GcryptInterop, KekDiversificationMatchesGcryptComposition) {
  for (int s : {32, 33, 34, 35}) {
    Bytes kek = peers::random_bytes(32), ukm = peers::random_bytes(8);
    unsigned char out[32];
    ASSERT_NE(GOSTE_kek_diversify(ukm.data(), kek.data(), out, GOSTE_sbox_by_number(s)), nullptr);
    Bytes k(kek.rbegin(), kek.rend());
    for (int i = 0; i < 8; ++i) {
      uint32_t s1 = 0, s2 = 0;
      for (int j = 0; j < 8; ++j) {
        uint32_t w = k[4 * j] | (k[4 * j + 1] << 8) | (k[4 * j + 2] << 16) |
                     (static_cast<uint32_t>(k[4 * j + 3]) << 24);
        ((ukm[i] >> j) & 1 ? s1 : s2) += w;
      }
      Bytes iv(8);
      for (int b = 0; b < 4; ++b) {
        iv[b] = static_cast<unsigned char>(s1 >> (8 * b));
        iv[4 + b] = static_cast<unsigned char>(s2 >> (8 * b));
      }
      k = peers::gc_cipher(peers::GcMode::CFB, false, kSboxes[s - 31].oid, k, iv, k, true);
    }
    EXPECT_EQ(peers::to_hex(out, 32), peers::to_hex(k));
  }
}

// The CryptoPro key wrap rebuilt from libgcrypt: ECB and the imitation insert with register UKM
// under the diversified KEK.
TEST(GcryptInterop, KeyWrapMatchesGcryptComposition) {
  for (int s : {32, 35}) {
    Bytes kek = peers::random_bytes(32), ukm = peers::random_bytes(8), cek = peers::random_bytes(32);
    unsigned char enc[32], mac[4], kek2[32];
    ASSERT_TRUE(GOSTE_cp_key_wrap(kek.data(), ukm.data(), cek.data(), GOSTE_sbox_by_number(s), enc, mac));
    ASSERT_NE(GOSTE_kek_diversify(ukm.data(), kek.data(), kek2, GOSTE_sbox_by_number(s)), nullptr);
    Bytes k2(kek2, kek2 + 32);
    const char* oid = kSboxes[s - 31].oid;
    EXPECT_EQ(peers::to_hex(enc, 32),
              peers::to_hex(peers::gc_cipher(peers::GcMode::ECB, false, oid, k2, {}, cek, true)));
    EXPECT_EQ(peers::to_hex(mac, 4), peers::to_hex(peers::gc_mac(oid, k2, ukm, cek)));
  }
}

// ---- OpenSSL GOST provider ----------------------------------------------------------------

class GostProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!peers::gp_available()) GTEST_SKIP() << "gostprov not available";
  }
};

TEST_F(GostProvider, CryptoProCfbWithMeshing) {
  for (int len : kLengths) {
    Bytes key = peers::random_bytes(32), iv = peers::random_bytes(8);
    Bytes data = peers::random_bytes(static_cast<std::size_t>(len));
    Bytes ref = peers::gp_cipher("gost89", key, iv, data, true, {100, 924, 1});
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(peers::to_hex(ours_stream(GOSTE_gamma_fb_cp_init, key, iv, nullptr, data, 1, {333})),
              peers::to_hex(ref))
        << "len " << len;
  }
}

TEST_F(GostProvider, CounterModeUpToTheFirstMeshingPoint) {
  // The provider's counter mode meshes its key every 1024 bytes; plain gamma does not.
  for (int len : {1, 5, 8, 13, 16, 100, 1000, 1024}) {
    Bytes key = peers::random_bytes(32), iv = peers::random_bytes(8);
    Bytes data = peers::random_bytes(static_cast<std::size_t>(len));
    Bytes ref = peers::gp_cipher("gost89-cnt", key, iv, data, true);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(peers::to_hex(ours_stream(GOSTE_gamma_init, key, iv, GOSTE_sbox_by_number(32), data,
                                        1, {3, 10})),
              peers::to_hex(ref))
        << "len " << len;
  }
}

TEST_F(GostProvider, CounterModeWithMeshingBitsSet) {
  Bytes key = peers::random_bytes(32), iv = peers::random_bytes(8);
  Bytes data = peers::random_bytes(4000);
  Bytes ref = peers::gp_cipher("gost89-cnt", key, iv, data, true);
  Ctx c;
  ASSERT_TRUE(GOSTE_gamma_init(c.c, key.data(), iv.data(), GOSTE_sbox_by_number(32)));
  c.c->mode |= GOSTE_MODE_MESH | GOSTE_MODE_MESH_IV;
  Bytes out(data.size());
  ASSERT_EQ(GOSTE_update(c.c, data.data(), out.data(), 4000), 4000);
  // Equal up to the first meshing point in any case; record how far the two agree.
  std::size_t same = 0;
  while (same < out.size() && out[same] == ref[same]) ++same;
  EXPECT_GE(same, 1024u);
}

TEST_F(GostProvider, MacMeshesEvery1024Bytes) {
  for (int len : {1, 8, 16, 1024, 1025, 3000}) {
    Bytes key = peers::random_bytes(32), data = peers::random_bytes(static_cast<std::size_t>(len));
    Bytes ref = peers::gp_mac("gost-mac", key, data);
    ASSERT_EQ(ref.size(), 4u);
    Ctx c;
    ASSERT_TRUE(GOSTE_mac_init(c.c, key.data(), GOSTE_sbox_by_number(32)));
    c.c->mode |= GOSTE_MODE_MESH;
    ASSERT_EQ(GOSTE_update(c.c, data.data(), nullptr, len), len);
    unsigned char mac[4];
    ASSERT_EQ(GOSTE_mac_final(c.c, mac, 32), 4);
    EXPECT_EQ(peers::to_hex(mac, 4), peers::to_hex(ref)) << "len " << len;
  }
}

TEST_F(GostProvider, CryptoProDigest) {
  for (int len : {1, 32, 33, 1000}) {
    Bytes data = peers::random_bytes(static_cast<std::size_t>(len));
    Bytes ref = peers::gp_digest("md_gost94", data);
    ASSERT_EQ(ref.size(), 32u);
    std::reverse(ref.begin(), ref.end());
    unsigned char d[32];
    ASSERT_TRUE(GOSTH_digest_cp(data.data(), len, d));
    EXPECT_EQ(peers::to_hex(d, 32), peers::to_hex(ref)) << "len " << len;
  }
}

// GOST R 34.11-2012 against libgcrypt: every length up to 300 bytes (every padding position and
// the block boundaries 64, 128, 192, 256), fed whole and in random pieces.
TEST(GcryptInterop, StreebogEveryLengthWholeAndInRandomPieces) {
  std::mt19937 rng(2012);
  for (int bits : {256, 512}) {
    for (std::size_t len = 0; len <= 300; ++len) {
      Bytes data = peers::random_bytes(len);
      const Bytes ref = peers::gc_streebog(bits, data);
      unsigned char d[64];
      ASSERT_EQ(STREEBOG_digest(bits, data.data(), data.size(), d), bits / 8);
      EXPECT_EQ(peers::to_hex(d, ref.size()), peers::to_hex(ref)) << bits << " len " << len;
      STREEBOG_CTX ctx;
      ASSERT_TRUE(STREEBOG_init(&ctx, bits));
      for (std::size_t off = 0; off < len;) {
        const std::size_t n = std::min<std::size_t>(rng() % 80, len - off);
        ASSERT_TRUE(STREEBOG_update(&ctx, data.data() + off, n));
        off += n;
      }
      ASSERT_EQ(STREEBOG_final(&ctx, d), bits / 8);
      EXPECT_EQ(peers::to_hex(d, ref.size()), peers::to_hex(ref)) << bits << " pieces, len " << len;
    }
  }
}

// HMAC (OpenSSL's, over the provider's digest) and PBKDF2 over it against libgcrypt's own, with
// keys shorter than, equal to and longer than the 64-byte block.
TEST(GcryptInterop, StreebogHmacAndPbkdf2ThroughTheProvider) {
  ASSERT_TRUE(GOST_register_algorithms());
  EVP_MAC* mac = EVP_MAC_fetch(GOST_libctx(), "HMAC", nullptr);
  EVP_KDF* kdf = EVP_KDF_fetch(GOST_libctx(), "PBKDF2", nullptr);
  ASSERT_TRUE(mac && kdf);
  for (int bits : {256, 512}) {
    char name[16];
    std::snprintf(name, sizeof name, "STREEBOG-%d", bits);
    for (std::size_t keylen : {0u, 1u, 32u, 63u, 64u, 65u, 200u}) {
      const Bytes key = peers::random_bytes(keylen), msg = peers::random_bytes(keylen * 3 + 1);
      OSSL_PARAM p[] = {OSSL_PARAM_utf8_string(OSSL_MAC_PARAM_DIGEST, name, 0), OSSL_PARAM_END};
      EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
      Bytes out(64);
      std::size_t n = 0;
      static const unsigned char kNone = 0;
      ASSERT_EQ(EVP_MAC_init(ctx, keylen ? key.data() : &kNone, keylen, p), 1);
      ASSERT_EQ(EVP_MAC_update(ctx, msg.data(), msg.size()), 1);
      ASSERT_EQ(EVP_MAC_final(ctx, out.data(), &n, out.size()), 1);
      EVP_MAC_CTX_free(ctx);
      out.resize(n);
      EXPECT_EQ(peers::to_hex(out), peers::to_hex(peers::gc_hmac_streebog(bits, key, msg)))
          << name << " key " << keylen;
    }
    for (int iter : {1, 2, 1000}) {
      const Bytes pass = peers::random_bytes(9), salt = peers::random_bytes(8);
      Bytes out(100);  // more than one block of output
      OSSL_PARAM p[] = {
          OSSL_PARAM_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<unsigned char*>(pass.data()), pass.size()),
          OSSL_PARAM_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt.data()), salt.size()),
          OSSL_PARAM_int(OSSL_KDF_PARAM_ITER, &iter), OSSL_PARAM_utf8_string(OSSL_KDF_PARAM_DIGEST, name, 0),
          OSSL_PARAM_END};
      EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
      ASSERT_EQ(EVP_KDF_derive(ctx, out.data(), out.size(), p), 1);
      EVP_KDF_CTX_free(ctx);
      EXPECT_EQ(peers::to_hex(out),
                peers::to_hex(peers::gc_pbkdf2_streebog(bits, pass, salt, static_cast<unsigned long>(iter), 100)))
          << name << " iterations " << iter;
    }
  }
  EVP_MAC_free(mac);
  EVP_KDF_free(kdf);
}
