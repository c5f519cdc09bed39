// Diffie-Hellman in its three cofactor modes, the VKO point, the octet-level DH entry points,
// key generation for a container (with a fake container) and the known-answer self-test.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>

#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ec_selftest.h"
#include "crypto/err/err.h"
#include "crypto/pse/pse.h"
#include "test_util.h"

using namespace jarnel;
using namespace ectest;

namespace {

// An unlocked container with a KEK of its own.
struct ContainerScope {
  ContainerScope() {
    unsigned char kek[32];
    for (int i = 0; i < 32; ++i) kek[i] = static_cast<unsigned char>(0xA5 ^ i);
    pse = PSE_new();
    EXPECT_TRUE(pse && PSE_set_kek(pse, kek));
  }
  ~ContainerScope() { PSE_free(pse); }
  PSE* pse = nullptr;
};

}  // namespace

TEST(EcgostDh, PlainModeAgreesAndShortValuesLoseLeadingZeros) {
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Dh a(ECDH_new(c.get(), ECDH_PLAIN)), b(ECDH_new(c.get(), ECDH_PLAIN));
  ASSERT_TRUE(ECDH_generate_key(a.get()));
  ASSERT_TRUE(ECDH_generate_key(b.get()));
  Bn s1(BN_new()), s2(BN_new());
  ASSERT_TRUE(ECDH_compute_key(a.get(), ECDH_get_public(b.get()), s1.get()));
  ASSERT_TRUE(ECDH_compute_key(b.get(), ECDH_get_public(a.get()), s2.get()));
  EXPECT_EQ(BN_cmp(s1.get(), s2.get()), 0);

  // Search a key whose shared x is below 2^248: the octet form then has 31 bytes or fewer.
  unsigned char pub[65];
  int publen = sizeof pub;
  ASSERT_TRUE(ECGOST_DH_generate_key(b.get(), nullptr, nullptr, nullptr, 0, pub, &publen, 0));
  ASSERT_EQ(publen, 65);
  bool found = false;
  for (int i = 0; i < 3000 && !found; ++i) {
    Dh t(ECDH_new(c.get(), ECDH_PLAIN));
    unsigned char tp[65];
    int tl = sizeof tp;
    ASSERT_TRUE(ECGOST_DH_generate_key(t.get(), nullptr, nullptr, nullptr, 0, tp, &tl, 0));
    unsigned char out[32];
    int outlen = sizeof out;
    ASSERT_TRUE(ECGOST_DH_compute_key(t.get(), pub, publen, out, &outlen));
    if (outlen <= 31) {
      found = true;
      Bn x(BN_bin2bn(out, outlen, nullptr));
      EXPECT_LT(BN_num_bits(x.get()), 249);
      EXPECT_NE(out[0], 0);
      // A buffer of exactly that size is enough; one byte less is not.
      int small = outlen - 1;
      ERR_clear_error();
      EXPECT_FALSE(ECGOST_DH_compute_key(t.get(), pub, publen, out, &small));
      EXPECT_EQ(small, outlen);
      EXPECT_EQ(ERR_get_status(), ECGOST_STATUS_DH_FAILED);
    }
  }
  EXPECT_TRUE(found);
}

