// jarnel-tool digest: GOST R 34.11-94 digest of a file or standard input.
#include <cstdio>
#include <cstring>
#include <vector>

#include "command.h"
#include "crypto/mem.h"
#include "crypto/rus/gosth.h"
#include "gost_args.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char kUsage[] =
    "usage: jarnel-tool digest --alg rus-hash|rus-hash-cp|rus-hash-test [FILE]\n"
    "Prints the GOST R 34.11-94 digest of FILE (or standard input), most significant byte first.\n"
    "  rus-hash       default hash S-box, an empty message hashes one zero block\n"
    "  rus-hash-cp    CryptoPro parameters\n"
    "  rus-hash-test  test parameter set (S-box 23), zero start value\n";

int run_digest(int argc, char** argv) {
  const char* alg = nullptr;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help")) {
      std::printf("%s", kUsage);
      return EXIT_OK;
    } else if (!std::strcmp(argv[i], "--alg") && i + 1 < argc) {
      alg = argv[++i];
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      return usage_error("digest: unknown option '%s'", argv[i]);
    } else if (!path) {
      path = argv[i];
    } else {
      return usage_error("digest: more than one file given");
    }
  }
  if (!alg) return usage_error("digest: --alg is required (rus-hash, rus-hash-cp or rus-hash-test)");
  const unsigned char* sbox = nullptr;
  bool cp = false;
  if (!std::strcmp(alg, "rus-hash")) {
    sbox = GOSTE_default_hash_sbox();
  } else if (!std::strcmp(alg, "rus-hash-cp")) {
    sbox = GOSTE_cp_hash_sbox();
    cp = true;
  } else if (!std::strcmp(alg, "rus-hash-test")) {
    sbox = GOSTE_sbox_by_number(23);
  } else {
    return usage_error("digest: unknown algorithm '%s'", alg);
  }
  std::FILE* in = open_input(path);
  if (!in) return usage_error("digest: cannot read '%s'", path);

  GOSTH_CTX* h = GOSTH_new();
  std::vector<unsigned char> buf(kChunk);
  bool ok = h && (cp ? GOSTH_init_cp(h, nullptr, sbox) : GOSTH_init(h, nullptr, sbox));
  bool read_err = false;
  while (ok) {
    std::size_t n = read_full(in, buf.data(), buf.size(), read_err);
    if (n > 0) ok = GOSTH_update(h, buf.data(), static_cast<int>(n)) == static_cast<int>(n);
    if (n < buf.size()) break;
  }
  if (in != stdin) std::fclose(in);
  unsigned char d[32];
  if (ok && !read_err) ok = GOSTH_final(h, d) == 32;
  GOSTH_free(h);
  if (read_err) return usage_error("digest: cannot read '%s'", path ? path : "standard input");
  if (!ok) return operation_failed();
  print_hex(d, 32);
  return EXIT_OK;
}

const Command digest{"digest", "print a GOST R 34.11-94 digest", run_digest};

}  // namespace
