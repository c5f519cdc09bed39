#pragma once
// Recursive mutexes: the thread that holds one may take it again without blocking, as a
// Windows mutex allows; each take needs its own release.

namespace jarnel::platform {

struct Mutex;

// Creates an unowned mutex; null when the system refuses one.
Mutex* mutex_create();
void mutex_destroy(Mutex* m);
// Waits without time-out. false for a null handle or a failed wait.
bool mutex_lock(Mutex* m);
// false for a null handle or when the calling thread does not hold it.
bool mutex_unlock(Mutex* m);

}  // namespace jarnel::platform
