#include "platform/mutex.h"

#include <pthread.h>

#include <new>

namespace jarnel::platform {

struct Mutex {
  pthread_mutex_t m;
};

Mutex* mutex_create() {
  auto* mx = new (std::nothrow) Mutex;
  if (!mx) return nullptr;
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) {
    delete mx;
    return nullptr;
  }
  // Error-checking on release too: unlocking a mutex the thread does not hold fails cleanly.
  bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutex_init(&mx->m, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  if (!ok) {
    delete mx;
    return nullptr;
  }
  return mx;
}

void mutex_destroy(Mutex* m) {
  if (!m) return;
  pthread_mutex_destroy(&m->m);
  delete m;
}

bool mutex_lock(Mutex* m) { return m && pthread_mutex_lock(&m->m) == 0; }

bool mutex_unlock(Mutex* m) { return m && pthread_mutex_unlock(&m->m) == 0; }

}  // namespace jarnel::platform
