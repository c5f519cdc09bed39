// jarnel-tool digest: GOST R 34.11-94 and GOST R 34.11-2012 digests of files or standard input,
// and checks of them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "command.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rus/gosth.h"
#include "crypto/rus/streebog.h"
#include "gost_args.h"
#include "options.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char kUsage[] =
    "usage: jarnel-tool digest --alg ALG [--openssl-order] [FILE...]\n"
    "       jarnel-tool digest --alg ALG [--openssl-order] --check [LIST]\n"
    "Prints the GOST R 34.11-94 or GOST R 34.11-2012 digest of each FILE (or of standard input).\n"
    "  --alg rus-hash       GOST R 34.11-94, the library's default hash S-box\n"
    "        rus-hash-cp    GOST R 34.11-94, CryptoPro parameters (OpenSSL's md_gost94)\n"
    "        rus-hash-test  GOST R 34.11-94, test parameter set (S-box 23), zero start value\n"
    "        streebog256    GOST R 34.11-2012, 256 bits (OpenSSL's md_gost12_256)\n"
    "        streebog512    GOST R 34.11-2012, 512 bits (OpenSSL's md_gost12_512)\n"
    "  --openssl-order      print the bytes in the order the hash function produces them, as\n"
    "                       'openssl dgst' does; by default they are printed as one number, most\n"
    "                       significant byte first (the reverse order; RFC 6986 prints so)\n"
    "  --check              read lines 'FILE: HEX' (as printed for several files) from LIST or\n"
    "                       standard input, print 'FILE: OK' or 'FILE: FAILED' for each; exit 1\n"
    "                       when any differs or cannot be read\n"
    "With one input the digest alone is printed; with several, one line 'FILE: HEX' each.\n"
    "An empty message: rus-hash and rus-hash-test hash it as one block of zero bytes (the\n"
    "library's rule), so their digest of nothing differs from the RFC 5831 test value;\n"
    "rus-hash-cp follows RFC 5831 (the same as OpenSSL). Other messages agree with both.\n";

struct Alg {
  const char* name;
  bool cp;
  const unsigned char* (*sbox)();
  int streebog_bits;  // GOST R 34.11-2012 with this length; 0 for GOST R 34.11-94
  std::size_t bytes() const { return streebog_bits ? static_cast<std::size_t>(streebog_bits / 8) : 32; }
};
const unsigned char* test_sbox() { return GOSTE_sbox_by_number(23); }
constexpr Alg kAlgs[] = {
    {"rus-hash", false, GOSTE_default_hash_sbox, 0},
    {"rus-hash-cp", true, GOSTE_cp_hash_sbox, 0},
    {"rus-hash-test", false, test_sbox, 0},
    {"streebog256", false, nullptr, 256},
    {"streebog512", false, nullptr, 512},
};
constexpr std::size_t kMaxDigest = 64;

// GOST R 34.11-2012 of one input into d, most significant byte first (as the GOST R 34.11-94
// functions give theirs). -1 on success; otherwise the exit status with the reason printed.
int streebog_one(const Alg& alg, std::FILE* in, const char* path, unsigned char* d) {
  STREEBOG_CTX ctx;
  std::vector<unsigned char> buf(kChunk);
  bool ok = STREEBOG_init(&ctx, alg.streebog_bits) == 1;
  bool read_err = false;
  int read_errno = 0;
  while (ok) {
    std::size_t n = read_full(in, buf.data(), buf.size(), read_err);
    if (read_err) {
      read_errno = errno ? errno : EIO;
      break;
    }
    if (n > 0) ok = STREEBOG_update(&ctx, buf.data(), n) == 1;
    if (n < buf.size()) break;
  }
  if (in != stdin) std::fclose(in);
  if (ok && !read_err) ok = STREEBOG_final(&ctx, d) == static_cast<int>(alg.bytes());
  STREEBOG_cleanup(&ctx);
  if (read_err) return fail_errno(input_name(path), read_errno);
  if (!ok) return operation_failed(input_name(path), nullptr);
  for (std::size_t i = 0, j = alg.bytes() - 1; i < j; ++i, --j) std::swap(d[i], d[j]);
  return -1;
}

