// The "eToken R2" driver: eToken carriers through the legacy interface library "drumvex.dll"
// (etr2_api.h). Files are addressed by their whole path on the token; the token is looked for
// in the readers "AKS ifdh 0" to "AKS ifdh 9" unless the path names one. An open file is held
// in memory and rewritten whole when it is flushed or the object is freed. Paths in the form of
// the eToken SDK driver ("eToken", "AKS ifdh", "Aladdin Token JC") are handed to that driver by
// the direct functions.
#include "crypto/bio/etr2.h"

#include <cstdio>
#include <cstring>

#include "crypto/bio/buf_mem.h"
#include "crypto/bio/etoken.h"
#include "crypto/bio/etr2_api.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/token_dir.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/str.h"
#include "platform/dl.h"

namespace jarnel {

static_assert(sizeof(ETR2_API) == ETR2_CALLS * sizeof(void*));

namespace {

constexpr int F_OPEN = 103, F_FLUSH = 115;
constexpr int R_FAILED = 2, R_MALLOC = 33, R_BAD_MODE = 101;
constexpr char READER_BASE[] = "AKS ifdh ";

void* g_handle = nullptr;
ETR2_API g_api{};
bool g_available = false;

// ---- paths ----

bool is_etoken_sdk_path(const char* path) {
  return path && (ascii_has_prefix(path, "eToken") || ascii_has_prefix(path, "AKS ifdh") ||
                  ascii_has_prefix(path, "Aladdin Token JC"));
}

}  // namespace

void ETR2_parse_path(const char* path, ETR2_PATH* out) {
  std::memset(out, 0, sizeof *out);
  if (!path || ascii_strncasecmp(path, "eTR2", 4)) return;
  const char* p = path + 4;
  const char* sep = std::strstr(p, ":/");
  const char* sep2 = std::strstr(p, ":\\");
  if (!sep || (sep2 && sep2 < sep)) sep = sep2;
  const char* q = p;
  while (*q == ' ') ++q;
  if (*q >= '0' && *q <= '9') {
    std::snprintf(out->readers[0], sizeof out->readers[0], "%s%c", READER_BASE, *q);
    out->count = 1;
  } else if (*p == '/' || *p == '\\') {
    std::size_t n = sep ? static_cast<std::size_t>(sep - p - 1) : std::strlen(p + 1);
    if (n > 255) n = 255;
    std::snprintf(out->readers[0], sizeof out->readers[0], "%.*s", static_cast<int>(n), p + 1);
    out->count = 1;
  } else {
    for (int i = 0; i < ETR2_PATH_READERS; ++i)
      std::snprintf(out->readers[i], sizeof out->readers[i], "%s%i", READER_BASE, i);
    out->count = ETR2_PATH_READERS;
  }
  // The file path: the text after the first colon; relative paths lie in 3f00\e007.
  const char* colon = std::strchr(p, ':');
  if (!colon) return;
  const char* rest = colon + 1;
  const char* after = rest + ((*rest == '\\' || *rest == '/') ? 1 : 0);
  char full[300];
  int len = std::snprintf(full, sizeof full, "%s%s",
                          ascii_strncasecmp(after, "3f00", 4) ? "3f00\\e007\\" : "", after);
  if (len < 0 || static_cast<std::size_t>(len) >= sizeof full) return;
  std::size_t n = 0;
  for (const char* c = full; *c; ++c)
    if (*c != '\\' && *c != '/') out->file[n++] = *c;
  out->file[n] = '\0';
  out->ok = true;
}

namespace {

// ---- contexts ----

void push_pending(ETR2_CONTEXT* c) {
  if (!c || !c->pending.function) return;
  ERR_put_error(LIB_ETOKEN, c->pending.function, c->pending.reason,
                c->pending.file ? c->pending.file : "drumvex", c->pending.line);
  c->pending = {};
}

void release(ETR2_CONTEXT* c) {
  if (!c) return;
  if (c->handle && g_available) g_api.close(c);
  if (c->contents) BIO_free(static_cast<BIO*>(c->contents));
  if (c->path) mem_clear_free(c->path, std::strlen(c->path));
  mem_clear_free(c, sizeof *c);
}

ETR2_CONTEXT* context_new(const char* reader) {
  auto* c = static_cast<ETR2_CONTEXT*>(mem_alloc(sizeof(ETR2_CONTEXT)));
  if (!c) {
    JARNEL_ERR(LIB_ETOKEN, ETR2_F_INIT, R_MALLOC);
    return nullptr;
  }
  std::memset(c, 0, sizeof *c);
  if (!g_api.init(c, reader)) {
    push_pending(c);
    JARNEL_ERR(LIB_ETOKEN, ETR2_F_INIT, R_MALLOC);
    c->handle = nullptr;
    release(c);
    return nullptr;
  }
  return c;
}

bool set_path(ETR2_CONTEXT* c, const char* file) {
  if (c->path) mem_clear_free(c->path, std::strlen(c->path));
  c->path = mem_strdup(file);
  return c->path != nullptr;
}

// The context of the first candidate reader holding the path, with the path's information;
// null when it is nowhere (*found false) or on failure.
ETR2_CONTEXT* find_token(const ETR2_PATH& p, bool* found) {
  *found = false;
  if (!p.ok) return nullptr;
  for (int i = 0; i < p.count; ++i) {
    ETR2_CONTEXT* c = context_new(p.readers[i]);
    if (!c) {
      JARNEL_ERR(LIB_BIO, F_OPEN, R_FAILED);
      return nullptr;
    }
    int exists = 0;
    if (!set_path(c, p.file)) {
      release(c);
      JARNEL_ERR(LIB_BIO, F_OPEN, R_MALLOC);
      return nullptr;
    }
    if (g_api.is_file_exist(c, c->path, &exists) && exists) {
      if (!g_api.get_file_info(c, c->path, &c->info)) {
        push_pending(c);
        release(c);
        JARNEL_ERR(LIB_BIO, F_FLUSH, R_FAILED);
        return nullptr;
      }
      *found = true;
      return c;
    }
    // An empty reader or a missing path: try the next one.
    c->pending = {};
    release(c);
  }
  return nullptr;
}

// ---- the BIO ----

ETR2_CONTEXT* context_of(BIO* b) { return static_cast<ETR2_CONTEXT*>(b->ptr); }
BIO* contents_of(ETR2_CONTEXT* c) { return static_cast<BIO*>(c->contents); }

int flush_fail(ETR2_CONTEXT* c) {
  push_pending(c);
  JARNEL_ERR(LIB_BIO, F_FLUSH, R_FAILED);
  return 0;
}

// Rewrites the file from the held contents: an existing file is deleted (a directory of that
// name is not overwritten), missing directories above it are made, then the file is created
// with the new length and written. The whole rewrite holds lock 32 (locks::ETR2), as do the
// read at open and the direct functions' look-ups: each library call stands alone, so without
// it a reader in another thread of the process found the file missing or zero-filled between
// the steps, or of a length its contents no longer had, and of two rewrites of one file the
// later failed at the create ("exists") or deleted the file the other had just created.
int flush(ETR2_CONTEXT* c) {
  if (!c || !(c->mode & BIO_FP_WRITE) || !c->contents) return 1;
  LockGuard whole(locks::ETR2);
  char* data = nullptr;
  long len = BIO_ctrl(contents_of(c), BIO_CTRL_INFO, 0, &data);
  if (len < 0) return flush_fail(c);
  int exists = 0;
  if (!g_api.is_file_exist(c, c->path, &exists)) return flush_fail(c);
  if (exists) {
    if (!g_api.get_file_info(c, c->path, &c->info) || c->info.is_directory ||
        !g_api.remove(c, c->path))
      return flush_fail(c);
  } else {
    std::size_t n = std::strlen(c->path);
    char prefix[300];
    for (std::size_t k = 4; k < n && k < sizeof prefix; k += 4) {
      std::memcpy(prefix, c->path, k);
      prefix[k] = '\0';
      int there = 0;
      if (!g_api.is_file_exist(c, prefix, &there)) return flush_fail(c);
      if (there) {
        ETR2_FILE_INFO info{};
        if (!g_api.get_file_info(c, prefix, &info) || !info.is_directory) return flush_fail(c);
      } else if (!g_api.create_directory(c, prefix, 0)) {
        return flush_fail(c);
      }
    }
  }
  auto size = static_cast<std::uint32_t>(len);
  if (!g_api.create_file(c, c->path, size, c->is_private)) return flush_fail(c);
  if (size > 0 && !g_api.write(c, c->path, data, 0, size)) return flush_fail(c);
  return 1;
}

long open(BIO* b, long num, const char* path) {
  if (ETR2_CONTEXT* old = context_of(b)) {
    int r = (old->flags & 1) ? 1 : flush(old);
    release(old);
    b->ptr = nullptr;
    b->init = 0;
    if (!r) {
      JARNEL_ERR(LIB_BIO, F_OPEN, R_FAILED);
      return 0;
    }
  }
  int mode = static_cast<int>(num) & (BIO_FP_READ | BIO_FP_WRITE);
  if (!mode) {
    JARNEL_ERR(LIB_BIO, F_OPEN, R_BAD_MODE);
    return 0;
  }
  ETR2_PATH p;
  ETR2_parse_path(path, &p);
  if (!p.ok) {
    JARNEL_ERR(LIB_BIO, F_OPEN, R_FAILED);
    return 0;
  }
  ETR2_CONTEXT* c = nullptr;
  for (int i = 0; i < p.count && !c; ++i) {
    c = context_new(p.readers[i]);
    if (!c) {
      JARNEL_ERR(LIB_BIO, F_OPEN, R_FAILED);
      return 0;
    }
    if (!g_api.get_config(c, &c->config)) {
      if (i + 1 == p.count) push_pending(c);
      c->pending = {};
      release(c);
      c = nullptr;
    }
  }
  if (!c) {
    JARNEL_ERR(LIB_BIO, F_OPEN, R_FAILED);
    return 0;
  }
  // The open parameters live in the opener's frame: the context keeps a copy of them.
  if (const TOKEN_OPEN_PARAMS* params = token_open_params(b)) {
    c->open_flags = params->flags;
    c->open_arg = params->arg;
    if (params->flags & TOKEN_FLAG_PRIVATE) c->is_private = 1;
  }
  c->mode = mode;
  c->contents = BIO_new(BIO_s_mem());
  if (!c->contents) {
    release(c);
    JARNEL_ERR(LIB_BIO, F_OPEN, R_FAILED);
    return 0;
  }
  if (!set_path(c, p.file)) {
    release(c);
    JARNEL_ERR(LIB_BIO, F_OPEN, R_MALLOC);
    return 0;
  }
  if (mode & BIO_FP_READ) {
    LockGuard whole(locks::ETR2);
    bool ok = g_api.get_file_info(c, c->path, &c->info) && !c->info.is_directory &&
              c->info.size <= 0x7FFFFFFF;
    if (ok && c->info.size > 0) {
      BUF_MEM* bm = nullptr;
      BIO_ctrl(contents_of(c), BIO_C_GET_BUF_MEM_PTR, 0, &bm);
      int size = static_cast<int>(c->info.size);
      ok = bm && BUF_MEM_grow(bm, size) && g_api.read(c, c->path, bm->data, 0, c->info.size);
    }
    if (!ok) {
      push_pending(c);
      release(c);
      JARNEL_ERR(LIB_BIO, F_OPEN, R_FAILED);
      return 0;
    }
    b->length = static_cast<std::int32_t>(c->info.size);
  }
  b->ptr = c;
  b->init = 1;
  return 1;
}

int r2_write(BIO* b, const char* data, int len) {
  ETR2_CONTEXT* c = context_of(b);
  if (!c || !(c->mode & BIO_FP_WRITE) || !c->contents) return -1;
  return BIO_write(contents_of(c), data, len);
}

int r2_read(BIO* b, char* out, int len) {
  ETR2_CONTEXT* c = context_of(b);
  if (!c || !(c->mode & BIO_FP_READ) || !c->contents) return -1;
  return BIO_read(contents_of(c), out, len);
}

int r2_puts(BIO* b, const char* str) {
  ETR2_CONTEXT* c = context_of(b);
  if (!c || !c->contents || !str) return 0;
  return BIO_puts(contents_of(c), str);
}

int r2_gets(BIO* b, char* buf, int size) {
  ETR2_CONTEXT* c = context_of(b);
  if (!c || !c->contents) return 0;
  int n = BIO_gets(contents_of(c), buf, size);
  if (n >= 2 && buf[n - 2] == '\r' && buf[n - 1] == '\n') {
    buf[n - 2] = '\n';
    buf[n - 1] = '\0';
    --n;
  }
  return n;
}

long r2_ctrl(BIO* b, int cmd, long num, void* ptr) {
  ETR2_CONTEXT* c = context_of(b);
  switch (cmd) {
    case BIO_CTRL_RESET:
    case BIO_CTRL_FLUSH: {
      if (!c) return 0;
      int r = (c->flags & 1) ? 1 : flush(c);
      if (c->contents) BIO_free(contents_of(c));
      c->contents = nullptr;
      if (c->path) mem_clear_free(c->path, std::strlen(c->path));
      c->path = nullptr;
      b->init = 0;
      return r;
    }
    case BIO_C_SET_FILENAME:
      if (!g_available) {
        JARNEL_ERR(LIB_BIO, F_OPEN, R_FAILED);
        ERR_add_error_data(2, "vendor library drumvex.dll", " is not loaded");
        return 0;
      }
      return open(b, num, static_cast<const char*>(ptr));
    case BIO_C_SET_PASSWD_CB:
      // The open parameters are copied at open; the reference itself is not kept.
      return 1;
    case BIO_C_SET_PRIVATE:
      if (!c) return 0;
      c->is_private = static_cast<int>(num);
      return 1;
    default:
      return 0;
  }
}

int r2_destroy(BIO* b) {
  if (!b) return 0;
  ETR2_CONTEXT* c = context_of(b);
  if (!c) return 1;
  int r = 1;
  if (!(c->flags & 1) && g_available) r = flush(c);
  release(c);
  b->ptr = nullptr;
  b->init = 0;
  return r;
}

const BIO_METHOD method = {BIO_TYPE_FILE, "eToken R2", r2_write, r2_read, r2_puts,
                           r2_gets,       r2_ctrl,     token_file_create, r2_destroy};

ERR_STRING_DATA g_strings[] = {
    {ERR_pack(LIB_ETOKEN, ETR2_F_INIT, 0), "ETOKEN_init"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_GET_CONFIG, 0), "ETOKEN_get_config"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_GET_FILE_INFO, 0), "ETOKEN_get_file_info"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_IS_FILE_EXIST, 0), "ETOKEN_is_file_exist"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_LOGIN, 0), "ETOKEN_login"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_LOGOUT, 0), "ETOKEN_logout"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_CHANGE_PASSWORD, 0), "ETOKEN_change_password"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_CREATE_DIRECTORY, 0), "ETOKEN_create_directory"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_CREATE_FILE, 0), "ETOKEN_create_file"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_DELETE, 0), "ETOKEN_delete"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_WRITE, 0), "ETOKEN_write"},
    {ERR_pack(LIB_ETOKEN, ETR2_F_READ, 0), "ETOKEN_read"},
    {0, nullptr}};

