#include "output.h"

#include <cerrno>
#include <cstring>

#include "command.h"
#include "platform/fs.h"

namespace jarnel::tool {

OutputFile::~OutputFile() { abandon(); }

int OutputFile::open(const char* path, bool private_file) {
  if (!path || !std::strcmp(path, "-")) {
    f_ = stdout;
    return -1;
  }
  path_ = name_ = path;
  f_ = platform::output_file_open(path, private_file, &created_);
  if (!f_) return fail_errno(path, errno);
  return -1;
}

bool OutputFile::write(const void* p, std::size_t n) {
  if (!f_ || errno_) return false;
  if (n == 0 || std::fwrite(p, 1, n, f_) == n) return true;
  errno_ = errno ? errno : EIO;
  return false;
}

bool OutputFile::print(const char* text) { return write(text, std::strlen(text)); }

int OutputFile::close() {
  if (!f_) return -1;
  if (f_ == stdout) {
    f_ = nullptr;
    return errno_ ? fail_errno(name_, errno_) : -1;
  }
  errno = 0;
  if (std::fclose(f_) != 0 && !errno_) errno_ = errno ? errno : EIO;
  f_ = nullptr;
  if (!errno_) return -1;
  if (created_) platform::output_file_discard(path_);
  created_ = false;
  return fail_errno(name_, errno_);
}

void OutputFile::abandon() {
  if (f_ && f_ != stdout) std::fclose(f_);
  if (f_ && created_) platform::output_file_discard(path_);
  f_ = nullptr;
  created_ = false;
}

}  // namespace jarnel::tool
