// jarnel-tool pse: key containers on any carrier: create, check, copy, erase.
#include <cerrno>
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
#include "gost_args.h"
#include "options.h"
#include "pin.h"
#include "platform/fs.h"
#include "platform/syserr.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char* const kUsage =
    "usage: jarnel-tool pse [OPTIONS] SUBCOMMAND PATH...\n"
    "\n"
    "Key containers: the master key in shares, its mask and the key-encryption key, kept as files\n"
    "in the folder PATH on a carrier (a drive or directory path, or a path that begins with\n"
    "iButton, ruToken, eToken or eTR2; at most 247 characters).\n"
    "\n"
    "subcommands:\n"
    "  create PATH      make a new container (refused where one exists)\n"
    "  check PATH       open the container and print sbox=N, shares=N and fingerprint=HEX\n"
    "  copy SRC DST     open SRC and write the same container at DST (refused where one exists),\n"
    "                   with the file names of DST's carrier\n"
    "  erase PATH       overwrite and delete the container's files (its key folder stays)\n"
    "\n"
    "options:\n"
    "  --shares N       create: split the master key into N shares (1..255, default 8)\n"
    "  --sbox N         create: GOST 28147-89 S-box number of the container (31..35, default 31)\n"
    "  --mask-password-file FILE  the first line of FILE is the password of the mask file:\n"
    "                   create and copy write the mask protected by it, check and copy open\n"
    "                   a protected mask with it\n"
    "  --pin-file FILE  take a PIN the carrier asks for from the first line of FILE\n"
    "  --verbose        on failure, print the library's whole error queue as well\n"
    "  -h, --help       show this help (after a subcommand: that subcommand's help)\n"
    "\n"
    "A PIN comes from --pin-file, else from the JARNEL_PIN environment variable, else from the\n"
    "terminal. The generator is keyed from the system's entropy, so opening leaves the container's\n"
    "random-state file as it is. Exit status: 0 success, 1 the operation failed (one line\n"
    "'jarnel-tool pse: PATH: reason' on standard error), 2 bad usage.\n";

struct CtxFree {
  void operator()(PSE_CTX* c) const { PSE_CTX_free(c); }
};
using CtxPtr = std::unique_ptr<PSE_CTX, CtxFree>;

struct Args {
  const char* sub = nullptr;
  const char* paths[2] = {};
  int npaths = 0;
  int shares = PSE_CTX_DEFAULT_SHARES;
  int sbox = PSE_CTX_DEFAULT_SBOX;
};

