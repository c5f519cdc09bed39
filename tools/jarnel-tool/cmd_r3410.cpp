// jarnel-tool r3410: GOST R 34.10-94 keys and signatures in the CryptoPro forms (PKCS#8 private
// keys, SubjectPublicKeyInfo public keys, s || r signatures), the companion of ecgost.
#include <openssl/bn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "crypto/ecgost/ec_der.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"
#include "crypto/r3410/r3410.h"
#include "gost_args.h"
#include "key_io.h"
#include "options.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char kHelp[] =
    "usage: jarnel-tool r3410 keygen [--paramset P] [--out FILE [--pem] [--password-file F]]\n"
    "       jarnel-tool r3410 pub    KEY [--out FILE] [--pem | --hex]\n"
    "       jarnel-tool r3410 sign   KEY [--out FILE] [--hex] [FILE | --hash-hex HEX]\n"
    "       jarnel-tool r3410 verify PUBLIC (--sig HEX | --signature FILE) [FILE | --hash-hex HEX]\n"
    "\n"
    "GOST R 34.10-94 on the CryptoPro parameter sets A, B, C, D, XA, XB and XC (default A).\n"
    "The forms are those of ecgost (see jarnel-tool ecgost --help):\n"
    "  private keys  PKCS#8 (algorithm 1.2.643.2.2.20, the private value as 32 little-endian\n"
    "                bytes; DER or PEM, plain or encrypted with --password-file), or 'x=' and\n"
    "                'paramset=' lines / 64 hex digits (x, most significant first) with\n"
    "                --paramset; keygen without --out prints x=, y= and paramset= lines\n"
    "  public keys   SubjectPublicKeyInfo (DER or PEM) with --pub-file, or y as 256 hex digits\n"
    "                (least significant byte first) with --pub or a 'y=' line\n"
    "  signatures    64 bytes s || r; binary with --out, hex on standard output or with --hex\n"
    "The message digest is GOST R 34.11-94 with the CryptoPro parameters; --hash-hex (with\n"
    "--openssl-order) gives one computed elsewhere.\n"
    "This is for tests and interoperability: the key store never keeps private keys that way.\n"
    "Exit status: 0 success, 1 failure or an invalid signature, 2 bad usage or malformed input.\n";

struct Args {
  const char *op = nullptr, *paramset = nullptr, *key = nullptr, *key_file = nullptr, *password_file = nullptr;
  const char *pub = nullptr, *pub_file = nullptr, *sig = nullptr, *signature = nullptr, *out = nullptr;
  const char *hash_hex = nullptr, *file = nullptr;
  bool pem = false, hex = false, openssl_order = false;
};

struct ParamSet {
  const char* name;
  int nid;
};
constexpr ParamSet kSets[] = {{"A", NID_CP_R3410_94_A},       {"B", NID_CP_R3410_94_B},       {"C", NID_CP_R3410_94_C},
                              {"D", NID_CP_R3410_94_D},       {"XA", NID_CP_R3410_94_XCHA},   {"XB", NID_CP_R3410_94_XCHB},
                              {"XC", NID_CP_R3410_94_XCHC}};

int set_nid(const char* s) {
  for (const auto& p : kSets)
    if (s && !std::strcmp(s, p.name)) return p.nid;
  return 0;
}
const char* set_name(int nid) {
  for (const auto& p : kSets)
    if (p.nid == nid) return p.name;
  return nullptr;
}

std::vector<std::uint32_t> arcs_of(const char* dotted) {
  std::vector<std::uint32_t> arcs;
  for (const char* p = dotted; p && *p;) {
    arcs.push_back(static_cast<std::uint32_t>(std::strtoul(p, const_cast<char**>(&p), 10)));
    if (*p == '.') ++p;
  }
  return arcs;
}
const std::vector<std::uint32_t> kAlg = {1, 2, 643, 2, 2, 20};

struct Key {
  R3410* k = R3410_new();
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { R3410_free(k); }
};

// SEQUENCE { parameter-set OID, digest parameter-set OID }.
std::vector<unsigned char> params_der(int nid) {
  der::Writer w;
  w.open(der::TAG_SEQUENCE);
  const auto set = arcs_of(R3410_nid_oid(nid));
  const auto dg = arcs_of(R3410_nid_oid(NID_CP_R3411_94_PARAMSET));
  w.oid(set);
  w.oid(dg);
  w.close();
  const auto out = w.bytes();
  return {out.begin(), out.end()};
}

// Reads the parameters element; the parameter set's number or 0.
int params_nid(std::span<const unsigned char> params) {
  der::Reader r(params), seq(std::span<const unsigned char>{});
  der::Oid arcs;
  if (!r.enter(der::TAG_SEQUENCE, seq) || !seq.oid(arcs)) return 0;
  for (const auto& p : kSets)
    if (arcs == std::span<const std::uint32_t>(arcs_of(R3410_nid_oid(p.nid)))) return p.nid;
  return 0;
}

