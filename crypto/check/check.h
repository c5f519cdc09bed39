#pragma once
// Self-tests: the RAM check of fresh key objects, the conditional known-answer tests the GOST
// algorithms run before they process data, and the power-on test.
//
// A conditional test returns 1 at once for a test object (one carrying the test's marker) and
// when it already ran less than one second ago (times kept under lock 33); otherwise it re-runs
// the table check and a known-answer test. On failure it sets status 12, records its error
// (with the test's fixed line number) and returns 0; the caller fails its operation.
#include <cstddef>
#include <cstdint>

namespace jarnel {

struct GOSTE_CTX;
struct GOSTH_CTX;

// Error function codes of library 78 ("GOSTS routines").
inline constexpr int GOSTS_F_R3410_CHECK = 138, GOSTS_F_ECGOST_CHECK = 140;

// Fills the area with 0xFF, 0xAA, 0x55, 0x00, reading each back; leaves it zero. 1, or 0 with
// status 12. A length of 0 or less returns 1.
int CHECK_ram(void* mem, long len);

int GOSTE_ss_check(const GOSTE_CTX* ctx);
int GOSTE_gamma_check(const GOSTE_CTX* ctx);
int GOSTE_gamma_fb_check(const GOSTE_CTX* ctx);
int GOSTE_mac_check(const GOSTE_CTX* ctx);
int GOSTH_check(const GOSTH_CTX* ctx);

// The once-per-second gate of the conditional tests: 1 when the test identified by slot should
// run now (its last run is recorded as now), 0 when it ran less than a second ago. Under lock 33.
// Slots 0..4 belong to the tests above; the signature tests use 5 (GOST R 34.10-94) and
// 6 (GOST R 34.10-2001).
int CHECK_due(int slot);
// Test hook: forget the last-run times so that every test runs on its next call.
void CHECK_reset_times();
// Test hook: sets the time (seconds) of a test's last run.
void CHECK_set_last_run(int slot, std::int64_t seconds);
// Test hook: how many times each conditional test actually ran its known-answer step.
unsigned long CHECK_run_count(int slot);

// Power-on self-test; 1 when every check passed (declared in crypto/hooks.h as well).
int CHECK_power_on();

}  // namespace jarnel
