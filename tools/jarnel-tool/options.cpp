#include "options.h"

#include <cstdio>
#include <cstring>

#include "command.h"

namespace jarnel::tool {

Options& Options::flag(const char* name, bool* out) {
  defs_.push_back(OptionDef{name, out, nullptr, nullptr, false});
  return *this;
}

Options& Options::value(const char* name, const char** out) {
  defs_.push_back(OptionDef{name, nullptr, out, nullptr, false});
  return *this;
}

Options& Options::values(const char* name, std::vector<const char*>* out) {
  defs_.push_back(OptionDef{name, nullptr, nullptr, out, false});
  return *this;
}

Options& Options::alias(const char* name, const char* of) {
  aliases_.emplace_back(name, of);
  return *this;
}

Options::OptionDef* Options::find(const std::string& name) {
  std::string n = name;
  for (const auto& [a, of] : aliases_)
    if (a == name) n = of;
  for (auto& s : defs_)
    if (s.name == n) return &s;
  return nullptr;
}

bool Options::given(const char* name) const {
  for (const auto& s : defs_)
    if (s.name == name) return s.seen;
  return false;
}

int Options::parse(int argc, char** argv) {
  bool operands_only = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (operands_only || a[0] != '-' || a[1] == '\0') {
      positional_.push_back(a);
      continue;
    }
    if (!std::strcmp(a, "--")) {
      operands_only = true;
      continue;
    }
    if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
      if (help_) {
        *help_ = true;
        continue;
      }
      std::fputs(usage_, stdout);
      return EXIT_OK;
    }
    if (!std::strcmp(a, "--verbose")) {
      set_verbose(true);
      continue;
    }
    const char* eq = std::strchr(a, '=');
    std::string name = eq && a[1] == '-' ? std::string(a, eq) : std::string(a);
    OptionDef* s = find(name);
    if (!s) {
      return usage_error("%s: unknown option '%s' (see jarnel-tool %s --help)", command_, name.c_str(),
                         command_);
    }
    s->seen = true;
    if (s->flag) {
      if (eq && a[1] == '-') return usage_error("%s: option '%s' takes no value", command_, name.c_str());
      *s->flag = true;
      continue;
    }
    const char* v = nullptr;
    if (eq && a[1] == '-') {
      v = eq + 1;
    } else if (i + 1 < argc && !(argv[i + 1][0] == '-' && argv[i + 1][1] == '-' && argv[i + 1][2] != '\0')) {
      v = argv[++i];
    } else {
      return usage_error("%s: option '%s' needs a value", command_, name.c_str());
    }
    if (s->value) *s->value = v;
    if (s->values) s->values->push_back(v);
  }
  return -1;
}

}  // namespace jarnel::tool
