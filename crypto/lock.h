#pragma once
// Numbered locks shared by the whole library, and the mutex functions for objects that own one.
//
// Lock numbers in use: 1 error states, 2 error texts, 3 certificates, 5 private-key records,
// 17 random generator and parameter-table digests, 18 key-store start-up count and iButton port
// cache, 19 BIO references, 24 GOST R 34.10-94 keys, 25 library start-up and container
// references, 26 mask generation, 27 elliptic-curve objects, 29 shared S-box tables, 33
// self-test timing, 30 TMEX (iButton) sessions, 31 eToken SDK transfers, 32 eToken R2
// transfers, 35 ruToken transfers, 36 PKCS#11 modules, 37 whole folder-file reads and writes.
// Every lock is recursive: a nested request for the same number on one thread does not block.

namespace jarnel {

inline constexpr int CRYPTO_NUM_LOCKS = 38;
// Mode bits of a lock request: bit 0 set takes the lock, anything else releases it.
inline constexpr int CRYPTO_LOCK = 1;
inline constexpr int CRYPTO_UNLOCK = 2;
inline constexpr int CRYPTO_READ = 4;
inline constexpr int CRYPTO_WRITE = 8;

namespace locks {
inline constexpr int ERR = 1, ERR_STRINGS = 2, CERT = 3, PKEY = 5, RAND = 17, CADB = 18, BIO = 19,
                     R3410 = 24, PSE = 25, MASK = 26, EC = 27, SBOX = 29, TMEX = 30,
                     ETOKEN = 31, ETR2 = 32, CHECK = 33, RUTOKEN = 35, PKCS11 = 36, FILES = 37;
}

using LockingFn = void (*)(int mode, int n, const char* file, int line);

void CRYPTO_set_locking_callback(LockingFn fn);
LockingFn CRYPTO_get_locking_callback();
// Calls the installed lock function; does nothing while none is installed.
void CRYPTO_lock(int mode, int n, const char* file, int line);

// Holds lock n for a scope. The release goes to the lock function that took the lock: a lock
// function installed while the guard is held (the start-up installs the table under lock 18)
// never sees a release of a lock it did not take.
class LockGuard {
 public:
  explicit LockGuard(int n, const char* file = __builtin_FILE(), int line = __builtin_LINE())
      : fn_(CRYPTO_get_locking_callback()), n_(n), file_(file), line_(line) {
    if (fn_) fn_(CRYPTO_LOCK | CRYPTO_WRITE, n_, file_, line_);
  }
  ~LockGuard() {
    if (fn_) fn_(CRYPTO_UNLOCK | CRYPTO_WRITE, n_, file_, line_);
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  LockingFn fn_;
  int n_;
  const char* file_;
  int line_;
};

// The table of numbered mutexes behind the lock function. Creates them all; on the first that
// cannot be created it stops and installs no lock function (result 0).
int CRYPTO_create_lock_table();
// Uninstalls the lock function and closes the mutexes.
void CRYPTO_destroy_lock_table();

// Mutex functions for objects that own a mutex of their own.
using MUTEX = void*;
int CRYPTO_create_mutex(MUTEX* out);   // 1 if created, 0 otherwise
int CRYPTO_destroy_mutex(MUTEX m);     // 0 for a null handle
int CRYPTO_lock_mutex(MUTEX m);        // waits without time-out; 0 for null or a failed wait
int CRYPTO_unlock_mutex(MUTEX m);      // 0 for a null handle

}  // namespace jarnel
