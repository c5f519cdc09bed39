// Whole-file operations on token paths: read, write, secure erase, length, existence and type
// tests, directory creation and removal, presence, logout and attach. Each takes the carrier
// record of the path (carrier.h) and either opens the file through the record's driver or
// calls the record's direct functions.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include "crypto/bio/bio.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/carrier.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "platform/fs.h"

namespace jarnel {
namespace {

constexpr int ERASE_PIECE = 4096;

std::atomic<CADB_bio_opener> g_opener{nullptr};

BIO* open_token_file(const char* path, const char* mode, std::uint32_t flags, void* arg) {
  CADB_bio_opener opener = g_opener.load();
  return opener ? opener(path, mode, flags, arg) : BIO_new_token_file(path, mode, flags, arg);
}

bool too_long(const char* path) { return std::strlen(path) >= static_cast<std::size_t>(CADB_PATH_MAX); }

// A normalised copy of a path that is known to be shorter than CADB_PATH_MAX.
void normalised_copy(const char* path, char* out) {
  std::strcpy(out, path);
  CADB_make_path(out, nullptr, nullptr, nullptr);
}

// Whole reads and whole writes of a file-system file are serialised within the process
// (lock 37): a write opens the file emptied and fills it, so a reader in another thread could
// otherwise see it empty or half written, and two writers could mix their bytes. The token
// drivers serialise their own files under their driver locks.
void lock_whole_file(std::optional<LockGuard>& guard, const char* normalised_path) {
  if (CARRIER_for_path(normalised_path) == &CARRIER_file_system) guard.emplace(locks::FILES);
}

void io_error(int func, int line) {
  ERR_put_error(LIB_CADB, func, R_INTERNAL_ERROR, CADB_SOURCE_IO, line);
}

void path_too_long(int func, const char* path) {
  ERR_put_error(LIB_CADB, func, R_INTERNAL_ERROR, __FILE__, __LINE__);
  ERR_add_error_data(2, "path of 260 characters or more: ", path);
}

}  // namespace

// Concurrent creation of the same directory by another thread counts as success. Directories
// made for a private file are kept from group and others (private_dirs).
int CADB_make_directories(const char* path, bool include_last, bool private_dirs) {
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
        platform::fs_mkdir(p, private_dirs) != 0 && !CARRIER_fs_is_directory(p)) {
      ERR_put_error(LIB_CADB, CADB_F_CADB_MKDIR, R_INTERNAL_ERROR, CADB_SOURCE_IO, 735);
      return 0;
    }
    p[i] = '\\';
  }
  return 1;
}

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
  std::optional<LockGuard> whole;
  lock_whole_file(whole, p);
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
  const CARRIER& carrier = *CARRIER_for_path(p);
  std::optional<LockGuard> whole;
  lock_whole_file(whole, p);

  int written = 0;
  bool failed = false;
  if (!CADB_make_directories(p, false, (flags & TOKEN_FLAG_PRIVATE) != 0)) {
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
    } else if (!carrier.session && BIO_ctrl(b, BIO_CTRL_FLUSH, 0, nullptr) <= 0) {
      // The bytes did not reach the file (a full disk): not a success.
      ERR_set_status(CADB_STATUS_CANNOT_WRITE);
      io_error(CADB_F_CADB_WRITE_FILE, 801);
      written = 0;
      failed = true;
    }
    // Token drivers commit the data when the BIO is closed; their close result counts.
    int closed = BIO_free(b);
    if (carrier.session && closed <= 0) {
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
  const CARRIER& carrier = *CARRIER_for_path(p);
  // Erasing through a symbolic link would make its target writable and overwrite it, wherever
  // it lies: such a name is refused and nothing is touched. (A dangling link is removed below
  // like any other dangling name.)
  if (carrier.kind == Carrier::FileSystem && platform::fs_is_link(p) && platform::fs_access(p) == 0) {
    ERR_set_status_once(CADB_STATUS_IO);
    ERR_put_error(LIB_CADB, CADB_F_CADB_ERASE_FILE, R_INTERNAL_ERROR, __FILE__, __LINE__);
    ERR_add_error_data(2, "symbolic link not erased: ", p);
    return 0;
  }
  if (carrier.delete_path) {
    if (!carrier.delete_path(p, (flags & TOKEN_FLAG_CALLBACK) ? arg : nullptr))
      return fail(carrier.erase_line);
    return 1;
  }
  // A read-only file must become writable before it can be overwritten.
  CADB_set_permissions(p, 0600);

  if (!CADB_file_exists(p)) {
    // Nothing to erase.
    if (carrier.remove_missing) carrier.remove_missing(p);
    return 1;
  }

  long length = 0;
  if (carrier.overwrite) {
    length = CADB_file_length(p, flags, arg);
    if (length < 0) return fail(1058);
    b = open_token_file(p, "r+b", flags, arg);
    if (!b) return fail(1065);
  }

  unsigned char piece[ERASE_PIECE];
  if (carrier.session) {
    // The driver holds the contents in memory: consume them so that the zeros replace them.
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
  // A write-through driver's zeros must reach the file before its name goes.
  if (b && !carrier.session && BIO_ctrl(b, BIO_CTRL_FLUSH, 0, nullptr) <= 0) return fail(1112);

  if (!carrier.erase(&b, p)) return fail(carrier.erase_line);
  if (b) BIO_free(b);
  return 1;
}

long CADB_file_length(const char* path, std::uint32_t flags, void* arg) {
  if (!path) return -1;
  const CARRIER& carrier = *CARRIER_for_path(path);
  if (carrier.length) return carrier.length(path);
  BIO* b = open_token_file(path, "rb", flags, arg);
  if (!b) return -1;
  long length = b->length;
  BIO_free(b);
  return length;
}

int CADB_file_exists(const char* path) {
  return path ? CARRIER_for_path(path)->exists(path) : 0;
}

int CADB_is_file(const char* path) { return path ? CARRIER_for_path(path)->is_file(path) : 0; }

int CADB_is_directory(const char* path) {
  return path ? CARRIER_for_path(path)->is_directory(path) : 0;
}

int CADB_mkdir(const char* path) { return CADB_make_directories(path, false); }

int CADB_token_mkdir(const char* path, std::uint32_t flags, void* arg) {
  if (!path) return 0;
  if (too_long(path)) {
    path_too_long(CADB_F_CADB_TOKEN_MKDIR, path);
    return 0;
  }
  char p[CADB_PATH_BUF];
  normalised_copy(path, p);
  if (CADB_file_exists(p)) return CADB_is_directory(p);

  const CARRIER& carrier = *CARRIER_for_path(p);
  if (carrier.make_directory) return carrier.make_directory(p);
  // The directory comes into being by writing a file inside it (the driver creates missing
  // directories) and erasing that file again.
  char placeholder[CADB_PATH_BUF];
  CADB_make_path(placeholder, p, "0001", carrier.placeholder_extension);
  static const char zero = 0;
  if (CADB_write_file(placeholder, &zero, 1, flags, arg) != 1) return 0;
  return CADB_erase_file(placeholder, flags, arg);
}

int CADB_token_rmdir(const char* path, std::uint32_t flags, void* arg) {
  if (!path || !CADB_is_directory(path)) return 0;
  const CARRIER& carrier = *CARRIER_for_path(path);
  if (carrier.rmdir_placeholder) {
    if (too_long(path)) {
      path_too_long(CADB_F_CADB_TOKEN_RMDIR, path);
      return 0;
    }
    char placeholder[CADB_PATH_BUF];
    CADB_make_path(placeholder, path, "0001", nullptr);
    CADB_write_file(placeholder, "0", 1, flags, arg);
    CADB_erase_file(placeholder, flags, arg);
    ERR_clear_error();
  }
  return carrier.remove_directory(path);
}

int CADB_is_inserted(const char* path) {
  const CARRIER& carrier = *CARRIER_for_path(path);
  return carrier.is_inserted ? carrier.is_inserted(path) : 1;
}

int CADB_logout(const char* path) {
  const CARRIER& carrier = *CARRIER_for_path(path);
  return carrier.logout ? carrier.logout(path) : 1;
}

int CADB_attach_token(const char* path) {
  const CARRIER& carrier = *CARRIER_for_path(path);
  return carrier.attach ? carrier.attach(path) : 1;
}

int CADB_set_permissions(const char* path, int mode) {
  if (!path) return 0;
  if (CADB_is_token_path(path)) return 1;
  return platform::fs_chmod(path, mode) == 0 ? 1 : 0;
}

}  // namespace jarnel
