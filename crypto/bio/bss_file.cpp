// The "FILE pointer" driver: files on removable drives and in any directory of the file system,
// read and written through the C run-time library's buffered files. The BIO's pointer holds the
// file, shutdown its close-on-free bit, init is 1 while a file is attached, and `length` the
// file's size taken right after it was opened.
#include <climits>
#include <cstdio>
#include <cstring>

#include "crypto/bio/token.h"
#include "crypto/err/err.h"
#include "platform/fs.h"
#include "platform/syserr.h"

namespace jarnel {
namespace {

// Function of the system library that failed (its text is "fopen").
constexpr int SYS_F_FOPEN = 1;
// Reason of library 32 for a failure inside the system library ("system lib").
constexpr int BIO_R_SYS_LIB = LIB_SYS;

std::FILE* file_of(BIO* b) { return static_cast<std::FILE*>(b->ptr); }

void close_attached(BIO* b) {
  if (b->shutdown && b->init && b->ptr) std::fclose(file_of(b));
  b->ptr = nullptr;
  b->init = 0;
}

int file_write(BIO* b, const char* data, int n) {
  if (!b->init || !data || n < 0) return 0;
  if (n == 0) return 0;
  return std::fwrite(data, static_cast<std::size_t>(n), 1, file_of(b)) == 1 ? n : 0;
}

int file_read(BIO* b, char* out, int n) {
  if (!b->init || !out || n <= 0) return 0;
  return static_cast<int>(std::fread(out, 1, static_cast<std::size_t>(n), file_of(b)));
}

int file_gets(BIO* b, char* buf, int size) {
  if (!buf || size <= 0) return 0;
  buf[0] = '\0';
  if (!b->init) return 0;
  // One byte at a time straight into buf (a line-reading call would pass each byte through the
  // stream's own one-byte buffer, where the last one would stay).
  int n = 0;
  while (n < size - 1) {
    char c;
    if (std::fread(&c, 1, 1, file_of(b)) != 1) break;
    buf[n++] = c;
    if (c == '\n') break;
  }
  buf[n] = '\0';
  return n;
}

int file_puts(BIO* b, const char* str) {
  if (!str) return 0;
  return file_write(b, str, static_cast<int>(std::strlen(str)));
}

int file_destroy(BIO* b) {
  if (!b) return 0;
  if (!b->shutdown) return 1;
  close_attached(b);
  return 1;
}

long file_size_of(BIO* b) {
  std::FILE* fp = file_of(b);
  if (!b->init || !fp) return 1;
  std::int64_t size = 0;
  int r = platform::file_size(fp, &size);
  if (r < 0) {
    JARNEL_ERR(LIB_BIO, BIO_F_FILE_CTRL, BIO_R_SYS_LIB);
    return 1;
  }
  if (r == 0) return 1;
  return static_cast<long>(size);
}

long file_open_by_name(BIO* b, long num, const char* path) {
  close_attached(b);
  b->shutdown = static_cast<int>(num & BIO_CLOSE);

  char mode[4] = {0};
  if (num & BIO_FP_APPEND) {
    std::strcpy(mode, (num & BIO_FP_READ) ? "a+" : "a");
  } else if ((num & BIO_FP_READ) && (num & BIO_FP_WRITE)) {
    std::strcpy(mode, "r+");
  } else if (num & BIO_FP_WRITE) {
    std::strcpy(mode, "w");
  } else if (num & BIO_FP_READ) {
    std::strcpy(mode, "r");
  } else {
    JARNEL_ERR(LIB_BIO, BIO_F_FILE_CTRL, BIO_R_BAD_FOPEN_MODE);
    return 0;
  }
  std::strcat(mode, (num & BIO_FP_TEXT) ? "t" : "b");

  // A null or empty path fails like any other open that the system refuses. A private file is
  // kept from group and others.
  const TOKEN_OPEN_PARAMS* params = token_open_params(b);
  bool private_file = params && (params->flags & TOKEN_FLAG_PRIVATE);
  std::FILE* fp = (path && *path) ? platform::file_open(path, mode, private_file) : nullptr;
  if (!fp) {
    int code = (path && *path) ? platform::last_error() : 2 /* no such file */;
    ERR_put_error(LIB_SYS, SYS_F_FOPEN, code, __FILE__, __LINE__);
    ERR_add_error_data(5, "fopen('", path ? path : "", "','", mode, "')");
    JARNEL_ERR(LIB_BIO, BIO_F_FILE_CTRL, BIO_R_SYS_LIB);
    return 0;
  }
  // Token files hold keys: the bytes go straight between the caller's memory and the system,
  // so that no copy stays behind in a stream buffer that the C library frees without wiping.
  std::setvbuf(fp, nullptr, _IONBF, 0);
  b->ptr = fp;
  b->init = 1;
  std::int64_t size = 0;
  // A size the length field cannot carry is unknown to the callers.
  if (platform::file_size(fp, &size) == 1 && size <= INT32_MAX)
    b->length = static_cast<std::int32_t>(size);
  return 1;
}

long file_ctrl(BIO* b, int cmd, long num, void* ptr) {
  if (cmd < BIO_CTRL_RESET || cmd > BIO_C_FILE_TELL) return 0;
  std::FILE* fp = file_of(b);
  switch (cmd) {
    case BIO_CTRL_RESET:
    case BIO_C_FILE_SEEK:
      if (!b->init || !fp) return -1;
      return std::fseek(fp, num, SEEK_SET);
    case BIO_CTRL_EOF:
      if (!b->init || !fp) return 1;
      return std::feof(fp) ? 1 : 0;
    case BIO_CTRL_INFO:
    case BIO_C_FILE_TELL:
      if (!b->init || !fp) return -1;
      return std::ftell(fp);
    case BIO_CTRL_GET_CLOSE:
      return b->shutdown;
    case BIO_CTRL_SET_CLOSE:
      b->shutdown = static_cast<int>(num);
      return 1;
    case BIO_CTRL_PENDING:
    case BIO_CTRL_WPENDING:
      return file_size_of(b);
    case BIO_CTRL_FLUSH:
      // The written bytes go to the device. A failed flush (a full disk, say) means they did
      // not reach the file.
      if (b->init && fp && !platform::file_sync(fp)) return 0;
      return 1;
    case BIO_CTRL_DUP:
      return 1;
    case BIO_C_SET_FILE_PTR:
      file_destroy(b);
      b->ptr = nullptr;
      b->init = 0;
      b->shutdown = static_cast<int>(num & BIO_CLOSE);
      b->ptr = ptr;
      b->init = 1;
      if (ptr) platform::file_set_text_mode(static_cast<std::FILE*>(ptr), (num & BIO_FP_TEXT) != 0);
      return 1;
    case BIO_C_GET_FILE_PTR:
      if (ptr) *static_cast<std::FILE**>(ptr) = fp;
      return 1;
    case BIO_C_SET_FILENAME:
      return file_open_by_name(b, num, static_cast<const char*>(ptr));
    default:
      return 0;
  }
}

const BIO_METHOD method = {BIO_TYPE_FILE, "FILE pointer", file_write, file_read, file_puts,
                           file_gets, file_ctrl, token_file_create, file_destroy};

}  // namespace

const BIO_METHOD* BIO_s_token_file() { return &method; }

}  // namespace jarnel
