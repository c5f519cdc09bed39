#pragma once
// Direct functions of the iButton driver that the file layer calls for existence tests,
// listing, deletion and directory removal. Each takes a token path.
#include <cstdint>

namespace jarnel {

inline constexpr int TM_MAX_DIR_COMPONENTS = 10;
// Extension number that marks a directory entry (and an invalid file entry).
inline constexpr int TM_DIRECTORY_EXTENSION = 127;
// Result of every vendor call while the vendor library is missing.
inline constexpr short TM_LIBRARY_MISSING = -201;

struct TM_PORT {
  std::int16_t number;  // -1: not yet parsed
  std::int16_t type;    // 1 COM, 2 LPT, 0 search; -1: not yet parsed
};

struct TM_DIRPATH {
  std::uint8_t count;      // number of components
  char reference;          // '\\': from the root
  char entries[TM_MAX_DIR_COMPONENTS][4];
};

struct TM_FILE_ENTRY {
  char name[4];            // space padded
  std::uint8_t extension;
  std::uint8_t start_page;
  std::uint8_t page_count;
  std::uint8_t attributes;
  std::uint8_t bitmap[32];
};

// The listing record: a vendor session, the port and directory of the path, and the entry
// that receives each directory entry.
struct TM_FIND {
  long session;
  TM_PORT port;
  TM_DIRPATH directory;
  TM_FILE_ENTRY entry;
};

// 1 when the file named by the path can be opened on the device.
int TM_file_exists(const char* path);
// Opens a session on the path's port and directory and delivers the first entry; >= 0 when an
// entry was delivered. The session stays open even when the result is a failure.
int TM_find_first(const char* path, TM_FIND* find);
// The next entry; 0 when there is none or on error.
int TM_find_next(TM_FIND* find);
// Ends the session when it was opened.
void TM_find_close(TM_FIND* find);
// 1 when the file is gone afterwards.
int TM_delete_file(const char* path);
// Removes the directory named by the path's last component; 1 when it is gone afterwards.
int TM_remove_directory(const char* path);

}  // namespace jarnel
