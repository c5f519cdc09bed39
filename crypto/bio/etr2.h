#pragma once
// The eToken R2 driver: files on eToken carriers through the legacy interface library
// "drumvex.dll". Paths: "eTR2", then a reader digit d (the reader "AKS ifdh d"), or '/' or '\'
// and a reader name, or nothing (the readers "AKS ifdh 0" to "AKS ifdh 9" are tried in turn);
// then ":/" or ":\" and the file path, whose groups of four hex digits lie in 3F00\E007 unless
// it begins with 3f00 ("eTR2 3:\1001", "eTR2:/3f00/e007/1001", "eTR2/AKS ifdh 1:\1001").
#include "crypto/bio/bio.h"

namespace jarnel {

struct TOKEN_DIR_LIST;
struct ETR2_FILE_INFO;

// CADB_S_IFDIR, CADB_S_IFREG, or 0 when the path is on no token.
int ETR2_stat(const char* path);
// 1 with the path's information, 0 when it is on no token.
int ETR2_get_info(const char* path, ETR2_FILE_INFO* out);
// 1 when a token the path names holds the root directory 3f00.
int ETR2_is_inserted(const char* path);
// 0 for "eTR2" paths: the legacy library keeps no login to end.
int ETR2_logout(const char* path);
// Commits the object opened for writing, then deletes its file; 1 on success.
int ETR2_delete(BIO* b);
int ETR2_remove_directory(const char* path);
// Fills list with the names in the directory path; 1 on success.
int ETR2_list(const char* path, TOKEN_DIR_LIST* list);
int ETR2_library_load();
void ETR2_library_unload();
int ETR2_available(const char* path);

// A path taken apart: the readers it may name, in the order they are tried, and the compact
// file path (the hex digits of its groups, 3f00e007 prefixed to a relative one). ok is false
// when the path is not an eTR2 path with a file part.
inline constexpr int ETR2_PATH_READERS = 10;
struct ETR2_PATH {
  char readers[ETR2_PATH_READERS][264];
  int count;
  char file[300];
  bool ok;
};
void ETR2_parse_path(const char* path, ETR2_PATH* out);

int ETR2_startup();
void ETR2_shutdown();

}  // namespace jarnel