void* entry_new(const char* name, int is_directory, std::uint32_t size) {
  auto* e = static_cast<TOKEN_DIR_ENTRY*>(mem_alloc(sizeof(TOKEN_DIR_ENTRY)));
  if (!e) return nullptr;
  std::memset(e, 0, sizeof *e);
  std::snprintf(e->name, sizeof e->name, "%s", name ? name : "");
  e->is_directory = is_directory != 0;
  e->is_file = !e->is_directory;
  e->size = e->is_directory ? 0 : size;
  return e;
}

int entry_append(void* list, void* entry) {
  if (!entry) {
    JARNEL_ERR(LIB_ETOKEN, ETR2_F_FILE_INFO_NEW, R_MALLOC);
    return 0;
  }
  int r = TOKEN_DIR_LIST_push(static_cast<TOKEN_DIR_LIST*>(list),
                              static_cast<TOKEN_DIR_ENTRY*>(entry));
  mem_free(entry);
  if (!r) JARNEL_ERR(LIB_ETOKEN, ETR2_F_FILE_INFO_NEW, R_MALLOC);
  return r;
}

// The path's part before the colon (all of it without one), followed by suffix.
bool prefix_with(const char* path, const char* suffix, char (&out)[300]) {
  const char* p = path ? path : "eTR2";
  const char* colon = std::strchr(p, ':');
  std::size_t n = colon ? static_cast<std::size_t>(colon - p) : std::strlen(p);
  return std::snprintf(out, sizeof out, "%.*s%s", static_cast<int>(n), p, suffix) <
         static_cast<int>(sizeof out);
}

}  // namespace

