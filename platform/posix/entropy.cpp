#include "platform/entropy.h"

#include <sys/random.h>

#include <cerrno>

namespace jarnel::platform {

bool system_entropy(unsigned char* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t got = getrandom(buf + done, n - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace jarnel::platform
