#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "command.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"
#include "platform/entropy.h"

namespace jarnel::tool {
namespace {
const Command* g_commands = nullptr;

void print_help(std::FILE* out) {
  std::fprintf(out,
               "usage: jarnel-tool COMMAND [ARGS...]\n"
               "       jarnel-tool COMMAND --help\n\ncommands:\n");
  for (const Command* c = g_commands; c; c = c->next)
    std::fprintf(out, "  %-10s %s\n", c->name, c->summary);
}
}  // namespace

Command::Command(const char* n, const char* s, Handler h) : name(n), summary(s), handler(h), next(nullptr) {
  // Keep the list sorted by name so --help is stable whatever the link order.
  const Command** pp = &g_commands;
  while (*pp && std::strcmp((*pp)->name, n) < 0) pp = &(*pp)->next;
  next = *pp;
  *pp = this;
}

int usage_error(const char* fmt, ...) {
  std::fputs("jarnel-tool: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  return EXIT_USAGE;
}

int operation_failed() {
  ERR_print_errors_fp(stderr);
  std::fflush(stderr);
  return EXIT_FAILED;
}

bool seed_generator() {
  if (RAND_get_method()) return true;  // a board or an earlier seeding serves already
  SecureBuffer seed(32);
  if (seed.empty() || !platform::system_entropy(seed.data(), seed.size())) {
    std::fputs("jarnel-tool: no entropy from the system to seed the generator\n", stderr);
    return false;
  }
  if (!GRAND_start(seed.data(), static_cast<int>(seed.size()))) {
    operation_failed();
    return false;
  }
  return true;
}

}  // namespace jarnel::tool

int main(int argc, char** argv) {
  using namespace jarnel::tool;
  if (argc < 2) {
    print_help(stderr);
    return EXIT_USAGE;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    print_help(stdout);
    return EXIT_OK;
  }
  for (const Command* c = g_commands; c; c = c->next) {
    if (std::strcmp(c->name, argv[1]) == 0) {
      jarnel::CADB_startup();
      int rc = c->handler(argc - 1, argv + 1);
      jarnel::CADB_shutdown();
      return rc;
    }
  }
  return usage_error("unknown command '%s' (see jarnel-tool --help)", argv[1]);
}
