// jarnel-tool crl: CRL records.
#include <cstdio>
#include <cstring>

#include "command.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/x509v3.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "options.h"
#include "record_print.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char* const kUsage =
    "usage: jarnel-tool crl show FILE\n"
    "\n"
    "Prints every field of the CRL record of FILE (DER, PEM or bare Base64; FILE may be a token\n"
    "path), one key=value a line: version, signature algorithm, this and next update, the\n"
    "issuer, every revoked entry (serial, date, entry extensions) and the CRL's extensions.\n"
    "\n"
    "options:\n"
    "  --verbose             on failure, print the library's whole error queue as well\n"
    "  -h, --help            show this help\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed (one line 'jarnel-tool crl: FILE: reason'\n"
    "on standard error), 2 bad usage.\n";

int run_crl(int argc, char** argv) {
  // Names print as UTF-8, as the library does for Java.
  CERT_set_name_conversion(5, 5);
  Options o("crl", kUsage);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  const auto& pos = o.positional();
  if (pos.empty()) {
    std::fputs(kUsage, stderr);
    return EXIT_USAGE;
  }
  if (std::strcmp(pos[0], "show"))
    return usage_error("unknown subcommand '%s' (see jarnel-tool crl --help)", pos[0]);
  if (pos.size() != 2) return usage_error("show needs one FILE (see jarnel-tool crl --help)");
  const char* file = pos[1];
  BufPtr bytes(BUFFER_read_file(file, 0, nullptr));
  if (!bytes) return operation_failed(file, "cannot read the file");
  Owned<CRL> crl(CRL_read_buffer(bytes->data, bytes->length));
  if (!crl) return operation_failed(file, "not a CRL");
  print_crl(stdout, crl.get());
  return EXIT_OK;
}

const Command crl{"crl", "CRL records (show)", run_crl};

}  // namespace