int use_set(Key& key, int nid, const Args& a, const char* what) {
  if (a.paramset && set_nid(a.paramset) != nid)
    return usage_error("%s: the key is not on parameter set %s (leave --paramset out)", what, a.paramset);
  if (!key.k || !R3410_set_params_by_nid(key.k, nid)) return operation_failed();
  return -1;
}

int set_private_be(Key& key, const unsigned char* x, const char* what) {
  ERR_clear_error();
  if (!R3410_set_private_key(key.k, x, 32) || !R3410_generate_pubkey(key.k)) {
    ERR_clear_error();
    return usage_error("%s: the private key is not in the range 1..q-1", what);
  }
  return -1;
}

// The set named by a "paramset=" line of a text, else --paramset; 0 when neither.
int text_set(const Args& a, std::span<const unsigned char> text) {
  const std::string s(reinterpret_cast<const char*>(text.data()), text.size());
  const std::size_t at = s.find("paramset=");
  if (at != std::string::npos && (at == 0 || s[at - 1] == '\n')) {
    const std::string name = s.substr(at + 9, s.find_first_of("\r\n", at) - at - 9);
    return set_nid(name.c_str());
  }
  return set_nid(a.paramset);
}

int key_from_pkcs8(const Args& a, std::span<const unsigned char> der, const char* what, Key& key) {
  Pkcs8 p8;
  if (!pkcs8_parse(der, p8)) return usage_error("%s: not a PKCS#8 private key", what);
  if (p8.alg != kAlg) return usage_error("%s: not a GOST R 34.10-94 key (use ecgost for GOST R 34.10-2001)", what);
  const int nid = params_nid(p8.params);
  if (!nid) return usage_error("%s: unknown parameter set in the PKCS#8 key", what);
  if (int rc = use_set(key, nid, a, what); rc >= 0) return rc;
  const unsigned char* v = p8.key.data();
  std::size_t n = p8.key.size();
  if (n == 34 && v[0] == der::TAG_OCTET_STRING && v[1] == 32) {
    v += 2;
    n = 32;
  }
  unsigned char x[32];
  if (n == 32) {
    for (int i = 0; i < 32; ++i) x[i] = v[31 - i];
  } else if (n >= 3 && v[0] == der::TAG_INTEGER && v[1] == n - 2 && n - 2 <= 33) {
    BIGNUM* bn = BN_bin2bn(v + 2, static_cast<int>(n - 2), nullptr);
    const bool ok = bn && BN_bn2binpad(bn, x, 32) == 32;
    BN_clear_free(bn);
    if (!ok) return usage_error("%s: the private value is out of range", what);
  } else {
    return usage_error("%s: the private value has an unknown form", what);
  }
  const int rc = set_private_be(key, x, what);
  mem_cleanse(x, sizeof x);
  return rc;
}

int load_private(const Args& a, Key& key) {
  if (!a.key == !a.key_file) return usage_error("give exactly one of --key and --key-file");
  const char* what = a.key_file ? a.key_file : "--key";
  SecureBuffer text;
  if (a.key_file) {
    if (int rc = read_whole_file(a.key_file, 65536, text); rc >= 0) return rc;
  } else if (!text.resize(std::strlen(a.key)) ||
             (std::memcpy(text.data(), a.key, text.size()), false)) {
    return operation_failed();
  }
  SecureBuffer x;
  if (hex_line(text.span(), "x", 32, x) || hex_exact(text.span(), 32, x)) {
    const int nid = text_set(a, text.span());
    if (!nid) return usage_error("%s is bare hex: --paramset is needed", what);
    if (int rc = use_set(key, nid, a, what); rc >= 0) return rc;
    return set_private_be(key, x.data(), what);
  }
  std::string label;
  SecureBuffer der, plain;
  std::span<const unsigned char> body = text.span();
  if (pem_decode(text.span(), label, der)) {
    if (label != "PRIVATE KEY" && label != "ENCRYPTED PRIVATE KEY")
      return usage_error("%s: a PEM '%s', not a private key", what, label.c_str());
    body = der.span();
  }
  if (is_encrypted_pkcs8(body)) {
    if (!a.password_file) return usage_error("%s is encrypted: give --password-file", what);
    SecureBuffer pw;
    if (int rc = read_password_file(a.password_file, pw); rc >= 0) return rc;
    if (!pkcs8_decrypt(body, pw.span(), plain)) return fail(what, "cannot be decrypted: wrong password or unknown encryption");
    body = plain.span();
  }
  return key_from_pkcs8(a, body, what, key);
}

