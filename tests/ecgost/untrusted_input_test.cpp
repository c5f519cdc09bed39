// Public keys that belong to no private key are refused wherever they enter (decoding, setting,
// verification, key agreement), so the forgeries they would allow do not pass; the random
// private keys and nonces are uniform on [1, q-1]; a given nonce longer than q is refused.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/ecgost/ec_local.h"
#include "crypto/err/err.h"
#include "test_util.h"

using namespace jarnel;
using namespace ectest;

namespace {

struct BadPoint {
  const char* name;
  std::vector<unsigned char> octets;  // SEC 1 form
};

// Infinity, G with y + 1, (0, 0) and (p, y): the first three decode as points, the last not.
std::vector<BadPoint> bad_points(const ECURVE* c) {
  std::vector<BadPoint> out;
  out.push_back({"infinity", {0x00}});
  unsigned char g[65];
  EXPECT_EQ(ECPOINT_point2bin(c->G, 0, g, sizeof g), 65);
  std::vector<unsigned char> off(g, g + 65);
  off[64] ^= 1;
  out.push_back({"off the curve", off});
  std::vector<unsigned char> zero(65, 0);
  zero[0] = 0x04;
  out.push_back({"(0, 0)", zero});
  std::vector<unsigned char> big(g, g + 65);
  BN_bn2binpad(c->p, big.data() + 1, 32);
  out.push_back({"x = p", big});
  return out;
}

struct BnCtx {
  BN_CTX* c = BN_CTX_new();
  ~BnCtx() { BN_CTX_free(c); }
};

// Drains the error queue; true when packed was in it.
bool queue_has(unsigned long packed) {
  bool found = false;
  for (unsigned long e; (e = ERR_get_error()) != 0;)
    found = found || e == packed;
  return found;
}

double bn_double(const BIGNUM* b) {
  unsigned char buf[32];
  BN_bn2binpad(b, buf, 32);
  double v = 0;
  for (unsigned char x : buf) v = v * 256 + x;
  return v;
}

// Of values uniform on [1, q-1], the share below 2^256 - q; the old reduction of 256 random bits
// modulo q gave about twice (2^256 - q) / 2^256.
double uniform_share_below(const BIGNUM* q) {
  Bn t(BN_new());
  BN_set_bit(t.get(), 256);
  BN_sub(t.get(), t.get(), q);
  return bn_double(t.get()) / bn_double(q);
}

double share_below(const std::vector<Bn>& values, const BIGNUM* q) {
  Bn t(BN_new());
  BN_set_bit(t.get(), 256);
  BN_sub(t.get(), t.get(), q);
  int below = 0;
  for (const Bn& v : values) below += BN_cmp(v.get(), t.get()) < 0 ? 1 : 0;
  return static_cast<double>(below) / static_cast<double>(values.size());
}

}  // namespace

TEST(EcgostUntrusted, DegeneratePublicKeysAreRefusedEverywhere) {
  Curve c(ECURVE_by_number(ECURVE_CP_A));
  Key own = cp_key(NID_CP_2001_A);
  Dh dh(ECDH_new(c.get(), ECDH_PLAIN));
  ASSERT_TRUE(ECDH_generate_key(dh.get()));
  Bn d(BN_new());
  ASSERT_TRUE(ECGOST_get_private(own.get(), d.get()));
  unsigned char priv[32];
  BN_bn2binpad(d.get(), priv, 32);
  for (const BadPoint& bp : bad_points(c.get())) {
    SCOPED_TRACE(bp.name);
    Point P(ECPOINT_new(c.get()));
    const bool decodes = ECPOINT_bi2point(P.get(), bp.octets.data(), bp.octets.size()) == 1;
    EXPECT_EQ(decodes, std::string(bp.name) != "x = p");
    if (decodes) {
      Key k(ECGOST_new(c.get()));
      ERR_clear_error();
      EXPECT_FALSE(ECGOST_set_public(k.get(), P.get()));
      EXPECT_EQ(ECGOST_get_public(k.get()), nullptr);
      EXPECT_TRUE(queue_has(ERR_pack(LIB_ECGOST, ECGOST_F_ECGOST_NEW, ECGOST_R_INVALID_PUBLIC_KEY)));
      Point out(ECPOINT_new(c.get()));
      Bn ukm(BN_new());
      BN_set_word(ukm.get(), 0x1234);
      ERR_clear_error();
      EXPECT_FALSE(ECGOST_vko_point(out.get(), P.get(), ukm.get(), own.get()));
      EXPECT_NE(ERR_get_status(), 0u);
    }
    // The octet-level agreement refuses it as a peer and as a stored public key.
    unsigned char buf[65];
    int len = sizeof buf;
    ERR_clear_error();
    EXPECT_FALSE(ECGOST_DH_compute_key(dh.get(), bp.octets.data(), static_cast<int>(bp.octets.size()),
                                       buf, &len));
    EXPECT_NE(ERR_get_status(), 0u);
    Dh stored(ECDH_new(c.get(), ECDH_PLAIN));
    len = sizeof buf;
    ERR_clear_error();
    EXPECT_FALSE(ECGOST_DH_generate_key(stored.get(), nullptr, priv, bp.octets.data(),
                                        static_cast<int>(bp.octets.size()), buf, &len, 0));
    // 14, or 12 when an inner step's entry is already queued (ERR_set_status_once).
    EXPECT_NE(ERR_get_status(), 0u);
  }
}

