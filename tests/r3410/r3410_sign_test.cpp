// Signing, verification and the three signature layouts.
#include <openssl/bn.h>

#include <atomic>
#include <string>
#include <thread>

#include "crypto/r3410/r3410_local.h"
#include "tests/r3410/r3410_fixture.h"

namespace jarnel::test {
namespace {

using r3410::BnPtr;

// An independent computation (Python integers) on CryptoPro-A: y = a^x mod p,
// r = (a^k mod p) mod q, s = (x·r + k·H) mod q.
const Bytes kX = hex("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
const Bytes kK = hex("67b887f43f3ca6e04146a13cff1ca865cedda53f2b3cc43f8926884187f93f41");
const Bytes kH = hex("3ad1f2fb9c2bb8f1e9a1b2c3d4e5f60718293a4b5c6d7e8f9012345678abcdef");
const Bytes kR = hex("49ce5deb84dbdda5f9075e7cc4d755037c9f609fc33ee23f0ac5e12fde8d2226");
const Bytes kS = hex("16b7d7d814f4a762a392568e0fd9d4165596e5e106f654c8da8434c2bb1f648f");
const Bytes kYHead = hex("17d00070c6e29e66bf795268e88ea942");
const Bytes kYTail = hex("8498f3c14c21e744d1fdb8d36388084bef895b69");

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes sign(R3410* key, int type, const Bytes& digest, const Bytes& k = {}) {
  if (!k.empty()) {
    EXPECT_EQ(R3410_sign_setup(key, k.data(), static_cast<int>(k.size())), 1);
  }
  Bytes out(static_cast<std::size_t>(R3410_size(type, key)));
  unsigned len = 0;
  EXPECT_EQ(R3410_sign(type, key, digest.data(), static_cast<int>(digest.size()), out.data(),
                       &len),
            1);
  out.resize(len);
  return out;
}

int verify(R3410* key, int type, const Bytes& digest, const Bytes& sig) {
  return R3410_verify(type, key, digest.data(), static_cast<int>(digest.size()), sig.data(),
                      static_cast<int>(sig.size()));
}

TEST_F(R3410Test, KnownAnswerOnCryptoProA) {
  KeyPtr key = make_key(R3410_SEL_CP_A, kX);
  Bytes y = bn_bytes(key->y, 128);
  EXPECT_EQ(Bytes(y.begin(), y.begin() + 16), kYHead);
  EXPECT_EQ(Bytes(y.end() - 20, y.end()), kYTail);
  EXPECT_EQ(sign(key.get(), R3410_SIG_RS, kH, kK), concat(kR, kS));
  EXPECT_EQ(sign(key.get(), R3410_SIG_CRYPTOPRO, kH, kK), concat(kS, kR));
  EXPECT_EQ(verify(key.get(), R3410_SIG_RS, kH, concat(kR, kS)), 1);
  EXPECT_EQ(verify(key.get(), R3410_SIG_CRYPTOPRO, kH, concat(kS, kR)), 1);
}

// Sign and verify on every set in every layout; a changed digest or signature is refused with
// status 7 and the verification-failure entry (78, 115, 3).
TEST_F(R3410Test, RoundTripOnEverySetAndLayout) {
  for (int selector : {1, 3, 4, 5, 6, 7, 8, 9, 10}) {
    KeyPtr key = make_key(selector);
    for (int type : {R3410_SIG_RS, R3410_SIG_CRYPTOPRO, 6}) {
      SCOPED_TRACE(testing::Message() << "selector " << selector << " type " << type);
      Bytes digest(32);
      for (int i = 0; i < 32; ++i) digest[i] = static_cast<unsigned char>(selector * 31 + i);
      Bytes sig = sign(key.get(), type, digest);
      EXPECT_EQ(verify(key.get(), type, digest, sig), 1);
      EXPECT_EQ(ERR_count_errors(), 0);

      Bytes other = digest;
      other[5] ^= 0x40;
      ERR_clear_error();
      EXPECT_EQ(verify(key.get(), type, other, sig), 0);
      EXPECT_EQ(ERR_get_status(), 7u);
      EXPECT_TRUE(has_error(drain_errors(), 78, 115, 3));

      Bytes bad = sig;
      bad[bad.size() - 1] ^= 0x01;
      ERR_clear_error();
      EXPECT_EQ(verify(key.get(), type, digest, bad), 0);
      ERR_clear_error();
    }
  }
}

TEST_F(R3410Test, LayoutsCarryTheSameNumbers) {
  KeyPtr key = make_key(R3410_SEL_CP_C);
  Bytes rs = sign(key.get(), R3410_SIG_RS, kH, kK);
  Bytes sr = sign(key.get(), R3410_SIG_CRYPTOPRO, kH, kK);
  Bytes der = sign(key.get(), 1, kH, kK);
  ASSERT_EQ(rs.size(), 64u);
  EXPECT_EQ(sr, concat(Bytes(rs.begin() + 32, rs.end()), Bytes(rs.begin(), rs.begin() + 32)));
  const unsigned char* p = der.data();
  R3410_SIG* sig = d2i_R3410_SIG(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_TRUE(sig);
  EXPECT_EQ(bn_bytes(sig->r, 32), Bytes(rs.begin(), rs.begin() + 32));
  EXPECT_EQ(bn_bytes(sig->s, 32), Bytes(rs.begin() + 32, rs.end()));
  R3410_SIG_free(sig);
}

// k = 225 on CryptoPro-A gives an r below 2^248: the fixed layouts pad it to 32 bytes.
TEST_F(R3410Test, FixedLayoutsPadShortNumbersOnTheLeft) {
  KeyPtr key = make_key(R3410_SEL_CP_A, kX);
  Bytes k(32, 0);
  k[31] = 225;
  Bytes rs = sign(key.get(), R3410_SIG_RS, kH, k);
  ASSERT_EQ(rs.size(), 64u);
  EXPECT_EQ(rs[0], 0);
  EXPECT_EQ(Bytes(rs.begin(), rs.begin() + 4), hex("003f331c"));
  EXPECT_EQ(verify(key.get(), R3410_SIG_RS, kH, rs), 1);
  Bytes sr = sign(key.get(), R3410_SIG_CRYPTOPRO, kH, k);
  EXPECT_EQ(Bytes(sr.begin() + 32, sr.begin() + 36), hex("003f331c"));
}

TEST_F(R3410Test, Type274RefusesOtherLengthsBeforeAnyArithmetic) {
  // A key without parameters: any arithmetic would record (78, 115, 12).
  KeyPtr empty(R3410_new());
  for (std::size_t len : {63u, 65u, 2u, 128u}) {
    SCOPED_TRACE(len);
    ERR_clear_error();
    Bytes sig(len, 0x01);
    EXPECT_EQ(R3410_verify(R3410_SIG_CRYPTOPRO, empty.get(), kH.data(), 32, sig.data(),
                           static_cast<int>(len)),
              0);
    auto q = drain_errors();
    EXPECT_TRUE(has_error(q, 78, 119, R3410_R_BAD_SIG_LENGTH));
    EXPECT_FALSE(has_error(q, 78, 115, 12));
  }
  Bytes sig(64, 0x01);
  ERR_clear_error();
  EXPECT_EQ(R3410_verify(R3410_SIG_CRYPTOPRO, empty.get(), kH.data(), 32, sig.data(), 64), 0);
  EXPECT_TRUE(has_error(drain_errors(), 78, 115, 12));
}

TEST_F(R3410Test, Type0SplitsAnyEvenLengthAndRefusesOddOnes) {
  KeyPtr key = make_key(R3410_SEL_CP_A, kX);
  // r and s given with one extra leading zero each: 66 bytes, still the same numbers.
  Bytes wide = concat(concat(Bytes{0}, kR), concat(Bytes{0}, kS));
  EXPECT_EQ(verify(key.get(), R3410_SIG_RS, kH, wide), 1);
  Bytes odd = concat(Bytes{0}, concat(kR, kS));
  EXPECT_EQ(verify(key.get(), R3410_SIG_RS, kH, odd), 0);
  EXPECT_TRUE(has_error(drain_errors(), 78, 119, R3410_R_BAD_SIG_LENGTH));
}

TEST_F(R3410Test, OutOfRangeSignatureNumbersGiveTheirReasons) {
  KeyPtr key = make_key(R3410_SEL_CP_A, kX);
  const Bytes q = bn_bytes(key->q, 32), zero(32, 0);
  const struct {
    const char* name;
    Bytes r, s;
    int reason;
  } cases[] = {{"r = 0", zero, kS, 102},
               {"r = q", q, kS, 104},
               {"s = 0", kR, zero, 101},
               {"s = q", kR, q, 103}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ERR_clear_error();
    R3410_SIG sig{BN_bin2bn(c.r.data(), 32, nullptr), BN_bin2bn(c.s.data(), 32, nullptr)};
    EXPECT_EQ(R3410_do_verify(&sig, key.get(), kH.data(), 32), 0);
    EXPECT_EQ(ERR_get_status(), 7u);
    auto errors = drain_errors();
    EXPECT_TRUE(has_error(errors, 78, 115, c.reason));
    EXPECT_TRUE(has_error(errors, 78, 115, 3));
    BN_free(sig.r);
    BN_free(sig.s);
  }
}

TEST_F(R3410Test, VerificationWithoutAPublicKeyIsAnError) {
  KeyPtr key(R3410_new());
  R3410_set_params(key.get(), R3410_SEL_CP_A);
  R3410_SIG sig{BN_bin2bn(kR.data(), 32, nullptr), BN_bin2bn(kS.data(), 32, nullptr)};
  EXPECT_EQ(R3410_do_verify(&sig, key.get(), kH.data(), 32), -1);
  EXPECT_TRUE(has_error(drain_errors(), 78, 115, 12));
  BN_free(sig.r);
  BN_free(sig.s);
}

// A digest equal to q (or any multiple of it, zero included) is taken as 1.
TEST_F(R3410Test, DigestEqualToQCountsAsOne) {
  KeyPtr key = make_key(R3410_SEL_CP_A, kX);
  Bytes one(32, 0);
  one[31] = 1;
  for (const Bytes& digest : {bn_bytes(key->q, 32), Bytes(32, 0)}) {
    Bytes sig = sign(key.get(), R3410_SIG_RS, digest, kK);
    EXPECT_EQ(verify(key.get(), R3410_SIG_RS, one, sig), 1);
    EXPECT_EQ(sig, sign(key.get(), R3410_SIG_RS, one, kK));
  }
}

TEST_F(R3410Test, TheOneTimeValuesServeExactlyOneSignature) {
  KeyPtr key = make_key(R3410_SEL_CP_A, kX);
  ASSERT_EQ(R3410_sign_setup(key.get(), kK.data(), 32), 1);
  EXPECT_EQ(bn_bytes(key->r_pre, 32), kR);
  R3410_SIG* first = R3410_do_sign(key.get(), kH.data(), 32);
  ASSERT_TRUE(first);
  EXPECT_FALSE(key->k || key->r_pre);
  EXPECT_EQ(bn_bytes(first->r, 32), kR);
  R3410_SIG* second = R3410_do_sign(key.get(), kH.data(), 32);
  ASSERT_TRUE(second);
  EXPECT_NE(BN_cmp(first->r, second->r), 0);  // fresh random k
  R3410_SIG_free(first);
  R3410_SIG_free(second);
  // A new key pair discards values prepared for the old one.
  ASSERT_EQ(R3410_sign_setup(key.get(), kK.data(), 32), 1);
  ASSERT_EQ(R3410_generate_key(key.get(), nullptr, 0), 1);
  EXPECT_FALSE(key->k);
}

TEST_F(R3410Test, SigningNeedsParametersAndAPrivateValue) {
  KeyPtr empty(R3410_new());
  EXPECT_EQ(R3410_do_sign(empty.get(), kH.data(), 32), nullptr);
  EXPECT_EQ(ERR_get_status(), 16u);
  EXPECT_TRUE(has_error(drain_errors(), 78, 114, 12));
  ERR_clear_error();
  KeyPtr no_x(R3410_new());
  R3410_set_params(no_x.get(), R3410_SEL_CP_A);
  EXPECT_EQ(R3410_do_sign(no_x.get(), kH.data(), 32), nullptr);
  auto q = drain_errors();
  EXPECT_TRUE(has_error(q, 78, 114, 105));
  EXPECT_EQ(ERR_get_status(), 16u);
}

TEST_F(R3410Test, SeededSetupRejectsAZeroK) {
  KeyPtr key = make_key(R3410_SEL_CP_A, kX);
  Bytes q = bn_bytes(key->q, 32);
  EXPECT_EQ(R3410_sign_setup(key.get(), q.data(), 32), 0);
  EXPECT_TRUE(has_error(drain_errors(), 78, 114, 106));
}

}  // namespace
}  // namespace jarnel::test

namespace jarnel::test {
namespace {

// Parameters outside the built-in sets take the general exponentiation: a generator a^2 of
// the same CryptoPro-A group.
TEST_F(R3410Test, ParametersOutsideTheTablesSignAndVerify) {
  KeyPtr base(R3410_new());
  R3410_set_params(base.get(), R3410_SEL_CP_A);
  KeyPtr key(R3410_new());
  r3410::BnCtxPtr ctx(BN_CTX_new());
  r3410::BnPtr p(BN_dup(base->p)), q(BN_dup(base->q)), a(BN_new());
  BN_mod_sqr(a.get(), base->a, base->p, ctx.get());
  r3410::replace_params(key.get(), std::move(p), std::move(q), std::move(a));
  EXPECT_EQ(R3410_params_nid(key.get()), 0);
  ASSERT_EQ(R3410_generate_key(key.get(), kX.data(), 32), 1);
  r3410::BnPtr x(BN_bin2bn(kX.data(), 32, nullptr)), y(BN_new());
  BN_mod_exp(y.get(), key->a, x.get(), key->p, ctx.get());
  EXPECT_EQ(BN_cmp(y.get(), key->y), 0);
  Bytes sig = sign(key.get(), R3410_SIG_CRYPTOPRO, kH);
  EXPECT_EQ(verify(key.get(), R3410_SIG_CRYPTOPRO, kH, sig), 1);
}

}  // namespace
}  // namespace jarnel::test


namespace jarnel::test {
namespace {

// A key may be shared between threads for verification: its Montgomery form and the set's
// power table are made on first use by whichever thread comes first.
TEST_F(R3410Test, ThreadsShareAKeyForVerification) {
  KeyPtr signer = make_key(R3410_SEL_CP_D, kX);
  Bytes sig = sign(signer.get(), R3410_SIG_CRYPTOPRO, kH);
  KeyPtr shared(R3410_new());
  R3410_set_params(shared.get(), R3410_SEL_CP_D);
  shared->y = BN_dup(signer->y);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) good += verify(shared.get(), R3410_SIG_CRYPTOPRO, kH, sig);
      ERR_remove_state(0);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 40);
}

TEST_F(R3410Test, ErrorsPrintTheirTexts) {
  char buf[256];
  ERR_error_string_n(ERR_pack(78, 115, 104), buf, sizeof buf);
  EXPECT_NE(std::string(buf).find("GOSTS routines:R3410_do_verify:'r' is greater or equal to 'q'"),
            std::string::npos)
      << buf;
  ERR_error_string_n(ERR_pack(13, 222, 110), buf, sizeof buf);
  EXPECT_NE(std::string(buf).find("D2I_R3410PARAMS:decode error"), std::string::npos) << buf;
  ERR_error_string_n(ERR_pack(65, 118, 0), buf, sizeof buf);
  EXPECT_NE(std::string(buf).find("d2i_R3410_SIG"), std::string::npos) << buf;
}

}  // namespace
}  // namespace jarnel::test

