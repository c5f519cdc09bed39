// Steps of this module that the core calls before the module is built. Each does nothing and
// reports success; the module replaces it with its own definition and removes it from here.
#include "crypto/hooks.h"

namespace jarnel {

int RAND_startup(int) { return 1; }
int PSE_rand_startup() { return 1; }
void PSE_rand_shutdown() {}
void ERR_load_RAND_strings() {}
}  // namespace jarnel
