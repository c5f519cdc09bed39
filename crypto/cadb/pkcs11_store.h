#pragma once
// The PKCS#11 file store as the file layer sees it: key-container files kept as data objects on
// a PKCS#11 token, reached by paths that begin with "pkcs11". The layer hands existence,
// listing, erasure, presence, attach and logout of such paths to these functions.
#include "crypto/cadb/cadb.h"

namespace jarnel {

int PKCS11_file_exists(const char* path);
// Lists with all list flags (bits above 2 select what the store reports); same contract as
// CADB_list_directory.
int PKCS11_list_files(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg);
// 1 when no object of the path remains.
int PKCS11_delete_file(const char* path);
int PKCS11_is_inserted(const char* path);
// 1 when the path's module is loaded and can be polled.
int PKCS11_attach(const char* path);
// > 0 on success.
int PKCS11_logout(const char* path);

}  // namespace jarnel
