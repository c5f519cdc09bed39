// The OpenSSL 3 bindings: every cipher and digest through the generic interfaces of the private
// library context, the CryptoPro cipher parameters, HMAC and PBKDF2 with "hmacWithR3411".
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include "crypto/rus/gost89.h"
#include "crypto/rus/gost_provider.h"
#include "crypto/rus/gosth.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed + i * 29 + (i >> 4));
  return b;
}

class Provider : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(GOST_register_algorithms(), 1); }
  OSSL_LIB_CTX* lc() { return GOST_libctx(); }

  Bytes evp_crypt(const char* name, const Bytes& key, const Bytes& iv, const Bytes& data, int enc,
                  int padding = -1, std::size_t piece = 0) {
    EVP_CIPHER* c = EVP_CIPHER_fetch(lc(), name, nullptr);
    EXPECT_NE(c, nullptr) << name;
    if (!c) return {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(data.size() + 16);
    int total = 0, n = 0;
    EXPECT_EQ(EVP_CipherInit_ex2(ctx, c, key.data(), iv.empty() ? nullptr : iv.data(), enc, nullptr), 1);
    if (padding >= 0) EVP_CIPHER_CTX_set_padding(ctx, padding);
    if (piece == 0) piece = data.size() ? data.size() : 1;
    bool ok = true;
    for (std::size_t off = 0; ok && off < data.size(); off += piece) {
      int len = static_cast<int>(std::min(piece, data.size() - off));
      ok = EVP_CipherUpdate(ctx, out.data() + total, &n, data.data() + off, len) == 1;
      total += n;
    }
    if (ok) ok = EVP_CipherFinal_ex(ctx, out.data() + total, &n) == 1;
    total += n;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
    if (!ok) return {0xDE, 0xAD};
    out.resize(static_cast<std::size_t>(total));
    return out;
  }

  Bytes evp_digest(const char* name, const Bytes& data) {
    EVP_MD* md = EVP_MD_fetch(lc(), name, nullptr);
    EXPECT_NE(md, nullptr) << name;
    if (!md) return {};
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr), 1);
    EVP_MD_free(md);
    out.resize(len);
    return out;
  }
};

