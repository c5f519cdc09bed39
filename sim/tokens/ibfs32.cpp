// Simulator of the TMEX touch-memory file-system library "ibfs32.dll". The devices live in the
// shared token model (store.h), one Token per port: its name is "COM<n>" for port type 1 and
// "LPT<n>" for port type 2, `present` says whether a device touches the port, and
// State::adapters lists the ports with an adapter. Node keys are the path on the device: names
// without their padding, directories as "KEYS", files as "RAND.1" (name, point, extension
// number), joined by '/'. Names compare without regard to case.
//
// Sessions, open files and enumerations are process-local. While a program job is open the
// session works on a copy of the device's tree, which TMDoProgramJob writes to the device and
// TMEndSession drops. A read returns at most the count asked for, from the file's position.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crypto/bio/tmex_api.h"
#include "store.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace sim {
namespace {

using jarnel::TM_DIRPATH;
using jarnel::TM_FILE_ENTRY;

// Results of this simulator beyond those the driver relies on.
constexpr std::int16_t NO_DEVICE = -1;
constexpr std::int16_t BAD_HANDLE = -3;
constexpr std::int16_t BAD_NAME = -4;
constexpr std::int16_t NOT_FOUND = jarnel::TM_FILE_NOT_FOUND;
constexpr std::int16_t EXISTS = -10;
constexpr std::int16_t NOT_EMPTY = -13;
constexpr std::int16_t DIR_NOT_FOUND = jarnel::TM_DIR_NOT_FOUND;
constexpr std::int16_t BAD_ARGUMENT = -200;

struct OpenFile {
  std::string key;
  std::size_t position = 0;
};

struct Session {
  std::string port;
  std::vector<std::string> cwd;  // directory keys from the root
  std::optional<std::map<std::string, Node>> job;
  std::map<std::int16_t, OpenFile> files;
  std::vector<TM_FILE_ENTRY> listing;
  std::size_t next = 0;
};

std::mutex g_mu;
std::map<std::int32_t, Session> g_sessions;
std::int32_t g_next_session = 1;

Store& store() {
  static Store s(IBUTTON);
  return s;
}

std::string port_name(std::int16_t number, std::int16_t type) {
  return (type == 1 ? "COM" : type == 2 ? "LPT" : "P" + std::to_string(type) + "_") +
         std::to_string(number);
}

bool has_adapter(const State& s, const std::string& port) {
  for (const auto& a : s.adapters)
    if (a == port) return true;
  return false;
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A name of 1 to 4 characters without its padding; empty when it cannot be stored.
std::string name_of(const char (&raw)[4]) {
  std::string n(raw, 4);
  n.erase(n.find_last_not_of(' ') + 1);
  if (n.empty() || n.find_first_of(" /.\\") != std::string::npos) return {};
  for (char c : n)
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) return {};
  return n;
}

std::string join(const std::vector<std::string>& dir, const std::string& last) {
  std::string k;
  for (const auto& d : dir) k += d + "/";
  return k + last;
}

// The key of an existing node whose path equals key without regard to case.
std::map<std::string, Node>::iterator find(std::map<std::string, Node>& nodes,
                                           const std::string& key) {
  std::string want = lower(key);
  for (auto it = nodes.begin(); it != nodes.end(); ++it)
    if (lower(it->first) == want) return it;
  return nodes.end();
}

struct Ctx {
  State& state;
  Token& device;
  Session& session;
  std::map<std::string, Node>& nodes;
};

// Counts the call, then runs f on the session's device when an adapter and a device answer.
template <class F>
std::int16_t on_device(const char* name, std::int32_t h, void* state_buffer, F&& f) {
  return store().with([&](State& s) -> std::int16_t {
    if (std::uint32_t c = s.call(name)) return static_cast<std::int16_t>(c);
    std::lock_guard<std::mutex> g(g_mu);
    auto it = g_sessions.find(h);
    if (it == g_sessions.end()) return BAD_HANDLE;
    if (!state_buffer) return BAD_ARGUMENT;
    Token* t = s.find(it->second.port);
    if (!t || !t->present || !has_adapter(s, it->second.port)) return NO_DEVICE;
    auto& nodes = it->second.job ? *it->second.job : t->nodes;
    Ctx ctx{s, *t, it->second, nodes};
    return f(ctx);
  });
}

std::string entry_key(Ctx& c, const TM_FILE_ENTRY& e) {
  std::string n = name_of(e.name);
  if (n.empty() || e.extension == jarnel::TM_DIRECTORY_EXTENSION) return {};
  return join(c.session.cwd, n + "." + std::to_string(e.extension));
}

}  // namespace
}  // namespace sim

