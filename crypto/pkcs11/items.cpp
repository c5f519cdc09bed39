// Container items as data objects: found by the container-file template and their label, the
// contents in CKA_VALUE.
#include "crypto/err/err.h"
#include "crypto/mem_guard.h"
#include "crypto/pkcs11/store.h"

namespace jarnel {
namespace {

struct Template {
  PKCS11_TEMPLATE* t = nullptr;
  Template() = default;
  ~Template() { PKCS11_TEMPLATE_free(t); }
  Template(const Template&) = delete;
  Template& operator=(const Template&) = delete;
};

// The item's template: the container-file template, its label and, for the master key,
// CKA_PRIVATE. 0 when the item number is out of range.
bool item_template(int item, int func, Template& out) {
  const char* label = PKCS11_item_label(item);
  if (!label) {
    JARNEL_ERR(LIB_PKCS11, func, R_INTERNAL_ERROR);
    return false;
  }
  out.t = PKCS11_template(Pkcs11Template::ContainerFile);
  return out.t && PKCS11_TEMPLATE_add_string(out.t, CKA_LABEL, label) &&
         (item != 0 || PKCS11_TEMPLATE_add_bool(out.t, CKA_PRIVATE, true));
}

bool destroy_handles(PKCS11_OBJECT* c, const MemVector<CK_OBJECT_HANDLE>& handles) {
  for (CK_OBJECT_HANDLE h : handles) {
    c->object = h;
    if (!PKCS11_destroy(c)) return false;
  }
  return true;
}

}  // namespace

int PKCS11_find_all(PKCS11_OBJECT* c, PKCS11_TEMPLATE* t, MemVector<CK_OBJECT_HANDLE>& out) {
  if (!PKCS11_find_init(c, t)) return 0;
  bool ok = true;
  for (;;) {
    int before = ERR_count_errors();
    if (!PKCS11_find_next(c)) {
      ok = ERR_count_errors() == before;
      break;
    }
    const CK_OBJECT_HANDLE h = c->object;
    if (!alloc_guard(LIB_PKCS11, PKCS11_F_FIND, false, [&] {
          out.push_back(h);
          return true;
        })) {
      ok = false;
      break;
    }
  }
  return PKCS11_find_final(c) && ok ? 1 : 0;
}

int PKCS11_read_item(int item, PKCS11_OBJECT* c, unsigned char* buffer, CK_ULONG* length) {
  Template t;
  if (!c || !length) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_READ_ITEM, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!item_template(item, PKCS11_F_READ_ITEM, t)) return 0;
  Pkcs11Lock lock(c);
  if (!PKCS11_find_one(c, t.t) || !PKCS11_get_attribute(c, CKA_VALUE, buffer, length)) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_READ_ITEM, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int PKCS11_item_objects(int item, PKCS11_OBJECT* c, MemVector<CK_OBJECT_HANDLE>& out) {
  Template t;
  if (!c) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_READ_ITEM, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!item_template(item, PKCS11_F_READ_ITEM, t)) return 0;
  Pkcs11Lock lock(c);
  return PKCS11_find_all(c, t.t, out);
}

int PKCS11_create_item(int item, const unsigned char* contents, CK_ULONG length,
                       PKCS11_OBJECT* c, CK_OBJECT_HANDLE* made) {
  Template t;
  if (!c || !contents) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_WRITE_ITEM, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!item_template(item, PKCS11_F_WRITE_ITEM, t)) return 0;
  Pkcs11Lock lock(c);
  // Items other than the master key are public; some modules make data objects private
  // unless told otherwise.
  if ((item != 0 && !PKCS11_TEMPLATE_add_bool(t.t, CKA_PRIVATE, false)) ||
      !PKCS11_TEMPLATE_add(t.t, CKA_VALUE, contents, length) || !PKCS11_create(c, t.t)) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_WRITE_ITEM, R_INTERNAL_ERROR);
    return 0;
  }
  if (made) *made = c->object;
  return 1;
}

int PKCS11_destroy_objects(PKCS11_OBJECT* c, const MemVector<CK_OBJECT_HANDLE>& handles) {
  if (!c) return 0;
  Pkcs11Lock lock(c);
  return destroy_handles(c, handles) ? 1 : 0;
}

// The new object is made before the old ones go, so that a failure leaves the item as it was.
int PKCS11_write_item(int item, const unsigned char* contents, CK_ULONG length,
                      PKCS11_OBJECT* c) {
  if (!c) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_WRITE_ITEM, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Pkcs11Lock lock(c);
  MemVector<CK_OBJECT_HANDLE> old;
  CK_OBJECT_HANDLE made = 0;
  if (!PKCS11_item_objects(item, c, old) || !PKCS11_create_item(item, contents, length, c, &made))
    return 0;
  bool ok = destroy_handles(c, old);
  c->object = made;
  if (!ok) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_WRITE_ITEM, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int PKCS11_delete_item(int item, PKCS11_OBJECT* c) {
  Template t;
  if (!c) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_DELETE_ITEM, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!item_template(item, PKCS11_F_DELETE_ITEM, t)) return 0;
  Pkcs11Lock lock(c);
  MemVector<CK_OBJECT_HANDLE> handles;
  // Every handle is collected before the first goes, so running out of memory destroys nothing.
  if (!PKCS11_find_all(c, t.t, handles) || !destroy_handles(c, handles)) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_DELETE_ITEM, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int PKCS11_update_random_state(PKCS11_OBJECT* c, const unsigned char* contents,
                               CK_ULONG length) {
  Template t;
  if (!c || !contents) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_WRITE_ITEM, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!item_template(3, PKCS11_F_WRITE_ITEM, t)) return 0;
  Pkcs11Lock lock(c);
  int before = ERR_count_errors();
  if (!PKCS11_find_one(c, t.t)) {
    if (ERR_count_errors() != before) return 0;
    return PKCS11_write_item(3, contents, length, c);
  }
  Template value;
  value.t = PKCS11_TEMPLATE_new();
  if (!value.t || !PKCS11_TEMPLATE_add(value.t, CKA_VALUE, contents, length)) return 0;
  std::uint32_t code = ERR_get_token_error(), source = ERR_get_token_error_source();
  CK_RV rv = c->module->functions->C_SetAttributeValue(c->session, c->object, value.t->attributes,
                                                      value.t->count);
  if (rv == CKR_OK) return 1;
  // Modules may keep a data object's value fixed once made; the object is replaced then.
  if (rv == CKR_ATTRIBUTE_READ_ONLY || rv == CKR_ACTION_PROHIBITED ||
      rv == CKR_ATTRIBUTE_TYPE_INVALID) {
    if (!PKCS11_write_item(3, contents, length, c)) return 0;
    ERR_set_token_error(code, source);
    return 1;
  }
  PKCS11_note(rv);
  JARNEL_ERR(LIB_PKCS11, PKCS11_F_WRITE_ITEM, R_INTERNAL_ERROR);
  return 0;
}

}  // namespace jarnel
