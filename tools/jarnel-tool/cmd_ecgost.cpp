// jarnel-tool ecgost: GOST R 34.10-2001 keys, signatures and VKO in the forms OpenSSL's GOST
// engine reads and writes (PKCS#8 private keys, SubjectPublicKeyInfo public keys, s || r
// signatures), for interop checks and scripts. The key store never keeps keys that way.
#include <openssl/bn.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "crypto/cadb/pkey_local.h"
#include "crypto/ecgost/ec_asn1.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"
#include "crypto/rus/gosth.h"
#include "gost_args.h"
#include "key_io.h"
#include "options.h"
#include "output.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char kHelp[] =
    "usage: jarnel-tool ecgost keygen [--paramset P] [--out FILE [--pem] [--password-file F]]\n"
    "       jarnel-tool ecgost pub    KEY [--out FILE] [--pem | --hex]\n"
    "       jarnel-tool ecgost sign   KEY [--out FILE] [--hex] [FILE | --hash-hex HEX]\n"
    "       jarnel-tool ecgost verify PUBLIC (--sig HEX | --signature FILE) [FILE | --hash-hex HEX]\n"
    "       jarnel-tool ecgost vko    KEY (--peer HEX | --peer-file FILE) --ukm HEX\n"
    "\n"
    "GOST R 34.10-2001 on the CryptoPro parameter sets A, B, C, XA and XB.\n"
    "  keygen  a new key pair. With --out: the private key as PKCS#8 (DER, or PEM with --pem;\n"
    "          encrypted with --password-file: PBES2, AES-256-CBC, PBKDF2-HMAC-SHA256), the form\n"
    "          'openssl genpkey -engine gost -algorithm gost2001' writes; the file is readable by\n"
    "          its owner only. Without --out: 'd=', 'Q=' and 'paramset=' lines on standard\n"
    "          output, which --key-file and --pub-file read back.\n"
    "          --paramset defaults to A.\n"
    "  pub     the public key of a private key: SubjectPublicKeyInfo DER with --out (as\n"
    "          'openssl pkey -pubout -outform DER'), PEM with --pem, the point as hex with --hex\n"
    "          (the default on standard output)\n"
    "  sign    hashes FILE (or standard input) with GOST R 34.11-94 (CryptoPro parameters) and\n"
    "          signs: 64 bytes s || r, the layout of 'openssl dgst -md_gost94 -sign'. Binary with\n"
    "          --out, hex on standard output (or in the file with --hex).\n"
    "  verify  prints 'valid' (exit 0) or 'invalid' (exit 1)\n"
    "  vko     the 32-byte key-encryption key of RFC 4357 for the peer's public key and the\n"
    "          8-byte UKM (16 hex digits, the transport bytes)\n"
    "\n"
    "KEY (a private key): --key-file FILE holding PKCS#8 (DER or PEM, plain or encrypted: give\n"
    "  --password-file), the library's 'ECGOST PRIVATE KEY', the 'd=' line keygen prints or 64\n"
    "  hex digits (d, most significant first); or --key HEX. PKCS#8 carries the parameter set;\n"
    "  with hex --paramset is needed. The private value inside PKCS#8 may be the engine's 32\n"
    "  little-endian bytes, an OCTET STRING of them, an INTEGER or the masked form.\n"
    "PUBLIC: --pub-file FILE holding SubjectPublicKeyInfo (DER or PEM), or --pub HEX / a file of\n"
    "  128 hex digits: the point, X then Y, each least significant byte first (with --paramset).\n"
    "Signatures: --signature FILE (64 bytes, or 128 hex digits) or --sig HEX.\n"
    "--hash-hex HEX signs or verifies a digest computed elsewhere: 32 bytes as\n"
    "  'jarnel-tool digest --alg rus-hash-cp' prints them, or as 'openssl dgst -md_gost94'\n"
    "  prints them with --openssl-order.\n"
    "This is for tests and interoperability: the key store never keeps private keys that way.\n"
    "Without a random board the GOST generator is keyed from the system's entropy source.\n"
    "Exit status: 0 success, 1 failure or an invalid signature, 2 bad usage or malformed input.\n";