// The digest of one input (alg.bytes() bytes). -1 on success; otherwise the exit status with the
// reason printed.
int digest_one(const Alg& alg, const char* path, unsigned char* d) {
  std::FILE* in = open_input(path);
  if (!in) return fail_errno(input_name(path), errno);
  if (alg.streebog_bits) return streebog_one(alg, in, path, d);
  GOSTH_CTX* h = GOSTH_new();
  std::vector<unsigned char> buf(kChunk);
  bool ok = h && (alg.cp ? GOSTH_init_cp(h, nullptr, alg.sbox()) : GOSTH_init(h, nullptr, alg.sbox()));
  bool read_err = false;
  int read_errno = 0;
  while (ok) {
    std::size_t n = read_full(in, buf.data(), buf.size(), read_err);
    if (read_err) {
      read_errno = errno ? errno : EIO;
      break;
    }
    if (n > 0) ok = GOSTH_update(h, buf.data(), static_cast<int>(n)) == static_cast<int>(n);
    if (n < buf.size()) break;
  }
  if (in != stdin) std::fclose(in);
  if (ok && !read_err) ok = GOSTH_final(h, d) == 32;
  GOSTH_free(h);
  if (read_err) return fail_errno(input_name(path), read_errno);
  if (!ok) return operation_failed(input_name(path), nullptr);
  return -1;
}

std::string to_hex(const unsigned char* d, std::size_t n, bool openssl_order) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char b = d[openssl_order ? n - 1 - i : i];
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

int check(const Alg& alg, bool openssl_order, const char* list) {
  std::FILE* f = open_input(list);
  if (!f) return fail_errno(input_name(list), errno);
  int rc = EXIT_OK, lines = 0;
  std::string line;
  for (int ch;;) {
    line.clear();
    while ((ch = std::fgetc(f)) != EOF && ch != '\n') line += static_cast<char>(ch);
    if (ch == EOF && line.empty()) break;
    ++lines;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.rfind(": ");
    if (colon == std::string::npos || colon == 0 || line.size() - colon - 2 != 2 * alg.bytes()) {
      std::fprintf(stderr, "jarnel-tool digest: %s: line %d is not 'FILE: HEX'\n", input_name(list), lines);
      rc = EXIT_FAILED;
      continue;
    }
    const std::string file = line.substr(0, colon);
    std::string want = line.substr(colon + 2);
    for (char& c : want)
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    unsigned char d[kMaxDigest];
    if (digest_one(alg, file.c_str(), d) >= 0) {
      std::printf("%s: FAILED (cannot be read)\n", file.c_str());
      rc = EXIT_FAILED;
      continue;
    }
    const bool same = to_hex(d, alg.bytes(), openssl_order) == want;
    std::printf("%s: %s\n", file.c_str(), same ? "OK" : "FAILED");
    if (!same) rc = EXIT_FAILED;
  }
  const bool read_err = std::ferror(f) != 0;
  const int e = errno;
  if (f != stdin) std::fclose(f);
  if (read_err) return fail_errno(input_name(list), e);
  if (lines == 0) return fail(input_name(list), "no lines to check");
  return rc;
}

int run_digest(int argc, char** argv) {
  const char* alg_s = nullptr;
  bool openssl_order = false, check_mode = false;
  Options o("digest", kUsage);
  o.value("--alg", &alg_s).flag("--openssl-order", &openssl_order).flag("--check", &check_mode);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  if (!alg_s) return usage_error("digest: --alg is required (rus-hash, rus-hash-cp, rus-hash-test, streebog256 or streebog512)");
  const Alg* alg = nullptr;
  for (const Alg& a : kAlgs)
    if (!std::strcmp(alg_s, a.name)) alg = &a;
  if (!alg) return usage_error("digest: unknown algorithm '%s' for --alg", alg_s);
  const auto& files = o.positional();
  if (check_mode) {
    if (files.size() > 1) return usage_error("digest: --check reads one list");
    return check(*alg, openssl_order, files.empty() ? nullptr : files[0]);
  }
  if (files.size() <= 1) {
    unsigned char d[kMaxDigest];
    if (int rc = digest_one(*alg, files.empty() ? nullptr : files[0], d); rc >= 0) return rc;
    std::printf("%s\n", to_hex(d, alg->bytes(), openssl_order).c_str());
    return EXIT_OK;
  }
  int rc = EXIT_OK;
  for (const char* file : files) {
    unsigned char d[kMaxDigest];
    if (digest_one(*alg, file, d) >= 0) {
      rc = EXIT_FAILED;
      continue;
    }
    std::printf("%s: %s\n", file, to_hex(d, alg->bytes(), openssl_order).c_str());
  }
  return rc;
}

const Command digest{"digest", "print or check GOST R 34.11-94 and GOST R 34.11-2012 digests", run_digest};

}  // namespace
