// jarnel-tool ecgost: GOST R 34.10-2001 keys, signatures and VKO for interop checks and
// scripts. The private key comes from the command line or a file here; the key store never
// keeps keys that way.
#include <openssl/bn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gosth.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char* const kHelp =
    "usage: jarnel-tool ecgost keygen --paramset A|B|C|XA|XB\n"
    "       jarnel-tool ecgost sign   --paramset P (--key HEX | --key-file F) [FILE]\n"
    "       jarnel-tool ecgost verify --paramset P --pub HEX --sig HEX [FILE]\n"
    "       jarnel-tool ecgost vko    --paramset P (--key HEX | --key-file F) --peer HEX --ukm HEX\n"
    "\n"
    "GOST R 34.10-2001 on the CryptoPro parameter sets.\n"
    "  keygen  prints d=<64 hex digits, most significant first> and\n"
    "          Q=<128 hex digits: X then Y, each least significant byte first>\n"
    "  sign    hashes FILE (or standard input) with RUS-HASH-CP and prints the 64-byte\n"
    "          signature s || r as hex\n"
    "  verify  prints 'valid' (exit 0) or 'invalid' (exit 1); --pub is Q as keygen prints it\n"
    "  vko     prints the 32-byte key-encryption key of RFC 4357 for the peer's Q and the\n"
    "          8-byte UKM (16 hex digits, the transport bytes)\n"
    "\n"
    "The private key is read from the command line or from a file holding its hex digits. This\n"
    "is for tests and interoperability only: the key store never keeps private keys that way.\n"
    "Without a random board the GOST generator is keyed from the system's entropy source.\n"
    "Malformed input: one line on standard error, exit status 2.\n";

