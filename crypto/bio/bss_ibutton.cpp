// The "Touch Memory" driver: files on iButton touch-memory devices through the TMEX file-system
// library "ibfs32.dll" (tmex_api.h), loaded at run time. A file is read whole when it is opened
// for reading and written whole when an object opened for writing is freed. Errors go to the
// buffer library (7): function 118 for the open, 115 for the commit.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "crypto/bio/buf_mem.h"
#include "crypto/bio/tmex_api.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/ibutton_direct.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/str.h"
#include "platform/clock.h"
#include "platform/dl.h"
#include "platform/settings.h"

namespace jarnel {

static_assert(sizeof(TMEX_API) == TMEX_CALLS * sizeof(void*));

namespace {

constexpr int F_COMMIT = 115, F_OPEN = 118, F_SESSION_NEW = 110;
constexpr int R_FAILED = 2, R_MALLOC = 33, R_NO_BUFFER = 118, R_TOO_LONG = 119;
constexpr int MAX_PATH_USED = 260;
constexpr int PORT_CACHE_SIZE = 10;
constexpr int MAX_PORT = 15;
constexpr int START_SESSION_SECONDS = 10;
constexpr const char* DEFAULTS_KEY = "Software\\Dallas Semiconductor\\iButton TMEX\\3.00";

// ---- the library binding ----

void* g_handle = nullptr;
TMEX_API g_api{};
bool g_bound = false;

struct CachedPort {
  std::int16_t number, type;
};
CachedPort g_ports[PORT_CACHE_SIZE];
int g_port_count = 0;

// The state buffer every file call gets; shared by all sessions.
alignas(16) std::uint8_t g_state[TM_STATE_SIZE];

// The process's TMEX sessions run one at a time, each under lock 30 (locks::TMEX) from its
// start to its end: they all work in the one state buffer above, and a commit's program job
// replaces the device's contents with the copy it took when it began, so a commit overlapping
// another thread's put back what that thread had just written. Reads see a commit wholly before
// or after it. Other processes are kept out by the library's own session exclusivity (a busy
// start is retried). The port choice holds lock 18 and takes lock 30 inside it for its probe
// sessions, so lock 30 is never held while lock 18 is requested.

tm_session start_session_call(std::int16_t n, std::int16_t t) {
  return g_bound ? g_api.start_session(n, t, nullptr) : TM_LIBRARY_MISSING;
}
void end_session(tm_session s) {
  if (g_bound) g_api.end_session(s);
}
#define TMCALL(name, ...) (g_bound ? g_api.name(__VA_ARGS__) : TM_LIBRARY_MISSING)

// ---- paths ----

void pad4(char (&out)[4], const char* text, std::size_t n) {
  std::memset(out, ' ', 4);
  std::memcpy(out, text, n);
}

bool parse_port(const char* text, std::size_t n, TM_PORT* port) {
  auto number = [&](std::size_t from) -> int {
    int v = 0;
    for (std::size_t i = from; i < n; ++i) {
      if (text[i] < '0' || text[i] > '9' || v > 9999) return -1;
      v = v * 10 + (text[i] - '0');
    }
    return v;
  };
  if (n >= 7 && !ascii_strncasecmp(text, "iButton", 7)) {
    *port = {0, 0};
    return true;
  }
  for (auto [prefix, type] : {std::pair{"COM", 1}, std::pair{"LPT", 2}}) {
    if (n >= 3 && !ascii_strncasecmp(text, prefix, 3)) {
      int v = number(3);
      if (v < 0) return false;
      *port = {static_cast<std::int16_t>(v), static_cast<std::int16_t>(type)};
      return true;
    }
  }
  return false;
}

// The file name part "NAME[.EXT]" into the entry; false when it is not a usable name.
bool parse_name(const char* text, std::size_t n, TM_FILE_ENTRY* entry) {
  const char* dot = static_cast<const char*>(std::memchr(text, '.', n));
  std::size_t name_len = dot ? static_cast<std::size_t>(dot - text) : n;
  if (name_len < 1 || name_len > 4) return false;
  pad4(entry->name, text, name_len);
  int ext = 0;
  if (dot) {
    for (const char* p = dot + 1; p < text + n; ++p) {
      if (*p < '0' || *p > '9' || ext > 255) return false;
      ext = ext * 10 + (*p - '0');
    }
    if (ext > 255) return false;
  }
  entry->extension = static_cast<std::uint8_t>(ext);
  return true;
}

}  // namespace

bool TM_parse_path(const char* path, TM_PARSED* out) {
  std::memset(out, 0, sizeof *out);
  out->port = {-1, -1};
  out->directory.reference = '\\';
  pad4(out->entry.name, "", 0);
  out->entry.extension = TM_DIRECTORY_EXTENSION;
  out->entry_valid = false;
  if (!path) return false;
  char p[MAX_PATH_USED + 1];
  std::size_t n = strnlen(path, MAX_PATH_USED);
  for (std::size_t i = 0; i < n; ++i) p[i] = path[i] == '/' ? '\\' : path[i];
  p[n] = '\0';
  const char* colon = std::strchr(p, ':');
  if (!colon || !parse_port(p, static_cast<std::size_t>(colon - p), &out->port)) return false;
  const char* rest = colon + 1;
  const char* last = std::strrchr(rest, '\\');
  if (*rest != '\\' || !last) return true;  // no usable file entry
  bool valid = true;
  const char* c = rest + 1;
  while (c < last) {
    const char* end = std::strchr(c, '\\');  // at most last
    std::size_t len = static_cast<std::size_t>(end - c);
    if (len < 1 || len > 4) valid = false;
    else if (out->directory.count < TM_MAX_DIR_COMPONENTS)
      pad4(out->directory.entries[out->directory.count++], c, len);
    c = end + 1;
  }
  if (valid && parse_name(last + 1, std::strlen(last + 1), &out->entry)) {
    out->entry_valid = true;
  } else {
    pad4(out->entry.name, "", 0);
    out->entry.extension = TM_DIRECTORY_EXTENSION;
  }
  return true;
}

namespace {

// ---- ports ----

// Starts a session, retrying while the library answers "busy" (0), for at most ten seconds.
tm_session start_session(const TM_PORT& port) {
  auto deadline = std::chrono::system_clock::now() + std::chrono::seconds(START_SESSION_SECONDS);
  for (;;) {
    tm_session s = start_session_call(port.number, port.type);
    if (s != 0 || std::chrono::system_clock::now() >= deadline) return s;
    platform::sleep_ms(1);
  }
}

bool port_cached(std::int16_t number, std::int16_t type) {
  for (int i = 0; i < g_port_count; ++i)
    if (g_ports[i].number == number && g_ports[i].type == type) return true;
  return false;
}

// Whether an adapter answers on the port; a port once set up stays good until the library is
// unloaded. At most ten ports are ever set up.
bool port_good(std::int16_t number, std::int16_t type) {
  LockGuard g(locks::CADB);
  if (port_cached(number, type)) return true;
  if (g_port_count >= PORT_CACHE_SIZE) return false;
  LockGuard session(locks::TMEX);
  tm_session s = start_session({number, type});
  bool good = false;
  if (s >= 1) {
    std::int16_t r = TMCALL(setup, s);
    if (r == 1 || r == 2) {
      g_ports[g_port_count++] = {number, type};
      good = true;
    }
  }
  if (s != 0) end_session(s);
  return good;
}

// The adapter defaults from the settings store, when both are there and in 0..15.
bool registry_defaults(std::int16_t* number, std::int16_t* type) {
  char n[32], t[32];
  if (!platform::settings_read_string(platform::SETTINGS_LOCAL_MACHINE, DEFAULTS_KEY,
                                      "DefaultPortNum", n, sizeof n) ||
      !platform::settings_read_string(platform::SETTINGS_LOCAL_MACHINE, DEFAULTS_KEY,
                                      "DefaultPortType", t, sizeof t))
    return false;
  auto decimal = [](const char* s, std::int16_t* out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end || v < 0 || v > MAX_PORT) return false;
    *out = static_cast<std::int16_t>(v);
    return true;
  };
  return decimal(n, number) && decimal(t, type);
}

bool search_type(std::int16_t type, TM_PORT* port) {
  for (std::int16_t n = 1; n <= MAX_PORT; ++n) {
    if (port_good(n, type)) {
      *port = {n, type};
      return true;
    }
  }
  return false;
}

// Chooses the port a path's device is reached on; false when no adapter answers.
bool select_port(TM_PORT* port) {
  std::int16_t def_number = 0, def_type = 0;
  if (port->type <= 0) {
    if (registry_defaults(&def_number, &def_type) && port_good(def_number, def_type)) {
      *port = {def_number, def_type};
      return true;
    }
    return search_type(1, port) || search_type(2, port);
  }
  if (port->number <= 0) {
    if (registry_defaults(&def_number, &def_type) && def_type == port->type &&
        port_good(def_number, def_type)) {
      *port = {def_number, def_type};
      return true;
    }
    return search_type(port->type, port);
  }
  return port_good(port->number, port->type);
}

// Starts a session on the port with a device present and changes to the directory. The
// session is returned in *s whenever one was started (the caller ends it).
std::int16_t reach_directory(const TM_PORT& port, TM_DIRPATH* dir, tm_session* s) {
  *s = start_session(port);
  if (*s < 1) return 0;
  if (TMCALL(first, *s, g_state) != 1) return 0;
  return TMCALL(change_directory, *s, g_state, TM_DIR_SET, dir);
}

void end_if_started(tm_session s) {
  if (s != 0) end_session(s);
}

// ---- the BIO ----

struct TM_SESSION {
  TM_PORT port;
  TM_DIRPATH directory;
  TM_FILE_ENTRY file;
  BIO* contents;
  int mode;
};

TM_SESSION* session_of(BIO* b) { return static_cast<TM_SESSION*>(b->ptr); }

void err(int func, int reason, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  ERR_put_error(LIB_BUF, func, reason, file, line);
}

// Makes every missing directory of the path, each named in upper case.
bool create_directory_path(tm_session s, const TM_DIRPATH& dir) {
  TM_DIRPATH work{};
  work.reference = '\\';
  if (TMCALL(change_directory, s, g_state, TM_DIR_SET, &work) != 1) return false;
  for (int i = 0; i < dir.count; ++i) {
    for (int k = 0; k < 4; ++k)
      work.entries[i][k] = dir.entries[i][k] >= 'a' && dir.entries[i][k] <= 'z'
                               ? static_cast<char>(dir.entries[i][k] - 'a' + 'A')
                               : dir.entries[i][k];
    work.count = static_cast<std::uint8_t>(i + 1);
    if (TMCALL(change_directory, s, g_state, TM_DIR_SET, &work) == 1) continue;
    TM_FILE_ENTRY entry{};
    std::memcpy(entry.name, work.entries[i], 4);
    entry.extension = 0;
    bool job = TMCALL(create_program_job, s, g_state) == 1;
    if (TMCALL(directory_mr, s, g_state, TM_DIR_CREATE, &entry) != 1) return false;
    if (job && TMCALL(do_program_job, s, g_state) != 1) return false;
    if (TMCALL(change_directory, s, g_state, TM_DIR_SET, &work) != 1) return false;
  }
  return true;
}

// Writes the held contents to the device, replacing a file of the same name. 1 on success.
int commit(TM_SESSION* t) {
  char* data = nullptr;
  long len = t->contents ? BIO_ctrl(t->contents, BIO_CTRL_INFO, 0, &data) : 0;
  if (len > TM_MAX_FILE) {
    // Such a file could not be read back whole: refuse it before the old one is deleted.
    err(F_COMMIT, R_TOO_LONG);
    return 0;
  }
  LockGuard session(locks::TMEX);
  tm_session s = start_session(t->port);
  std::int16_t file = -1;
  bool ok = s >= 1 && TMCALL(first, s, g_state) == 1;
  if (ok && TMCALL(change_directory, s, g_state, TM_DIR_SET, &t->directory) != 1)
    ok = create_directory_path(s, t->directory);
  if (ok) {
    bool job = TMCALL(create_program_job, s, g_state) == 1;
    std::int16_t del = TMCALL(delete_file, s, g_state, &t->file);
    ok = del == 1 || del == TM_FILE_NOT_FOUND;
    std::int16_t max_size = 0;
    if (ok) {
      file = TMCALL(create_file, s, g_state, &max_size, &t->file);
      ok = file >= 0;
    }
    if (ok && !data && len > 0) {
      err(F_COMMIT, R_NO_BUFFER);
      ok = false;
    }
    if (ok) {
      static const std::uint8_t empty = 0;
      ok = TMCALL(write_file, s, g_state, file,
                  data ? reinterpret_cast<const std::uint8_t*>(data) : &empty,
                  static_cast<std::int16_t>(len)) >= 0;
      TMCALL(close_file, s, g_state, file);
      file = -1;
    }
    if (ok && job) ok = TMCALL(do_program_job, s, g_state) == 1;
  }
  if (file >= 0) TMCALL(close_file, s, g_state, file);
  end_if_started(s);
  if (!ok) err(F_COMMIT, R_FAILED);
  return ok ? 1 : 0;
}

void session_free(TM_SESSION* t) {
  if (!t) return;
  if (t->contents) BIO_free(t->contents);
  mem_clear_free(t, sizeof *t);
}

// Commits a session opened for writing and frees it; the commit's result, 1 otherwise.
int session_close(BIO* b) {
  TM_SESSION* t = session_of(b);
  b->ptr = nullptr;
  if (!t) return 1;
  int r = 1;
  if ((t->mode & BIO_FP_WRITE) && t->port.type != -1) r = commit(t);
  session_free(t);
  return r;
}

long open(BIO* b, long num, const char* path) {
  session_close(b);
  b->init = 0;
  auto* t = static_cast<TM_SESSION*>(mem_alloc(sizeof(TM_SESSION)));
  if (!t) {
    err(F_SESSION_NEW, R_MALLOC);
    err(F_OPEN, R_MALLOC);
    return 0;
  }
  std::memset(t, 0, sizeof *t);
  t->contents = BIO_new(BIO_s_mem());
  if (!t->contents) {
    mem_free(t);
    err(F_OPEN, R_MALLOC);
    return 0;
  }
  BIO_ctrl(t->contents, BIO_C_SET_BUF_MEM_EOF_RETURN, 0, nullptr);
  t->port = {-1, -1};
  b->ptr = t;
  TM_PARSED parsed;
  if (!TM_parse_path(path, &parsed) || !select_port(&parsed.port)) {
    session_free(t);
    b->ptr = nullptr;
    err(F_OPEN, R_FAILED);
    return 0;
  }
  t->port = parsed.port;
  t->directory = parsed.directory;
  t->file = parsed.entry;
  int mode = static_cast<int>(num);
  if (mode & BIO_FP_READ) {
    BUF_MEM* bm = nullptr;
    BIO_ctrl(t->contents, BIO_C_GET_BUF_MEM_PTR, 0, &bm);
    // One byte more than the largest file: a longer file is refused, not cut short.
    if (!bm || !BUF_MEM_grow(bm, TM_MAX_FILE + 1)) {
      session_free(t);
      b->ptr = nullptr;
      err(F_OPEN, R_NO_BUFFER);
      return 0;
    }
    tm_session s = 0;
    std::int16_t file = -1, count = -1;
    {
      LockGuard session(locks::TMEX);
      if (reach_directory(t->port, &t->directory, &s) == 1) {
        file = TMCALL(open_file, s, g_state, &t->file);
        if (file >= 0)
          count = TMCALL(read_file, s, g_state, file, reinterpret_cast<std::uint8_t*>(bm->data),
                         static_cast<std::int16_t>(TM_MAX_FILE + 1));
      }
      if (file >= 0) TMCALL(close_file, s, g_state, file);
      end_if_started(s);
    }
    if (count < 0 || count > TM_MAX_FILE) {
      session_free(t);
      b->ptr = nullptr;
      err(F_OPEN, count > TM_MAX_FILE ? R_TOO_LONG : R_FAILED);
      return 0;
    }
    bm->length = count;
    b->length = count;
  }
  t->mode = mode;
  b->init = 1;
  return 1;
}

int tm_write(BIO* b, const char* data, int len) {
  TM_SESSION* t = b ? session_of(b) : nullptr;
  if (!t || !data || len <= 0) return 0;
  return BIO_write(t->contents, data, len);
}

int tm_read(BIO* b, char* out, int len) {
  TM_SESSION* t = b ? session_of(b) : nullptr;
  if (!t || !out) return 0;
  return BIO_read(t->contents, out, len);
}

int tm_puts(BIO* b, const char* str) {
  TM_SESSION* t = b ? session_of(b) : nullptr;
  if (!t || !str) return 0;
  return BIO_puts(t->contents, str);
}

int tm_gets(BIO* b, char* buf, int size) {
  TM_SESSION* t = b ? session_of(b) : nullptr;
  if (!t || !buf) return 0;
  int n = BIO_gets(t->contents, buf, size);
  if (n >= 2 && buf[n - 2] == '\r' && buf[n - 1] == '\n') {
    buf[n - 2] = '\n';
    buf[n - 1] = '\0';
    --n;
  }
  return n > 0 ? n : 0;
}

long tm_ctrl(BIO* b, int cmd, long num, void* ptr) {
  TM_SESSION* t = session_of(b);
  switch (cmd) {
    case BIO_CTRL_RESET:
    case BIO_CTRL_EOF:
    case BIO_CTRL_INFO:
      return t ? BIO_ctrl(t->contents, cmd, num, ptr) : 0;
    case 4: {  // free the session, then take shutdown and pointer from the arguments
      session_close(b);
      b->shutdown = static_cast<int>(num);
      b->ptr = nullptr;
      b->init = 0;
      return 1;
    }
    case 5:
      return 1;
    case BIO_CTRL_GET_CLOSE:
      return b->shutdown;
    case BIO_CTRL_SET_CLOSE:
      b->shutdown = static_cast<int>(num);
      return 1;
    case BIO_CTRL_PENDING:
      return b->length;
    case BIO_C_SET_FILENAME:
      return open(b, num, static_cast<const char*>(ptr));
    default:
      return 0;
  }
}

int tm_destroy(BIO* b) {
  if (!b) return 0;
  if (!b->shutdown || !b->init) {
    session_free(session_of(b));
    b->ptr = nullptr;
    return 1;
  }
  int r = session_close(b);
  b->init = 0;
  return r;
}

const BIO_METHOD method = {BIO_TYPE_FILE, "Touch Memory", tm_write, tm_read, tm_puts,
                           tm_gets,       tm_ctrl,        token_file_create, tm_destroy};

}  // namespace