Bytes direct_stream(int (*init)(GOSTE_CTX*, const unsigned char*, const unsigned char*, const unsigned char*),
                    const Bytes& key, const Bytes& iv, const unsigned char* sbox, const Bytes& data, int dir) {
  GOSTE_CTX* c = GOSTE_new();
  EXPECT_TRUE(init(c, key.data(), iv.data(), sbox));
  c->direction = dir;
  Bytes out(data.size());
  EXPECT_EQ(GOSTE_update(c, data.data(), out.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  GOSTE_free(c);
  return out;
}

// HMAC written out from the hash itself (block 32), independent of OpenSSL's HMAC.
Bytes manual_hmac(const Bytes& key, const Bytes& msg) {
  Bytes k = key;
  if (k.size() > 32) {
    k.assign(32, 0);
    GOSTH_digest(key.data(), static_cast<int>(key.size()), k.data());
  }
  k.resize(32, 0);
  Bytes in(32), out(32);
  for (int i = 0; i < 32; ++i) in[i] = k[i] ^ 0x36;
  in.insert(in.end(), msg.begin(), msg.end());
  Bytes inner(32);
  GOSTH_digest(in.data(), static_cast<int>(in.size()), inner.data());
  for (int i = 0; i < 32; ++i) out[i] = k[i] ^ 0x5C;
  out.insert(out.end(), inner.begin(), inner.end());
  Bytes mac(32);
  GOSTH_digest(out.data(), static_cast<int>(out.size()), mac.data());
  return mac;
}

}  // namespace

TEST_F(Provider, EveryCipherNameAliasAndOidEncryptsAndDecrypts) {
  struct Case {
    const char* names[5];
    int (*init)(GOSTE_CTX*, const unsigned char*, const unsigned char*, const unsigned char*);
  } cases[] = {
      {{"RUS-GAMMA", "rus-gamma", "1.3.6.1.4.1.7203.1.1.2"}, GOSTE_gamma_init},
      {{"RUS-GAMMAR", "rus-gammar", "rus-gfb", "rus-gamma-fb", "rus-gamma-r"}, GOSTE_gamma_fb_init},
      {{"RUS-GAMMAR-CP", "CryptoPro-Gost28147-89", "rus-cfb", "1.2.643.2.2.21"}, GOSTE_gamma_fb_cp_init},
  };
  Bytes key = pattern(32, 1), iv = pattern(8, 2);
  for (std::size_t len : {1u, 8u, 100u, 1024u, 3000u}) {
    Bytes data = pattern(len, 3);
    for (const auto& c : cases) {
      Bytes ref = direct_stream(c.init, key, iv, nullptr, data, 1);
      for (const char* name : c.names) {
        if (!name) continue;
        EXPECT_EQ(evp_crypt(name, key, iv, data, 1, -1, 333), ref) << name << " " << len;
        EXPECT_EQ(evp_crypt(name, key, iv, ref, 0), data) << name << " " << len;
      }
    }
  }
}

TEST_F(Provider, SimpleReplacementPadsAndMatchesEcb) {
  Bytes key = pattern(32, 5);
  for (const char* name : {"RUS-CHANGE", "rus-change", "rus-ecb", "rus-simple", "1.3.6.1.4.1.7203.1.1.1"}) {
    for (std::size_t len : {0u, 1u, 7u, 8u, 9u, 64u, 1001u}) {
      Bytes data = pattern(len, 6);
      Bytes enc = evp_crypt(name, key, {}, data, 1, -1, 5);
      ASSERT_EQ(enc.size(), (len / 8 + 1) * 8) << name << " " << len;
      EXPECT_EQ(evp_crypt(name, key, {}, enc, 0, -1, 3), data) << name << " " << len;
    }
  }
  Bytes blocks = pattern(64, 7);
  Bytes raw = evp_crypt("RUS-CHANGE", key, {}, blocks, 1, 0);
  GOSTE_CTX* c = GOSTE_new();
  ASSERT_TRUE(GOSTE_ss_init(c, 1, key.data(), nullptr));
  Bytes ref(64);
  ASSERT_EQ(GOSTE_ss_update(c, blocks.data(), ref.data(), 64), 64);
  GOSTE_free(c);
  EXPECT_EQ(raw, ref);
  // Without padding a partial block fails; a corrupted pad fails on decryption.
  EXPECT_EQ(evp_crypt("RUS-CHANGE", key, {}, pattern(5, 1), 1, 0), (Bytes{0xDE, 0xAD}));
  Bytes enc = evp_crypt("RUS-CHANGE", key, {}, pattern(13, 1), 1);
  enc.back() ^= 1;
  EXPECT_EQ(evp_crypt("RUS-CHANGE", key, {}, enc, 0), (Bytes{0xDE, 0xAD}));
}

TEST_F(Provider, CryptoProParametersCarryIvAndSbox) {
  Bytes key = pattern(32, 9), iv = pattern(8, 10), data = pattern(2000, 11);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(lc(), "RUS-GAMMAR-CP", nullptr);
  ASSERT_NE(cipher, nullptr);
  // Writing: IV and the OID of the context's S-box (CryptoPro-A by default).
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_CipherInit_ex2(enc, cipher, key.data(), iv.data(), 1, nullptr), 1);
  ASN1_TYPE* t = ASN1_TYPE_new();
  ASSERT_EQ(EVP_CIPHER_param_to_asn1(enc, t), 1);
  unsigned char* der = nullptr;
  int derlen = i2d_ASN1_TYPE(t, &der);
  Bytes expect = {0x30, 0x13, 0x04, 0x08};
  expect.insert(expect.end(), iv.begin(), iv.end());
  for (unsigned char b : {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01}) expect.push_back(b);
  EXPECT_EQ(Bytes(der, der + derlen), expect);
  OPENSSL_free(der);
  ASN1_TYPE_free(t);
  EVP_CIPHER_CTX_free(enc);

  // Reading: parameters naming CryptoPro-B select that S-box; an OID without an S-box
  // (CryptoPro-Simple-A, .31.6) leaves the default.
  struct Case {
    unsigned char last;
    const unsigned char* sbox;
  } cases[] = {{0x02, GOSTE_sbox_by_number(33)}, {0x04, GOSTE_sbox_by_number(35)}, {0x06, nullptr}};
  for (const auto& k : cases) {
    Bytes params = expect;
    params.back() = k.last;
    const unsigned char* p = params.data();
    ASN1_TYPE* in = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(params.size()));
    ASSERT_NE(in, nullptr);
    EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_CipherInit_ex2(dec, cipher, nullptr, nullptr, 0, nullptr), 1);
    ASSERT_EQ(EVP_CIPHER_asn1_to_param(dec, in), 1);
    ASSERT_EQ(EVP_CipherInit_ex2(dec, nullptr, key.data(), nullptr, 0, nullptr), 1);
    Bytes ct = direct_stream(GOSTE_gamma_fb_cp_init, key, iv, k.sbox, data, 1);
    Bytes pt(ct.size());
    int n = 0;
    ASSERT_EQ(EVP_CipherUpdate(dec, pt.data(), &n, ct.data(), static_cast<int>(ct.size())), 1);
    EXPECT_EQ(pt, data) << int(k.last);
    EVP_CIPHER_CTX_free(dec);
    ASN1_TYPE_free(in);
  }
  // A malformed structure is refused.
  Bytes bad = expect;
  bad[3] = 7;
  const unsigned char* p = bad.data();
  ASN1_TYPE* in = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(bad.size()));
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_CipherInit_ex2(dec, cipher, nullptr, nullptr, 0, nullptr), 1);
  if (in) {
    EXPECT_LE(EVP_CIPHER_asn1_to_param(dec, in), 0);
  }
  EVP_CIPHER_CTX_free(dec);
  ASN1_TYPE_free(in);
  EVP_CIPHER_free(cipher);
}

