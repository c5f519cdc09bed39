#include "platform/settings.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace jarnel::platform {
namespace {

constexpr const char* DEFAULT_FILE = "/etc/jarnel/settings";

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

bool settings_read_string(const char* root, const char* key, const char* name, char* out,
                          std::size_t cap) {
  if (!root || !key || !name || !out || cap == 0) return false;
  const char* file = std::getenv("JARNEL_SETTINGS_FILE");
  if (!file || !*file) file = DEFAULT_FILE;
  std::FILE* f = std::fopen(file, "r");
  if (!f) return false;
  std::string section = std::string(root) + "\\" + key;
  bool in_section = false, found = false;
  char line[1024];
  while (!found && std::fgets(line, sizeof line, f)) {
    std::string l = trim(line);
    if (l.empty() || l[0] == ';' || l[0] == '#') continue;
    if (l.front() == '[') {
      in_section = l.back() == ']' &&
                   !strcasecmp(trim(l.substr(1, l.size() - 2)).c_str(), section.c_str());
      continue;
    }
    std::size_t eq = l.find('=');
    if (!in_section || eq == std::string::npos) continue;
    if (strcasecmp(trim(l.substr(0, eq)).c_str(), name) != 0) continue;
    std::string value = trim(l.substr(eq + 1));
    if (value.size() + 1 > cap) break;
    std::memcpy(out, value.c_str(), value.size() + 1);
    found = true;
  }
  std::fclose(f);
  return found;
}

}  // namespace jarnel::platform
