// jarnel-tool cert: certificate records (show one, add one to a key container).
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/cert.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/str.h"
#include "options.h"
#include "output.h"
#include "pin.h"
#include "record_print.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char* const kUsage =
    "usage: jarnel-tool cert show FILE\n"
    "       jarnel-tool cert add PSEPATH CERTFILE\n"
    "\n"
    "Certificates as the key store reads them. FILE and CERTFILE may hold DER, PEM or bare\n"
    "Base64; FILE may be a token path. On a PKCS#11 token (PSEPATH pkcs11:\\MODULE\\NAME)\n"
    "certificates are certificate objects named by their path below the module (CKA_ID), of\n"
    "category 2 (authority) for a CA certificate, else 1 (token user); show prints kind=N.\n"
    "\n"
    "  show FILE              print every field of the certificate record, one key=value a line:\n"
    "                         algorithms, serial, validity, names with their GOST R 34.11-94\n"
    "                         hashes, the key fingerprint and every extension record (a PEM\n"
    "                         bundle prints each certificate, the keys prefixed cert.N.)\n"
    "  add PSEPATH CERTFILE   store the certificate (DER) in the key folder of the container at\n"
    "                         PSEPATH as NNNNNNNN.cer, the first free number from 00000001;\n"
    "                         refused when the container holds the same certificate already\n"
    "\n"
    "options:\n"
    "  --verbose             on failure, print the library's whole error queue as well\n"
    "  --pin-file F          the PIN of a token, first line of F (else JARNEL_PIN, else asked)\n"
    "  -h, --help            show this help\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed (one line 'jarnel-tool cert: FILE: reason'\n"
    "on standard error), 2 bad usage.\n";

struct SubHelp {
  const char* name;
  int operands;
  const char* text;
} const kSubHelp[] = {
    {"show", 1,
     "usage: jarnel-tool cert show FILE\n"
     "Prints every field of the certificate record of FILE (DER, PEM or bare Base64).\n"},
    {"add", 2,
     "usage: jarnel-tool cert add PSEPATH CERTFILE\n"
     "Stores CERTFILE as DER in the key folder of the container at PSEPATH (NNNNNNNN.cer).\n"},
};

bool on_token(const char* path) { return ascii_strncasecmp(path, "pkcs11", 6) == 0; }

int do_show(const char* file) {
  Owned<CERT_CTX> ctx(CERT_CTX_new());
  if (!ctx || !CERT_CTX_set_path(ctx.get(), file) || !CERT_CTX_read(ctx.get()))
    return operation_failed(file, on_token(file) ? "no certificate of that name on the token"
                                                 : "not a certificate");
  const CERT* c = CERT_CTX_get_cert(ctx.get());
  const bool chain = c->next != nullptr;
  int i = 0;
  for (; c; c = c->next, ++i)
    print_cert(stdout, c, chain ? "cert." + std::to_string(i) + "." : std::string());
  if (on_token(file)) std::printf("kind=%d\n", ctx->kind);
  return EXIT_OK;
}

// The DER of the certificate object at a token path equals der?
bool same_token_cert(const char* path, const BUFFER* der) {
  Owned<CERT_CTX> ctx(CERT_CTX_new());
  if (!ctx || !CERT_CTX_set_path(ctx.get(), path) || !CERT_CTX_read(ctx.get())) {
    ERR_clear_error();
    return false;
  }
  BufPtr old(CERT_get(CERT_CTX_get_cert(ctx.get()), CERT_FORMAT_DER));
  return old && old->length == der->length && std::memcmp(old->data, der->data, der->length) == 0;
}

// Same bytes in the file at path?
bool same_file(const char* path, const BUFFER* der) {
  BufPtr old(BUFFER_read_file(path, 0, nullptr));
  return old && old->length == der->length && std::memcmp(old->data, der->data, der->length) == 0;
}

