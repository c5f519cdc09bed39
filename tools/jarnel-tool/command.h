#pragma once
// Commands of jarnel-tool. A command file defines its handler and registers it with a static
// Command object:
//
//   static const jarnel::tool::Command digest{"digest", "print a GOST digest", run_digest};
//
// A handler gets the arguments after the command name (argv[0] is the command name) and returns
// the process exit status: 0 success, 1 the operation failed (one line on standard error says
// why), 2 bad usage or input. main() flushes and closes standard output after the handler: a
// command that printed its result and returned 0 still exits 1 when that output could not be
// written.
#include <cstdio>
#include <string>

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

// The name of the command being run ("jarnel-tool" before one is chosen).
const char* current_command();
void set_current_command(const char* name);
// True when --verbose was given: failures then print the whole error queue as well.
bool verbose();
void set_verbose(bool on);

// Prints "jarnel-tool CMD: <message>" on standard error and returns EXIT_USAGE. A message that
// already begins with "CMD: " is not prefixed twice.
int usage_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints one line "jarnel-tool CMD: <reason>" taken from the error queue (the whole queue too with
// --verbose), empties the queue and returns EXIT_FAILED.
int operation_failed();
// The same for an operation on a named file or path: "jarnel-tool CMD: PATH: <reason>". When
// the queue holds no reason, fallback is printed.
int operation_failed(const char* path, const char* fallback = nullptr);
// Prints "jarnel-tool CMD: PATH: REASON" (without "PATH: " when path is null), the error queue
// too with --verbose, empties the queue and returns EXIT_FAILED.
int fail(const char* path, const char* reason);
// fail() with the system's text for an errno value.
int fail_errno(const char* path, int err);
// The most telling reason in the error queue (the system's text when a system call failed, else
// the innermost specific reason), or an empty string when the queue has none. Leaves the queue.
std::string queue_reason();
// For commands that draw random bytes (key generation, signing): when no hardware board or
// container has seeded the GOST generator, keys it from the operating system's entropy source.
// false (with the reason printed) when that fails.
bool seed_generator();

// The tool's version, as --version and the version command print it.
inline constexpr const char* kVersion = "0.2";

}  // namespace jarnel::tool
