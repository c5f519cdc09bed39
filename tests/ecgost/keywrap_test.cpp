// The VKO key-encryption key, the CryptoPro key transport and the curve-table integrity check.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <vector>

#include "crypto/check/check.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ec_selftest.h"
#include "crypto/err/err.h"
#include "crypto/rus/gosth.h"
#include "test_util.h"

using namespace jarnel;
using namespace ectest;


TEST(EcgostKek, IsTheReversedCryptoProDigestOfTheVkoPoint) {
  Key a = cp_key(NID_CP_2001_A), b = cp_key(NID_CP_2001_A);
  const unsigned char ukm[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  unsigned char k1[32], k2[32];
  ASSERT_TRUE(ECGOST_vko_kek(a.get(), ECGOST_get_public(b.get()), ukm, k1));
  ASSERT_TRUE(ECGOST_vko_kek(b.get(), ECGOST_get_public(a.get()), ukm, k2));
  EXPECT_EQ(std::memcmp(k1, k2, 32), 0);
  // By hand: the UKM read little-endian, the point X_le || Y_le, the hash value in memory order.
  Bn u(BN_lebin2bn(ukm, 8, nullptr));
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Point p(ECPOINT_new(c.get()));
  ASSERT_TRUE(ECGOST_vko_point(p.get(), ECGOST_get_public(b.get()), u.get(), a.get()));
  unsigned char le[64], h[32];
  ASSERT_EQ(ECPOINT_point2le(p.get(), le, 64), 64);
  ASSERT_TRUE(GOSTH_digest_cp(le, 64, h));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(k1[i], h[31 - i]);
  // Another UKM, another KEK.
  const unsigned char ukm2[8] = {0x02};
  ASSERT_TRUE(ECGOST_vko_kek(a.get(), ECGOST_get_public(b.get()), ukm2, k2));
  EXPECT_NE(std::memcmp(k1, k2, 32), 0);
}

TEST(EcgostKeyWrap, RoundTripOnEveryParameterSet) {
  for (int ps : {NID_CP_2001_A, NID_CP_2001_B, NID_CP_2001_C, NID_CP_2001_XCHA, NID_CP_2001_XCHB}) {
    Key r = cp_key(ps);
    unsigned char cek[32], got[32];
    for (int i = 0; i < 32; ++i) cek[i] = static_cast<unsigned char>(i * 9 + ps);
    int len = 0;
    ASSERT_TRUE(ECGOST_key_wrap(r.get(), cek, nullptr, &len)) << ps;
    std::vector<unsigned char> der(static_cast<std::size_t>(len));
    ASSERT_TRUE(ECGOST_key_wrap(r.get(), cek, der.data(), &len));
    ASSERT_TRUE(ECGOST_key_unwrap(r.get(), der.data(), len, got)) << ps;
    EXPECT_EQ(std::memcmp(cek, got, 32), 0);
    // Another recipient cannot unwrap it.
    Key other = cp_key(ps);
    ERR_clear_error();
    EXPECT_FALSE(ECGOST_key_unwrap(other.get(), der.data(), len, got));
    EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_KEY_UNWRAP, ECGOST_R_KEY_UNWRAP_FAILED));
  }
}

