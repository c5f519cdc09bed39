// jarnel-tool cipher: GOST 28147-89 encryption and decryption of a stream.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89.h"
#include "gost_args.h"
#include "key_source.h"
#include "options.h"
#include "output.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const std::string kUsage = std::string(
    "usage: jarnel-tool cipher --alg ALG KEY [--iv HEX] [--sbox NAME] [--pad P] [--decrypt]\n"
    "                          [--out FILE] [FILE]\n"
    "Encrypts (or decrypts) FILE or standard input with GOST 28147-89, to standard output or\n"
    "--out FILE.\n"
    "  ALG: rus-change (ECB), rus-gamma (counter), rus-gammar (CFB), rus-gammar-cp (CryptoPro\n"
    "       CFB with key meshing, as OpenSSL's gost89), rus-cbc\n"
    "  --iv HEX     8 bytes as 16 hex digits (default zero)\n") +
    kSboxHelp +
    "  --pad P      for rus-change and rus-cbc: pkcs7 (default; decryption checks and removes\n"
    "               it), zero (zero bytes up to a whole block; decryption keeps them) or none\n"
    "               (the input must be whole 8-byte blocks)\n"
    "  --decrypt    decrypt instead of encrypt\n"
    "  --out FILE   write the result to FILE instead of standard output\n" +
    kKeySourceHelp +
    "Exit status: 0 success, 1 failure (one line on standard error), 2 bad usage.\n";

enum class Alg { Change, Gamma, Gammar, GammarCp, Cbc };
enum class Pad { Pkcs7, Zero, None };

int run_cipher(int argc, char** argv) {
  const char *alg_s = nullptr, *iv_s = nullptr, *sbox_s = nullptr, *pad_s = nullptr, *out_s = nullptr;
  bool decrypt = false;
  KeySource ks;
  Options o("cipher", kUsage.c_str());
  o.value("--alg", &alg_s).value("--iv", &iv_s).value("--sbox", &sbox_s).value("--pad", &pad_s);
  o.value("--out", &out_s).flag("--decrypt", &decrypt);
  ks.declare(o);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  if (o.positional().size() > 1) return usage_error("cipher: more than one file given");
  const char* path = o.positional().empty() ? nullptr : o.positional()[0];

  if (!alg_s) return usage_error("cipher: --alg is required");
  Alg alg;
  if (!std::strcmp(alg_s, "rus-change")) alg = Alg::Change;
  else if (!std::strcmp(alg_s, "rus-gamma")) alg = Alg::Gamma;
  else if (!std::strcmp(alg_s, "rus-gammar")) alg = Alg::Gammar;
  else if (!std::strcmp(alg_s, "rus-gammar-cp")) alg = Alg::GammarCp;
  else if (!std::strcmp(alg_s, "rus-cbc")) alg = Alg::Cbc;
  else return usage_error("cipher: unknown algorithm '%s' for --alg", alg_s);
  const bool block = alg == Alg::Change || alg == Alg::Cbc;

  Pad pad = block ? Pad::Pkcs7 : Pad::None;
  if (pad_s) {
    if (!std::strcmp(pad_s, "pkcs7")) pad = Pad::Pkcs7;
    else if (!std::strcmp(pad_s, "zero")) pad = Pad::Zero;
    else if (!std::strcmp(pad_s, "none")) pad = Pad::None;
    else return usage_error("cipher: --pad must be pkcs7, zero or none");
    if (!block && pad != Pad::None) return usage_error("cipher: --pad goes with rus-change and rus-cbc only");
  }
  std::vector<unsigned char> iv;
  if (iv_s) {
    if (alg == Alg::Change) return usage_error("cipher: rus-change takes no --iv");
    if (!parse_hex(iv_s, iv)) return usage_error("cipher: --iv is not valid hex");
    if (iv.size() != 8) return usage_error("cipher: --iv must be 8 bytes (16 hex digits)");
  }
  const unsigned char* sbox = sbox_arg(sbox_s);
  if (!sbox) return usage_error("cipher: unknown S-box '%s' for --sbox", sbox_s);
  SecureBuffer key;
  if (int rc = ks.load(key); rc >= 0) return rc;

  std::FILE* in = open_input(path);
  if (!in) return fail_errno(input_name(path), errno);
  OutputFile out;
  if (int rc = out.open(out_s); rc >= 0) {
    if (in != stdin) std::fclose(in);
    return rc;
  }

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
  key.reset();
  SecureBuffer buf(kChunk + 8);
  ok = ok && !buf.empty();
  unsigned char held[8];  // decryption with PKCS#7: the last block, written only once known not last
  bool have_held = false;
  int read_errno = 0, write_errno = 0;  // write_errno: a write failed (the output knows why)
  const char* problem = nullptr;
  while (ok) {
    bool read_err = false;
    std::size_t n = read_full(in, buf.data(), kChunk, read_err);
    if (read_err) {
      read_errno = errno ? errno : EIO;
      break;
    }
    const bool last = n < kChunk;
    if (last && block && n % 8) {
      if (decrypt) {
        problem = "the input is not a whole number of 8-byte blocks";
        break;
      }
      if (pad == Pad::None) {
        problem = "the input is not a whole number of 8-byte blocks (see --pad)";
        break;
      }
    }
    if (last && block && !decrypt && pad != Pad::None) {
      const std::size_t fill = pad == Pad::Pkcs7 ? 8 - n % 8 : (8 - n % 8) % 8;
      std::memset(buf.data() + n, pad == Pad::Pkcs7 ? static_cast<int>(fill) : 0, fill);
      n += fill;
    }
    if (n > 0) ok = GOSTE_update(c, buf.data(), nullptr, static_cast<int>(n)) == static_cast<int>(n);
    if (!ok) break;
    if (decrypt && block && pad == Pad::Pkcs7) {
      if (n > 0) {
        if (have_held && !out.write(held, 8)) write_errno = 1;
        std::memcpy(held, buf.data() + n - 8, 8);
        have_held = true;
        n -= 8;
      }
      if (!write_errno && !out.write(buf.data(), n)) write_errno = 1;
      if (last && !write_errno) {
        const unsigned p = have_held ? held[7] : 0;
        bool good = p >= 1 && p <= 8;
        for (unsigned i = 0; good && i < p; ++i) good = held[7 - i] == p;
        if (!good) problem = "bad padding: the key is wrong or the data was not PKCS#7-padded (see --pad)";
        else if (!out.write(held, 8 - p)) write_errno = 1;
      }
    } else if (!out.write(buf.data(), n)) {
      write_errno = 1;
    }
    if (write_errno || last || problem) break;
  }
  mem_cleanse(held, sizeof held);
  if (in != stdin) std::fclose(in);
  GOSTE_free(c);
  if (read_errno || problem || !ok) out.abandon();
  if (read_errno) return fail_errno(input_name(path), read_errno);
  if (!ok) return operation_failed();
  if (problem) return fail(input_name(path), problem);
  if (int rc = out.close(); rc >= 0) return rc;
  return EXIT_OK;
}

const Command cipher{"cipher", "encrypt or decrypt with GOST 28147-89", run_cipher};

}  // namespace
