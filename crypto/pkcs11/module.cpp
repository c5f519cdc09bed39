// PKCS#11 module binding: the process-wide table of loaded modules (lock 36), token paths,
// connections with their sessions, and login over the per-slot shared session.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/str.h"
#include "crypto/pkcs11/pkcs11.h"
#include "platform/dl.h"
#include "platform/mutex.h"

namespace jarnel {
namespace {

// ---- Module table ----------------------------------------------------------------------------

struct TableEntry {
  PKCS11_MODULE* module;
  TableEntry* next;
};
constexpr unsigned kBuckets = 16;
struct ModuleTable {
  TableEntry* buckets[kBuckets];
};
ModuleTable* g_table = nullptr;
int g_starts = 0;
password_cb g_default_cb = nullptr;

// Closes the sessions of every module this process initialised and finalises it, once. Run
// from the exit handlers: a module written in C++ (SoftHSM2) registers the destructors of its
// global objects when it is loaded, and the exit handlers run before the libraries' own
// finalisers, so a C_Finalize left to the library's end would call into a module already torn
// down and crash the process (in a JVM: the virtual machine at System.exit). Each load
// registers this handler after the module's, so it runs before them. The module stays loaded
// and in the table; its later release finds nothing left to close or finalise.
void finalize_modules_at_exit() {
  LockGuard guard(locks::PKCS11);
  if (!g_table) return;
  for (TableEntry* e : g_table->buckets)
    for (; e; e = e->next) {
      PKCS11_MODULE* m = e->module;
      if (!m->functions) continue;
      for (CK_ULONG i = 0; i < m->slot_count; ++i)
        if (m->slots[i].session) {
          m->functions->C_CloseSession(m->slots[i].session);
          m->slots[i].session = 0;
        }
      if (m->initialized) m->functions->C_Finalize(nullptr);
      m->initialized = false;
    }
}

// XOR of the name's successive 4-byte chunks, the last one zero-padded.
unsigned long name_hash(const char* name) {
  unsigned long h = 0;
  std::size_t n = std::strlen(name);
  for (std::size_t i = 0; i < n; i += 4) {
    unsigned char chunk[4] = {};
    std::memcpy(chunk, name + i, n - i < 4 ? n - i : 4);
    h ^= static_cast<unsigned long>(chunk[0]) | static_cast<unsigned long>(chunk[1]) << 8 |
         static_cast<unsigned long>(chunk[2]) << 16 | static_cast<unsigned long>(chunk[3]) << 24;
  }
  return h;
}

PKCS11_MODULE* table_find(const char* name) {
  if (!g_table) return nullptr;
  for (TableEntry* e = g_table->buckets[name_hash(name) % kBuckets]; e; e = e->next)
    if (std::strcmp(e->module->name, name) == 0) return e->module;
  return nullptr;
}

bool table_insert(PKCS11_MODULE* m) {
  if (!g_table) {
    g_table = static_cast<ModuleTable*>(mem_alloc(sizeof(ModuleTable)));
    if (!g_table) return false;
    std::memset(g_table, 0, sizeof *g_table);
  }
  auto* e = static_cast<TableEntry*>(mem_alloc(sizeof(TableEntry)));
  if (!e) return false;
  TableEntry*& head = g_table->buckets[name_hash(m->name) % kBuckets];
  e->module = m;
  e->next = head;
  head = e;
  return true;
}

// ---- OS locking for the module ---------------------------------------------------------------

CK_RV create_mutex(CK_VOID_PTR_PTR out) {
  if (!out) return CKR_ARGUMENTS_BAD;
  platform::Mutex* m = platform::mutex_create();
  if (!m) return CKR_HOST_MEMORY;
  *out = m;
  return CKR_OK;
}
CK_RV destroy_mutex(CK_VOID_PTR m) {
  if (!m) return CKR_MUTEX_BAD;
  platform::mutex_destroy(static_cast<platform::Mutex*>(m));
  return CKR_OK;
}
CK_RV lock_mutex(CK_VOID_PTR m) {
  return platform::mutex_lock(static_cast<platform::Mutex*>(m)) ? CKR_OK : CKR_MUTEX_BAD;
}
CK_RV unlock_mutex(CK_VOID_PTR m) {
  return platform::mutex_unlock(static_cast<platform::Mutex*>(m)) ? CKR_OK
                                                                    : CKR_MUTEX_NOT_LOCKED;
}

#define P11_ERR(func, reason) JARNEL_ERR(LIB_PKCS11, (func), (reason))

// Reads the slot list into the module, keeping the shared sessions of slots still listed and
// closing those of slots gone. Lock 36 held.
bool read_slots(PKCS11_MODULE* m) {
  CK_ULONG n = 0;
  if (PKCS11_note(m->functions->C_GetSlotList(CK_FALSE, nullptr, &n)) != CKR_OK) return false;
  CK_SLOT_ID* ids = nullptr;
  if (n) {
    ids = static_cast<CK_SLOT_ID*>(mem_alloc(n * sizeof(CK_SLOT_ID)));
    if (!ids) return false;
    if (PKCS11_note(m->functions->C_GetSlotList(CK_FALSE, ids, &n)) != CKR_OK) {
      mem_free(ids);
      return false;
    }
  }
  auto* slots = static_cast<PKCS11_SLOT*>(mem_alloc((n ? n : 1) * sizeof(PKCS11_SLOT)));
  if (!slots) {
    mem_free(ids);
    return false;
  }
  for (CK_ULONG i = 0; i < n; ++i) {
    slots[i] = {ids[i], 0};
    int old = PKCS11_MODULE_slot_index(m, ids[i]);
    if (old >= 0) {
      slots[i].session = m->slots[old].session;
      m->slots[old].session = 0;
    }
  }
  for (CK_ULONG i = 0; i < m->slot_count; ++i)
    if (m->slots[i].session) m->functions->C_CloseSession(m->slots[i].session);
  mem_free(m->slots);
  mem_free(ids);
  m->slots = slots;
  m->slot_count = n;
  return true;
}

}  // namespace

CK_RV PKCS11_note(CK_RV rv) {
  if (rv != CKR_OK) ERR_set_token_error_once(static_cast<std::uint32_t>(rv), TOKEN_ERR_PKCS11);
  return rv;
}

PKCS11_MODULE* PKCS11_MODULE_new() {
  auto* m = static_cast<PKCS11_MODULE*>(mem_alloc(sizeof(PKCS11_MODULE)));
  if (!m) {
    P11_ERR(PKCS11_F_MODULE_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(m, 0, sizeof *m);
  m->references = 1;
  return m;
}

void PKCS11_MODULE_release(PKCS11_MODULE* m) {
  if (!m) return;
  LockGuard guard(locks::PKCS11);
  if (--m->references > 0) return;
  if (m->functions) {
    for (CK_ULONG i = 0; i < m->slot_count; ++i)
      if (m->slots[i].session) m->functions->C_CloseSession(m->slots[i].session);
    if (m->initialized) m->functions->C_Finalize(nullptr);
  }
  platform::dl_close(m->library);
  mem_free(m->slots);
  mem_free(m->name);
  mem_free(m);
}

PKCS11_MODULE* PKCS11_MODULE_get_by_name(const char* name) {
  if (!name) {
    P11_ERR(PKCS11_F_MODULE_GET_BY_NAME, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  if (std::strlen(name) > static_cast<std::size_t>(PKCS11_MODULE_NAME_MAX)) {
    P11_ERR(PKCS11_F_MODULE_GET_BY_NAME, PKCS11_R_MODULE_NOT_FOUND);
    return nullptr;
  }
  LockGuard guard(locks::PKCS11);
  if (PKCS11_MODULE* found = table_find(name)) {
    ++found->references;
    return found;
  }
  PKCS11_MODULE* m = PKCS11_MODULE_new();
  if (!m) return nullptr;
  int reason = 0;
  do {
    reason = R_MALLOC_FAILURE;
    m->name = mem_strdup(name);
    if (!m->name) break;
    char file[PKCS11_MODULE_NAME_MAX + 8];
    std::strcpy(file, name);
    std::strcat(file, ".dll");
    m->library = platform::dl_open(file);
    if (!m->library) {
      P11_ERR(PKCS11_F_MODULE_GET_BY_NAME, PKCS11_R_MODULE_NOT_FOUND);
      ERR_add_error_data(1, file);
      reason = 0;
      break;
    }
    reason = PKCS11_R_FUNCTION_NOT_FOUND;
    auto get_list =
        reinterpret_cast<CK_C_GetFunctionList>(platform::dl_symbol(m->library, "C_GetFunctionList"));
    if (!get_list) break;
    reason = PKCS11_R_GET_FUNCTION_LIST;
    if (PKCS11_note(get_list(&m->functions)) != CKR_OK || !m->functions) {
      m->functions = nullptr;
      break;
    }
    reason = PKCS11_R_INITIALIZE;
    CK_C_INITIALIZE_ARGS args = {};
    args.CreateMutex = create_mutex;
    args.DestroyMutex = destroy_mutex;
    args.LockMutex = lock_mutex;
    args.UnlockMutex = unlock_mutex;
    args.flags = CKF_OS_LOCKING_OK;
    args.pReserved = nullptr;
    CK_RV rv = m->functions->C_Initialize(&args);
    // Another user in the process initialised the module: it is ours to use but not to
    // finalise.
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
      PKCS11_note(rv);
      break;
    }
    m->initialized = rv == CKR_OK;
    CK_INFO info;
    if (PKCS11_note(m->functions->C_GetInfo(&info)) != CKR_OK) break;
    if (!read_slots(m)) break;
    reason = R_MALLOC_FAILURE;
    if (!table_insert(m)) break;
    ++m->references;  // the table's
    if (m->initialized) std::atexit(finalize_modules_at_exit);
    reason = -1;
  } while (false);
  if (reason >= 0) {
    if (reason) P11_ERR(PKCS11_F_MODULE_GET_BY_NAME, reason);
    PKCS11_MODULE_release(m);
    return nullptr;
  }
  return m;
}

int PKCS11_MODULE_slot_index(const PKCS11_MODULE* m, CK_SLOT_ID id) {
  if (!m) return -1;
  for (CK_ULONG i = 0; i < m->slot_count; ++i)
    if (m->slots[i].id == id) return static_cast<int>(i);
  return -1;
}

int PKCS11_MODULE_refresh_slots(PKCS11_MODULE* m) {
  LockGuard guard(locks::PKCS11);
  return m && read_slots(m) ? 1 : 0;
}

int PKCS11_module_count() {
  LockGuard guard(locks::PKCS11);
  int n = 0;
  if (g_table)
    for (TableEntry* e : g_table->buckets)
      for (; e; e = e->next) ++n;
  return n;
}

// ---- Start-up --------------------------------------------------------------------------------

int PKCS11_startup() {
  LockGuard guard(locks::PKCS11);
  ++g_starts;
  return 1;
}

void PKCS11_shutdown() {
  LockGuard guard(locks::PKCS11);
  if (g_starts == 0 || --g_starts > 0) return;
  if (!g_table) return;
  ModuleTable* table = g_table;
  g_table = nullptr;
  for (TableEntry* e : table->buckets)
    while (e) {
      TableEntry* next = e->next;
      PKCS11_MODULE_release(e->module);
      mem_free(e);
      e = next;
    }
  mem_free(table);
}

void PKCS11_set_default_passwd_cb(password_cb cb) { g_default_cb = cb; }

// ---- Paths -----------------------------------------------------------------------------------

int PKCS11_parse_path(const char* path, char* name, int* slot_index) {
  if (!path || ascii_strncasecmp(path, "pkcs11", 6) != 0) return 0;
  const char* p = path + 6;
  int index = -1;
  if (std::strlen(path) >= 7 && std::isdigit(static_cast<unsigned char>(*p))) {
    long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*p)) && v < 1000000) v = v * 10 + (*p++ - '0');
    if (std::isdigit(static_cast<unsigned char>(*p))) return 0;
    index = static_cast<int>(v);
  }
  if (p[0] != ':' || (p[1] != '\\' && p[1] != '/')) return 0;
  p += 2;
  std::size_t n = std::strcspn(p, "\\/");
  if (n == 0 || n > static_cast<std::size_t>(PKCS11_MODULE_NAME_MAX)) return 0;
  if (name) {
    std::memcpy(name, p, n);
    name[n] = '\0';
  }
  if (slot_index) *slot_index = index;
  return 1;
}

const char* PKCS11_file_part(const char* path) {
  if (!PKCS11_parse_path(path, nullptr, nullptr)) return nullptr;
  const char* p = std::strpbrk(path, ":") + 2;
  p += std::strcspn(p, "\\/");
  return *p ? p + 1 : nullptr;
}

int PKCS11_module_check(const char* path) {
  char name[PKCS11_MODULE_NAME_MAX + 1];
  if (!PKCS11_parse_path(path, name, nullptr)) return 0;
  PKCS11_MODULE* m = PKCS11_MODULE_get_by_name(name);
  PKCS11_MODULE_release(m);
  return m ? 1 : 0;
}

namespace {

// Slot choice on a module already loaded. With an index, the slot at that position of the
// full list when it holds a token. Without one, the first slot whose token is initialised, else
// the first with any token: some modules list a spare slot with a blank token first.
int choose_slot(PKCS11_MODULE* m, int index, CK_SLOT_ID* out) {
  LockGuard guard(locks::PKCS11);
  if (!read_slots(m)) return 0;
  int blank = -1;
  for (CK_ULONG i = 0; i < m->slot_count; ++i) {
    if (index >= 0 && static_cast<int>(i) != index) continue;
    CK_SLOT_INFO info;
    if (m->functions->C_GetSlotInfo(m->slots[i].id, &info) != CKR_OK ||
        !(info.flags & CKF_TOKEN_PRESENT))
      continue;
    if (index < 0) {
      CK_TOKEN_INFO token;
      // A token whose information cannot be read is taken only when no other fits; opening
      // it then reports the failure.
      if (m->functions->C_GetTokenInfo(m->slots[i].id, &token) != CKR_OK ||
          !(token.flags & CKF_TOKEN_INITIALIZED)) {
        if (blank < 0) blank = static_cast<int>(i);
        continue;
      }
    }
    *out = m->slots[i].id;
    return 1;
  }
  if (blank >= 0) {
    *out = m->slots[blank].id;
    return 1;
  }
  PKCS11_note(CKR_TOKEN_NOT_PRESENT);
  return 0;
}

}  // namespace

int PKCS11_slot_of_path(const char* path, CK_SLOT_ID* slot) {
  char name[PKCS11_MODULE_NAME_MAX + 1];
  int index = -1;
  if (!slot || !PKCS11_parse_path(path, name, &index)) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_SLOT_OF_PATH, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  PKCS11_MODULE* m = PKCS11_MODULE_get_by_name(name);
  if (!m) return 0;
  int ok = choose_slot(m, index, slot);
  PKCS11_MODULE_release(m);
  return ok;
}

// ---- Connections -----------------------------------------------------------------------------

PKCS11_OBJECT* PKCS11_OBJECT_new() {
  auto* c = static_cast<PKCS11_OBJECT*>(mem_alloc(sizeof(PKCS11_OBJECT)));
  if (!c) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(c, 0, sizeof *c);
  if (!CRYPTO_create_mutex(&c->lock)) {
    mem_free(c);
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, R_MALLOC_FAILURE);
    return nullptr;
  }
  c->callback = g_default_cb;
  return c;
}

