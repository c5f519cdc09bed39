#pragma once
// The calls of the two smart-token vendor libraries the ruToken ("rtapilt.dll", names "rtl…")
// and eToken ("etsdk.dll", names "ET…") drivers bind. Both libraries have the same shape: an
// enumeration of PC/SC readers, a binding to the token in one reader, a PIN login, and a tree of
// directories and files named by 16-bit identifiers. Every call returns a signed 32-bit result:
// >= 0 is success, a negative value is the vendor's status.
#include <cstdint>

namespace jarnel {

// Results every caller relies on.
inline constexpr std::uint32_t TOKEN_SDK_AUTH_REQUIRED = 0x81116982;  // ruToken, exactly
inline constexpr std::uint32_t TOKEN_SDK_AUTH_LOW = 0x6982;           // eToken: low 16 bits
inline constexpr std::uint32_t TOKEN_SDK_END_OF_LIST = 0x80070103;    // enumerations end

// One directory or file, as the information and enumeration calls fill it.
struct TOKEN_SDK_INFO {
  std::uint16_t id;
  std::uint16_t size;         // bytes; 0 for a directory
  std::uint8_t is_directory;
  std::uint8_t is_private;    // readable and writable only after a login
};

using tsdk_handle = void*;

// Readers: open an enumeration, take the next reader's name (zero-terminated, at most
// name_size bytes) and whether a token is in it, close it. The end is TOKEN_SDK_END_OF_LIST.
using tsdk_readers_open_fn = int (*)(tsdk_handle* out_enum);
using tsdk_readers_next_fn = int (*)(tsdk_handle en, char* name, std::uint32_t name_size,
                                     int* token_present);
using tsdk_close_fn = int (*)(tsdk_handle h);
// Binding to the token in a reader (0 on success) and its release.
using tsdk_bind_fn = int (*)(const char* reader, tsdk_handle* out_token);
// Login with a zero-terminated PIN; logout.
using tsdk_login_fn = int (*)(tsdk_handle token, const char* pin);
using tsdk_logout_fn = int (*)(tsdk_handle token);
// Bound but not used by the drivers.
using tsdk_pin_change_fn = int (*)(tsdk_handle token, const char* old_pin, const char* new_pin);
using tsdk_pin_length_fn = int (*)(tsdk_handle token, std::uint32_t* length);
using tsdk_text_fn = int (*)(tsdk_handle token, char* out, std::uint32_t size);
// Directories: the root (by its identifier), create, open, information, delete, close.
using tsdk_root_open_fn = int (*)(tsdk_handle token, tsdk_handle* out_dir, std::uint16_t id,
                                  std::uint32_t flags);
using tsdk_dir_create_fn = int (*)(tsdk_handle parent, std::uint16_t id, std::uint32_t flags,
                                   tsdk_handle* out_dir);
using tsdk_dir_open_fn = int (*)(tsdk_handle parent, std::uint16_t id, tsdk_handle* out_dir);
using tsdk_info_fn = int (*)(tsdk_handle h, TOKEN_SDK_INFO* out);
using tsdk_delete_fn = int (*)(tsdk_handle h);
// Enumerations of a directory's subdirectories or files; the end is TOKEN_SDK_END_OF_LIST.
using tsdk_enum_open_fn = int (*)(tsdk_handle dir, tsdk_handle* out_enum);
using tsdk_enum_next_fn = int (*)(tsdk_handle en, TOKEN_SDK_INFO* out);
// Files: open, create (with its fixed size and whether it is private), read and write at an
// offset, delete, information, close.
using tsdk_file_open_fn = int (*)(tsdk_handle dir, std::uint16_t id, tsdk_handle* out_file);
using tsdk_file_create_fn = int (*)(tsdk_handle dir, std::uint16_t id, std::uint16_t size,
                                    int is_private, tsdk_handle* out_file);
using tsdk_file_read_fn = int (*)(tsdk_handle file, std::uint16_t offset, void* out,
                                  std::uint16_t length);
using tsdk_file_write_fn = int (*)(tsdk_handle file, std::uint16_t offset, const void* data,
                                   std::uint16_t length);

// The 31 calls in the order the drivers resolve them.
struct TOKEN_SDK_API {
  tsdk_readers_open_fn readers_open;
  tsdk_readers_next_fn readers_next;
  tsdk_close_fn readers_close;
  tsdk_bind_fn bind;
  tsdk_close_fn unbind;
  tsdk_login_fn login;
  tsdk_logout_fn logout;
  tsdk_pin_change_fn pin_change;
  tsdk_pin_length_fn pin_max;
  tsdk_pin_length_fn pin_min;
  tsdk_text_fn label;
  tsdk_text_fn token_id;
  tsdk_root_open_fn root_open;
  tsdk_dir_create_fn dir_create;
  tsdk_dir_open_fn dir_open;
  tsdk_info_fn dir_info;
  tsdk_delete_fn dir_delete;
  tsdk_close_fn dir_close;
  tsdk_enum_open_fn dir_enum_open;
  tsdk_enum_next_fn dir_enum_next;
  tsdk_close_fn dir_enum_close;
  tsdk_enum_open_fn files_enum_open;
  tsdk_enum_next_fn files_enum_next;
  tsdk_close_fn files_enum_close;
  tsdk_file_open_fn file_open;
  tsdk_file_create_fn file_create;
  tsdk_file_read_fn file_read;
  tsdk_file_write_fn file_write;
  tsdk_delete_fn file_delete;
  tsdk_info_fn file_info;
  tsdk_close_fn file_close;
};
inline constexpr int TOKEN_SDK_CALLS = 31;

inline constexpr const char* RTAPI_NAMES[TOKEN_SDK_CALLS] = {
    "rtlOpenReadersEnum", "rtlGetNextReader_A", "rtlCloseReadersEnum", "rtlBindToken_A",
    "rtlUnbindToken", "rtlLoginToken_A", "rtlLogoutToken", "rtlChangeTokenPin_A",
    "rtlGetTokenPinMaxLength", "rtlGetTokenPinMinLength", "rtlGetTokenLabel_A",
    "rtlGetTokenID_A", "rtlOpenRootDir", "rtlCreateDir", "rtlOpenDir", "rtlGetDirInfo",
    "rtlDeleteDir", "rtlCloseDir", "rtlOpenDirEnum", "rtlGetNextDir", "rtlCloseDirEnum",
    "rtlOpenFilesEnum", "rtlGetNextFile", "rtlCloseFilesEnum", "rtlOpenFile", "rtlCreateFile",
    "rtlReadFile", "rtlWriteFile", "rtlDeleteFile", "rtlGetFileInfo", "rtlCloseFile"};

inline constexpr const char* ETSDK_NAMES[TOKEN_SDK_CALLS] = {
    "ETReadersEnumOpen", "ETReadersEnumNext", "ETReadersEnumClose", "ETTokenBind",
    "ETTokenUnbind", "ETTokenLogin", "ETTokenLogout", "ETTokenPinChange", "ETTokenMaxPinGet",
    "ETTokenMinPinGet", "ETTokenLabelGet", "ETTokenIDGet", "ETRootDirOpen", "ETDirCreate",
    "ETDirOpen", "ETDirGetInfo", "ETDirDelete", "ETDirClose", "ETDirEnumOpen", "ETDirEnumNext",
    "ETDirEnumClose", "ETFilesEnumOpen", "ETFilesEnumNext", "ETFilesEnumClose", "ETFileOpen",
    "ETFileCreate", "ETFileRead", "ETFileWrite", "ETFileDelete", "ETFileGetInfo",
    "ETFileClose"};

}  // namespace jarnel
