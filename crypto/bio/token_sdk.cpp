#include "crypto/bio/token_sdk.h"

#include <cstdio>
#include <cstring>

#include "crypto/bio/buf_mem.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/token_dir.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "platform/dl.h"
#include "platform/text.h"

namespace jarnel {

static_assert(sizeof(TOKEN_SDK_API) == TOKEN_SDK_CALLS * sizeof(void*));

namespace {

constexpr int PASSWORD_SIZE = 256;

// One per open object or direct call; zeroed when made, wiped when released.
struct TSDK_SESSION {
  tsdk_handle token;
  tsdk_handle dir;   // the directory holding the target, or the target directory
  tsdk_handle file;  // the open file
  TOKEN_SDK_INFO info;
  int mode;          // BIO_FP_READ | BIO_FP_WRITE
  int is_private;    // create the file in the PIN-protected area
  int logged_in;
  std::uint16_t target;
  int is_directory;
  BIO* contents;
  char password[PASSWORD_SIZE + 1];
  password_cb cb;
  char* ids;
  char* full_path;
  void* cb_arg;
  std::uint32_t flags;
  bool too_long;     // more was written than a 16-bit size carries
};

void err(const TOKEN_SDK_DRIVER& d, int func, int reason, const char* file = __builtin_FILE(),
         int line = __builtin_LINE()) {
  ERR_put_error(d.err_lib, func, reason, file, line);
}

void record(const TOKEN_SDK_DRIVER& d, int result) {
  if (result < 0) ERR_set_token_error_once(static_cast<std::uint32_t>(result), d.token_source);
}

void logout_if_marked(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s) {
  if (s->logged_in && (s->flags & TSDK_LOGOUT_EACH) && d.api.logout(s->token) >= 0)
    s->logged_in = 0;
}

void wipe_password(TSDK_SESSION* s) { mem_cleanse(s->password, sizeof s->password); }

// Logs the session in with its password, asking the call-back for one when it has none.
int login(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s) {
  // The call-back reads its argument as the caller's context (a Java frame or the command
  // line's PIN source); without one there is nobody to ask.
  if (!s->password[0] && s->cb && s->cb_arg) {
    int n = s->cb(s->password, PASSWORD_SIZE, 0, s->cb_arg);
    if (n < 0 || n > PASSWORD_SIZE) {
      wipe_password(s);
      err(d, TSDK_F_LOGIN, TSDK_R_PHRASE_FAILED);
      return 0;
    }
    s->password[n] = '\0';
  }
  if (!s->password[0]) {
    err(d, TSDK_F_LOGIN, TSDK_R_LOGIN_FAILED);
    return 0;
  }
  std::size_t len = std::strlen(s->password);
  char pin[PASSWORD_SIZE + 1];
  if (d.ansi_password) {
    long n = platform::utf8_to_ansi(s->password, len, pin, PASSWORD_SIZE);
    if (n < 0) {
      mem_cleanse(pin, sizeof pin);
      err(d, TSDK_F_LOGIN, TSDK_R_INTERNAL_ERROR);
      return 0;
    }
    pin[n] = '\0';
  } else {
    std::memcpy(pin, s->password, len + 1);
  }
  int r = d.api.login(s->token, pin);
  mem_cleanse(pin, sizeof pin);
  if (r >= 0) {
    s->logged_in = 1;
    ERR_set_token_error(0, d.token_source);
    return 1;
  }
  // A refused PIN is not offered again by later calls of this session: each attempt costs
  // one of the token's tries. The call-back is asked afresh instead.
  wipe_password(s);
  ERR_set_status(28);
  record(d, r);
  err(d, TSDK_F_LOGIN, TSDK_R_LOGIN_FAILED);
  return 0;
}

// One vendor call of a file or directory operation: on "authentication required" the session
// logs in and the call is made once more.
template <class F>
bool call(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s, int func, F&& f,
          const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  int r = f();
  bool ok = r >= 0;
  if (!ok && d.auth_required(r)) {
    if (!login(d, s)) {
      record(d, r);
      ERR_put_error(d.err_lib, func, TSDK_R_LOGIN_FAILED, file, line);
      logout_if_marked(d, s);
      return false;
    }
    r = f();
    ok = r >= 0;
  }
  if (ok) {
    ERR_set_token_error(0, d.token_source);
  } else {
    record(d, r);
    ERR_put_error(d.err_lib, func, TSDK_R_INTERNAL_ERROR, file, line);
  }
  logout_if_marked(d, s);
  return ok;
}

void close_file(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s) {
  if (s->file) d.api.file_close(s->file);
  s->file = nullptr;
}
void close_dir(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s) {
  if (s->dir) d.api.dir_close(s->dir);
  s->dir = nullptr;
}

bool open_file(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s) {
  close_file(d, s);
  return call(d, s, TSDK_F_FILE_OPEN, [&] { return d.api.file_open(s->dir, s->target, &s->file); });
}
bool file_info(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s) {
  return call(d, s, TSDK_F_FILE_GET_INFO, [&] { return d.api.file_info(s->file, &s->info); });
}
bool write_file(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s, const void* data, std::uint16_t len) {
  return call(d, s, TSDK_F_FILE_WRITE, [&] {
    LockGuard g(d.lock);
    return d.api.file_write(s->file, 0, data, len);
  });
}

// Releases a session: 1 when it was not logged in, the logout's result when it logs out after
// every call, 0 when a login is dropped with the binding.
int release(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s) {
  if (!s) return 1;
  close_dir(d, s);
  close_file(d, s);
  int result = 1;
  if (s->logged_in) {
    if (s->flags & TSDK_LOGOUT_EACH)
      result = d.api.logout(s->token) >= 0 ? 1 : 0;
    else
      result = 0;
  }
  if (s->token) d.api.unbind(s->token);
  if (s->contents) BIO_free(s->contents);
  if (s->ids) mem_clear_free(s->ids, std::strlen(s->ids));
  if (s->full_path) mem_free(s->full_path);
  mem_clear_free(s, sizeof *s);
  return result;
}

TSDK_SESSION* session_new(TOKEN_SDK_DRIVER& d, const char* reader) {
  auto* s = static_cast<TSDK_SESSION*>(mem_alloc(sizeof(TSDK_SESSION)));
  if (!s) {
    ERR_put_error(d.new_lib, TSDK_F_NEW, TSDK_R_MALLOC_FAILURE, __FILE__, __LINE__);
    return nullptr;
  }
  std::memset(s, 0, sizeof *s);
  int r = d.api.bind(reader, &s->token);
  if (r != 0) {
    ERR_put_error(d.new_lib, TSDK_F_NEW, TSDK_R_BIO_LIB, __FILE__, __LINE__);
    ERR_set_token_error_once(static_cast<std::uint32_t>(r), d.token_source);
    s->token = nullptr;
    mem_clear_free(s, sizeof *s);
    return nullptr;
  }
  s->cb = d.passwd_cb;
  return s;
}

int hex_group(const char* p, std::uint16_t* out) {
  unsigned v = 0;
  for (int i = 0; i < 4; ++i) {
    char c = p[i];
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return 0;
    v = v << 4 | static_cast<unsigned>(digit);
  }
  *out = static_cast<std::uint16_t>(v);
  return 1;
}

// Walks the identifier path from the root. With create (write-only opens) missing directories
// are made and the last group is taken as the file to create.
bool walk(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s, bool create) {
  std::size_t n = std::strlen(s->ids);
  if (n % 4 != 0) return false;
  for (std::size_t i = 0; i < n; i += 4) {
    std::uint16_t id;
    if (!hex_group(s->ids + i, &id)) return false;
  }
  if (!call(d, s, TSDK_F_ROOT_DIR_OPEN,
            [&] { return d.api.root_open(s->token, &s->dir, d.root_id, d.root_flags); }))
    return false;
  std::size_t groups = n / 4;
  for (std::size_t g = 0; g + 1 < groups; ++g) {
    std::uint16_t id = 0;  // set: every group was checked above
    hex_group(s->ids + 4 * g, &id);
    tsdk_handle next = nullptr;
    bool ok;
    if (create) {
      // Probed directly: a missing directory is not an error when it is to be made.
      ok = d.api.dir_open(s->dir, id, &next) >= 0;
      if (!ok)
        ok = call(d, s, TSDK_F_DIR_CREATE, [&] { return d.api.dir_create(s->dir, id, 0, &next); });
    } else {
      ok = call(d, s, TSDK_F_DIR_OPEN, [&] { return d.api.dir_open(s->dir, id, &next); });
    }
    if (!ok) return false;
    close_dir(d, s);
    s->dir = next;
  }
  if (groups == 0) {
    s->target = d.root_id;
    s->is_directory = 1;
    return call(d, s, TSDK_F_DIR_GET_INFO, [&] { return d.api.dir_info(s->dir, &s->info); });
  }
  hex_group(s->ids + 4 * (groups - 1), &s->target);
  if (create) {
    s->is_directory = 0;
    return true;
  }
  tsdk_handle sub = nullptr;
  if (d.api.dir_open(s->dir, s->target, &sub) >= 0) {
    close_dir(d, s);
    s->dir = sub;
    s->is_directory = 1;
    return call(d, s, TSDK_F_DIR_GET_INFO, [&] { return d.api.dir_info(s->dir, &s->info); });
  }
  s->is_directory = 0;
  return open_file(d, s) && file_info(d, s);
}

void copy_password(TSDK_SESSION* s, const char* pw) {
  wipe_password(s);
  if (!pw) return;
  std::size_t n = strnlen(pw, TOKEN_PASSWORD_MAX);
  std::memcpy(s->password, pw, n);
  s->password[n] = '\0';
}

// Opens a session on the first qualifying reader holding a token that binds. A bare session is
// only bound (logout and presence tests); otherwise the identifier path is walked.
TSDK_SESSION* touch(TOKEN_SDK_DRIVER& d, const char* path, const TOKEN_OPEN_PARAMS* params,
                    bool bare, bool create) {
  ERR_set_token_error(0, d.token_source);
  TOKEN_SDK_PATH p{};
  d.parse(path, &p);
  tsdk_handle en = nullptr;
  int r = d.api.readers_open(&en);
  if (r < 0) {
    record(d, r);
    err(d, TSDK_F_TOUCH, TSDK_R_INTERNAL_ERROR);
    return nullptr;
  }
  bool reader_found = false;
  TSDK_SESSION* s = nullptr;
  char name[256];
  int present = 0;
  while (!s && d.api.readers_next(en, name, sizeof name, &present) >= 0) {
    name[sizeof name - 1] = '\0';
    if (!present || !d.reader_matches(p, name)) continue;
    reader_found = true;
    s = session_new(d, name);
  }
  int closed = d.api.readers_close(en);
  if (!s) {
    err(d, TSDK_F_TOUCH, reader_found ? TSDK_R_TOKEN_NOT_FOUND : TSDK_R_READER_NOT_FOUND);
    return nullptr;
  }
  if (params) {
    if (params->flags & TOKEN_FLAG_LOGOUT) s->flags |= TSDK_LOGOUT_EACH;
    if (params->flags & TOKEN_FLAG_PRIVATE) s->is_private = 1;
    if (params->flags & TOKEN_FLAG_PASSWORD) copy_password(s, static_cast<const char*>(params->arg));
    if (params->flags & TOKEN_FLAG_CALLBACK) s->cb_arg = params->arg;
  }
  if (!bare) {
    s->contents = BIO_new(BIO_s_mem());
    if (!s->contents) {
      err(d, TSDK_F_TOUCH, TSDK_R_BIO_LIB);
      release(d, s);
      return nullptr;
    }
    s->full_path = mem_strdup(path);
    s->ids = mem_strdup(p.ids);
    if (!s->full_path || !s->ids) {
      err(d, TSDK_F_TOUCH, TSDK_R_MALLOC_FAILURE);
      release(d, s);
      return nullptr;
    }
    if (!p.ids_ok || !walk(d, s, create)) {
      err(d, TSDK_F_TOUCH, TSDK_R_BIO_LIB);
      release(d, s);
      return nullptr;
    }
  }
  if (closed < 0) {
    record(d, closed);
    release(d, s);
    return nullptr;
  }
  return s;
}

TSDK_SESSION* session_of(BIO* b) { return static_cast<TSDK_SESSION*>(b->ptr); }

// Commits written contents: the old file is zero-filled and deleted, then a file of exactly
// the new length is created and written. The driver's lock is held for the whole commit, so
// another thread of the process never sees the file missing or half written, and two commits
// of one file do not interleave (one would fail at the create, or write into the other's file).
int flush(TOKEN_SDK_DRIVER& d, TSDK_SESSION* s) {
  if (!s || !(s->mode & BIO_FP_WRITE) || !s->contents) return 1;
  LockGuard whole(d.lock);
  char* data = nullptr;
  long len = BIO_ctrl(s->contents, BIO_CTRL_INFO, 0, &data);
  if (s->too_long || len > TSDK_MAX_FILE || len < 0) {
    // Nothing is touched: the old file stays as it was.
    err(d, TSDK_F_FLUSH, TSDK_R_BIO_LIB);
    return 0;
  }
  if (open_file(d, s)) {
    if (!file_info(d, s)) {
      err(d, TSDK_F_FLUSH, TSDK_R_BIO_LIB);
      return 0;
    }
    std::uint16_t old = s->info.size;
    if (old > 0) {
      void* zeros = mem_alloc(old);
      if (!zeros) {
        err(d, TSDK_F_FLUSH, TSDK_R_MALLOC_FAILURE);
        return 0;
      }
      std::memset(zeros, 0, old);
      bool ok = write_file(d, s, zeros, old);
      mem_free(zeros);
      if (!ok) {
        err(d, TSDK_F_FLUSH, TSDK_R_BIO_LIB);
        return 0;
      }
    }
    if (!call(d, s, TSDK_F_FILE_DELETE, [&] { return d.api.file_delete(s->file); })) {
      err(d, TSDK_F_FLUSH, TSDK_R_BIO_LIB);
      return 0;
    }
    close_file(d, s);
  } else {
    ERR_clear_error();
  }
  auto size = static_cast<std::uint16_t>(len);
  if (!call(d, s, TSDK_F_FILE_CREATE, [&] {
        return d.api.file_create(s->dir, s->target, size, s->is_private, &s->file);
      })) {
    err(d, TSDK_F_FLUSH, TSDK_R_BIO_LIB);
    return 0;
  }
  if (size > 0 && !write_file(d, s, data, size)) {
    err(d, TSDK_F_FLUSH, TSDK_R_BIO_LIB);
    return 0;
  }
  return 1;
}

long open(TOKEN_SDK_DRIVER& d, BIO* b, long num, const char* path) {
  if (TSDK_SESSION* old = session_of(b)) {
    if (!flush(d, old)) {
      err(d, TSDK_F_OPEN, 2);
      return 0;
    }
    release(d, old);
    b->ptr = nullptr;
    b->init = 0;
  }
  int mode = static_cast<int>(num) & (BIO_FP_READ | BIO_FP_WRITE);
  if (!mode || !path) {
    err(d, TSDK_F_OPEN, TSDK_R_BAD_FOPEN_MODE);
    return 0;
  }
  // The walk (which makes missing directories for a write) and a read happen under the
  // driver's lock: a commit of the same file by another thread (see flush) comes wholly before
  // or after, and two threads do not both try to make one directory.
  LockGuard whole(d.lock);
  const TOKEN_OPEN_PARAMS* params = token_open_params(b);
  TSDK_SESSION* s = touch(d, path, params, false, mode == BIO_FP_WRITE);
  if (!s) {
    err(d, TSDK_F_OPEN, TSDK_R_BIO_LIB);
    return 0;
  }
  s->mode = mode;
  if (mode & BIO_FP_READ) {
    if (!open_file(d, s) || !file_info(d, s)) {
      release(d, s);
      err(d, TSDK_F_OPEN, TSDK_R_BIO_LIB);
      return 0;
    }
    b->length = s->info.size;
    if (s->info.size > 0) {
      BUF_MEM* bm = nullptr;
      BIO_ctrl(s->contents, BIO_C_GET_BUF_MEM_PTR, 0, &bm);
      std::uint16_t size = s->info.size;
      if (!bm || !BUF_MEM_grow(bm, size) ||
          !call(d, s, TSDK_F_FILE_READ, [&] {
            LockGuard g(d.lock);
            return d.api.file_read(s->file, 0, bm->data, size);
          })) {
        release(d, s);
        err(d, TSDK_F_OPEN, TSDK_R_BIO_LIB);
        return 0;
      }
    }
  }
  b->ptr = s;
  b->init = 1;
  return 1;
}

}  // namespace

int TSDK_library_load(TOKEN_SDK_DRIVER& d) {
  if (d.available) return 1;
  // PC/SC must be installed: the vendor library reaches the readers through it.
  void* pcsc = platform::dl_open("WinSCard.dll");
  if (!pcsc) return 0;
  platform::dl_close(pcsc);
  void* h = platform::dl_open(d.library);
  if (!h) return 0;
  void* slots[TOKEN_SDK_CALLS];
  for (int i = 0; i < TOKEN_SDK_CALLS; ++i) {
    slots[i] = platform::dl_symbol(h, d.names[i]);
    if (!slots[i]) {
      platform::dl_close(h);
      return 0;
    }
  }
  std::memcpy(&d.api, slots, sizeof d.api);
  d.handle = h;
  d.available = true;
  return 1;
}

void TSDK_library_unload(TOKEN_SDK_DRIVER& d) {
  if (d.handle) platform::dl_close(d.handle);
  d.handle = nullptr;
  d.available = false;
  std::memset(&d.api, 0, sizeof d.api);
}

int TSDK_write(TOKEN_SDK_DRIVER& d, BIO* b, const char* data, int len) {
  TSDK_SESSION* s = session_of(b);
  if (!d.available || !s || !(s->mode & BIO_FP_WRITE) || !s->contents) return -1;
  long held = BIO_ctrl(s->contents, BIO_CTRL_PENDING, 0, nullptr);
  if (len > 0 && held + len > TSDK_MAX_FILE) {
    s->too_long = true;
    err(d, TSDK_F_FILE_WRITE, TSDK_R_INTERNAL_ERROR);
    return -1;
  }
  return BIO_write(s->contents, data, len);
}

int TSDK_read(TOKEN_SDK_DRIVER& d, BIO* b, char* out, int len) {
  TSDK_SESSION* s = session_of(b);
  if (!d.available || !s || !(s->mode & BIO_FP_READ) || !s->contents) return -1;
  return BIO_read(s->contents, out, len);
}

int TSDK_puts(TOKEN_SDK_DRIVER& d, BIO* b, const char* str) {
  if (!d.available || !str) return 0;
  return TSDK_write(d, b, str, static_cast<int>(std::strlen(str)));
}

int TSDK_gets(TOKEN_SDK_DRIVER& d, BIO* b, char* buf, int size) {
  TSDK_SESSION* s = session_of(b);
  if (!d.available || !s || !s->contents) return 0;
  int n = BIO_gets(s->contents, buf, size);
  if (n >= 2 && buf[n - 2] == '\r' && buf[n - 1] == '\n') {
    buf[n - 2] = '\n';
    buf[n - 1] = '\0';
    --n;
  }
  return n;
}

long TSDK_ctrl(TOKEN_SDK_DRIVER& d, BIO* b, int cmd, long num, void* ptr) {
  if (!d.available) {
    // An open says why it cannot work; everything else just answers 0.
    if (cmd == BIO_C_SET_FILENAME) {
      err(d, TSDK_F_OPEN, TSDK_R_INTERNAL_ERROR);
      ERR_add_error_data(3, "vendor library ", d.library, " is not loaded");
    }
    return 0;
  }
  TSDK_SESSION* s = session_of(b);
  switch (cmd) {
    case BIO_CTRL_RESET:
    case BIO_CTRL_FLUSH: {
      if (!s) return 0;
      int r = flush(d, s);
      if (s->contents) BIO_free(s->contents);
      s->contents = nullptr;
      if (s->ids) mem_clear_free(s->ids, std::strlen(s->ids));
      s->ids = nullptr;
      b->init = 0;
      return r;
    }
    case BIO_C_SET_FILENAME:
      return open(d, b, num, static_cast<const char*>(ptr));
    case BIO_C_SET_PASSWD_CB:
      if (s) s->cb = reinterpret_cast<password_cb>(ptr);
      return s || d.settings_without_session ? 1 : 0;
    case BIO_C_SET_PRIVATE:
      if (!s) return 0;
      s->is_private = static_cast<int>(num);
      return 1;
    case BIO_C_SET_PASSWORD:
      if (s) copy_password(s, static_cast<const char*>(ptr));
      return s || d.settings_without_session ? 1 : 0;
    case BIO_C_SET_CB_ARG:
      if (s) s->cb_arg = ptr;
      return s || d.settings_without_session ? 1 : 0;
    case BIO_C_GET_SESSION_FLAGS:
      return d.session_flag_commands && s ? static_cast<long>(s->flags) : 0;
    case BIO_C_SET_SESSION_FLAGS:
      if (!d.session_flag_commands) return 0;
      if (s) s->flags = static_cast<std::uint32_t>(num);
      return 1;
    default:
      return 0;
  }
}

int TSDK_create(BIO* b) {
  b->init = 0;
  b->num = 0;
  b->ptr = nullptr;
  return 1;
}

int TSDK_destroy(TOKEN_SDK_DRIVER& d, BIO* b) {
  if (!b) return 0;
  TSDK_SESSION* s = session_of(b);
  if (!s) return 1;
  int r = 1;
  if (!(s->flags & TSDK_NO_FLUSH) && d.available) r = flush(d, s);
  if (d.available) release(d, s);
  b->ptr = nullptr;
  b->init = 0;
  return r;
}

int TSDK_exists(TOKEN_SDK_DRIVER& d, const char* path) {
  if (!d.available || !path) return 0;
  TSDK_SESSION* s = touch(d, path, nullptr, false, false);
  release(d, s);
  ERR_clear_error();
  return s != nullptr;
}

int TSDK_is_directory(TOKEN_SDK_DRIVER& d, const char* path) {
  if (!d.available || !path) return 0;
  TSDK_SESSION* s = touch(d, path, nullptr, false, false);
  int r = s && s->is_directory;
  release(d, s);
  ERR_clear_error();
  return r;
}

int TSDK_is_file(TOKEN_SDK_DRIVER& d, const char* path) {
  if (!d.available || !path) return 0;
  TSDK_SESSION* s = touch(d, path, nullptr, false, false);
  int r = s && !s->is_directory;
  release(d, s);
  ERR_clear_error();
  return r;
}

int TSDK_list(TOKEN_SDK_DRIVER& d, const char* path, TOKEN_DIR_LIST* list) {
  if (!d.available || !path || !list) return 0;
  TSDK_SESSION* s = touch(d, path, nullptr, false, false);
  if (!s || !s->is_directory) {
    release(d, s);
    return 0;
  }
  bool ok = true;
  for (int pass = 0; ok && pass < 2; ++pass) {
    bool dirs = pass == 0;
    tsdk_handle en = nullptr;
    int r = dirs ? d.api.dir_enum_open(s->dir, &en) : d.api.files_enum_open(s->dir, &en);
    if (r < 0) {
      record(d, r);
      err(d, TSDK_F_DIR_OPEN, TSDK_R_INTERNAL_ERROR);
      ok = false;
      break;
    }
    TOKEN_SDK_INFO info{};
    while ((r = dirs ? d.api.dir_enum_next(en, &info) : d.api.files_enum_next(en, &info)) >= 0) {
      TOKEN_DIR_ENTRY e{};
      std::snprintf(e.name, sizeof e.name, "%04x", info.id);
      e.is_directory = dirs;
      e.is_file = !dirs;
      e.id = info.id;
      e.size = dirs ? 0 : info.size;
      if (!TOKEN_DIR_LIST_push(list, &e)) {
        ERR_put_error(d.new_lib, TSDK_F_FILE_INFO_NEW, TSDK_R_MALLOC_FAILURE, __FILE__, __LINE__);
        ok = false;
        break;
      }
    }
    if (ok && static_cast<std::uint32_t>(r) != TOKEN_SDK_END_OF_LIST) {
      record(d, r);
      err(d, TSDK_F_DIR_OPEN, TSDK_R_INTERNAL_ERROR);
      ok = false;
    }
    if (dirs)
      d.api.dir_enum_close(en);
    else
      d.api.files_enum_close(en);
  }
  if (ok) ERR_set_token_error(0, d.token_source);
  release(d, s);
  return ok;
}

int TSDK_delete(TOKEN_SDK_DRIVER& d, BIO* b) {
  TSDK_SESSION* s = b ? session_of(b) : nullptr;
  if (!d.available || !s) return 0;
  if (!flush(d, s)) {
    err(d, TSDK_F_DELETE, TSDK_R_BIO_LIB);
    return 0;
  }
  s->flags |= TSDK_NO_FLUSH;
  if (!s->file || !call(d, s, TSDK_F_FILE_DELETE, [&] { return d.api.file_delete(s->file); })) {
    err(d, TSDK_F_DELETE, TSDK_R_BIO_LIB);
    return 0;
  }
  close_file(d, s);
  return 1;
}

int TSDK_remove_directory(TOKEN_SDK_DRIVER& d, const char* path) {
  if (!d.available || !path) return 0;
  TSDK_SESSION* s = touch(d, path, nullptr, false, false);
  if (!s || !s->is_directory ||
      !call(d, s, TSDK_F_FILE_DELETE, [&] { return d.api.dir_delete(s->dir); })) {
    release(d, s);
    err(d, TSDK_F_DELETE, TSDK_R_BIO_LIB);
    return 0;
  }
  close_dir(d, s);
  release(d, s);
  return 1;
}

namespace {
// The path's part before the colon (the default prefix for null) with ":/" appended.
bool token_root(const TOKEN_SDK_DRIVER& d, const char* path, char (&out)[264]) {
  const char* p = path ? path : d.default_prefix;
  const char* colon = std::strchr(p, ':');
  std::size_t n = colon ? static_cast<std::size_t>(colon - p) : std::strlen(p);
  if (n > 260) return false;
  std::memcpy(out, p, n);
  std::memcpy(out + n, ":/", 3);
  return true;
}
}  // namespace

int TSDK_logout(TOKEN_SDK_DRIVER& d, const char* path) {
  char root[264];
  if (!d.available || !token_root(d, path, root)) return 0;
  TSDK_SESSION* s = touch(d, root, nullptr, true, false);
  if (!s) return 0;
  s->logged_in = 1;
  s->flags |= TSDK_LOGOUT_EACH;
  return release(d, s);
}

int TSDK_is_inserted(TOKEN_SDK_DRIVER& d, const char* path) {
  char root[264];
  if (!d.available || !token_root(d, path, root)) return 0;
  TSDK_SESSION* s = touch(d, root, nullptr, true, false);
  release(d, s);
  return s != nullptr;
}

}  // namespace jarnel
