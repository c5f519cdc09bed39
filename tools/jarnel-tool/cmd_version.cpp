#include <cstdio>

#include "command.h"
#include "options.h"

namespace {

const char kUsage[] =
    "usage: jarnel-tool version\n"
    "       jarnel-tool --version\n"
    "Prints the tool's version.\n";

int run_version(int argc, char** argv) {
  jarnel::tool::Options o("version", kUsage);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  if (!o.positional().empty()) return jarnel::tool::usage_error("version takes no arguments");
  std::printf("jarnel-tool %s\n", jarnel::tool::kVersion);
  return jarnel::tool::EXIT_OK;
}

const jarnel::tool::Command version{"version", "print the version", run_version};

}  // namespace