TEST_F(Provider, StreamCipherParametersAreThePlainIv) {
  Bytes key = pattern(32, 1), iv = pattern(8, 4);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(lc(), "RUS-GAMMA", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_CipherInit_ex2(ctx, cipher, key.data(), iv.data(), 1, nullptr), 1);
  ASN1_TYPE* t = ASN1_TYPE_new();
  ASSERT_EQ(EVP_CIPHER_param_to_asn1(ctx, t), 1);
  ASSERT_EQ(ASN1_TYPE_get(t), V_ASN1_OCTET_STRING);
  EXPECT_EQ(Bytes(t->value.octet_string->data, t->value.octet_string->data + 8), iv);
  ASN1_TYPE_free(t);
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
}

TEST_F(Provider, DigestsByEveryName) {
  Bytes data = pattern(100, 12);
  unsigned char ref[32], ref_cp[32];
  ASSERT_TRUE(GOSTH_digest(data.data(), 100, ref));
  ASSERT_TRUE(GOSTH_digest_cp(data.data(), 100, ref_cp));
  for (const char* name : {"RUS-HASH", "rus-hash", "r3411", "rush", "1.3.6.1.4.1.7203.1.2.1", "R3410-R3411",
                           "r3410WithR3411", "1.3.6.1.4.1.7203.1.3.1", "ECR3410-R3411", "ecr3410WithR3411",
                           "ecr3410", "ECR3410", "1.3.6.1.4.1.7203.1.3.2"})
    EXPECT_EQ(evp_digest(name, data), Bytes(ref, ref + 32)) << name;
  for (const char* name : {"RUS-HASH-CP", "CryptoPro-GostR3411-94", "1.2.643.2.2.9",
                           "CryptoPro-GostR3411-94-with-GostR3410-94", "1.2.643.2.2.4",
                           "CryptoPro-GostR3411-94-with-GostR3410-2001", "1.2.643.2.2.3"})
    EXPECT_EQ(evp_digest(name, data), Bytes(ref_cp, ref_cp + 32)) << name;
  EVP_MD* md = EVP_MD_fetch(lc(), "RUS-HASH", nullptr);
  EXPECT_EQ(EVP_MD_get_size(md), 32);
  EXPECT_EQ(EVP_MD_get_block_size(md), 32);
  EVP_MD_free(md);
}

TEST_F(Provider, MacDigestTakesItsKeyAsAParameter) {
  Bytes key = pattern(32, 13), data = pattern(50, 14);
  EVP_MD* md = EVP_MD_fetch(lc(), "CryptoPro-Gost28147-89-MAC", nullptr);
  ASSERT_NE(md, nullptr);
  EXPECT_EQ(EVP_MD_get_size(md), 4);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EXPECT_EQ(EVP_DigestInit_ex2(ctx, md, nullptr), 0);  // no key: refused
  OSSL_PARAM params[] = {OSSL_PARAM_octet_string(OSSL_MAC_PARAM_KEY, key.data(), 32), OSSL_PARAM_END};
  ASSERT_EQ(EVP_DigestInit_ex2(ctx, md, params), 1);
  ASSERT_EQ(EVP_DigestUpdate(ctx, data.data(), 20), 1);
  ASSERT_EQ(EVP_DigestUpdate(ctx, data.data() + 20, 30), 1);
  unsigned char out[4];
  unsigned int len = 0;
  ASSERT_EQ(EVP_DigestFinal_ex(ctx, out, &len), 1);
  EXPECT_EQ(len, 4u);
  unsigned char ref[4];
  ASSERT_NE(GOSTE_mac(nullptr, data.data(), 50, key.data(), GOSTE_sbox_by_number(32), ref), nullptr);
  EXPECT_EQ(Bytes(out, out + 4), Bytes(ref, ref + 4));
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}