bool parse_int(const char* s, int lo, int hi, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (!*s || *end || errno || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

// The first line of a password file (without its line end), kept in wiped memory with a zero
// byte after it. -1 on success; otherwise the exit status with the reason printed.
int read_mask_password(const char* file, SecureBuffer& out) {
  SecureBuffer raw;
  if (!read_small_file(file, 65536, raw)) {
    if (errno == EFBIG) return fail(file, "the password file is larger than 64 KiB");
    return fail_errno(input_name(file), errno);
  }
  std::size_t n = 0;
  while (n < raw.size() && raw.data()[n] != '\n' && raw.data()[n] != '\r') ++n;
  if (n > static_cast<std::size_t>(PSE_CTX_PASSWORD_MAX)) {
    char reason[96];
    std::snprintf(reason, sizeof reason, "the password is longer than %d bytes", PSE_CTX_PASSWORD_MAX);
    return fail(file, reason);
  }
  if (n && std::memchr(raw.data(), 0, n)) return fail(file, "the password holds a zero byte");
  if (!out.resize(n + 1)) return operation_failed();
  if (n) std::memcpy(out.data(), raw.data(), n);
  out.data()[n] = 0;
  return -1;
}

// A context for path, with the tool's PIN call-back and the mask password, if any.
CtxPtr context(const char* path, const SecureBuffer* password) {
  CtxPtr ctx(PSE_CTX_new());
  // The tool reads a container's items even with the generator running (a PKCS#11 container
  // would otherwise be opened for on-token use only).
  bool ok = ctx && PSE_CTX_set_path(ctx.get(), path, 0) &&
            PSE_CTX_set_io_flags(ctx.get(), TOKEN_FLAG_CALLBACK) &&
            PSE_CTX_set_flags(ctx.get(), PSE_CTX_FLAG_EXPORT);
  // The ruToken and eToken drivers ask for a PIN only when a file operation carries a call-back
  // argument: the container's path serves as that argument (the tool's call-back answers from
  // its one PIN source whatever the argument is).
  ok = ok && PSE_CTX_set_login_arg(ctx.get(), path, static_cast<int>(std::strlen(path)) + 1);
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

// After a failed open: one line with the most telling cause. The tool names what it can see
// for itself (no container at all, a protected mask opened without its password); otherwise the
// library's reason (the system's text for a file that cannot be read, the integrity check of a
// mask opened with the wrong password), else that the files do not make a container.
int open_failed(const char* path, const SecureBuffer* password) {
  char file[CADB_PATH_BUF];
  if (!PSE_item_path(path, PseItem::MasterKey, file)) return fail(path, "no container there");
  if (!CADB_file_exists(file)) {
    // A folder that may not be searched hides a container: say so rather than "none there".
    if (platform::fs_access(file) != 0 && platform::last_error() != ENOENT &&
        platform::last_error() != ENOTDIR && platform::last_error() != 0) {
      char text[256];
      platform::error_text(platform::last_error(), text, sizeof text);
      return fail(path, text);
    }
    return fail(path, "no container there");
  }
  if (!password && PSE_item_path(path, PseItem::Mask, file)) {
    BUFFER* mask = BUFFER_read_file(file, TOKEN_FLAG_CALLBACK, nullptr);
    const bool sealed = mask && CADB_CMS_probe_type(mask->data, mask->length) == CMS_NID_encrypted;
    BUFFER_free(mask);
    if (sealed) return fail(path, "the mask file is password-protected (give --mask-password-file)");
  }
  return operation_failed(path, "the container does not open: its files are damaged or incomplete");
}

int refuse_existing(const char* path) { return fail(path, "a container exists there already (erase it first)"); }

int do_create(const Args& a, const SecureBuffer* password) {
  const char* path = a.paths[0];
  if (container_exists(path)) return refuse_existing(path);
  if (!seed_generator()) return EXIT_FAILED;
  CtxPtr ctx = context(path, password);
  if (!ctx || !PSE_CTX_set_shares(ctx.get(), a.shares) || !PSE_CTX_set_sbox_number(ctx.get(), a.sbox) ||
      !PSE_CTX_generate(ctx.get()))
    return operation_failed(path, "the container could not be made");
  if (!PSE_CTX_write(ctx.get())) return operation_failed(path, "the container could not be written");
  return EXIT_OK;
}

int do_check(const Args& a, const SecureBuffer* password) {
  const char* path = a.paths[0];
  if (!seed_generator()) return EXIT_FAILED;
  CtxPtr ctx = context(path, password);
  if (!ctx) return operation_failed(path, nullptr);
  if (!PSE_CTX_read(ctx.get())) return open_failed(path, password);
  const PSE* pse = PSE_CTX_get_pse(ctx.get());
  int sbox = 0;
  for (int n = PSE_SBOX_FIRST; n <= PSE_SBOX_LAST && !sbox; ++n)
    if (std::memcmp(pse->sbox, GOSTE_sbox_by_number(n), PSE_SBOX_BYTES) == 0) sbox = n;
  // main() checks that standard output was written.
  std::printf("sbox=%d\nshares=%d\nfingerprint=", sbox, ctx->mk->data[1]);
  for (unsigned char b : pse->fingerprint) std::printf("%02x", b);
  std::printf("\n");
  return EXIT_OK;
}

int do_copy(const Args& a, const SecureBuffer* password) {
  const char *src = a.paths[0], *dst = a.paths[1];
  if (container_exists(dst)) return refuse_existing(dst);
  if (!seed_generator()) return EXIT_FAILED;
  CtxPtr ctx = context(src, password);
  if (!ctx) return operation_failed(src, nullptr);
  if (!PSE_CTX_read(ctx.get())) return open_failed(src, password);
  set_pin_prompt_path(dst);
  if (!PSE_CTX_set_path(ctx.get(), dst, 0) || !PSE_CTX_write(ctx.get()))
    return operation_failed(dst, "the container could not be written");
  return EXIT_OK;
}

int do_erase(const Args& a) {
  const char* path = a.paths[0];
  CtxPtr ctx = context(path, nullptr);
  if (!ctx || !PSE_CTX_erase(ctx.get())) return operation_failed(path, "the container could not be erased");
  // The context's erase goes on past a file it cannot delete and still succeeds: a file that is
  // still there means the keys are not gone, which must not pass for success.
  for (PseItem item : {PseItem::MasterKey, PseItem::Mask, PseItem::Kek, PseItem::Rand}) {
    char file[CADB_PATH_BUF];
    if (PSE_item_path(path, item, file) && CADB_file_exists(file))
      return operation_failed(path, "some of the container's files could not be deleted");
  }
  ERR_clear_error();
  return EXIT_OK;
}

struct SubHelp {
  const char* name;
  int paths;
  const char* text;
} const kSubHelp[] = {
    {"create", 1,
     "usage: jarnel-tool pse create [--shares N] [--sbox N] [--mask-password-file FILE] PATH\n"
     "Makes a new container in the folder PATH (refused where one exists): a fresh master key in\n"
     "N shares (1..255, default 8) under S-box N (31..35, default 31), its mask and key-encryption\n"
     "key. With --mask-password-file the mask file is written protected by that password.\n"},
    {"check", 1,
     "usage: jarnel-tool pse check [--mask-password-file FILE] PATH\n"
     "Opens the container at PATH and prints sbox=N, shares=N and fingerprint=HEX.\n"},
    {"copy", 2,
     "usage: jarnel-tool pse copy [--mask-password-file FILE] SRC DST\n"
     "Opens SRC and writes the same container at DST (refused where one exists), with the file\n"
     "names of DST's carrier. The password opens a protected mask at SRC and protects it at DST.\n"},
    {"erase", 1,
     "usage: jarnel-tool pse erase PATH\n"
     "Overwrites and deletes the container's files at PATH; its key folder stays.\n"},
};

int run_pse(int argc, char** argv) {
  Args a;
  PinSource& pin = pin_source();
  const char *shares_s = nullptr, *sbox_s = nullptr, *password_file = nullptr;
  bool help = false;
  Options o("pse", kUsage);
  o.help_flag(&help).value("--shares", &shares_s).value("--sbox", &sbox_s);
  o.value("--mask-password-file", &password_file).value("--pin-file", &pin.pin_file);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  bool too_many = false;
  for (const char* p : o.positional()) {
    if (!a.sub) a.sub = p;
    else if (a.npaths < 2) a.paths[a.npaths++] = p;
    else too_many = true;
  }
  const SubHelp* sub = nullptr;
  for (const auto& h : kSubHelp)
    if (a.sub && !std::strcmp(a.sub, h.name)) sub = &h;
  if (help) {
    std::fputs(sub ? sub->text : kUsage, stdout);
    return EXIT_OK;
  }
  if (!a.sub) {
    std::fputs(kUsage, stderr);
    return EXIT_USAGE;
  }
  if (!sub) return usage_error("unknown subcommand '%s' (see jarnel-tool pse --help)", a.sub);
  if (too_many || a.npaths > sub->paths) return usage_error("too many arguments for %s (see jarnel-tool pse %s --help)", a.sub, a.sub);
  if (a.npaths < sub->paths)
    return usage_error("%s needs %s (see jarnel-tool pse %s --help)", a.sub, sub->paths == 2 ? "SRC and DST" : "a PATH", a.sub);
  const bool create = !std::strcmp(a.sub, "create"), erase = !std::strcmp(a.sub, "erase");
  if (shares_s && !create) return usage_error("--shares goes with create only");
  if (sbox_s && !create) return usage_error("--sbox goes with create only");
  if (shares_s && !parse_int(shares_s, 1, 255, &a.shares))
    return usage_error("--shares needs a number from 1 to 255, not '%s'", shares_s);
  if (sbox_s && !parse_int(sbox_s, PSE_SBOX_FIRST, PSE_SBOX_LAST, &a.sbox))
    return usage_error("--sbox needs a number from %d to %d, not '%s'", PSE_SBOX_FIRST, PSE_SBOX_LAST, sbox_s);
  if (password_file && erase) return usage_error("--mask-password-file does not go with erase");
  for (int i = 0; i < a.npaths; ++i)
    if (std::strlen(a.paths[i]) > static_cast<std::size_t>(PSE_CTX_PATH_MAX))
      return usage_error("PATH has %zu characters; at most %d are allowed", std::strlen(a.paths[i]),
                         PSE_CTX_PATH_MAX);
  SecureBuffer password;
  if (password_file) {
    if (int rc = read_mask_password(password_file, password); rc >= 0) return rc;
  }
  if (pin.pin_file) {
    // The PIN is read only when a carrier asks for it, but a file that cannot be read is
    // reported now rather than in the middle of writing a container.
    std::FILE* f = std::fopen(pin.pin_file, "rb");
    if (!f) return fail_errno(pin.pin_file, errno);
    std::fclose(f);
  }

  set_pin_prompt_path(a.paths[0]);
  install_pin_callback();
  const SecureBuffer* pw = password_file ? &password : nullptr;
  if (create) return do_create(a, pw);
  if (!std::strcmp(a.sub, "check")) return do_check(a, pw);
  if (!std::strcmp(a.sub, "copy")) return do_copy(a, pw);
  return do_erase(a);
}

const Command pse{"pse", "key containers (create, check, copy, erase)", run_pse};

}  // namespace
