#pragma once
// The vendor calls of a simulated smart-token library over the shared token model (store.h).
// rtapilt.cpp and etsdk.cpp include this once, name the Kind and export the calls under the
// vendor's names. Handles are process-local objects; a handle whose token was removed (or
// removed and inserted again) since it was made answers "token removed".
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "crypto/bio/token_sdk_api.h"
#include "store.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace sim {
namespace {

using jarnel::TOKEN_SDK_INFO;
using jarnel::tsdk_handle;

// Status codes: the token's own carry the kind's high half and an ISO 7816 status word; the
// others are PC/SC results.
enum : std::uint16_t {
  SW_WRONG_PIN = 0x63C0,  // | attempts left
  SW_WRONG_TYPE = 0x6981,
  SW_AUTH_REQUIRED = 0x6982,
  SW_PIN_LOCKED = 0x6983,
  SW_NOT_EMPTY = 0x6985,
  SW_NOT_FOUND = 0x6A82,
  SW_EXISTS = 0x6A89,
  SW_RANGE = 0x6B00,
};
constexpr std::uint32_t INVALID_HANDLE = 0x80100003;
constexpr std::uint32_t INSUFFICIENT_BUFFER = 0x80100008;
constexpr std::uint32_t UNKNOWN_READER = 0x80100009;
constexpr std::uint32_t NO_SMARTCARD = 0x8010000C;
constexpr std::uint32_t REMOVED_CARD = 0x80100069;
constexpr std::uint32_t END_OF_LIST = jarnel::TOKEN_SDK_END_OF_LIST;

int result(std::uint32_t code) { return static_cast<int>(code); }

struct Object {
  enum Type { ReaderEnum, TokenBinding, Dir, File, InfoEnum } type;
  std::string reader;
  std::uint32_t insertion = 0;
  bool logged_in = false;       // TokenBinding
  Object* token = nullptr;      // Dir, File: the binding
  std::string path;             // Dir, File
  std::vector<std::pair<std::string, int>> readers;  // ReaderEnum
  std::vector<TOKEN_SDK_INFO> infos;                 // InfoEnum
  std::size_t next = 0;
};

std::mutex g_objects_mu;
std::set<Object*> g_objects;

Object* make(Object::Type type) {
  auto* o = new Object{};
  o->type = type;
  std::lock_guard<std::mutex> g(g_objects_mu);
  g_objects.insert(o);
  return o;
}
Object* get(tsdk_handle h, Object::Type type) {
  std::lock_guard<std::mutex> g(g_objects_mu);
  auto* o = static_cast<Object*>(h);
  return g_objects.count(o) && o->type == type ? o : nullptr;
}
bool release(tsdk_handle h) {
  std::lock_guard<std::mutex> g(g_objects_mu);
  auto* o = static_cast<Object*>(h);
  if (!g_objects.erase(o)) return false;
  delete o;
  return true;
}

Store& store() {
  static Store s(SIM_KIND);
  return s;
}
std::uint32_t sw(std::uint16_t word) {
  return static_cast<std::uint32_t>(SIM_KIND.status_high) << 16 | word;
}

std::string id_text(std::uint16_t id) {
  char t[5];
  std::snprintf(t, sizeof t, "%04x", id);
  return t;
}
std::string child(const std::string& parent, std::uint16_t id) {
  return parent.empty() ? id_text(id) : parent + "/" + id_text(id);
}

// The token of a binding if it is still the one that was bound.
Token* live(State& s, const Object* binding) {
  Token* t = s.find(binding->reader);
  return t && t->present && t->insertion == binding->insertion ? t : nullptr;
}

// Runs f(state, token, object) for a live handle of type, after counting the call.
template <class F>
int on_handle(const char* name, tsdk_handle h, Object::Type type, F&& f) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t c = s.call(name)) return result(c);
    Object* o = get(h, type);
    if (!o) return result(INVALID_HANDLE);
    Object* binding = type == Object::TokenBinding ? o : o->token;
    if (!get(binding, Object::TokenBinding)) return result(INVALID_HANDLE);
    Token* t = live(s, binding);
    if (!t) return result(REMOVED_CARD);
    return f(s, *t, *o);
  });
}

