// Simulator of the legacy eToken interface library "drumvex.dll" (calls "ETOKEN_…"). The tokens
// live in the shared token model (store.h), one Token per reader ("AKS ifdh 0" …). Node keys are
// the whole path on the token in groups of four lower-case hex digits joined by '/'
// ("3f00/e007/1001"); the master directory 3f00 is always there. A failing call records its
// function code, reason, this file and the line in the context's pending error. The simulated
// library asks for no password: private files are marked, not guarded.
#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/bio/etr2_api.h"
#include "store.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace sim {
namespace {

using jarnel::ETR2_CONFIG;
using jarnel::ETR2_CONTEXT;
using jarnel::ETR2_FILE_INFO;

// Reasons of the pending error.
enum Reason : int {
  R_NO_TOKEN = 1,
  R_NOT_FOUND = 2,
  R_EXISTS = 3,
  R_BAD_PATH = 4,
  R_NOT_EMPTY = 5,
  R_WRONG_TYPE = 6,
  R_RANGE = 7,
  R_BAD_ARGUMENT = 8,
};
// An armed fault ("jarnel-sim etr2 fail FUNCTION N CODE") fails with CODE as the reason.

constexpr const char* ROOT = "3f00";

Store& store() {
  static Store s(ETR2);
  return s;
}

int fail(ETR2_CONTEXT* c, int function, int reason, int line) {
  if (c) c->pending = {function, reason, __FILE__, line};
  return 0;
}
#define FAIL(fn, reason) fail(c, fn, reason, __LINE__)

// "3f00e0071001" → "3f00/e007/1001"; empty when the path is not whole hex groups.
std::string key_of(const char* path) {
  if (!path) return {};
  std::string k;
  std::size_t n = std::strlen(path);
  if (n == 0 || n % 4) return {};
  for (std::size_t i = 0; i < n; ++i) {
    char ch = path[i];
    if (ch >= 'A' && ch <= 'F') ch = static_cast<char>(ch - 'A' + 'a');
    if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return {};
    if (i && i % 4 == 0) k += '/';
    k += ch;
  }
  return k.rfind(ROOT, 0) == 0 ? k : std::string{};
}

std::string parent_of(const std::string& key) {
  std::size_t slash = key.rfind('/');
  return slash == std::string::npos ? std::string{} : key.substr(0, slash);
}

bool is_dir(Token& t, const std::string& key) {
  if (key == ROOT) return true;
  auto it = t.nodes.find(key);
  return it != t.nodes.end() && it->second.directory;
}
bool exists(Token& t, const std::string& key) { return key == ROOT || t.nodes.count(key); }

// Counts the call, then runs f on the context's token when one is in its reader.
template <class F>
int on_token(const char* name, int function, ETR2_CONTEXT* c, F&& f) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t code = s.call(name)) return FAIL(function, static_cast<int>(code));
    if (!c || !c->handle) return FAIL(function, R_BAD_ARGUMENT);
    Token* t = s.find(static_cast<const char*>(c->handle));
    if (!t || !t->present) return FAIL(function, R_NO_TOKEN);
    return f(*t);
  });
}

}  // namespace
}  // namespace sim

using namespace sim;
using namespace jarnel;

SIM_EXPORT int ETOKEN_init(ETR2_CONTEXT* c, const char* reader) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t code = s.call("ETOKEN_init")) return FAIL(ETR2_F_INIT, static_cast<int>(code));
    if (!c || !reader || !*reader) return FAIL(ETR2_F_INIT, R_BAD_ARGUMENT);
    c->handle = strdup(reader);
    return c->handle ? 1 : FAIL(ETR2_F_INIT, R_BAD_ARGUMENT);
  });
}

SIM_EXPORT int ETOKEN_close(ETR2_CONTEXT* c) {
  return store().with([&](State& s) -> int {
    s.call("ETOKEN_close");
    if (!c || !c->handle) return 0;
    std::free(c->handle);
    c->handle = nullptr;
    return 1;
  });
}

SIM_EXPORT int ETOKEN_login(ETR2_CONTEXT* c, const char*) {
  return on_token("ETOKEN_login", ETR2_F_LOGIN, c, [](Token&) { return 1; });
}

