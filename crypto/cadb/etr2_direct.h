#pragma once
// Direct functions of the eToken R2 (legacy interface library) driver that the file layer
// calls. Each takes a token path; paths of the eToken SDK form are handed to that driver.
#include "crypto/cadb/token_dir.h"

namespace jarnel {

struct BIO;

// 1 when the legacy library is bound.
int ETR2_available();
// 0x4000 directory, 0x8000 file, 0 not found.
int ETR2_stat(const char* path);
int ETR2_is_inserted(const char* path);
int ETR2_logout(const char* path);
// Takes an object opened for writing: flushes it, marks it not to be flushed again and
// deletes its file. 1 on success.
int ETR2_delete(BIO* b);
int ETR2_remove_directory(const char* path);
// Fills list with the names the library reports for the directory; 1 on success.
int ETR2_list(const char* path, TOKEN_DIR_LIST* list);

}  // namespace jarnel
