#include "platform/settings.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace jarnel::platform {
namespace {

constexpr const char* DEFAULT_FILE = "/etc/jarnel/settings";

// The settings file is parsed in place, one line buffer at a time: reading a setting allocates
// nothing.
std::string_view trim(std::string_view s) {
  const std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Whether a section name is "root\key", letter case aside.
bool is_section(std::string_view name, std::string_view root, std::string_view key) {
  return name.size() == root.size() + 1 + key.size() && name[root.size()] == '\\' &&
         same_text(name.substr(0, root.size()), root) &&
         same_text(name.substr(root.size() + 1), key);
}

}  // namespace

bool settings_read_string(const char* root, const char* key, const char* name, char* out,
                          std::size_t cap) {
  if (!root || !key || !name || !out || cap == 0) return false;
  const char* file = std::getenv("JARNEL_SETTINGS_FILE");
  if (!file || !*file) file = DEFAULT_FILE;
  std::FILE* f = std::fopen(file, "r");
  if (!f) return false;
  bool in_section = false, found = false;
  char line[1024];
  while (!found && std::fgets(line, sizeof line, f)) {
    const std::string_view l = trim(line);
    if (l.empty() || l[0] == ';' || l[0] == '#') continue;
    if (l.front() == '[') {
      in_section = l.size() >= 2 && l.back() == ']' &&
                   is_section(trim(l.substr(1, l.size() - 2)), root, key);
      continue;
    }
    const std::size_t eq = l.find('=');
    if (!in_section || eq == std::string_view::npos) continue;
    if (!same_text(trim(l.substr(0, eq)), name)) continue;
    const std::string_view value = trim(l.substr(eq + 1));
    if (value.size() + 1 > cap) break;
    std::memcpy(out, value.data(), value.size());
    out[value.size()] = '\0';
    found = true;
  }
  std::fclose(f);
  return found;
}

}  // namespace jarnel::platform
