#pragma once
// Helpers shared by the ecgost tests.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>
#include <string>
#include <vector>

#include "crypto/ecgost/ecgost.h"

namespace ectest {

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CurveFree {
  void operator()(jarnel::ECURVE* c) const { jarnel::ECURVE_free(c); }
};
using Curve = std::unique_ptr<jarnel::ECURVE, CurveFree>;
struct PointFree {
  void operator()(jarnel::ECPOINT* p) const { jarnel::ECPOINT_free(p); }
};
using Point = std::unique_ptr<jarnel::ECPOINT, PointFree>;
struct KeyFree {
  void operator()(jarnel::ECGOST* k) const { jarnel::ECGOST_free(k); }
};
using Key = std::unique_ptr<jarnel::ECGOST, KeyFree>;
struct SigFree {
  void operator()(jarnel::ECGOST_SIG* s) const { jarnel::ECGOST_SIG_free(s); }
};
using Sig = std::unique_ptr<jarnel::ECGOST_SIG, SigFree>;
struct DhFree {
  void operator()(jarnel::ECDH* d) const { jarnel::ECDH_free(d); }
};
using Dh = std::unique_ptr<jarnel::ECDH, DhFree>;

inline Bn hex(const char* s) {
  BIGNUM* b = nullptr;
  BN_hex2bn(&b, s);
  return Bn(b);
}

inline std::string to_hex(const BIGNUM* b) {
  char* s = BN_bn2hex(b);
  std::string r(s);
  OPENSSL_free(s);
  return r;
}

inline std::vector<unsigned char> unhex(const std::string& s) {
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string hexstr(const unsigned char* p, std::size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}
inline std::string hexstr(const std::vector<unsigned char>& v) { return hexstr(v.data(), v.size()); }

// Big-endian bytes of b, padded to n.
inline std::vector<unsigned char> be(const BIGNUM* b, int n) {
  std::vector<unsigned char> v(static_cast<std::size_t>(n));
  BN_bn2binpad(b, v.data(), n);
  return v;
}

// A fresh key pair on a CryptoPro parameter set, with the parameter sets recorded.
inline Key cp_key(int paramset) {
  Curve c(jarnel::ECURVE_by_number(jarnel::ECURVE_number_by_paramset(paramset)));
  Key k(jarnel::ECGOST_new(c.get()));
  jarnel::ECGOST_set_paramsets(k.get(), paramset, jarnel::NID_CP_R3411_94_PARAMSET, 0);
  EXPECT_TRUE(jarnel::ECGOST_key_pair_generation(k.get()));
  return k;
}

}  // namespace ectest
