// DER encodings: round trips, the forms each decoder tells apart, and malformed input.
#include <openssl/bn.h>

#include <functional>
#include <random>

#include "crypto/mem.h"
#include "crypto/r3410/r3410_local.h"
#include "tests/r3410/r3410_fixture.h"

namespace jarnel::test {
namespace {

using r3410::BnPtr;

template <class F>
Bytes encode(F i2d, const R3410* key) {
  int n = i2d(key, nullptr);
  EXPECT_GT(n, 0);
  Bytes out(static_cast<std::size_t>(n > 0 ? n : 0));
  unsigned char* p = out.data();
  EXPECT_EQ(i2d(key, &p), n);
  EXPECT_EQ(p, out.data() + out.size());
  return out;
}

using Decoder = std::function<R3410*(R3410**, const unsigned char**, long)>;

R3410* decode(const Decoder& d2i, const Bytes& der, R3410** into = nullptr) {
  const unsigned char* p = der.data();
  R3410* key = d2i(into, &p, static_cast<long>(der.size()));
  if (key) {
    EXPECT_EQ(p, der.data() + der.size());
  }
  return key;
}

Bytes explicit_params(const R3410* key) {
  // SEQUENCE { p INTEGER, q INTEGER, a INTEGER }, built by hand.
  auto integer = [](const BIGNUM* v) {
    Bytes body(static_cast<std::size_t>(BN_num_bytes(v)));
    BN_bn2bin(v, body.data());
    if (body[0] & 0x80) body.insert(body.begin(), 0);
    Bytes out{0x02};
    if (body.size() >= 128) out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
  };
  Bytes content = integer(key->p);
  for (const BIGNUM* v : {key->q, key->a}) {
    Bytes i = integer(v);
    content.insert(content.end(), i.begin(), i.end());
  }
  Bytes out{0x30, 0x82, static_cast<unsigned char>(content.size() >> 8),
            static_cast<unsigned char>(content.size() & 0xFF)};
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

TEST_F(R3410Test, ParametersOfATableSetAreWrittenAsObjectIdentifiers) {
  KeyPtr key(R3410_new());
  R3410_set_params(key.get(), R3410_SEL_CP_A);
  EXPECT_EQ(encode(i2d_R3410Params, key.get()),
            hex("301206072a85030202200206072a850302021e01"));
  KeyPtr back(decode(d2i_R3410Params, hex("301206072a85030202200306072a850302021e01")));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->param_nid, 277);
  EXPECT_EQ(back->digest_param_nid, 275);
  EXPECT_EQ(R3410_params_nid(back.get()), 277);
}

TEST_F(R3410Test, ObjectNamesAndIdentifiers) {
  const struct {
    int nid;
    const char *name, *oid;
  } cases[] = {{272, "R3410-CP", "1.2.643.2.2.20"},
               {274, "CryptoPro-GostR3411-94-with-GostR3410-94", "1.2.643.2.2.4"},
               {275, "CryptoPro-GostR3411-94-ParamSet", "1.2.643.2.2.30.1"},
               {276, "CryptoPro-GostR3410-94-A-ParamSet", "1.2.643.2.2.32.2"},
               {279, "CryptoPro-GostR3410-94-D-ParamSet", "1.2.643.2.2.32.5"},
               {282, "CryptoPro-GostR3410-94-XchC-ParamSet", "1.2.643.2.2.33.3"}};
  for (const auto& c : cases) {
    EXPECT_STREQ(R3410_nid_short_name(c.nid), c.name);
    EXPECT_STREQ(R3410_nid_oid(c.nid), c.oid);
  }
  EXPECT_EQ(R3410_nid_short_name(283), nullptr);
  EXPECT_EQ(R3410_nid_oid(273), nullptr);
}

TEST_F(R3410Test, ExplicitParametersAreIdentifiedAgainstTheTable) {
  KeyPtr b(R3410_new());
  R3410_set_params(b.get(), R3410_SEL_CP_B);
  KeyPtr back(decode(d2i_R3410Params, explicit_params(b.get())));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->param_nid, 277);
  EXPECT_EQ(BN_cmp(back->a, b->a), 0);

  KeyPtr builtin(R3410_new());
  R3410_set_params(builtin.get(), R3410_SEL_BUILTIN_2);
  Bytes der = encode(i2d_R3410Params, builtin.get());
  EXPECT_EQ(der, explicit_params(builtin.get()));
  KeyPtr unknown(decode(d2i_R3410Params, der));
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->param_nid, 0);
  EXPECT_EQ(BN_cmp(unknown->p, builtin->p), 0);
}

