#pragma once
// The machinery the ruToken and eToken drivers share: both vendor libraries have the same
// shape (token_sdk_api.h), and both drivers open a session per object, walk an identifier path,
// log in through the password call-back when the token asks, hold a file in memory while it is
// open and rewrite it whole when it is flushed. A TOKEN_SDK_DRIVER holds what tells them apart
// and the driver's process-wide state; bss_rutoken.cpp and bss_etoken.cpp each own one.
#include <cstdint>

#include "crypto/bio/bio.h"
#include "crypto/bio/token_sdk_api.h"
#include "crypto/hooks.h"

namespace jarnel {

struct TOKEN_DIR_LIST;

// Function codes (the same numbers in both drivers' error libraries).
enum TokenSdkFunction : int {
  TSDK_F_FILE_INFO_NEW = 112,
  TSDK_F_LOGIN = 121,
  TSDK_F_NEW = 122,
  TSDK_F_FILE_OPEN = 123,
  TSDK_F_FILE_CREATE = 124,
  TSDK_F_FILE_WRITE = 125,
  TSDK_F_FILE_READ = 126,
  TSDK_F_FILE_DELETE = 127,
  TSDK_F_FILE_GET_INFO = 128,
  TSDK_F_DIR_GET_INFO = 129,
  TSDK_F_ROOT_DIR_OPEN = 130,
  TSDK_F_DIR_CREATE = 131,
  TSDK_F_DIR_OPEN = 132,
  TSDK_F_OPEN = 103,
  TSDK_F_TOUCH = 134,
  TSDK_F_FLUSH = 135,
  TSDK_F_DELETE = 136,
};
// Reasons.
enum TokenSdkReason : int {
  TSDK_R_INTERNAL_ERROR = 12,
  TSDK_R_BIO_LIB = 32,
  TSDK_R_MALLOC_FAILURE = 33,
  TSDK_R_BAD_FOPEN_MODE = 101,
  TSDK_R_READER_NOT_FOUND = 126,
  TSDK_R_TOKEN_NOT_FOUND = 127,
  TSDK_R_LOGIN_FAILED = 128,
  TSDK_R_PHRASE_FAILED = 129,
};

// Session flags.
inline constexpr std::uint32_t TSDK_NO_FLUSH = 1;         // deleted: nothing to commit at close
inline constexpr std::uint32_t TSDK_LOGOUT_EACH = 2;      // log out after every vendor call
// The largest file the 16-bit sizes carry.
inline constexpr long TSDK_MAX_FILE = 0xFFFF;

// A token path taken apart: which readers qualify and the identifier groups to walk.
struct TOKEN_SDK_PATH {
  int family;               // which prefix named the carrier (the driver's own numbering)
  char reader_wanted[300];  // compared as the driver's reader_matches says
  char ids[300];            // the identifier groups, four hex digits each, no separators
  bool ids_ok;              // false: the identifier part cannot be walked
};

// The ruToken and eToken drivers' path parsers and reader tests (reached directly by tests).
void RT_parse_path(const char* path, TOKEN_SDK_PATH* out);
bool RT_reader_matches(const TOKEN_SDK_PATH& path, const char* reader);
void ET_parse_path(const char* path, TOKEN_SDK_PATH* out);
bool ET_reader_matches(const TOKEN_SDK_PATH& path, const char* reader);

struct TOKEN_SDK_DRIVER {
  const char* name;            // for messages: "ruToken", "eToken"
  const char* library;         // the vendor library's Windows name
  const char* const* names;    // the TOKEN_SDK_CALLS names, in TOKEN_SDK_API order
  int err_lib;                 // library of the driver's errors
  int new_lib;                 // library of the session and listing-record allocation errors
  std::uint32_t token_source;  // source number of the vendor status
  int lock;                    // numbered lock around file reads and writes
  std::uint16_t root_id;       // identifier the root directory is opened with
  std::uint32_t root_flags;
  bool ansi_password;          // the PIN goes to the token in the ANSI code page
  bool (*auth_required)(int result);
  // Splits path; false when it is not a path of this carrier at all.
  void (*parse)(const char* path, TOKEN_SDK_PATH* out);
  bool (*reader_matches)(const TOKEN_SDK_PATH& path, const char* reader);
  const char* default_prefix;  // stands for a null path in logout and presence tests
  bool settings_without_session;  // commands 143, 145, 146 answer 1 without a session
  bool session_flag_commands;     // commands 147 and 148 exist

  // Process-wide state.
  TOKEN_SDK_API api;
  void* handle;
  bool available;
  password_cb passwd_cb;
};

// Loading ("WinSCard.dll" must load, then the vendor library with all its calls) and unloading.
int TSDK_library_load(TOKEN_SDK_DRIVER& d);
void TSDK_library_unload(TOKEN_SDK_DRIVER& d);

// The BIO slots.
int TSDK_write(TOKEN_SDK_DRIVER& d, BIO* b, const char* data, int len);
int TSDK_read(TOKEN_SDK_DRIVER& d, BIO* b, char* out, int len);
int TSDK_puts(TOKEN_SDK_DRIVER& d, BIO* b, const char* str);
int TSDK_gets(TOKEN_SDK_DRIVER& d, BIO* b, char* buf, int size);
long TSDK_ctrl(TOKEN_SDK_DRIVER& d, BIO* b, int cmd, long num, void* ptr);
int TSDK_create(BIO* b);
int TSDK_destroy(TOKEN_SDK_DRIVER& d, BIO* b);

// Direct functions on a path.
int TSDK_exists(TOKEN_SDK_DRIVER& d, const char* path);
int TSDK_is_directory(TOKEN_SDK_DRIVER& d, const char* path);
int TSDK_is_file(TOKEN_SDK_DRIVER& d, const char* path);
int TSDK_list(TOKEN_SDK_DRIVER& d, const char* path, TOKEN_DIR_LIST* list);
int TSDK_delete(TOKEN_SDK_DRIVER& d, BIO* b);
int TSDK_remove_directory(TOKEN_SDK_DRIVER& d, const char* path);
int TSDK_logout(TOKEN_SDK_DRIVER& d, const char* path);
int TSDK_is_inserted(TOKEN_SDK_DRIVER& d, const char* path);

}  // namespace jarnel