struct Args {
  const char *op = nullptr, *paramset = nullptr, *key = nullptr, *key_file = nullptr, *password_file = nullptr;
  const char *pub = nullptr, *pub_file = nullptr, *sig = nullptr, *signature = nullptr, *peer = nullptr;
  const char *peer_file = nullptr, *ukm = nullptr, *out = nullptr, *hash_hex = nullptr, *file = nullptr;
  bool pem = false, hex = false, openssl_order = false;
};

struct ParamSet {
  const char* name;
  int nid;
};
constexpr ParamSet kParamSets[] = {{"A", NID_CP_2001_A},     {"B", NID_CP_2001_B},
                                   {"C", NID_CP_2001_C},     {"XA", NID_CP_2001_XCHA},
                                   {"XB", NID_CP_2001_XCHB}};

int paramset_nid(const char* s) {
  for (const auto& p : kParamSets)
    if (!std::strcmp(s, p.name)) return p.nid;
  return 0;
}

struct KeyHolder {
  ECGOST* key = nullptr;
  KeyHolder() = default;
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;
  ~KeyHolder() { ECGOST_free(key); }
};

ECGOST* new_key(int nid) {
  ECURVE* c = ECURVE_by_number(ECURVE_number_by_paramset(nid));
  ECGOST* k = c ? ECGOST_new(c) : nullptr;
  ECURVE_free(c);
  if (k) ECGOST_set_paramsets(k, nid, NID_CP_R3411_94_PARAMSET, 0);
  return k;
}

int key_paramset(const ECGOST* key) {
  int pub = 0, dg = 0, ci = 0;
  ECGOST_get_paramsets(key, &pub, &dg, &ci);
  return pub;
}

// The key's parameter set against --paramset: a file that carries one decides, a different
// --paramset is a usage error.
int check_paramset(const Args& a, const ECGOST* key, const char* what) {
  if (!a.paramset) return -1;
  if (paramset_nid(a.paramset) != key_paramset(key))
    return usage_error("%s: the key is not on parameter set %s (leave --paramset out)", what, a.paramset);
  return -1;
}

// The key for a hex value: the "paramset=" line keygen prints with it, else --paramset.
int key_for_hex(const Args& a, std::span<const unsigned char> text, const char* what, KeyHolder& k) {
  const char* set = a.paramset;
  std::string line(reinterpret_cast<const char*>(text.data()), text.size());
  const std::size_t at = line.find("paramset=");
  if (at != std::string::npos && (at == 0 || line[at - 1] == '\n')) {
    std::string name = line.substr(at + 9);
    name = name.substr(0, name.find_first_of("\r\n"));
    if (!paramset_nid(name.c_str())) return usage_error("%s: unknown parameter set '%s'", what, name.c_str());
    if (set && name != set) return usage_error("%s: the key is not on parameter set %s (leave --paramset out)", what, set);
    k.key = new_key(paramset_nid(name.c_str()));
    return k.key ? -1 : operation_failed();
  }
  if (!set) return usage_error("%s is bare hex: --paramset is needed", what);
  k.key = new_key(paramset_nid(set));
  return k.key ? -1 : operation_failed();
}

// Sets d (big-endian) on a key with a curve and derives Q; a usage error when out of range.
int set_private_be(ECGOST* key, const unsigned char* d, std::size_t n, const char* what) {
  BIGNUM* bn = BN_secure_new();
  bool ok = bn && BN_bin2bn(d, static_cast<int>(n), bn);
  ERR_clear_error();
  ok = ok && ECGOST_set_private(key, bn) && ECGOST_generate_pubkey(key);
  BN_clear_free(bn);
  if (!ok) {
    ERR_clear_error();
    return usage_error("%s: the private key is not in the range 1..q-1", what);
  }
  return -1;
}

