#pragma once
// The calls of the legacy eToken interface library "drumvex.dll" (names "ETOKEN_…") that the
// eToken R2 driver binds, and the context record the driver hands to every call. Files and
// directories are named by their whole path on the token: four-digit hexadecimal groups
// without separators ("3f00e0071001"). Every call returns 1 on success and 0 on failure; a
// failing call records its function code, reason, source file and line in the context's
// pending error.
#include <cstdint>

namespace jarnel {

// Function codes of the pending error (the ETOKEN table of error library 70).
enum Etr2Function : int {
  ETR2_F_INIT = 100,
  ETR2_F_GET_CONFIG = 101,
  ETR2_F_GET_FILE_INFO = 102,
  ETR2_F_IS_FILE_EXIST = 103,
  ETR2_F_LOGIN = 104,
  ETR2_F_LOGOUT = 105,
  ETR2_F_CHANGE_PASSWORD = 106,
  ETR2_F_CREATE_DIRECTORY = 107,
  ETR2_F_CREATE_FILE = 108,
  ETR2_F_DELETE = 109,
  ETR2_F_WRITE = 110,
  ETR2_F_READ = 111,
  ETR2_F_FILE_INFO_NEW = 112,
};

struct ETR2_CONFIG {
  char reader[256];
  std::uint32_t serial;
  std::uint32_t free_space;
};

struct ETR2_FILE_INFO {
  std::int32_t is_directory;
  std::uint32_t size;
};

struct ETR2_PENDING {
  int function;  // 0: nothing pending
  int reason;
  const char* file;
  int line;
};

// One per open object or direct call; zeroed when made.
struct ETR2_CONTEXT {
  void* handle;             // the library's, set by ETOKEN_init, released by ETOKEN_close
  int mode;                 // open-mode bits
  int is_private;           // handed to ETOKEN_create_file
  void* contents;           // the memory BIO holding the file
  ETR2_CONFIG config;       // filled by ETOKEN_get_config
  ETR2_FILE_INFO info;      // filled by ETOKEN_get_file_info
  std::uint32_t open_flags; // the opener's flags and call-back argument (copied at open)
  void* open_arg;
  char* path;               // heap copy of the compact file path
  ETR2_PENDING pending;
  std::uint32_t flags;      // bit 0: do not flush at close
};

// The listing's entry constructor and list append, handed to ETOKEN_list_files.
using etr2_entry_new_fn = void* (*)(const char* name, int is_directory, std::uint32_t size);
using etr2_append_fn = int (*)(void* list, void* entry);

using etr2_init_fn = int (*)(ETR2_CONTEXT* ctx, const char* reader);
using etr2_ctx_fn = int (*)(ETR2_CONTEXT* ctx);
using etr2_login_fn = int (*)(ETR2_CONTEXT* ctx, const char* password);
using etr2_change_password_fn = int (*)(ETR2_CONTEXT* ctx, const char* old_password,
                                        const char* new_password);
using etr2_create_directory_fn = int (*)(ETR2_CONTEXT* ctx, const char* path, std::uint32_t flags);
using etr2_create_file_fn = int (*)(ETR2_CONTEXT* ctx, const char* path, std::uint32_t size,
                                    int is_private);
using etr2_path_fn = int (*)(ETR2_CONTEXT* ctx, const char* path);
using etr2_write_fn = int (*)(ETR2_CONTEXT* ctx, const char* path, const void* data,
                              std::uint32_t offset, std::uint32_t length);
using etr2_read_fn = int (*)(ETR2_CONTEXT* ctx, const char* path, void* out, std::uint32_t offset,
                             std::uint32_t length);
using etr2_exists_fn = int (*)(ETR2_CONTEXT* ctx, const char* path, int* exists);
using etr2_file_info_fn = int (*)(ETR2_CONTEXT* ctx, const char* path, ETR2_FILE_INFO* out);
using etr2_config_fn = int (*)(ETR2_CONTEXT* ctx, ETR2_CONFIG* out);
using etr2_list_fn = int (*)(ETR2_CONTEXT* ctx, const char* path, void* list,
                             etr2_entry_new_fn entry_new, etr2_append_fn append);

// The fourteen calls, in binding order.
struct ETR2_API {
  etr2_init_fn init;
  etr2_ctx_fn close;
  etr2_login_fn login;
  etr2_ctx_fn logout;
  etr2_change_password_fn change_password;
  etr2_create_directory_fn create_directory;
  etr2_create_file_fn create_file;
  etr2_path_fn remove;  // ETOKEN_delete
  etr2_write_fn write;
  etr2_read_fn read;
  etr2_exists_fn is_file_exist;
  etr2_file_info_fn get_file_info;
  etr2_config_fn get_config;
  etr2_list_fn list_files;
};
inline constexpr int ETR2_CALLS = 14;
inline constexpr const char* ETR2_NAMES[ETR2_CALLS] = {
    "ETOKEN_init",          "ETOKEN_close",          "ETOKEN_login",
    "ETOKEN_logout",        "ETOKEN_change_password", "ETOKEN_create_directory",
    "ETOKEN_create_file",   "ETOKEN_delete",         "ETOKEN_write",
    "ETOKEN_read",          "ETOKEN_is_file_exist",  "ETOKEN_get_file_info",
    "ETOKEN_get_config",    "ETOKEN_list_files"};

}  // namespace jarnel
