// The GOST R 34.10-2001 key-agreement known-answer test: two fixed keys on the test curve
// agree in both directions on the stored shared value.
#include <openssl/bn.h>

#include <cstring>

#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ec_selftest.h"
#include "crypto/check/check.h"
#include "crypto/status.h"

namespace jarnel {
namespace {

// Private values of the two test keys and x(d1 * d2 * G) on the test curve.
constexpr const char* k_d1 = "7A929ADE789BB9BE10ED359DD39A72C11B60961F49397EEE1D19CE9891EC3B28";
constexpr const char* k_d2 = "77105C9B20BCD3122823C8CF6FCC7B956DE33814E95B7FE64FED924594DCEAB3";
constexpr const char* k_shared =
    "3D8F124AB7E133511BCCA47FFA7E944D4FCC877A498BE04E0FD3680241F81C7A";

// The self-test gate's slot for this test.
constexpr int kSlot = 6;

bool run_test() {
  Owned<ECURVE> c(ECURVE_by_number(ECURVE_TEST));
  if (!c) return false;
  Owned<ECDH> a(ECDH_new(c.get(), ECDH_PLAIN)), b(ECDH_new(c.get(), ECDH_PLAIN));
  BIGNUM* d1 = nullptr;
  BIGNUM* d2 = nullptr;
  BIGNUM* expect = nullptr;
  const bool parsed =
      BN_hex2bn(&d1, k_d1) && BN_hex2bn(&d2, k_d2) && BN_hex2bn(&expect, k_shared);
  BnPtr own_d1(d1), own_d2(d2), own_expect(expect), s1(BN_new()), s2(BN_new());
  if (!a || !b || !s1 || !s2 || !parsed) return false;
  a->selftest_marker = b->selftest_marker = ECGOST_DH_SELFTEST_MARKER;
  return ECDH_set_private(a.get(), d1) && ECDH_set_private(b.get(), d2) &&
         ECDH_generate_key(a.get()) && ECDH_generate_key(b.get()) &&
         ECDH_compute_key(a.get(), b->Q, s1.get()) && ECDH_compute_key(b.get(), a->Q, s2.get()) &&
         BN_cmp(s1.get(), s2.get()) == 0 && BN_cmp(s1.get(), expect) == 0;
}

}  // namespace

int ECGOST_check_dh() {
  if (!CHECK_due(kSlot)) return 1;
  if (ECURVE_tables_check() && run_test()) return 1;
  if (ERR_get_status() == 0) ERR_set_status(STATUS_INTERNAL);
  // The line number is fixed: it names this test in the printed error output.
  ERR_put_error(LIB_GOSTS, GOSTS_F_ECGOST_CHECK, R_SELF_TEST_ERROR, __FILE__, 681);
  return 0;
}

void ECGOST_check_dh_reset() { CHECK_reset_times(); }

}  // namespace jarnel
