// Whole-file operations on token paths: read, write, secure erase, length, existence and type
// tests, directory creation and removal, presence, logout and attach. Each chooses the
// carrier by the path's prefix and either opens the file through the carrier's driver, calls
// the driver's direct functions, or uses the file system directly.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "crypto/bio/bio.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/etoken_direct.h"
#include "crypto/cadb/etr2_direct.h"
#include "crypto/cadb/ibutton_direct.h"
#include "crypto/cadb/pkcs11_store.h"
#include "crypto/cadb/rutoken_direct.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/str.h"
#include "platform/fs.h"

namespace jarnel {
namespace {

constexpr int ERASE_PIECE = 4096;

std::atomic<CADB_bio_opener> g_opener{nullptr};

BIO* open_token_file(const char* path, const char* mode, std::uint32_t flags, void* arg) {
  CADB_bio_opener opener = g_opener.load();
  return opener ? opener(path, mode, flags, arg) : BIO_new_token_file(path, mode, flags, arg);
}

// Carriers whose driver keeps the file in memory and commits it when the BIO is closed.
bool is_session_carrier(Carrier c) {
  return c == Carrier::IButton || c == Carrier::EtokenR2 || c == Carrier::Etoken ||
         c == Carrier::Rutoken;
}

bool too_long(const char* path) { return std::strlen(path) >= static_cast<std::size_t>(CADB_PATH_MAX); }

// A normalised copy of a path that is known to be shorter than CADB_PATH_MAX.
void normalised_copy(const char* path, char* out) {
  std::strcpy(out, path);
  CADB_make_path(out, nullptr, nullptr, nullptr);
}

void io_error(int func, int line) {
  ERR_put_error(LIB_CADB, func, R_INTERNAL_ERROR, CADB_SOURCE_IO, line);
}

void path_too_long(int func, const char* path) {
  ERR_put_error(LIB_CADB, func, R_INTERNAL_ERROR, __FILE__, __LINE__);
  ERR_add_error_data(2, "path of 260 characters or more: ", path);
}

// Stat bits of an iButton path: a file the driver finds, a path ending in a separator, or a
// directory entry of that name in the parent directory.
unsigned ibutton_stat(const char* path) {
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
      std::memcpy(name, find.entry.name, 4);
      name[4] = '\0';
      if (char* blank = std::strchr(name, ' ')) *blank = '\0';
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

unsigned fs_mode(const char* path) {
  platform::FileStatus st{};
  return platform::fs_stat(path, &st) ? st.mode : 0;
}

// Creates the missing directories of a file-system path: those above its last component, and
// with include_last the last component as well. Concurrent creation of the same directory by
// another thread counts as success.
// Directories made for a private file are kept from group and others (private_dirs).
int make_directories(const char* path, bool include_last, bool private_dirs = false) {
  if (!path) return 0;
  if (CADB_is_token_path(path)) return 1;
  if (too_long(path)) {
    path_too_long(CADB_F_CADB_MKDIR, path);
    return 0;
  }
  char p[CADB_PATH_BUF + 2];
  std::size_t n = std::strlen(path);
  for (std::size_t i = 0; i < n; ++i) p[i] = path[i] == '/' ? '\\' : path[i];
  p[n] = '\0';
  if (include_last && n > 0 && p[n - 1] != '\\') {
    p[n++] = '\\';
    p[n] = '\0';
  }
  // The file name goes; what remains ends in a separator so that every directory is followed
  // by one.
  char* last = std::strrchr(p, '\\');
  if (!last) return 1;
  last[1] = '\0';
  std::size_t start = 0;
  if (p[0] == '\\' && p[1] == '\\') {
    const char* server_end = std::strchr(p + 2, '\\');
    if (!server_end) return 1;
    start = static_cast<std::size_t>(server_end - p) + 1;
  }
  for (std::size_t i = start; p[i]; ++i) {
    if (p[i] != '\\') continue;
    p[i] = '\0';
    if (p[0] && platform::fs_access(p) != 0 && !platform::last_error_is_invalid_name() &&
        platform::fs_mkdir(p, private_dirs) != 0 && fs_mode(p) != CADB_S_IFDIR) {
      ERR_put_error(LIB_CADB, CADB_F_CADB_MKDIR, R_INTERNAL_ERROR, CADB_SOURCE_IO, 735);
      ERR_add_error_data(1, p);
      return 0;
    }
    p[i] = '\\';
  }
  return 1;
}

}  // namespace

CADB_bio_opener CADB_set_bio_opener(CADB_bio_opener opener) { return g_opener.exchange(opener); }

BUFFER* BUFFER_read_file(const char* path, std::uint32_t flags, void* arg) {
  BIO* b = nullptr;
  BUFFER* buf = nullptr;
  auto fail = [&](int line) -> BUFFER* {
    ERR_set_status_once(CADB_STATUS_IO);
    ERR_put_error(LIB_BUF, BUF_F_BUFFER_READ_FILE, R_INTERNAL_ERROR, CADB_SOURCE_BUFFER, line);
    BUFFER_free(buf);
    if (b) BIO_free(b);
    return nullptr;
  };
  if (!path) return fail(165);
  if (too_long(path)) return fail(170);
  char p[CADB_PATH_BUF];
  normalised_copy(path, p);
  b = open_token_file(p, "rb", flags, arg);
  if (!b) return fail(179);
  int length = b->length;
  if (length < 0) return fail(185);
  buf = BUFFER_fill(nullptr, length);
  if (!buf) return fail(192);
  if (BIO_read(b, buf->data, length) != length) return fail(198);
  BIO_free(b);
  return buf;
}

BUFFER* BUFFER_read(const char* path) { return BUFFER_read_file(path, 0, nullptr); }

int CADB_write_file(const char* path, const void* data, int length, std::uint32_t flags, void* arg) {
  // A negative length is refused before anything is opened: opening for writing empties the
  // file.
  if (!path || !data || length < 0) {
    io_error(CADB_F_CADB_WRITE_FILE, 869);
    return 0;
  }
  if (too_long(path)) {
    io_error(CADB_F_CADB_WRITE_FILE, 874);
    return 0;
  }
  char p[CADB_PATH_BUF];
  normalised_copy(path, p);
  Carrier carrier = CADB_carrier_of(p);

  int written = 0;
  bool failed = false;
  if (!make_directories(p, false, (flags & TOKEN_FLAG_PRIVATE) != 0)) {
    io_error(CADB_F_CADB_WRITE_FILE, 787);
    failed = true;
  } else if (BIO* b = open_token_file(p, "wb", flags, arg); !b) {
    ERR_set_status(CADB_STATUS_CANNOT_WRITE);
    io_error(CADB_F_CADB_WRITE_FILE, 794);
    failed = true;
  } else {
    written = length ? BIO_write(b, data, length) : 0;
    if (written != length) {
      ERR_set_status(CADB_STATUS_CANNOT_WRITE);
      io_error(CADB_F_CADB_WRITE_FILE, 801);
      failed = true;
    } else if (!is_session_carrier(carrier) && BIO_ctrl(b, BIO_CTRL_FLUSH, 0, nullptr) <= 0) {
      // The bytes did not reach the file (a full disk): not a success.
      ERR_set_status(CADB_STATUS_CANNOT_WRITE);
      io_error(CADB_F_CADB_WRITE_FILE, 801);
      written = 0;
      failed = true;
    }
    // Token drivers commit the data when the BIO is closed; their close result counts.
    int closed = BIO_free(b);
    if (is_session_carrier(carrier) && closed <= 0) {
      written = 0;
      failed = true;
    }
  }
  if (written != length || failed) {
    io_error(CADB_F_CADB_WRITE_FILE, 911);
    if (length) {
      ERR_set_status_once(CADB_STATUS_IO);
      io_error(CADB_F_CADB_WRITE_FILE, 920);
    }
    return 0;
  }
  return length;
}

int CADB_write_buffer(const char* path, const BUFFER* buffer, std::uint32_t flags, void* arg) {
  if (!path || !buffer) return -1;
  static const unsigned char empty = 0;
  return CADB_write_file(path, buffer->data ? buffer->data : &empty, buffer->length, flags, arg);
}

int CADB_write(const char* path, const BUFFER* buffer) {
  return CADB_write_buffer(path, buffer, 0, nullptr);
}

int CADB_erase_file(const char* path, std::uint32_t flags, void* arg) {
  BIO* b = nullptr;
  auto fail = [&](int line) {
    ERR_set_status_once(CADB_STATUS_IO);
    io_error(CADB_F_CADB_ERASE_FILE, line);
    if (b) BIO_free(b);
    return 0;
  };
  if (!path) return fail(1009);
  if (too_long(path)) return fail(1014);
  char p[CADB_PATH_BUF];
  normalised_copy(path, p);
  Carrier carrier = CADB_carrier_of(p);
  // Erasing through a symbolic link would make its target writable and overwrite it, wherever
  // it lies: such a name is refused and nothing is touched. (A dangling link is removed below
  // like any other dangling name.)
  if (carrier == Carrier::FileSystem && platform::fs_is_link(p) && platform::fs_access(p) == 0) {
    ERR_set_status_once(CADB_STATUS_IO);
    ERR_put_error(LIB_CADB, CADB_F_CADB_ERASE_FILE, R_INTERNAL_ERROR, __FILE__, __LINE__);
    ERR_add_error_data(2, "symbolic link not erased: ", p);
    return 0;
  }
  // A read-only file must become writable before it can be overwritten.
  CADB_set_permissions(p, 0600);

  if (!CADB_file_exists(p)) {
    // Nothing to erase; a dangling name on a file system goes all the same.
    if (carrier == Carrier::FileSystem) platform::fs_remove(p);
    return 1;
  }

  long length = 0;
  if (carrier != Carrier::Pkcs11) {
    length = CADB_file_length(p, flags, arg);
    if (length < 0) return fail(1058);
    b = open_token_file(p, "r+b", flags, arg);
    if (!b) return fail(1065);
  }

  unsigned char piece[ERASE_PIECE];
  if (is_session_carrier(carrier)) {
    // Token drivers hold the contents in memory: consume them so that the zeros replace them.
    for (long left = length; left > 0;) {
      int n = static_cast<int>(std::min<long>(left, ERASE_PIECE));
      int got = BIO_read(b, piece, n);
      mem_cleanse(piece, sizeof piece);
      if (got != n) return fail(1097);
      left -= n;
    }
  }
  std::memset(piece, 0, sizeof piece);
  for (long left = length; left > 0;) {
    int n = static_cast<int>(std::min<long>(left, ERASE_PIECE));
    if (BIO_write(b, piece, n) != n) return fail(1112);
    left -= n;
  }

  switch (carrier) {
    case Carrier::IButton:
      BIO_free(b);
      b = nullptr;
      if (!TM_delete_file(p)) return fail(1125);
      break;
    case Carrier::EtokenR2:
      if (!ETR2_delete(b)) return fail(1136);
      BIO_free(b);
      break;
    case Carrier::Etoken:
      if (!ET_delete(b)) return fail(1147);
      BIO_free(b);
      break;
    case Carrier::Rutoken:
      if (!RT_delete(b)) return fail(1158);
      BIO_free(b);
      break;
    case Carrier::Pkcs11:
      if (!PKCS11_delete_file(p)) return fail(1169);
      break;
    case Carrier::FileSystem:
      // The zeros must reach the file before its name goes.
      if (BIO_ctrl(b, BIO_CTRL_FLUSH, 0, nullptr) <= 0) return fail(1112);
      BIO_free(b);
      b = nullptr;
      if (platform::fs_remove(p) != 0) return fail(1202);
      break;
  }
  return 1;
}

long CADB_file_length(const char* path, std::uint32_t flags, void* arg) {
  if (!path) return -1;
  Carrier carrier = CADB_carrier_of(path);
  if (!is_session_carrier(carrier)) {
    platform::FileStatus st{};
    return platform::fs_stat(path, &st) ? static_cast<long>(st.size) : -1;
  }
  BIO* b = open_token_file(path, "rb", flags, arg);
  if (!b) return -1;
  long length = b->length;
  BIO_free(b);
  return length;
}

int CADB_file_exists(const char* path) {
  if (!path) return 0;
  switch (CADB_carrier_of(path)) {
    case Carrier::IButton: return ibutton_stat(path) != 0;
    case Carrier::EtokenR2: return ETR2_stat(path) > 0;
    case Carrier::Etoken: return ET_exists(path) > 0;
    case Carrier::Rutoken: return RT_exists(path) > 0;
    case Carrier::Pkcs11: return PKCS11_file_exists(path);
    case Carrier::FileSystem: return platform::fs_access(path) == 0;
  }
  return 0;
}

int CADB_is_file(const char* path) {
  if (!path) return 0;
  switch (CADB_carrier_of(path)) {
    case Carrier::IButton: return (ibutton_stat(path) & CADB_S_IFREG) != 0;
    case Carrier::EtokenR2: return (ETR2_stat(path) & CADB_S_IFREG) != 0;
    case Carrier::Etoken: return ET_is_file(path);
    case Carrier::Rutoken: return RT_is_file(path);
    case Carrier::Pkcs11:
    case Carrier::FileSystem: return (fs_mode(path) & CADB_S_IFREG) != 0;
  }
  return 0;
}

int CADB_is_directory(const char* path) {
  if (!path) return 0;
  switch (CADB_carrier_of(path)) {
    case Carrier::IButton: return (ibutton_stat(path) & CADB_S_IFDIR) != 0;
    case Carrier::EtokenR2: return (ETR2_stat(path) & CADB_S_IFDIR) != 0;
    case Carrier::Etoken: return ET_is_directory(path);
    case Carrier::Rutoken: return RT_is_directory(path);
    case Carrier::Pkcs11:
    case Carrier::FileSystem: return (fs_mode(path) & CADB_S_IFDIR) != 0;
  }
  return 0;
}

int CADB_mkdir(const char* path) { return make_directories(path, false); }

int CADB_token_mkdir(const char* path, std::uint32_t flags, void* arg) {
  if (!path) return 0;
  if (too_long(path)) {
    path_too_long(CADB_F_CADB_TOKEN_MKDIR, path);
    return 0;
  }
  char p[CADB_PATH_BUF];
  normalised_copy(path, p);
  if (CADB_file_exists(p)) return CADB_is_directory(p);

  char placeholder[CADB_PATH_BUF];
  switch (CADB_carrier_of(p)) {
    case Carrier::IButton:
      CADB_make_path(placeholder, p, "0001", "000");
      break;
    case Carrier::EtokenR2:
    case Carrier::Etoken:
    case Carrier::Rutoken:
      CADB_make_path(placeholder, p, "0001", nullptr);
      break;
    case Carrier::Pkcs11:
    case Carrier::FileSystem:
      // The directory itself is made, not only those above it.
      if (!make_directories(p, true)) return 0;
      return CADB_is_directory(p);
  }
  // A token directory comes into being by writing a file inside it (the drivers create
  // missing directories) and erasing that file again.
  static const char zero = 0;
  if (CADB_write_file(placeholder, &zero, 1, flags, arg) != 1) return 0;
  return CADB_erase_file(placeholder, flags, arg);
}

int CADB_token_rmdir(const char* path, std::uint32_t flags, void* arg) {
  if (!path || !CADB_is_directory(path)) return 0;
  Carrier carrier = CADB_carrier_of(path);
  switch (carrier) {
    case Carrier::IButton:
      return TM_remove_directory(path);
    case Carrier::EtokenR2:
    case Carrier::Etoken:
    case Carrier::Rutoken: {
      if (too_long(path)) {
        path_too_long(CADB_F_CADB_TOKEN_RMDIR, path);
        return 0;
      }
      char placeholder[CADB_PATH_BUF];
      CADB_make_path(placeholder, path, "0001", nullptr);
      CADB_write_file(placeholder, "0", 1, flags, arg);
      CADB_erase_file(placeholder, flags, arg);
      ERR_clear_error();
      if (carrier == Carrier::EtokenR2) return ETR2_remove_directory(path);
      if (carrier == Carrier::Etoken) return ET_remove_directory(path);
      return RT_remove_directory(path);
    }
    case Carrier::Pkcs11:
    case Carrier::FileSystem:
      CADB_set_permissions(path, 0600);
      return platform::fs_rmdir(path) == 0 ? 1 : 0;
  }
  return 0;
}

int CADB_is_inserted(const char* path) {
  switch (CADB_carrier_of(path)) {
    case Carrier::EtokenR2: return ETR2_is_inserted(path);
    case Carrier::Etoken: return ET_is_inserted(path);
    case Carrier::Rutoken: return RT_is_inserted(path);
    case Carrier::Pkcs11: return PKCS11_is_inserted(path);
    case Carrier::IButton:
    case Carrier::FileSystem: return 1;
  }
  return 0;
}

int CADB_logout(const char* path) {
  switch (CADB_carrier_of(path)) {
    case Carrier::EtokenR2: return ETR2_logout(path);
    case Carrier::Etoken: return ET_logout(path);
    case Carrier::Rutoken: return RT_logout(path);
    case Carrier::Pkcs11: return PKCS11_logout(path) > 0;
    case Carrier::IButton:
    case Carrier::FileSystem: return 1;
  }
  return 0;
}

int CADB_attach_token(const char* path) {
  switch (CADB_carrier_of(path)) {
    case Carrier::EtokenR2: return ETR2_available();
    case Carrier::Etoken: return ET_available();
    case Carrier::Rutoken: return RT_available();
    case Carrier::Pkcs11: return PKCS11_attach(path);
    case Carrier::IButton:
    case Carrier::FileSystem: return 1;
  }
  return 0;
}

int CADB_set_permissions(const char* path, int mode) {
  if (!path) return 0;
  if (CADB_is_token_path(path)) return 1;
  return platform::fs_chmod(path, mode) == 0 ? 1 : 0;
}

}  // namespace jarnel