using namespace sim;

SIM_EXPORT std::int32_t TMExtendedStartSession(std::int16_t number, std::int16_t type, void*) {
  return store().with([&](State& s) -> std::int32_t {
    if (std::uint32_t c = s.call("TMExtendedStartSession")) return static_cast<std::int32_t>(c);
    if (s.busy > 0) {
      --s.busy;
      return 0;
    }
    if (number < 0 || number > 15 || type < 0 || type > 15) return BAD_ARGUMENT;
    std::lock_guard<std::mutex> g(g_mu);
    std::int32_t h = g_next_session++;
    g_sessions[h].port = port_name(number, type);
    return h;
  });
}

SIM_EXPORT std::int16_t TMEndSession(std::int32_t h) {
  return store().with([&](State& s) -> std::int16_t {
    if (std::uint32_t c = s.call("TMEndSession")) return static_cast<std::int16_t>(c);
    std::lock_guard<std::mutex> g(g_mu);
    return g_sessions.erase(h) ? 1 : BAD_HANDLE;
  });
}

SIM_EXPORT std::int16_t TMSetup(std::int32_t h) {
  return store().with([&](State& s) -> std::int16_t {
    if (std::uint32_t c = s.call("TMSetup")) return static_cast<std::int16_t>(c);
    std::lock_guard<std::mutex> g(g_mu);
    auto it = g_sessions.find(h);
    if (it == g_sessions.end()) return BAD_HANDLE;
    return has_adapter(s, it->second.port) ? 1 : 0;
  });
}

SIM_EXPORT std::int16_t TMFirst(std::int32_t h, void* st) {
  std::int16_t r = on_device("TMFirst", h, st, [](Ctx&) -> std::int16_t { return 1; });
  return r == NO_DEVICE ? 0 : r;
}

SIM_EXPORT std::int16_t TMChangeDirectory(std::int32_t h, void* st, std::int16_t op,
                                          TM_DIRPATH* path) {
  return on_device("TMChangeDirectory", h, st, [&](Ctx& c) -> std::int16_t {
    if (op != jarnel::TM_DIR_SET || !path || path->count > jarnel::TM_MAX_DIR_COMPONENTS)
      return BAD_ARGUMENT;
    std::vector<std::string> dir = path->reference == '\\' ? std::vector<std::string>{}
                                                           : c.session.cwd;
    for (int i = 0; i < path->count; ++i) {
      std::string n = name_of(path->entries[i]);
      if (n.empty()) return DIR_NOT_FOUND;
      auto it = find(c.nodes, join(dir, n));
      if (it == c.nodes.end() || !it->second.directory) return DIR_NOT_FOUND;
      dir.push_back(it->first.substr(it->first.rfind('/') == std::string::npos
                                         ? 0
                                         : it->first.rfind('/') + 1));
    }
    c.session.cwd = dir;
    return 1;
  });
}

namespace {
std::int16_t deliver(Ctx& c, TM_FILE_ENTRY* out) {
  if (c.session.next >= c.session.listing.size()) return NOT_FOUND;
  *out = c.session.listing[c.session.next++];
  return 1;
}
}  // namespace

