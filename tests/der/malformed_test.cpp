// One table of malformed inputs fed to every GOST R 34.10-94 and 34.10-2001 decoder (and the
// library's own extension decoders): each
// refuses each form with an error in the queue and leaves the input pointer where it was.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "crypto/cadb/x509v3.h"
#include "crypto/cadb/pkey.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"
#include "crypto/startup.h"

namespace jarnel {
namespace {

using Bytes = std::vector<unsigned char>;

// The outer element's header: tag at 0, content at `body`, content length `len`.
struct Header {
  std::size_t body, len;
};
Header header(const Bytes& der) {
  if (der[1] < 0x80) return {2, der[1]};
  const std::size_t n = der[1] & 0x7F;
  std::size_t len = 0;
  for (std::size_t i = 0; i < n; ++i) len = (len << 8) | der[2 + i];
  return {2 + n, len};
}

// The outer length in a longer form than needed (one more length byte, led by zero).
Bytes non_minimal_length(const Bytes& der) {
  const Header h = header(der);
  Bytes out{der[0]};
  std::size_t n = 0;
  for (std::size_t v = h.len; v; v >>= 8) ++n;
  out.push_back(static_cast<unsigned char>(0x80 | (n + 1)));
  out.push_back(0);
  for (std::size_t i = n; i-- > 0;) out.push_back(static_cast<unsigned char>(h.len >> (8 * i)));
  out.insert(out.end(), der.begin() + static_cast<long>(h.body), der.end());
  return out;
}

// The outer element in the indefinite form of BER: 0x80 and an end-of-contents marker.
Bytes indefinite_length(const Bytes& der) {
  const Header h = header(der);
  Bytes out{static_cast<unsigned char>(der[0] | 0x20), 0x80};
  out.insert(out.end(), der.begin() + static_cast<long>(h.body), der.end());
  out.push_back(0);
  out.push_back(0);
  return out;
}

enum Form { kTrailing, kNonMinimal, kIndefinite, kWrongTag, kTruncated, kForms };
const char* const kFormNames[kForms] = {"trailing garbage", "non-minimal length",
                                        "indefinite length", "wrong tag", "truncated"};

Bytes malformed(const Bytes& der, Form f) {
  Bytes out = der;
  switch (f) {
    case kTrailing: out.push_back(0); break;
    case kNonMinimal: out = non_minimal_length(der); break;
    case kIndefinite: out = indefinite_length(der); break;
    case kWrongTag: out[0] = der[0] == 0x30 ? 0x31 : 0x30; break;
    case kTruncated: out.pop_back(); break;
    default: break;
  }
  return out;
}

Bytes unhex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

template <class T, class F>
Bytes encode(F i2d, const T* obj) {
  const int n = i2d(obj, nullptr);
  EXPECT_GT(n, 0);
  Bytes out(static_cast<std::size_t>(n > 0 ? n : 0));
  unsigned char* p = out.data();
  EXPECT_EQ(i2d(obj, &p), n);
  return out;
}

// A decoder as a whole: true when it gave an object, and where it left the pointer.
using Decode = std::function<bool(const unsigned char**, long)>;

template <class T, class D, class Free>
Decode adapt(D d2i, Free release) {
  return [d2i, release](const unsigned char** pp, long len) {
    T* got = d2i(nullptr, pp, len);
    release(got);
    return got != nullptr;
  };
}

struct DecoderCase {
  const char* name;
  Bytes der;
  Decode decode;
};

struct Suite : ::testing::Test {
  static void SetUpTestSuite() { CADB_startup(); }
};

TEST_F(Suite, EveryDecoderRefusesEveryMalformedForm) {
  R3410* k94 = R3410_new();
  ASSERT_TRUE(k94 && R3410_set_params(k94, R3410_SEL_CP_A) && R3410_generate_key(k94, nullptr, 0));
  ECURVE* curve = ECURVE_by_number(ECURVE_CP_A);
  ECGOST* k01 = ECGOST_new(curve);
  ECURVE_free(curve);
  ASSERT_TRUE(k01);
  ECGOST_set_paramsets(k01, NID_CP_2001_A, NID_CP_R3411_94_PARAMSET, 0);
  ASSERT_TRUE(ECGOST_key_pair_generation(k01));
  R3410_SIG* s94 = R3410_SIG_new();
  ECGOST_SIG* s01 = ECGOST_SIG_new();
  ASSERT_TRUE(s94 && s01);
  BN_set_word(s94->r, 0x1234);
  BN_set_word(s94->s, 0x80);
  BN_set_word(s01->r, 0x1234);
  BN_set_word(s01->s, 0x80);

  auto free94 = [](R3410* k) { R3410_free(k); };
  auto free01 = [](ECGOST* k) { ECGOST_free(k); };
  const DecoderCase decoders[] = {
      {"d2i_R3410_SIG", encode(i2d_R3410_SIG, s94),
       [](const unsigned char** pp, long len) {
         R3410_SIG* s = d2i_R3410_SIG(nullptr, pp, len);
         R3410_SIG_free(s);
         return s != nullptr;
       }},
      {"d2i_ECGOST_SIG", encode(i2d_ECGOST_SIG, s01),
       [](const unsigned char** pp, long len) {
         ECGOST_SIG* s = d2i_ECGOST_SIG(nullptr, pp, len, ECGOST_SIG_DER);
         ECGOST_SIG_free(s);
         return s != nullptr;
       }},
      {"d2i_R3410Params", encode(i2d_R3410Params, k94), adapt<R3410>(d2i_R3410Params, free94)},
      {"d2i_ECGOSTPARAMS", encode(i2d_ECGOSTPARAMS, k01), adapt<ECGOST>(d2i_ECGOSTPARAMS, free01)},
      {"d2i_R3410PublicKey", encode(i2d_R3410PublicKey, k94),
       adapt<R3410>(d2i_R3410PublicKey, free94)},
      {"d2i_R3410PublicValue", encode(i2d_R3410PublicValue, k94),
       adapt<R3410>(d2i_R3410PublicValue, free94)},
      // A bare public key carries no curve: it is read into a key on the curve it lies on
      // (public keys are checked against their curve when they are set).
      {"d2i_ECGOSTPUBLICKEY", encode(i2d_ECGOSTPUBLICKEY, k01),
       [](const unsigned char** pp, long len) {
         ECURVE* c = ECURVE_by_number(ECURVE_CP_A);
         ECGOST* k = c ? ECGOST_new(c) : nullptr;
         ECURVE_free(c);
         ECGOST* got = k ? d2i_ECGOSTPUBLICKEY(&k, pp, len) : nullptr;
         ECGOST_free(k);
         return got != nullptr;
       }},
      {"d2i_ECGOST_PUBKEY", encode(i2d_ECGOST_PUBKEY, k01), adapt<ECGOST>(d2i_ECGOST_PUBKEY, free01)},
      {"d2i_R3410PrivateKey", encode(i2d_R3410PrivateKey, k94),
       adapt<R3410>(d2i_R3410PrivateKey, free94)},
      {"d2i_ECGOSTPRIVATEKEY", encode(i2d_ECGOSTPRIVATEKEY, k01),
       adapt<ECGOST>(d2i_ECGOSTPRIVATEKEY, free01)},
      // The two certificate extensions OpenSSL does not decode (biometricInfo,
      // subjectDirectoryAttributes), read whole or not at all.
      {"CADB_BIOMETRIC_parse_der",
       unhex("30363017020100300806062A850302020904020ABC160468747470301B06032A0304300806062A850302"
             "0209040AAABBCCDDEEFF00112233"),
       [](const unsigned char** pp, long len) {
         CADB_BIOMETRIC* b = CADB_BIOMETRIC_parse_der(*pp, len);
         if (b) *pp += len;
         CADB_BIOMETRIC_free(b);
         return b != nullptr;
       }},
      {"CADB_ATTRIBUTES_parse_der",
       unhex("301B301906082B06010505070904310D13025255130242590C000101FF"),
       [](const unsigned char** pp, long len) {
         CADB_ATTRIBUTES* a = CADB_ATTRIBUTES_parse_der(*pp, len);
         if (a) *pp += len;
         CADB_ATTRIBUTES_free(a);
         return a != nullptr;
       }},
  };
  // The key store's SubjectPublicKeyInfo of both GOST algorithms, and its key file decoder on a
  // PrivateKeyInfo (the key object holds its own references).
  ECGOST_up_ref(k01);
  R3410_up_ref(k94);
  Owned<PKEY_KEY> pk01(PKEY_KEY_from_ecgost(k01, NID_ECR3410_CP)), pk94(PKEY_KEY_from_r3410(k94, NID_R3410_CP));
  ASSERT_TRUE(pk01 && pk94);
  const Decode spki = [](const unsigned char** pp, long len) {
    PKEY_KEY* k = d2i_PKEY_KEY_PUBKEY(pp, len);
    PKEY_KEY_free(k);
    return k != nullptr;
  };
  Owned<PKEY> rec(PKEY_split(pk01.get()));
  ASSERT_TRUE(rec);
  Owned<BUFFER> info(PKEY_write_buffer(rec.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8, nullptr, nullptr));
  ASSERT_TRUE(info);
  const DecoderCase key_store[] = {
      {"d2i_PKEY_KEY_PUBKEY 2001", encode(i2d_PKEY_KEY_PUBKEY, pk01.get()), spki},
      {"d2i_PKEY_KEY_PUBKEY 94", encode(i2d_PKEY_KEY_PUBKEY, pk94.get()), spki},
      {"PKEY_read_buffer", Bytes(info->data, info->data + info->length),
       [](const unsigned char** pp, long len) {
         PKEY* k = PKEY_read_buffer(*pp, static_cast<int>(len), nullptr, nullptr, nullptr);
         if (k) *pp += len;
         PKEY_free(k);
         return k != nullptr;
       }},
  };
  std::vector<const DecoderCase*> all;
  for (const auto& d : decoders) all.push_back(&d);
  for (const auto& d : key_store) all.push_back(&d);
  for (const auto* dp : all) {
    const auto& d = *dp;
    SCOPED_TRACE(d.name);
    // The well-formed encoding is read whole.
    const unsigned char* p = d.der.data();
    ASSERT_TRUE(d.decode(&p, static_cast<long>(d.der.size())));
    EXPECT_EQ(p, d.der.data() + d.der.size());
    for (int f = 0; f < kForms; ++f) {
      SCOPED_TRACE(kFormNames[f]);
      const Bytes bad = malformed(d.der, static_cast<Form>(f));
      ERR_clear_error();
      p = bad.data();
      EXPECT_FALSE(d.decode(&p, static_cast<long>(bad.size())));
      EXPECT_EQ(p, bad.data());
      EXPECT_NE(ERR_peek_error(), 0u);
    }
  }
  // The DER signature with a trailing byte through the verifying entry point.
  Bytes sig = encode(i2d_ECGOST_SIG, s01);
  sig.push_back(0);
  unsigned char digest[32] = {1};
  EXPECT_EQ(ECGOST_verify(ECGOST_SIG_DER, digest, 32, sig.data(), static_cast<int>(sig.size()),
                          k01),
            0);
  ERR_clear_error();
  R3410_SIG_free(s94);
  ECGOST_SIG_free(s01);
  R3410_free(k94);
  ECGOST_free(k01);
}

// An encoding refused after its parameters were read (a point not on the curve they name)
// leaves the key it was decoded into as it was: same curve, same point.
TEST_F(Suite, ARefusedKeyEncodingLeavesTheTargetKeyAsItWas) {
  auto key_on = [](int curve_number, int paramset) {
    ECURVE* c = ECURVE_by_number(curve_number);
    ECGOST* k = ECGOST_new(c);
    ECURVE_free(c);
    if (!k) return k;
    ECGOST_set_paramsets(k, paramset, NID_CP_R3411_94_PARAMSET, 0);
    EXPECT_TRUE(ECGOST_key_pair_generation(k));
    return k;
  };
  ECGOST* other = key_on(ECURVE_CP_C, NID_CP_2001_C);
  ASSERT_TRUE(other);
  // The last byte of each encoding belongs to the point (SubjectPublicKeyInfo) or to d, and the
  // private-key form's point is broken in its last coordinate byte.
  Bytes spki = encode(i2d_ECGOST_PUBKEY, other);
  spki.back() ^= 0x01;
  Bytes priv = encode(i2d_ECGOSTPRIVATEKEY, other);
  const int field = ECURVE_field_bytes(ECGOST_get_curve(other));
  ASSERT_GT(field, 0);
  // In the private-key form the point octets end just before d's INTEGER; find them by value.
  unsigned char oct[1 + 2 * 66];
  const int n = ECPOINT_point2bin(ECGOST_get_public(other), 0, oct, sizeof oct);
  auto at = std::search(priv.begin(), priv.end(), oct, oct + n);
  ASSERT_NE(at, priv.end());
  *(at + n - 1) ^= 0x01;
  const struct {
    const char* name;
    Bytes der;
    ECGOST* (*d2i)(ECGOST**, const unsigned char**, long);
  } cases[] = {{"d2i_ECGOST_PUBKEY", spki, d2i_ECGOST_PUBKEY},
               {"d2i_ECGOSTPRIVATEKEY", priv, d2i_ECGOSTPRIVATEKEY}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ECGOST* target = key_on(ECURVE_CP_A, NID_CP_2001_A);
    ASSERT_TRUE(target);
    ECPOINT* before = ECPOINT_dup(ECGOST_get_public(target));
    ASSERT_TRUE(before);
    const unsigned char* p = c.der.data();
    ERR_clear_error();
    EXPECT_EQ(c.d2i(&target, &p, static_cast<long>(c.der.size())), nullptr);
    EXPECT_NE(ERR_peek_error(), 0u);
    EXPECT_EQ(p, c.der.data());
    int pk = 0, dg = 0, en = 0;
    ECGOST_get_paramsets(target, &pk, &dg, &en);
    EXPECT_EQ(pk, NID_CP_2001_A);
    EXPECT_EQ(ECURVE_get_nid(ECGOST_get_curve(target)), ECURVE_get_nid(ECPOINT_curve(before)));
    ASSERT_NE(ECGOST_get_public(target), nullptr);
    EXPECT_EQ(ECPOINT_cmp(ECGOST_get_public(target), before), 0);
    ECPOINT_free(before);
    ECGOST_free(target);
  }
  ERR_clear_error();
  ECGOST_free(other);
}

}  // namespace
}  // namespace jarnel
