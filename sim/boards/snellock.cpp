// Simulator of the Sable board library "snellock.dll": sbisCard answers 0 while the card is
// present; sbGetRand answers 0 when it filled the buffer.
#include "crypto/rand/boards.h"
#include "script.h"

SIM_EXPORT int sbisCard() {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  return s.call("sbisCard") || !s.present ? 1 : 0;
}
SIM_EXPORT int sbGetRand(unsigned char* out, int len) {
  auto& s = sim::script();
  std::lock_guard<std::mutex> g(s.mu);
  if (s.call("sbGetRand") || !s.present || len < 0) return 1;
  s.fill(out, static_cast<std::size_t>(len));
  return 0;
}

static_assert(std::is_same_v<decltype(&sbisCard), jarnel::sbisCard_fn>);
static_assert(std::is_same_v<decltype(&sbGetRand), jarnel::sbGetRand_fn>);