int do_add(const char* container, const char* file) {
  char mk[CADB_PATH_BUF], dir[CADB_PATH_BUF];
  if (std::strlen(container) > static_cast<std::size_t>(PSE_CTX_PATH_MAX))
    return usage_error("PSEPATH has %zu characters; at most %d are allowed", std::strlen(container),
                       PSE_CTX_PATH_MAX);
  if (!PSE_item_path(container, PseItem::MasterKey, mk) ||
      !PSE_item_path(container, PseItem::KeyDir, dir))
    return fail(container, "not a container path");
  // A token keeps certificates as objects of their own, whatever container it holds.
  const bool token = on_token(container);
  if (!token && !CADB_file_exists(mk)) return fail(container, "no container there");

  // Read and validate the certificate first: nothing is written for bytes that do not parse.
  Owned<CERT_CTX> ctx(CERT_CTX_new());
  BufPtr bytes(BUFFER_read_file(file, 0, nullptr));
  if (!ctx || !bytes) return operation_failed(file, "cannot read the file");
  if (!CERT_CTX_set_data(ctx.get(), bytes->data, bytes->length) || !CERT_CTX_read(ctx.get()))
    return operation_failed(file, "not a certificate");
  BufPtr der(CERT_get(CERT_CTX_get_cert(ctx.get()), CERT_FORMAT_DER));
  if (!der) return operation_failed(file);
  if (token) {
    const int ca = X509_check_ca(CERT_CTX_get_cert(ctx.get())->certificate);
    if (!CERT_CTX_set_kind(ctx.get(), ca > 0 ? 2 : 1)) return operation_failed(file);
  }

  if (!token && !CADB_is_directory(dir) && !CADB_token_mkdir(dir, 0, nullptr))
    return operation_failed(dir, "cannot make the key folder");
  char path[CADB_PATH_BUF];
  int free_number = 0;
  for (int n = 1; n <= 99999; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "%08d", n);
    CADB_make_path(path, dir, name, "cer");
    if (!CADB_file_exists(path)) {
      if (!free_number) free_number = n;
      // Numbers are taken in order; a short run of gaps ends the search.
      if (n > free_number + 16) break;
      continue;
    }
    if (token ? same_token_cert(path, der.get()) : same_file(path, der.get()))
      return fail(path, "the container holds this certificate already");
  }
  if (!free_number) return fail(container, "no free certificate number");
  char name[16];
  std::snprintf(name, sizeof name, "%08d", free_number);
  CADB_make_path(path, dir, name, "cer");
  if (!CERT_CTX_set_path(ctx.get(), path) || !CERT_CTX_write(ctx.get(), CERT_FORMAT_DER))
    return operation_failed(path, "cannot write the certificate");
  std::printf("%s\n", path);
  return EXIT_OK;
}

int run_cert(int argc, char** argv) {
  // Names print as UTF-8, as the library does for Java.
  CERT_set_name_conversion(5, 5);
  bool help = false;
  Options o("cert", kUsage);
  o.help_flag(&help);
  o.value("--pin-file", &pin_source().pin_file);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  const auto& pos = o.positional();
  const char* sub_name = pos.empty() ? nullptr : pos[0];
  const SubHelp* sub = nullptr;
  for (const auto& h : kSubHelp)
    if (sub_name && !std::strcmp(sub_name, h.name)) sub = &h;
  if (help) {
    std::fputs(sub ? sub->text : kUsage, stdout);
    return EXIT_OK;
  }
  if (!sub_name) {
    std::fputs(kUsage, stderr);
    return EXIT_USAGE;
  }
  if (!sub) return usage_error("unknown subcommand '%s' (see jarnel-tool cert --help)", sub_name);
  const int operands = static_cast<int>(pos.size()) - 1;
  if (operands != sub->operands)
    return usage_error("%s needs %s (see jarnel-tool cert %s --help)", sub->name,
                       sub->operands == 1 ? "one FILE" : "PSEPATH and CERTFILE", sub->name);
  // A token asks for its PIN.
  set_pin_prompt_path(pos[1]);
  install_pin_callback();
  if (!std::strcmp(sub->name, "show")) return do_show(pos[1]);
  return do_add(pos[1], pos[2]);
}

const Command cert{"cert", "certificate records (show, add to a container)", run_cert};

}  // namespace
