// Steps of this module that the core calls before the module is built. Each does nothing and
// reports success; the module replaces it with its own definition and removes it from here.
#include "crypto/hooks.h"

namespace jarnel {

int X509V3_register_extensions() { return 1; }
}  // namespace jarnel