TEST(EcgostKeyWrap, DamagedTransportIsRefused) {
  Key r = cp_key(NID_CP_2001_A);
  unsigned char cek[32] = {1, 2, 3}, got[32];
  int len = 512;
  std::vector<unsigned char> der(512);
  ASSERT_TRUE(ECGOST_key_wrap(r.get(), cek, der.data(), &len));
  der.resize(static_cast<std::size_t>(len));
  // Layout: 30 L | 30 2A 04 20 <enc 32> 04 04 <mac 4> | A0 ... 04 08 <ukm 8>
  const std::size_t hdr = der[1] < 0x80 ? 2 : 2 + (der[1] & 0x7F);
  ASSERT_EQ(der[hdr], 0x30);
  ASSERT_EQ(der[hdr + 2], 0x04);
  const std::size_t enc = hdr + 4, mac = enc + 32 + 2, ukm = der.size() - 8;
  struct Case {
    const char* name;
    std::size_t pos;
  } flips[] = {{"encrypted key", enc + 5}, {"MAC", mac + 1}, {"UKM", ukm + 3},
               {"ephemeral key", ukm - 20}};
  for (const Case& cs : flips) {
    auto bad = der;
    bad[cs.pos] ^= 0x01;
    ERR_clear_error();
    EXPECT_FALSE(ECGOST_key_unwrap(r.get(), bad.data(), static_cast<int>(bad.size()), got)) << cs.name;
  }
  for (std::size_t n = 0; n < der.size(); n += 7) {
    EXPECT_FALSE(ECGOST_key_unwrap(r.get(), der.data(), static_cast<int>(n), got)) << n;
  }
  auto trailing = der;
  trailing.push_back(0);
  EXPECT_FALSE(ECGOST_key_unwrap(r.get(), trailing.data(), static_cast<int>(trailing.size()), got));
  // A recipient on another curve.
  Key c = cp_key(NID_CP_2001_C);
  EXPECT_FALSE(ECGOST_key_unwrap(c.get(), der.data(), static_cast<int>(der.size()), got));
  // Too small an output buffer gives the needed length.
  int small = 10;
  EXPECT_FALSE(ECGOST_key_wrap(r.get(), cek, der.data(), &small));
  EXPECT_EQ(small, len);
}

TEST(EcgostCurveCheck, DigestIsStableAndCoversTheTables) {
  ASSERT_TRUE(ECURVE_tables_check());
  unsigned char d1[32];
  ASSERT_TRUE(ECURVE_tables_digest(d1));
  ASSERT_TRUE(ECURVE_tables_check());
  // The digest is GOST R 34.11-94 over identifier words and strings, recomputed here by hand.
  GOSTH_CTX* h = GOSTH_new();
  ASSERT_TRUE(GOSTH_init(h, nullptr, nullptr));
  int count = 0;
  const ECURVE_DESC* const* list = ECURVE_desc_list(&count);
  for (int i = 0; i < count; ++i) {
    const ECURVE_DESC* d = list[i];
    unsigned char id[4] = {static_cast<unsigned char>(d->nid), static_cast<unsigned char>(d->nid >> 8), 0, 0};
    GOSTH_update(h, id, 4);
    for (const char* s : {d->p, d->a, d->b, d->g, d->q, d->h, d->opt, d->j})
      if (s && *s) GOSTH_update(h, s, static_cast<int>(std::strlen(s)));
    if (d->table)
      for (int k = 0; k < d->table->count; ++k)
        GOSTH_update(h, d->table->points[k], static_cast<int>(std::strlen(d->table->points[k])));
  }
  unsigned char d2[32];
  ASSERT_EQ(GOSTH_final(h, d2), 32);
  GOSTH_free(h);
  EXPECT_EQ(std::memcmp(d1, d2, 32), 0);
}

TEST(EcgostSelfTest, GuardsKeyAgreementOncePerSecond) {
  constexpr int kSlot = 6;
  ECGOST_check_dh_reset();
  ERR_clear_error();
  const unsigned long before = CHECK_run_count(kSlot);
  EXPECT_EQ(ECGOST_check_dh(), 1);
  EXPECT_EQ(ERR_count_errors(), 0);
  EXPECT_EQ(CHECK_run_count(kSlot), before + 1);
  EXPECT_EQ(ECGOST_check_dh(), 1);  // within the second: not run again
  EXPECT_EQ(CHECK_run_count(kSlot), before + 1);
  // The operations it guards run it when it is due.
  Key a = cp_key(NID_CP_2001_A), b = cp_key(NID_CP_2001_A);
  const unsigned char ukm[8] = {9};
  unsigned char kek[32];
  ECGOST_check_dh_reset();
  ASSERT_TRUE(ECGOST_vko_kek(a.get(), ECGOST_get_public(b.get()), ukm, kek));
  EXPECT_EQ(CHECK_run_count(kSlot), before + 2);
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Dh x(ECDH_new(c.get(), ECDH_PLAIN)), y(ECDH_new(c.get(), ECDH_PLAIN));
  ASSERT_TRUE(ECDH_generate_key(x.get()) && ECDH_generate_key(y.get()));
  ECGOST_check_dh_reset();
  ASSERT_TRUE(ECDH_compute_key(x.get(), ECDH_get_public(y.get()), nullptr));
  EXPECT_EQ(CHECK_run_count(kSlot), before + 3);
}
