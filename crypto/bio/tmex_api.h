#pragma once
// The calls of the TMEX touch-memory file-system library "ibfs32.dll" that the iButton driver
// binds, and the records they exchange. Sessions are 32-bit handles; every other result is a
// signed 16-bit number.
#include <cstdint>

namespace jarnel {

inline constexpr int TM_MAX_DIR_COMPONENTS = 10;
// Extension number that marks a directory entry (and an invalid file entry).
inline constexpr int TM_DIRECTORY_EXTENSION = 127;
// Size of the state buffer handed to every file call.
inline constexpr int TM_STATE_SIZE = 15360;

// Results the driver relies on.
inline constexpr std::int16_t TM_OK = 1;
inline constexpr std::int16_t TM_FILE_NOT_FOUND = -6;
inline constexpr std::int16_t TM_FILE_NOT_FOUND_2 = -14;
inline constexpr std::int16_t TM_DIR_NOT_FOUND = -18;
// Result of every call while the library is missing (0xFF37 as 16 bits).
inline constexpr std::int16_t TM_LIBRARY_MISSING = -201;

// Operations of TMChangeDirectory and TMDirectoryMR.
inline constexpr std::int16_t TM_DIR_SET = 0;
inline constexpr std::int16_t TM_DIR_CREATE = 0;
inline constexpr std::int16_t TM_DIR_REMOVE = 1;

#pragma pack(push, 1)
// A directory path: the number of components, the reference ('\\': from the root), then the
// components, four characters each, space padded.
struct TM_DIRPATH {
  std::uint8_t count;
  char reference;
  char entries[TM_MAX_DIR_COMPONENTS][4];
};

// A file entry: four characters of name (space padded) and the extension number; the rest is
// the library's.
struct TM_FILE_ENTRY {
  char name[4];
  std::uint8_t extension;
  std::uint8_t start_page;
  std::uint8_t page_count;
  std::uint8_t attributes;
  std::uint8_t bitmap[32];
};
#pragma pack(pop)
static_assert(sizeof(TM_DIRPATH) == 42);

using tm_session = std::int32_t;
using tm_start_session_fn = tm_session (*)(std::int16_t port_number, std::int16_t port_type,
                                           void* options);
using tm_end_session_fn = std::int16_t (*)(tm_session session);
using tm_entry_fn = std::int16_t (*)(tm_session session, void* state, TM_FILE_ENTRY* entry);
using tm_create_file_fn = std::int16_t (*)(tm_session session, void* state,
                                           std::int16_t* max_size, TM_FILE_ENTRY* entry);
using tm_read_file_fn = std::int16_t (*)(tm_session session, void* state, std::int16_t file,
                                         std::uint8_t* buffer, std::int16_t max);
using tm_write_file_fn = std::int16_t (*)(tm_session session, void* state, std::int16_t file,
                                          const std::uint8_t* data, std::int16_t length);
using tm_close_file_fn = std::int16_t (*)(tm_session session, void* state, std::int16_t file);
using tm_change_dir_fn = std::int16_t (*)(tm_session session, void* state,
                                          std::int16_t operation, TM_DIRPATH* path);
using tm_dir_mr_fn = std::int16_t (*)(tm_session session, void* state, std::int16_t operation,
                                      TM_FILE_ENTRY* entry);
using tm_state_fn = std::int16_t (*)(tm_session session, void* state);
using tm_setup_fn = std::int16_t (*)(tm_session session);

// The sixteen calls, in binding order.
struct TMEX_API {
  tm_start_session_fn start_session;  // TMExtendedStartSession
  tm_end_session_fn end_session;      // TMEndSession
  tm_entry_fn first_file;             // TMFirstFile
  tm_entry_fn next_file;              // TMNextFile
  tm_entry_fn open_file;              // TMOpenFile
  tm_create_file_fn create_file;      // TMCreateFile
  tm_close_file_fn close_file;        // TMCloseFile
  tm_read_file_fn read_file;          // TMReadFile
  tm_write_file_fn write_file;        // TMWriteFile
  tm_entry_fn delete_file;            // TMDeleteFile
  tm_change_dir_fn change_directory;  // TMChangeDirectory
  tm_dir_mr_fn directory_mr;          // TMDirectoryMR
  tm_state_fn create_program_job;     // TMCreateProgramJob
  tm_state_fn do_program_job;         // TMDoProgramJob
  tm_state_fn first;                  // TMFirst
  tm_setup_fn setup;                  // TMSetup
};
inline constexpr int TMEX_CALLS = 16;
inline constexpr const char* TMEX_NAMES[TMEX_CALLS] = {
    "TMExtendedStartSession", "TMEndSession",      "TMFirstFile",        "TMNextFile",
    "TMOpenFile",             "TMCreateFile",      "TMCloseFile",        "TMReadFile",
    "TMWriteFile",            "TMDeleteFile",      "TMChangeDirectory",  "TMDirectoryMR",
    "TMCreateProgramJob",     "TMDoProgramJob",    "TMFirst",            "TMSetup"};

}  // namespace jarnel
