// eToken direct functions while the vendor library is not bound: every call fails without
// touching a reader or a token.
#include "crypto/cadb/etoken_direct.h"

namespace jarnel {

int ET_available() { return 0; }
int ET_exists(const char*) { return 0; }
int ET_is_directory(const char*) { return 0; }
int ET_is_file(const char*) { return 0; }
int ET_list(const char*, TOKEN_DIR_LIST*) { return 0; }
int ET_delete(BIO*) { return 0; }
int ET_remove_directory(const char*) { return 0; }
int ET_logout(const char*) { return 0; }
int ET_is_inserted(const char*) { return 0; }

}  // namespace jarnel
