// jarnel-tool token: files and directories on key carriers (drives, local directories and
// tokens), through the same file layer as the Java classes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command.h"
#include "pin.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/carrier.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/mem.h"
#include "options.h"
#include "platform/fs.h"
#include "platform/syserr.h"
#include "platform/tty.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char* const kUsage =
    "usage: jarnel-tool token [OPTIONS] SUBCOMMAND PATH [FILE]\n"
    "\n"
    "Files and directories on key carriers. PATH is a token path: a drive or directory path, or a\n"
    "path that begins with iButton, ruToken, eToken, eTR2 or pkcs11 (at most 259 characters;\n"
    "'/' and '\\' both separate components).\n"
    "\n"
    "subcommands:\n"
    "  ls PATH          list a directory (directories end in '/'), or a pattern such as DIR/*.key\n"
    "  cat PATH         write the file's bytes to standard output\n"
    "  put PATH [FILE]  write FILE (standard input without FILE) as the whole file at PATH;\n"
    "                   missing directories are made\n"
    "  rm PATH          overwrite a file with zeros and delete it, or remove an empty directory\n"
    "  mkdir PATH       make a directory (and the directories above it)\n"
    "  stat PATH        print one line: the kind (file or directory) and the length in bytes\n"
    "\n"
    "options:\n"
    "  --private        put: write a private file (kept in the carrier's PIN-protected area)\n"
    "  --pin-file FILE  take a PIN the carrier asks for from the first line of FILE\n"
    "  --verbose        on failure, print the library's whole error queue as well\n"
    "  -h, --help       show this help (also after a subcommand)\n"
    "\n"
    "A PIN the carrier asks for comes from --pin-file, else from the JARNEL_PIN environment\n"
    "variable, else from the terminal without echo. Exit status: 0 success, 1 the operation\n"
    "failed (one line 'jarnel-tool token: PATH: reason' on standard error), 2 bad usage.\n";

struct SubHelp {
  const char* name;
  const char* text;
} const kSubHelp[] = {
    {"ls", "usage: jarnel-tool token ls PATH\nLists the directory PATH, one name a line; directories end in '/'.\n"
           "The last component of PATH may be a pattern of '*' and '?' (drives and directories).\n"},
    {"cat", "usage: jarnel-tool token cat PATH\nWrites the whole file at PATH to standard output.\n"},
    {"put", "usage: jarnel-tool token [--private] put PATH [FILE]\nWrites FILE, or standard input, as the whole "
            "file at PATH.\n--private writes it into the carrier's PIN-protected area.\n"},
    {"rm", "usage: jarnel-tool token rm PATH\nOverwrites the file at PATH with zeros and deletes it, or removes the\n"
           "empty directory PATH.\n"},
    {"mkdir", "usage: jarnel-tool token mkdir PATH\nMakes the directory PATH and any missing directory above it.\n"},
    {"stat", "usage: jarnel-tool token stat PATH\nPrints \"file LENGTH\" or \"directory -\" for PATH.\n"},
};

PinSource& g_pin = pin_source();

constexpr std::uint32_t kFlags = TOKEN_FLAG_CALLBACK;

// The system's error number is cleared before an operation so that a reason found after it
// belongs to it.
void platform_clear_error() { errno = 0; }

// The system's reason for the last failed call, or fallback when it recorded none.
std::string system_reason(const char* fallback) {
  const int code = platform::last_error();
  if (code == 0) return fallback;
  char text[256];
  platform::error_text(code, text, sizeof text);
  return text;
}

// The path cannot be found through the token layer: say why when the system knows (a folder on
// the way that may not be searched reads "Permission denied", not "no such file").
int missing(const char* path) {
  std::string reason = "No such file or directory";
  if (platform::fs_access(path) != 0) reason = system_reason(reason.c_str());
  ERR_clear_error();
  return fail(path, reason.c_str());
}

