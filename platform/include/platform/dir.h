#pragma once
// Directory enumeration with a name pattern, in the manner of the run-time library's
// _findfirst / _findnext.
#include <cstddef>

namespace jarnel::platform {

inline constexpr unsigned DIR_ATTR_DIRECTORY = 0x10;

struct DirEntry {
  char name[256];
  unsigned attrib;  // DIR_ATTR_DIRECTORY for a directory (followed through symbolic links)
  bool is_link;     // the entry itself is a symbolic link
};

struct DirFind;

// Matches name against a pattern of '*' and '?' without regard to case. "*.*" matches every
// name, and a pattern ending in ".*" also matches the name without any extension.
bool dir_pattern_match(const char* pattern, const char* name);

// Opens directory dir and delivers the first entry whose name matches pattern ("." and ".."
// included, as the system reports them). Entries come sorted by name so that listings are
// stable. Null when the directory cannot be read or nothing matches; error (when given) then
// tells the two apart: 0 when the directory was read and nothing matched, otherwise the
// system's error number of the failure (ENOMEM when the entries could not be collected).
DirFind* dir_find_first(const char* dir, const char* pattern, DirEntry* entry, int* error = nullptr);
// The next match; false at the end.
bool dir_find_next(DirFind* find, DirEntry* entry);
void dir_find_close(DirFind* find);

}  // namespace jarnel::platform