const BIO_METHOD* BIO_s_touch_memory() { return &method; }

namespace {
ERR_STRING_DATA g_strings[] = {
    {ERR_pack(LIB_BUF, F_SESSION_NEW, 0), "TM_session_new"},
    {ERR_pack(LIB_BUF, F_COMMIT, 0), "TM_commit"},
    {ERR_pack(LIB_BUF, F_OPEN, 0), "TM_ctrl"},
    {ERR_pack(LIB_BUF, 0, R_TOO_LONG), "iButton file longer than 8192 bytes"},
    {0, nullptr}};
}  // namespace

// ---- direct functions ----

void ERR_load_TM_strings() { ERR_load_strings(LIB_BUF, g_strings); }

int TM_library_load() {
  if (g_bound) return 1;
  void* h = platform::dl_open("ibfs32.dll");
  void* slots[TMEX_CALLS] = {};
  bool all = h != nullptr;
  for (int i = 0; all && i < TMEX_CALLS; ++i) all = (slots[i] = platform::dl_symbol(h, TMEX_NAMES[i]));
  if (!all) {
    if (h) platform::dl_close(h);
    std::memset(&g_api, 0, sizeof g_api);
    return TM_LIBRARY_MISSING;
  }
  std::memcpy(&g_api, slots, sizeof g_api);
  g_handle = h;
  g_bound = true;
  return 1;
}

