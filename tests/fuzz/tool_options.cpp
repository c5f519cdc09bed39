// jarnel-tool's argument parsing from outside: the option parser with a declaration like the
// commands' (flags, values, repeated values, aliases), and the hex and S-box arguments. The
// input is the argument list, separated by zero bytes.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "gost_args.h"
#include "options.h"
#include "fuzz_util.h"

namespace jarnel::tool {
// The tool's main() prints usage errors; here the message is only formatted.
int usage_error(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return EXIT_USAGE;
}
// --verbose sets the tool's switch.
namespace {
bool g_verbose = false;
}
bool verbose() { return g_verbose; }
void set_verbose(bool on) { g_verbose = on; }
}  // namespace jarnel::tool

using namespace jarnel::tool;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  std::vector<std::string> args{"cmd"};
  std::string cur;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i]) {
      cur.push_back(static_cast<char>(data[i]));
    } else {
      args.push_back(cur);
      cur.clear();
    }
  }
  if (!cur.empty()) args.push_back(cur);
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);

  bool check = false, help = false;
  const char *key = nullptr, *out = nullptr, *sbox = nullptr;
  std::vector<const char*> ins;
  Options o("cmd", "usage: jarnel-tool cmd [options] FILE...\n");
  o.flag("--check", &check).value("--key", &key).value("--out", &out).value("--sbox", &sbox)
      .values("--in", &ins).alias("-o", "--out").alias("-k", "--key").help_flag(&help);
  // Keep the help text off standard output: help_flag takes -h itself.
  const int rc = o.parse(static_cast<int>(args.size()), argv.data());
  if (rc != -1 && rc != EXIT_OK && rc != EXIT_USAGE) std::abort();
  if (rc == -1) {
    for (const char* p : o.positional()) (void)std::strlen(p);
    std::vector<unsigned char> bytes;
    if (key && parse_hex(key, bytes) && bytes.size() * 2 != std::strlen(key)) std::abort();
    if (sbox) sbox_number_arg(sbox);
    for (const char* p : ins) (void)std::strlen(p);
    o.given("--out");
  }
  return 0;
}
