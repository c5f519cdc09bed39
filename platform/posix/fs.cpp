#include "platform/fs.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace jarnel::platform {
namespace {

// A path with slashes, held on the stack; get() is null (errno set) when there is none or it
// is too long for the system.
struct NativePath {
  explicit NativePath(const char* p) {
    if (!p) {
      errno = EFAULT;
      return;
    }
    std::size_t n = std::strlen(p);
    if (n >= sizeof buf) {
      errno = ENAMETOOLONG;
      return;
    }
    for (std::size_t i = 0; i <= n; ++i) buf[i] = p[i] == '\\' ? '/' : p[i];
    ok = true;
  }
  const char* get() const { return ok ? buf : nullptr; }
  char buf[PATH_MAX];
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

int fs_mkdir(const char* path, bool private_dir) {
  NativePath p(path);
  if (!p.get() || ::mkdir(p.get(), private_dir ? 0700 : 0777) != 0) return -1;
  // The creation mask may have taken owner bits away; a private directory is exactly 0700.
  if (private_dir && ::chmod(p.get(), 0700) != 0) return -1;
  return 0;
}

bool fs_is_link(const char* path) {
  NativePath p(path);
  struct stat sb;
  return p.get() && ::lstat(p.get(), &sb) == 0 && S_ISLNK(sb.st_mode);
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
  char joined[2 * PATH_MAX + 2];
  std::size_t n = 0;
  if (path[0] != '/' && path[0] != '\\') {
    if (!::getcwd(joined, PATH_MAX)) return false;
    n = std::strlen(joined);
    joined[n++] = '/';
  }
  std::size_t len = std::strlen(path);
  if (n + len >= sizeof joined) return false;
  std::memcpy(joined + n, path, len + 1);
  // Walk the components; ".." takes the last written one back.
  std::size_t o = 0;
  for (std::size_t i = 0; joined[i];) {
    while (joined[i] == '/' || joined[i] == '\\') ++i;
    std::size_t j = i;
    while (joined[j] && joined[j] != '/' && joined[j] != '\\') ++j;
    std::size_t k = j - i;
    if (k == 2 && joined[i] == '.' && joined[i + 1] == '.') {
      while (o > 0 && out[o - 1] != '\\') --o;
      if (o > 0) --o;
    } else if (k > 0 && !(k == 1 && joined[i] == '.')) {
      if (o + 1 + k + 1 > cap) return false;
      out[o++] = '\\';
      std::memcpy(out + o, joined + i, k);
      o += k;
    }
    i = j;
  }
  if (o == 0) {
    if (cap < 2) return false;
    out[o++] = '\\';
  }
  out[o] = '\0';
  return true;
}

namespace {

// fopen for a private file: the same modes, but a new file is created 0600 and an existing one
// loses the permissions of group and others before anything is written to it.
std::FILE* open_private(const char* path, const char* mode) {
  bool plus = std::strchr(mode, '+') != nullptr;
  int flags;
  switch (mode[0]) {
    case 'r': flags = plus ? O_RDWR : O_RDONLY; break;
    case 'w': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: errno = EINVAL; return nullptr;
  }
  int fd = ::open(path, flags | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat sb;
  if ((flags & O_CREAT) && ::fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) &&
      (sb.st_mode & 07777) != ((sb.st_mode & 0700) | 0600) &&
      ::fchmod(fd, (sb.st_mode & 0700) | 0600) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  std::FILE* fp = ::fdopen(fd, mode);
  if (!fp) {
    int e = errno;
    ::close(fd);
    errno = e;
  }
  return fp;
}

}  // namespace

std::FILE* file_open(const char* path, const char* mode, bool private_file) {
  NativePath p(path);
  if (!p.get() || !mode) return nullptr;
  bool writes = mode[0] == 'w' || mode[0] == 'a';
  std::FILE* fp = private_file && writes ? open_private(p.get(), mode) : std::fopen(p.get(), mode);
  if (!fp) return nullptr;
  struct stat sb;
  if (::fstat(::fileno(fp), &sb) == 0 && S_ISDIR(sb.st_mode)) {
    std::fclose(fp);
    errno = EISDIR;
    return nullptr;
  }
  return fp;
}

std::FILE* output_file_open(const char* path, bool private_file, bool* created) {
  if (created) *created = false;
  if (!path) {
    errno = EFAULT;
    return nullptr;
  }
  const mode_t mode = private_file ? 0600 : 0666;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd >= 0) {
    if (created) *created = true;
  } else if (errno == EEXIST) {
    fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    struct stat sb;
    if (fd >= 0 && private_file && ::fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && ::fchmod(fd, 0600) != 0) {
      const int e = errno;
      ::close(fd);
      errno = e;
      return nullptr;
    }
  }
  if (fd < 0) return nullptr;
  std::FILE* fp = ::fdopen(fd, "wb");
  if (!fp) {
    const int e = errno;
    ::close(fd);
    errno = e;
  }
  return fp;
}

void output_file_discard(const char* path) {
  struct stat sb;
  if (path && ::lstat(path, &sb) == 0 && S_ISREG(sb.st_mode)) ::unlink(path);
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
