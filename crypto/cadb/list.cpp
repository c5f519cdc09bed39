// Listing a token directory: every entry's full path goes to a call-back, which returns 0 to
// stop the listing.
#include <cstdio>
#include <cstring>

#include "crypto/cadb/cadb.h"
#include "crypto/cadb/etoken_direct.h"
#include "crypto/cadb/etr2_direct.h"
#include "crypto/cadb/ibutton_direct.h"
#include "crypto/cadb/pkcs11_store.h"
#include "crypto/cadb/rutoken_direct.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "platform/dir.h"
#include "platform/fs.h"

namespace jarnel {
namespace {

// One call-back call with the path; no call-back counts as going on.
int report(const char* path, CADB_list_callback cb, void* arg) {
  return cb ? (cb(path, arg) ? 1 : 0) : 1;
}

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
int list_fs_in(const char* dir, const char* pattern, unsigned flags, CADB_list_callback cb,
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
      if (!join(full, dir, entry.name) || !list_fs_in(full, pattern, flags, cb, arg)) {
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
    if (!join(full, dir, entry.name) || !report(full, cb, arg)) {
      result = 0;
      break;
    }
  }
  platform::dir_find_close(find);
  return result;
}

int list_fs(const char* p, unsigned flags, CADB_list_callback cb, void* arg) {
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
  if (!(st.mode & CADB_S_IFDIR)) return report(dir, cb, arg);
  return list_fs_in(dir, pattern, flags, cb, arg);
}

int list_ibutton(const char* p, unsigned flags, CADB_list_callback cb, void* arg) {
  if (TM_file_exists(p)) return report(p, cb, arg);
  // All paths are collected first and reported after the device session has ended.
  struct Collected {
    char path[CADB_PATH_BUF];
  };
  Collected* paths = nullptr;
  int count = 0, capacity = 0;
  TM_FIND find;
  int result = 1;
  if (TM_find_first(p, &find) < 0) {
    result = 0;
  } else {
    do {
      char name[5];
      std::memcpy(name, find.entry.name, 4);
      name[4] = '\0';
      if (char* blank = std::strchr(name, ' ')) *blank = '\0';
      int ext = find.entry.extension;
      if (ext == TM_DIRECTORY_EXTENSION && !(flags & CADB_LIST_DIRECTORIES)) continue;
      if (count == capacity) {
        int cap = capacity ? capacity * 2 : 16;
        auto* grown = static_cast<Collected*>(mem_realloc(paths, sizeof(Collected) * static_cast<std::size_t>(cap)));
        if (!grown) {
          JARNEL_ERR(LIB_CADB, CADB_F_CADB_LIST_DIRECTORY, R_MALLOC_FAILURE);
          result = 0;
          break;
        }
        paths = grown;
        capacity = cap;
      }
      char extension[8];
      std::snprintf(extension, sizeof extension, ".%03i", ext);
      CADB_make_path(paths[count].path, p, name, ext ? extension : nullptr);
      ++count;
    } while (TM_find_next(&find));
  }
  TM_find_close(&find);
  for (int i = 0; result && i < count; ++i) result = report(paths[i].path, cb, arg);
  mem_free(paths);
  return result;
}

// eToken and ruToken: the driver's entry list, subdirectories first when recursing.
int list_identifier_token(const char* p, unsigned flags, CADB_list_callback cb, void* arg,
                          int (*exists)(const char*), int (*is_directory)(const char*),
                          int (*list_fn)(const char*, TOKEN_DIR_LIST*)) {
  if (!exists(p)) return 0;
  if (!is_directory(p)) return report(p, cb, arg);
  TOKEN_DIR_LIST* list = TOKEN_DIR_LIST_new();
  if (!list) return 0;
  if (!list_fn(p, list)) {
    TOKEN_DIR_LIST_free(list);
    return 0;
  }
  char full[CADB_PATH_BUF];
  if (flags & CADB_LIST_RECURSE) {
    for (int i = 0; i < list->count; ++i) {
      if (!list->items[i].is_directory) continue;
      CADB_make_path(full, p, list->items[i].name, nullptr);
      CADB_list_directory(full, flags, cb, arg);
    }
  }
  int result = 1;
  for (int i = 0; result && i < list->count; ++i) {
    if (list->items[i].is_directory && !(flags & CADB_LIST_DIRECTORIES)) continue;
    CADB_make_path(full, p, list->items[i].name, nullptr);
    result = report(full, cb, arg);
  }
  TOKEN_DIR_LIST_free(list);
  return result;
}

int list_etr2(const char* p, CADB_list_callback cb, void* arg) {
  int st = ETR2_stat(p);
  if (st <= 0) return 0;
  if (!(st & CADB_S_IFDIR)) return report(p, cb, arg);
  TOKEN_DIR_LIST* list = TOKEN_DIR_LIST_new();
  if (!list) return 0;
  int result = ETR2_list(p, list) ? 1 : 0;
  char full[CADB_PATH_BUF];
  for (int i = 0; result && i < list->count; ++i) {
    CADB_make_path(full, p, list->items[i].name, nullptr);
    result = report(full, cb, arg);
  }
  TOKEN_DIR_LIST_free(list);
  return result;
}

}  // namespace

int CADB_list_directory(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg) {
  if (!path) return 0;
  std::size_t n = std::strlen(path);
  if (n >= static_cast<std::size_t>(CADB_PATH_MAX)) {
    ERR_put_error(LIB_CADB, CADB_F_CADB_LIST_DIRECTORY, R_INTERNAL_ERROR, __FILE__, __LINE__);
    ERR_add_error_data(2, "path of 260 characters or more: ", path);
    return 0;
  }
  char p[CADB_PATH_BUF];
  for (std::size_t i = 0; i <= n; ++i) p[i] = path[i] == '/' ? '\\' : path[i];
  switch (CADB_carrier_of(p)) {
    case Carrier::IButton: return list_ibutton(p, list_flags, cb, arg);
    case Carrier::Etoken:
      return list_identifier_token(p, list_flags, cb, arg, ET_exists, ET_is_directory, ET_list);
    case Carrier::Rutoken:
      return list_identifier_token(p, list_flags, cb, arg, RT_exists, RT_is_directory, RT_list);
    case Carrier::EtokenR2: return list_etr2(p, cb, arg);
    case Carrier::Pkcs11: return PKCS11_list_files(p, list_flags, cb, arg);
    case Carrier::FileSystem: return list_fs(p, list_flags, cb, arg);
  }
  return 0;
}

}  // namespace jarnel
