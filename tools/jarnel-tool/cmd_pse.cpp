// jarnel-tool pse: key containers on any carrier: create, check, copy, erase.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "command.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/cms.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89.h"
#include "pin.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char* const kUsage =
    "usage: jarnel-tool pse SUBCOMMAND [OPTIONS] PATH...\n"
    "\n"
    "Key containers: the master key in shares, its mask and the key-encryption key, kept as files\n"
    "in the folder PATH on a carrier (a drive or directory path, or a path that begins with\n"
    "iButton, ruToken, eToken or eTR2; at most 247 characters).\n"
    "\n"
    "subcommands:\n"
    "  create PATH      make a new container (refused where one exists)\n"
    "      --shares N   split the master key into N shares (1..255, default 8)\n"
    "      --sbox N     GOST 28147-89 S-box number of the container (31..35, default 31)\n"
    "  check PATH       open the container and print sbox=N, shares=N and fingerprint=HEX\n"
    "  copy SRC DST     open SRC and write the same container at DST (refused where one exists),\n"
    "                   with the file names of DST's carrier\n"
    "  erase PATH       overwrite and delete the container's files (its key folder stays)\n"
    "\n"
    "options:\n"
    "  --mask-password-file FILE  the first line of FILE is the password of the mask file:\n"
    "                   create and copy write the mask protected by it, check and copy open\n"
    "                   a protected mask with it\n"
    "  --pin-file FILE  take a PIN the carrier asks for from the first line of FILE\n"
    "  --help           show this help\n"
    "\n"
    "A PIN comes from --pin-file, else from the JARNEL_PIN environment variable, else from the\n"
    "terminal. The generator is keyed from the system's entropy, so opening leaves the container's\n"
    "random-state file as it is. Exit status: 0 success, 1 the operation failed (the reason is\n"
    "printed on standard error), 2 bad usage.\n";

