// Cross-checks against libgcrypt and the OpenSSL GOST provider on random keys and messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "crypto/mem.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gosth.h"
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