TEST_F(Provider, PrehashedDigestReturnsTheGivenValue) {
  Bytes v = pattern(40, 15);
  Bytes out = evp_digest("PREHASHED-R3411", v);
  EXPECT_EQ(out, Bytes(v.begin(), v.begin() + 32));
}

TEST_F(Provider, HmacWithR3411ThroughEvpMac) {
  const char* digest = GOST_pbkdf2_prf_digest("hmacWithR3411");
  ASSERT_STREQ(digest, "RUS-HASH");
  EVP_MAC* mac = EVP_MAC_fetch(lc(), "HMAC", nullptr);
  ASSERT_NE(mac, nullptr);
  for (std::size_t keylen : {5u, 32u, 70u}) {
    Bytes key = pattern(keylen, 16), msg = pattern(123, 17);
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    OSSL_PARAM params[] = {OSSL_PARAM_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digest), 0),
                           OSSL_PARAM_END};
    ASSERT_EQ(EVP_MAC_init(ctx, key.data(), key.size(), params), 1);
    ASSERT_EQ(EVP_MAC_update(ctx, msg.data(), msg.size()), 1);
    Bytes out(32);
    std::size_t len = 0;
    ASSERT_EQ(EVP_MAC_final(ctx, out.data(), &len, out.size()), 1);
    EXPECT_EQ(out, manual_hmac(key, msg)) << keylen;
    EVP_MAC_CTX_free(ctx);
  }
  EVP_MAC_free(mac);
}

TEST_F(Provider, Pbkdf2WithR3411ThroughEvpKdf) {
  EVP_KDF* kdf = EVP_KDF_fetch(lc(), "PBKDF2", nullptr);
  ASSERT_NE(kdf, nullptr);
  Bytes pass = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'}, salt = {'s', 'a', 'l', 't', 's', 'a', 'l', 't'};
  for (unsigned iter : {1u, 2u, 3u}) {
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    int it = static_cast<int>(iter);
    OSSL_PARAM params[] = {
        OSSL_PARAM_octet_string(OSSL_KDF_PARAM_PASSWORD, pass.data(), pass.size()),
        OSSL_PARAM_octet_string(OSSL_KDF_PARAM_SALT, salt.data(), salt.size()),
        OSSL_PARAM_int(OSSL_KDF_PARAM_ITER, &it),
        OSSL_PARAM_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(GOST_pbkdf2_prf_digest_by_nid(180)), 0),
        OSSL_PARAM_END};
    Bytes out(40);
    ASSERT_EQ(EVP_KDF_derive(ctx, out.data(), out.size(), params), 1);
    // PBKDF2 by hand: T_i = U_1 ^ ... ^ U_c, U_1 = HMAC(P, S || INT(i)).
    Bytes expect;
    for (unsigned char block = 1; block <= 2; ++block) {
      Bytes s = salt;
      for (unsigned char b : {0, 0, 0, static_cast<int>(block)}) s.push_back(b);
      Bytes u = manual_hmac(pass, s), t = u;
      for (unsigned i = 1; i < iter; ++i) {
        u = manual_hmac(pass, u);
        for (int j = 0; j < 32; ++j) t[j] ^= u[j];
      }
      expect.insert(expect.end(), t.begin(), t.end());
    }
    expect.resize(40);
    EXPECT_EQ(out, expect) << iter;
    EVP_KDF_CTX_free(ctx);
  }
  EVP_KDF_free(kdf);
}

TEST(PbkdfPrf, ChoiceByNameOidAndNumber) {
  EXPECT_STREQ(GOST_pbkdf2_prf_digest("hmacWithR3411"), "RUS-HASH");
  EXPECT_STREQ(GOST_pbkdf2_prf_digest("1.3.6.1.4.1.7203.1.7.2"), "RUS-HASH");
  EXPECT_STREQ(GOST_pbkdf2_prf_digest("hmacWithSHA1"), "SHA1");
  EXPECT_STREQ(GOST_pbkdf2_prf_digest(nullptr), "SHA1");
  EXPECT_EQ(GOST_pbkdf2_prf_digest("hmacWithSHA256"), nullptr);
  EXPECT_STREQ(GOST_pbkdf2_prf_digest_by_nid(180), "RUS-HASH");
  EXPECT_STREQ(GOST_pbkdf2_prf_digest_by_nid(163), "SHA1");
  EXPECT_STREQ(GOST_pbkdf2_prf_digest_by_nid(0), "SHA1");
  EXPECT_EQ(GOST_pbkdf2_prf_digest_by_nid(672), nullptr);
}
