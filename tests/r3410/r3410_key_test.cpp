// The key object, the parameter sets and their selectors, key generation.
#include <openssl/bn.h>

#include <cstdlib>

#include "crypto/mem.h"
#include "crypto/pse/mask.h"
#include "crypto/r3410/r3410_local.h"
#include "tests/r3410/r3410_fixture.h"

namespace jarnel::test {
namespace {

using r3410::BnCtxPtr;
using r3410::BnPtr;

TEST_F(R3410Test, NewKeyStartsWithTheDocumentedDefaults) {
  KeyPtr key(R3410_new());
  ASSERT_TRUE(key);
  EXPECT_EQ(key->write_params, 1);
  EXPECT_EQ(key->references, 1);
  EXPECT_EQ(key->param_nid, 276);
  EXPECT_EQ(key->digest_param_nid, 275);
  EXPECT_EQ(key->flags, 0);
  EXPECT_FALSE(key->p || key->q || key->a || key->y || key->key_mac || key->k);
}

// Every selectable set is a sound group: p of 1024 bits, prime q of 256 bits dividing p - 1,
// a of order q; the seven RFC 4357 sets identify as their object numbers.
TEST_F(R3410Test, EverySelectorLoadsASoundGroupWithItsIdentifier) {
  const struct {
    int selector, nid;
  } cases[] = {{1, 0},   {3, 276}, {4, 277}, {5, 278}, {6, 279},
               {7, 280}, {8, 281}, {9, 282}, {10, 0}};
  BnCtxPtr ctx(BN_CTX_new());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    KeyPtr key(R3410_new());
    ASSERT_EQ(R3410_set_params(key.get(), c.selector), 1);
    EXPECT_EQ(BN_num_bits(key->p), 1024);
    EXPECT_EQ(BN_num_bits(key->q), 256);
    EXPECT_EQ(BN_check_prime(key->q, ctx.get(), nullptr), 1);
    EXPECT_EQ(BN_check_prime(key->p, ctx.get(), nullptr), 1);
    BnPtr rem(BN_new()), pm1(BN_dup(key->p)), t(BN_new());
    BN_sub_word(pm1.get(), 1);
    BN_mod(rem.get(), pm1.get(), key->q, ctx.get());
    EXPECT_TRUE(BN_is_zero(rem.get()));
    BN_mod_exp(t.get(), key->a, key->q, key->p, ctx.get());
    EXPECT_TRUE(BN_is_one(t.get()));
    EXPECT_EQ(R3410_params_nid(key.get()), c.nid);
    if (c.nid) {
      EXPECT_EQ(key->param_nid, c.nid);
      KeyPtr by_nid(R3410_new());
      ASSERT_EQ(R3410_set_params_by_nid(by_nid.get(), c.nid), 1);
      EXPECT_EQ(BN_cmp(by_nid->p, key->p), 0);
      EXPECT_EQ(BN_cmp(by_nid->a, key->a), 0);
    }
  }
}

TEST_F(R3410Test, CryptoProAMatchesThePublishedValues) {
  KeyPtr key(R3410_new());
  ASSERT_EQ(R3410_set_params_by_nid(key.get(), 276), 1);
  EXPECT_EQ(bn_bytes(key->q, 32),
            hex("972432A437178B30BD96195B773789AB2FFF15594B176DD175B63256EE5AF2CF"));
  Bytes p = bn_bytes(key->p, 128);
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 8), hex("B4E25EFB018E3C8B"));
  EXPECT_EQ(Bytes(p.end() - 8, p.end()), hex("F7D0294651A480DF"));
}

TEST_F(R3410Test, UnknownSelectorsFailWithStatus13) {
  for (int selector : {2, 0, 11, -1}) {
    SCOPED_TRACE(selector);
    ERR_clear_error();
    KeyPtr key(R3410_new());
    EXPECT_EQ(R3410_set_params(key.get(), selector), 0);
    EXPECT_EQ(ERR_get_status(), 13u);
    EXPECT_FALSE(key->p);
  }
  KeyPtr key(R3410_new());
  EXPECT_EQ(R3410_set_params_by_nid(key.get(), 283), 0);
  EXPECT_EQ(R3410_set_params_by_nid(key.get(), 275), 0);
}

TEST_F(R3410Test, DefaultParamsFillOnlyAnIncompleteKey) {
  KeyPtr empty(R3410_new());
  ASSERT_EQ(R3410_default_params(empty.get()), 1);
  EXPECT_EQ(bn_bytes(empty->q, 32),
            hex("920B7B8A3F1F6F5195BCB0AB5C83850EE7C088461D8B5DAF27308183DAC5C6EB"));
  KeyPtr set(R3410_new());
  R3410_set_params(set.get(), R3410_SEL_CP_B);
  ASSERT_EQ(R3410_default_params(set.get()), 1);
  EXPECT_EQ(R3410_params_nid(set.get()), 277);
}

TEST_F(R3410Test, SeededKeyGenerationUsesTheFirst32BytesReducedModuloQ) {
  Bytes seed40(40);
  for (int i = 0; i < 40; ++i) seed40[i] = static_cast<unsigned char>(0x11 * (i % 7) + i);
  KeyPtr k40 = make_key(R3410_SEL_CP_A, seed40);
  KeyPtr k32 = make_key(R3410_SEL_CP_A, Bytes(seed40.begin(), seed40.begin() + 32));
  EXPECT_EQ(BN_cmp(k40->y, k32->y), 0);
  unsigned char x40[32], x32[32];
  ASSERT_EQ(R3410_get_private_key(k40.get(), x40, 32), 1);
  ASSERT_EQ(R3410_get_private_key(k32.get(), x32, 32), 1);
  EXPECT_EQ(Bytes(x40, x40 + 32), Bytes(x32, x32 + 32));

  // q + 5 reduces to 5.
  KeyPtr key(R3410_new());
  R3410_set_params(key.get(), R3410_SEL_CP_A);
  BnPtr qp5(BN_dup(key->q));
  BN_add_word(qp5.get(), 5);
  Bytes seed = bn_bytes(qp5.get(), 32);
  ASSERT_EQ(R3410_generate_key(key.get(), seed.data(), 32), 1);
  unsigned char x[32];
  ASSERT_EQ(R3410_get_private_key(key.get(), x, 32), 1);
  Bytes five(32, 0);
  five[31] = 5;
  EXPECT_EQ(Bytes(x, x + 32), five);
}

