#pragma once
// Shared-object load and unload: the POSIX counterparts of process attach and detach.
// JARNEL_ON_LOAD(fn) runs fn when the object is loaded, JARNEL_ON_UNLOAD(fn) when it is unloaded
// or the process exits normally.
#define JARNEL_ON_LOAD(fn) \
  __attribute__((constructor)) static void jarnel_on_load_##fn() { fn(); }
#define JARNEL_ON_UNLOAD(fn) \
  __attribute__((destructor)) static void jarnel_on_unload_##fn() { fn(); }