// A failed operation on path: the reason the library recorded, else the system's, else fallback.
int failed(const char* path, const char* fallback) {
  std::string reason = queue_reason();
  if (reason.empty()) reason = system_reason(fallback);
  return fail(path, reason.c_str());
}

bool has_pattern(const char* path) {
  const char* last = std::strrchr(path, '/');
  const char* back = std::strrchr(path, '\\');
  if (back > last) last = back;
  return std::strpbrk(last ? last + 1 : path, "*?") != nullptr;
}

int print_name(const char* full, void*) {
  const char* name = std::strrchr(full, '/');
  if (!name) name = std::strrchr(full, '\\');
  name = name ? name + 1 : full;
  std::printf("%s%s\n", name, CADB_is_directory(full) ? "/" : "");
  return 1;
}

int do_ls(const char* path) {
  if (!CADB_file_exists(path) && !has_pattern(path)) return missing(path);
  if (!CADB_list_directory(path, CADB_LIST_DIRECTORIES, print_name, nullptr))
    return failed(path, "the directory cannot be listed");
  return EXIT_OK;
}

int do_cat(const char* path) {
  if (CADB_is_directory(path)) return fail(path, "Is a directory");
  platform_clear_error();
  BUFFER* buf = BUFFER_read_file(path, kFlags, &g_pin);
  if (!buf) return failed(path, "the file cannot be read");
  std::size_t n = static_cast<std::size_t>(buf->length);
  bool ok = std::fwrite(buf->data, 1, n, stdout) == n && std::fflush(stdout) == 0;
  const int err = errno;
  BUFFER_free(buf);
  if (!ok) return fail_errno("standard output", err);
  return EXIT_OK;
}

