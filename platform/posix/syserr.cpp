#include "platform/syserr.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace jarnel::platform {

int last_error() { return errno; }

void error_text(int code, char* buf, std::size_t cap) {
  if (!buf || cap == 0) return;
  char tmp[256];
  // GNU strerror_r may return a static string instead of filling tmp.
  const char* s = strerror_r(code, tmp, sizeof tmp);
  std::snprintf(buf, cap, "%s", s ? s : "unknown error");
}

}  // namespace jarnel::platform
