// Fault-injecting PKCS#11 module: a forwarder to another module that can make call N of a named
// function return a chosen CK_RV, and counts every call by name.
//
// Rules come from the environment variable P11FAULT ("C_Login@1=0xA0,C_FindObjects@*=0x30",
// a "+" after the value forwards the call first and replaces its result) or from
// p11fault_set(). Counting starts at 1 after p11fault_reset(). p11fault_remove_token(1) makes
// every slot report no token and every session call answer CKR_DEVICE_REMOVED.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

struct Rule {
  long call;  // 0: every call
  CK_RV rv;
  bool forward;
};

std::mutex g_mutex;
std::map<std::string, long> g_counts;
std::multimap<std::string, Rule> g_rules;
bool g_env_read = false;
bool g_removed = false;
CK_FLAGS g_extra_token_flags = 0;
bool g_login_pin_null = false;
CK_FUNCTION_LIST_PTR g_target = nullptr;
CK_FUNCTION_LIST g_list;

void read_env() {
  if (g_env_read) return;
  g_env_read = true;
  const char* env = std::getenv("P11FAULT");
  if (!env) return;
  std::string s(env);
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t end = s.find(',', pos);
    std::string item = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? s.size() : end + 1;
    std::size_t at = item.find('@'), eq = item.find('=');
    if (at == std::string::npos || eq == std::string::npos || eq < at) continue;
    std::string call = item.substr(at + 1, eq - at - 1);
    std::string value = item.substr(eq + 1);
    Rule r{call == "*" ? 0 : std::strtol(call.c_str(), nullptr, 10),
           std::strtoul(value.c_str(), nullptr, 0), !value.empty() && value.back() == '+'};
    g_rules.emplace(item.substr(0, at), r);
  }
}

// Counts the call; true with *rv and *forward set when a rule fires.
bool fault(const char* name, CK_RV* rv, bool* forward) {
  std::lock_guard<std::mutex> lock(g_mutex);
  read_env();
  long n = ++g_counts[name];
  auto range = g_rules.equal_range(name);
  for (auto it = range.first; it != range.second; ++it)
    if (it->second.call == 0 || it->second.call == n) {
      *rv = it->second.rv;
      *forward = it->second.forward;
      return true;
    }
  return false;
}

bool removed() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_removed;
}

#define FORWARD_AS(wrapper, name, session_call, args, ...)             \
  CK_RV wrapper(__VA_ARGS__) {                                         \
    CK_RV rv;                                                          \
    bool forward = false;                                              \
    if (fault(#name, &rv, &forward)) {                                 \
      if (forward) g_target->name args;                                \
      return rv;                                                       \
    }                                                                  \
    if (session_call && removed()) return CKR_DEVICE_REMOVED;          \
    return g_target->name args;                                        \
  }
#define FORWARD(name, session_call, args, ...) \
  FORWARD_AS(w_##name, name, session_call, args, __VA_ARGS__)

FORWARD(C_Initialize, false, (a), CK_VOID_PTR a)
FORWARD(C_Finalize, false, (a), CK_VOID_PTR a)
FORWARD(C_GetInfo, false, (a), CK_INFO_PTR a)
FORWARD(C_GetSlotList, false, (a, b, c), CK_BBOOL a, CK_SLOT_ID_PTR b, CK_ULONG_PTR c)
FORWARD_AS(w_C_GetTokenInfo_real, C_GetTokenInfo, true, (a, b), CK_SLOT_ID a, CK_TOKEN_INFO_PTR b)
FORWARD(C_GetMechanismList, true, (a, b, c), CK_SLOT_ID a, CK_MECHANISM_TYPE_PTR b,
        CK_ULONG_PTR c)
FORWARD(C_OpenSession, true, (a, b, c, d, e), CK_SLOT_ID a, CK_FLAGS b, CK_VOID_PTR c, CK_NOTIFY d,
        CK_SESSION_HANDLE_PTR e)
FORWARD(C_CloseSession, false, (a), CK_SESSION_HANDLE a)
FORWARD(C_GetSessionInfo, true, (a, b), CK_SESSION_HANDLE a, CK_SESSION_INFO_PTR b)
FORWARD_AS(w_C_Login_real, C_Login, true, (a, b, c, d), CK_SESSION_HANDLE a, CK_USER_TYPE b,
        CK_UTF8CHAR_PTR c, CK_ULONG d)
FORWARD(C_Logout, true, (a), CK_SESSION_HANDLE a)
FORWARD(C_CreateObject, true, (a, b, c, d), CK_SESSION_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c,
        CK_OBJECT_HANDLE_PTR d)
FORWARD(C_DestroyObject, true, (a, b), CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b)
FORWARD(C_GetAttributeValue, true, (a, b, c, d), CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b,
        CK_ATTRIBUTE_PTR c, CK_ULONG d)
FORWARD(C_SetAttributeValue, true, (a, b, c, d), CK_SESSION_HANDLE a, CK_OBJECT_HANDLE b,
        CK_ATTRIBUTE_PTR c, CK_ULONG d)
FORWARD(C_FindObjectsInit, true, (a, b, c), CK_SESSION_HANDLE a, CK_ATTRIBUTE_PTR b, CK_ULONG c)
FORWARD(C_FindObjects, true, (a, b, c, d), CK_SESSION_HANDLE a, CK_OBJECT_HANDLE_PTR b,
        CK_ULONG c, CK_ULONG_PTR d)
FORWARD(C_FindObjectsFinal, true, (a), CK_SESSION_HANDLE a)

// Token flags get the extra ones set by p11fault_add_token_flags.
CK_RV w_C_GetTokenInfo(CK_SLOT_ID a, CK_TOKEN_INFO_PTR b) {
  CK_RV rv = w_C_GetTokenInfo_real(a, b);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (rv == CKR_OK) b->flags |= g_extra_token_flags;
  return rv;
}

// Remembers whether the PIN was null.
CK_RV w_C_Login(CK_SESSION_HANDLE a, CK_USER_TYPE b, CK_UTF8CHAR_PTR c, CK_ULONG d) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_login_pin_null = c == nullptr && d == 0;
  }
  return w_C_Login_real(a, b, c, d);
}

