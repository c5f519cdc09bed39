// Steps of this module that the core calls before the module is built. Each does nothing and
// reports success; the module replaces it with its own definition and removes it from here.
#include "crypto/hooks.h"

namespace jarnel {

int PKCS11_startup() { return 1; }
void PKCS11_shutdown() {}
void PKCS11_set_default_passwd_cb(password_cb) {}
void ERR_load_PKCS11_strings() {}
}  // namespace jarnel