int load_public(const Args& a, Key& key) {
  if (!a.pub == !a.pub_file) return usage_error("give exactly one of --pub and --pub-file");
  const char* what = a.pub_file ? a.pub_file : "--pub";
  SecureBuffer text;
  if (a.pub_file) {
    if (int rc = read_whole_file(a.pub_file, 65536, text); rc >= 0) return rc;
  } else if (!text.resize(std::strlen(a.pub)) || (std::memcpy(text.data(), a.pub, text.size()), false)) {
    return operation_failed();
  }
  SecureBuffer y, der;
  int nid = 0;
  if (hex_line(text.span(), "y", 128, y) || hex_exact(text.span(), 128, y)) {
    nid = text_set(a, text.span());
    if (!nid) return usage_error("%s is bare hex: --paramset is needed", what);
  } else {
    std::string label;
    std::span<const unsigned char> body = text.span();
    if (pem_decode(text.span(), label, der)) {
      if (label != "PUBLIC KEY") return usage_error("%s: a PEM '%s', not a PUBLIC KEY", what, label.c_str());
      body = der.span();
    }
    der::Reader r(body), spki(std::span<const unsigned char>{}), alg(std::span<const unsigned char>{});
    der::Oid arcs;
    std::span<const unsigned char> bits, octets;
    if (!r.enter(der::TAG_SEQUENCE, spki) || !spki.enter(der::TAG_SEQUENCE, alg) || !alg.oid(arcs) ||
        !(arcs == std::span<const std::uint32_t>(kAlg)) || !spki.expect(der::TAG_BIT_STRING, bits) || bits.empty() || bits[0] != 0)
      return usage_error("%s: not a GOST R 34.10-94 public key", what);
    nid = params_nid(std::span<const unsigned char>(alg.position(), alg.remaining()));
    der::Reader in(bits.subspan(1));
    if (!nid || !in.expect(der::TAG_OCTET_STRING, octets) || octets.size() != 128 || !y.resize(128))
      return usage_error("%s: not a GOST R 34.10-94 public key", what);
    std::memcpy(y.data(), octets.data(), 128);
  }
  if (int rc = use_set(key, nid, a, what); rc >= 0) return rc;
  // The library reads the public value from its certificate form, OCTET STRING { y_le }.
  unsigned char wrapped[131] = {der::TAG_OCTET_STRING, 0x81, 128};
  std::memcpy(wrapped + 3, y.data(), 128);
  const unsigned char* pp = wrapped;
  ERR_clear_error();
  if (!d2i_R3410PublicValue(&key.k, &pp, sizeof wrapped)) {
    ERR_clear_error();
    return usage_error("%s: not a valid public value for parameter set %s", what, set_name(nid));
  }
  return -1;
}

// y in 128 little-endian bytes.
bool public_le(const Key& key, unsigned char y[128]) {
  return BN_bn2lebinpad(key.k->y, y, 128) == 128;
}

int do_keygen(const Args& a) {
  if (a.file || a.key || a.key_file) return usage_error("keygen takes no input");
  if (a.hex || (a.pem && !a.out) || (a.password_file && !a.out))
    return usage_error("keygen: --pem and --password-file go with --out");
  if (!seed_generator()) return EXIT_FAILED;
  Key key;
  const int nid = set_nid(a.paramset ? a.paramset : "A");
  if (!key.k || !R3410_set_params_by_nid(key.k, nid) || !R3410_generate_key(key.k, nullptr, 0))
    return operation_failed(nullptr, "the key pair could not be made");
  unsigned char x[32], y[128];
  if (!R3410_get_private_key(key.k, x, 32) || !public_le(key, y)) {
    mem_cleanse(x, sizeof x);
    return operation_failed();
  }
  if (!a.out) {
    std::string text = "x=" + hex_of(x, 32) + "\ny=" + hex_of(y, 128) + "\nparamset=" + set_name(nid) + "\n";
    mem_cleanse(x, sizeof x);
    const int rc = write_result(nullptr, true, {}, text, false);
    mem_cleanse(text.data(), text.size());
    return rc;
  }
  unsigned char le[32];
  for (int i = 0; i < 32; ++i) le[i] = x[31 - i];
  mem_cleanse(x, sizeof x);
  SecureBuffer info, der;
  const bool built = pkcs8_build(kAlg, params_der(nid), le, info);
  mem_cleanse(le, sizeof le);
  if (!built) return operation_failed();
  const char* label = "PRIVATE KEY";
  if (a.password_file) {
    SecureBuffer pw;
    if (int rc = read_password_file(a.password_file, pw); rc >= 0) return rc;
    if (!pkcs8_encrypt(info.span(), pw.span(), der)) return operation_failed(nullptr, "the key could not be encrypted");
    label = "ENCRYPTED PRIVATE KEY";
  } else {
    der = std::move(info);
  }
  std::string pem = a.pem ? pem_encode(label, der.span()) : std::string();
  const int rc = write_result(a.out, a.pem, der.span(), pem, true);
  mem_cleanse(pem.data(), pem.size());
  return rc;
}