void PKCS11_OBJECT_free(PKCS11_OBJECT* c) {
  if (!c) return;
  if (c->session && c->module) c->module->functions->C_CloseSession(c->session);
  PKCS11_MODULE_release(c->module);
  mem_free(c->path);
  mem_free(c->second_name);
  CRYPTO_destroy_mutex(c->lock);
  mem_cleanse(c, sizeof *c);
  mem_free(c);
}

namespace {
int replace_string(char** field, const char* value) {
  char* copy = nullptr;
  if (value && !(copy = mem_strdup(value))) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, R_MALLOC_FAILURE);
    return 0;
  }
  mem_free(*field);
  *field = copy;
  return 1;
}
}  // namespace

int PKCS11_OBJECT_set_path(PKCS11_OBJECT* c, const char* path) {
  if (!c) return 0;
  Pkcs11Lock lock(c);
  return replace_string(&c->path, path);
}
int PKCS11_OBJECT_set_second_name(PKCS11_OBJECT* c, const char* name) {
  if (!c) return 0;
  Pkcs11Lock lock(c);
  return replace_string(&c->second_name, name);
}
int PKCS11_OBJECT_set_callback_arg(PKCS11_OBJECT* c, void* arg) {
  if (!c) return 0;
  c->callback_arg = arg;
  return 1;
}
int PKCS11_OBJECT_set_callback(PKCS11_OBJECT* c, password_cb cb) {
  if (!c) return 0;
  c->callback = cb;
  return 1;
}

