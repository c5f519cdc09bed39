#pragma once
// The GOST R 34.10-2001 key-agreement known-answer test that guards key agreement and key
// generation.
#include <cstdint>

namespace jarnel {

// Marker of the test's own objects: operations on them skip the test.
inline constexpr std::uint32_t ECGOST_DH_SELFTEST_MARKER = 0x682796E2;

// 1 when the operation may go on. Runs at most once per second per process; a failure records
// (78, 140, 11) and sets status 12 unless a status is already set.
int ECGOST_check_dh();
// Forgets the time of the last run, so the next call tests again (for tests).
void ECGOST_check_dh_reset();

}  // namespace jarnel