struct CtxFree {
  void operator()(PSE_CTX* c) const { PSE_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<PSE_CTX, CtxFree>;

struct Options {
  const char* sub = nullptr;
  const char* paths[2] = {};
  int npaths = 0;
  int shares = PSE_CTX_DEFAULT_SHARES;
  int sbox = PSE_CTX_DEFAULT_SBOX;
  bool shares_given = false, sbox_given = false;
  const char* password_file = nullptr;
};

bool parse_int(const char* s, int lo, int hi, int* out) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (!*s || *end || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

// The first line of a file (without its line end), kept in wiped memory.
bool read_password(const char* file, SecureBuffer& out) {
  std::FILE* f = std::fopen(file, "rb");
  if (!f) return false;
  SecureBuffer buf(PSE_CTX_PASSWORD_MAX + 2);
  bool ok = !buf.empty();
  std::size_t n = 0;
  if (ok) {
    n = std::fread(buf.data(), 1, buf.size() - 1, f);
    ok = !std::ferror(f);
    buf.data()[n] = 0;
    n = std::strcspn(reinterpret_cast<const char*>(buf.data()), "\r\n");
    ok = ok && n <= static_cast<std::size_t>(PSE_CTX_PASSWORD_MAX) && out.resize(n + 1);
  }
  std::fclose(f);
  if (ok) std::memcpy(out.data(), buf.data(), n);
  return ok;
}

// A context for path, with the tool's PIN call-back and the mask password, if any.
CtxPtr context(const char* path, const SecureBuffer* password) {
  CtxPtr ctx(PSE_CTX_new());
  // The tool reads a container's items even with the generator running (a PKCS#11 container
  // would otherwise be opened for on-token use only).
  bool ok = ctx && PSE_CTX_set_path(ctx.get(), path, 0) &&
            PSE_CTX_set_io_flags(ctx.get(), TOKEN_FLAG_CALLBACK) &&
            PSE_CTX_set_flags(ctx.get(), PSE_CTX_FLAG_EXPORT);
  if (ok && password)
    ok = PSE_CTX_set_password(ctx.get(), reinterpret_cast<const char*>(password->data()),
                              static_cast<int>(password->size()) - 1);
  if (!ok) ctx.reset();
  return ctx;
}

// True when a container (its master-key file) is at path.
bool container_exists(const char* path) {
  char file[CADB_PATH_BUF];
  return PSE_item_path(path, PseItem::MasterKey, file) && CADB_file_exists(file);
}

// After a failed open: names the likely cause before the error queue.
int open_failed(const char* path, const SecureBuffer* password) {
  char file[CADB_PATH_BUF];
  if (!PSE_item_path(path, PseItem::MasterKey, file) || !CADB_file_exists(file)) {
    std::fprintf(stderr, "jarnel-tool: %s: no container there\n", path);
  } else if (!password && PSE_item_path(path, PseItem::Mask, file)) {
    BUFFER* mask = BUFFER_read_file(file, TOKEN_FLAG_CALLBACK, nullptr);
    if (mask && CADB_CMS_probe_type(mask->data, mask->length) == CMS_NID_encrypted)
      std::fprintf(stderr, "jarnel-tool: %s: the mask file is password-protected (give --mask-password-file)\n",
                   path);
    BUFFER_free(mask);
  }
  std::fprintf(stderr, "jarnel-tool: %s: the container does not open\n", path);
  return operation_failed();
}

int refuse_existing(const char* path) {
  std::fprintf(stderr, "jarnel-tool: %s: a container exists there already (erase it first)\n", path);
  return EXIT_FAILED;
}

int do_create(const Options& o, const SecureBuffer* password) {
  if (container_exists(o.paths[0])) return refuse_existing(o.paths[0]);
  if (!seed_generator()) return EXIT_FAILED;
  CtxPtr ctx = context(o.paths[0], password);
  if (!ctx || !PSE_CTX_set_shares(ctx.get(), o.shares) ||
      !PSE_CTX_set_sbox_number(ctx.get(), o.sbox) || !PSE_CTX_generate(ctx.get()) ||
      !PSE_CTX_write(ctx.get()))
    return operation_failed();
  return EXIT_OK;
}

int do_check(const Options& o, const SecureBuffer* password) {
  if (!seed_generator()) return EXIT_FAILED;
  CtxPtr ctx = context(o.paths[0], password);
  if (!ctx) return operation_failed();
  if (!PSE_CTX_read(ctx.get())) return open_failed(o.paths[0], password);
  const PSE* pse = PSE_CTX_get_pse(ctx.get());
  int sbox = 0;
  for (int n = PSE_SBOX_FIRST; n <= PSE_SBOX_LAST && !sbox; ++n)
    if (std::memcmp(pse->sbox, GOSTE_sbox_by_number(n), PSE_SBOX_BYTES) == 0) sbox = n;
  std::printf("sbox=%d\nshares=%d\nfingerprint=", sbox, ctx->mk->data[1]);
  for (unsigned char b : pse->fingerprint) std::printf("%02x", b);
  std::printf("\n");
  return std::fflush(stdout) == 0 ? EXIT_OK : EXIT_FAILED;
}

int do_copy(const Options& o, const SecureBuffer* password) {
  if (container_exists(o.paths[1])) return refuse_existing(o.paths[1]);
  if (!seed_generator()) return EXIT_FAILED;
  CtxPtr ctx = context(o.paths[0], password);
  if (!ctx) return operation_failed();
  if (!PSE_CTX_read(ctx.get())) return open_failed(o.paths[0], password);
  set_pin_prompt_path(o.paths[1]);
  if (!PSE_CTX_set_path(ctx.get(), o.paths[1], 0) || !PSE_CTX_write(ctx.get()))
    return operation_failed();
  return EXIT_OK;
}

int do_erase(const Options& o) {
  CtxPtr ctx = context(o.paths[0], nullptr);
  if (!ctx || !PSE_CTX_erase(ctx.get())) return operation_failed();
  return EXIT_OK;
}

int run_pse(int argc, char** argv) {
  Options o;
  PinSource& pin = pin_source();
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    auto value = [&](const char* name) -> const char* {
      std::size_t n = std::strlen(name);
      if (!std::strncmp(a, name, n) && a[n] == '=') return a + n + 1;
      if (!std::strcmp(a, name) && i + 1 < argc) return argv[++i];
      return nullptr;
    };
    auto is = [&](const char* name) {
      std::size_t n = std::strlen(name);
      return !std::strncmp(a, name, n) && (a[n] == 0 || a[n] == '=');
    };
    const char* v;
    if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
      std::fputs(kUsage, stdout);
      return EXIT_OK;
    } else if (is("--shares")) {
      if (!(v = value("--shares")) || !parse_int(v, 1, 255, &o.shares))
        return usage_error("--shares needs a number from 1 to 255");
      o.shares_given = true;
    } else if (is("--sbox")) {
      if (!(v = value("--sbox")) || !parse_int(v, PSE_SBOX_FIRST, PSE_SBOX_LAST, &o.sbox))
        return usage_error("--sbox needs a number from 31 to 35");
      o.sbox_given = true;
    } else if (is("--mask-password-file")) {
      if (!(o.password_file = value("--mask-password-file")))
        return usage_error("--mask-password-file needs a file name");
    } else if (is("--pin-file")) {
      if (!(pin.pin_file = value("--pin-file"))) return usage_error("--pin-file needs a file name");
    } else if (a[0] == '-' && a[1] == '-') {
      return usage_error("unknown option '%s' (see jarnel-tool pse --help)", a);
    } else if (!o.sub) {
      o.sub = a;
    } else if (o.npaths < 2) {
      o.paths[o.npaths++] = a;
    } else {
      return usage_error("too many arguments (see jarnel-tool pse --help)");
    }
  }
  if (!o.sub) {
    std::fputs(kUsage, stderr);
    return EXIT_USAGE;
  }
  bool create = !std::strcmp(o.sub, "create"), check = !std::strcmp(o.sub, "check"),
       copy = !std::strcmp(o.sub, "copy"), erase = !std::strcmp(o.sub, "erase");
  if (!create && !check && !copy && !erase)
    return usage_error("unknown subcommand '%s' (see jarnel-tool pse --help)", o.sub);
  int wanted = copy ? 2 : 1;
  if (o.npaths != wanted)
    return usage_error("%s needs %s (see jarnel-tool pse --help)", o.sub, copy ? "SRC and DST" : "a PATH");
  if ((o.shares_given || o.sbox_given) && !create) return usage_error("--shares and --sbox go with create only");
  if (o.password_file && erase) return usage_error("erase takes no mask password");
  for (int i = 0; i < o.npaths; ++i)
    if (std::strlen(o.paths[i]) > static_cast<std::size_t>(PSE_CTX_PATH_MAX))
      return usage_error("PATH has %zu characters; at most %d are allowed", std::strlen(o.paths[i]),
                         PSE_CTX_PATH_MAX);
  SecureBuffer password;
  if (o.password_file && !read_password(o.password_file, password))
    return usage_error("cannot read a password of at most %d bytes from '%s'", PSE_CTX_PASSWORD_MAX,
                       o.password_file);

  set_pin_prompt_path(o.paths[0]);
  install_pin_callback();
  const SecureBuffer* pw = o.password_file ? &password : nullptr;
  if (create) return do_create(o, pw);
  if (check) return do_check(o, pw);
  if (copy) return do_copy(o, pw);
  return do_erase(o);
}

const Command pse{"pse", "key containers (create, check, copy, erase)", run_pse};

}  // namespace