// Slot information reports the token gone while the token is "removed".
CK_RV w_C_GetSlotInfo(CK_SLOT_ID a, CK_SLOT_INFO_PTR b) {
  CK_RV rv;
  bool forward = false;
  if (fault("C_GetSlotInfo", &rv, &forward)) {
    if (forward) g_target->C_GetSlotInfo(a, b);
    return rv;
  }
  rv = g_target->C_GetSlotInfo(a, b);
  if (rv == CKR_OK && removed()) b->flags &= ~static_cast<CK_FLAGS>(CKF_TOKEN_PRESENT);
  return rv;
}

bool load_target() {
  if (g_target) return true;
  const char* path = std::getenv("P11FAULT_TARGET");
  void* h = dlopen(path ? path : "/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
  if (!h) return false;
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
  if (!get || get(&g_target) != CKR_OK || !g_target) return false;
  g_list = *g_target;
#define SET(name) g_list.name = w_##name
  SET(C_Initialize);
  SET(C_Finalize);
  SET(C_GetInfo);
  SET(C_GetSlotList);
  SET(C_GetSlotInfo);
  SET(C_GetTokenInfo);
  SET(C_GetMechanismList);
  SET(C_OpenSession);
  SET(C_CloseSession);
  SET(C_GetSessionInfo);
  SET(C_Login);
  SET(C_Logout);
  SET(C_CreateObject);
  SET(C_DestroyObject);
  SET(C_GetAttributeValue);
  SET(C_SetAttributeValue);
  SET(C_FindObjectsInit);
  SET(C_FindObjects);
  SET(C_FindObjectsFinal);
#undef SET
  return true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
  if (!out) return CKR_ARGUMENTS_BAD;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!load_target()) return CKR_GENERAL_ERROR;
  }
  CK_RV rv;
  bool forward = false;
  if (fault("C_GetFunctionList", &rv, &forward)) return rv;
  *out = &g_list;
  return CKR_OK;
}

// Call N (0: every call) of function name answers rv; with forward the call is made first.
__attribute__((visibility("default"))) void p11fault_set(const char* name, long call,
                                                         unsigned long rv, int forward) {
  std::lock_guard<std::mutex> lock(g_mutex);
  read_env();
  g_rules.emplace(name, Rule{call, rv, forward != 0});
}

// Forgets every rule and count and puts the token back.
__attribute__((visibility("default"))) void p11fault_reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_env_read = true;
  g_rules.clear();
  g_counts.clear();
  g_removed = false;
  g_extra_token_flags = 0;
  g_login_pin_null = false;
}

// Token flags reported on top of the real ones (such as CKF_PROTECTED_AUTHENTICATION_PATH).
__attribute__((visibility("default"))) void p11fault_add_token_flags(unsigned long flags) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_extra_token_flags = flags;
}

// Whether the last C_Login came with a null PIN of length 0.
__attribute__((visibility("default"))) int p11fault_login_pin_was_null() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_login_pin_null;
}

__attribute__((visibility("default"))) long p11fault_calls(const char* name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_counts.find(name);
  return it == g_counts.end() ? 0 : it->second;
}

__attribute__((visibility("default"))) void p11fault_remove_token(int removed_now) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_removed = removed_now != 0;
}
}
