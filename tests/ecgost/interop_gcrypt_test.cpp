// Live cross-checks with libgcrypt: GOST R 34.10-2001 signatures both ways on the CryptoPro
// curves and the test curve.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "interop_util.h"

using namespace jarnel;
using namespace ectest;

namespace {

struct Sexp {
  gcry_sexp_t s = nullptr;
  ~Sexp() { gcry_sexp_release(s); }
};

void init_gcrypt() {
  static bool done = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)done;
}

std::vector<unsigned char> mpi_of(gcry_sexp_t s, const char* name) {
  gcry_sexp_t t = gcry_sexp_find_token(s, name, 0);
  gcry_mpi_t m = t ? gcry_sexp_nth_mpi(t, 1, GCRYMPI_FMT_USG) : nullptr;
  std::vector<unsigned char> out(32);
  size_t n = 0;
  if (m) gcry_mpi_print(GCRYMPI_FMT_USG, out.data(), out.size(), &n, m);
  // right-align
  std::vector<unsigned char> r(32, 0);
  std::memcpy(r.data() + 32 - n, out.data(), n);
  gcry_mpi_release(m);
  gcry_sexp_release(t);
  return r;
}

const struct {
  const char* gcrypt_name;
  int curve;
} kCurves[] = {{"GOST2001-CryptoPro-A", ECURVE_CP_A},
               {"GOST2001-CryptoPro-B", ECURVE_CP_B},
               {"GOST2001-CryptoPro-C", ECURVE_CP_C},
               {"GOST2001-CryptoPro-XchA", ECURVE_CP_XCHA},
               {"GOST2001-CryptoPro-XchB", ECURVE_CP_XCHB},
               {"GOST2001-test", ECURVE_TEST}};

}  // namespace

TEST(EcgostGcryptInterop, SignaturesVerifyBothWays) {
  init_gcrypt();
  for (const auto& cv : kCurves) {
    Curve c(ECURVE_by_number(cv.curve));
    Key key(ECGOST_new(c.get()));
    ASSERT_TRUE(ECGOST_key_pair_generation(key.get()));
    Bn d(BN_new());
    ASSERT_TRUE(ECGOST_get_private(key.get(), d.get()));
    unsigned char q[65], db[32];
    ASSERT_EQ(ECPOINT_point2bin(ECGOST_get_public(key.get()), 0, q, sizeof q), 65);
    BN_bn2binpad(d.get(), db, 32);
    Sexp priv, pub;
    ASSERT_EQ(gcry_sexp_build(&priv.s, nullptr, "(private-key (ecc (curve %s) (q %b) (d %b)))",
                              cv.gcrypt_name, 65, q, 32, db), 0);
    ASSERT_EQ(gcry_sexp_build(&pub.s, nullptr, "(public-key (ecc (curve %s) (q %b)))",
                              cv.gcrypt_name, 65, q), 0);
    for (int round = 0; round < 5; ++round) {
      unsigned char dg[32];
      gcry_randomize(dg, 32, GCRY_STRONG_RANDOM);
      // libgcrypt takes the digest value as a big-endian number, as the raw form here does.
      Sexp data, sig;
      ASSERT_EQ(gcry_sexp_build(&data.s, nullptr, "(data (flags gost) (value %b))", 32, dg), 0);
      ASSERT_EQ(gcry_pk_sign(&sig.s, data.s, priv.s), 0) << cv.gcrypt_name;
      auto r = mpi_of(sig.s, "r"), s = mpi_of(sig.s, "s");
      std::vector<unsigned char> raw(r);
      raw.insert(raw.end(), s.begin(), s.end());
      EXPECT_EQ(ECGOST_verify(ECGOST_SIG_RAW, dg, 32, raw.data(), 64, key.get()), 1)
          << cv.gcrypt_name;

      unsigned char mine[64];
      unsigned len = 0;
      ASSERT_TRUE(ECGOST_sign(ECGOST_SIG_RAW, dg, 32, mine, &len, key.get()));
      Sexp sv;
      ASSERT_EQ(gcry_sexp_build(&sv.s, nullptr, "(sig-val (gost (r %b) (s %b)))", 32, mine, 32,
                                mine + 32), 0);
      EXPECT_EQ(gcry_pk_verify(sv.s, data.s, pub.s), 0) << cv.gcrypt_name;
      mine[40] ^= 1;
      Sexp bad;
      gcry_sexp_build(&bad.s, nullptr, "(sig-val (gost (r %b) (s %b)))", 32, mine, 32, mine + 32);
      EXPECT_NE(gcry_pk_verify(bad.s, data.s, pub.s), 0);
    }
  }
}