int do_put(const char* path, const char* file, bool private_file) {
  std::FILE* in = file && std::strcmp(file, "-") ? std::fopen(file, "rb") : stdin;
  if (!in) return fail_errno(file, errno);
  BUFFER* data = BUFFER_new();
  bool read_ok = data != nullptr;
  unsigned char chunk[65536];
  std::size_t n;
  int read_errno = 0;
  while (read_ok && (n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
    read_ok = BUFFER_append(data, chunk, static_cast<int>(n)) == static_cast<int>(n);
  if (std::ferror(in)) {
    read_errno = errno;
    read_ok = false;
  }
  mem_cleanse(chunk, sizeof chunk);
  if (in != stdin) std::fclose(in);
  if (!read_ok) {
    BUFFER_free(data);
    const char* what = in != stdin ? file : "standard input";
    return read_errno ? fail_errno(what, read_errno) : operation_failed(what, "cannot be read");
  }
  static const unsigned char empty = 0;
  const void* bytes = data->data ? data->data : &empty;
  std::uint32_t flags = kFlags | (private_file ? TOKEN_FLAG_PRIVATE : 0);
  if (CADB_is_directory(path)) {
    BUFFER_free(data);
    return fail(path, "Is a directory");
  }
  platform_clear_error();
  int written = CADB_write_file(path, bytes, data->length, flags, &g_pin);
  bool ok = written == data->length && (data->length > 0 || (ERR_peek_error() == 0 && CADB_is_file(path)));
  BUFFER_free(data);
  return ok ? EXIT_OK : failed(path, "the file cannot be written");
}

// True when the directory lists at least one entry.
bool has_entries(const char* dir) {
  char pattern[CADB_PATH_MAX + 3];
  std::snprintf(pattern, sizeof pattern, "%s/*", dir);
  struct Seen {
    static int cb(const char*, void* u) {
      *static_cast<bool*>(u) = true;
      return 0;
    }
  };
  bool any = false;
  CADB_list_directory(pattern, CADB_LIST_DIRECTORIES, Seen::cb, &any);
  ERR_clear_error();
  return any;
}

int do_rm(const char* path) {
  if (CADB_is_directory(path)) {
    platform_clear_error();
    if (CADB_token_rmdir(path, kFlags, &g_pin)) return EXIT_OK;
    if (ERR_peek_error() == 0 && has_entries(path)) return fail(path, "Directory not empty");
    return failed(path, "the directory cannot be removed");
  }
  if (!CADB_file_exists(path)) return missing(path);
  platform_clear_error();
  return CADB_erase_file(path, kFlags, &g_pin) ? EXIT_OK : failed(path, "the file cannot be deleted");
}

int do_mkdir(const char* path) {
  if (CADB_file_exists(path) && !CADB_is_directory(path)) return fail(path, "File exists and is not a directory");
  platform_clear_error();
  return CADB_token_mkdir(path, kFlags, &g_pin) ? EXIT_OK : failed(path, "the directory cannot be made");
}

int do_stat(const char* path) {
  if (CADB_is_directory(path)) {
    std::printf("directory -\n");
    return EXIT_OK;
  }
  if (!CADB_file_exists(path)) return missing(path);
  platform_clear_error();
  long length = CADB_file_length(path, kFlags, &g_pin);
  if (length < 0) return failed(path, "the length cannot be read");
  std::printf("file %ld\n", length);
  return EXIT_OK;
}

int run_token(int argc, char** argv) {
  const char* sub = nullptr;
  const char* args[3] = {};
  int nargs = 0;
  bool private_file = false, help = false;
  Options o("token", kUsage);
  o.help_flag(&help).flag("--private", &private_file).value("--pin-file", &g_pin.pin_file);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  for (const char* a : o.positional()) {
    if (!sub) {
      sub = a;
    } else if (nargs < 3) {
      args[nargs++] = a;
    } else if (!help) {
      return usage_error("too many arguments (see jarnel-tool token --help)");
    }
  }
  if (help) {
    for (const auto& h : kSubHelp) {
      if (sub && !std::strcmp(sub, h.name)) {
        std::fputs(h.text, stdout);
        return EXIT_OK;
      }
    }
    std::fputs(kUsage, stdout);
    return EXIT_OK;
  }
  if (!sub) {
    std::fputs(kUsage, stderr);
    return EXIT_USAGE;
  }
  bool known = false;
  for (const auto& h : kSubHelp) known = known || !std::strcmp(sub, h.name);
  if (!known) return usage_error("unknown subcommand '%s' (see jarnel-tool token --help)", sub);
  int max_args = !std::strcmp(sub, "put") ? 2 : 1;
  if (nargs < 1) return usage_error("%s needs a PATH (see jarnel-tool token %s --help)", sub, sub);
  if (nargs > max_args) return usage_error("too many arguments for %s", sub);
  if (private_file && std::strcmp(sub, "put") != 0) return usage_error("--private goes with put only");
  const char* path = args[0];
  if (std::strlen(path) >= static_cast<std::size_t>(CADB_PATH_MAX))
    return usage_error("PATH has %zu characters; at most 259 are allowed", std::strlen(path));
  if (g_pin.pin_file) {
    // The PIN itself is read only when a carrier asks for it, but a file that cannot be read is
    // reported now rather than when a PIN is already needed.
    std::FILE* f = std::fopen(g_pin.pin_file, "rb");
    if (!f) return fail_errno(g_pin.pin_file, errno);
    std::fclose(f);
  }

  // A carrier that needs a PIN asks this tool's call-back with the PinSource as its argument.
  set_pin_prompt_path(path);
  install_pin_callback();

  if (!std::strcmp(sub, "ls")) return do_ls(path);
  if (!std::strcmp(sub, "cat")) return do_cat(path);
  if (!std::strcmp(sub, "put")) return do_put(path, args[1], private_file);
  if (!std::strcmp(sub, "rm")) return do_rm(path);
  if (!std::strcmp(sub, "mkdir")) return do_mkdir(path);
  return do_stat(path);
}

const Command token{"token", "files and directories on key carriers (ls, cat, put, rm, mkdir, stat)", run_token};

}  // namespace
