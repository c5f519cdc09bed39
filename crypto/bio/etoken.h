#pragma once
// The eToken driver: files on eToken USB tokens and smart cards through the vendor SDK library
// "etsdk.dll". Paths: "eToken" (any reader), "AKS ifdh" or "Aladdin Token JC" (readers whose
// names begin so), an optional reader suffix matched against the reader name's last word, a
// colon, and identifier groups of four hex digits in the application directory 3F00\E007
// ("eToken:1001\2002", "AKS ifdh 1:\3f00\e007\1001", "eToken:\3f00\6666\e007\1001").
#include "crypto/bio/bio.h"
#include "crypto/hooks.h"

namespace jarnel {

struct TOKEN_DIR_LIST;

int ET_exists(const char* path);
int ET_is_directory(const char* path);
int ET_is_file(const char* path);
// Fills list with the entries of the directory path (subdirectories first); 1 when it is one.
int ET_list(const char* path, TOKEN_DIR_LIST* list);
// Commits the object opened for writing, then deletes its file; 1 on success.
int ET_delete(BIO* b);
int ET_remove_directory(const char* path);
// Logs the token of the path out (null: any eToken); the logout's result.
int ET_logout(const char* path);
// 1 when a token can be bound in a reader the path names (null: any eToken).
int ET_is_inserted(const char* path);
void ET_set_password_callback(password_cb cb);
int ET_library_load();
void ET_library_unload();
int ET_available(const char* path);

int ETOKEN_startup();
void ETOKEN_shutdown();
void ETOKEN_set_passwd_cb(password_cb cb);

}  // namespace jarnel
