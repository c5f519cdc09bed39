#pragma once
// Commands of jarnel-tool. A command file defines its handler and registers it with a static
// Command object:
//
//   static const jarnel::tool::Command digest{"digest", "print a GOST digest", run_digest};
//
// A handler gets the arguments after the command name (argv[0] is the command name) and returns
// the process exit status: 0 success, 1 the operation failed (the error queue has been printed to
// standard error), 2 bad usage or input.
#include <cstdio>

namespace jarnel::tool {

inline constexpr int EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2;

using Handler = int (*)(int argc, char** argv);

struct Command {
  Command(const char* name, const char* summary, Handler handler);
  const char* name;
  const char* summary;
  Handler handler;
  mutable const Command* next;
};

// Prints "jarnel-tool: <message>" on standard error and returns EXIT_USAGE.
int usage_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints the error queue on standard error and returns EXIT_FAILED.
int operation_failed();
// For commands that draw random bytes (key generation, signing): when no hardware board or
// container has seeded the GOST generator, keys it from the operating system's entropy source.
// false (with the queue printed) when that fails.
bool seed_generator();

}  // namespace jarnel::tool
