// Signing and verification: the published example, the one-time pair, the signature forms and
// every verification reason.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "crypto/ecgost/ec_local.h"
#include "crypto/err/err.h"
#include "crypto/pse/mask.h"
#include "test_util.h"

using namespace jarnel;
using namespace ectest;

namespace {

// GOST R 34.10-2001 example (RFC 5832, section 7) on the test curve.
constexpr const char* kD = "7A929ADE789BB9BE10ED359DD39A72C11B60961F49397EEE1D19CE9891EC3B28";
constexpr const char* kQx = "7F2B49E270DB6D90D8595BEC458B50C58585BA1D4E9B788F6689DBD8E56FD80B";
constexpr const char* kQy = "26F1B489D6701DD185C8413A977B3CBBAF64D1C593D26627DFFB101A87FF77DA";
constexpr const char* kE = "2DFBC1B372D89A1188C09C52E0EEC61FCE52032AB1022E8E67ECE6672B043EE5";
constexpr const char* kK = "77105C9B20BCD3122823C8CF6FCC7B956DE33814E95B7FE64FED924594DCEAB3";
constexpr const char* kR = "41AA28D2F1AB148280CD9ED56FEDA41974053554A42767B83AD043FD39DC0493";
constexpr const char* kS = "01456C64BA4642A1653C235A98A60249BCD6D3F746B631DF928014F6C5BF9C40";

Key example_key() {
  Curve c(ECURVE_by_number(ECURVE_TEST));
  Key key(ECGOST_new(c.get()));
  Bn d(hex(kD));
  EXPECT_TRUE(ECGOST_set_private(key.get(), d.get()));
  EXPECT_TRUE(ECGOST_generate_pubkey(key.get()));
  return key;
}

}  // namespace

TEST(EcgostSign, PublishedExample) {
  Key key = example_key();
  Bn x(BN_new()), y(BN_new());
  ASSERT_TRUE(ECPOINT_get_xy(ECGOST_get_public(key.get()), x.get(), y.get()));
  EXPECT_EQ(to_hex(x.get()), kQx);
  EXPECT_EQ(to_hex(y.get()), kQy);
  auto e = unhex(kE);
  auto k = unhex(kK);
  ASSERT_TRUE(ECGOST_sign_setup(key.get(), k.data(), static_cast<int>(k.size())));
  Sig sig(ECGOST_do_sign(e.data(), static_cast<int>(e.size()), key.get()));
  ASSERT_TRUE(sig);
  EXPECT_EQ(to_hex(sig->r), kR);
  EXPECT_EQ(to_hex(sig->s), kS);
  EXPECT_EQ(ECGOST_do_verify(e.data(), static_cast<int>(e.size()), sig.get(), key.get()), 1);
  e[31] ^= 1;
  ERR_clear_error();
  EXPECT_EQ(ECGOST_do_verify(e.data(), static_cast<int>(e.size()), sig.get(), key.get()), 0);
  EXPECT_EQ(ERR_get_status(), 7u);
  EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_DO_VERIFY, 105));
}

TEST(EcgostSign, PrecomputedPairIsUsedOnce) {
  Key key = example_key();
  auto e = unhex(kE);
  auto k = unhex(kK);
  ASSERT_TRUE(ECGOST_sign_setup(key.get(), k.data(), static_cast<int>(k.size())));
  Sig first(ECGOST_do_sign(e.data(), 32, key.get()));
  Sig second(ECGOST_do_sign(e.data(), 32, key.get()));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(to_hex(first->r), kR);
  EXPECT_NE(to_hex(second->r), kR);
  EXPECT_EQ(ECGOST_do_verify(e.data(), 32, second.get(), key.get()), 1);
}

TEST(EcgostSign, GivenNonceIsTakenModQWhateverItsLength) {
  Key key = example_key();
  auto e = unhex(kE);
  auto k = unhex(kK);
  std::vector<unsigned char> padded(8, 0);
  padded.insert(padded.end(), k.begin(), k.end());
  // k + q, when it fits the length of q, names the same nonce.
  Bn kq(hex(kK));
  ASSERT_TRUE(BN_add(kq.get(), kq.get(), key->curve->q));
  std::vector<std::vector<unsigned char>> same = {padded};
  if (BN_num_bytes(kq.get()) <= 32) same.push_back(be(kq.get(), 32));
  for (const auto& given : same) {
    ASSERT_TRUE(ECGOST_sign_setup(key.get(), given.data(), static_cast<int>(given.size())));
    Sig sig(ECGOST_do_sign(e.data(), 32, key.get()));
    ASSERT_TRUE(sig);
    EXPECT_EQ(to_hex(sig->r), kR);
    EXPECT_EQ(to_hex(sig->s), kS);
  }
  // A set byte ahead of the length of q is no nonce of this curve.
  padded[0] = 1;
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_sign_setup(key.get(), padded.data(), static_cast<int>(padded.size())));
}