// With Q at infinity, s = k*e and r = x(k*G) verify for any k: verification must look at Q.
TEST(EcgostUntrusted, InfinityAsPublicKeyForgesNothing) {
  Key key = cp_key(NID_CP_2001_A);
  const ECURVE* c = key->curve;
  unsigned char dgst[32];
  for (int i = 0; i < 32; ++i) dgst[i] = static_cast<unsigned char>(7 * i + 1);
  BnCtx ctx;
  Bn e(BN_new()), k(BN_new());
  ASSERT_TRUE(ec::digest_to_e(*c, dgst, 32, e.get(), ctx.c));
  BN_rand_range(k.get(), c->q);
  BN_add_word(k.get(), 1);
  Point R(ECPOINT_new(key->curve));
  ASSERT_TRUE(ECPOINT_mul_generator(R.get(), k.get(), c));
  Sig forged(ECGOST_SIG_new());
  ASSERT_TRUE(ECPOINT_get_x(R.get(), forged->r));
  BN_nnmod(forged->r, forged->r, c->q, ctx.c);
  BN_mod_mul(forged->s, k.get(), e.get(), c->q, ctx.c);
  // Damage the key's point in memory, past every setter.
  ASSERT_TRUE(ECPOINT_set_infinity(key->Q));
  ERR_clear_error();
  EXPECT_EQ(ECGOST_do_verify(dgst, 32, forged.get(), key.get()), -1);
  EXPECT_TRUE(queue_has(ERR_pack(LIB_ECGOST, ECGOST_F_DO_VERIFY, ECGOST_R_INVALID_PUBLIC_KEY)));
}

TEST(EcgostUntrusted, GivenNonceLongerThanQIsRefused) {
  Key key = cp_key(NID_CP_2001_A);
  std::vector<unsigned char> longk(64, 0xFF);
  ERR_clear_error();
  EXPECT_EQ(ECGOST_sign_setup(key.get(), longk.data(), 64), 0);
  EXPECT_EQ(ERR_get_status(), ECGOST_STATUS_BAD_ARGS);
  // Leading zero bytes do not make a k longer.
  std::vector<unsigned char> padded(33, 0);
  padded[32] = 5;
  EXPECT_EQ(ECGOST_sign_setup(key.get(), padded.data(), 33), 1);
}

// Keys and nonces drawn from the generator: the share below 2^256 - q on CryptoPro-C is that of
// the uniform distribution (about 0.645), not the 0.786 of a plain reduction.
TEST(EcgostUntrusted, RandomKeysAndNoncesAreUniform) {
  Curve c(ECURVE_by_number(ECURVE_CP_C));
  const double want = uniform_share_below(c->q);
  constexpr int kDraws = 3000;
  std::vector<Bn> keys, nonces;
  Key key(ECGOST_new(c.get()));
  BnCtx ctx;
  for (int i = 0; i < kDraws; ++i) {
    ASSERT_TRUE(ECGOST_key_pair_generation(key.get()));
    Bn d(BN_new());
    ASSERT_TRUE(ECGOST_get_private(key.get(), d.get()));
    keys.push_back(std::move(d));
  }
  // k = (s - r*d) / e mod q from each signature of the last key.
  Bn d(BN_new()), e(BN_new()), einv(BN_new());
  ASSERT_TRUE(ECGOST_get_private(key.get(), d.get()));
  unsigned char dgst[32] = {1, 2, 3};
  ASSERT_TRUE(ec::digest_to_e(*c, dgst, 32, e.get(), ctx.c));
  ASSERT_TRUE(BN_mod_inverse(einv.get(), e.get(), c->q, ctx.c));
  for (int i = 0; i < kDraws; ++i) {
    Sig s(ECGOST_do_sign(dgst, 32, key.get()));
    ASSERT_TRUE(s);
    Bn k(BN_new()), rd(BN_new());
    BN_mod_mul(rd.get(), s->r, d.get(), c->q, ctx.c);
    BN_mod_sub(k.get(), s->s, rd.get(), c->q, ctx.c);
    BN_mod_mul(k.get(), k.get(), einv.get(), c->q, ctx.c);
    nonces.push_back(std::move(k));
  }
  EXPECT_NEAR(want, 0.645, 0.01);
  EXPECT_NEAR(share_below(keys, c->q), want, 0.04);
  EXPECT_NEAR(share_below(nonces, c->q), want, 0.04);
}
