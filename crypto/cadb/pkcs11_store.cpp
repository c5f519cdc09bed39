// PKCS#11 file store while no module binding is available: every call fails without loading a
// module or touching a token.
#include "crypto/cadb/pkcs11_store.h"

namespace jarnel {

int PKCS11_file_exists(const char*) { return 0; }
int PKCS11_list_files(const char*, unsigned, CADB_list_callback, void*) { return 0; }
int PKCS11_delete_file(const char*) { return 0; }
int PKCS11_is_inserted(const char*) { return 0; }
int PKCS11_attach(const char*) { return 0; }
int PKCS11_logout(const char*) { return 0; }

}  // namespace jarnel
