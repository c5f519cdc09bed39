#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

#if defined(__i386__) || defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace jarnel::platform {
namespace {

std::int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Taken when the library is loaded, which for a process that links it is its start.
const std::int64_t g_process_start_ns = monotonic_ns();

}  // namespace

std::uint64_t tsc() {
#if defined(__i386__) || defined(__x86_64__)
  return __rdtsc();
#else
  return static_cast<std::uint64_t>(monotonic_ns());
#endif
}

std::int64_t time_seconds() { return static_cast<std::int64_t>(::time(nullptr)); }

void time_now(TimeStamp* out) {
  if (!out) return;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  out->seconds = static_cast<std::int64_t>(ts.tv_sec);
  out->milliseconds = static_cast<std::uint16_t>(ts.tv_nsec / 1000000);
  time_t t = ts.tv_sec;
  struct tm local {};
  localtime_r(&t, &local);
  out->timezone_min = static_cast<std::int16_t>(-local.tm_gmtoff / 60);
  out->dst_flag = static_cast<std::int16_t>(local.tm_isdst > 0 ? 1 : 0);
}

std::uint32_t process_ms() {
  return static_cast<std::uint32_t>((monotonic_ns() - g_process_start_ns) / 1000000);
}

void sleep_ms(unsigned ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace jarnel::platform
