#pragma once
// Thread identity and per-thread values that are released when their thread ends.

namespace jarnel::platform {

// The system's id of the calling thread (the kernel thread id on Linux).
unsigned long thread_id();
// The system's id of the calling process; a child made by fork() has an id of its own.
unsigned long process_id();

// A per-thread slot. on_thread_exit runs on a thread that ends while its value is non-null,
// with that value; it is not run for the value of a thread that cleared its slot itself.
struct ThreadSlot;
ThreadSlot* thread_slot_create(void (*on_thread_exit)(void*));
// Releases the slot itself; values still set in other threads are not released.
void thread_slot_destroy(ThreadSlot* slot);
void* thread_slot_get(ThreadSlot* slot);
bool thread_slot_set(ThreadSlot* slot, void* value);

}  // namespace jarnel::platform