SIM_EXPORT std::int16_t TMFirstFile(std::int32_t h, void* st, TM_FILE_ENTRY* out) {
  return on_device("TMFirstFile", h, st, [&](Ctx& c) -> std::int16_t {
    if (!out) return BAD_ARGUMENT;
    c.session.listing.clear();
    c.session.next = 0;
    std::string prefix = join(c.session.cwd, "");
    for (const auto& [key, node] : c.nodes) {
      if (lower(key).rfind(lower(prefix), 0) != 0 || key.size() == prefix.size()) continue;
      std::string rest = key.substr(prefix.size());
      if (rest.find('/') != std::string::npos) continue;
      TM_FILE_ENTRY e{};
      std::string name = rest;
      int ext = jarnel::TM_DIRECTORY_EXTENSION;
      if (!node.directory) {
        std::size_t dot = rest.rfind('.');
        name = rest.substr(0, dot);
        ext = std::stoi(rest.substr(dot + 1));
      }
      std::memset(e.name, ' ', 4);
      std::memcpy(e.name, name.data(), name.size() < 4 ? name.size() : 4);
      e.extension = static_cast<std::uint8_t>(ext);
      c.session.listing.push_back(e);
    }
    return deliver(c, out);
  });
}

SIM_EXPORT std::int16_t TMNextFile(std::int32_t h, void* st, TM_FILE_ENTRY* out) {
  return on_device("TMNextFile", h, st, [&](Ctx& c) -> std::int16_t {
    return out ? deliver(c, out) : BAD_ARGUMENT;
  });
}

SIM_EXPORT std::int16_t TMOpenFile(std::int32_t h, void* st, TM_FILE_ENTRY* e) {
  return on_device("TMOpenFile", h, st, [&](Ctx& c) -> std::int16_t {
    if (!e) return BAD_ARGUMENT;
    std::string key = entry_key(c, *e);
    auto it = key.empty() ? c.nodes.end() : find(c.nodes, key);
    if (it == c.nodes.end() || it->second.directory) return NOT_FOUND;
    std::int16_t fh = 0;
    while (c.session.files.count(fh)) ++fh;
    c.session.files[fh] = {it->first, 0};
    return fh;
  });
}

SIM_EXPORT std::int16_t TMCreateFile(std::int32_t h, void* st, std::int16_t* max_size,
                                     TM_FILE_ENTRY* e) {
  return on_device("TMCreateFile", h, st, [&](Ctx& c) -> std::int16_t {
    if (!e || !max_size) return BAD_ARGUMENT;
    std::string key = entry_key(c, *e);
    if (key.empty()) return BAD_NAME;
    if (find(c.nodes, key) != c.nodes.end()) return EXISTS;
    c.nodes[key] = Node{};
    *max_size = 0x7FFF;
    std::int16_t fh = 0;
    while (c.session.files.count(fh)) ++fh;
    c.session.files[fh] = {key, 0};
    return fh;
  });
}

SIM_EXPORT std::int16_t TMReadFile(std::int32_t h, void* st, std::int16_t fh, std::uint8_t* buf,
                                   std::int16_t max) {
  return on_device("TMReadFile", h, st, [&](Ctx& c) -> std::int16_t {
    auto f = c.session.files.find(fh);
    if (f == c.session.files.end()) return BAD_HANDLE;
    if (!buf || max < 0) return BAD_ARGUMENT;
    auto it = c.nodes.find(f->second.key);
    if (it == c.nodes.end()) return NOT_FOUND;
    const auto& data = it->second.data;
    std::size_t left = data.size() - std::min(data.size(), f->second.position);
    std::size_t n = std::min(left, static_cast<std::size_t>(max));
    if (n) std::memcpy(buf, data.data() + f->second.position, n);
    f->second.position += n;
    return static_cast<std::int16_t>(n);
  });
}

SIM_EXPORT std::int16_t TMWriteFile(std::int32_t h, void* st, std::int16_t fh,
                                    const std::uint8_t* data, std::int16_t len) {
  return on_device("TMWriteFile", h, st, [&](Ctx& c) -> std::int16_t {
    auto f = c.session.files.find(fh);
    if (f == c.session.files.end()) return BAD_HANDLE;
    if ((!data && len) || len < 0) return BAD_ARGUMENT;
    auto it = c.nodes.find(f->second.key);
    if (it == c.nodes.end()) return NOT_FOUND;
    auto& d = it->second.data;
    d.resize(std::max(d.size(), f->second.position + static_cast<std::size_t>(len)));
    if (len) std::memcpy(d.data() + f->second.position, data, static_cast<std::size_t>(len));
    f->second.position += static_cast<std::size_t>(len);
    return len;
  });
}

