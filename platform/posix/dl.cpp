#include "platform/dl.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace jarnel::platform {

bool map_library_name(const char* windows_name, char* out, std::size_t cap) {
  if (!windows_name || !out || cap == 0) return false;
  if (strcasecmp(windows_name, "WinSCard.dll") == 0) {
    return std::snprintf(out, cap, "libpcsclite.so.1") < static_cast<int>(cap);
  }
  std::size_t n = std::strlen(windows_name);
  if (n > 4 && strcasecmp(windows_name + n - 4, ".dll") == 0) n -= 4;
  return std::snprintf(out, cap, "lib%.*s.so", static_cast<int>(n), windows_name) <
         static_cast<int>(cap);
}

void* dl_open(const char* windows_name) {
  char file[512];
  if (!map_library_name(windows_name, file, sizeof file)) return nullptr;
  if (const char* dirs = std::getenv("JARNEL_LIBRARY_PATH")) {
    const char* p = dirs;
    while (*p) {
      const char* end = std::strchr(p, ':');
      std::size_t len = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
      if (len > 0) {
        char full[1024];
        if (std::snprintf(full, sizeof full, "%.*s/%s", static_cast<int>(len), p, file) <
            static_cast<int>(sizeof full)) {
          if (void* h = dlopen(full, RTLD_NOW | RTLD_LOCAL)) return h;
        }
      }
      if (!end) break;
      p = end + 1;
    }
  }
  return dlopen(file, RTLD_NOW | RTLD_LOCAL);
}

void* dl_symbol(void* handle, const char* symbol) {
  return handle && symbol ? dlsym(handle, symbol) : nullptr;
}

void dl_close(void* handle) {
  if (handle) dlclose(handle);
}

}  // namespace jarnel::platform
