#include "platform/fs.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace jarnel::platform {
namespace {

// A path with slashes, or null (errno set) when it cannot be converted.
struct NativePath {
  explicit NativePath(const char* p) {
    if (!p) {
      errno = EFAULT;
      return;
    }
    s.assign(p);
    for (char& c : s)
      if (c == '\\') c = '/';
    ok = true;
  }
  const char* get() const { return ok ? s.c_str() : nullptr; }
  std::string s;
  bool ok = false;
};

unsigned mode_bits(mode_t m) {
  if (S_ISDIR(m)) return FS_MODE_DIRECTORY;
  if (S_ISREG(m)) return FS_MODE_REGULAR;
  return 0;
}

}  // namespace

bool native_path(const char* path, char* out, std::size_t cap) {
  if (!path || !out) return false;
  std::size_t n = std::strlen(path);
  if (n + 1 > cap) return false;
  for (std::size_t i = 0; i <= n; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
  return true;
}

int fs_access(const char* path) {
  NativePath p(path);
  if (!p.get()) return -1;
  return ::access(p.get(), F_OK) == 0 ? 0 : -1;
}

bool fs_stat(const char* path, FileStatus* st) {
  NativePath p(path);
  struct stat sb;
  if (!p.get() || ::stat(p.get(), &sb) != 0) return false;
  if (st) {
    st->mode = mode_bits(sb.st_mode);
    st->size = static_cast<std::int64_t>(sb.st_size);
  }
  return true;
}

bool fs_is_real_directory(const char* path) {
  NativePath p(path);
  struct stat sb;
  return p.get() && ::lstat(p.get(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

int fs_mkdir(const char* path) {
  NativePath p(path);
  return p.get() && ::mkdir(p.get(), 0777) == 0 ? 0 : -1;
}

int fs_rmdir(const char* path) {
  NativePath p(path);
  return p.get() && ::rmdir(p.get()) == 0 ? 0 : -1;
}

int fs_remove(const char* path) {
  NativePath p(path);
  return p.get() && ::remove(p.get()) == 0 ? 0 : -1;
}

int fs_chmod(const char* path, int mode) {
  NativePath p(path);
  struct stat sb;
  if (!p.get() || ::stat(p.get(), &sb) != 0) return -1;
  mode_t m = sb.st_mode & 07777;
  if (mode & 0200)
    m |= S_IRUSR | S_IWUSR;
  else
    m &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  return ::chmod(p.get(), m) == 0 ? 0 : -1;
}

bool last_error_is_invalid_name() { return false; }

bool full_path(const char* path, char* out, std::size_t cap) {
  if (!path || !out || cap == 0) return false;
  std::string in(path);
  for (char& c : in)
    if (c == '\\') c = '/';
  if (in.empty() || in[0] != '/') {
    std::vector<char> cwd(PATH_MAX + 1);
    if (!::getcwd(cwd.data(), cwd.size())) return false;
    in = std::string(cwd.data()) + "/" + in;
  }
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= in.size()) {
    std::size_t j = in.find('/', i);
    if (j == std::string::npos) j = in.size();
    std::string part = in.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string result;
  for (const auto& part : parts) result += "\\" + part;
  if (result.empty()) result = "\\";
  if (result.size() + 1 > cap) return false;
  std::memcpy(out, result.c_str(), result.size() + 1);
  return true;
}

std::FILE* file_open(const char* path, const char* mode) {
  NativePath p(path);
  if (!p.get() || !mode) return nullptr;
  std::FILE* fp = std::fopen(p.get(), mode);
  if (!fp) return nullptr;
  struct stat sb;
  if (::fstat(::fileno(fp), &sb) == 0 && S_ISDIR(sb.st_mode)) {
    std::fclose(fp);
    errno = EISDIR;
    return nullptr;
  }
  return fp;
}

int file_size(std::FILE* fp, std::int64_t* size) {
  if (!fp) return 0;
  int fd = ::fileno(fp);
  if (fd < 0) return -1;
  struct stat sb;
  if (::fstat(fd, &sb) != 0) return 0;
  if (size) *size = static_cast<std::int64_t>(sb.st_size);
  return 1;
}

bool file_sync(std::FILE* fp) {
  if (!fp || std::fflush(fp) != 0) return false;
  int fd = ::fileno(fp);
  // Devices and pipes cannot be synchronised; their data has left the buffer all the same.
  if (fd >= 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) return false;
  return true;
}

void file_set_text_mode(std::FILE*, bool) {}

}  // namespace jarnel::platform
