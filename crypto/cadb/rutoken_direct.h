#pragma once
// Direct functions of the ruToken driver that the file layer calls. Each takes a token path
// ("ruToken" stands for a null path in RT_logout and RT_is_inserted).
#include "crypto/cadb/token_dir.h"

namespace jarnel {

struct BIO;

// 1 when the driver's vendor library is bound (the carrier can be polled).
int RT_available();
// 1 when the path can be opened for reading.
int RT_exists(const char* path);
int RT_is_directory(const char* path);
int RT_is_file(const char* path);
// Fills list with the entries of the directory named by path; 1 when the path is a directory.
int RT_list(const char* path, TOKEN_DIR_LIST* list);
// Takes an object opened for writing: flushes it, marks it not to be flushed again and
// deletes its file. 1 on success.
int RT_delete(BIO* b);
int RT_remove_directory(const char* path);
int RT_logout(const char* path);
int RT_is_inserted(const char* path);

}  // namespace jarnel