TEST_F(R3410Test, PublicKeyFormsFollowWriteParams) {
  KeyPtr key = make_key(R3410_SEL_CP_D);
  Bytes with = encode(i2d_R3410PublicKey, key.get());
  EXPECT_EQ(with[0], 0x30);
  KeyPtr back(decode(d2i_R3410PublicKey, with));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->write_params, 1);
  EXPECT_EQ(back->param_nid, 279);
  EXPECT_EQ(BN_cmp(back->y, key->y), 0);

  key->write_params = 0;
  Bytes bare = encode(i2d_R3410PublicKey, key.get());
  EXPECT_EQ(bare[0], 0x02);
  KeyPtr y_only(decode(d2i_R3410PublicKey, bare));
  ASSERT_TRUE(y_only);
  EXPECT_EQ(y_only->write_params, 0);
  EXPECT_EQ(BN_cmp(y_only->y, key->y), 0);
  EXPECT_FALSE(y_only->p);
}

TEST_F(R3410Test, PublicValueIsLittleEndianInAnOctetString) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  Bytes der = encode(i2d_R3410PublicValue, key.get());
  ASSERT_EQ(der.size(), 131u);
  EXPECT_EQ(Bytes(der.begin(), der.begin() + 3), hex("048180"));
  Bytes be = bn_bytes(key->y, 128);
  EXPECT_EQ(Bytes(der.begin() + 3, der.end()), Bytes(be.rbegin(), be.rend()));
  KeyPtr back(decode(d2i_R3410PublicValue, der));
  ASSERT_TRUE(back);
  EXPECT_EQ(BN_cmp(back->y, key->y), 0);
}

TEST_F(R3410Test, PlainPrivateKeyRoundTripSigns) {
  KeyPtr key = make_key(R3410_SEL_CP_XCHA);
  Bytes der = encode(i2d_R3410PrivateKey, key.get());
  KeyPtr back(decode(d2i_R3410PrivateKey, der));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->param_nid, 280);
  EXPECT_FALSE(back->key_mac);
  unsigned char x1[32], x2[32];
  ASSERT_EQ(R3410_get_private_key(key.get(), x1, 32), 1);
  ASSERT_EQ(R3410_get_private_key(back.get(), x2, 32), 1);
  EXPECT_EQ(Bytes(x1, x1 + 32), Bytes(x2, x2 + 32));
  Bytes digest(32, 0x5A);
  unsigned char sig[64];
  unsigned len = 0;
  ASSERT_EQ(R3410_sign(R3410_SIG_RS, back.get(), digest.data(), 32, sig, &len), 1);
  EXPECT_EQ(R3410_verify(R3410_SIG_RS, key.get(), digest.data(), 32, sig, 64), 1);
}

TEST_F(R3410Test, ContainerEncryptedPrivateKeyKeepsItsCheckValue) {
  KeyPtr key = make_key(R3410_SEL_CP_A);
  key->key_mac = BN_new();
  BN_set_word(key->key_mac, 0xA1B2C3D4);
  Bytes der = encode(i2d_R3410PrivateKey, key.get());
  KeyPtr back(decode(d2i_R3410PrivateKey, der));
  ASSERT_TRUE(back);
  ASSERT_TRUE(back->key_mac);
  EXPECT_EQ(BN_get_word(back->key_mac), 0xA1B2C3D4u);
  // The encrypted value cannot sign.
  Bytes digest(32, 1);
  EXPECT_EQ(R3410_do_sign(back.get(), digest.data(), 32), nullptr);
}

// Every proper prefix of every encoding, a changed outer tag, a trailing byte, a negative
// number and wrong element counts are refused; a given target object keeps its contents.
TEST_F(R3410Test, MalformedEncodingsAreRefusedCleanly) {
  KeyPtr key = make_key(R3410_SEL_CP_B);
  KeyPtr enc = make_key(R3410_SEL_CP_A);
  enc->key_mac = BN_new();
  BN_set_word(enc->key_mac, 7);
  const struct {
    const char* name;
    Bytes der;
    Decoder d2i;
  } cases[] = {
      {"params", encode(i2d_R3410Params, key.get()), d2i_R3410Params},
      {"explicit params", explicit_params(key.get()), d2i_R3410Params},
      {"public key", encode(i2d_R3410PublicKey, key.get()), d2i_R3410PublicKey},
      {"public value", encode(i2d_R3410PublicValue, key.get()), d2i_R3410PublicValue},
      {"private key", encode(i2d_R3410PrivateKey, key.get()), d2i_R3410PrivateKey},
      {"encrypted private key", encode(i2d_R3410PrivateKey, enc.get()), d2i_R3410PrivateKey},
  };
  KeyPtr target = make_key(R3410_SEL_CP_C);
  BnPtr y(BN_dup(target->y));
  auto refused = [&](const Decoder& d2i, const Bytes& der) {
    R3410* t = target.get();
    const unsigned char* p = der.data();
    R3410* got = d2i(&t, &p, static_cast<long>(der.size()));
    return got == nullptr && t == target.get() && p == der.data() &&
           BN_cmp(target->y, y.get()) == 0 && target->param_nid == 278;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t n = 0; n < c.der.size(); ++n)
      EXPECT_TRUE(refused(c.d2i, Bytes(c.der.begin(), c.der.begin() + n))) << n;
    Bytes trailing = c.der;
    trailing.push_back(0);
    EXPECT_TRUE(refused(c.d2i, trailing));
    Bytes tag = c.der;
    tag[0] = tag[0] == 0x30 ? 0x31 : 0x30;
    EXPECT_TRUE(refused(c.d2i, tag));
    // Every single-byte change inside the header area either decodes to something valid or
    // is refused without harm; ASan watches for the harm.
    for (std::size_t i = 0; i < std::min<std::size_t>(c.der.size(), 24); ++i) {
      Bytes m = c.der;
      m[i] ^= 0xFF;
      KeyPtr k(decode(c.d2i, m));
    }
    ERR_clear_error();
  }
  const Bytes odd[] = {
      hex("3006020101020100"),                          // params: two INTEGERs
      hex("301206072a85030202200706072a850302021e01"),  // 1.2.643.2.2.32.7: no such set
      hex("301206072a85030202200206072a850302021e07"),  // unknown digest set
      hex("3009020101020101020181"),                    // negative a
  };
  for (const Bytes& der : odd) EXPECT_TRUE(refused(d2i_R3410Params, der));
  EXPECT_TRUE(refused(d2i_R3410PublicKey, hex("0201ff")));  // negative y
  EXPECT_TRUE(refused(d2i_R3410PublicKey, hex("020100")));  // zero y
  EXPECT_TRUE(has_error(drain_errors(), 13, 222, R3410_ASN1_R_UNKNOWN_OBJECT_TYPE));
}