CK_ULONG PKCS11_max_pin(const PKCS11_OBJECT* c) {
  CK_ULONG max = c->token_info.ulMaxPinLen;
  if (max == 0) return PKCS11_DEFAULT_MAX_PIN;
  // Some modules report "no limit" as a huge number; no PIN is longer than this.
  return max > 1024 ? 1024 : max;
}

int PKCS11_open(PKCS11_OBJECT* c) {
  if (!c || !c->path) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Pkcs11Lock lock(c);
  char name[PKCS11_MODULE_NAME_MAX + 1];
  int index = -1;
  if (!PKCS11_parse_path(c->path, name, &index)) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, R_INTERNAL_ERROR);
    return 0;
  }
  if (!c->module) {
    c->module = PKCS11_MODULE_get_by_name(name);
    if (!c->module) {
      JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, R_INTERNAL_ERROR);
      return 0;
    }
  }
  CK_FUNCTION_LIST_PTR f = c->module->functions;
  if (c->session) {
    f->C_CloseSession(c->session);
    c->session = 0;
  }
  if (!choose_slot(c->module, index, &c->slot)) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, PKCS11_R_TOKEN_NOT_PRESENT);
    return 0;
  }
  if (PKCS11_note(f->C_GetTokenInfo(c->slot, &c->token_info)) != CKR_OK) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, PKCS11_R_TOKEN_INFO);
    return 0;
  }
  if (PKCS11_note(f->C_OpenSession(c->slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                   &c->session)) != CKR_OK) {
    c->session = 0;
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_OPEN, PKCS11_R_OPEN_SESSION);
    return 0;
  }
  return 1;
}

