#include "tests/support/mem_watch.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "crypto/mem.h"

namespace mem_watch {
namespace {

// Blocks made by the watcher and their sizes; blocks it did not make are passed on untouched.
// The map itself lives on the C++ heap, which does not come through here. Its keys are the
// blocks' addresses inverted: a plain address would keep every block reachable, and
// LeakSanitizer would never report one the code under test lost.
std::mutex g_lock;
std::unordered_map<std::uintptr_t, std::size_t>& blocks() {
  static auto* m = new std::unordered_map<std::uintptr_t, std::size_t>;
  return *m;
}
std::uintptr_t key_of(const void* p) { return ~reinterpret_cast<std::uintptr_t>(p); }

struct Needle {
  std::string name;
  std::vector<unsigned char> forward, backward;
};
std::vector<Needle>& needles() {
  static auto* v = new std::vector<Needle>;
  return *v;
}
std::vector<std::string>& found() {
  static auto* v = new std::vector<std::string>;
  return *v;
}
std::atomic<bool> g_watching{false};

// Failure injection: only on the thread that armed it.
thread_local long t_fail_at = -1;
thread_local long t_count = 0;
thread_local bool t_fired = false;
thread_local bool t_armed = false;
thread_local bool t_library_only = false;
thread_local bool t_in_openssl = false;

bool should_fail() {
  if (!t_armed || (t_library_only && t_in_openssl)) return false;
  const long n = t_count++;
  if (n == t_fail_at) {
    t_fired = true;
    return true;
  }
  return false;
}

// Called with g_lock held.
void inspect(const unsigned char* p, std::size_t n) {
  if (!g_watching) return;
  for (const auto& needle : needles()) {
    for (const auto* pattern : {&needle.forward, &needle.backward}) {
      if (n >= pattern->size() &&
          std::search(p, p + n, pattern->begin(), pattern->end()) != p + n) {
        found().push_back(needle.name);
        // MEM_WATCH_ABORT=1 stops at the free, for a backtrace in a debugger.
        if (std::getenv("MEM_WATCH_ABORT")) std::abort();
        break;
      }
    }
  }
}

void* w_malloc(std::size_t n) {
  if (should_fail()) return nullptr;
  void* p = std::malloc(n ? n : 1);
  if (p) {
    std::lock_guard<std::mutex> g(g_lock);
    blocks()[key_of(p)] = n;
  }
  return p;
}

void w_free(void* p) {
  if (!p) return;
  {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = blocks().find(key_of(p));
    if (it != blocks().end()) {
      inspect(static_cast<unsigned char*>(p), it->second);
      blocks().erase(it);
    }
  }
  std::free(p);
}

// Always moves the block (so the old one is inspected when freed).
void* w_realloc(void* p, std::size_t n) {
  if (!p) return w_malloc(n);
  std::size_t old = 0;
  bool ours = false;
  {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = blocks().find(key_of(p));
    if (it != blocks().end()) {
      old = it->second;
      ours = true;
    }
  }
  if (!ours) return should_fail() ? nullptr : std::realloc(p, n);
  void* q = w_malloc(n);
  if (!q) return nullptr;
  std::memcpy(q, p, std::min(old, n));
  w_free(p);
  return q;
}

// OpenSSL's allocations, marked so that a library-only failure point skips them.
struct InOpenssl {
  bool was = t_in_openssl;
  InOpenssl() { t_in_openssl = true; }
  ~InOpenssl() { t_in_openssl = was; }
};
void* ossl_malloc(std::size_t n, const char*, int) {
  InOpenssl mark;
  return w_malloc(n);
}
void* ossl_realloc(void* p, std::size_t n, const char*, int) {
  InOpenssl mark;
  return w_realloc(p, n);
}
void ossl_free(void* p, const char*, int) { w_free(p); }

// Before OpenSSL or the library allocates anything.
__attribute__((constructor(101))) void install_openssl() {
  CRYPTO_set_mem_functions(ossl_malloc, ossl_realloc, ossl_free);
}

}  // namespace

void install_library() { jarnel::CRYPTO_set_mem_functions(w_malloc, w_realloc, w_free); }

FailAt::FailAt(long n, Scope scope) {
  t_library_only = scope == Scope::Library;
  t_fail_at = n;
  t_count = 0;
  t_fired = false;
  t_armed = true;
}
FailAt::~FailAt() {
  t_armed = false;
  t_library_only = false;
  t_fail_at = -1;
}
long FailAt::allocations() const { return t_count; }
bool FailAt::fired() const { return t_fired; }

void watch(const std::string& name, std::span<const unsigned char> secret) {
  Needle n;
  n.name = name;
  const std::size_t len = std::min<std::size_t>(16, secret.size());
  const std::size_t from = (secret.size() - len) / 2;
  n.forward.assign(secret.begin() + static_cast<long>(from),
                   secret.begin() + static_cast<long>(from + len));
  n.backward.assign(n.forward.rbegin(), n.forward.rend());
  std::lock_guard<std::mutex> g(g_lock);
  needles().push_back(std::move(n));
  g_watching = true;
}

void unwatch() {
  std::lock_guard<std::mutex> g(g_lock);
  g_watching = false;
  needles().clear();
  found().clear();
}

std::vector<std::string> hits() {
  std::lock_guard<std::mutex> g(g_lock);
  return found();
}

}  // namespace mem_watch
