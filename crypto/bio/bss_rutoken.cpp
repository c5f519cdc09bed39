// The "ruToken" driver over the vendor library "rtapilt.dll" (calls "rtl…"). Errors go to the
// BIO library (32), session allocation to library 84; vendor statuses have source 2.
#include <cstdio>
#include <cstring>

#include "crypto/bio/rutoken.h"
#include "crypto/bio/token.h"
#include "crypto/bio/token_sdk.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/str.h"

namespace jarnel {
namespace {

constexpr char LONG_PREFIX[] = "Aktiv Co. ruToken";
constexpr char SHORT_PREFIX[] = "ruToken";
constexpr char ROOT_GROUP[] = "0000f001";

void parse(const char* path, TOKEN_SDK_PATH* out) {
  const char* p = path;
  if (!ascii_strncasecmp(p, LONG_PREFIX, sizeof LONG_PREFIX - 1))
    p += sizeof LONG_PREFIX - 1;
  else if (!ascii_strncasecmp(p, SHORT_PREFIX, sizeof SHORT_PREFIX - 1))
    p += sizeof SHORT_PREFIX - 1;
  const char* colon = std::strchr(p, ':');
  const char* end = colon ? colon : p + std::strlen(p);
  while (p < end && *p == ' ') ++p;
  out->reader_wanted[0] = '\0';
  if (p < end)
    std::snprintf(out->reader_wanted, sizeof out->reader_wanted, "%s %.*s", LONG_PREFIX,
                  static_cast<int>(end - p), p);
  std::size_t n = 0;
  out->ids_ok = true;
  for (const char* q = colon ? colon + 1 : end; *q; ++q) {
    if (*q == '\\' || *q == '/') continue;
    if (n + 1 >= sizeof out->ids) {
      out->ids_ok = false;
      break;
    }
    out->ids[n++] = *q;
  }
  out->ids[n] = '\0';
  if (!ascii_strncasecmp(out->ids, ROOT_GROUP, sizeof ROOT_GROUP - 1))
    std::memmove(out->ids, out->ids + 8, n - 8 + 1);
}

bool reader_matches(const TOKEN_SDK_PATH& p, const char* reader) {
  return !p.reader_wanted[0] || !ascii_strcasecmp(p.reader_wanted, reader);
}

bool auth_required(int result) { return static_cast<std::uint32_t>(result) == TOKEN_SDK_AUTH_REQUIRED; }

TOKEN_SDK_DRIVER g_driver = {
    .name = "ruToken",
    .library = "rtapilt.dll",
    .names = RTAPI_NAMES,
    .err_lib = LIB_BIO,
    .new_lib = LIB_RUTOKEN,
    .token_source = 2,
    .lock = locks::RUTOKEN,
    .root_id = 0xF001,
    .root_flags = 0,
    .ansi_password = true,
    .auth_required = auth_required,
    .parse = parse,
    .reader_matches = reader_matches,
    .default_prefix = "ruToken",
    .settings_without_session = false,
    .session_flag_commands = false,
    .api = {},
    .handle = nullptr,
    .available = false,
    .passwd_cb = nullptr,
};

int rt_write(BIO* b, const char* data, int len) { return TSDK_write(g_driver, b, data, len); }
int rt_read(BIO* b, char* out, int len) { return TSDK_read(g_driver, b, out, len); }
int rt_puts(BIO* b, const char* str) { return TSDK_puts(g_driver, b, str); }
int rt_gets(BIO* b, char* buf, int size) { return TSDK_gets(g_driver, b, buf, size); }
long rt_ctrl(BIO* b, int cmd, long num, void* ptr) {
  // Commands above 146 are the eToken driver's.
  if (cmd > BIO_C_SET_CB_ARG) return 0;
  return TSDK_ctrl(g_driver, b, cmd, num, ptr);
}
int rt_destroy(BIO* b) { return TSDK_destroy(g_driver, b); }

const BIO_METHOD method = {BIO_TYPE_FILE, "ruToken", rt_write, rt_read, rt_puts,
                           rt_gets,       rt_ctrl,   TSDK_create, rt_destroy};

ERR_STRING_DATA g_bio_functions[] = {
    {ERR_pack(LIB_BIO, TSDK_F_LOGIN, 0), "RTSDK_login"},
    {ERR_pack(LIB_BIO, TSDK_F_FILE_OPEN, 0), "RTSDK_file_open"},
    {ERR_pack(LIB_BIO, TSDK_F_FILE_CREATE, 0), "RTSDK_file_create"},
    {ERR_pack(LIB_BIO, TSDK_F_FILE_WRITE, 0), "RTSDK_file_write"},
    {ERR_pack(LIB_BIO, TSDK_F_FILE_READ, 0), "RTSDK_file_read"},
    {ERR_pack(LIB_BIO, TSDK_F_FILE_DELETE, 0), "RTSDK_file_delete"},
    {ERR_pack(LIB_BIO, TSDK_F_FILE_GET_INFO, 0), "RTSDK_file_get_info"},
    {ERR_pack(LIB_BIO, TSDK_F_DIR_GET_INFO, 0), "RTSDK_dir_get_info"},
    {ERR_pack(LIB_BIO, TSDK_F_ROOT_DIR_OPEN, 0), "RTSDK_root_dir_open"},
    {ERR_pack(LIB_BIO, TSDK_F_DIR_CREATE, 0), "RTSDK_dir_create"},
    {ERR_pack(LIB_BIO, TSDK_F_DIR_OPEN, 0), "RTSDK_dir_open"},
    {ERR_pack(LIB_BIO, TSDK_F_TOUCH, 0), "RTSDK_touch"},
    {ERR_pack(LIB_BIO, TSDK_F_FLUSH, 0), "RTSDK_flush"},
    {ERR_pack(LIB_BIO, TSDK_F_DELETE, 0), "RTSDK_delete"},
    {ERR_pack(LIB_BIO, 0, TSDK_R_READER_NOT_FOUND), "token reader not found"},
    {ERR_pack(LIB_BIO, 0, TSDK_R_TOKEN_NOT_FOUND), "token not found"},
    {ERR_pack(LIB_BIO, 0, TSDK_R_LOGIN_FAILED), "login failed"},
    {ERR_pack(LIB_BIO, 0, TSDK_R_PHRASE_FAILED), "phrase is too short or reading failed"},
    {0, nullptr}};

ERR_STRING_DATA g_rutoken_strings[] = {
    {ERR_pack(LIB_RUTOKEN, TSDK_F_FILE_INFO_NEW, 0), "RUTOKEN_FILE_INFO_new"},
    {ERR_pack(LIB_RUTOKEN, TSDK_F_NEW, 0), "RTSDK_new"},
    {0, nullptr}};

}  // namespace

void RT_parse_path(const char* path, TOKEN_SDK_PATH* out) { parse(path, out); }
bool RT_reader_matches(const TOKEN_SDK_PATH& path, const char* reader) {
  return reader_matches(path, reader);
}

const BIO_METHOD* BIO_s_rutoken() { return &method; }

void ERR_load_RUTOKEN_strings() {
  ERR_load_strings(LIB_BIO, g_bio_functions);
  ERR_load_strings(LIB_RUTOKEN, g_rutoken_strings);
}

int RT_exists(const char* path) { return TSDK_exists(g_driver, path); }
int RT_is_directory(const char* path) { return TSDK_is_directory(g_driver, path); }
int RT_is_file(const char* path) { return TSDK_is_file(g_driver, path); }
int RT_list(const char* path, TOKEN_DIR_LIST* list) { return TSDK_list(g_driver, path, list); }
int RT_delete(BIO* b) { return TSDK_delete(g_driver, b); }
int RT_remove_directory(const char* path) { return TSDK_remove_directory(g_driver, path); }
int RT_logout(const char* path) { return TSDK_logout(g_driver, path); }
int RT_is_inserted(const char* path) { return TSDK_is_inserted(g_driver, path); }
void RT_set_password_callback(password_cb cb) { g_driver.passwd_cb = cb; }
int RT_library_load() { return TSDK_library_load(g_driver); }
void RT_library_unload() { TSDK_library_unload(g_driver); }
int RT_available(const char*) { return g_driver.available ? 1 : 0; }

int RUTOKEN_startup() { return RT_library_load(); }
void RUTOKEN_shutdown() { RT_library_unload(); }
void RUTOKEN_set_passwd_cb(password_cb cb) { RT_set_password_callback(cb); }

}  // namespace jarnel
