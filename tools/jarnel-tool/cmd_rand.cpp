// jarnel-tool rand COUNT [--hex] [--seed-hex HEX | --keyboard]
// Keys the GOST generator from the system's entropy, a given seed or timed keystrokes at the
// terminal and writes
// COUNT bytes drawn in buffered mode, where every 2,500-byte block passes the FIPS 140-2
// statistical test before any of it is written.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "options.h"

namespace {

using namespace jarnel;

constexpr const char* kUsage =
    "usage: jarnel-tool rand COUNT [--hex] [--seed-hex HEX | --keyboard]\n"
    "Writes COUNT random bytes from the GOST generator to standard output (--hex: as hex).\n"
    "The generator is keyed from the system's entropy source, like every other command that\n"
    "needs random numbers, unless a source is chosen:\n"
    "  --seed-hex HEX  a seed of at least 32 bytes (64 hex digits): the same seed gives the\n"
    "                  same bytes (for tests)\n"
    "  --keyboard      timed keystrokes: type each character shown (and Enter); 16 correct\n"
    "                  ones are needed, end of input gives up\n"
    "The bytes are drawn in buffered mode: every 2,500-byte block passes the FIPS 140-2\n"
    "statistical test before any of it is written.\n";

constexpr std::size_t kMinSeed = 32;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool parse_hex(const char* hex, SecureBuffer& out) {
  std::size_t n = std::strlen(hex);
  if (n == 0 || n % 2 != 0 || n / 2 > INT_MAX || !out.resize(n / 2)) return false;
  for (std::size_t i = 0; i < n / 2; ++i) {
    int hi = hex_value(hex[2 * i]), lo = hex_value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.data()[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return true;
}

// Shows the character to type on standard error and reads the answer from standard input.
int terminal_keystroke(int ch, int number, int total, void*) {
  std::fprintf(stderr, "Type the character '%c' (%d of %d): ", ch, number, total);
  std::fflush(stderr);
  for (;;) {
    int c = std::getchar();
    if (c == EOF) {
      std::fputc('\n', stderr);
      return 0;
    }
    if (!std::isspace(c)) {
      // The rest of the line is not part of the answer.
      for (int rest = std::getchar(); rest != EOF && rest != '\n'; rest = std::getchar()) {
      }
      return c;
    }
  }
}

int run_rand(int argc, char** argv) {
  const char* count_arg = nullptr;
  const char* seed_hex = nullptr;
  bool hex = false, keyboard = false;
  tool::Options o("rand", kUsage);
  o.flag("--hex", &hex).flag("--keyboard", &keyboard).value("--seed-hex", &seed_hex);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  for (const char* a : o.positional()) {
    if (count_arg) return tool::usage_error("rand: unexpected argument '%s'", a);
    count_arg = a;
  }
  if (!count_arg) return tool::usage_error("rand: COUNT is missing (see jarnel-tool rand --help)");
  char* end = nullptr;
  long long count = std::strtoll(count_arg, &end, 10);
  if (*count_arg == '\0' || *end != '\0' || count < 0 || count > INT_MAX)
    return tool::usage_error("rand: COUNT must be a number of bytes, 0 to %d", INT_MAX);
  if (seed_hex && keyboard) return tool::usage_error("rand: give at most one of --seed-hex and --keyboard");
  SecureBuffer seed;
  if (seed_hex && !parse_hex(seed_hex, seed))
    return tool::usage_error("rand: --seed-hex must be an even number of hex digits");
  if (seed_hex && seed.size() < kMinSeed)
    return tool::usage_error("rand: --seed-hex must be at least %zu bytes (%zu hex digits)", kMinSeed,
                             2 * kMinSeed);

  // Whatever the start-up selected, the GOST generator is keyed afresh from the chosen source.
  if (seed_hex) {
    if (!GRAND_start(seed.data(), static_cast<int>(seed.size())))
      return tool::operation_failed(nullptr, "the generator could not be keyed from the seed");
  } else if (keyboard) {
    RAND_set_method(nullptr);
    RAND_set_method(GRAND_get_method());
    RAND_KEY_CB_PAIR pair{terminal_keystroke, nullptr};
    if (!RAND_init(nullptr, &pair)) {
      ERR_clear_error();
      return tool::fail("keyboard", "the generator was not keyed: the keystrokes ended or were too few");
    }
  } else if (!tool::seed_generator()) {
    return tool::EXIT_FAILED;
  }

  RAND_set_buffered_mode(1);
  SecureBuffer chunk(4096);
  if (chunk.empty()) return tool::operation_failed();
  for (long long left = count; left > 0;) {
    int n = left < 4096 ? static_cast<int>(left) : 4096;
    if (RAND_bytes(chunk.data(), n) != n) return tool::operation_failed(nullptr, "no random bytes");
    bool written = true;
    if (hex) {
      for (int i = 0; i < n && written; ++i) written = std::printf("%02x", chunk.data()[i]) == 2;
    } else {
      written = std::fwrite(chunk.data(), 1, static_cast<std::size_t>(n), stdout) == static_cast<std::size_t>(n);
    }
    if (!written) return tool::fail_errno("standard output", errno);
    left -= n;
  }
  if (hex) std::putchar('\n');
  return tool::EXIT_OK;
}

const tool::Command rand_command{"rand", "random bytes from the GOST generator", run_rand};

}  // namespace