int do_pub(const Args& a) {
  if (a.file) return usage_error("pub takes no input file (the key comes with --key-file)");
  if (a.pem && a.hex) return usage_error("give at most one of --pem and --hex");
  Key key;
  if (int rc = load_private(a, key); rc >= 0) return rc;
  unsigned char y[128];
  if (!public_le(key, y)) return operation_failed();
  der::Writer w, inner;
  inner.octets(std::span<const unsigned char>(y, 128));
  std::vector<unsigned char> bits{0};
  bits.insert(bits.end(), inner.bytes().begin(), inner.bytes().end());
  w.open(der::TAG_SEQUENCE);
  w.open(der::TAG_SEQUENCE);
  w.oid(kAlg);
  w.raw(params_der(R3410_params_nid(key.k)));
  w.close();
  w.tlv(der::TAG_BIT_STRING, bits);
  w.close();
  const bool hex = a.hex || (!a.out && !a.pem);
  const std::string text = a.pem ? pem_encode("PUBLIC KEY", w.bytes()) : hex_of(y, 128) + "\n";
  return write_result(a.out, hex || a.pem, w.bytes(), text, false);
}

int do_sign(const Args& a) {
  if (a.pem) return usage_error("sign: --pem is for keys");
  Key key;
  if (int rc = load_private(a, key); rc >= 0) return rc;
  unsigned char dg[32], sig[64];
  if (int rc = digest_cp(a.file, a.hash_hex, a.openssl_order, dg); rc >= 0) return rc;
  if (!seed_generator()) return EXIT_FAILED;
  unsigned len = 0;
  if (!R3410_sign(R3410_SIG_CRYPTOPRO, key.k, dg, 32, sig, &len) || len != 64) return operation_failed();
  return write_result(a.out, !a.out || a.hex, std::span<const unsigned char>(sig, 64), hex_of(sig, 64) + "\n", false);
}

int do_verify(const Args& a) {
  if (!a.sig == !a.signature) return usage_error("verify: give exactly one of --sig and --signature");
  Key key;
  if (int rc = load_public(a, key); rc >= 0) return rc;
  SecureBuffer text, sig;
  if (a.signature) {
    if (int rc = read_whole_file(a.signature, 4096, text); rc >= 0) return rc;
    if (text.size() == 64) {
      if (!sig.resize(64)) return operation_failed();
      std::memcpy(sig.data(), text.data(), 64);
    } else if (!hex_exact(text.span(), 64, sig)) {
      return usage_error("%s: a signature is 64 bytes or 128 hex digits", a.signature);
    }
  } else if (!hex_exact(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(a.sig), std::strlen(a.sig)), 64, sig)) {
    return usage_error("a signature must be 128 hex digits");
  }
  unsigned char dg[32];
  if (int rc = digest_cp(a.file, a.hash_hex, a.openssl_order, dg); rc >= 0) return rc;
  ERR_clear_error();
  const int v = R3410_verify(R3410_SIG_CRYPTOPRO, key.k, dg, 32, sig.data(), 64);
  ERR_clear_error();
  std::printf(v == 1 ? "valid\n" : "invalid\n");
  return v == 1 ? EXIT_OK : EXIT_FAILED;
}

int run_r3410(int argc, char** argv) {
  Args a;
  Options o("r3410", kHelp);
  o.value("--paramset", &a.paramset).value("--key", &a.key).value("--key-file", &a.key_file);
  o.value("--password-file", &a.password_file).value("--pub", &a.pub).value("--pub-file", &a.pub_file);
  o.value("--sig", &a.sig).value("--signature", &a.signature).value("--out", &a.out);
  o.value("--hash-hex", &a.hash_hex).flag("--pem", &a.pem).flag("--hex", &a.hex);
  o.flag("--openssl-order", &a.openssl_order);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  const auto& pos = o.positional();
  if (pos.empty()) return usage_error("r3410 needs an operation (see jarnel-tool r3410 --help)");
  if (pos.size() > 2) return usage_error("only one input file may be given");
  a.op = pos[0];
  if (pos.size() == 2) a.file = pos[1];
  if (a.paramset && !set_nid(a.paramset)) return usage_error("--paramset must be one of A, B, C, D, XA, XB, XC");
  if (a.openssl_order && !a.hash_hex) return usage_error("--openssl-order goes with --hash-hex");
  const std::string op = a.op;
  if (op == "keygen") return do_keygen(a);
  if (op == "pub") return do_pub(a);
  if (op == "sign") return do_sign(a);
  if (op == "verify") return do_verify(a);
  return usage_error("unknown r3410 operation '%s'", a.op);
}

const Command r3410{"r3410", "GOST R 34.10-94 keys and signatures", run_r3410};

}  // namespace
