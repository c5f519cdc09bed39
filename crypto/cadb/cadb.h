#pragma once
// The file layer of the key store: whole-file read, write, secure erase, length, existence and
// type tests, directory creation, removal and listing, carrier presence, logout and waiting
// for a carrier, for any token path.
//
// A token path's case-insensitive prefix selects its carrier: "eToken", "AKS ifdh" or
// "Aladdin Token JC" (eToken), "eTR2" (eToken R2), "ruToken" or "Aktiv Co. ruToken" (ruToken),
// "iButton", "pkcs11" (PKCS#11 file store); anything else is a file-system path (a drive or a
// directory). Each carrier is one record in carrier.h, through which these operations
// dispatch. Both the slash and the backslash separate components. Paths are at most 259
// characters long.
#include <cstdint>

#include "crypto/cadb/buffer.h"
#include "crypto/status.h"

namespace jarnel {

struct BIO;

// Longest path the layer keeps: 260 characters plus the terminating zero fit in a path buffer;
// a path of 260 characters or more is refused by the operations.
inline constexpr int CADB_PATH_MAX = 260;
inline constexpr int CADB_PATH_BUF = CADB_PATH_MAX + 1;

// Function numbers of this layer (library 66).
inline constexpr int CADB_F_CADB_WRITE_FILE = 320, CADB_F_CADB_ERASE_FILE = 321,
                     CADB_F_CADB_MKDIR = 376, CADB_F_CADB_TOKEN_MKDIR = 400,
                     CADB_F_CADB_TOKEN_RMDIR = 401, CADB_F_CADB_LIST_DIRECTORY = 402;

// Source names recorded with the errors of the whole-file operations.
inline constexpr const char* CADB_SOURCE_IO = "..\\..\\crypto\\cadb\\n_io";
inline constexpr const char* CADB_SOURCE_BUFFER = "..\\..\\crypto\\cadb\\n_buffer";

// Status numbers the layer records beside the queue.
inline constexpr std::uint32_t CADB_STATUS_IO = STATUS_IO, CADB_STATUS_NO_MEMORY = STATUS_NO_MEMORY,
                               CADB_STATUS_CANNOT_WRITE = STATUS_CANNOT_WRITE;

// Stat bits.
inline constexpr unsigned CADB_S_IFDIR = 0x4000, CADB_S_IFREG = 0x8000;

// List flags.
inline constexpr unsigned CADB_LIST_RECURSE = 1, CADB_LIST_DIRECTORIES = 2;

enum class Carrier { FileSystem, IButton, EtokenR2, Etoken, Rutoken, Pkcs11 };
Carrier CADB_carrier_of(const char* path);

// Path functions.
// Builds a path in out (CADB_PATH_BUF bytes): directory (when given, replacing what out held)
// followed by "/" unless it already ends in a separator, then name, then "." and extension
// (no "." when the extension begins with one). Each part is cut so that out never exceeds 260
// characters. Then every "/" becomes a backslash and one trailing backslash is removed (a path
// that is only a backslash, the root, keeps it). With all three null it only normalises out.
char* CADB_make_path(char* out, const char* directory, const char* name, const char* extension);
// True for iButton, eToken R2, eToken, ruToken and PKCS#11 paths.
int CADB_is_token_path(const char* path);
// True when the shorter path equals the beginning of the longer one, without regard to case.
// File-system paths are made absolute first.
int CADB_path_prefix_match(const char* a, const char* b);

// Whole-file operations. flags and arg are the open parameters of the carrier's driver
// (16: arg is a JNI_CALLBACK_CTX; 2: a private file).
int CADB_write_file(const char* path, const void* data, int length, std::uint32_t flags, void* arg);
// Writes a whole BUFFER; -1 for a null path or buffer.
int CADB_write_buffer(const char* path, const BUFFER* buffer, std::uint32_t flags, void* arg);
int CADB_write(const char* path, const BUFFER* buffer);
// Overwrites the file with zeros, then deletes it. 1 when the file no longer exists.
int CADB_erase_file(const char* path, std::uint32_t flags, void* arg);
// Size in bytes (0 for a directory); -1 when it cannot be determined.
long CADB_file_length(const char* path, std::uint32_t flags, void* arg);
int CADB_file_exists(const char* path);
int CADB_is_file(const char* path);
int CADB_is_directory(const char* path);
// 1 when every directory above the file named by path exists or was made.
int CADB_mkdir(const char* path);
// Non-zero when the directory named by path exists afterwards.
int CADB_token_mkdir(const char* path, std::uint32_t flags, void* arg);
// Non-zero when the directory was removed.
int CADB_token_rmdir(const char* path, std::uint32_t flags, void* arg);

// Called with the full path of each listed entry; returns non-zero to go on.
using CADB_list_callback = int (*)(const char* path, void* arg);
// 1 when the listing ran to its end, 0 when it failed or the call-back stopped it.
int CADB_list_directory(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg);

int CADB_is_inserted(const char* path);
int CADB_logout(const char* path);
// Non-zero when the carrier's driver is ready to be polled.
int CADB_attach_token(const char* path);
// Asked while the carrier is missing; returns 0 to give up.
using CADB_waiter = int (*)(const char* path, void* arg);
// 1 when the carrier is present (or no waiter is given), 0 when the waiter gave up.
int CADB_wait_for_carrier(const char* path, CADB_waiter waiter, void* waiter_arg);
// File-system paths: the run-time permission change (see platform::fs_chmod) as a truth value;
// token paths: 1.
int CADB_set_permissions(const char* path, int mode);

// How the layer opens a token file. Replaceable so that a test can watch the driver calls of
// an operation (for example with a BIO call-back); the default is BIO_new_token_file.
using CADB_bio_opener = BIO* (*)(const char* path, const char* mode, std::uint32_t flags, void* arg);
// Installs opener (null restores the default) and returns the previous one.
CADB_bio_opener CADB_set_bio_opener(CADB_bio_opener opener);

}  // namespace jarnel
