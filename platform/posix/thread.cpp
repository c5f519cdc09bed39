#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

namespace jarnel::platform {

unsigned long thread_id() { return static_cast<unsigned long>(syscall(SYS_gettid)); }

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

struct ThreadSlot {
  pthread_key_t key;
};

ThreadSlot* thread_slot_create(void (*on_thread_exit)(void*)) {
  auto* s = new (std::nothrow) ThreadSlot;
  if (!s) return nullptr;
  if (pthread_key_create(&s->key, on_thread_exit) != 0) {
    delete s;
    return nullptr;
  }
  return s;
}

void thread_slot_destroy(ThreadSlot* slot) {
  if (!slot) return;
  pthread_key_delete(slot->key);
  delete slot;
}

void* thread_slot_get(ThreadSlot* slot) { return slot ? pthread_getspecific(slot->key) : nullptr; }

bool thread_slot_set(ThreadSlot* slot, void* value) {
  return slot && pthread_setspecific(slot->key, value) == 0;
}

}  // namespace jarnel::platform