const BIO_METHOD* BIO_s_etoken_r2() { return &method; }

void ERR_load_ETR2_strings() { ERR_load_strings(LIB_ETOKEN, g_strings); }

int ETR2_library_load() {
  if (g_available) return 1;
  void* pcsc = platform::dl_open("WinSCard.dll");
  if (!pcsc) return 0;
  platform::dl_close(pcsc);
  void* h = platform::dl_open("drumvex.dll");
  if (!h) return 0;
  void* slots[ETR2_CALLS];
  for (int i = 0; i < ETR2_CALLS; ++i) {
    slots[i] = platform::dl_symbol(h, ETR2_NAMES[i]);
    if (!slots[i]) {
      platform::dl_close(h);
      return 0;
    }
  }
  std::memcpy(&g_api, slots, sizeof g_api);
  g_handle = h;
  g_available = true;
  return 1;
}

void ETR2_library_unload() {
  if (g_handle) platform::dl_close(g_handle);
  g_handle = nullptr;
  g_available = false;
  std::memset(&g_api, 0, sizeof g_api);
}

int ETR2_available(const char*) { return g_available ? 1 : 0; }

int ETR2_stat(const char* path) {
  if (is_etoken_sdk_path(path))
    return ET_is_directory(path) ? CADB_S_IFDIR : ET_exists(path) ? CADB_S_IFREG : 0;
  if (!g_available || !path) return 0;
  ETR2_PATH p;
  ETR2_parse_path(path, &p);
  bool found = false;
  LockGuard whole(locks::ETR2);
  ETR2_CONTEXT* c = find_token(p, &found);
  int r = found ? (c->info.is_directory ? CADB_S_IFDIR : CADB_S_IFREG) : 0;
  release(c);
  return r;
}

