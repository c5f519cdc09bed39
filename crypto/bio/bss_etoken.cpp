// The "eToken" driver over the vendor SDK library "etsdk.dll" (calls "ET…"). It works as the
// ruToken driver does (token_sdk.h) with its own error library (70), vendor status source 1,
// lock 31, the application directory 3F00\E007 as the root of relative paths, any status whose
// low half is 6982 as "authentication required", and the PIN handed over as entered.
#include <cstdio>
#include <cstring>

#include "crypto/bio/etoken.h"
#include "crypto/bio/token.h"
#include "crypto/bio/token_sdk.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/str.h"

namespace jarnel {
namespace {

enum Family { ANY = 0, AKS = 1, ALADDIN = 2 };

struct Prefix {
  const char* text;
  Family family;
};
constexpr Prefix PREFIXES[] = {{"AKS ifdh", AKS}, {"Aladdin Token JC", ALADDIN}, {"eToken", ANY}};

void parse(const char* path, TOKEN_SDK_PATH* out) {
  const char* p = path;
  out->family = ANY;
  for (const auto& prefix : PREFIXES) {
    std::size_t n = std::strlen(prefix.text);
    if (!ascii_strncasecmp(p, prefix.text, n)) {
      p += n;
      out->family = prefix.family;
      break;
    }
  }
  const char* colon = std::strchr(p, ':');
  const char* end = colon ? colon : p + std::strlen(p);
  while (p < end && *p == ' ') ++p;
  std::snprintf(out->reader_wanted, sizeof out->reader_wanted, "%.*s", static_cast<int>(end - p), p);

  // Relative paths lie in the application directory 3F00\E007.
  const char* rest = colon ? colon + 1 : end;
  if (*rest == '\\' || *rest == '/') ++rest;
  char full[sizeof out->ids + 16];
  int len = std::snprintf(full, sizeof full, "%s%s",
                          ascii_strncasecmp(rest, "3f00", 4) ? "3f00\\e007\\" : "", rest);
  out->ids_ok = len >= 0 && static_cast<std::size_t>(len) < sizeof full;
  std::size_t n = 0;
  for (const char* q = full; out->ids_ok && *q; ++q) {
    if (*q == '\\' || *q == '/') continue;
    if (n + 1 >= sizeof out->ids) out->ids_ok = false;
    else out->ids[n++] = *q;
  }
  out->ids[n] = '\0';
  std::size_t drop = !ascii_strncasecmp(out->ids, "3f00e007", 8)       ? 8
                     : !ascii_strncasecmp(out->ids, "3f006666e007", 12) ? 12
                                                                        : 0;
  if (!drop) out->ids_ok = false;
  else std::memmove(out->ids, out->ids + drop, n - drop + 1);
}

bool reader_matches(const TOKEN_SDK_PATH& p, const char* reader) {
  if (p.family == AKS && ascii_strncasecmp(reader, "AKS ifdh", 8)) return false;
  if (p.family == ALADDIN && ascii_strncasecmp(reader, "Aladdin Token JC ", 17)) return false;
  if (!p.reader_wanted[0]) return true;
  // The suffix names the reader by its last word.
  const char* last = std::strrchr(reader, ' ');
  return last && !ascii_strcasecmp(last + 1, p.reader_wanted);
}

bool auth_required(int result) {
  return result < 0 && (static_cast<std::uint32_t>(result) & 0xFFFF) == TOKEN_SDK_AUTH_LOW;
}

TOKEN_SDK_DRIVER g_driver = {
    .name = "eToken",
    .library = "etsdk.dll",
    .names = ETSDK_NAMES,
    .err_lib = LIB_ETOKEN,
    .new_lib = LIB_ETOKEN,
    .token_source = 1,
    .lock = locks::ETOKEN,
    .root_id = 0xF007,
    .root_flags = 0,
    .ansi_password = false,
    .auth_required = auth_required,
    .parse = parse,
    .reader_matches = reader_matches,
    .default_prefix = "eToken",
    .settings_without_session = true,
    .session_flag_commands = true,
    .api = {},
    .handle = nullptr,
    .available = false,
    .passwd_cb = nullptr,
};

int et_write(BIO* b, const char* data, int len) { return TSDK_write(g_driver, b, data, len); }
int et_read(BIO* b, char* out, int len) { return TSDK_read(g_driver, b, out, len); }
int et_puts(BIO* b, const char* str) { return TSDK_puts(g_driver, b, str); }
int et_gets(BIO* b, char* buf, int size) { return TSDK_gets(g_driver, b, buf, size); }
long et_ctrl(BIO* b, int cmd, long num, void* ptr) { return TSDK_ctrl(g_driver, b, cmd, num, ptr); }
int et_destroy(BIO* b) { return TSDK_destroy(g_driver, b); }

const BIO_METHOD method = {BIO_TYPE_FILE, "eToken", et_write, et_read, et_puts,
                           et_gets,       et_ctrl,  TSDK_create, et_destroy};

ERR_STRING_DATA g_strings[] = {
    {ERR_pack(LIB_ETOKEN, TSDK_F_FILE_INFO_NEW, 0), "ETOKEN_FILE_INFO_new"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_OPEN, 0), "ETOKEN_ctrl"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_LOGIN, 0), "ETSDK_login"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_NEW, 0), "ETSDK_new"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_FILE_OPEN, 0), "ETSDK_file_open"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_FILE_CREATE, 0), "ETSDK_file_create"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_FILE_WRITE, 0), "ETSDK_file_write"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_FILE_READ, 0), "ETSDK_file_read"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_FILE_DELETE, 0), "ETSDK_file_delete"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_FILE_GET_INFO, 0), "ETSDK_file_get_info"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_DIR_GET_INFO, 0), "ETSDK_dir_get_info"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_ROOT_DIR_OPEN, 0), "ETSDK_root_dir_open"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_DIR_CREATE, 0), "ETSDK_dir_create"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_DIR_OPEN, 0), "ETSDK_dir_open"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_TOUCH, 0), "ETSDK_touch"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_FLUSH, 0), "ETSDK_flush"},
    {ERR_pack(LIB_ETOKEN, TSDK_F_DELETE, 0), "ETSDK_delete"},
    {ERR_pack(LIB_ETOKEN, 0, TSDK_R_BAD_FOPEN_MODE), "bad fopen mode"},
    {ERR_pack(LIB_ETOKEN, 0, TSDK_R_READER_NOT_FOUND), "token reader not found"},
    {ERR_pack(LIB_ETOKEN, 0, TSDK_R_TOKEN_NOT_FOUND), "token not found"},
    {ERR_pack(LIB_ETOKEN, 0, TSDK_R_LOGIN_FAILED), "login failed"},
    {ERR_pack(LIB_ETOKEN, 0, TSDK_R_PHRASE_FAILED), "phrase is too short or reading failed"},
    {0, nullptr}};

}  // namespace