int PKCS11_login(PKCS11_OBJECT* c, int force) {
  if (!c || !c->module || !c->session) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_LOGIN, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Pkcs11Lock lock(c);
  LockGuard guard(locks::PKCS11);
  CK_FUNCTION_LIST_PTR f = c->module->functions;
  int index = PKCS11_MODULE_slot_index(c->module, c->slot);
  PKCS11_SLOT* slot = index >= 0 ? &c->module->slots[index] : nullptr;
  CK_SESSION_HANDLE session = c->session;
  if (slot) {
    if (!force && slot->session) {
      CK_SESSION_INFO info;
      if (f->C_GetSessionInfo(slot->session, &info) == CKR_OK &&
          (info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RW_SO_FUNCTIONS))
        return 1;
    }
    if (slot->session) {
      f->C_CloseSession(slot->session);
      slot->session = 0;
    }
    if (PKCS11_note(f->C_OpenSession(c->slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                     nullptr, &slot->session)) != CKR_OK) {
      slot->session = 0;
      JARNEL_ERR(LIB_PKCS11, PKCS11_F_LOGIN, R_INTERNAL_ERROR);
      return 0;
    }
    session = slot->session;
  }
  if (!(c->token_info.flags & CKF_LOGIN_REQUIRED)) return 1;
  if (!c->callback) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_LOGIN, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  unsigned char* pin = nullptr;
  CK_ULONG pin_len = 0;
  CK_ULONG max = PKCS11_max_pin(c);
  // The call-back may fill one byte beyond the limit, so that a longer PIN shows as too long
  // instead of being cut short and spending one of the token's tries.
  std::size_t room = max + 2;
  unsigned char* buffer = nullptr;
  if (!(c->token_info.flags & CKF_PROTECTED_AUTHENTICATION_PATH)) {
    buffer = static_cast<unsigned char*>(mem_alloc(room));
    if (!buffer) {
      JARNEL_ERR(LIB_PKCS11, PKCS11_F_LOGIN, R_MALLOC_FAILURE);
      return 0;
    }
    std::memset(buffer, 0, room);
    int n = c->callback(reinterpret_cast<char*>(buffer), static_cast<int>(max + 1), 0,
                        c->callback_arg);
    // No answer, or one shorter than the token takes, fails here too: the call-back answers 0
    // when it has no PIN (the Java side without a call-back object), and C_Login with it would
    // spend one of the token's tries.
    if (n <= 0 || static_cast<CK_ULONG>(n) > max || static_cast<CK_ULONG>(n) < c->token_info.ulMinPinLen) {
      mem_clear_free(buffer, room);
      JARNEL_ERR(LIB_PKCS11, PKCS11_F_LOGIN, R_INTERNAL_ERROR);
      return 0;
    }
    pin = buffer;
    pin_len = static_cast<CK_ULONG>(n);
  }
  if (force) {
    CK_RV rv = f->C_Logout(session);
    if (rv != CKR_OK && rv != CKR_USER_NOT_LOGGED_IN) PKCS11_note(rv);
  }
  CK_RV rv = f->C_Login(session, CKU_USER, pin, pin_len);
  if (buffer) mem_clear_free(buffer, room);
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
    PKCS11_note(rv);
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_LOGIN, PKCS11_R_LOGIN_FAILED);
    return 0;
  }
  return 1;
}

