#pragma once
// The ruToken driver: files on ruToken USB tokens through the vendor library "rtapilt.dll".
// Paths: "ruToken" or "Aktiv Co. ruToken", an optional reader suffix (the reader is then
// "Aktiv Co. ruToken <suffix>"), a colon, and identifier groups of four hex digits below the
// root directory F001 ("ruToken:1001\2002", "ruToken 0:\0000f001\1001\2002").
#include "crypto/bio/bio.h"
#include "crypto/hooks.h"

namespace jarnel {

struct TOKEN_DIR_LIST;

// 1 when the path can be opened for reading; whether it names a directory or a file.
int RT_exists(const char* path);
int RT_is_directory(const char* path);
int RT_is_file(const char* path);
// Fills list with the entries of the directory path (subdirectories first); 1 when it is one.
int RT_list(const char* path, TOKEN_DIR_LIST* list);
// Commits the object opened for writing, then deletes its file; 1 on success.
int RT_delete(BIO* b);
int RT_remove_directory(const char* path);
// Logs the token of the path out (null: any ruToken); the logout's result.
int RT_logout(const char* path);
// 1 when a token can be bound in a reader the path names (null: any ruToken).
int RT_is_inserted(const char* path);
void RT_set_password_callback(password_cb cb);
int RT_library_load();
void RT_library_unload();
int RT_available(const char* path);

int RUTOKEN_startup();
void RUTOKEN_shutdown();
void RUTOKEN_set_passwd_cb(password_cb cb);

}  // namespace jarnel
