// Steps of this module that the core calls before the module is built. Each does nothing and
// reports success; the module replaces it with its own definition and removes it from here.
#include "crypto/hooks.h"

namespace jarnel {

int ETR2_startup() { return 1; }
void ETR2_shutdown() {}
int ETOKEN_startup() { return 1; }
void ETOKEN_shutdown() {}
void ETOKEN_set_passwd_cb(password_cb) {}
int RUTOKEN_startup() { return 1; }
void RUTOKEN_shutdown() {}
void RUTOKEN_set_passwd_cb(password_cb) {}
int IBUTTON_startup() { return 1; }
void IBUTTON_shutdown() {}
void ERR_load_ETOKEN_strings() {}
void ERR_load_RUTOKEN_strings() {}
}  // namespace jarnel
