#include "conn_store.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace jarnel::proxy {

namespace {

struct Entry {
  std::string name;
  store::Connection conn;
};

struct Store {
  std::mutex mutex;
  store::Connection lan;
  std::vector<Entry> dialup;
  DialupResult dialup_result = DialupResult::Listed;
  std::set<std::string> failing_queries;
  std::set<std::string> failing_sets;
  std::vector<std::string> calls;
};

Store& the_store() {
  static Store s;
  return s;
}

std::string label(const char* name) {
  return name == nullptr ? std::string("LAN") : "'" + std::string(name) + "'";
}

// "VERB NAME 4,1,3,2": a call and the option numbers in the order given.
std::string describe(const char* verb, const ConnOptionList& list) {
  std::string out = std::string(verb) + " " + label(list.connection) + " ";
  for (std::uint32_t i = 0; i < list.count; ++i) {
    if (i != 0) out += ',';
    out += std::to_string(list.options[i].option);
  }
  return out;
}

// Caller holds the mutex.
store::Connection* find(Store& s, const char* name) {
  if (name == nullptr) return &s.lan;
  for (Entry& e : s.dialup) {
    if (e.name == name) return &e.conn;
  }
  return nullptr;
}

std::optional<std::string>* text_field(store::Connection& c, std::uint32_t option) {
  switch (option) {
    case OPT_PROXY_SERVER: return &c.proxy_server;
    case OPT_PROXY_BYPASS: return &c.proxy_bypass;
    case OPT_AUTOCONFIG_URL: return &c.autoconfig_url;
    default: return nullptr;
  }
}

std::uint32_t* number_field(store::Connection& c, std::uint32_t option) {
  switch (option) {
    case OPT_FLAGS: return &c.flags;
    case OPT_AUTODISCOVERY_FLAGS: return &c.autodiscovery_flags;
    default: return nullptr;
  }
}

char* dup_text(const std::string& text) {
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

}  // namespace

bool conn_query_options(ConnOptionList& list) {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back(describe("query", list));
  store::Connection* c = find(s, list.connection);
  if (c == nullptr || s.failing_queries.count(label(list.connection)) != 0) return false;
  for (std::uint32_t i = 0; i < list.count; ++i) {
    const std::uint32_t option = list.options[i].option;
    if (text_field(*c, option) == nullptr && number_field(*c, option) == nullptr) return false;
  }
  std::vector<char*> copies;
  for (std::uint32_t i = 0; i < list.count; ++i) {
    ConnOption& o = list.options[i];
    if (std::uint32_t* n = number_field(*c, o.option)) {
      o.number = *n;
      continue;
    }
    const std::optional<std::string>& text = *text_field(*c, o.option);
    char* copy = nullptr;
    if (text) {
      copy = dup_text(*text);
      if (copy == nullptr) {
        for (char* p : copies) std::free(p);
        return false;
      }
      copies.push_back(copy);
    }
    o.text = copy;
  }
  return true;
}

void conn_free_text(const char* text) {
  std::free(const_cast<char*>(text));
}

bool conn_set_options(const ConnOptionList& list) {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back(describe("set", list));
  store::Connection* c = find(s, list.connection);
  if (c == nullptr || s.failing_sets.count(label(list.connection)) != 0) return false;
  store::Connection updated = *c;
  for (std::uint32_t i = 0; i < list.count; ++i) {
    const ConnOption& o = list.options[i];
    if (std::uint32_t* n = number_field(updated, o.option)) {
      *n = o.number;
    } else if (std::optional<std::string>* t = text_field(updated, o.option)) {
      if (o.text == nullptr) {
        t->reset();
      } else {
        *t = std::string(o.text);
      }
    } else {
      return false;  // an unknown option changes nothing
    }
  }
  *c = std::move(updated);
  return true;
}

void conn_settings_changed() {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back("changed");
}

DialupResult dialup_entry_names(std::vector<std::string>& names) {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  names.clear();
  if (s.dialup_result != DialupResult::Listed) return s.dialup_result;
  for (const Entry& e : s.dialup) names.push_back(e.name);
  return DialupResult::Listed;
}

namespace store {

void reset() {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lan = Connection{};
  s.dialup.clear();
  s.dialup_result = DialupResult::Listed;
  s.failing_queries.clear();
  s.failing_sets.clear();
  s.calls.clear();
}

void put(const char* name, const Connection& conn) {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (Connection* c = find(s, name)) {
    *c = conn;
  } else {
    s.dialup.push_back(Entry{name, conn});
  }
}

std::optional<Connection> get(const char* name) {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (Connection* c = find(s, name)) return *c;
  return std::nullopt;
}

void set_dialup(DialupResult result) {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.dialup_result = result;
}

namespace {

void mark(std::set<std::string> Store::*failing, const char* name, bool fail) {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (fail) {
    (s.*failing).insert(label(name));
  } else {
    (s.*failing).erase(label(name));
  }
}

}  // namespace

void fail_queries(const char* name, bool fail) {
  mark(&Store::failing_queries, name, fail);
}

void fail_sets(const char* name, bool fail) {
  mark(&Store::failing_sets, name, fail);
}

std::vector<std::string> calls() {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.calls;
}

void clear_calls() {
  Store& s = the_store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.clear();
}

}  // namespace store
}  // namespace jarnel::proxy
