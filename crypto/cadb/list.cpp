// Listing a token directory: every entry's full path goes to a call-back, which returns 0 to
// stop the listing. How a carrier lists is its record's business (carrier.h).
#include <cstring>

#include "crypto/cadb/cadb.h"
#include "crypto/cadb/carrier.h"
#include "crypto/err/err.h"

namespace jarnel {

int CADB_list_directory(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg) {
  if (!path) return 0;
  std::size_t n = std::strlen(path);
  if (n >= static_cast<std::size_t>(CADB_PATH_MAX)) {
    ERR_put_error(LIB_CADB, CADB_F_CADB_LIST_DIRECTORY, R_INTERNAL_ERROR, __FILE__, __LINE__);
    ERR_add_error_data(2, "path of 260 characters or more: ", path);
    return 0;
  }
  char p[CADB_PATH_BUF];
  for (std::size_t i = 0; i <= n; ++i) p[i] = path[i] == '/' ? '\\' : path[i];
  return CARRIER_for_path(p)->list(p, list_flags, cb, arg);
}

}  // namespace jarnel
