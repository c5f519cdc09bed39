// iButton direct functions while the vendor file-system library is not bound: every vendor
// call answers TM_LIBRARY_MISSING, so each function fails without touching a device.
#include "crypto/cadb/ibutton_direct.h"

#include <cstring>

namespace jarnel {

int TM_file_exists(const char*) { return 0; }

int TM_find_first(const char*, TM_FIND* find) {
  if (find) {
    std::memset(find, 0, sizeof *find);
    find->port = {-1, -1};
    find->directory.reference = '\\';
  }
  return TM_LIBRARY_MISSING;
}

int TM_find_next(TM_FIND* find) {
  if (!find || find->session < 1) return 0;
  return 0;
}

void TM_find_close(TM_FIND* find) {
  if (find) find->session = 0;
}

int TM_delete_file(const char*) { return 0; }
int TM_remove_directory(const char*) { return 0; }

}  // namespace jarnel