SIM_EXPORT int ETOKEN_logout(ETR2_CONTEXT* c) {
  return on_token("ETOKEN_logout", ETR2_F_LOGOUT, c, [](Token&) { return 1; });
}

SIM_EXPORT int ETOKEN_change_password(ETR2_CONTEXT* c, const char*, const char*) {
  return on_token("ETOKEN_change_password", ETR2_F_CHANGE_PASSWORD, c, [](Token&) { return 1; });
}

SIM_EXPORT int ETOKEN_get_config(ETR2_CONTEXT* c, ETR2_CONFIG* out) {
  return on_token("ETOKEN_get_config", ETR2_F_GET_CONFIG, c, [&](Token& t) -> int {
    if (!out) return FAIL(ETR2_F_GET_CONFIG, R_BAD_ARGUMENT);
    std::memset(out, 0, sizeof *out);
    std::snprintf(out->reader, sizeof out->reader, "%s", t.reader.c_str());
    out->serial = t.insertion;
    out->free_space = 32768;
    return 1;
  });
}

SIM_EXPORT int ETOKEN_is_file_exist(ETR2_CONTEXT* c, const char* path, int* flag) {
  return on_token("ETOKEN_is_file_exist", ETR2_F_IS_FILE_EXIST, c, [&](Token& t) -> int {
    std::string key = key_of(path);
    if (key.empty() || !flag) return FAIL(ETR2_F_IS_FILE_EXIST, R_BAD_PATH);
    *flag = exists(t, key) ? 1 : 0;
    return 1;
  });
}

SIM_EXPORT int ETOKEN_get_file_info(ETR2_CONTEXT* c, const char* path, ETR2_FILE_INFO* out) {
  return on_token("ETOKEN_get_file_info", ETR2_F_GET_FILE_INFO, c, [&](Token& t) -> int {
    std::string key = key_of(path);
    if (key.empty() || !out) return FAIL(ETR2_F_GET_FILE_INFO, R_BAD_PATH);
    if (!exists(t, key)) return FAIL(ETR2_F_GET_FILE_INFO, R_NOT_FOUND);
    out->is_directory = is_dir(t, key) ? 1 : 0;
    out->size = out->is_directory ? 0 : static_cast<std::uint32_t>(t.nodes[key].data.size());
    return 1;
  });
}

SIM_EXPORT int ETOKEN_create_directory(ETR2_CONTEXT* c, const char* path, std::uint32_t) {
  return on_token("ETOKEN_create_directory", ETR2_F_CREATE_DIRECTORY, c, [&](Token& t) -> int {
    std::string key = key_of(path);
    if (key.empty()) return FAIL(ETR2_F_CREATE_DIRECTORY, R_BAD_PATH);
    if (exists(t, key)) return FAIL(ETR2_F_CREATE_DIRECTORY, R_EXISTS);
    if (!is_dir(t, parent_of(key))) return FAIL(ETR2_F_CREATE_DIRECTORY, R_NOT_FOUND);
    t.nodes[key].directory = true;
    return 1;
  });
}

SIM_EXPORT int ETOKEN_create_file(ETR2_CONTEXT* c, const char* path, std::uint32_t size,
                                  int is_private) {
  return on_token("ETOKEN_create_file", ETR2_F_CREATE_FILE, c, [&](Token& t) -> int {
    std::string key = key_of(path);
    if (key.empty() || key == ROOT) return FAIL(ETR2_F_CREATE_FILE, R_BAD_PATH);
    if (exists(t, key)) return FAIL(ETR2_F_CREATE_FILE, R_EXISTS);
    if (!is_dir(t, parent_of(key))) return FAIL(ETR2_F_CREATE_FILE, R_NOT_FOUND);
    Node& n = t.nodes[key];
    n.data.assign(size, 0);
    n.is_private = is_private != 0;
    return 1;
  });
}

