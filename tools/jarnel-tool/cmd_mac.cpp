// jarnel-tool mac: GOST 28147-89 imitation insert of a file or standard input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "command.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89.h"
#include "gost_args.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char kUsage[] =
    "usage: jarnel-tool mac --key HEX [--iv HEX] [--sbox N] [--bits N] [FILE]\n"
    "Prints the GOST 28147-89 MAC of FILE (or standard input) as hex.\n"
    "  --key  32 bytes as 64 hex digits; --iv initial register, 8 bytes (default zero)\n"
    "  --sbox S-box number 23, 31..35 (default 31); --bits MAC length 1..32 (default 32)\n";

int run_mac(int argc, char** argv) {
  const char *key_s = nullptr, *iv_s = nullptr, *sbox_s = nullptr, *bits_s = nullptr, *path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--help")) {
      std::printf("%s", kUsage);
      return EXIT_OK;
    } else if (i + 1 < argc && !std::strcmp(a, "--key")) {
      key_s = argv[++i];
    } else if (i + 1 < argc && !std::strcmp(a, "--iv")) {
      iv_s = argv[++i];
    } else if (i + 1 < argc && !std::strcmp(a, "--sbox")) {
      sbox_s = argv[++i];
    } else if (i + 1 < argc && !std::strcmp(a, "--bits")) {
      bits_s = argv[++i];
    } else if (a[0] == '-' && a[1] != '\0') {
      return usage_error("mac: unknown or incomplete option '%s'", a);
    } else if (!path) {
      path = a;
    } else {
      return usage_error("mac: more than one file given");
    }
  }
  if (!key_s) return usage_error("mac: --key is required");
  std::vector<unsigned char> key, iv;
  if (!parse_hex(key_s, key)) return usage_error("mac: --key is not valid hex");
  if (key.size() != 32) return usage_error("mac: --key must be 32 bytes (64 hex digits)");
  if (iv_s) {
    if (!parse_hex(iv_s, iv)) return usage_error("mac: --iv is not valid hex");
    if (iv.size() != 8) return usage_error("mac: --iv must be 8 bytes (16 hex digits)");
  }
  const unsigned char* sbox = nullptr;
  if (sbox_s && !(sbox = sbox_arg(sbox_s)))
    return usage_error("mac: unknown S-box '%s' (23, 31 to 35)", sbox_s);
  int bits = 32;
  if (bits_s) {
    char* end = nullptr;
    long b = std::strtol(bits_s, &end, 10);
    if (!*bits_s || *end || b < 1 || b > 32) return usage_error("mac: --bits must be 1 to 32");
    bits = static_cast<int>(b);
  }
  std::FILE* in = open_input(path);
  if (!in) return usage_error("mac: cannot read '%s'", path);

  GOSTE_CTX* c = GOSTE_new();
  bool ok = c && GOSTE_mac_init_iv(c, key.data(), iv.empty() ? nullptr : iv.data(), sbox);
  mem_cleanse(key.data(), key.size());
  std::vector<unsigned char> buf(kChunk);
  bool read_err = false;
  while (ok) {
    std::size_t n = read_full(in, buf.data(), buf.size(), read_err);
    if (n > 0) ok = GOSTE_update(c, buf.data(), nullptr, static_cast<int>(n)) == static_cast<int>(n);
    if (read_err || n < buf.size()) break;
  }
  if (in != stdin) std::fclose(in);
  unsigned char mac[4];
  int len = 0;
  if (ok && !read_err) ok = (len = GOSTE_mac_final(c, mac, bits)) > 0;
  GOSTE_free(c);
  if (read_err) return usage_error("mac: cannot read '%s'", path ? path : "standard input");
  if (!ok) return operation_failed();
  print_hex(mac, static_cast<std::size_t>(len));
  return EXIT_OK;
}

const Command mac{"mac", "print a GOST 28147-89 MAC", run_mac};

}  // namespace
