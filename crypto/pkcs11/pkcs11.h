#pragma once
// PKCS#11 client: modules loaded by name and shared by the process, token connections with a
// session and a logged-in user, and the object layer over a connection (templates, searching,
// attributes, creation, deletion, listing by name).
//
// A token path: "pkcs11" (any case), an optional decimal slot index, ":\", the module name, "\",
// then the name of a file or key in the token ("/" may stand for "\"). The slot index counts
// every slot the module lists, with or without a token; without one the first slot holding an
// initialised token is used.
//
// Errors go to library 81; every PKCS#11 result other than CKR_OK is also recorded once per
// operation as the token error (source 3), so the first failing call is the one reported.
#include <cstddef>

#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/pkcs11/cryptoki.h"

namespace jarnel {

// Function codes (library 81).
inline constexpr int PKCS11_F_MODULE_NEW = 100, PKCS11_F_MODULE_GET_BY_NAME = 101,
                     PKCS11_F_PSE_READ = 102, PKCS11_F_SLOT_OF_PATH = 110,
                     PKCS11_F_OPEN = 111, PKCS11_F_LOGIN = 112, PKCS11_F_LOGOUT = 113,
                     PKCS11_F_TEMPLATE = 120, PKCS11_F_FIND = 121, PKCS11_F_GET_ATTRIBUTE = 122,
                     PKCS11_F_SET_ATTRIBUTE = 123, PKCS11_F_CREATE = 124, PKCS11_F_DESTROY = 125,
                     PKCS11_F_MECHANISM = 126, PKCS11_F_LIST = 127, PKCS11_F_DELETE = 128,
                     PKCS11_F_EXISTS = 129, PKCS11_F_PSE_WRITE = 166, PKCS11_F_PSE_ERASE = 168,
                     PKCS11_F_WRITE_ITEM = 169, PKCS11_F_DELETE_ITEM = 170,
                     PKCS11_F_READ_ITEM = 171;
// Reasons (library 81) beside the common 12, 33 and 35.
inline constexpr int PKCS11_R_MODULE_NOT_FOUND = 100, PKCS11_R_FUNCTION_NOT_FOUND = 101,
                     PKCS11_R_GET_FUNCTION_LIST = 102, PKCS11_R_INITIALIZE = 103,
                     PKCS11_R_BUFFER_TOO_SMALL = 105, PKCS11_R_LOGIN_FAILED = 106,
                     PKCS11_R_TOKEN_NOT_PRESENT = 107, PKCS11_R_TOKEN_INFO = 108,
                     PKCS11_R_OPEN_SESSION = 109;

inline constexpr int PKCS11_MODULE_NAME_MAX = 260;
inline constexpr CK_ULONG PKCS11_DEFAULT_MAX_PIN = 16;

struct PKCS11_SLOT {
  CK_SLOT_ID id;
  CK_SESSION_HANDLE session;  // the slot's shared, logged-in session; 0 = none
};

struct PKCS11_MODULE {
  char* name;
  void* library;
  CK_FUNCTION_LIST_PTR functions;
  CK_ULONG slot_count;
  PKCS11_SLOT* slots;
  int references;
  bool initialized;  // C_Initialize succeeded: C_Finalize is due at the last release
};

struct PKCS11_OBJECT {
  char* path;
  char* second_name;
  PKCS11_MODULE* module;
  CK_SLOT_ID slot;
  CK_TOKEN_INFO token_info;
  CK_SESSION_HANDLE session;
  CK_OBJECT_HANDLE object;  // set by searches and creation
  password_cb callback;
  void* callback_arg;
  MUTEX lock;
  unsigned flags;
};

// Records rv as the token error when it is not CKR_OK; returns rv.
CK_RV PKCS11_note(CK_RV rv);

// Modules.
PKCS11_MODULE* PKCS11_MODULE_new();
PKCS11_MODULE* PKCS11_MODULE_get_by_name(const char* name);
void PKCS11_MODULE_release(PKCS11_MODULE* module);
int PKCS11_MODULE_slot_index(const PKCS11_MODULE* module, CK_SLOT_ID id);
// Re-reads the module's slot list (shared sessions of slots still listed are kept).
int PKCS11_MODULE_refresh_slots(PKCS11_MODULE* module);
// References the module table holds and C_Initialize/C_Finalize calls made (for tests).
int PKCS11_module_count();

// Paths. parse: module name into name (PKCS11_MODULE_NAME_MAX + 1 bytes) and slot index (-1
// when none); 0 when the path is not a PKCS#11 path.
int PKCS11_parse_path(const char* path, char* name, int* slot_index);
// The file or key name after the module name (borrowed from path); null when there is none.
const char* PKCS11_file_part(const char* path);
// Slot ID for the path into *slot; 0 (token error CKR_TOKEN_NOT_PRESENT) when none fits.
int PKCS11_slot_of_path(const char* path, CK_SLOT_ID* slot);
int PKCS11_module_check(const char* path);

// Connections.
PKCS11_OBJECT* PKCS11_OBJECT_new();
void PKCS11_OBJECT_free(PKCS11_OBJECT* conn);
int PKCS11_OBJECT_set_path(PKCS11_OBJECT* conn, const char* path);
int PKCS11_OBJECT_set_second_name(PKCS11_OBJECT* conn, const char* name);
int PKCS11_OBJECT_set_callback_arg(PKCS11_OBJECT* conn, void* arg);
int PKCS11_OBJECT_set_callback(PKCS11_OBJECT* conn, password_cb cb);
int PKCS11_open(PKCS11_OBJECT* conn);
int PKCS11_login(PKCS11_OBJECT* conn, int force);
int PKCS11_logout(PKCS11_OBJECT* conn);
// The PIN length limit of the connection's token.
CK_ULONG PKCS11_max_pin(const PKCS11_OBJECT* conn);

// Holds a connection's mutex for a scope.
class Pkcs11Lock {
 public:
  explicit Pkcs11Lock(PKCS11_OBJECT* conn) : conn_(conn) { CRYPTO_lock_mutex(conn_->lock); }
  ~Pkcs11Lock() { CRYPTO_unlock_mutex(conn_->lock); }
  Pkcs11Lock(const Pkcs11Lock&) = delete;
  Pkcs11Lock& operator=(const Pkcs11Lock&) = delete;