void fill_info(const std::string& path, const Node& n, TOKEN_SDK_INFO* out) {
  std::string last = path.substr(path.empty() ? 0 : path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  out->id = last.empty() ? SIM_KIND.root_id : static_cast<std::uint16_t>(std::stoul(last, nullptr, 16));
  out->size = n.directory ? 0 : static_cast<std::uint16_t>(n.data.size());
  out->is_directory = n.directory;
  out->is_private = n.is_private;
}

// ---- readers and binding ----

int readers_open(const char* name, tsdk_handle* out) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t c = s.call(name)) return result(c);
    if (!out) return result(INVALID_HANDLE);
    Object* o = make(Object::ReaderEnum);
    for (const auto& t : s.tokens) o->readers.emplace_back(t.reader, t.present);
    *out = o;
    return 0;
  });
}
int readers_next(const char* name, tsdk_handle en, char* out, std::uint32_t size, int* present) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t c = s.call(name)) return result(c);
    Object* o = get(en, Object::ReaderEnum);
    if (!o || !out) return result(INVALID_HANDLE);
    if (o->next >= o->readers.size()) return result(END_OF_LIST);
    const auto& [reader, here] = o->readers[o->next];
    if (reader.size() + 1 > size) return result(INSUFFICIENT_BUFFER);
    std::memcpy(out, reader.c_str(), reader.size() + 1);
    if (present) *present = here;
    ++o->next;
    return 0;
  });
}
int close_plain(const char* name, tsdk_handle h, Object::Type type) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t c = s.call(name)) return result(c);
    if (!get(h, type)) return result(INVALID_HANDLE);
    release(h);
    return 0;
  });
}
int bind(const char* name, const char* reader, tsdk_handle* out) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t c = s.call(name)) return result(c);
    if (!reader || !out) return result(INVALID_HANDLE);
    Token* t = s.find(reader);
    if (!t) return result(UNKNOWN_READER);
    if (!t->present) return result(NO_SMARTCARD);
    Object* o = make(Object::TokenBinding);
    o->reader = reader;
    o->insertion = t->insertion;
    *out = o;
    return 0;
  });
}
int unbind(const char* name, tsdk_handle h) {
  return close_plain(name, h, Object::TokenBinding);
}
int login(const char* name, tsdk_handle h, const char* pin) {
  return on_handle(name, h, Object::TokenBinding, [&](State&, Token& t, Object& o) -> int {
    if (t.retries <= 0) return result(sw(SW_PIN_LOCKED));
    if (pin && t.pin == pin) {
      t.retries = SIM_KIND.max_retries;
      o.logged_in = true;
      return 0;
    }
    o.logged_in = false;
    --t.retries;
    return result(t.retries > 0 ? sw(SW_WRONG_PIN | (t.retries & 0xF)) : sw(SW_PIN_LOCKED));
  });
}
int logout(const char* name, tsdk_handle h) {
  return on_handle(name, h, Object::TokenBinding, [&](State&, Token&, Object& o) -> int {
    o.logged_in = false;
    return 0;
  });
}
int pin_change(const char* name, tsdk_handle h, const char* old_pin, const char* new_pin) {
  return on_handle(name, h, Object::TokenBinding, [&](State&, Token& t, Object&) -> int {
    if (!old_pin || !new_pin || t.pin != old_pin) return result(sw(SW_WRONG_PIN));
    t.pin = new_pin;
    return 0;
  });
}
int pin_length(const char* name, tsdk_handle h, std::uint32_t* out, std::uint32_t value) {
  return on_handle(name, h, Object::TokenBinding, [&](State&, Token&, Object&) -> int {
    if (out) *out = value;
    return 0;
  });
}
int text(const char* name, tsdk_handle h, char* out, std::uint32_t size, bool label) {
  return on_handle(name, h, Object::TokenBinding, [&](State&, Token& t, Object&) -> int {
    std::string v = label ? t.reader : "sim-" + std::to_string(t.insertion);
    if (!out || v.size() + 1 > size) return result(INSUFFICIENT_BUFFER);
    std::memcpy(out, v.c_str(), v.size() + 1);
    return 0;
  });
}