TEST_F(R3410Test, SeedEqualToQGivesZeroAndFailsWithReason105) {
  KeyPtr key(R3410_new());
  R3410_set_params(key.get(), R3410_SEL_CP_A);
  Bytes seed = bn_bytes(key->q, 32);
  EXPECT_EQ(R3410_generate_key(key.get(), seed.data(), 32), 0);
  EXPECT_EQ(ERR_get_status(), 14u);
  auto q = drain_errors();
  EXPECT_TRUE(has_error(q, 78, 117, 105));
  EXPECT_TRUE(has_error(q, 78, 117, 78));
  EXPECT_FALSE(key->y);
}

TEST_F(R3410Test, KeyGenerationWithoutParametersFails) {
  KeyPtr key(R3410_new());
  EXPECT_EQ(R3410_generate_key(key.get(), nullptr, 0), 0);
  EXPECT_EQ(ERR_get_status(), 14u);
  EXPECT_TRUE(has_error(drain_errors(), 78, 117, 78));
}

TEST_F(R3410Test, RandomKeysDifferAndMatchTheirPublicValue) {
  KeyPtr a = make_key(R3410_SEL_CP_A), b = make_key(R3410_SEL_CP_A);
  EXPECT_NE(BN_cmp(a->y, b->y), 0);
  BnPtr y(BN_dup(a->y));
  ASSERT_EQ(R3410_generate_pubkey(a.get()), 1);
  EXPECT_EQ(BN_cmp(a->y, y.get()), 0);
}

TEST_F(R3410Test, PublicKeyNeedsAPrivateValueBelowQ) {
  KeyPtr key(R3410_new());
  R3410_set_params(key.get(), R3410_SEL_CP_A);
  EXPECT_EQ(R3410_generate_pubkey(key.get()), 0);
  EXPECT_TRUE(has_error(drain_errors(), 65, 121, 105));
  Bytes q = bn_bytes(key->q, 32);
  EXPECT_EQ(R3410_set_private_key(key.get(), q.data(), 32), 0);
  Bytes zero(32, 0);
  EXPECT_EQ(R3410_set_private_key(key.get(), zero.data(), 32), 0);
}

TEST_F(R3410Test, ReferencesKeepTheKeyAliveUntilTheLastFree) {
  R3410* key = R3410_new();
  ASSERT_EQ(R3410_up_ref(key), 1);
  EXPECT_EQ(key->references, 2);
  R3410_free(key);
  EXPECT_EQ(key->references, 1);  // still alive: ASan would flag a use after free
  R3410_free(key);
  R3410_free(nullptr);
}

// Allocation failure of the key object: status 11 and (78, 108, 33), no object.
void* failing_malloc(std::size_t) { return nullptr; }

TEST_F(R3410Test, AllocationFailureOfTheKeyIsReported) {
  MallocFn m;
  ReallocFn r;
  FreeFn f;
  CRYPTO_get_mem_functions(&m, &r, &f);
  CRYPTO_set_mem_functions(&failing_malloc, r, f);
  R3410* key = R3410_new();
  CRYPTO_set_mem_functions(m, r, f);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(ERR_get_status(), 11u);
  EXPECT_TRUE(has_error(drain_errors(), 78, 108, 33));
}

TEST_F(R3410Test, ParamsCheckIsStableWhileTheTablesAreIntact) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(R3410_params_check(), 1);
  EXPECT_EQ(ERR_count_errors(), 0);
}

TEST_F(R3410Test, ParamsCheckNoticesAChangedTableEntry) {
  ASSERT_EQ(R3410_params_check(), 1);
  for (auto* byte : {&r3410::rfc_table()[6].q[31], &r3410::builtin_set(2)->a[0],
                     &r3410::check_constant(1)[127]}) {
    *byte ^= 0x01;
    EXPECT_EQ(R3410_params_check(), 0);
    *byte ^= 0x01;
    EXPECT_TRUE(has_error(drain_errors(), 72, 115, 12));
    EXPECT_EQ(R3410_params_check(), 1);
  }
}

}  // namespace
}  // namespace jarnel::test


namespace jarnel::test {
namespace {

// x stays masked in the key; a masked value that changed in memory no longer unmasks, and
// signing with it fails instead of using a wrong exponent.
TEST_F(R3410Test, PrivateValueIsMaskedAndCheckedOnUse) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  ASSERT_TRUE(key->x.value);
  EXPECT_TRUE(MASK_BN_is_masked(key->x.value));
  Bytes digest(32, 0x42);
  R3410_SIG* sig = R3410_do_sign(key.get(), digest.data(), 32);
  ASSERT_TRUE(sig);
  R3410_SIG_free(sig);
  EXPECT_TRUE(MASK_BN_is_masked(key->x.value));
  key->x.value->d[0] ^= 0x10;
  ERR_clear_error();
  EXPECT_EQ(R3410_do_sign(key.get(), digest.data(), 32), nullptr);
  EXPECT_EQ(ERR_get_status(), 12u);
  key->x.value->d[0] ^= 0x10;
}

}  // namespace
}  // namespace jarnel::test
