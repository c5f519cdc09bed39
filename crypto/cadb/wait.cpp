// Waiting for a carrier: a token until its driver sees it, a removable drive until it holds a
// medium, any other drive until it exists. The waiter decides how long (for example by asking
// the user to insert the carrier) and returns 0 to give up.
#include <cstring>

#include "crypto/cadb/cadb.h"
#include "platform/drive.h"
#include "platform/fs.h"

namespace jarnel {

int CADB_wait_for_carrier(const char* path, CADB_waiter waiter, void* waiter_arg) {
  if (!waiter) return 1;
  if (CADB_is_token_path(path)) {
    if (!CADB_attach_token(path)) return 0;
    while (!CADB_is_inserted(path))
      if (!waiter(path, waiter_arg)) return 0;
    return 1;
  }
  char full[CADB_PATH_BUF + 1];
  if (!path || !platform::full_path(path, full, sizeof full)) return 1;
  if (std::strlen(full) < 2 || full[1] != ':') return 1;
  char letter = full[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return 1;
  const char root[] = {letter, ':', '\\', '\0'};
  if (platform::drive_type(root) == platform::DRIVE_TYPE_REMOVABLE) {
    for (;;) {
      // No system dialog may ask for a disk while the medium is probed.
      unsigned previous = platform::set_error_mode(platform::ERROR_MODE_FAIL_CRITICAL);
      bool present = platform::volume_present(root);
      platform::set_error_mode(previous);
      if (present) return 1;
      if (!waiter(path, waiter_arg)) return 0;
    }
  }
  while (!(platform::logical_drives() & (1UL << (letter - 'A'))))
    if (!waiter(path, waiter_arg)) return 0;
  return 1;
}

}  // namespace jarnel
