#pragma once
// Files and directories by path, and buffered files for the removable-media driver.
//
// Paths arrive in the token layer's form, where a backslash separates components as well as a
// slash; on POSIX every backslash is turned into a slash before the system sees the path.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace jarnel::platform {

// Stat bits as the token layer reads them.
inline constexpr unsigned FS_MODE_DIRECTORY = 0x4000;
inline constexpr unsigned FS_MODE_REGULAR = 0x8000;

struct FileStatus {
  unsigned mode;       // FS_MODE_DIRECTORY, FS_MODE_REGULAR or 0 for anything else
  std::int64_t size;   // bytes
};

// Copies path into out (cap bytes) with every backslash turned into the system's separator.
// false when it does not fit.
bool native_path(const char* path, char* out, std::size_t cap);

// 0 when the path names something that exists (follows symbolic links); -1 otherwise, with the
// reason in last_error().
int fs_access(const char* path);
// true with the status filled in when the path can be examined (follows symbolic links).
bool fs_stat(const char* path, FileStatus* st);
// true when the path itself (not what a link points to) is a directory.
bool fs_is_real_directory(const char* path);
// 0 on success, -1 with last_error() set otherwise. A private directory (one made to hold
// private files) is readable, writable and searchable by its owner alone (0700, whatever the
// process's file-creation mask); others get the system's default.
int fs_mkdir(const char* path, bool private_dir = false);
// true when the path itself is a symbolic link (not followed).
bool fs_is_link(const char* path);
int fs_rmdir(const char* path);
int fs_remove(const char* path);
// The run-time library's permission change as Windows has it: with the owner-write bit (0200)
// in mode the path becomes readable and writable by its owner; without it every write bit is
// taken away. Other permission bits are kept. 0 on success, -1 otherwise.
int fs_chmod(const char* path, int mode);
// True when the last failure was the system's "invalid name" error (a bare drive such as C:
// on Windows). POSIX has no such error.
bool last_error_is_invalid_name();

// Makes path absolute and removes "." and ".." components without touching the file system.
// The result uses backslashes as separators. false when it does not fit in cap bytes or the
// current directory cannot be read.
bool full_path(const char* path, char* out, std::size_t cap);

// Buffered files of the C run-time library. file_open turns backslashes into slashes and
// refuses a directory (EISDIR) the way Windows does. Null on failure, last_error() set.
// A private file opened for writing is readable and writable by its owner alone (0600,
// whatever the file-creation mask): a new one is created so, an existing one loses the
// permissions of group and others.
std::FILE* file_open(const char* path, const char* mode, bool private_file = false);
// Opens a file named on a command line for writing, the path taken as the system spells it (no
// backslash conversion), truncating it. A private file is made readable and writable by its
// owner only (an existing regular file is changed to that too). *created tells whether the
// file did not exist before. Null on failure, last_error() set.
std::FILE* output_file_open(const char* path, bool private_file, bool* created);
// Removes a file this process made, by the system's spelling of the path, when it is a regular
// file (never a device or anything else put there meanwhile).
void output_file_discard(const char* path);

// Size of an open file from its status: 1 and *size when known, 0 when the status cannot be
// read, -1 when the file has no descriptor.
int file_size(std::FILE* fp, std::int64_t* size);
// Flushes the file's buffer and asks the system to put its data on the device; false when
// either fails.
bool file_sync(std::FILE* fp);
// Puts the file's descriptor into text or binary mode (no difference on POSIX).
void file_set_text_mode(std::FILE* fp, bool text);

}  // namespace jarnel::platform