SIM_EXPORT int ETOKEN_delete(ETR2_CONTEXT* c, const char* path) {
  return on_token("ETOKEN_delete", ETR2_F_DELETE, c, [&](Token& t) -> int {
    std::string key = key_of(path);
    if (key.empty() || key == ROOT) return FAIL(ETR2_F_DELETE, R_BAD_PATH);
    auto it = t.nodes.find(key);
    if (it == t.nodes.end()) return FAIL(ETR2_F_DELETE, R_NOT_FOUND);
    auto next = std::next(it);
    if (next != t.nodes.end() && next->first.rfind(key + "/", 0) == 0)
      return FAIL(ETR2_F_DELETE, R_NOT_EMPTY);
    t.nodes.erase(it);
    return 1;
  });
}

SIM_EXPORT int ETOKEN_write(ETR2_CONTEXT* c, const char* path, const void* data,
                            std::uint32_t offset, std::uint32_t length) {
  return on_token("ETOKEN_write", ETR2_F_WRITE, c, [&](Token& t) -> int {
    std::string key = key_of(path);
    auto it = key.empty() ? t.nodes.end() : t.nodes.find(key);
    if (it == t.nodes.end()) return FAIL(ETR2_F_WRITE, R_NOT_FOUND);
    if (it->second.directory) return FAIL(ETR2_F_WRITE, R_WRONG_TYPE);
    auto& d = it->second.data;
    if (std::size_t{offset} + length > d.size() || (!data && length))
      return FAIL(ETR2_F_WRITE, R_RANGE);
    if (length) std::memcpy(d.data() + offset, data, length);
    return 1;
  });
}

SIM_EXPORT int ETOKEN_read(ETR2_CONTEXT* c, const char* path, void* out, std::uint32_t offset,
                           std::uint32_t length) {
  return on_token("ETOKEN_read", ETR2_F_READ, c, [&](Token& t) -> int {
    std::string key = key_of(path);
    auto it = key.empty() ? t.nodes.end() : t.nodes.find(key);
    if (it == t.nodes.end()) return FAIL(ETR2_F_READ, R_NOT_FOUND);
    if (it->second.directory) return FAIL(ETR2_F_READ, R_WRONG_TYPE);
    const auto& d = it->second.data;
    if (std::size_t{offset} + length > d.size() || (!out && length))
      return FAIL(ETR2_F_READ, R_RANGE);
    if (length) std::memcpy(out, d.data() + offset, length);
    return 1;
  });
}

SIM_EXPORT int ETOKEN_list_files(ETR2_CONTEXT* c, const char* path, void* list,
                                 etr2_entry_new_fn entry_new, etr2_append_fn append) {
  return on_token("ETOKEN_list_files", ETR2_F_GET_FILE_INFO, c, [&](Token& t) -> int {
    std::string key = key_of(path);
    if (key.empty() || !entry_new || !append) return FAIL(ETR2_F_GET_FILE_INFO, R_BAD_PATH);
    if (!is_dir(t, key)) return FAIL(ETR2_F_GET_FILE_INFO, R_WRONG_TYPE);
    std::string prefix = key + "/";
    for (const auto& [k, node] : t.nodes) {
      if (k.rfind(prefix, 0) != 0 || k.find('/', prefix.size()) != std::string::npos) continue;
      void* e = entry_new(k.substr(prefix.size()).c_str(), node.directory,
                          static_cast<std::uint32_t>(node.data.size()));
      if (!append(list, e)) return FAIL(ETR2_F_FILE_INFO_NEW, R_BAD_ARGUMENT);
    }
    return 1;
  });
}

static_assert(std::is_same_v<decltype(&ETOKEN_init), jarnel::etr2_init_fn>);
static_assert(std::is_same_v<decltype(&ETOKEN_create_file), jarnel::etr2_create_file_fn>);
static_assert(std::is_same_v<decltype(&ETOKEN_write), jarnel::etr2_write_fn>);
static_assert(std::is_same_v<decltype(&ETOKEN_read), jarnel::etr2_read_fn>);
static_assert(std::is_same_v<decltype(&ETOKEN_is_file_exist), jarnel::etr2_exists_fn>);
static_assert(std::is_same_v<decltype(&ETOKEN_get_file_info), jarnel::etr2_file_info_fn>);
static_assert(std::is_same_v<decltype(&ETOKEN_get_config), jarnel::etr2_config_fn>);
static_assert(std::is_same_v<decltype(&ETOKEN_list_files), jarnel::etr2_list_fn>);