TEST(EcgostDh, CofactorModesOnACurveWithCofactorFour) {
  Curve c(ECURVE_init(ECURVE_desc_list(nullptr)[7]));
  ASSERT_TRUE(c);
  // A point of small order, and a proper public key.
  Point small(ECPOINT_new(c.get())), r(ECPOINT_new(c.get()));
  Bn x(BN_new());
  for (unsigned w = 1; w < 400; ++w) {
    BN_set_word(x.get(), w);
    if (!ECPOINT_derive(r.get(), x.get(), 0)) continue;
    ECPOINT_mul(small.get(), r.get(), c->q);
    if (!ECPOINT_is_infinity(small.get())) break;
  }
  ERR_clear_error();
  ASSERT_FALSE(ECPOINT_is_infinity(small.get()));
  for (int mode : {ECDH_PLAIN, ECDH_COFACTOR, ECDH_COMPAT_COFACTOR}) {
    Dh a(ECDH_new(c.get(), mode)), b(ECDH_new(c.get(), mode));
    EXPECT_EQ(ECDH_get_mode(a.get()), mode);
    ASSERT_TRUE(ECDH_generate_key(a.get()));
    ASSERT_TRUE(ECDH_generate_key(b.get()));
    Bn s1(BN_new()), s2(BN_new());
    ASSERT_TRUE(ECDH_compute_key(a.get(), ECDH_get_public(b.get()), s1.get())) << mode;
    ASSERT_TRUE(ECDH_compute_key(b.get(), ECDH_get_public(a.get()), s2.get())) << mode;
    EXPECT_EQ(BN_cmp(s1.get(), s2.get()), 0) << mode;
    // The small-order point is refused by the full check (mode 0) and cleared to infinity by
    // the cofactor in modes 1 and 2; either way no shared value comes out.
    ERR_clear_error();
    EXPECT_FALSE(ECDH_compute_key(a.get(), small.get(), s1.get())) << mode;
    // 14, or 12 when the validation's own entry is already queued (ERR_set_status_once).
    EXPECT_NE(ERR_get_status(), 0u);
  }
  // Modes 1 and 2 with the peer in the prime-order group give h*d*Q and d*Q.
  Dh m0(ECDH_new(c.get(), ECDH_PLAIN)), m2(ECDH_new(c.get(), ECDH_COMPAT_COFACTOR)),
      peer(ECDH_new(c.get(), ECDH_PLAIN));
  Bn d(BN_new());
  BN_rand_range(d.get(), c->q);
  BN_add_word(d.get(), 1);
  { BN_CTX* bc = BN_CTX_new(); BN_mod(d.get(), d.get(), c->q, bc); BN_CTX_free(bc); }
  ASSERT_TRUE(ECDH_set_private(m0.get(), d.get()));
  ASSERT_TRUE(ECDH_set_private(m2.get(), d.get()));
  ASSERT_TRUE(ECDH_generate_key(peer.get()));
  Bn s0(BN_new()), s2(BN_new());
  ASSERT_TRUE(ECDH_compute_key(m0.get(), ECDH_get_public(peer.get()), s0.get()));
  ASSERT_TRUE(ECDH_compute_key(m2.get(), ECDH_get_public(peer.get()), s2.get()));
  EXPECT_EQ(BN_cmp(s0.get(), s2.get()), 0);
  // A curve without a cofactor forces the plain mode.
  ECURVE_DESC nd = *ECURVE_desc_by_number(ECURVE_TEST);
  nd.h = nullptr;
  Curve nc(ECURVE_init(&nd));
  Dh forced(ECDH_new(nc.get(), ECDH_COFACTOR));
  EXPECT_EQ(ECDH_get_mode(forced.get()), ECDH_PLAIN);
}

TEST(EcgostDh, HostilePeerOctetsAreRefused) {
  Curve c(ECURVE_by_number(ECURVE_CP_B));
  Dh a(ECDH_new(c.get(), ECDH_PLAIN));
  unsigned char pub[65];
  int publen = sizeof pub;
  ASSERT_TRUE(ECGOST_DH_generate_key(a.get(), nullptr, nullptr, nullptr, 0, pub, &publen, 0));
  std::vector<std::vector<unsigned char>> bad;
  bad.push_back({0x00});                                      // infinity
  bad.push_back(std::vector<unsigned char>(pub, pub + 64));   // truncated
  auto off = std::vector<unsigned char>(pub, pub + 65);
  off[64] ^= 1;                                               // off the curve
  bad.push_back(off);
  auto big = std::vector<unsigned char>(pub, pub + 65);
  std::fill(big.begin() + 1, big.begin() + 33, 0xFF);         // x >= p
  bad.push_back(big);
  for (std::size_t i = 0; i < bad.size(); ++i) {
    unsigned char out[32];
    int outlen = sizeof out;
    ERR_clear_error();
    EXPECT_FALSE(ECGOST_DH_compute_key(a.get(), bad[i].data(), (int)bad[i].size(), out, &outlen)) << i;
    EXPECT_NE(ERR_get_status(), 0u) << i;
    EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_DH_COMPUTE_KEY, LIB_ECGOST)) << i;
  }
  // Compressed output when asked.
  int clen = sizeof pub;
  ASSERT_TRUE(ECGOST_DH_generate_key(a.get(), nullptr, nullptr, nullptr, 0, pub, &clen,
                                     ECGOST_FLAG_COMPRESSED));
  EXPECT_EQ(clen, 33);
  // Too small an output fails (status 14) and the needed length still comes back; a null
  // output only asks for the length.
  int tiny = 10;
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_DH_generate_key(a.get(), nullptr, nullptr, nullptr, 0, pub, &tiny, 0));
  EXPECT_EQ(tiny, 65);
  EXPECT_EQ(ERR_get_status(), ECGOST_STATUS_DH_FAILED);
  int query = 0;
  EXPECT_TRUE(ECGOST_DH_generate_key(a.get(), nullptr, nullptr, nullptr, 0, nullptr, &query, 0));
  EXPECT_EQ(query, 65);
}