 private:
  PKCS11_OBJECT* conn_;
};

// ---- Objects -------------------------------------------------------------------------------

struct PKCS11_TEMPLATE {
  CK_ULONG count;
  CK_ATTRIBUTE* attributes;
};

PKCS11_TEMPLATE* PKCS11_TEMPLATE_new();
// Copies value (a null value with a length gives that many zero bytes); a type already present
// gets the new value.
int PKCS11_TEMPLATE_add(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, const void* value,
                        CK_ULONG length);
int PKCS11_TEMPLATE_add_bool(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, bool value);
int PKCS11_TEMPLATE_add_ulong(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, CK_ULONG value);
int PKCS11_TEMPLATE_add_string(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, const char* value);
CK_ATTRIBUTE* PKCS11_TEMPLATE_find(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type);
// Zero-fills and frees every value.
void PKCS11_TEMPLATE_free(PKCS11_TEMPLATE* t);

// The fixed templates.
enum class Pkcs11Template {
  PrivateKeySearch,
  PublicKeySearch,
  CertificateSearch,
  PublicKeyFinal,
  PublicKeyTemporary,
  PrivateKeyFinal,
  PrivateKeyTemporary,
  SessionSecretKey,
  ContainerFile,
};
PKCS11_TEMPLATE* PKCS11_template(Pkcs11Template kind);
// Adds CKA_GOSTR3410_PARAMS for a GOST R 34.10-2001 parameter-set NID.
int PKCS11_TEMPLATE_set_gost_params(PKCS11_TEMPLATE* t, int nid);
inline constexpr char PKCS11_APPLICATION[] = "Halvorit software";

// Operations on a connection; each holds its mutex and returns 1 or 0.
int PKCS11_find_init(PKCS11_OBJECT* conn, PKCS11_TEMPLATE* t);
int PKCS11_find_next(PKCS11_OBJECT* conn);
int PKCS11_find_final(PKCS11_OBJECT* conn);
int PKCS11_find_one(PKCS11_OBJECT* conn, PKCS11_TEMPLATE* t);
int PKCS11_find_private_key(PKCS11_OBJECT* conn, const char* name, const char* label);
int PKCS11_find_public_key(PKCS11_OBJECT* conn, const char* name, const char* label);
int PKCS11_find_certificate(PKCS11_OBJECT* conn, const char* name, const char* label);
// Reads an attribute of the current object: with a null buffer only *length is set.
int PKCS11_get_attribute(PKCS11_OBJECT* conn, CK_ATTRIBUTE_TYPE type, void* buffer,
                         CK_ULONG* length);
int PKCS11_set_attribute(PKCS11_OBJECT* conn, PKCS11_TEMPLATE* t);
int PKCS11_create(PKCS11_OBJECT* conn, PKCS11_TEMPLATE* t);
int PKCS11_destroy(PKCS11_OBJECT* conn);
// Destroys every object the template matches; 1 also when there is none.
int PKCS11_destroy_all(PKCS11_OBJECT* conn, PKCS11_TEMPLATE* t);
int PKCS11_has_mechanism(PKCS11_OBJECT* conn, CK_MECHANISM_TYPE mechanism);
int PKCS11_delete_key_pair(PKCS11_OBJECT* conn, const char* name);
int PKCS11_delete_certificate(PKCS11_OBJECT* conn, const char* name);

// Listing: kind flags.
inline constexpr unsigned PKCS11_LIST_RECURSE = 1, PKCS11_LIST_PRIVATE_KEYS = 4,
                          PKCS11_LIST_CERTS_CATEGORY1 = 8, PKCS11_LIST_CERTS_CATEGORY2 = 16,
                          PKCS11_LIST_PUBLIC_KEYS = 32, PKCS11_LIST_CERTIFICATES = 64,
                          PKCS11_LIST_ARG_IS_CALLBACK_ARG = 0x80;
using PKCS11_list_cb = int (*)(const char* name, void* arg);
int PKCS11_list_objects(const char* path, unsigned flags, PKCS11_list_cb cb, void* arg);
int PKCS11_object_exists(const char* path);
// Deletes the item, key pair or certificate path names; callback_arg is the PIN call-back's
// argument for the login.
int PKCS11_delete_by_path(const char* path, void* callback_arg = nullptr);

}  // namespace jarnel