// ---- directories ----

Object* new_dir(Object& binding, const std::string& path) {
  Object* d = make(Object::Dir);
  d->token = &binding;
  d->path = path;
  return d;
}

int root_open(const char* name, tsdk_handle h, tsdk_handle* out, std::uint16_t id) {
  return on_handle(name, h, Object::TokenBinding, [&](State&, Token& t, Object& o) -> int {
    if (!out) return result(INVALID_HANDLE);
    if (id != SIM_KIND.root_id) return result(sw(SW_NOT_FOUND));
    t.nodes[""].directory = true;
    *out = new_dir(o, "");
    return 0;
  });
}
int dir_create(const char* name, tsdk_handle parent, std::uint16_t id, tsdk_handle* out) {
  return on_handle(name, parent, Object::Dir, [&](State&, Token& t, Object& p) -> int {
    if (!out) return result(INVALID_HANDLE);
    if (!t.nodes.count(p.path)) return result(sw(SW_NOT_FOUND));
    std::string path = child(p.path, id);
    if (t.nodes.count(path)) return result(sw(SW_EXISTS));
    t.nodes[path].directory = true;
    *out = new_dir(*p.token, path);
    return 0;
  });
}
int dir_open(const char* name, tsdk_handle parent, std::uint16_t id, tsdk_handle* out) {
  return on_handle(name, parent, Object::Dir, [&](State&, Token& t, Object& p) -> int {
    if (!out) return result(INVALID_HANDLE);
    std::string path = child(p.path, id);
    auto it = t.nodes.find(path);
    if (it == t.nodes.end()) return result(sw(SW_NOT_FOUND));
    if (!it->second.directory) return result(sw(SW_WRONG_TYPE));
    *out = new_dir(*p.token, path);
    return 0;
  });
}
int dir_info(const char* name, tsdk_handle h, TOKEN_SDK_INFO* out) {
  return on_handle(name, h, Object::Dir, [&](State&, Token& t, Object& d) -> int {
    auto it = t.nodes.find(d.path);
    if (it == t.nodes.end()) return result(sw(SW_NOT_FOUND));
    if (out) fill_info(d.path, it->second, out);
    return 0;
  });
}
int dir_delete(const char* name, tsdk_handle h) {
  return on_handle(name, h, Object::Dir, [&](State&, Token& t, Object& d) -> int {
    if (d.path.empty()) return result(sw(SW_WRONG_TYPE));
    if (!t.nodes.count(d.path)) return result(sw(SW_NOT_FOUND));
    auto next = t.nodes.upper_bound(d.path);
    if (next != t.nodes.end() && next->first.rfind(d.path + "/", 0) == 0)
      return result(sw(SW_NOT_EMPTY));
    t.nodes.erase(d.path);
    return 0;
  });
}
int dir_close(const char* name, tsdk_handle h) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t c = s.call(name)) return result(c);
    return release(get(h, Object::Dir)) ? 0 : result(INVALID_HANDLE);
  });
}
int enum_open(const char* name, tsdk_handle h, tsdk_handle* out, bool directories) {
  return on_handle(name, h, Object::Dir, [&](State&, Token& t, Object& d) -> int {
    if (!out) return result(INVALID_HANDLE);
    if (!t.nodes.count(d.path)) return result(sw(SW_NOT_FOUND));
    Object* e = make(Object::InfoEnum);
    std::string prefix = d.path.empty() ? "" : d.path + "/";
    for (const auto& [path, node] : t.nodes) {
      if (path.empty() || path.rfind(prefix, 0) != 0) continue;
      if (path.find('/', prefix.size()) != std::string::npos) continue;
      if (node.directory != directories) continue;
      TOKEN_SDK_INFO info{};
      fill_info(path, node, &info);
      e->infos.push_back(info);
    }
    *out = e;
    return 0;
  });
}
int enum_next(const char* name, tsdk_handle h, TOKEN_SDK_INFO* out) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t c = s.call(name)) return result(c);
    Object* e = get(h, Object::InfoEnum);
    if (!e || !out) return result(INVALID_HANDLE);
    if (e->next >= e->infos.size()) return result(END_OF_LIST);
    *out = e->infos[e->next++];
    return 0;
  });
}

