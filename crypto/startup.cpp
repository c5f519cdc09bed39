#include "crypto/startup.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "crypto/cadb/carrier.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/mem.h"

namespace jarnel {
namespace {

std::atomic<bool> g_started{false};
// The start-up count is needed before the numbered locks exist, so it has a mutex of its own
// besides lock 18.
std::mutex g_cadb_mutex;
int g_cadb_refs = 0;

}  // namespace

bool CRYPTO_library_started() { return g_started.load(); }

int CRYPTO_library_startup() {
  if (g_started.load()) return 1;
  LockGuard guard(locks::PSE);
  if (g_started.load()) return 1;
  CRYPTO_set_mem_functions(&std::malloc, &std::realloc, &std::free);
  CARRIER_startup_all();
  PKCS11_startup();
  MASK_startup();
  RAND_startup(0);
  g_started = true;
  return 1;
}

void CRYPTO_library_shutdown() {
  if (!g_started.load()) return;
  LockGuard guard(locks::PSE);
  if (!g_started.load()) return;
  CARRIER_shutdown_all();
  PKCS11_shutdown();
  PSE_rand_shutdown();
  ERR_remove_state(0);
  ERR_free_strings();
  MASK_shutdown();
  g_started = false;
}

int CADB_startup() {
  std::lock_guard<std::mutex> count_guard(g_cadb_mutex);
  LockGuard guard(locks::CADB);
  if (g_cadb_refs++ > 0) return 1;
  // Without the full table of mutexes no lock function is installed; the library still starts.
  CRYPTO_create_lock_table();
  CRYPTO_library_startup();
  ERR_load_crypto_strings();
  GOST_register_algorithms();
  X509V3_register_extensions();
  PSE_rand_startup();
  CHECK_power_on();
  return 1;
}

void CADB_shutdown() {
  std::lock_guard<std::mutex> count_guard(g_cadb_mutex);
  if (g_cadb_refs == 0) return;
  if (--g_cadb_refs > 0) return;
  // The numbered locks stay: a JVM may still run threads that reach the library while the
  // process exits, and they must find working locks.
  CRYPTO_library_shutdown();
}

int CADB_startup_count() {
  std::lock_guard<std::mutex> count_guard(g_cadb_mutex);
  return g_cadb_refs;
}

}  // namespace jarnel
