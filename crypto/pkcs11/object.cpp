// The object layer over a token connection: attribute templates, searching for one object,
// reading and writing attributes, creating and destroying objects, the mechanism check, and keys
// and certificates by name (their CKA_ID).
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pkcs11/pkcs11.h"
#include "crypto/pkcs11/store.h"

namespace jarnel {
namespace {

#define P11_FAIL(func, reason) JARNEL_ERR(LIB_PKCS11, (func), (reason))

bool connected(PKCS11_OBJECT* c, int func) {
  if (c && c->module && c->session) return true;
  P11_FAIL(func, R_PASSED_NULL_PARAMETER);
  return false;
}

CK_FUNCTION_LIST_PTR fns(PKCS11_OBJECT* c) { return c->module->functions; }

struct TemplatePtr {
  PKCS11_TEMPLATE* t;
  explicit TemplatePtr(PKCS11_TEMPLATE* p) : t(p) {}
  ~TemplatePtr() { PKCS11_TEMPLATE_free(t); }
  TemplatePtr(const TemplatePtr&) = delete;
  TemplatePtr& operator=(const TemplatePtr&) = delete;
};

// DER encodings of the parameter-set object identifiers.
constexpr unsigned char kParamsA[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
constexpr unsigned char kParamsB[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x02};
constexpr unsigned char kParamsC[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x03};
constexpr unsigned char kParamsXA[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00};
constexpr unsigned char kParamsXB[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x01};
constexpr unsigned char kHashParams[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
constexpr unsigned char kCipherParams[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01};

// Search template of a kind plus CKA_ID = name and, when given, CKA_LABEL = label; find one.
int find_named(PKCS11_OBJECT* c, Pkcs11Template kind, const char* name, const char* label) {
  if (!connected(c, PKCS11_F_FIND) || !name) {
    if (c && !name) P11_FAIL(PKCS11_F_FIND, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  TemplatePtr t(PKCS11_template(kind));
  if (!t.t || !PKCS11_TEMPLATE_add(t.t, CKA_ID, name, std::strlen(name)) ||
      (label && !PKCS11_TEMPLATE_add_string(t.t, CKA_LABEL, label)))
    return 0;
  return PKCS11_find_one(c, t.t);
}

}  // namespace

// ---- Templates -------------------------------------------------------------------------------

PKCS11_TEMPLATE* PKCS11_TEMPLATE_new() {
  auto* t = static_cast<PKCS11_TEMPLATE*>(mem_alloc(sizeof(PKCS11_TEMPLATE)));
  if (!t) {
    P11_FAIL(PKCS11_F_TEMPLATE, R_MALLOC_FAILURE);
    return nullptr;
  }
  t->count = 0;
  t->attributes = nullptr;
  return t;
}

int PKCS11_TEMPLATE_add(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, const void* value,
                        CK_ULONG length) {
  if (!t) {
    P11_FAIL(PKCS11_F_TEMPLATE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  void* copy = mem_alloc(length ? length : 1);
  if (!copy) {
    P11_FAIL(PKCS11_F_TEMPLATE, R_MALLOC_FAILURE);
    return 0;
  }
  if (value && length)
    std::memcpy(copy, value, length);
  else
    std::memset(copy, 0, length ? length : 1);
  if (CK_ATTRIBUTE* old = PKCS11_TEMPLATE_find(t, type)) {
    mem_clear_free(old->pValue, old->ulValueLen ? old->ulValueLen : 1);
    old->pValue = copy;
    old->ulValueLen = length;
    return 1;
  }
  auto* grown = static_cast<CK_ATTRIBUTE*>(
      mem_realloc(t->attributes, (t->count + 1) * sizeof(CK_ATTRIBUTE)));
  if (!grown) {
    // The copy may hold a private key or a PIN.
    mem_clear_free(copy, length ? length : 1);
    P11_FAIL(PKCS11_F_TEMPLATE, R_MALLOC_FAILURE);
    return 0;
  }
  t->attributes = grown;
  t->attributes[t->count++] = {type, copy, length};
  return 1;
}

int PKCS11_TEMPLATE_add_bool(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, bool value) {
  CK_BBOOL b = value ? CK_TRUE : CK_FALSE;
  return PKCS11_TEMPLATE_add(t, type, &b, sizeof b);
}

// Numbers go in the module's own CK_ULONG size: modules check the length of class, key type
// and certificate attributes against it.
int PKCS11_TEMPLATE_add_ulong(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
  return PKCS11_TEMPLATE_add(t, type, &value, sizeof value);
}

int PKCS11_TEMPLATE_add_string(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, const char* value) {
  if (!value) {
    P11_FAIL(PKCS11_F_TEMPLATE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  return PKCS11_TEMPLATE_add(t, type, value, std::strlen(value));
}

CK_ATTRIBUTE* PKCS11_TEMPLATE_find(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type) {
  if (!t) return nullptr;
  for (CK_ULONG i = 0; i < t->count; ++i)
    if (t->attributes[i].type == type) return &t->attributes[i];
  return nullptr;
}

void PKCS11_TEMPLATE_free(PKCS11_TEMPLATE* t) {
  if (!t) return;
  for (CK_ULONG i = 0; i < t->count; ++i)
    mem_clear_free(t->attributes[i].pValue,
                   t->attributes[i].ulValueLen ? t->attributes[i].ulValueLen : 1);
  mem_free(t->attributes);
  mem_free(t);
}

int PKCS11_TEMPLATE_set_gost_params(PKCS11_TEMPLATE* t, int nid) {
  const unsigned char* der = kParamsA;
  switch (nid) {
    case 284: der = kParamsB; break;
    case 285: der = kParamsC; break;
    case 286: der = kParamsXA; break;
    case 287: der = kParamsXB; break;
    default: break;
  }
  return PKCS11_TEMPLATE_add(t, CKA_GOSTR3410_PARAMS, der, sizeof kParamsA);
}

PKCS11_TEMPLATE* PKCS11_template(Pkcs11Template kind) {
  PKCS11_TEMPLATE* t = PKCS11_TEMPLATE_new();
  if (!t) return nullptr;
  bool ok = true;
  auto ul = [&](CK_ATTRIBUTE_TYPE a, CK_ULONG v) { ok = ok && PKCS11_TEMPLATE_add_ulong(t, a, v); };
  auto b = [&](CK_ATTRIBUTE_TYPE a, bool v) { ok = ok && PKCS11_TEMPLATE_add_bool(t, a, v); };
  auto s = [&](CK_ATTRIBUTE_TYPE a, const char* v) {
    ok = ok && PKCS11_TEMPLATE_add_string(t, a, v);
  };
  auto der = [&](CK_ATTRIBUTE_TYPE a, const unsigned char* v) {
    ok = ok && PKCS11_TEMPLATE_add(t, a, v, sizeof kParamsA);
  };
  switch (kind) {
    case Pkcs11Template::PrivateKeySearch:
      ul(CKA_CLASS, CKO_PRIVATE_KEY);
      b(CKA_TOKEN, true);
      break;
    case Pkcs11Template::PublicKeySearch:
      ul(CKA_CLASS, CKO_PUBLIC_KEY);
      b(CKA_TOKEN, true);
      break;
    case Pkcs11Template::CertificateSearch:
      ul(CKA_CLASS, CKO_CERTIFICATE);
      ul(CKA_CERTIFICATE_TYPE, CKC_X_509);
      b(CKA_TOKEN, true);
      break;
    case Pkcs11Template::PublicKeyFinal:
      ul(CKA_CLASS, CKO_PUBLIC_KEY);
      ul(CKA_KEY_TYPE, CKK_GOSTR3410);
      b(CKA_TOKEN, true);
      b(CKA_VERIFY, true);
      s(CKA_LABEL, "Halvorit public key object");
      break;
    case Pkcs11Template::PublicKeyTemporary:
      b(CKA_TOKEN, true);
      b(CKA_VERIFY, true);
      der(CKA_GOSTR3410_PARAMS, kParamsA);
      der(CKA_GOSTR3411_PARAMS, kHashParams);
      der(CKA_GOST28147_PARAMS, kCipherParams);
      s(CKA_LABEL, "Temporary public key object");
      break;
    case Pkcs11Template::PrivateKeyFinal:
    case Pkcs11Template::PrivateKeyTemporary: {
      bool final_key = kind == Pkcs11Template::PrivateKeyFinal;
      if (final_key) {
        ul(CKA_CLASS, CKO_PRIVATE_KEY);
        ul(CKA_KEY_TYPE, CKK_GOSTR3410);
      }
      b(CKA_TOKEN, true);
      b(CKA_PRIVATE, true);
      b(CKA_SENSITIVE, true);
      b(CKA_EXTRACTABLE, false);
      b(CKA_SIGN, true);
      s(CKA_LABEL, final_key ? "Halvorit private key object" : "Temporary private key object");
      break;
    }
    case Pkcs11Template::SessionSecretKey:
      ul(CKA_CLASS, CKO_SECRET_KEY);
      ul(CKA_KEY_TYPE, CKK_GOST28147);
      b(CKA_TOKEN, false);
      b(CKA_SENSITIVE, false);
      b(CKA_EXTRACTABLE, true);
      der(CKA_GOST28147_PARAMS, kCipherParams);
      break;
    case Pkcs11Template::ContainerFile:
      ul(CKA_CLASS, CKO_DATA);
      b(CKA_TOKEN, true);
      s(CKA_APPLICATION, PKCS11_APPLICATION);
      break;
  }
  if (!ok) {
    PKCS11_TEMPLATE_free(t);
    return nullptr;
  }
  return t;
}

// ---- Searching -------------------------------------------------------------------------------

int PKCS11_find_init(PKCS11_OBJECT* c, PKCS11_TEMPLATE* t) {
  if (!connected(c, PKCS11_F_FIND)) return 0;
  Pkcs11Lock lock(c);
  if (PKCS11_note(fns(c)->C_FindObjectsInit(c->session, t ? t->attributes : nullptr,
                                            t ? t->count : 0)) != CKR_OK) {
    P11_FAIL(PKCS11_F_FIND, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int PKCS11_find_next(PKCS11_OBJECT* c) {
  if (!connected(c, PKCS11_F_FIND)) return 0;
  Pkcs11Lock lock(c);
  CK_OBJECT_HANDLE h = 0;
  CK_ULONG n = 0;
  if (PKCS11_note(fns(c)->C_FindObjects(c->session, &h, 1, &n)) != CKR_OK) {
    P11_FAIL(PKCS11_F_FIND, R_INTERNAL_ERROR);
    return 0;
  }
  if (n != 1) return 0;
  c->object = h;
  return 1;
}

int PKCS11_find_final(PKCS11_OBJECT* c) {
  if (!connected(c, PKCS11_F_FIND)) return 0;
  Pkcs11Lock lock(c);
  if (PKCS11_note(fns(c)->C_FindObjectsFinal(c->session)) != CKR_OK) {
    P11_FAIL(PKCS11_F_FIND, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int PKCS11_find_one(PKCS11_OBJECT* c, PKCS11_TEMPLATE* t) {
  if (!connected(c, PKCS11_F_FIND)) return 0;
  Pkcs11Lock lock(c);
  if (!PKCS11_find_init(c, t)) return 0;
  int found = PKCS11_find_next(c);
  PKCS11_find_final(c);
  return found;
}

int PKCS11_find_private_key(PKCS11_OBJECT* c, const char* name, const char* label) {
  return find_named(c, Pkcs11Template::PrivateKeySearch, name, label);
}
int PKCS11_find_public_key(PKCS11_OBJECT* c, const char* name, const char* label) {
  return find_named(c, Pkcs11Template::PublicKeySearch, name, label);
}
int PKCS11_find_certificate(PKCS11_OBJECT* c, const char* name, const char* label) {
  return find_named(c, Pkcs11Template::CertificateSearch, name, label);
}

// ---- Attributes and objects ------------------------------------------------------------------

int PKCS11_get_attribute(PKCS11_OBJECT* c, CK_ATTRIBUTE_TYPE type, void* buffer,
                         CK_ULONG* length) {
  if (!connected(c, PKCS11_F_GET_ATTRIBUTE)) return 0;
  if (!length) {
    P11_FAIL(PKCS11_F_GET_ATTRIBUTE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Pkcs11Lock lock(c);
  TemplatePtr t(PKCS11_TEMPLATE_new());
  if (!t.t || !PKCS11_TEMPLATE_add(t.t, type, nullptr, buffer ? *length : 0)) return 0;
  // The module writes the length into the request; the template keeps its own for the wipe.
  CK_ATTRIBUTE request = t.t->attributes[0];
  CK_ATTRIBUTE* a = &request;
  if (!buffer) a->pValue = nullptr;
  CK_RV rv = fns(c)->C_GetAttributeValue(c->session, c->object, a, 1);
  if (rv == CKR_BUFFER_TOO_SMALL) {
    PKCS11_note(rv);
    P11_FAIL(PKCS11_F_GET_ATTRIBUTE, PKCS11_R_BUFFER_TOO_SMALL);
    return 0;
  }
  if (PKCS11_note(rv) != CKR_OK || a->ulValueLen == 0 ||
      a->ulValueLen == CK_UNAVAILABLE_INFORMATION) {
    P11_FAIL(PKCS11_F_GET_ATTRIBUTE, R_INTERNAL_ERROR);
    return 0;
  }
  if (buffer) std::memcpy(buffer, a->pValue, a->ulValueLen);
  *length = a->ulValueLen;
  return 1;
}

int PKCS11_set_attribute(PKCS11_OBJECT* c, PKCS11_TEMPLATE* t) {
  if (!connected(c, PKCS11_F_SET_ATTRIBUTE) || !t) return 0;
  Pkcs11Lock lock(c);
  if (PKCS11_note(fns(c)->C_SetAttributeValue(c->session, c->object, t->attributes, t->count)) !=
      CKR_OK) {
    P11_FAIL(PKCS11_F_SET_ATTRIBUTE, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int PKCS11_create(PKCS11_OBJECT* c, PKCS11_TEMPLATE* t) {
  if (!connected(c, PKCS11_F_CREATE) || !t) return 0;
  Pkcs11Lock lock(c);
  CK_OBJECT_HANDLE h = 0;
  if (PKCS11_note(fns(c)->C_CreateObject(c->session, t->attributes, t->count, &h)) != CKR_OK) {
    P11_FAIL(PKCS11_F_CREATE, R_INTERNAL_ERROR);
    return 0;
  }
  c->object = h;
  return 1;
}

int PKCS11_destroy(PKCS11_OBJECT* c) {
  if (!connected(c, PKCS11_F_DESTROY)) return 0;
  Pkcs11Lock lock(c);
  if (PKCS11_note(fns(c)->C_DestroyObject(c->session, c->object)) != CKR_OK) {
    P11_FAIL(PKCS11_F_DESTROY, R_INTERNAL_ERROR);
    return 0;
  }
  c->object = 0;
  return 1;
}

int PKCS11_destroy_all(PKCS11_OBJECT* c, PKCS11_TEMPLATE* t) {
  if (!connected(c, PKCS11_F_DESTROY)) return 0;
  Pkcs11Lock lock(c);
  for (;;) {
    int before = ERR_count_errors();
    if (!PKCS11_find_one(c, t)) return ERR_count_errors() == before ? 1 : 0;
    if (!PKCS11_destroy(c)) return 0;
  }
}

int PKCS11_has_mechanism(PKCS11_OBJECT* c, CK_MECHANISM_TYPE mechanism) {
  if (!connected(c, PKCS11_F_MECHANISM)) return 0;
  Pkcs11Lock lock(c);
  CK_ULONG n = 0;
  if (PKCS11_note(fns(c)->C_GetMechanismList(c->slot, nullptr, &n)) != CKR_OK) {
    P11_FAIL(PKCS11_F_MECHANISM, R_INTERNAL_ERROR);
    return 0;
  }
  if (n == 0) return 0;
  auto* list = static_cast<CK_MECHANISM_TYPE*>(mem_alloc(n * sizeof(CK_MECHANISM_TYPE)));
  if (!list) {
    P11_FAIL(PKCS11_F_MECHANISM, R_MALLOC_FAILURE);
    return 0;
  }
  int found = 0;
  if (PKCS11_note(fns(c)->C_GetMechanismList(c->slot, list, &n)) != CKR_OK) {
    P11_FAIL(PKCS11_F_MECHANISM, R_INTERNAL_ERROR);
  } else {
    for (CK_ULONG i = 0; i < n && !found; ++i) found = list[i] == mechanism;
  }
  mem_free(list);
  return found;
}

namespace {
int destroy_named(PKCS11_OBJECT* c, Pkcs11Template kind, const char* name) {
  TemplatePtr t(PKCS11_template(kind));
  if (!t.t || !PKCS11_TEMPLATE_add(t.t, CKA_ID, name, std::strlen(name))) return 0;
  return PKCS11_destroy_all(c, t.t);
}
}  // namespace

// Both halves are found before either goes, so that running out of memory on the way never
// leaves half a pair.
int PKCS11_delete_key_pair(PKCS11_OBJECT* c, const char* name) {
  if (!connected(c, PKCS11_F_DELETE) || !name) return 0;
  Pkcs11Lock lock(c);
  MemVector<CK_OBJECT_HANDLE> halves;
  for (Pkcs11Template kind : {Pkcs11Template::PrivateKeySearch, Pkcs11Template::PublicKeySearch}) {
    TemplatePtr t(PKCS11_template(kind));
    if (!t.t || !PKCS11_TEMPLATE_add(t.t, CKA_ID, name, std::strlen(name)) ||
        !PKCS11_find_all(c, t.t, halves))
      return 0;
  }
  for (CK_OBJECT_HANDLE h : halves) {
    c->object = h;
    if (!PKCS11_destroy(c)) return 0;
  }
  return 1;
}

int PKCS11_delete_certificate(PKCS11_OBJECT* c, const char* name) {
  if (!connected(c, PKCS11_F_DELETE) || !name) return 0;
  Pkcs11Lock lock(c);
  return destroy_named(c, Pkcs11Template::CertificateSearch, name);
}

}  // namespace jarnel
