#include "crypto/lock.h"

#include <atomic>

#include "platform/mutex.h"

namespace jarnel {
namespace {

std::atomic<LockingFn> g_locking{nullptr};
platform::Mutex* g_table[CRYPTO_NUM_LOCKS] = {};

void table_lock(int mode, int n, const char*, int) {
  if (n < 0 || n >= CRYPTO_NUM_LOCKS) return;
  if (mode & CRYPTO_LOCK)
    platform::mutex_lock(g_table[n]);
  else
    platform::mutex_unlock(g_table[n]);
}

}  // namespace

void CRYPTO_set_locking_callback(LockingFn fn) { g_locking = fn; }
LockingFn CRYPTO_get_locking_callback() { return g_locking; }

void CRYPTO_lock(int mode, int n, const char* file, int line) {
  if (LockingFn fn = g_locking.load()) fn(mode, n, file, line);
}

int CRYPTO_create_lock_table() {
  for (int i = 0; i < CRYPTO_NUM_LOCKS; ++i) {
    if (g_table[i]) continue;
    g_table[i] = platform::mutex_create();
    if (!g_table[i]) return 0;
  }
  CRYPTO_set_locking_callback(&table_lock);
  return 1;
}

void CRYPTO_destroy_lock_table() {
  if (g_locking.load() == &table_lock) CRYPTO_set_locking_callback(nullptr);
  for (auto*& m : g_table) {
    platform::mutex_destroy(m);
    m = nullptr;
  }
}

int CRYPTO_create_mutex(MUTEX* out) {
  if (!out) return 0;
  *out = platform::mutex_create();
  return *out ? 1 : 0;
}

int CRYPTO_destroy_mutex(MUTEX m) {
  if (!m) return 0;
  platform::mutex_destroy(static_cast<platform::Mutex*>(m));
  return 1;
}

int CRYPTO_lock_mutex(MUTEX m) {
  return m && platform::mutex_lock(static_cast<platform::Mutex*>(m)) ? 1 : 0;
}

int CRYPTO_unlock_mutex(MUTEX m) {
  return m && platform::mutex_unlock(static_cast<platform::Mutex*>(m)) ? 1 : 0;
}

}  // namespace jarnel
