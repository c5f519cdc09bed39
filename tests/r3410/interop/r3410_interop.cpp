// Exchange with another GOST R 34.10-94 implementation through text files, one record a line,
// numbers in big-endian hexadecimal:
//   make FILE   writes, for every RFC 4357 set, its parameters and signatures made here:
//                 PARAMS nid p q a
//                 SIG nid y digest signature        (layout 274: s || r)
//   check FILE  verifies what the other side wrote:
//                 SIG nid y digest signature        must verify here
//                 KAT nid x k digest r s            signing with x and k must give exactly r, s
// Exit status 0 when everything matched.
#include <openssl/bn.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"
#include "platform/entropy.h"

namespace {

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

std::string to_hex(const Bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

Bytes from_hex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes bn(const BIGNUM* v, int len) {
  Bytes out(static_cast<std::size_t>(len));
  BN_bn2binpad(v, out.data(), len);
  return out;
}

R3410* key_on(int nid) {
  R3410* key = R3410_new();
  if (key && R3410_set_params_by_nid(key, nid) == 1) return key;
  R3410_free(key);
  return nullptr;
}

int make(const char* path) {
  std::ofstream out(path);
  for (int nid = NID_CP_R3410_94_A; nid <= NID_CP_R3410_94_XCHC; ++nid) {
    R3410* key = key_on(nid);
    if (!key || !R3410_generate_key(key, nullptr, 0)) return 1;
    out << "PARAMS " << nid << ' ' << to_hex(bn(key->p, 128)) << ' ' << to_hex(bn(key->q, 32))
        << ' ' << to_hex(bn(key->a, 128)) << '\n';
    for (int i = 0; i < 4; ++i) {
      Bytes digest(32);
      RAND_bytes(digest.data(), 32);
      unsigned char sig[64];
      unsigned len = 0;
      if (!R3410_sign(R3410_SIG_CRYPTOPRO, key, digest.data(), 32, sig, &len)) return 1;
      out << "SIG " << nid << ' ' << to_hex(bn(key->y, 128)) << ' ' << to_hex(digest) << ' '
          << to_hex(Bytes(sig, sig + len)) << '\n';
    }
    R3410_free(key);
  }
  return out.good() ? 0 : 1;
}

int check(const char* path) {
  std::ifstream in(path);
  std::string line;
  int sigs = 0, kats = 0, failures = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind;
    int nid = 0;
    fields >> kind >> nid;
    R3410* key = key_on(nid);
    if (!key) {
      std::cerr << "unknown set " << nid << '\n';
      return 1;
    }
    if (kind == "SIG") {
      std::string y, digest, sig;
      fields >> y >> digest >> sig;
      Bytes yb = from_hex(y), db = from_hex(digest), sb = from_hex(sig);
      key->y = BN_bin2bn(yb.data(), static_cast<int>(yb.size()), nullptr);
      ++sigs;
      if (R3410_verify(R3410_SIG_CRYPTOPRO, key, db.data(), static_cast<int>(db.size()),
                       sb.data(), static_cast<int>(sb.size())) != 1) {
        std::cerr << "not verified here: " << line << '\n';
        ++failures;
      }
    } else if (kind == "KAT") {
      std::string x, k, digest, r, s;
      fields >> x >> k >> digest >> r >> s;
      Bytes xb = from_hex(x), kb = from_hex(k), db = from_hex(digest);
      unsigned char out[64];
      unsigned len = 0;
      ++kats;
      if (!R3410_set_private_key(key, xb.data(), static_cast<int>(xb.size())) ||
          !R3410_sign_setup(key, kb.data(), static_cast<int>(kb.size())) ||
          !R3410_sign(R3410_SIG_RS, key, db.data(), static_cast<int>(db.size()), out, &len) ||
          to_hex(Bytes(out, out + 32)) != r || to_hex(Bytes(out + 32, out + 64)) != s) {
        std::cerr << "different signature here: " << line << '\n';
        ++failures;
      }
    }
    R3410_free(key);
  }
  ERR_print_errors_fp(stderr);
  std::cout << sigs << " signatures and " << kats << " known answers checked, " << failures
            << " failures\n";
  return failures == 0 && sigs > 0 && kats > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: r3410_interop make|check FILE\n";
    return 2;
  }
  jarnel::CADB_startup();
  // The GOST generator, keyed from the system's entropy source.
  unsigned char seed[32];
  if (!jarnel::GRAND_is_initialised() && (!jarnel::platform::system_entropy(seed, sizeof seed) ||
                                          !jarnel::GRAND_start(seed, sizeof seed)))
    return 1;
  std::string mode = argv[1];
  if (mode == "make") return make(argv[2]);
  if (mode == "check") return check(argv[2]);
  return 2;
}
