// jarnel-tool mac: GOST 28147-89 imitation insert of a file or standard input.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89.h"
#include "gost_args.h"
#include "key_source.h"
#include "options.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const std::string kUsage = std::string(
    "usage: jarnel-tool mac KEY [--iv HEX] [--sbox NAME] [--mesh] [--bits N | --bytes N] [FILE]\n"
    "Prints the GOST 28147-89 MAC (imitation insert) of FILE (or standard input) as hex.\n"
    "  --iv HEX     initial register, 8 bytes (default zero)\n") +
    kSboxHelp +
    "  --mesh       CryptoPro key meshing after every 1024 bytes (RFC 4357), as OpenSSL's\n"
    "               gost-mac does; without it the key stays the same (the library's MAC), and\n"
    "               the two differ for inputs of more than 1024 bytes\n"
    "  --bits N     keep the N most significant bits (1..32) of the 32-bit value, printed as\n"
    "               (N+7)/8 bytes, least significant first (the library's truncation)\n"
    "  --bytes N    keep the first N bytes (1..4) of the 4-byte MAC, as OpenSSL's size:N does\n"
    "A MAC of 32 bits (the default) is the same with either.\n" +
    kKeySourceHelp +
    "Exit status: 0 success, 1 failure (one line on standard error), 2 bad usage.\n";

int run_mac(int argc, char** argv) {
  const char *iv_s = nullptr, *sbox_s = nullptr, *bits_s = nullptr, *bytes_s = nullptr;
  bool mesh = false;
  KeySource ks;
  Options o("mac", kUsage.c_str());
  o.value("--iv", &iv_s).value("--sbox", &sbox_s).value("--bits", &bits_s).value("--bytes", &bytes_s);
  o.flag("--mesh", &mesh);
  ks.declare(o);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  if (o.positional().size() > 1) return usage_error("mac: more than one file given");
  const char* path = o.positional().empty() ? nullptr : o.positional()[0];

  std::vector<unsigned char> iv;
  if (iv_s) {
    if (!parse_hex(iv_s, iv)) return usage_error("mac: --iv is not valid hex");
    if (iv.size() != 8) return usage_error("mac: --iv must be 8 bytes (16 hex digits)");
  }
  const unsigned char* sbox = sbox_arg(sbox_s);
  if (!sbox) return usage_error("mac: unknown S-box '%s' for --sbox", sbox_s);
  if (bits_s && bytes_s) return usage_error("mac: give at most one of --bits and --bytes");
  int bits = 32, bytes = 4;
  if (bits_s) {
    char* end = nullptr;
    long b = std::strtol(bits_s, &end, 10);
    if (!*bits_s || *end || b < 1 || b > 32) return usage_error("mac: --bits must be 1 to 32");
    bits = static_cast<int>(b);
  }
  if (bytes_s) {
    char* end = nullptr;
    long b = std::strtol(bytes_s, &end, 10);
    if (!*bytes_s || *end || b < 1 || b > 4) return usage_error("mac: --bytes must be 1 to 4");
    bytes = static_cast<int>(b);
  }
  SecureBuffer key;
  if (int rc = ks.load(key); rc >= 0) return rc;
  std::FILE* in = open_input(path);
  if (!in) return fail_errno(input_name(path), errno);

  GOSTE_CTX* c = GOSTE_new();
  bool ok = c && GOSTE_mac_init_iv(c, key.data(), iv.empty() ? nullptr : iv.data(), sbox);
  if (ok && mesh) c->mode |= GOSTE_MODE_MESH;
  key.reset();
  std::vector<unsigned char> buf(kChunk);
  bool read_err = false;
  int read_errno = 0;
  while (ok) {
    std::size_t n = read_full(in, buf.data(), buf.size(), read_err);
    if (read_err) read_errno = errno ? errno : EIO;
    if (n > 0 && !read_err) ok = GOSTE_update(c, buf.data(), nullptr, static_cast<int>(n)) == static_cast<int>(n);
    if (read_err || n < buf.size()) break;
  }
  if (in != stdin) std::fclose(in);
  unsigned char mac[4];
  int len = 0;
  if (ok && !read_err) ok = (len = GOSTE_mac_final(c, mac, bits)) > 0;
  GOSTE_free(c);
  if (read_err) return fail_errno(input_name(path), read_errno);
  if (!ok) return operation_failed();
  if (bytes_s) len = bytes;
  print_hex(mac, static_cast<std::size_t>(len));
  return EXIT_OK;
}

const Command mac{"mac", "print a GOST 28147-89 MAC", run_mac};

}  // namespace
