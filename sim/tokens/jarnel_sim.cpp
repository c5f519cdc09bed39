// jarnel-sim: prepares and inspects the simulated carriers (store.h) that the simulated
// "rtapilt.dll", "etsdk.dll", "ibfs32.dll" and "drumvex.dll" serve, in the folder named by
// JARNEL_SIM_DIR.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: jarnel-sim rutoken|etoken|etr2|ibutton COMMAND\n"
               "  insert READER          put a token into READER (made if new; an earlier\n"
               "                         token's files come back). etr2: a digit d stands for\n"
               "                         \"AKS ifdh d\". ibutton: READER is a port, COM<n> or\n"
               "                         LPT<n> (n 1-15), and gets an adapter as well\n"
               "  remove READER          take the token (the iButton device) out\n"
               "  pin READER PIN [N]     rutoken, etoken: set the PIN and N attempts (default:\n"
               "                         the maximum)\n"
               "  adapters [PORT...]     ibutton: exactly these ports have an adapter\n"
               "  busy N                 ibutton: the next N session starts answer \"busy\"\n"
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
  const sim::Kind* kind = !std::strcmp(argv[1], "rutoken")   ? &sim::RUTOKEN
                          : !std::strcmp(argv[1], "etoken")  ? &sim::ETOKEN
                          : !std::strcmp(argv[1], "etr2")    ? &sim::ETR2
                          : !std::strcmp(argv[1], "ibutton") ? &sim::IBUTTON
                                                             : nullptr;
  const bool ibutton = kind == &sim::IBUTTON, etr2 = kind == &sim::ETR2;
  if (!kind) return usage();
  if (!std::getenv("JARNEL_SIM_DIR")) {
    std::fprintf(stderr, "jarnel-sim: JARNEL_SIM_DIR is not set\n");
    return 2;
  }
  sim::Store store(*kind);
  std::string cmd = argv[2];
  std::string reader_name = argc > 3 ? argv[3] : "";
  if (etr2 && reader_name.size() == 1 && reader_name[0] >= '0' && reader_name[0] <= '9')
    reader_name = "AKS ifdh " + reader_name;
  if (ibutton) {
    for (char& c : reader_name)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const char* reader = argc > 3 ? reader_name.c_str() : nullptr;

  if (ibutton && cmd == "adapters") {
    return store.with([&](sim::State& s) {
      s.adapters.clear();
      for (int i = 3; i < argc; ++i) {
        std::string port = argv[i];
        for (char& c : port)
          if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        s.adapters.push_back(port);
      }
      return 0;
    });
  }
  if (ibutton && cmd == "busy" && argc == 4) {
    return store.with([&](sim::State& s) {
      s.busy = std::strtol(argv[3], nullptr, 0);
      return 0;
    });
  }
  if ((ibutton || etr2) && cmd == "pin") return usage();

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
      if (ibutton && std::find(s.adapters.begin(), s.adapters.end(), t->reader) == s.adapters.end())
        s.adapters.push_back(t->reader);
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
      if (ibutton || etr2)
        std::printf("%s: %s\n", t->reader.c_str(),
                    t->present ? (ibutton ? "device present" : "token present")
                               : (ibutton ? "no device" : "no token"));
      else
        std::printf("%s: %s, PIN attempts left %d%s\n", t->reader.c_str(),
                    t->present ? "token present" : "no token", t->retries,
                    t->retries <= 0 ? " (locked)" : "");
      if (ibutton) {
        bool adapter =
            std::find(s.adapters.begin(), s.adapters.end(), t->reader) != s.adapters.end();
        std::printf("adapter %s\n", adapter ? "present" : "missing");
      }
      for (const auto& [path, node] : t->nodes) {
        std::string shown = kind->root_label;
        if (!path.empty()) shown += shown.empty() ? path : "/" + path;
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
