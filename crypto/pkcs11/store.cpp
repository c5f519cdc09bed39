// Keys, certificates and container items of a token reached by a token path: listing by name,
// existence and deletion by path.
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/mem_guard.h"
#include "crypto/pkcs11/pkcs11.h"
#include "crypto/pkcs11/store.h"

namespace jarnel {
namespace {

constexpr std::size_t kIdMax = 260;

struct Conn {
  PKCS11_OBJECT* c = PKCS11_OBJECT_new();
  ~Conn() { PKCS11_OBJECT_free(c); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  Conn() = default;
};

struct Template {
  PKCS11_TEMPLATE* t;
  explicit Template(Pkcs11Template kind) : t(PKCS11_template(kind)) {}
  ~Template() { PKCS11_TEMPLATE_free(t); }
  Template(const Template&) = delete;
  Template& operator=(const Template&) = delete;
};

// The path with every "/" turned into "\" and no trailing "\".
MemString normalised(const char* path) {
  MemString s(path);
  for (char& ch : s)
    if (ch == '/') ch = '\\';
  if (!s.empty() && s.back() == '\\') s.pop_back();
  return s;
}

// Opens a connection to the token of path.
bool open_path(Conn& conn, const MemString& path, void* callback_arg) {
  return conn.c && PKCS11_OBJECT_set_path(conn.c, path.c_str()) &&
         PKCS11_OBJECT_set_callback_arg(conn.c, callback_arg) && PKCS11_open(conn.c);
}

// CKA_ID of object h as text in *out; empty when it has none. False when it could not be asked
// for (memory ran out): a listing that passed such an object over would look complete.
bool object_id(PKCS11_OBJECT* c, CK_OBJECT_HANDLE h, MemString* out) {
  out->clear();
  c->object = h;
  char id[kIdMax + 1] = {};
  CK_ULONG n = kIdMax;
  int before = ERR_count_errors();
  CK_ULONG len = 0;
  if (!PKCS11_get_attribute(c, CKA_ID, nullptr, &len) || len > kIdMax ||
      !PKCS11_get_attribute(c, CKA_ID, id, &n)) {
    if (ERR_count_errors() > before && (ERR_peek_last_error() & 0xFFF) == R_MALLOC_FAILURE)
      return false;
    // An object without an identifier has no name; it is passed over, not an error.
    ERR_pop_to_count(before);
    ERR_set_token_error(0, TOKEN_ERR_NONE);
    return true;
  }
  out->assign(id, n);
  return true;
}

const char* const kItemLabels[] = {"mk.db3", "masks.db3", "kek.opq", "rand.opq"};

// The container item a file part names by its last component, or -1.
int item_of(const char* file) {
  if (!file) return -1;
  const char* base = std::strrchr(file, '\\');
  base = base ? base + 1 : file;
  for (int i = 0; i < 4; ++i)
    if (std::strcmp(base, kItemLabels[i]) == 0) return i;
  return -1;
}

}  // namespace

const char* PKCS11_item_label(int item) {
  return item >= 0 && item < 4 ? kItemLabels[item] : nullptr;
}

int PKCS11_list_objects(const char* path, unsigned flags, PKCS11_list_cb cb, void* arg) {
  return alloc_guard(LIB_PKCS11, PKCS11_F_LIST, 0, [&]() -> int {
    if (!path) {
      JARNEL_ERR(LIB_PKCS11, PKCS11_F_LIST, R_PASSED_NULL_PARAMETER);
      return 0;
    }
    MemString base = normalised(path);
    Conn conn;
    if (!open_path(conn, base, (flags & PKCS11_LIST_ARG_IS_CALLBACK_ARG) ? arg : nullptr)) {
      JARNEL_ERR(LIB_PKCS11, PKCS11_F_LIST, R_INTERNAL_ERROR);
      return 0;
    }
    struct Kind {
      unsigned flag;
      Pkcs11Template kind;
      CK_ULONG category;  // 0: any
    };
    const Kind kinds[] = {{PKCS11_LIST_PRIVATE_KEYS, Pkcs11Template::PrivateKeySearch, 0},
                          {PKCS11_LIST_PUBLIC_KEYS, Pkcs11Template::PublicKeySearch, 0},
                          {PKCS11_LIST_CERTIFICATES, Pkcs11Template::CertificateSearch, 0},
                          {PKCS11_LIST_CERTS_CATEGORY1, Pkcs11Template::CertificateSearch, 1},
                          {PKCS11_LIST_CERTS_CATEGORY2, Pkcs11Template::CertificateSearch, 2}};
    // Names are the token's root ("pkcs11[N]:\module") and the CKA_ID, whichever directory
    // below it is listed; only those directly inside it are kept unless recursing.
    MemString root = base.substr(0, base.find('\\', base.find(':') + 2));
    for (const Kind& k : kinds) {
      if (!(flags & k.flag)) continue;
      if (k.flag == PKCS11_LIST_PRIVATE_KEYS && !PKCS11_login(conn.c, 0)) return 0;
      Template t(k.kind);
      if (!t.t || (k.category && !PKCS11_TEMPLATE_add_ulong(t.t, CKA_CERTIFICATE_CATEGORY,
                                                            k.category)))
        return 0;
      MemVector<CK_OBJECT_HANDLE> handles;
      if (!PKCS11_find_all(conn.c, t.t, handles)) {
        JARNEL_ERR(LIB_PKCS11, PKCS11_F_LIST, R_INTERNAL_ERROR);
        return 0;
      }
      for (CK_OBJECT_HANDLE h : handles) {
        MemString id;
        if (!object_id(conn.c, h, &id)) {
          JARNEL_ERR(LIB_PKCS11, PKCS11_F_LIST, R_INTERNAL_ERROR);
          return 0;
        }
        if (id.empty()) continue;
        MemString name = root + "\\" + id;
        if (name.compare(0, base.size(), base) != 0 ||
            (name.size() > base.size() && name[base.size()] != '\\'))
          continue;  // outside the directory listed
        if (!(flags & PKCS11_LIST_RECURSE) && name.substr(0, name.rfind('\\')) != base) continue;
        if (cb && !cb(name.c_str(), arg)) return 0;
      }
    }
    return 1;
  });
}

int PKCS11_object_exists(const char* path) {
  return alloc_guard(LIB_PKCS11, PKCS11_F_EXISTS, 0, [&]() -> int {
    if (!path) return 0;
    MemString p = normalised(path);
    const char* file = PKCS11_file_part(p.c_str());
    if (!file) return 0;
    Conn conn;
    if (!open_path(conn, p, nullptr)) return 0;
    int item = item_of(file);
    if (item >= 0) {
      // A container item: the master-key object is private and seen only after login.
      Template t(Pkcs11Template::ContainerFile);
      if (!t.t || !PKCS11_TEMPLATE_add_string(t.t, CKA_LABEL, kItemLabels[item])) return 0;
      if (item == 0 && !PKCS11_login(conn.c, 0)) return 0;
      return PKCS11_find_one(conn.c, t.t);
    }
    std::size_t flen = std::strlen(file);
    for (Pkcs11Template kind : {Pkcs11Template::PublicKeySearch, Pkcs11Template::CertificateSearch}) {
      Template t(kind);
      MemVector<CK_OBJECT_HANDLE> handles;
      if (!t.t || !PKCS11_find_all(conn.c, t.t, handles)) return 0;
      for (CK_OBJECT_HANDLE h : handles) {
        MemString id;
        if (!object_id(conn.c, h, &id)) return 0;
        if (!id.empty() && id.compare(0, flen, file) == 0) return 1;
      }
    }
    return 0;
  });
}

int PKCS11_delete_by_path(const char* path, void* callback_arg) {
  return alloc_guard(LIB_PKCS11, PKCS11_F_DELETE, 0, [&]() -> int {
    if (!path) {
      JARNEL_ERR(LIB_PKCS11, PKCS11_F_DELETE, R_PASSED_NULL_PARAMETER);
      return 0;
    }
    MemString p = normalised(path);
    const char* file = PKCS11_file_part(p.c_str());
    Conn conn;
    if (!file || !open_path(conn, p, callback_arg) || !PKCS11_login(conn.c, 0)) {
      JARNEL_ERR(LIB_PKCS11, PKCS11_F_DELETE, R_INTERNAL_ERROR);
      return 0;
    }
    int item = item_of(file);
    if (item >= 0) return PKCS11_delete_item(item, conn.c);
    int before = ERR_count_errors();
    if (PKCS11_find_private_key(conn.c, file, nullptr)) return PKCS11_delete_key_pair(conn.c, file);
    if (ERR_count_errors() != before) return 0;
    return PKCS11_delete_certificate(conn.c, file);
  });
}

int PKCS11_is_inserted(const char* path) {
  return alloc_guard(LIB_PKCS11, PKCS11_F_SLOT_OF_PATH, 0, [&]() -> int {
    CK_SLOT_ID slot;
    int before = ERR_count_errors();
    int ok = path && PKCS11_slot_of_path(normalised(path).c_str(), &slot);
    // A query: its answer is the result, not an error.
    ERR_pop_to_count(before);
    return ok;
  });
}

int PKCS11_logout_path(const char* path) {
  return alloc_guard(LIB_PKCS11, PKCS11_F_LOGOUT, 0, [&]() -> int {
    if (!path) return 0;
    Conn conn;
    return open_path(conn, normalised(path), nullptr) && PKCS11_logout(conn.c);
  });
}

}  // namespace jarnel
