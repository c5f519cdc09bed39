// eToken R2 direct functions while the legacy interface library is not bound: every call fails
// without touching a reader or a token.
#include "crypto/cadb/etr2_direct.h"

namespace jarnel {

int ETR2_available() { return 0; }
int ETR2_stat(const char*) { return 0; }
int ETR2_is_inserted(const char*) { return 0; }
int ETR2_logout(const char*) { return 0; }
int ETR2_delete(BIO*) { return 0; }
int ETR2_remove_directory(const char*) { return 0; }
int ETR2_list(const char*, TOKEN_DIR_LIST*) { return 0; }

}  // namespace jarnel