void TM_library_unload() {
  LockGuard g(locks::CADB);
  if (g_handle) platform::dl_close(g_handle);
  g_handle = nullptr;
  g_bound = false;
  std::memset(&g_api, 0, sizeof g_api);
  g_port_count = 0;
}

int TM_file_exists(const char* path) {
  TM_PARSED p;
  if (!TM_parse_path(path, &p) || !p.entry_valid || !select_port(&p.port)) return 0;
  LockGuard session(locks::TMEX);
  tm_session s = 0;
  int result = 0;
  if (reach_directory(p.port, &p.directory, &s) == 1) {
    std::int16_t file = TMCALL(open_file, s, g_state, &p.entry);
    if (file >= 0) {
      TMCALL(close_file, s, g_state, file);
      result = 1;
    }
  }
  end_if_started(s);
  return result;
}

int TM_find_first(const char* path, TM_FIND* find) {
  if (!find) return TM_LIBRARY_MISSING;
  std::memset(find, 0, sizeof *find);
  find->port = {-1, -1};
  find->directory.reference = '\\';
  TM_PARSED p;
  if (!TM_parse_path(path, &p)) return TM_LIBRARY_MISSING;
  find->port = p.port;
  find->directory = p.directory;
  if (!select_port(&find->port)) return TM_LIBRARY_MISSING;
  // The session, and lock 30 with it, lasts until TM_find_close.
  CRYPTO_lock(CRYPTO_LOCK | CRYPTO_WRITE, locks::TMEX, __FILE__, __LINE__);
  find->session = start_session(find->port);
  if (find->session < 1) {
    CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, locks::TMEX, __FILE__, __LINE__);
    return TM_LIBRARY_MISSING;
  }
  std::int16_t r = TMCALL(first, find->session, g_state);
  if (r != 1) return r < 0 ? r : -1;
  r = TMCALL(change_directory, find->session, g_state, TM_DIR_SET, &find->directory);
  if (r != 1) return r < 0 ? r : -1;
  return TMCALL(first_file, find->session, g_state, &find->entry);
}

