// ruToken direct functions while the vendor library is not bound: every call fails without
// touching a reader or a token.
#include "crypto/cadb/rutoken_direct.h"

namespace jarnel {

int RT_available() { return 0; }
int RT_exists(const char*) { return 0; }
int RT_is_directory(const char*) { return 0; }
int RT_is_file(const char*) { return 0; }
int RT_list(const char*, TOKEN_DIR_LIST*) { return 0; }
int RT_delete(BIO*) { return 0; }
int RT_remove_directory(const char*) { return 0; }
int RT_logout(const char*) { return 0; }
int RT_is_inserted(const char*) { return 0; }

}  // namespace jarnel