// Random changes of one to four bytes (a fixed sequence): every decoder either gives a whole
// object or nothing, and never reads outside its input (ASan watches).
TEST_F(R3410Test, RandomlyDamagedEncodingsNeverHarm) {
  KeyPtr key = make_key(R3410_SEL_CP_XCHC);
  KeyPtr enc = make_key(R3410_SEL_CP_A);
  enc->key_mac = BN_new();
  BN_set_word(enc->key_mac, 0x01020304);
  const struct {
    Bytes der;
    Decoder d2i;
  } cases[] = {{encode(i2d_R3410Params, key.get()), d2i_R3410Params},
               {explicit_params(key.get()), d2i_R3410Params},
               {encode(i2d_R3410PublicKey, key.get()), d2i_R3410PublicKey},
               {encode(i2d_R3410PublicValue, key.get()), d2i_R3410PublicValue},
               {encode(i2d_R3410PrivateKey, key.get()), d2i_R3410PrivateKey},
               {encode(i2d_R3410PrivateKey, enc.get()), d2i_R3410PrivateKey}};
  std::mt19937 rng(3410);
  for (const auto& c : cases) {
    for (int round = 0; round < 400; ++round) {
      Bytes m = c.der;
      const int changes = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < changes; ++i) m[rng() % m.size()] = static_cast<unsigned char>(rng());
      if (rng() % 4 == 0) m.resize(rng() % m.size());
      if (m.empty()) continue;
      const unsigned char* p = m.data();
      R3410* got = c.d2i(nullptr, &p, static_cast<long>(m.size()));
      EXPECT_TRUE(got ? p == m.data() + m.size() : p == m.data());
      R3410_free(got);
      ERR_clear_error();
    }
  }
  std::mt19937 sig_rng(94);
  const Bytes sig = hex("3044022011223344556677889900aabbccddeeff00112233445566778899aabbccddeeff0220"
                        "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20");
  for (int round = 0; round < 400; ++round) {
    Bytes m = sig;
    m[sig_rng() % m.size()] = static_cast<unsigned char>(sig_rng());
    const unsigned char* p = m.data();
    R3410_SIG_free(d2i_R3410_SIG(nullptr, &p, static_cast<long>(m.size())));
    ERR_clear_error();
  }
}

TEST_F(R3410Test, SignatureDerIsStrict) {
  const Bytes good = hex("3006020101020102");
  const unsigned char* p = good.data();
  R3410_SIG* sig = d2i_R3410_SIG(nullptr, &p, static_cast<long>(good.size()));
  ASSERT_TRUE(sig);
  EXPECT_EQ(BN_get_word(sig->r), 1u);
  EXPECT_EQ(BN_get_word(sig->s), 2u);
  unsigned char* out = nullptr;
  int n = i2d_R3410_SIG(sig, &out);
  ASSERT_EQ(n, 8);
  EXPECT_EQ(Bytes(out, out + n), good);
  mem_free(out);
  for (const Bytes& bad : {hex("3006020101020102ff"), hex("30030201010201"), hex("300302010102"),
                           hex("3009020101020102020103"), hex("3006020181020102"), Bytes{}}) {
    const unsigned char* q = bad.data();
    R3410_SIG* keep = sig;
    EXPECT_EQ(d2i_R3410_SIG(&keep, &q, static_cast<long>(bad.size())), nullptr);
    EXPECT_EQ(keep, sig);
    EXPECT_EQ(BN_get_word(sig->r), 1u);
  }
  EXPECT_TRUE(has_error(drain_errors(), 65, 118, R3410_ASN1_R_DECODE_ERROR));
  R3410_SIG_free(sig);
}

}  // namespace
}  // namespace jarnel::test