int PKCS11_logout(PKCS11_OBJECT* c) {
  if (!c || !c->module || !c->session) {
    JARNEL_ERR(LIB_PKCS11, PKCS11_F_LOGOUT, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Pkcs11Lock lock(c);
  CK_RV rv = c->module->functions->C_Logout(c->session);
  if (rv == CKR_OK || rv == CKR_USER_NOT_LOGGED_IN) return 1;
  PKCS11_note(rv);
  JARNEL_ERR(LIB_PKCS11, PKCS11_F_LOGOUT, R_INTERNAL_ERROR);
  return 0;
}

// ---- Texts -----------------------------------------------------------------------------------

namespace {
ERR_STRING_DATA g_functions[] = {
    {ERR_pack(LIB_PKCS11, PKCS11_F_MODULE_NEW, 0), "PKCS11_MODULE_new"},
    {ERR_pack(LIB_PKCS11, PKCS11_F_MODULE_GET_BY_NAME, 0), "PKCS11_MODULE_get_by_name"},
    {0, nullptr}};
ERR_STRING_DATA g_reasons[] = {
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_MODULE_NOT_FOUND), "PKCS11 module not found"},
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_FUNCTION_NOT_FOUND), "function not found"},
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_GET_FUNCTION_LIST), "C_GetFunctionList function error"},
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_INITIALIZE), "C_Initialize function error"},
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_BUFFER_TOO_SMALL), "buffer too small"},
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_LOGIN_FAILED), "login failed"},
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_TOKEN_NOT_PRESENT), "token not present in its slot"},
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_TOKEN_INFO), "getting token info error"},
    {ERR_pack(LIB_PKCS11, 0, PKCS11_R_OPEN_SESSION), "opening session error"},
    {0, nullptr}};
}  // namespace

void ERR_load_PKCS11_strings() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  ERR_load_strings(LIB_PKCS11, g_functions);
  ERR_load_strings(LIB_PKCS11, g_reasons);
}

}  // namespace jarnel
