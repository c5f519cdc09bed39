// The file-system carrier: drives and directories, every path no other carrier claims. Files
// are opened through the "FILE pointer" driver; tests, listing, deletion and directories use
// the platform's file functions directly.
#include <cstring>

#include "crypto/bio/bio.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"
#include "crypto/err/err.h"
#include "platform/dir.h"
#include "platform/fs.h"

namespace jarnel {
namespace {

int fs_exists(const char* path) { return platform::fs_access(path) == 0; }

// dir joined with name by a backslash into out; false (recorded) when it would not fit.
bool join(char* out, const char* dir, const char* name) {
  std::size_t n = std::strlen(dir);
  const char* sep = (n > 0 && dir[n - 1] == '\\') ? "" : "\\";
  int len = std::snprintf(out, CADB_PATH_BUF, "%s%s%s", dir, sep, name);
  if (len < 0 || len >= CADB_PATH_MAX) {
    ERR_put_error(LIB_CADB, CADB_F_CADB_LIST_DIRECTORY, R_INTERNAL_ERROR, __FILE__, __LINE__);
    ERR_add_error_data(4, "path of 260 characters or more: ", dir, "\\", name);
    return false;
  }
  return true;
}

// Starts reading dir; null with the system's reason recorded when it cannot be read, null with
// *failed false when it was read and nothing matched.
platform::DirFind* open_dir(const char* dir, const char* pattern, platform::DirEntry* entry,
                            bool* failed) {
  int error = 0;
  platform::DirFind* find = platform::dir_find_first(dir, pattern, entry, &error);
  *failed = !find && error != 0;
  if (*failed) {
    // The system's own form of the path, as the system was asked.
    char native[CADB_PATH_BUF + 1];
    if (!platform::native_path(dir, native, sizeof native)) native[0] = '\0';
    ERR_put_error(LIB_SYS, SYS_F_OPENDIR, error, __FILE__, __LINE__);
    ERR_add_error_data(3, "opendir('", native, "')");
  }
  return find;
}

bool dot_or_dotdot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Entries of dir that match pattern, after those of its subdirectories when recursing.
int list_in(const char* dir, const char* pattern, unsigned flags, CADB_list_callback cb,
            void* arg) {
  platform::DirEntry entry;
  char full[CADB_PATH_BUF];
  if (flags & CADB_LIST_RECURSE) {
    bool failed = false;
    platform::DirFind* find = open_dir(dir, "*", &entry, &failed);
    if (failed) return 0;
    for (bool more = find != nullptr; more; more = platform::dir_find_next(find, &entry)) {
      // Links to directories are not followed: a link to a parent would never end.
      if (!(entry.attrib & platform::DIR_ATTR_DIRECTORY) || entry.is_link ||
          dot_or_dotdot(entry.name))
        continue;
      if (!join(full, dir, entry.name) || !list_in(full, pattern, flags, cb, arg)) {
        platform::dir_find_close(find);
        return 0;
      }
    }
    platform::dir_find_close(find);
  }
  bool failed = false;
  platform::DirFind* find = open_dir(dir, pattern, &entry, &failed);
  if (failed) return 0;
  int result = 1;
  for (bool more = find != nullptr; more; more = platform::dir_find_next(find, &entry)) {
    if (dot_or_dotdot(entry.name)) continue;
    if ((entry.attrib & platform::DIR_ATTR_DIRECTORY) && !(flags & CADB_LIST_DIRECTORIES)) continue;
    if (!join(full, dir, entry.name) || !CARRIER_report(full, cb, arg)) {
      result = 0;
      break;
    }
  }
  platform::dir_find_close(find);
  return result;
}

// A path that exists is a directory to list whole ("*.*"); otherwise its last component is a
// pattern inside the directory before it.
int list(const char* p, unsigned flags, CADB_list_callback cb, void* arg) {
  char dir[CADB_PATH_BUF + 1];
  char pattern[CADB_PATH_BUF];
  if (platform::fs_access(p) == 0) {
    std::strcpy(dir, p);
    std::strcpy(pattern, "*.*");
  } else if (const char* last = std::strrchr(p, '\\'); !last) {
    std::strcpy(dir, ".");
    std::strcpy(pattern, p);
  } else {
    std::size_t n = static_cast<std::size_t>(last - p);
    // A pattern right under the root keeps the root as its directory.
    if (n == 0) n = 1;
    std::memcpy(dir, p, n);
    dir[n] = '\0';
    std::strcpy(pattern, last + 1);
  }
  if (!dir[0] || !pattern[0]) return 0;
  std::size_t n = std::strlen(dir);
  if (dir[n - 1] == ':') std::strcpy(dir + n, "\\");
  platform::FileStatus st{};
  if (!platform::fs_stat(dir, &st)) return 1;
  if (!(st.mode & CADB_S_IFDIR)) return CARRIER_report(dir, cb, arg);
  return list_in(dir, pattern, flags, cb, arg);
}

// The zeros have been flushed: close the file, then remove its name.
int erase(BIO** b, const char* path) {
  BIO_free(*b);
  *b = nullptr;
  return platform::fs_remove(path) == 0;
}

void remove_missing(const char* path) { platform::fs_remove(path); }

}  // namespace

// Shared with the PKCS#11 store, whose directories are file-system directories.
int CARRIER_fs_make_directory(const char* path) {
  // The directory itself is made, not only those above it.
  if (!CADB_make_directories(path, true)) return 0;
  return CARRIER_fs_is_directory(path);
}

int CARRIER_fs_remove_directory(const char* path) {
  CADB_set_permissions(path, 0600);
  return platform::fs_rmdir(path) == 0 ? 1 : 0;
}

const CARRIER CARRIER_file_system = {
    .kind = Carrier::FileSystem,
    .name = "file system",
    .prefixes = nullptr,
    .bio_method = BIO_s_token_file,
    .session = false,
    .exists = fs_exists,
    .is_file = CARRIER_fs_is_file,
    .is_directory = CARRIER_fs_is_directory,
    .length = CARRIER_fs_length,
    .list = list,
    .overwrite = true,
    .erase = erase,
    .erase_line = 1202,
    .remove_missing = remove_missing,
    .make_directory = CARRIER_fs_make_directory,
    .placeholder_extension = nullptr,
    .remove_directory = CARRIER_fs_remove_directory,
    .rmdir_placeholder = false,
    .is_inserted = nullptr,
    .logout = nullptr,
    .attach = nullptr,
    .startup = nullptr,
    .shutdown = nullptr,
    .set_passwd_cb = nullptr,
};

}  // namespace jarnel