TEST(EcgostSign, DigestEqualToQSignsAsOne) {
  Key key = example_key();
  auto k = unhex(kK);
  auto q = be(key->curve->q, 32);
  unsigned char one[32] = {};
  one[31] = 1;
  ASSERT_TRUE(ECGOST_sign_setup(key.get(), k.data(), 32));
  Sig a(ECGOST_do_sign(q.data(), 32, key.get()));
  ASSERT_TRUE(ECGOST_sign_setup(key.get(), k.data(), 32));
  Sig b(ECGOST_do_sign(one, 32, key.get()));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(BN_cmp(a->s, b->s), 0);
  EXPECT_EQ(ECGOST_do_verify(q.data(), 32, a.get(), key.get()), 1);
  // A given k that reduces to 0 is refused.
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_sign_setup(key.get(), q.data(), 32));
}

TEST(EcgostSign, FormsHaveFixedLengthAndSwappedHalves) {
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Key key(ECGOST_new(c.get()));
  ASSERT_TRUE(ECGOST_key_pair_generation(key.get()));
  unsigned char dg[32];
  for (int i = 0; i < 32; ++i) dg[i] = static_cast<unsigned char>(i * 7 + 1);
  // Small r and s keep their leading zero bytes in both fixed-length forms.
  Sig small(ECGOST_SIG_new());
  BN_set_word(small->r, 0x1234);
  BN_set_word(small->s, 0x56);
  unsigned char raw[64], cp[64];
  ASSERT_EQ(ECGOST_SIG_to_raw(small.get(), 32, raw), 64);
  ASSERT_EQ(ECGOST_SIG_to_cp(small.get(), 32, cp), 64);
  EXPECT_EQ(hexstr(raw, 64), std::string(60, '0') + "1234" + std::string(62, '0') + "56");
  EXPECT_EQ(std::memcmp(raw, cp + 32, 32), 0);
  EXPECT_EQ(std::memcmp(raw + 32, cp, 32), 0);
  for (int round = 0; round < 4; ++round) {
    unsigned char sig[80];
    unsigned len = 0;
    const auto k = unhex("0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF");
    ASSERT_TRUE(ECGOST_sign_setup(key.get(), k.data(), 32));
    ASSERT_TRUE(ECGOST_sign(ECGOST_SIG_RAW, dg, 32, sig, &len, key.get()));
    ASSERT_EQ(len, 64u);
    std::vector<unsigned char> r(sig, sig + 64);
    ASSERT_TRUE(ECGOST_sign_setup(key.get(), k.data(), 32));
    ASSERT_TRUE(ECGOST_sign(ECGOST_SIG_CP, dg, 32, sig, &len, key.get()));
    ASSERT_EQ(len, 64u);
    EXPECT_EQ(std::memcmp(r.data(), sig + 32, 32), 0);
    EXPECT_EQ(std::memcmp(r.data() + 32, sig, 32), 0);
    EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig, 64, key.get()), 1);
    EXPECT_EQ(ECGOST_verify(ECGOST_SIG_RAW, dg, 32, r.data(), 64, key.get()), 1);
    ASSERT_TRUE(ECGOST_sign(ECGOST_SIG_DER, dg, 32, sig, &len, key.get()));
    EXPECT_LE(static_cast<int>(len), ECGOST_size(key.get()));
    EXPECT_EQ(ECGOST_verify(ECGOST_SIG_DER, dg, 32, sig, static_cast<int>(len), key.get()), 1);
    EXPECT_EQ(ECGOST_verify(999, dg, 32, sig, static_cast<int>(len), key.get()), 1);
  }
}

TEST(EcgostSign, VerificationReasons) {
  Key key = example_key();
  auto e = unhex(kE);
  const BIGNUM* q = key->curve->q;
  struct Case {
    const char* name;
    int r_kind, s_kind;  // 0 zero, 1 valid, 2 q, 3 q + 1
    int reason;
  } cases[] = {{"zero r", 0, 1, 101}, {"r = q", 2, 1, 102},  {"r > q", 3, 1, 102},
               {"zero s", 1, 0, 103}, {"s = q", 1, 2, 104},  {"s > q", 1, 3, 104}};
  for (const Case& cs : cases) {
    Sig sig(ECGOST_SIG_new());
    auto set = [&](BIGNUM* v, int kind, const char* valid) {
      if (kind == 0) BN_zero(v);
      if (kind == 1) BN_hex2bn(&v, valid);
      if (kind == 2) BN_copy(v, q);
      if (kind == 3) {
        BN_copy(v, q);
        BN_add_word(v, 1);
      }
    };
    set(sig->r, cs.r_kind, kR);
    set(sig->s, cs.s_kind, kS);
    ERR_clear_error();
    EXPECT_EQ(ECGOST_do_verify(e.data(), 32, sig.get(), key.get()), 0) << cs.name;
    EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_DO_VERIFY, cs.reason))
        << cs.name;
  }
  // Missing arguments give -1.
  Sig sig(ECGOST_SIG_new());
  EXPECT_EQ(ECGOST_do_verify(nullptr, 32, sig.get(), key.get()), -1);
  EXPECT_EQ(ECGOST_do_verify(e.data(), 32, nullptr, key.get()), -1);
  Curve c(ECURVE_by_number(ECURVE_TEST));
  Key nopub(ECGOST_new(c.get()));
  EXPECT_EQ(ECGOST_do_verify(e.data(), 32, sig.get(), nopub.get()), -1);
  // Signing without a private key fails with status 16.
  ERR_clear_error();
  EXPECT_EQ(ECGOST_do_sign(e.data(), 32, nopub.get()), nullptr);
  EXPECT_EQ(ERR_get_status(), 16u);
}