// The private value of a PKCS#8 GOST key, in any of the forms the engine reads (the key store's
// reader), big-endian.
bool pkcs8_private_value(const ECGOST* key, const SecureBuffer& v, SecureBuffer& d_be) {
  BnPtr d;
  return pkey::ec_plain_value(key, v.span(), d) && d_be.resize(32) &&
         BN_bn2binpad(d.get(), d_be.data(), 32) == 32;
}

// A PrivateKeyInfo of GOST R 34.10-2001 into k.
int key_from_pkcs8(const Args& a, std::span<const unsigned char> der, const char* what, KeyHolder& k) {
  Pkcs8 p8;
  if (!pkcs8_parse(der, p8)) return usage_error("%s: not a PKCS#8 private key", what);
  if (obj::nid_of(std::span<const std::uint32_t>(p8.alg)) != NID_ECR3410_CP)
    return usage_error("%s: not a GOST R 34.10-2001 key (use r3410 for GOST R 34.10-94)", what);
  const unsigned char* pp = p8.params.data();
  ERR_clear_error();
  if (p8.params.empty() || !d2i_ECGOSTPARAMS(&k.key, &pp, static_cast<long>(p8.params.size()))) {
    ERR_clear_error();
    return usage_error("%s: unknown or missing parameter set in the PKCS#8 key", what);
  }
  SecureBuffer d;
  if (!pkcs8_private_value(k.key, p8.key, d)) return usage_error("%s: the private value has an unknown form", what);
  if (int rc = set_private_be(k.key, d.data(), d.size(), what); rc >= 0) return rc;
  return check_paramset(a, k.key, what);
}

int decrypt_pkcs8(const Args& a, std::span<const unsigned char> der, const char* what, SecureBuffer& plain) {
  if (!a.password_file) return usage_error("%s is encrypted: give --password-file", what);
  SecureBuffer pw;
  if (int rc = read_password_file(a.password_file, pw); rc >= 0) return rc;
  if (!pkcs8_decrypt(der, pw.span(), plain)) {
    ERR_clear_error();
    return fail(what, "cannot be decrypted: wrong password or unknown encryption");
  }
  return -1;
}

// Reads the private key from --key or --key-file, in any of the accepted forms.
int load_private(const Args& a, KeyHolder& k) {
  if (!a.key == !a.key_file) return usage_error("give exactly one of --key and --key-file");
  const char* what = a.key_file ? a.key_file : "--key";
  SecureBuffer text;
  if (a.key_file) {
    if (int rc = read_whole_file(a.key_file, 65536, text); rc >= 0) return rc;
  } else {
    const std::size_t n = std::strlen(a.key);
    if (!text.resize(n)) return operation_failed();
    std::memcpy(text.data(), a.key, n);
  }
  std::string label;
  SecureBuffer der;
  if (pem_decode(text.span(), label, der)) {
    if (label == "PRIVATE KEY") return key_from_pkcs8(a, der.span(), what, k);
    if (label == "ENCRYPTED PRIVATE KEY") {
      SecureBuffer plain;
      if (int rc = decrypt_pkcs8(a, der.span(), what, plain); rc >= 0) return rc;
      return key_from_pkcs8(a, plain.span(), what, k);
    }
    if (label == "ECGOST PRIVATE KEY") {
      ERR_clear_error();
      k.key = ECGOST_private_key_from_pem(reinterpret_cast<const char*>(text.data()), text.size());
      if (!k.key || !ECGOST_generate_pubkey(k.key)) {
        ERR_clear_error();
        return usage_error("%s: not a valid ECGOST PRIVATE KEY", what);
      }
      return check_paramset(a, k.key, what);
    }
    return usage_error("%s: a PEM '%s', not a private key", what, label.c_str());
  }
  SecureBuffer d;
  if (hex_line(text.span(), "d", 32, d) || hex_exact(text.span(), 32, d)) {
    if (int rc = key_for_hex(a, text.span(), what, k); rc >= 0) return rc;
    return set_private_be(k.key, d.data(), d.size(), what);
  }
  if (text.size() > 0 && text.data()[0] == der::TAG_SEQUENCE) {
    if (is_encrypted_pkcs8(text.span())) {
      SecureBuffer plain;
      if (int rc = decrypt_pkcs8(a, text.span(), what, plain); rc >= 0) return rc;
      return key_from_pkcs8(a, plain.span(), what, k);
    }
    Pkcs8 probe;
    if (pkcs8_parse(text.span(), probe)) return key_from_pkcs8(a, text.span(), what, k);
    const unsigned char* pp = text.data();
    ERR_clear_error();
    k.key = d2i_ECGOSTPRIVATEKEY(nullptr, &pp, static_cast<long>(text.size()));
    if (k.key && ECGOST_generate_pubkey(k.key)) return check_paramset(a, k.key, what);
    ERR_clear_error();
    return usage_error("%s: DER that is not a private key", what);
  }
  return usage_error("%s: not a private key (PKCS#8, or 64 hex digits)", what);
}