int TM_find_next(TM_FIND* find) {
  if (!find || find->session < 1) return 0;
  return TMCALL(next_file, find->session, g_state, &find->entry) >= 0 ? 1 : 0;
}

void TM_find_close(TM_FIND* find) {
  if (!find) return;
  if (find->session >= 1) {
    end_session(find->session);
    CRYPTO_lock(CRYPTO_UNLOCK | CRYPTO_WRITE, locks::TMEX, __FILE__, __LINE__);
  }
  find->session = 0;
}

int TM_delete_file(const char* path) {
  TM_PARSED p;
  if (!TM_parse_path(path, &p) || !select_port(&p.port)) return 0;
  LockGuard session(locks::TMEX);
  tm_session s = 0;
  int result = 0;
  if (reach_directory(p.port, &p.directory, &s) == 1) {
    std::int16_t r = TMCALL(delete_file, s, g_state, &p.entry);
    result = r == 1 || r == TM_FILE_NOT_FOUND;
  }
  end_if_started(s);
  return result;
}

int TM_remove_directory(const char* path) {
  // The last component names the directory; the path's directory part is its parent.
  TM_PARSED p;
  if (!TM_parse_path(path, &p) || !p.entry_valid || !select_port(&p.port)) return 0;
  LockGuard session(locks::TMEX);
  tm_session s = 0;
  int result = 0;
  if (reach_directory(p.port, &p.directory, &s) == 1) {
    std::int16_t r = TMCALL(directory_mr, s, g_state, TM_DIR_REMOVE, &p.entry);
    result = r == 1 || r == TM_FILE_NOT_FOUND;
  }
  end_if_started(s);
  return result;
}

}  // namespace jarnel