// ---- files ----

Object* new_file(Object& binding, const std::string& path) {
  Object* f = make(Object::File);
  f->token = &binding;
  f->path = path;
  return f;
}

int file_open(const char* name, tsdk_handle dir, std::uint16_t id, tsdk_handle* out) {
  return on_handle(name, dir, Object::Dir, [&](State&, Token& t, Object& d) -> int {
    if (!out) return result(INVALID_HANDLE);
    std::string path = child(d.path, id);
    auto it = t.nodes.find(path);
    if (it == t.nodes.end()) return result(sw(SW_NOT_FOUND));
    if (it->second.directory) return result(sw(SW_WRONG_TYPE));
    *out = new_file(*d.token, path);
    return 0;
  });
}
int file_create(const char* name, tsdk_handle dir, std::uint16_t id, std::uint16_t size,
                int is_private, tsdk_handle* out) {
  return on_handle(name, dir, Object::Dir, [&](State&, Token& t, Object& d) -> int {
    if (!out) return result(INVALID_HANDLE);
    if (!t.nodes.count(d.path)) return result(sw(SW_NOT_FOUND));
    if (is_private && !d.token->logged_in) return result(sw(SW_AUTH_REQUIRED));
    std::string path = child(d.path, id);
    if (t.nodes.count(path)) return result(sw(SW_EXISTS));
    Node& n = t.nodes[path];
    n.is_private = is_private != 0;
    n.data.assign(size, 0);
    *out = new_file(*d.token, path);
    return 0;
  });
}
// The file of a handle, after the login check of a private file.
template <class F>
int on_file(const char* name, tsdk_handle h, F&& f) {
  return on_handle(name, h, Object::File, [&](State&, Token& t, Object& o) -> int {
    auto it = t.nodes.find(o.path);
    if (it == t.nodes.end() || it->second.directory) return result(sw(SW_NOT_FOUND));
    if (it->second.is_private && !o.token->logged_in) return result(sw(SW_AUTH_REQUIRED));
    return f(t, o, it->second);
  });
}
int file_read(const char* name, tsdk_handle h, std::uint16_t offset, void* out, std::uint16_t len) {
  return on_file(name, h, [&](Token&, Object&, Node& n) -> int {
    if (std::size_t{offset} + len > n.data.size() || (!out && len)) return result(sw(SW_RANGE));
    if (len) std::memcpy(out, n.data.data() + offset, len);
    return len;
  });
}
int file_write(const char* name, tsdk_handle h, std::uint16_t offset, const void* data,
               std::uint16_t len) {
  return on_file(name, h, [&](Token&, Object&, Node& n) -> int {
    if (std::size_t{offset} + len > n.data.size() || (!data && len)) return result(sw(SW_RANGE));
    if (len) std::memcpy(n.data.data() + offset, data, len);
    return len;
  });
}
int file_delete(const char* name, tsdk_handle h) {
  return on_file(name, h, [&](Token& t, Object& o, Node&) -> int {
    t.nodes.erase(o.path);
    return 0;
  });
}
int file_info(const char* name, tsdk_handle h, TOKEN_SDK_INFO* out) {
  return on_handle(name, h, Object::File, [&](State&, Token& t, Object& o) -> int {
    auto it = t.nodes.find(o.path);
    if (it == t.nodes.end()) return result(sw(SW_NOT_FOUND));
    if (out) fill_info(o.path, it->second, out);
    return 0;
  });
}
int file_close(const char* name, tsdk_handle h) {
  return store().with([&](State& s) -> int {
    if (std::uint32_t c = s.call(name)) return result(c);
    return release(get(h, Object::File)) ? 0 : result(INVALID_HANDLE);
  });
}

}  // namespace
}  // namespace sim