int ETR2_get_info(const char* path, ETR2_FILE_INFO* out) {
  if (!g_available || !path || !out) return 0;
  ETR2_PATH p;
  ETR2_parse_path(path, &p);
  bool found = false;
  LockGuard whole(locks::ETR2);
  ETR2_CONTEXT* c = find_token(p, &found);
  if (found) *out = c->info;
  release(c);
  return found ? 1 : 0;
}

int ETR2_is_inserted(const char* path) {
  if (is_etoken_sdk_path(path)) return ET_is_inserted(path);
  char root[300];
  if (!prefix_with(path, ":/3f00", root)) return 0;
  int r = ETR2_stat(root) > 0;
  ERR_clear_error();
  return r;
}

int ETR2_logout(const char* path) {
  if (is_etoken_sdk_path(path)) return ET_logout(path);
  return 0;
}

int ETR2_delete(BIO* b) {
  ETR2_CONTEXT* c = b ? context_of(b) : nullptr;
  if (!g_available || !c || !c->path) return 0;
  LockGuard whole(locks::ETR2);
  if (!(c->flags & 1) && !flush(c)) return 0;
  c->flags |= 1;
  if (!g_api.remove(c, c->path)) {
    push_pending(c);
    JARNEL_ERR(LIB_BIO, F_FLUSH, R_FAILED);
    return 0;
  }
  return 1;
}

