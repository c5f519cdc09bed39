#pragma once
// The tool's option parser. Every command declares its options and hands its arguments over:
//
//   Options o("digest", kUsage);
//   o.value("--alg", &alg).flag("--check", &check);
//   if (int rc = o.parse(argc, argv); rc >= 0) return rc;   // help printed or usage error
//   for (const char* file : o.positional()) ...
//
// Accepted forms: "--name VALUE", "--name=VALUE", "-h"/"--help" (prints the usage text on standard
// output, exit 0), "--verbose" (the whole error queue on failures), "--" (everything after it is
// an operand) and "-" (standard input, an operand). An option that needs a value and has none,
// a flag given a value and an unknown option are usage errors naming the option.
#include <string>
#include <vector>

namespace jarnel::tool {

class Options {
 public:
  Options(const char* command, const char* usage) : command_(command), usage_(usage) {}
  // A flag: *out becomes true when it is given.
  Options& flag(const char* name, bool* out);
  // An option with a value: *out points at the last value given.
  Options& value(const char* name, const char** out);
  // An option that may be repeated: every value in order.
  Options& values(const char* name, std::vector<const char*>* out);
  // Another spelling of an option declared before (for example "-o" for "--out").
  Options& alias(const char* name, const char* of);
  // -h/--help sets *out instead of printing the usage text (for commands with subcommands that
  // choose the text themselves).
  Options& help_flag(bool* out) {
    help_ = out;
    return *this;
  }
  // -1 when the command should go on; otherwise the exit status to return at once (0 after the
  // help text, 2 after a usage error).
  int parse(int argc, char** argv);
  const std::vector<const char*>& positional() const { return positional_; }
  // Whether a given option was present on the command line.
  bool given(const char* name) const;

 private:
  struct OptionDef {
    std::string name;
    bool* flag = nullptr;
    const char** value = nullptr;
    std::vector<const char*>* values = nullptr;
    bool seen = false;
  };
  OptionDef* find(const std::string& name);
  const char* command_;
  const char* usage_;
  bool* help_ = nullptr;
  std::vector<OptionDef> defs_;
  std::vector<std::pair<std::string, std::string>> aliases_;
  std::vector<const char*> positional_;
};

}  // namespace jarnel::tool