void ET_parse_path(const char* path, TOKEN_SDK_PATH* out) { parse(path, out); }
bool ET_reader_matches(const TOKEN_SDK_PATH& path, const char* reader) {
  return reader_matches(path, reader);
}

const BIO_METHOD* BIO_s_etoken() { return &method; }

void ERR_load_ETOKEN_strings() { ERR_load_strings(LIB_ETOKEN, g_strings); }

int ET_exists(const char* path) { return TSDK_exists(g_driver, path); }
int ET_is_directory(const char* path) { return TSDK_is_directory(g_driver, path); }
int ET_is_file(const char* path) { return TSDK_is_file(g_driver, path); }
int ET_list(const char* path, TOKEN_DIR_LIST* list) { return TSDK_list(g_driver, path, list); }
int ET_delete(BIO* b) { return TSDK_delete(g_driver, b); }
int ET_remove_directory(const char* path) { return TSDK_remove_directory(g_driver, path); }
int ET_logout(const char* path) { return TSDK_logout(g_driver, path); }
int ET_is_inserted(const char* path) { return TSDK_is_inserted(g_driver, path); }
void ET_set_password_callback(password_cb cb) { g_driver.passwd_cb = cb; }
int ET_library_load() { return TSDK_library_load(g_driver); }
void ET_library_unload() { TSDK_library_unload(g_driver); }
int ET_available(const char*) { return g_driver.available ? 1 : 0; }

int ETOKEN_startup() { return ET_library_load(); }
void ETOKEN_shutdown() { ET_library_unload(); }
void ETOKEN_set_passwd_cb(password_cb cb) { ET_set_password_callback(cb); }

}  // namespace jarnel
