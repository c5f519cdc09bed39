// Process attach and detach for the shared library: loading libjarnel runs the start-up,
// unloading it (or the process ending) runs the shut-down. Thread exit is handled by the error
// state's per-thread slot, which frees the state of a thread that ends.
#include "crypto/startup.h"
#include "platform/lib_entry.h"

namespace {
void on_load() { jarnel::jarnel_process_attach(); }
void on_unload() { jarnel::jarnel_process_detach(); }
}  // namespace

JARNEL_ON_LOAD(on_load)
JARNEL_ON_UNLOAD(on_unload)
