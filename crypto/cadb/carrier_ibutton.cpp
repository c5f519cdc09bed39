// The iButton carrier: touch-memory keys through the "Touch Memory" driver (bss_ibutton.cpp).
// The driver has no stat or directory listing of its own; the layer derives them from its file
// test and its directory enumeration (TM_* in ibutton_direct.h).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crypto/bio/bio.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"
#include "crypto/cadb/ibutton_direct.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/str.h"

namespace jarnel {
namespace {

const char* const PREFIXES[] = {"iButton", nullptr};

// The entry's name as a string: four characters, cut at the first blank.
void entry_name(const TM_FIND& find, char (&name)[5]) {
  std::memcpy(name, find.entry.name, 4);
  name[4] = '\0';
  if (char* blank = std::strchr(name, ' ')) *blank = '\0';
}

// Stat bits of a path: a file the driver finds, a path ending in a separator, or a directory
// entry of that name in the parent directory.
unsigned stat_bits(const char* path) {
  char p[CADB_PATH_BUF + 1];
  std::size_t n = std::min(std::strlen(path), sizeof p - 1);
  for (std::size_t i = 0; i < n; ++i) p[i] = path[i] == '/' ? '\\' : path[i];
  p[n] = '\0';
  if (TM_file_exists(p)) return CADB_S_IFREG;
  const char* last = std::strrchr(p, '\\');
  if (!last) return 0;
  if (last[1] == '\0') return CADB_S_IFDIR;
  const char* component = last + 1;
  unsigned result = 0;
  TM_FIND find;
  if (TM_find_first(p, &find) >= 0) {
    do {
      char name[5];
      entry_name(find, name);
      if (find.entry.extension == TM_DIRECTORY_EXTENSION && std::strcmp(name, ".") != 0 &&
          std::strcmp(name, "..") != 0 && ascii_strcasecmp(name, component) == 0) {
        result = CADB_S_IFDIR;
        break;
      }
    } while (TM_find_next(&find));
  }
  TM_find_close(&find);
  return result;
}

int exists(const char* path) { return stat_bits(path) != 0; }
int is_file(const char* path) { return (stat_bits(path) & CADB_S_IFREG) != 0; }
int is_directory(const char* path) { return (stat_bits(path) & CADB_S_IFDIR) != 0; }

// A file is reported alone. A directory's entries are all collected first and reported after
// the device session has ended; a directory entry carries the suffix ".127". No recursion.
// The enumeration lists the directory a path's last component names: the driver's enumeration
// takes the directory part of a path, so the listing hands it the path with a separator added.
int list(const char* p, unsigned flags, CADB_list_callback cb, void* arg) {
  if (TM_file_exists(p)) return CARRIER_report(p, cb, arg);
  char inside[CADB_PATH_BUF + 2];
  const char* colon = std::strchr(p, ':');
  bool has_component = colon && colon[1] == '\\' && colon[2] != '\0';
  std::snprintf(inside, sizeof inside, "%s%s", p, has_component ? "\\" : "");
  struct Collected {
    char path[CADB_PATH_BUF];
  };
  Collected* paths = nullptr;
  int count = 0, capacity = 0;
  TM_FIND find;
  int result = 1;
  if (TM_find_first(inside, &find) < 0) {
    result = 0;
  } else {
    do {
      char name[5];
      entry_name(find, name);
      int ext = find.entry.extension;
      if (ext == TM_DIRECTORY_EXTENSION && !(flags & CADB_LIST_DIRECTORIES)) continue;
      if (count == capacity) {
        int cap = capacity ? capacity * 2 : 16;
        auto* grown = static_cast<Collected*>(
            mem_realloc(paths, sizeof(Collected) * static_cast<std::size_t>(cap)));
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
  for (int i = 0; result && i < count; ++i) result = CARRIER_report(paths[i].path, cb, arg);
  mem_free(paths);
  return result;
}

// The driver deletes by name, after the file holding the zeros has been closed.
int erase(BIO** b, const char* path) {
  BIO_free(*b);
  *b = nullptr;
  return TM_delete_file(path);
}

}  // namespace

const CARRIER CARRIER_ibutton = {
    .kind = Carrier::IButton,
    .name = "iButton",
    .prefixes = PREFIXES,
    .bio_method = BIO_s_touch_memory,
    .session = true,
    .exists = exists,
    .is_file = is_file,
    .is_directory = is_directory,
    .length = nullptr,
    .list = list,
    .overwrite = true,
    .erase = erase,
    .erase_line = 1125,
    .remove_missing = nullptr,
    .make_directory = nullptr,
    .placeholder_extension = "000",
    .remove_directory = TM_remove_directory,
    .rmdir_placeholder = false,
    // A touch-memory key is read when touched: always present, no session to end.
    .is_inserted = nullptr,
    .logout = nullptr,
    .attach = nullptr,
    .startup = TM_library_load,
    .shutdown = TM_library_unload,
    .set_passwd_cb = nullptr,
};

}  // namespace jarnel
