#pragma once
// Clocks and the processor's time-stamp counter.
#include <cstdint>

namespace jarnel::platform {

// The processor's time-stamp counter (RDTSC on x86); where there is none, a monotonic clock in
// nanoseconds stands in for it.
std::uint64_t tsc();

// Calendar time in seconds since 1970-01-01 UTC.
std::int64_t time_seconds();

// Calendar time with milliseconds and the local time-zone settings, as the C run-time library's
// extended time call reports them.
struct TimeStamp {
  std::int64_t seconds;        // since 1970-01-01 UTC
  std::uint16_t milliseconds;  // 0..999
  std::int16_t timezone_min;   // minutes west of UTC
  std::int16_t dst_flag;       // 1 while daylight-saving time is in force
};
void time_now(TimeStamp* out);

// Milliseconds since the process started (wraps around after about 49 days).
std::uint32_t process_ms();

// Suspends the calling thread for ms milliseconds.
void sleep_ms(unsigned ms);

}  // namespace jarnel::platform
