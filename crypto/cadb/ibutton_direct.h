#pragma once
// The iButton driver's direct functions, which the file layer calls for existence tests,
// listing, deletion and directory removal, and its library binding. Each takes a token path:
// "COM<n>:" or "LPT<n>:" (an adapter on that port), or "iButton…:" (the adapter is searched
// for), then a backslash, up to ten directories and a file "NAME.EXT" (names of 1 to 4
// characters, a decimal extension number). The driver itself is "Touch Memory" (bss_ibutton.cpp).
#include <cstdint>

#include "crypto/bio/tmex_api.h"

namespace jarnel {

struct TM_PORT {
  std::int16_t number;  // -1: not yet parsed
  std::int16_t type;    // 1 COM, 2 LPT, 0 search; -1: not yet parsed
};

// The listing record: a vendor session, the port and directory of the path, and the entry
// that receives each directory entry.
struct TM_FIND {
  tm_session session;
  TM_PORT port;
  TM_DIRPATH directory;
  TM_FILE_ENTRY entry;
};

// Largest file the driver reads or writes: the read buffer of the open.
inline constexpr int TM_MAX_FILE = 8192;

// 1 when the file named by the path can be opened on the device.
int TM_file_exists(const char* path);
// Opens a session on the path's port and directory and delivers the first entry; >= 0 when an
// entry was delivered. The session stays open even when the result is a failure, and with it
// the driver's session lock: no other thread of the process reaches a device until
// TM_find_close, which must always follow.
int TM_find_first(const char* path, TM_FIND* find);
// The next entry; 0 when there is none or on error.
int TM_find_next(TM_FIND* find);
// Ends the session when it was opened.
void TM_find_close(TM_FIND* find);
// 1 when the file is gone afterwards.
int TM_delete_file(const char* path);
// Removes the directory named by the path's last component; 1 when it is gone afterwards.
int TM_remove_directory(const char* path);

// Loads "ibfs32.dll" and binds its calls: 1, or TM_LIBRARY_MISSING when the library or a call
// is missing (every call then answers TM_LIBRARY_MISSING). Unloading also forgets the ports
// set up so far.
int TM_library_load();
void TM_library_unload();

// Takes a path apart as the driver does: false when it is not an iButton path. entry_valid is
// false when the file entry is not usable (its extension is then 127).
struct TM_PARSED {
  TM_PORT port;
  TM_DIRPATH directory;
  TM_FILE_ENTRY entry;
  bool entry_valid;
};
bool TM_parse_path(const char* path, TM_PARSED* out);

}  // namespace jarnel