struct Args {
  std::string op, paramset, key, key_file, pub, sig, peer, ukm, file;
};

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly n bytes of hex (whitespace around it ignored).
bool parse_hex(std::string s, std::size_t n, SecureBuffer& out) {
  while (!s.empty() && std::strchr(" \t\r\n", s.back())) s.pop_back();
  std::size_t start = 0;
  while (start < s.size() && std::strchr(" \t\r\n", s[start])) ++start;
  s = s.substr(start);
  if (s.size() != 2 * n || !out.resize(n)) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const int hi = hexval(s[2 * i]), lo = hexval(s[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.data()[i] = static_cast<unsigned char>(hi * 16 + lo);
  }
  return true;
}

void print_hex(const char* prefix, const unsigned char* p, std::size_t n) {
  std::printf("%s", prefix);
  for (std::size_t i = 0; i < n; ++i) std::printf("%02x", p[i]);
  std::printf("\n");
}

int paramset_nid(const std::string& s) {
  if (s == "A") return NID_CP_2001_A;
  if (s == "B") return NID_CP_2001_B;
  if (s == "C") return NID_CP_2001_C;
  if (s == "XA") return NID_CP_2001_XCHA;
  if (s == "XB") return NID_CP_2001_XCHB;
  return 0;
}

struct KeyHolder {
  ECGOST* key = nullptr;
  ~KeyHolder() { ECGOST_free(key); }
};

ECGOST* new_key(int nid) {
  ECURVE* c = ECURVE_by_number(ECURVE_number_by_paramset(nid));
  ECGOST* k = c ? ECGOST_new(c) : nullptr;
  ECURVE_free(c);
  if (k) ECGOST_set_paramsets(k, nid, NID_CP_R3411_94_PARAMSET, 0);
  return k;
}

// Reads the private key (hex, most significant first) from --key or --key-file.
int load_private(const Args& a, ECGOST* key) {
  std::string text = a.key;
  if (!a.key_file.empty()) {
    std::FILE* f = std::fopen(a.key_file.c_str(), "rb");
    if (!f) return usage_error("cannot open key file '%s'", a.key_file.c_str());
    char buf[256];
    const std::size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    text.assign(buf, n);
    mem_cleanse(buf, sizeof buf);
  }
  SecureBuffer d;
  const bool parsed = parse_hex(text, 32, d);
  mem_cleanse(text.data(), text.size());
  if (!parsed) return usage_error("the private key must be 64 hex digits");
  BIGNUM* bn = BN_bin2bn(d.data(), 32, nullptr);
  ERR_clear_error();
  const bool ok = bn && ECGOST_set_private(key, bn) && ECGOST_generate_pubkey(key);
  BN_clear_free(bn);
  if (!ok) return usage_error("the private key is not in the range 1..q-1");
  return EXIT_OK;
}

int load_point(const std::string& hex, ECGOST* key, ECPOINT** out) {
  SecureBuffer q;
  if (!parse_hex(hex, 64, q)) return usage_error("a public key must be 128 hex digits");
  ECPOINT* p = ECPOINT_new(ECGOST_get_curve(key));
  ERR_clear_error();
  if (!p || !ECPOINT_le2point(p, q.data(), 64) || !ECGOST_is_pubkey_valid(p, 1)) {
    ECPOINT_free(p);
    ERR_clear_error();
    return usage_error("the public key is not a point of the curve");
  }
  *out = p;
  return EXIT_OK;
}

// RUS-HASH-CP of FILE or standard input.
int digest_input(const std::string& file, unsigned char out[32]) {
  std::FILE* f = file.empty() ? stdin : std::fopen(file.c_str(), "rb");
  if (!f) return usage_error("cannot open '%s'", file.c_str());
  GOSTH_CTX* h = GOSTH_new();
  bool ok = h && GOSTH_init_cp(h, nullptr, GOSTE_cp_hash_sbox());
  unsigned char buf[16384];
  std::size_t n;
  while (ok && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
    ok = GOSTH_update(h, buf, static_cast<int>(n)) == static_cast<int>(n);
  const bool read_error = std::ferror(f) != 0;
  if (f != stdin) std::fclose(f);
  ok = ok && !read_error && GOSTH_final(h, out) == 32;
  GOSTH_free(h);
  if (read_error) return usage_error("cannot read '%s'", file.empty() ? "-" : file.c_str());
  return ok ? EXIT_OK : operation_failed();
}

// Keys and signatures need random numbers: when the start-up found no board, the GOST generator
// is keyed from the system's entropy.
bool random_ready() { return seed_generator(); }

int run_ecgost(int argc, char** argv) {
  Args a;
  if (argc < 2) return usage_error("ecgost needs an operation (see jarnel-tool ecgost --help)");
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::fputs(kHelp, stdout);
    return EXIT_OK;
  }
  a.op = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&](std::string& dst) {
      if (i + 1 >= argc) return false;
      dst = argv[++i];
      return true;
    };
    bool ok = true;
    if (opt == "--help" || opt == "-h") {
      std::fputs(kHelp, stdout);
      return EXIT_OK;
    } else if (opt == "--paramset") ok = value(a.paramset);
    else if (opt == "--key") ok = value(a.key);
    else if (opt == "--key-file") ok = value(a.key_file);
    else if (opt == "--pub") ok = value(a.pub);
    else if (opt == "--sig") ok = value(a.sig);
    else if (opt == "--peer") ok = value(a.peer);
    else if (opt == "--ukm") ok = value(a.ukm);
    else if (opt.size() > 1 && opt[0] == '-') return usage_error("unknown option '%s'", opt.c_str());
    else if (a.file.empty()) a.file = opt;
    else return usage_error("only one input file may be given");
    if (!ok) return usage_error("option '%s' needs a value", opt.c_str());
  }
  const int nid = paramset_nid(a.paramset);
  if (!nid) return usage_error("--paramset must be one of A, B, C, XA, XB");
  const bool needs_key = a.op == "sign" || a.op == "vko";
  if (needs_key && a.key.empty() == a.key_file.empty())
    return usage_error("give exactly one of --key and --key-file");
  if (a.op != "keygen" && a.op != "sign" && a.op != "verify" && a.op != "vko")
    return usage_error("unknown ecgost operation '%s'", a.op.c_str());
  if ((a.op == "keygen" || a.op == "vko") && !a.file.empty())
    return usage_error("%s takes no input file", a.op.c_str());

  if (a.op != "verify" && !random_ready()) return operation_failed();

  KeyHolder k;
  k.key = new_key(nid);
  if (!k.key) return operation_failed();

  if (a.op == "keygen") {
    if (!ECGOST_key_pair_generation(k.key)) return operation_failed();
    BIGNUM* d = BN_secure_new();
    unsigned char db[32], q[64];
    const bool ok = d && ECGOST_get_private(k.key, d) && BN_bn2binpad(d, db, 32) == 32 &&
                    ECPOINT_point2le(ECGOST_get_public(k.key), q, sizeof q) == 64;
    BN_clear_free(d);
    if (!ok) return operation_failed();
    print_hex("d=", db, 32);
    print_hex("Q=", q, 64);
    mem_cleanse(db, sizeof db);
    return EXIT_OK;
  }
  if (a.op == "sign") {
    if (int rc = load_private(a, k.key)) return rc;
    unsigned char dg[32], sig[64];
    unsigned len = 0;
    if (int rc = digest_input(a.file, dg)) return rc;
    if (!ECGOST_sign(ECGOST_SIG_CP, dg, 32, sig, &len, k.key) || len != 64)
      return operation_failed();
    print_hex("", sig, 64);
    return EXIT_OK;
  }
  if (a.op == "verify") {
    if (a.pub.empty() || a.sig.empty()) return usage_error("verify needs --pub and --sig");
    ECPOINT* q = nullptr;
    if (int rc = load_point(a.pub, k.key, &q)) return rc;
    const int set = ECGOST_set_public(k.key, q);
    ECPOINT_free(q);
    SecureBuffer sig;
    if (!parse_hex(a.sig, 64, sig)) return usage_error("a signature must be 128 hex digits");
    if (!set) return operation_failed();
    unsigned char dg[32];
    if (int rc = digest_input(a.file, dg)) return rc;
    ERR_clear_error();
    const int v = ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig.data(), 64, k.key);
    ERR_clear_error();
    std::printf(v == 1 ? "valid\n" : "invalid\n");
    return v == 1 ? EXIT_OK : EXIT_FAILED;
  }
  // vko
  if (a.peer.empty() || a.ukm.empty()) return usage_error("vko needs --peer and --ukm");
  if (int rc = load_private(a, k.key)) return rc;
  ECPOINT* peer = nullptr;
  if (int rc = load_point(a.peer, k.key, &peer)) return rc;
  SecureBuffer ukm;
  if (!parse_hex(a.ukm, 8, ukm)) {
    ECPOINT_free(peer);
    return usage_error("the UKM must be 16 hex digits");
  }
  if (std::all_of(ukm.data(), ukm.data() + 8, [](unsigned char b) { return b == 0; })) {
    ECPOINT_free(peer);
    return usage_error("the UKM must not be zero");
  }
  unsigned char kek[32];
  const int ok = ECGOST_vko_kek(k.key, peer, ukm.data(), kek);
  ECPOINT_free(peer);
  if (!ok) return operation_failed();
  print_hex("", kek, 32);
  mem_cleanse(kek, sizeof kek);
  return EXIT_OK;
}

const Command ecgost{"ecgost", "GOST R 34.10-2001 keys, signatures and VKO", run_ecgost};

}  // namespace
