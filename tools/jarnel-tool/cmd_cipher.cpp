// jarnel-tool cipher: GOST 28147-89 encryption and decryption of a stream.
#include <cstdio>
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
    "usage: jarnel-tool cipher --alg ALG --key HEX [--iv HEX] [--sbox N] [--decrypt] [FILE]\n"
    "Encrypts (or decrypts) FILE or standard input to standard output with GOST 28147-89.\n"
    "  ALG: rus-change (ECB), rus-gamma (counter), rus-gammar (CFB), rus-gammar-cp (CryptoPro\n"
    "       CFB with key meshing), rus-cbc\n"
    "  --key  32 bytes as 64 hex digits; --iv 8 bytes as 16 hex digits (default zero)\n"
    "  --sbox S-box number 23, 31..35 (default 31; 32 = CryptoPro-A for rus-gammar-cp)\n"
    "rus-change and rus-cbc work on whole 8-byte blocks: a final partial block is padded with\n"
    "zero bytes.\n";

enum class Alg { Change, Gamma, Gammar, GammarCp, Cbc };

int run_cipher(int argc, char** argv) {
  const char *alg_s = nullptr, *key_s = nullptr, *iv_s = nullptr, *sbox_s = nullptr, *path = nullptr;
  bool decrypt = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--help")) {
      std::printf("%s", kUsage);
      return EXIT_OK;
    } else if (!std::strcmp(a, "--decrypt")) {
      decrypt = true;
    } else if (i + 1 < argc && !std::strcmp(a, "--alg")) {
      alg_s = argv[++i];
    } else if (i + 1 < argc && !std::strcmp(a, "--key")) {
      key_s = argv[++i];
    } else if (i + 1 < argc && !std::strcmp(a, "--iv")) {
      iv_s = argv[++i];
    } else if (i + 1 < argc && !std::strcmp(a, "--sbox")) {
      sbox_s = argv[++i];
    } else if (a[0] == '-' && a[1] != '\0') {
      return usage_error("cipher: unknown or incomplete option '%s'", a);
    } else if (!path) {
      path = a;
    } else {
      return usage_error("cipher: more than one file given");
    }
  }
  if (!alg_s) return usage_error("cipher: --alg is required");
  Alg alg;
  if (!std::strcmp(alg_s, "rus-change")) alg = Alg::Change;
  else if (!std::strcmp(alg_s, "rus-gamma")) alg = Alg::Gamma;
  else if (!std::strcmp(alg_s, "rus-gammar")) alg = Alg::Gammar;
  else if (!std::strcmp(alg_s, "rus-gammar-cp")) alg = Alg::GammarCp;
  else if (!std::strcmp(alg_s, "rus-cbc")) alg = Alg::Cbc;
  else return usage_error("cipher: unknown algorithm '%s'", alg_s);

  if (!key_s) return usage_error("cipher: --key is required");
  std::vector<unsigned char> key, iv;
  if (!parse_hex(key_s, key)) return usage_error("cipher: --key is not valid hex");
  if (key.size() != 32) return usage_error("cipher: --key must be 32 bytes (64 hex digits)");
  if (iv_s) {
    if (alg == Alg::Change) return usage_error("cipher: rus-change takes no --iv");
    if (!parse_hex(iv_s, iv)) return usage_error("cipher: --iv is not valid hex");
    if (iv.size() != 8) return usage_error("cipher: --iv must be 8 bytes (16 hex digits)");
  }
  const unsigned char* sbox = nullptr;
  if (sbox_s && !(sbox = sbox_arg(sbox_s)))
    return usage_error("cipher: unknown S-box '%s' (23, 31 to 35)", sbox_s);
  std::FILE* in = open_input(path);
  if (!in) return usage_error("cipher: cannot read '%s'", path);

  GOSTE_CTX* c = GOSTE_new();
  const unsigned char* ivp = iv.empty() ? nullptr : iv.data();
  int dir = decrypt ? 0 : 1;
  bool ok = c != nullptr;
  if (ok) {
    switch (alg) {
      case Alg::Change: ok = GOSTE_ss_init(c, dir, key.data(), sbox); break;
      case Alg::Gamma: ok = GOSTE_gamma_init(c, key.data(), ivp, sbox); break;
      case Alg::Gammar: ok = GOSTE_gamma_fb_init(c, key.data(), ivp, sbox); break;
      case Alg::GammarCp: ok = GOSTE_gamma_fb_cp_init(c, key.data(), ivp, sbox); break;
      case Alg::Cbc: ok = GOSTE_cbc_init(c, dir, key.data(), ivp, sbox); break;
    }
    if (ok) c->direction = dir;
  }
  mem_cleanse(key.data(), key.size());
  std::vector<unsigned char> buf(kChunk);
  bool read_err = false, write_err = false;
  while (ok) {
    std::size_t n = read_full(in, buf.data(), buf.size(), read_err);
    if (read_err) break;
    std::size_t out_n = n;
    if (n > 0) {
      if ((alg == Alg::Change || alg == Alg::Cbc) && n % 8) {
        out_n = (n + 7) & ~static_cast<std::size_t>(7);
        std::memset(buf.data() + n, 0, out_n - n);
      }
      ok = GOSTE_update(c, buf.data(), nullptr, static_cast<int>(out_n)) == static_cast<int>(out_n);
      if (ok && std::fwrite(buf.data(), 1, out_n, stdout) != out_n) write_err = true;
    }
    if (write_err || n < buf.size()) break;
  }
  if (in != stdin) std::fclose(in);
  GOSTE_free(c);
  mem_cleanse(buf.data(), buf.size());
  if (read_err) return usage_error("cipher: cannot read '%s'", path ? path : "standard input");
  if (!ok) return operation_failed();
  if (write_err || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "jarnel-tool: cipher: cannot write the output\n");
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

const Command cipher{"cipher", "encrypt or decrypt with GOST 28147-89", run_cipher};

}  // namespace
