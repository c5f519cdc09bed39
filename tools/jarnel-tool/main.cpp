#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
const char* g_current = "jarnel-tool";
bool g_verbose = false;

void print_help(std::FILE* out) {
  std::fprintf(out,
               "usage: jarnel-tool [--verbose] COMMAND [ARGS...]\n"
               "       jarnel-tool COMMAND --help      (or: jarnel-tool help COMMAND)\n"
               "       jarnel-tool --version\n\ncommands:\n");
  for (const Command* c = g_commands; c; c = c->next) std::fprintf(out, "  %-10s %s\n", c->name, c->summary);
  std::fprintf(out,
               "\nExit status: 0 success, 1 the operation failed (one line on standard error says why;\n"
               "--verbose adds the library's error queue), 2 bad usage.\n");
}

const Command* find_command(const char* name) {
  for (const Command* c = g_commands; c; c = c->next)
    if (std::strcmp(c->name, name) == 0) return c;
  return nullptr;
}

// Prints "jarnel-tool CMD: " once.
void prefix() {
  if (std::strcmp(g_current, "jarnel-tool") == 0)
    std::fputs("jarnel-tool: ", stderr);
  else
    std::fprintf(stderr, "jarnel-tool %s: ", g_current);
}

// The whole queue, for --verbose; the queue is left empty either way.
void dump_queue() {
  if (g_verbose) ERR_print_errors_fp(stderr);
  ERR_clear_error();
}

// Flushes and closes standard output: a result that could not be written is a failure.
int finish_output(int rc) {
  errno = 0;
  bool bad = std::fflush(stdout) != 0 || std::ferror(stdout);
  int err = errno;
  if (std::fclose(stdout) != 0 && !bad) {
    bad = true;
    err = errno;
  }
  // A command that failed has said why already (a failed write among them).
  if (!bad || rc != EXIT_OK) return rc;
  prefix();
  std::fprintf(stderr, "standard output: %s\n", err ? std::strerror(err) : "write error");
  return EXIT_FAILED;
}
}  // namespace

Command::Command(const char* n, const char* s, Handler h) : name(n), summary(s), handler(h), next(nullptr) {
  // Keep the list sorted by name so --help is stable whatever the link order.
  const Command** pp = &g_commands;
  while (*pp && std::strcmp((*pp)->name, n) < 0) pp = &(*pp)->next;
  next = *pp;
  *pp = this;
}

const char* current_command() { return g_current; }
void set_current_command(const char* name) { g_current = name; }
bool verbose() { return g_verbose; }
void set_verbose(bool on) { g_verbose = on; }

int usage_error(const char* fmt, ...) {
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  const std::size_t n = std::strlen(g_current);
  const char* text = msg;
  if (!std::strncmp(msg, g_current, n) && msg[n] == ':' && msg[n + 1] == ' ') text = msg + n + 2;
  prefix();
  std::fprintf(stderr, "%s\n", text);
  return EXIT_USAGE;
}

std::string queue_reason() {
  ERR_STATE* st = ERR_get_state();
  if (!st || st->top == st->bottom) return {};
  // Walk from the oldest entry (the innermost failure) to the newest.
  std::string sys, specific, generic;
  for (int i = (st->bottom + 1) % ERR_NUM_ERRORS;; i = (i + 1) % ERR_NUM_ERRORS) {
    const unsigned long e = st->err_buffer[i];
    if (e) {
      const char* text = ERR_reason_error_string(e);
      const char* data = (st->err_data_flags[i] & ERR_TXT_STRING) ? st->err_data[i] : nullptr;
      if (ERR_get_lib(e) == LIB_SYS && sys.empty() && text) {
        sys = text;
      } else if (ERR_get_reason(e) >= 100 && specific.empty() && text) {
        specific = text;
        if (data && *data) specific += std::string(" (") + data + ")";
      } else if (ERR_get_reason(e) == R_MALLOC_FAILURE && generic.empty()) {
        generic = "out of memory";
      }
    }
    if (i == st->top) break;
  }
  if (!sys.empty()) return sys;
  if (!specific.empty()) return specific;
  return generic;
}

int fail(const char* path, const char* reason) {
  dump_queue();
  prefix();
  if (path) std::fprintf(stderr, "%s: ", path);
  std::fprintf(stderr, "%s\n", reason);
  std::fflush(stderr);
  return EXIT_FAILED;
}

int fail_errno(const char* path, int err) { return fail(path, std::strerror(err)); }

int operation_failed(const char* path, const char* fallback) {
  std::string reason = queue_reason();
  if (reason.empty()) reason = fallback ? fallback : "the operation failed";
  return fail(path, reason.c_str());
}

int operation_failed() { return operation_failed(nullptr, nullptr); }

bool seed_generator() {
  if (RAND_get_method()) return true;  // a board or an earlier seeding serves already
  SecureBuffer seed(32);
  if (seed.empty() || !platform::system_entropy(seed.data(), seed.size())) {
    fail(nullptr, "no entropy from the system to seed the generator");
    return false;
  }
  if (!GRAND_start(seed.data(), static_cast<int>(seed.size()))) {
    operation_failed(nullptr, "the generator could not be seeded");
    return false;
  }
  return true;
}

}  // namespace jarnel::tool

int main(int argc, char** argv) {
  using namespace jarnel::tool;
  int first = 1;
  while (first < argc && !std::strcmp(argv[first], "--verbose")) {
    set_verbose(true);
    ++first;
  }
  if (first >= argc) {
    print_help(stderr);
    return EXIT_USAGE;
  }
  const char* word = argv[first];
  if (!std::strcmp(word, "--help") || !std::strcmp(word, "-h")) {
    print_help(stdout);
    return finish_output(EXIT_OK);
  }
  if (!std::strcmp(word, "--version")) {
    std::printf("jarnel-tool %s\n", kVersion);
    return finish_output(EXIT_OK);
  }
  std::vector<char*> args(argv + first, argv + argc);
  char help_opt[] = "--help";
  if (!std::strcmp(word, "help")) {
    if (args.size() == 1) {
      print_help(stdout);
      return finish_output(EXIT_OK);
    }
    // "help CMD [SUB]" is "CMD [SUB] --help".
    args.erase(args.begin());
    word = args[0];
    args.push_back(help_opt);
  }
  const Command* c = find_command(word);
  if (!c) return usage_error("unknown command '%s' (see jarnel-tool --help)", word);
  set_current_command(c->name);
  jarnel::CADB_startup();
  args.push_back(nullptr);
  int rc = c->handler(static_cast<int>(args.size() - 1), args.data());
  jarnel::CADB_shutdown();
  return finish_output(rc);
}