TEST(EcgostSign, SignatureDecodingRejectsMalformedInput) {
  Key key = example_key();
  auto e = unhex(kE);
  auto k = unhex(kK);
  ASSERT_TRUE(ECGOST_sign_setup(key.get(), k.data(), 32));
  unsigned char der[80];
  unsigned dlen = 0;
  ASSERT_TRUE(ECGOST_sign(ECGOST_SIG_DER, e.data(), 32, der, &dlen, key.get()));
  std::vector<unsigned char> good(der, der + dlen);
  ASSERT_EQ(ECGOST_verify(ECGOST_SIG_DER, e.data(), 32, good.data(), (int)good.size(), key.get()), 1);
  std::vector<std::vector<unsigned char>> bad(5, good);
  bad[0].resize(good.size() - 1);  // truncated
  bad[1].push_back(0);             // trailing byte
  bad[2][0] = 0x31;                // SET instead of SEQUENCE
  bad[3][2] = 0x03;                // BIT STRING instead of INTEGER
  bad[4][1] = 0x81;                // length form broken
  std::vector<std::vector<unsigned char>> more = {
      {0x30, 0x06, 0x02, 0x01, 0x80, 0x02, 0x01, 0x01},  // negative r
      {0x30, 0x07, 0x02, 0x02, 0x00, 0x01, 0x02, 0x01, 0x01},  // non-minimal r
      {0x30, 0x03, 0x02, 0x01, 0x01},                    // s missing
      {0x30, 0x81, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01},  // non-minimal length
  };
  bad.insert(bad.end(), more.begin(), more.end());
  for (std::size_t i = 0; i < bad.size(); ++i) {
    ERR_clear_error();
    EXPECT_EQ(ECGOST_verify(ECGOST_SIG_DER, e.data(), 32, bad[i].data(), (int)bad[i].size(),
                            key.get()),
              0)
        << i;
  }
  unsigned char raw[64] = {1};
  for (int len : {0, 63, 65, 32}) {
    ERR_clear_error();
    EXPECT_EQ(ECGOST_verify(ECGOST_SIG_CP, e.data(), 32, raw, len, key.get()), 0) << len;
  }
  for (int len : {0, 1, 63}) {
    ERR_clear_error();
    EXPECT_EQ(ECGOST_verify(ECGOST_SIG_RAW, e.data(), 32, raw, len, key.get()), 0) << len;
  }
}

TEST(EcgostSign, ProviderBranchGoesThroughThePlatformInterface) {
  // On POSIX there is no provider: a key marked as provider-held cannot sign.
  Key key = example_key();
  ASSERT_TRUE(ECGOST_set_provider(key.get(), 0x1234, 2));
  auto e = unhex(kE);
  unsigned char sig[80];
  unsigned len = 0;
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_sign(ECGOST_SIG_CP, e.data(), 32, sig, &len, key.get()));
  EXPECT_EQ(ERR_get_status(), 16u);
}

TEST(EcgostSign, PrivateKeyIsMaskedAndCheckedOnUse) {
  Key key = example_key();
  ASSERT_TRUE(key->d);
  EXPECT_TRUE(MASK_BN_is_masked(key->d));
  // The stored words are not the clear value.
  Bn d(hex(kD)), stored(BN_new());
  std::vector<unsigned char> le(static_cast<std::size_t>(key->d->top) * 4);
  std::memcpy(le.data(), key->d->d, le.size());
  BN_lebin2bn(le.data(), static_cast<int>(le.size()), stored.get());
  EXPECT_NE(BN_cmp(stored.get(), d.get()), 0);
  // A changed word fails the checksum: signing refuses.
  key->d->d[0] ^= 1;
  auto e = unhex(kE);
  ERR_clear_error();
  EXPECT_EQ(ECGOST_do_sign(e.data(), 32, key.get()), nullptr);
  EXPECT_NE(ERR_get_status(), 0u);
}

TEST(EcgostSign, ThreadsShareACurveAndItsTable) {
  // With the lock table of the library start-up in place, keys on one curve object sign and
  // verify on several threads; the curve's reference count comes back to one.
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&c, &good, t] {
      for (int i = 0; i < 20; ++i) {
        Key k(ECGOST_new(c.get()));
        unsigned char dg[32] = {static_cast<unsigned char>(t), static_cast<unsigned char>(i)};
        unsigned char sig[64];
        unsigned len = 0;
        if (ECGOST_key_pair_generation(k.get()) &&
            ECGOST_sign(ECGOST_SIG_CP, dg, 32, sig, &len, k.get()) &&
            ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig, 64, k.get()) == 1)
          ++good;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 80);
  EXPECT_EQ(c->references, 1);
}
