// jarnel-tool token: files and directories on key carriers (drives, local directories and
// tokens), through the same file layer as the Java classes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command.h"
#include "pin.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/carrier.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/mem.h"

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
    "  --help           show this help (also after a subcommand)\n"
    "\n"
    "A PIN the carrier asks for comes from --pin-file, else from the JARNEL_PIN environment\n"
    "variable, else from the terminal without echo. Exit status: 0 success, 1 the operation\n"
    "failed (the error queue is printed on standard error), 2 bad usage.\n";

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

int missing(const char* path) {
  std::fprintf(stderr, "jarnel-tool: %s: no such file or directory\n", path);
  return operation_failed();
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
  if (!CADB_list_directory(path, CADB_LIST_DIRECTORIES, print_name, nullptr)) return operation_failed();
  return EXIT_OK;
}

int do_cat(const char* path) {
  BUFFER* buf = BUFFER_read_file(path, kFlags, &g_pin);
  if (!buf) return operation_failed();
  std::size_t n = static_cast<std::size_t>(buf->length);
  bool ok = std::fwrite(buf->data, 1, n, stdout) == n && std::fflush(stdout) == 0;
  BUFFER_free(buf);
  if (!ok) {
    std::fprintf(stderr, "jarnel-tool: cannot write to standard output\n");
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

int do_put(const char* path, const char* file, bool private_file) {
  std::FILE* in = file ? std::fopen(file, "rb") : stdin;
  if (!in) return usage_error("cannot open '%s'", file);
  BUFFER* data = BUFFER_new();
  bool read_ok = data != nullptr;
  unsigned char chunk[65536];
  std::size_t n;
  while (read_ok && (n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
    read_ok = BUFFER_append(data, chunk, static_cast<int>(n)) == static_cast<int>(n);
  if (std::ferror(in)) read_ok = false;
  mem_cleanse(chunk, sizeof chunk);
  if (file) std::fclose(in);
  if (!read_ok) {
    BUFFER_free(data);
    std::fprintf(stderr, "jarnel-tool: cannot read %s\n", file ? file : "standard input");
    return operation_failed();
  }
  static const unsigned char empty = 0;
  const void* bytes = data->data ? data->data : &empty;
  std::uint32_t flags = kFlags | (private_file ? TOKEN_FLAG_PRIVATE : 0);
  int written = CADB_write_file(path, bytes, data->length, flags, &g_pin);
  bool ok = written == data->length && (data->length > 0 || (ERR_peek_error() == 0 && CADB_is_file(path)));
  BUFFER_free(data);
  return ok ? EXIT_OK : operation_failed();
}

int do_rm(const char* path) {
  if (CADB_is_directory(path)) return CADB_token_rmdir(path, kFlags, &g_pin) ? EXIT_OK : operation_failed();
  if (!CADB_file_exists(path)) return missing(path);
  return CADB_erase_file(path, kFlags, &g_pin) ? EXIT_OK : operation_failed();
}

int do_mkdir(const char* path) {
  return CADB_token_mkdir(path, kFlags, &g_pin) ? EXIT_OK : operation_failed();
}

int do_stat(const char* path) {
  if (CADB_is_directory(path)) {
    std::printf("directory -\n");
    return EXIT_OK;
  }
  if (!CADB_file_exists(path)) return missing(path);
  long length = CADB_file_length(path, kFlags, &g_pin);
  if (length < 0) return operation_failed();
  std::printf("file %ld\n", length);
  return EXIT_OK;
}

int run_token(int argc, char** argv) {
  const char* sub = nullptr;
  const char* args[3] = {};
  int nargs = 0;
  bool private_file = false, help = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
      help = true;
    } else if (!std::strcmp(a, "--private")) {
      private_file = true;
    } else if (!std::strcmp(a, "--pin-file")) {
      if (++i >= argc) return usage_error("--pin-file needs a file name");
      g_pin.pin_file = argv[i];
    } else if (!std::strncmp(a, "--pin-file=", 11)) {
      g_pin.pin_file = a + 11;
    } else if (a[0] == '-' && a[1] == '-') {
      return usage_error("unknown option '%s' (see jarnel-tool token --help)", a);
    } else if (!sub) {
      sub = a;
    } else if (nargs < 3) {
      args[nargs++] = a;
    } else {
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
