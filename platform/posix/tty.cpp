#include "platform/tty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace jarnel::platform {

long read_secret_from_terminal(const char* prompt, char* buf, std::size_t cap) {
  if (!buf || cap == 0) return -1;
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (prompt) (void)!::write(fd, prompt, std::strlen(prompt));
  struct termios old {};
  bool restore = ::tcgetattr(fd, &old) == 0;
  if (restore) {
    struct termios quiet = old;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::size_t n = 0;
  long result = -1;
  for (;;) {
    char c;
    ssize_t r = ::read(fd, &c, 1);
    if (r <= 0) break;
    if (c == '\n' || c == '\r') {
      result = static_cast<long>(n);
      break;
    }
    if (n + 1 < cap) buf[n++] = c;
  }
  buf[n < cap ? n : cap - 1] = '\0';
  if (restore) ::tcsetattr(fd, TCSAFLUSH, &old);
  ::close(fd);

  if (result < 0) {
    volatile char* v = buf;
    for (std::size_t i = 0; i < cap; ++i) v[i] = 0;
  }
  return result;
}

}  // namespace jarnel::platform