namespace jarnel::test {
namespace {

// The example of the standard (512-bit p), with its private value x and one-time k; the
// digest is given here most significant byte first.
TEST_F(R3410Test, KnownAnswerOfTheStandardsExample) {
  auto num = [](const char* h) {
    BIGNUM* v = nullptr;
    BN_hex2bn(&v, h);
    return r3410::BnPtr(v);
  };
  KeyPtr key(R3410_new());
  r3410::replace_params(
      key.get(),
      num("EE8172AE8996608FB69359B89EB82A69854510E2977A4D63BC97322CE5DC3386EA0A12B343E9190F2317"
          "7539845839786BB0C345D165976EF2195EC9B1C379E3"),
      num("98915E7EC8265EDFCDA31E88F24809DDB064BDC7285DD50D7289F0AC6F49DD2D"),
      num("9E96031500C8774A869582D4AFDE2127AFAD2538B4B6270A6F7C8837B50D50F206755984A49E509304D6"
          "48BE2AB5AAB18EBE2CD46AC3D8495B142AA6CE23E21C"));
  const Bytes x = hex("3036314538303830343630454235324435324234314132373832433138443046");
  const Bytes k = hex("90F3A564439242F5186EBB224C8E223811B7105C64E4F5390807E6362DF4C72A");
  const Bytes digest = hex("3534454132454236443134453437313943363345374143423445413631454230");
  ASSERT_EQ(R3410_generate_key(key.get(), x.data(), 32), 1);
  const Bytes rs = hex(
      "3e5f895e276d81d2d52c0763270a458157b784c57abdbd807bc44fd43a32ac06"
      "3f0dd5d4400d47c08e4ce505ff7434b6dbf729592e37c74856dab85115a60955");
  EXPECT_EQ(sign(key.get(), R3410_SIG_RS, digest, k), rs);
  EXPECT_EQ(verify(key.get(), R3410_SIG_RS, digest, rs), 1);
}

}  // namespace
}  // namespace jarnel::test