// A public key from HEX or a file: SubjectPublicKeyInfo (DER or PEM), or the point in hex.
int load_public(const Args& a, const char* hex, const char* file, KeyHolder& k) {
  const char* what = file ? file : "the public key";
  SecureBuffer text;
  if (file) {
    if (int rc = read_whole_file(file, 65536, text); rc >= 0) return rc;
  } else {
    const std::size_t n = std::strlen(hex);
    if (!text.resize(n)) return operation_failed();
    std::memcpy(text.data(), hex, n);
  }
  std::string label;
  SecureBuffer der;
  std::span<const unsigned char> spki;
  if (pem_decode(text.span(), label, der)) {
    if (label != "PUBLIC KEY") return usage_error("%s: a PEM '%s', not a PUBLIC KEY", what, label.c_str());
    spki = der.span();
  } else if (text.size() > 0 && text.data()[0] == der::TAG_SEQUENCE && !hex_line(text.span(), "Q", 64, der) &&
             !hex_exact(text.span(), 64, der)) {
    spki = text.span();
  }
  if (!spki.empty()) {
    const unsigned char* pp = spki.data();
    ERR_clear_error();
    k.key = d2i_ECGOST_PUBKEY(nullptr, &pp, static_cast<long>(spki.size()));
    if (!k.key || !ECGOST_is_pubkey_valid(ECGOST_get_public(k.key), 1)) {
      ERR_clear_error();
      return usage_error("%s: not a GOST R 34.10-2001 public key, or not a point of its curve", what);
    }
    return check_paramset(a, k.key, what);
  }
  SecureBuffer q;
  if (!hex_line(text.span(), "Q", 64, q) && !hex_exact(text.span(), 64, q) &&
      !(text.size() == 64 && q.resize(64) && (std::memcpy(q.data(), text.data(), 64), true)))
    return usage_error("%s: a public key must be SubjectPublicKeyInfo or 128 hex digits", what);
  if (int rc = key_for_hex(a, text.span(), what, k); rc >= 0) return rc;
  ECPOINT* p = ECPOINT_new(ECGOST_get_curve(k.key));
  ERR_clear_error();
  const bool ok = p && ECPOINT_le2point(p, q.data(), 64) && ECGOST_is_pubkey_valid(p, 1) && ECGOST_set_public(k.key, p);
  ECPOINT_free(p);
  if (!ok) {
    ERR_clear_error();
    return usage_error("%s: the public key is not a point of the curve", what);
  }
  return -1;
}

int message_digest(const Args& a, unsigned char out[32]) {
  return digest_cp(a.file, a.hash_hex, a.openssl_order, out);
}

int write_result(const Args& a, std::span<const unsigned char> bin, const std::string& text, bool secret = false) {
  return tool::write_result(a.out, !a.out || a.hex || a.pem, bin, text, secret);
}