TEST(EcgostVko, PointWithAndWithoutUkmAgreesBothWays) {
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Key a(ECGOST_new(c.get())), b(ECGOST_new(c.get()));
  ASSERT_TRUE(ECGOST_key_pair_generation(a.get()));
  ASSERT_TRUE(ECGOST_key_pair_generation(b.get()));
  Bn ukm(hex("1234567890ABCDEF"));
  Point p1(ECPOINT_new(c.get())), p2(ECPOINT_new(c.get()));
  ASSERT_TRUE(ECGOST_vko_point(p1.get(), ECGOST_get_public(b.get()), ukm.get(), a.get()));
  ASSERT_TRUE(ECGOST_vko_point(p2.get(), ECGOST_get_public(a.get()), ukm.get(), b.get()));
  EXPECT_EQ(ECPOINT_cmp(p1.get(), p2.get()), 0);
  ASSERT_TRUE(ECGOST_vko_point(p2.get(), ECGOST_get_public(a.get()), nullptr, b.get()));
  EXPECT_NE(ECPOINT_cmp(p1.get(), p2.get()), 0);
  // An invalid peer point ends with (75, 106, 75) after the validation's own entry.
  Point bad(ECPOINT_new(c.get()));
  ASSERT_TRUE(ECPOINT_set_infinity(bad.get()));
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_vko_point(p1.get(), bad.get(), ukm.get(), a.get()));
  EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_ECDH_COMPUTE_KEY, LIB_ECGOST));
}

TEST(EcgostOpaque, ContainerKeysRoundTrip) {
  ContainerScope scope;
  unsigned char priv[36], pub[65];
  int publen = sizeof pub;
  ASSERT_TRUE(ECGOST_generate_key(scope.pse, ECURVE_CP_A, priv, pub, &publen, 0));
  EXPECT_EQ(publen, 65);
  EXPECT_EQ(scope.pse->references, 1);  // the temporary key let go of it
  // The 36 bytes are the container's opaque form of d: it opens them.
  unsigned char d32[32];
  ASSERT_TRUE(PSE_read_opaque(scope.pse, priv, d32));
  // The stored pair works for DH through the container.
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Dh mine(ECDH_new(c.get(), ECDH_PLAIN)), peer(ECDH_new(c.get(), ECDH_PLAIN));
  unsigned char again[65], ppub[65];
  int alen = sizeof again, plen = sizeof ppub;
  ASSERT_TRUE(ECGOST_DH_generate_key(mine.get(), scope.pse, priv, pub, publen, again, &alen, 0));
  EXPECT_EQ(std::memcmp(again, pub, 65), 0);
  ASSERT_TRUE(ECGOST_DH_generate_key(peer.get(), nullptr, nullptr, nullptr, 0, ppub, &plen, 0));
  unsigned char s1[32], s2[32];
  int l1 = 32, l2 = 32;
  ASSERT_TRUE(ECGOST_DH_compute_key(mine.get(), ppub, plen, s1, &l1));
  ASSERT_TRUE(ECGOST_DH_compute_key(peer.get(), pub, publen, s2, &l2));
  ASSERT_EQ(l1, l2);
  EXPECT_EQ(std::memcmp(s1, s2, static_cast<std::size_t>(l1)), 0);

  // Key objects move between the plain and the opaque state.
  Key k(ECGOST_new(c.get()));
  ASSERT_TRUE(ECGOST_key_pair_generation(k.get()));
  Bn d(BN_new()), d2(BN_new());
  ASSERT_TRUE(ECGOST_get_private(k.get(), d.get()));
  ASSERT_TRUE(ECGOST_encrypt_opaque(k.get(), scope.pse));
  EXPECT_TRUE(ECGOST_is_opaque(k.get()));
  EXPECT_FALSE(ECGOST_has_private(k.get()));
  EXPECT_EQ(scope.pse->references, 2);
  unsigned char dg[32] = {1, 2, 3};
  ERR_clear_error();
  EXPECT_EQ(ECGOST_do_sign(dg, 32, k.get()), nullptr);  // no plain d
  ASSERT_TRUE(ECGOST_decrypt_opaque(k.get(), nullptr));  // the key's own container
  ASSERT_TRUE(ECGOST_get_private(k.get(), d2.get()));
  EXPECT_EQ(BN_cmp(d.get(), d2.get()), 0);
  // A changed tag fails the container's check.
  ASSERT_TRUE(ECGOST_encrypt_opaque(k.get(), nullptr));
  unsigned char op[36];
  ASSERT_TRUE(ECGOST_get_opaque(k.get(), op));
  op[33] ^= 1;
  ASSERT_TRUE(ECGOST_set_opaque(k.get(), op));
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_decrypt_opaque(k.get(), nullptr));
  EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_DECRYPT_OPAQUE, LIB_PSE));
  k.reset();
  EXPECT_EQ(scope.pse->references, 1);
}

