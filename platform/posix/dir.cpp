#include "platform/dir.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace jarnel::platform {

// Entries are collected with malloc, which reports a shortage by a null result.
struct DirFind {
  DirEntry* entries;
  std::size_t count;
  std::size_t capacity;
  std::size_t next;
};

namespace {
int by_name(const void* a, const void* b) {
  return std::strcmp(static_cast<const DirEntry*>(a)->name, static_cast<const DirEntry*>(b)->name);
}
}  // namespace

bool dir_pattern_match(const char* pattern, const char* name) {
  if (!pattern || !name) return false;
  if (std::strcmp(pattern, "*.*") == 0 || std::strcmp(pattern, "*") == 0) return true;
  if (::fnmatch(pattern, name, FNM_CASEFOLD) == 0) return true;
  // "name.*" also matches "name" without an extension.
  std::size_t n = std::strlen(pattern);
  if (n >= 2 && std::strcmp(pattern + n - 2, ".*") == 0 && !std::strchr(name, '.')) {
    char stem[256];
    if (n - 2 >= sizeof stem) return false;
    std::memcpy(stem, pattern, n - 2);
    stem[n - 2] = '\0';
    return ::fnmatch(stem, name, FNM_CASEFOLD) == 0;
  }
  return false;
}

DirFind* dir_find_first(const char* dir, const char* pattern, DirEntry* entry, int* error) {
  int ignored;
  if (!error) error = &ignored;
  *error = EINVAL;
  if (!dir || !pattern || !entry) return nullptr;
  char base[PATH_MAX];
  std::size_t n = std::strlen(dir);
  if (n + 2 >= sizeof base) {
    *error = ENAMETOOLONG;
    return nullptr;
  }
  for (std::size_t i = 0; i <= n; ++i) base[i] = dir[i] == '\\' ? '/' : dir[i];
  DIR* d = ::opendir(base);
  if (!d) {
    *error = errno;
    return nullptr;
  }
  *error = 0;
  if (n > 0 && base[n - 1] != '/') {
    base[n++] = '/';
    base[n] = '\0';
  }
  auto* find = static_cast<DirFind*>(std::calloc(1, sizeof(DirFind)));
  if (!find) *error = ENOMEM;
  bool ok = find != nullptr;
  while (ok) {
    errno = 0;
    struct dirent* de = ::readdir(d);
    if (!de) {
      // readdir gives null at the end and on a failure; only a failure sets errno.
      if (errno != 0) {
        *error = errno;
        ok = false;
      }
      break;
    }
    if (!dir_pattern_match(pattern, de->d_name)) continue;
    std::size_t len = std::strlen(de->d_name);
    if (len >= sizeof(DirEntry::name) || n + len >= sizeof base) {
      // An entry that cannot be named in full would silently drop out of the listing.
      *error = ENAMETOOLONG;
      ok = false;
      break;
    }
    if (find->count == find->capacity) {
      std::size_t cap = find->capacity ? find->capacity * 2 : 32;
      auto* grown = static_cast<DirEntry*>(std::realloc(find->entries, cap * sizeof(DirEntry)));
      if (!grown) {
        *error = ENOMEM;
        ok = false;
        break;
      }
      find->entries = grown;
      find->capacity = cap;
    }
    DirEntry& e = find->entries[find->count++];
    std::memset(&e, 0, sizeof e);
    std::memcpy(e.name, de->d_name, len + 1);
    std::memcpy(base + n, de->d_name, len + 1);
    struct stat sb;
    if (::stat(base, &sb) == 0 && S_ISDIR(sb.st_mode)) e.attrib |= DIR_ATTR_DIRECTORY;
    if (::lstat(base, &sb) == 0 && S_ISLNK(sb.st_mode)) e.is_link = true;
    base[n] = '\0';
  }
  ::closedir(d);
  if (!ok || find->count == 0) {
    dir_find_close(find);
    return nullptr;
  }
  std::qsort(find->entries, find->count, sizeof(DirEntry), by_name);
  *entry = find->entries[0];
  find->next = 1;
  return find;
}

bool dir_find_next(DirFind* find, DirEntry* entry) {
  if (!find || !entry || find->next >= find->count) return false;
  *entry = find->entries[find->next++];
  return true;
}

void dir_find_close(DirFind* find) {
  if (!find) return;
  std::free(find->entries);
  std::free(find);
}

}  // namespace jarnel::platform