int do_keygen(const Args& a) {
  if (a.file || a.key || a.key_file) return usage_error("keygen takes no input");
  if (a.hex) return usage_error("keygen: --hex is its form without --out");
  if (a.pem && !a.out) return usage_error("keygen: --pem goes with --out");
  if (a.password_file && !a.out) return usage_error("keygen: --password-file goes with --out");
  if (!seed_generator()) return EXIT_FAILED;
  KeyHolder k;
  k.key = new_key(paramset_nid(a.paramset ? a.paramset : "A"));
  if (!k.key || !ECGOST_key_pair_generation(k.key)) return operation_failed(nullptr, "the key pair could not be made");
  BIGNUM* d = BN_secure_new();
  unsigned char db[32], q[64];
  const bool ok = d && ECGOST_get_private(k.key, d) && BN_bn2binpad(d, db, 32) == 32 &&
                  ECPOINT_point2le(ECGOST_get_public(k.key), q, sizeof q) == 64;
  BN_clear_free(d);
  if (!ok) {
    mem_cleanse(db, sizeof db);
    return operation_failed();
  }
  if (!a.out) {
    const std::string text = "d=" + hex_of(db, 32) + "\nQ=" + hex_of(q, 64) + "\nparamset=" +
                             (a.paramset ? a.paramset : "A") + "\n";
    mem_cleanse(db, sizeof db);
    const int rc = write_result(a, {}, text);
    mem_cleanse(const_cast<char*>(text.data()), text.size());
    return rc;
  }
  // PKCS#8 as the engine writes it: the private value as 32 little-endian bytes.
  unsigned char le[32];
  for (int i = 0; i < 32; ++i) le[i] = db[31 - i];
  mem_cleanse(db, sizeof db);
  std::span<const std::uint32_t> alg;
  ec::oid_of(NID_ECR3410_CP, alg);
  unsigned char* params = nullptr;
  const int plen = i2d_ECGOSTPARAMS(k.key, nullptr);
  std::vector<unsigned char> pbuf(plen > 0 ? static_cast<std::size_t>(plen) : 0);
  params = pbuf.data();
  SecureBuffer info;
  const bool built = plen > 0 && i2d_ECGOSTPARAMS(k.key, &params) == plen && pkcs8_build(alg, pbuf, le, info);
  mem_cleanse(le, sizeof le);
  if (!built) return operation_failed();
  SecureBuffer der;
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
  const int rc = write_result(a, der.span(), pem, true);
  mem_cleanse(pem.data(), pem.size());
  return rc;
}

int do_pub(const Args& a) {
  if (a.file) return usage_error("pub takes no input file (the key comes with --key-file)");
  if (a.pem && a.hex) return usage_error("give at most one of --pem and --hex");
  KeyHolder k;
  if (int rc = load_private(a, k); rc >= 0) return rc;
  unsigned char q[64];
  if (ECPOINT_point2le(ECGOST_get_public(k.key), q, sizeof q) != 64) return operation_failed();
  const int n = i2d_ECGOST_PUBKEY(k.key, nullptr);
  std::vector<unsigned char> spki(n > 0 ? static_cast<std::size_t>(n) : 0);
  unsigned char* p = spki.data();
  if (n <= 0 || i2d_ECGOST_PUBKEY(k.key, &p) != n) return operation_failed();
  Args b = a;
  if (!a.out && !a.pem) b.hex = true;
  const std::string text = b.pem ? pem_encode("PUBLIC KEY", spki) : hex_of(q, 64) + "\n";
  return write_result(b, spki, text);
}

int do_sign(const Args& a) {
  if (a.pem) return usage_error("sign: --pem is for keys");
  KeyHolder k;
  if (int rc = load_private(a, k); rc >= 0) return rc;
  unsigned char dg[32], sig[64];
  if (int rc = message_digest(a, dg); rc >= 0) return rc;
  if (!seed_generator()) return EXIT_FAILED;
  unsigned len = 0;
  if (!ECGOST_sign(ECGOST_SIG_CP, dg, 32, sig, &len, k.key) || len != 64) return operation_failed();
  return write_result(a, std::span<const unsigned char>(sig, 64), hex_of(sig, 64) + "\n");
}

