// Token paths: building and normalising paths, prefix comparison. The carrier of a path is
// chosen in carrier.cpp.
#include <algorithm>
#include <cstring>

#include "crypto/cadb/cadb.h"
#include "crypto/str.h"
#include "platform/fs.h"

namespace jarnel {
namespace {

void append_cut(char* out, const char* s) {
  std::size_t have = std::strlen(out);
  if (have >= static_cast<std::size_t>(CADB_PATH_MAX)) return;
  std::size_t room = static_cast<std::size_t>(CADB_PATH_MAX) - have;
  std::size_t n = std::strlen(s);
  if (n > room) n = room;
  std::memcpy(out + have, s, n);
  out[have + n] = '\0';
}

// The absolute, backslash-separated form of a path for comparison.
void comparable_path(const char* in, char* out, std::size_t cap) {
  if (!CADB_is_token_path(in) && platform::full_path(in, out, cap)) return;
  std::size_t n = std::strlen(in);
  if (n >= cap) n = cap - 1;
  for (std::size_t i = 0; i < n; ++i) out[i] = in[i] == '/' ? '\\' : in[i];
  out[n] = '\0';
}

}  // namespace

char* CADB_make_path(char* out, const char* directory, const char* name, const char* extension) {
  if (!out) return nullptr;
  if (directory) {
    out[0] = '\0';
    append_cut(out, directory);
    std::size_t n = std::strlen(out);
    // An empty directory adds no separator: the name stays relative.
    if (n > 0 && out[n - 1] != '\\' && out[n - 1] != '/') append_cut(out, "/");
  }
  if (name) append_cut(out, name);
  if (extension) {
    if (extension[0] != '.') append_cut(out, ".");
    append_cut(out, extension);
  }
  std::size_t n = std::strlen(out);
  for (std::size_t i = 0; i < n; ++i)
    if (out[i] == '/') out[i] = '\\';
  // One trailing separator goes; the root alone keeps its separator.
  if (n > 1 && out[n - 1] == '\\') out[n - 1] = '\0';
  return out;
}

int CADB_path_prefix_match(const char* a, const char* b) {
  if (!a || !b) return 0;
  char fa[CADB_PATH_BUF + 1], fb[CADB_PATH_BUF + 1];
  comparable_path(a, fa, sizeof fa);
  comparable_path(b, fb, sizeof fb);
  std::size_t n = std::min(std::strlen(fa), std::strlen(fb));
  return ascii_strncasecmp(fa, fb, n) == 0 ? 1 : 0;
}

}  // namespace jarnel
