// Certificates kept as PKCS#11 certificate objects named by their CKA_ID.
#include <openssl/x509.h>

#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/owners.h"
#include "crypto/pkcs11/store.h"
#include "crypto/pkcs11/token_keys.h"

namespace jarnel {
namespace {

#define TC_FAIL(func, reason) JARNEL_ERR(LIB_PKCS11, (func), (reason))

struct Conn {
  PKCS11_OBJECT* c = nullptr;
  ~Conn() { PKCS11_OBJECT_free(c); }
};
struct Template {
  PKCS11_TEMPLATE* t = nullptr;
  ~Template() { PKCS11_TEMPLATE_free(t); }
};

// Opens and logs in a connection to path; the name is its file part.
bool open_named(const char* path, void* callback_arg, int func, Conn* conn, const char** name) {
  *name = PKCS11_file_part(path);
  if (!*name || !**name) {
    TC_FAIL(func, R_PASSED_NULL_PARAMETER);
    return false;
  }
  conn->c = PKCS11_OBJECT_new();
  if (!conn->c || !PKCS11_OBJECT_set_path(conn->c, path) ||
      !PKCS11_OBJECT_set_callback_arg(conn->c, callback_arg) || !PKCS11_open(conn->c) ||
      !PKCS11_login(conn->c, 0)) {
    TC_FAIL(func, R_INTERNAL_ERROR);
    return false;
  }
  return true;
}

}  // namespace

int PKCS11_read_certificate(const char* path, void* callback_arg, CK_ULONG* category,
                            unsigned char** der, std::size_t* der_len) {
  constexpr int F = PKCS11_F_CERT_READ;
  if (!path || !category || !der || !der_len) {
    TC_FAIL(F, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Conn conn;
  const char* name;
  if (!open_named(path, callback_arg, F, &conn, &name)) return 0;
  if (!PKCS11_find_certificate(conn.c, name, nullptr)) {
    TC_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  CK_ULONG cat = 0, cat_len = sizeof cat, len = 0;
  if (!PKCS11_get_attribute(conn.c, CKA_CERTIFICATE_CATEGORY, &cat, &cat_len) ||
      cat_len > sizeof cat || !PKCS11_get_attribute(conn.c, CKA_VALUE, nullptr, &len)) {
    TC_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  auto* buf = static_cast<unsigned char*>(mem_alloc(len));
  if (!buf) {
    TC_FAIL(F, R_MALLOC_FAILURE);
    return 0;
  }
  if (!PKCS11_get_attribute(conn.c, CKA_VALUE, buf, &len)) {
    mem_free(buf);
    TC_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  *category = cat;
  *der = buf;
  *der_len = len;
  return 1;
}

int PKCS11_write_certificate(const char* path, void* callback_arg, CK_ULONG category,
                             const unsigned char* der, std::size_t der_len) {
  constexpr int F = PKCS11_F_CERT_WRITE;
  if (!path || !der || der_len == 0) {
    TC_FAIL(F, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  // The subject comes from the certificate itself.
  const unsigned char* p = der;
  Owned<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(der_len)));
  unsigned char* subject = nullptr;
  int subject_len = cert ? i2d_X509_NAME(X509_get_subject_name(cert.get()), &subject) : -1;
  if (!cert || p != der + der_len || subject_len <= 0) {
    OPENSSL_free(subject);
    TC_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  Conn conn;
  const char* name = nullptr;
  Template t, search;
  // The certificates stored under the name already are found before the new one is made and
  // go once it is there, so a name never holds two and a failed write loses nothing.
  MemVector<CK_OBJECT_HANDLE> older;
  bool ok = open_named(path, callback_arg, F, &conn, &name) &&
            (search.t = PKCS11_template(Pkcs11Template::CertificateSearch)) != nullptr &&
            PKCS11_TEMPLATE_add(search.t, CKA_ID, name, std::strlen(name)) &&
            PKCS11_find_all(conn.c, search.t, older) &&
            (t.t = PKCS11_template(Pkcs11Template::CertificateSearch)) != nullptr &&
            PKCS11_TEMPLATE_add_ulong(t.t, CKA_CERTIFICATE_CATEGORY, category) &&
            PKCS11_TEMPLATE_add(t.t, CKA_VALUE, der, der_len) &&
            PKCS11_TEMPLATE_add(t.t, CKA_SUBJECT, subject, static_cast<CK_ULONG>(subject_len)) &&
            PKCS11_TEMPLATE_add(t.t, CKA_ID, name, std::strlen(name)) &&
            PKCS11_TEMPLATE_add_string(t.t, CKA_LABEL, PKCS11_LABEL_CERTIFICATE);
  OPENSSL_free(subject);
  if (!ok || !PKCS11_create(conn.c, t.t)) {
    TC_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  CK_OBJECT_HANDLE made = conn.c->object;
  for (CK_OBJECT_HANDLE h : older) {
    conn.c->object = h;
    PKCS11_destroy(conn.c);
  }
  conn.c->object = made;
  return 1;
}

}  // namespace jarnel