int ETR2_remove_directory(const char* path) {
  if (is_etoken_sdk_path(path)) return ET_remove_directory(path);
  if (!g_available || !path) return 0;
  ETR2_PATH p;
  ETR2_parse_path(path, &p);
  bool found = false;
  LockGuard whole(locks::ETR2);
  ETR2_CONTEXT* c = find_token(p, &found);
  int r = 0;
  if (found) {
    r = g_api.remove(c, c->path);
    if (!r) {
      push_pending(c);
      JARNEL_ERR(LIB_BIO, F_FLUSH, R_FAILED);
    }
  }
  release(c);
  return r;
}

int ETR2_list(const char* path, TOKEN_DIR_LIST* list) {
  if (is_etoken_sdk_path(path)) return ET_list(path, list);
  if (!g_available || !path || !list) return 0;
  ETR2_PATH p;
  ETR2_parse_path(path, &p);
  bool found = false;
  LockGuard whole(locks::ETR2);
  ETR2_CONTEXT* c = find_token(p, &found);
  int r = 0;
  if (found) {
    r = g_api.list_files(c, c->path, list, entry_new, entry_append);
    if (!r) {
      push_pending(c);
      JARNEL_ERR(LIB_BIO, F_FLUSH, R_FAILED);
    }
  }
  release(c);
  return r;
}

int ETR2_startup() { return ETR2_library_load(); }
void ETR2_shutdown() { ETR2_library_unload(); }

}  // namespace jarnel
