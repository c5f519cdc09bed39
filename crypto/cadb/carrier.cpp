// The table of carrier records, the choice of a record by path, the start-up and shut-down of
// the drivers, and the functions of carriers whose support is not built.
#include "crypto/cadb/carrier.h"

#include <cstdio>
#include <cstring>

#include "crypto/bio/bio.h"
#include "crypto/cadb/token_dir.h"
#include "crypto/err/err.h"
#include "crypto/str.h"
#include "platform/fs.h"

namespace jarnel {
namespace {

// Start-up order; the file system takes every path the others leave and so comes last.
constexpr const CARRIER* TABLE[] = {
    &CARRIER_etoken_r2, &CARRIER_etoken, &CARRIER_rutoken,     &CARRIER_ibutton,
    &CARRIER_pkcs11,    &CARRIER_file_system,
};

bool claims(const CARRIER& c, const char* path) {
  if (!c.prefixes) return false;
  for (const char* const* p = c.prefixes; *p; ++p)
    if (ascii_has_prefix(path, *p)) return true;
  return false;
}

}  // namespace

std::span<const CARRIER* const> CARRIER_table() { return TABLE; }

const CARRIER* CARRIER_for_path(const char* path) {
  if (!path) return &CARRIER_file_system;
  for (const CARRIER* c : TABLE)
    if (claims(*c, path)) return c;
  return &CARRIER_file_system;
}

const CARRIER* CARRIER_of_kind(Carrier kind) {
  for (const CARRIER* c : TABLE)
    if (c->kind == kind) return c;
  return &CARRIER_file_system;
}

Carrier CADB_carrier_of(const char* path) { return CARRIER_for_path(path)->kind; }

int CADB_is_token_path(const char* path) {
  return CARRIER_for_path(path) != &CARRIER_file_system;
}

void CARRIER_startup_all() {
  for (const CARRIER* c : TABLE)
    if (c->startup) c->startup();
}

void CARRIER_shutdown_all() {
  for (std::size_t i = std::size(TABLE); i-- > 0;)
    if (TABLE[i]->shutdown) TABLE[i]->shutdown();
}

void CARRIER_set_passwd_cb_all(password_cb cb) {
  for (const CARRIER* c : TABLE)
    if (c->set_passwd_cb) c->set_passwd_cb(cb);
}

int CARRIER_absent_query(const char*) { return 0; }
int CARRIER_absent_list(const char*, unsigned, CADB_list_callback, void*) { return 0; }
int CARRIER_absent_erase(BIO**, const char*) { return 0; }

long CARRIER_absent_bio_ctrl(BIO*, int cmd, long, void*) {
  if (cmd == BIO_C_SET_FILENAME) JARNEL_ERR(LIB_BIO, BIO_F_BIO_CTRL, BIO_R_UNSUPPORTED_METHOD);
  return 0;
}

int CARRIER_absent_bio_destroy(BIO* b) { return b ? 1 : 0; }

int CARRIER_report(const char* path, CADB_list_callback cb, void* arg) {
  return cb ? (cb(path, arg) ? 1 : 0) : 1;
}

namespace {
unsigned fs_mode(const char* path) {
  platform::FileStatus st{};
  return platform::fs_stat(path, &st) ? st.mode : 0;
}
}  // namespace

int CARRIER_fs_is_file(const char* path) { return (fs_mode(path) & CADB_S_IFREG) != 0; }
int CARRIER_fs_is_directory(const char* path) { return (fs_mode(path) & CADB_S_IFDIR) != 0; }

long CARRIER_fs_length(const char* path) {
  platform::FileStatus st{};
  if (!platform::fs_stat(path, &st)) return -1;
  // A directory has no length of its own (the POSIX directory size is the system's book-keeping).
  if (st.mode & CADB_S_IFDIR) return 0;
  return static_cast<long>(st.size);
}

int CARRIER_list_entries(const char* p, unsigned flags, CADB_list_callback cb, void* arg,
                         int (*exists)(const char*), int (*is_directory)(const char*),
                         int (*list_fn)(const char*, TOKEN_DIR_LIST*)) {
  if (!exists(p)) return 0;
  if (!is_directory(p)) return CARRIER_report(p, cb, arg);
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
    result = CARRIER_report(full, cb, arg);
  }
  TOKEN_DIR_LIST_free(list);
  return result;
}

}  // namespace jarnel
