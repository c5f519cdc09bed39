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
  ECURVE* c = ECURVE_by_number(ECURVE_TEST);
  ECDH* a = c ? ECDH_new(c, ECDH_PLAIN) : nullptr;
  ECDH* b = c ? ECDH_new(c, ECDH_PLAIN) : nullptr;
  BIGNUM* d1 = nullptr;
  BIGNUM* d2 = nullptr;
  BIGNUM* expect = nullptr;
  BIGNUM* s1 = BN_new();
  BIGNUM* s2 = BN_new();
  bool ok = a && b && s1 && s2 && BN_hex2bn(&d1, k_d1) && BN_hex2bn(&d2, k_d2) &&
            BN_hex2bn(&expect, k_shared);
  if (ok) {
    a->selftest_marker = b->selftest_marker = ECGOST_DH_SELFTEST_MARKER;
    ok = ECDH_set_private(a, d1) && ECDH_set_private(b, d2) && ECDH_generate_key(a) &&
         ECDH_generate_key(b) && ECDH_compute_key(a, b->Q, s1) &&
         ECDH_compute_key(b, a->Q, s2) && BN_cmp(s1, s2) == 0 && BN_cmp(s1, expect) == 0;
  }
  BN_clear_free(d1);
  BN_clear_free(d2);
  BN_free(expect);
  BN_clear_free(s1);
  BN_clear_free(s2);
  ECDH_free(a);
  ECDH_free(b);
  ECURVE_free(c);
  return ok;
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
