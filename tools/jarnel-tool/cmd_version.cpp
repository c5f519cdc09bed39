#include <cstdio>
#include <cstring>

#include "command.h"

namespace {

int run_version(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::printf("usage: jarnel-tool version\nPrints the tool's version.\n");
    return jarnel::tool::EXIT_OK;
  }
  if (argc > 1) return jarnel::tool::usage_error("version takes no arguments");
  std::printf("jarnel-tool 0.1\n");
  return jarnel::tool::EXIT_OK;
}

const jarnel::tool::Command version{"version", "print the version", run_version};

}  // namespace
