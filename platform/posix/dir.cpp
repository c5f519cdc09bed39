#include "platform/dir.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace jarnel::platform {

struct DirFind {
  std::vector<DirEntry> entries;
  std::size_t next = 0;
};

bool dir_pattern_match(const char* pattern, const char* name) {
  if (!pattern || !name) return false;
  if (std::strcmp(pattern, "*.*") == 0 || std::strcmp(pattern, "*") == 0) return true;
  if (::fnmatch(pattern, name, FNM_CASEFOLD) == 0) return true;
  // "name.*" also matches "name" without an extension.
  std::size_t n = std::strlen(pattern);
  if (n >= 2 && std::strcmp(pattern + n - 2, ".*") == 0 && !std::strchr(name, '.')) {
    std::string stem(pattern, n - 2);
    return ::fnmatch(stem.c_str(), name, FNM_CASEFOLD) == 0;
  }
  return false;
}

DirFind* dir_find_first(const char* dir, const char* pattern, DirEntry* entry) {
  if (!dir || !pattern || !entry) return nullptr;
  std::string base(dir);
  for (char& c : base)
    if (c == '\\') c = '/';
  DIR* d = ::opendir(base.c_str());
  if (!d) return nullptr;
  auto* find = new DirFind;
  if (!base.empty() && base.back() != '/') base += '/';
  while (struct dirent* de = ::readdir(d)) {
    if (!dir_pattern_match(pattern, de->d_name)) continue;
    DirEntry e{};
    std::size_t len = std::strlen(de->d_name);
    if (len >= sizeof e.name) continue;
    std::memcpy(e.name, de->d_name, len + 1);
    std::string full = base + de->d_name;
    struct stat sb;
    if (::stat(full.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) e.attrib |= DIR_ATTR_DIRECTORY;
    if (::lstat(full.c_str(), &sb) == 0 && S_ISLNK(sb.st_mode)) e.is_link = true;
    find->entries.push_back(e);
  }
  ::closedir(d);
  std::sort(find->entries.begin(), find->entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return std::strcmp(a.name, b.name) < 0; });
  if (find->entries.empty()) {
    delete find;
    return nullptr;
  }
  *entry = find->entries[0];
  find->next = 1;
  return find;
}

bool dir_find_next(DirFind* find, DirEntry* entry) {
  if (!find || !entry || find->next >= find->entries.size()) return false;
  *entry = find->entries[find->next++];
  return true;
}

void dir_find_close(DirFind* find) { delete find; }

}  // namespace jarnel::platform