SIM_EXPORT std::int16_t TMCloseFile(std::int32_t h, void* st, std::int16_t fh) {
  return on_device("TMCloseFile", h, st, [&](Ctx& c) -> std::int16_t {
    return c.session.files.erase(fh) ? 1 : BAD_HANDLE;
  });
}

SIM_EXPORT std::int16_t TMDeleteFile(std::int32_t h, void* st, TM_FILE_ENTRY* e) {
  return on_device("TMDeleteFile", h, st, [&](Ctx& c) -> std::int16_t {
    if (!e) return BAD_ARGUMENT;
    std::string key = entry_key(c, *e);
    auto it = key.empty() ? c.nodes.end() : find(c.nodes, key);
    if (it == c.nodes.end() || it->second.directory) return NOT_FOUND;
    c.nodes.erase(it);
    return 1;
  });
}

SIM_EXPORT std::int16_t TMDirectoryMR(std::int32_t h, void* st, std::int16_t op,
                                      TM_FILE_ENTRY* e) {
  return on_device("TMDirectoryMR", h, st, [&](Ctx& c) -> std::int16_t {
    if (!e) return BAD_ARGUMENT;
    std::string n = name_of(e->name);
    if (n.empty()) return BAD_NAME;
    std::string key = join(c.session.cwd, n);
    auto it = find(c.nodes, key);
    if (op == jarnel::TM_DIR_CREATE) {
      if (it != c.nodes.end()) return EXISTS;
      c.nodes[key].directory = true;
      return 1;
    }
    if (op != jarnel::TM_DIR_REMOVE) return BAD_ARGUMENT;
    if (it == c.nodes.end() || !it->second.directory) return NOT_FOUND;
    std::string inside = lower(it->first + "/");
    for (const auto& [k, node] : c.nodes)
      if (lower(k).rfind(inside, 0) == 0) return NOT_EMPTY;
    c.nodes.erase(it);
    return 1;
  });
}

SIM_EXPORT std::int16_t TMCreateProgramJob(std::int32_t h, void* st) {
  return on_device("TMCreateProgramJob", h, st, [&](Ctx& c) -> std::int16_t {
    if (!c.session.job) c.session.job = c.device.nodes;
    return 1;
  });
}

SIM_EXPORT std::int16_t TMDoProgramJob(std::int32_t h, void* st) {
  return on_device("TMDoProgramJob", h, st, [&](Ctx& c) -> std::int16_t {
    if (!c.session.job) return BAD_ARGUMENT;
    c.device.nodes = std::move(*c.session.job);
    c.session.job.reset();
    return 1;
  });
}

static_assert(std::is_same_v<decltype(&TMExtendedStartSession), jarnel::tm_start_session_fn>);
static_assert(std::is_same_v<decltype(&TMFirstFile), jarnel::tm_entry_fn>);
static_assert(std::is_same_v<decltype(&TMCreateFile), jarnel::tm_create_file_fn>);
static_assert(std::is_same_v<decltype(&TMReadFile), jarnel::tm_read_file_fn>);
static_assert(std::is_same_v<decltype(&TMWriteFile), jarnel::tm_write_file_fn>);
static_assert(std::is_same_v<decltype(&TMCloseFile), jarnel::tm_close_file_fn>);
static_assert(std::is_same_v<decltype(&TMChangeDirectory), jarnel::tm_change_dir_fn>);
static_assert(std::is_same_v<decltype(&TMDirectoryMR), jarnel::tm_dir_mr_fn>);
static_assert(std::is_same_v<decltype(&TMDoProgramJob), jarnel::tm_state_fn>);
static_assert(std::is_same_v<decltype(&TMSetup), jarnel::tm_setup_fn>);
