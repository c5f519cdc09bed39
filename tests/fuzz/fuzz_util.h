#pragma once
// Shared pieces of the fuzzing harnesses: one-time start-up of the library with a fixed-key
// generator (runs repeat exactly), and a reader that splits the fuzzer's bytes into the
// arguments of the call under test.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"

namespace fuzz {

// Keys the GOST generator from a fixed seed when no generator is selected (at start, and again
// after an input made a container open deselect it).
inline void seed_generator() {
  if (jarnel::RAND_get_method()) return;
  unsigned char seed[32];
  for (int i = 0; i < 32; ++i) seed[i] = static_cast<unsigned char>(0x5a ^ (i * 37));
  jarnel::GRAND_start(seed, sizeof seed);
}

// Starts the library once.
inline void start_library() {
  static const bool started = [] {
    jarnel::jarnel_process_attach();
    return true;
  }();
  (void)started;
  seed_generator();
}

// Clears the error queue when a run ends, so one input's errors never reach the next.
struct RunScope {
  RunScope() { start_library(); jarnel::ERR_clear_error(); }
  ~RunScope() { jarnel::ERR_clear_error(); }
};

// Takes the fuzzer's bytes apart front to back; once they run out every take gives zeros or an
// empty piece.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
  std::uint8_t byte() {
    if (!n_) return 0;
    --n_;
    return *p_++;
  }
  bool flag() { return byte() & 1; }
  // A piece whose length is the next byte (at most what is left).
  std::span<const std::uint8_t> piece() { return take(byte()); }
  // A piece whose length is the next two bytes, big-endian.
  std::span<const std::uint8_t> long_piece() {
    std::size_t len = static_cast<std::size_t>(byte()) << 8;
    return take(len | byte());
  }
  std::span<const std::uint8_t> take(std::size_t len) {
    if (len > n_) len = n_;
    std::span<const std::uint8_t> s(p_, len);
    p_ += len;
    n_ -= len;
    return s;
  }
  std::span<const std::uint8_t> rest() { return take(n_); }
  // A zero-terminated string made of the next piece (bytes after a zero byte are dropped).
  std::string string() {
    auto s = piece();
    return std::string(reinterpret_cast<const char*>(s.data()), strnlen(reinterpret_cast<const char*>(s.data()), s.size()));
  }
  std::string rest_string() {
    auto s = rest();
    return std::string(reinterpret_cast<const char*>(s.data()), strnlen(reinterpret_cast<const char*>(s.data()), s.size()));
  }
  std::size_t left() const { return n_; }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
};

}  // namespace fuzz