int do_verify(const Args& a) {
  if (!a.pub == !a.pub_file) return usage_error("verify: give exactly one of --pub and --pub-file");
  if (!a.sig == !a.signature) return usage_error("verify: give exactly one of --sig and --signature");
  KeyHolder k;
  if (int rc = load_public(a, a.pub, a.pub_file, k); rc >= 0) return rc;
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
  if (int rc = message_digest(a, dg); rc >= 0) return rc;
  ERR_clear_error();
  const int v = ECGOST_verify(ECGOST_SIG_CP, dg, 32, sig.data(), 64, k.key);
  ERR_clear_error();
  std::printf(v == 1 ? "valid\n" : "invalid\n");
  return v == 1 ? EXIT_OK : EXIT_FAILED;
}

int do_vko(const Args& a) {
  if (a.file) return usage_error("vko takes no input file");
  if (!a.peer == !a.peer_file) return usage_error("vko: give exactly one of --peer and --peer-file");
  if (!a.ukm) return usage_error("vko needs --ukm");
  KeyHolder k, peer;
  if (int rc = load_private(a, k); rc >= 0) return rc;
  Args pa = a;
  pa.paramset = nullptr;
  int nid = key_paramset(k.key);
  for (const auto& p : kParamSets)
    if (p.nid == nid) pa.paramset = p.name;
  if (int rc = load_public(pa, a.peer, a.peer_file, peer); rc >= 0) return rc;
  SecureBuffer ukm;
  if (!hex_exact(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(a.ukm), std::strlen(a.ukm)), 8, ukm))
    return usage_error("the UKM must be 16 hex digits");
  if (std::all_of(ukm.data(), ukm.data() + 8, [](unsigned char b) { return b == 0; }))
    return usage_error("the UKM must not be zero");
  unsigned char kek[32];
  if (!ECGOST_vko_kek(k.key, ECGOST_get_public(peer.key), ukm.data(), kek)) return operation_failed();
  const std::string text = hex_of(kek, 32) + "\n";
  const int rc = write_result(a, std::span<const unsigned char>(kek, 32), text, true);
  mem_cleanse(kek, sizeof kek);
  mem_cleanse(const_cast<char*>(text.data()), text.size());
  return rc;
}

int run_ecgost(int argc, char** argv) {
  Args a;
  Options o("ecgost", kHelp);
  o.value("--paramset", &a.paramset).value("--key", &a.key).value("--key-file", &a.key_file);
  o.value("--password-file", &a.password_file).value("--pub", &a.pub).value("--pub-file", &a.pub_file);
  o.value("--sig", &a.sig).value("--signature", &a.signature).value("--peer", &a.peer);
  o.value("--peer-file", &a.peer_file).value("--ukm", &a.ukm).value("--out", &a.out);
  o.value("--hash-hex", &a.hash_hex).flag("--pem", &a.pem).flag("--hex", &a.hex);
  o.flag("--openssl-order", &a.openssl_order);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  const auto& pos = o.positional();
  if (pos.empty()) return usage_error("ecgost needs an operation (see jarnel-tool ecgost --help)");
  a.op = pos[0];
  if (pos.size() > 2) return usage_error("only one input file may be given");
  if (pos.size() == 2) a.file = pos[1];
  if (a.paramset && !paramset_nid(a.paramset)) return usage_error("--paramset must be one of A, B, C, XA, XB");
  if (a.openssl_order && !a.hash_hex) return usage_error("--openssl-order goes with --hash-hex");
  const std::string op = a.op;
  if (op == "keygen") return do_keygen(a);
  if (op == "pub") return do_pub(a);
  if (op == "sign") return do_sign(a);
  if (op == "verify") return do_verify(a);
  if (op == "vko") return do_vko(a);
  return usage_error("unknown ecgost operation '%s'", a.op);
}

const Command ecgost{"ecgost", "GOST R 34.10-2001 keys, signatures and VKO", run_ecgost};

}  // namespace
