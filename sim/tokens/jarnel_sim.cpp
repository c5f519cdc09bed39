// jarnel-sim: prepares and inspects the simulated smart tokens (store.h) that the simulated
// "rtapilt.dll" and "etsdk.dll" serve, in the folder named by JARNEL_SIM_DIR.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: jarnel-sim rutoken|etoken COMMAND\n"
               "  insert READER          put a token into READER (made if new; an earlier\n"
               "                         token's files come back)\n"
               "  remove READER          take the token out\n"
               "  pin READER PIN [N]     set the PIN and N attempts (default: the maximum)\n"
               "  fail FUNCTION N CODE   the Nth call of FUNCTION from now returns CODE\n"
               "  calls FUNCTION         calls of FUNCTION since the last reset\n"
               "  dump READER            the token's tree with sizes and flags\n"
               "  reset                  no readers, no counts, no faults\n"
               "JARNEL_SIM_DIR names the folder the state lives in.\n");
  return 2;
}

int no_reader(const char* reader) {
  std::fprintf(stderr, "jarnel-sim: no reader \"%s\"\n", reader);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const sim::Kind* kind = !std::strcmp(argv[1], "rutoken")  ? &sim::RUTOKEN
                          : !std::strcmp(argv[1], "etoken") ? &sim::ETOKEN
                                                            : nullptr;
  if (!kind) return usage();
  if (!std::getenv("JARNEL_SIM_DIR")) {
    std::fprintf(stderr, "jarnel-sim: JARNEL_SIM_DIR is not set\n");
    return 2;
  }
  sim::Store store(*kind);
  std::string cmd = argv[2];
  const char* reader = argc > 3 ? argv[3] : nullptr;

  if (cmd == "reset" && argc == 3) {
    return store.with([](sim::State& s) {
      s = sim::State{};
      return 0;
    });
  }
  if (cmd == "insert" && argc == 4) {
    return store.with([&](sim::State& s) {
      sim::Token* t = s.find(reader);
      if (!t) {
        s.tokens.push_back(sim::Token{});
        t = &s.tokens.back();
        t->reader = reader;
        t->pin = kind->default_pin;
        t->retries = kind->max_retries;
      }
      t->present = true;
      ++t->insertion;
      return 0;
    });
  }
  if (cmd == "remove" && argc == 4) {
    return store.with([&](sim::State& s) {
      sim::Token* t = s.find(reader);
      if (!t) return no_reader(reader);
      t->present = false;
      return 0;
    });
  }
  if (cmd == "pin" && (argc == 5 || argc == 6)) {
    return store.with([&](sim::State& s) {
      sim::Token* t = s.find(reader);
      if (!t) return no_reader(reader);
      t->pin = argv[4];
      t->retries = argc == 6 ? std::atoi(argv[5]) : kind->max_retries;
      return 0;
    });
  }
  if (cmd == "fail" && argc == 6) {
    long n = std::strtol(argv[4], nullptr, 0);
    auto code = static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 0));
    if (n < 1) return usage();
    return store.with([&](sim::State& s) {
      s.faults[argv[3]].push_back({s.calls[argv[3]] + n, code});
      return 0;
    });
  }
  if (cmd == "calls" && argc == 4) {
    return store.with([&](sim::State& s) {
      auto it = s.calls.find(argv[3]);
      std::printf("%ld\n", it == s.calls.end() ? 0L : it->second);
      return 0;
    });
  }
  if (cmd == "dump" && argc == 4) {
    return store.with([&](sim::State& s) {
      sim::Token* t = s.find(reader);
      if (!t) return no_reader(reader);
      std::printf("%s: %s, PIN attempts left %d%s\n", t->reader.c_str(),
                  t->present ? "token present" : "no token", t->retries,
                  t->retries <= 0 ? " (locked)" : "");
      for (const auto& [path, node] : t->nodes) {
        std::string shown = kind->root_label;
        if (!path.empty()) shown += "/" + path;
        if (node.directory)
          std::printf("%s/ dir\n", shown.c_str());
        else
          std::printf("%s %zu%s\n", shown.c_str(), node.data.size(),
                      node.is_private ? " private" : "");
      }
      return 0;
    });
  }
  return usage();
}