TEST(EcgostOpaque, FailuresZeroTheOutputAndNameThePseLibrary) {
  unsigned char priv[36], pub[65];
  int publen = sizeof pub;
  // No container.
  std::memset(priv, 0x5A, sizeof priv);
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_generate_key(nullptr, ECURVE_CP_A, priv, pub, &publen, 0));
  for (unsigned char b : priv) EXPECT_EQ(b, 0);
  EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_GENERATE_KEY, LIB_ECGOST));
  EXPECT_NE(ERR_get_status(), 0u);
  bool saw_pse = false;
  while (unsigned long e = ERR_get_error())
    if (e == ERR_pack(LIB_ECGOST, ECGOST_F_ENCRYPT_OPAQUE, LIB_PSE)) saw_pse = true;
  EXPECT_TRUE(saw_pse);
  // A container without a KEK, an unknown curve, a small public buffer.
  PSE* empty = PSE_new();
  std::memset(priv, 0x5A, sizeof priv);
  EXPECT_FALSE(ECGOST_generate_key(empty, ECURVE_CP_A, priv, pub, &publen, 0));
  for (unsigned char b : priv) EXPECT_EQ(b, 0);
  PSE_free(empty);
  ContainerScope scope;
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_generate_key(scope.pse, 99, priv, pub, &publen, 0));
  EXPECT_EQ(ERR_get_status(), 13u);
  int small = 64;
  EXPECT_FALSE(ECGOST_generate_key(scope.pse, ECURVE_CP_A, priv, pub, &small, 0));
  int comp = 33;
  EXPECT_TRUE(ECGOST_generate_key(scope.pse, ECURVE_CP_A, priv, pub, &comp, ECGOST_FLAG_COMPRESSED));
  EXPECT_EQ(comp, 33);
  // Missing key or container.
  ERR_clear_error();
  EXPECT_FALSE(ECGOST_encrypt_opaque(nullptr, scope.pse));
  EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_ENCRYPT_OPAQUE, LIB_PSE));
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Key k(ECGOST_new(c.get()));
  EXPECT_FALSE(ECGOST_decrypt_opaque(k.get(), scope.pse));
  EXPECT_EQ(ERR_peek_last_error(), ERR_pack(LIB_ECGOST, ECGOST_F_DECRYPT_OPAQUE, LIB_PSE));
  ASSERT_TRUE(ECGOST_key_pair_generation(k.get()));
  EXPECT_FALSE(ECGOST_encrypt_opaque(k.get(), nullptr));  // no container of its own yet
}
