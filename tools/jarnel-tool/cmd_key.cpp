// jarnel-tool key: the private key of a key container: generate it, print its public key, sign
// with it, import a GOST R 34.10-2001 key made elsewhere. The key file keeps the private value
// protected under the container's KEK.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/pkey.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/str.h"
#include "key_io.h"
#include "options.h"
#include "output.h"
#include "pin.h"

namespace {

using namespace jarnel;
using namespace jarnel::tool;

const char kHelp[] =
    "usage: jarnel-tool key gen    PSEPATH [--alg ECGOST3410|R3410] [--paramset SET] [--pem]\n"
    "                              [--traditional] [--password-file F]\n"
    "       jarnel-tool key pub    PSEPATH [--pem] [--password-file F]\n"
    "       jarnel-tool key sign   PSEPATH [--out SIG] [--password-file F] [FILE]\n"
    "       jarnel-tool key import PSEPATH KEYFILE [--password-file F]\n"
    "\n"
    "The private key of the key container PSEPATH (made with 'jarnel-tool pse create'), kept as\n"
    "one key file in the container's key folder (keys/00000001.key on a drive or directory),\n"
    "its private value protected under the container's key-encryption key.\n"
    "  gen     a new key pair in the container (refused where a key exists), written as PKCS#8\n"
    "          DER, PEM with --pem, the library's traditional form with --traditional; with\n"
    "          --password-file the file is password-encrypted as well. Prints fingerprint=HEX.\n"
    "          --alg ECGOST3410 (GOST R 34.10-2001, the default) takes --paramset CP-A (the\n"
    "          default), CP-B, CP-C, CP-XA or CP-XB; --alg R3410 (GOST R 34.10-94) takes CP-A\n"
    "          (the default), CP-B, CP-C, CP-D, CP-XA, CP-XB or CP-XC.\n"
    "  pub     the SubjectPublicKeyInfo of the key on standard output: DER, or PEM with --pem\n"
    "          (the form 'openssl pkey -pubout' writes)\n"
    "  sign    hashes FILE (or standard input) with GOST R 34.11-94 (CryptoPro parameters) and\n"
    "          signs with the container's key: 64 bytes s || r, the form 'openssl dgst\n"
    "          -md_gost94 -sign' writes, to SIG or standard output\n"
    "  import  stores a GOST R 34.10-2001 private key made elsewhere (PKCS#8 DER or PEM, plain or\n"
    "          encrypted, as 'openssl genpkey -engine gost -algorithm gost2001' and 'openssl\n"
    "          pkcs8 -topk8' write it) in the container, protected under its KEK (refused where\n"
    "          a key exists). --password-file is the password of KEYFILE.\n"
    "--password-file F: the first line of F is the password of the key file (gen, pub, sign) or\n"
    "of KEYFILE (import). --pin-file F gives a PIN the carrier asks for.\n"
    "On a PKCS#11 token (PSEPATH pkcs11:\\MODULE\\NAME) the key pair is made and kept on the\n"
    "token and signs there; it has no key file, so --pem, --traditional and --password-file\n"
    "(but for import) do not apply; only ECGOST3410 keys go on a token. import stores the key as a\n"
    "pair of token objects.\n"
    "Exit status: 0 success, 1 failure, 2 bad usage or input.\n";

struct Args {
  const char *op = nullptr, *pse = nullptr, *file = nullptr, *alg = nullptr, *paramset = nullptr;
  const char *password_file = nullptr, *out = nullptr;
  bool pem = false, traditional = false;
};

struct ParamSet {
  const char* name;
  int nid;
};
constexpr ParamSet kEcSets[] = {{"CP-A", NID_CP_2001_A}, {"CP-B", NID_CP_2001_B},
                                {"CP-C", NID_CP_2001_C}, {"CP-XA", NID_CP_2001_XCHA},
                                {"CP-XB", NID_CP_2001_XCHB}};
constexpr ParamSet k94Sets[] = {{"CP-A", NID_CP_R3410_94_A},     {"CP-B", NID_CP_R3410_94_B},
                                {"CP-C", NID_CP_R3410_94_C},     {"CP-D", NID_CP_R3410_94_D},
                                {"CP-XA", NID_CP_R3410_94_XCHA}, {"CP-XB", NID_CP_R3410_94_XCHB},
                                {"CP-XC", NID_CP_R3410_94_XCHC}};

template <std::size_t N>
int set_of(const ParamSet (&sets)[N], const char* name) {
  for (const auto& s : sets)
    if (!std::strcmp(s.name, name)) return s.nid;
  return 0;
}

struct PseCtxFree {
  void operator()(PSE_CTX* c) const { PSE_CTX_free(c); }
};
using PseCtxPtr = std::unique_ptr<PSE_CTX, PseCtxFree>;

int password_cb(char* buf, int size, int, void* u) {
  const auto* pw = static_cast<const SecureBuffer*>(u);
  if (static_cast<int>(pw->size()) > size) return -1;
  std::memcpy(buf, pw->data(), pw->size());
  return static_cast<int>(pw->size());
}

// Opens the container and makes a key context bound to it.
int open_key(const Args& a, PseCtxPtr& pse, Owned<PKEY_CTX>& ctx) {
  if (!seed_generator()) return EXIT_FAILED;
  set_pin_prompt_path(a.pse);
  install_pin_callback();
  pse.reset(PSE_CTX_new());
  const bool ok = pse && PSE_CTX_set_path(pse.get(), a.pse, 0) &&
                  PSE_CTX_set_io_flags(pse.get(), TOKEN_FLAG_CALLBACK) &&
                  PSE_CTX_set_login_arg(pse.get(), a.pse, static_cast<int>(std::strlen(a.pse)) + 1);
  if (!ok) return operation_failed(a.pse, nullptr);
  if (!PSE_CTX_read(pse.get())) return operation_failed(a.pse, "no container there, or it cannot be opened");
  ctx.reset(PKEY_CTX_new());
  if (!ctx || !PKEY_CTX_set_pse(ctx.get(), PSE_CTX_get_pse(pse.get()))) return operation_failed(a.pse, nullptr);
  return -1;
}

int key_file_of(const Args& a, char* path) {
  if (!PKEY_key_file_path(a.pse, 1, path)) return usage_error("%s: the container path is too long", a.pse);
  return -1;
}

int refuse_existing_key(const Args& a) {
  char path[CADB_PATH_BUF];
  if (int rc = key_file_of(a, path); rc >= 0) return rc;
  if (CADB_file_exists(path)) return fail(a.pse, "the container already holds a key");
  return -1;
}

// The password of --password-file into the context (as the key file's password).
int set_password(const Args& a, PKEY_CTX* ctx) {
  if (!a.password_file) return -1;
  SecureBuffer pw;
  if (int rc = read_password_file(a.password_file, pw); rc >= 0) return rc;
  if (!PKEY_CTX_set_password(ctx, reinterpret_cast<const char*>(pw.data()), static_cast<int>(pw.size())))
    return operation_failed();
  return -1;
}

int print_fingerprint(const PKEY* key) {
  std::string text = "fingerprint=" + hex_of(key->fingerprint->data, 32) + "\n";
  std::fputs(text.c_str(), stdout);
  return EXIT_OK;
}

int write_key(const Args& a, PKEY_CTX* ctx, int format, int kind) {
  if (!PKEY_CTX_write(ctx, format, kind)) return operation_failed(a.pse, "the key file could not be written");
  return print_fingerprint(PKEY_CTX_get_key(ctx));
}

int read_key(const Args& a, PseCtxPtr& pse, Owned<PKEY_CTX>& ctx) {
  if (ascii_strncasecmp(a.pse, "pkcs11", 6) == 0 && a.password_file)
    return usage_error("a key on a token has no key file: --password-file does not apply");
  if (int rc = open_key(a, pse, ctx); rc >= 0) return rc;
  if (int rc = set_password(a, ctx.get()); rc >= 0) return rc;
  char path[CADB_PATH_BUF];
  if (int rc = key_file_of(a, path); rc >= 0) return rc;
  if (!CADB_file_exists(path)) return fail(a.pse, "the container holds no key");
  if (!PKEY_CTX_read(ctx.get())) {
    const std::string reason = queue_reason();
    if (!a.password_file && reason == "no password callback")
      return fail(a.pse, "the key file is password-encrypted (give --password-file)");
    return operation_failed(a.pse, "the key cannot be read");
  }
  return -1;
}

// A container on a PKCS#11 token: its keys are token objects, not key files.
bool on_token(const Args& a) { return ascii_strncasecmp(a.pse, "pkcs11", 6) == 0; }

int do_gen(const Args& a) {
  if (a.file) return usage_error("gen takes only the container path");
  if (on_token(a) && (a.pem || a.traditional || a.password_file))
    return usage_error("a key on a token has no key file: --pem, --traditional and --password-file do not apply");
  if (on_token(a) && a.alg && std::strcmp(a.alg, "ECGOST3410"))
    return usage_error("a token keeps ECGOST3410 keys only");
  const bool r3410 = a.alg && !std::strcmp(a.alg, "R3410");
  if (a.alg && !r3410 && std::strcmp(a.alg, "ECGOST3410"))
    return usage_error("--alg must be ECGOST3410 or R3410");
  const char* set_name = a.paramset ? a.paramset : "CP-A";
  const int set = r3410 ? set_of(k94Sets, set_name) : set_of(kEcSets, set_name);
  if (!set)
    return usage_error("--paramset %s is not a parameter set of %s", set_name, r3410 ? "R3410" : "ECGOST3410");
  if (a.password_file && a.traditional && !a.pem)
    return usage_error("the traditional DER form cannot be password-encrypted (add --pem)");
  if (int rc = refuse_existing_key(a); rc >= 0) return rc;
  PseCtxPtr pse;
  Owned<PKEY_CTX> ctx;
  if (int rc = open_key(a, pse, ctx); rc >= 0) return rc;
  if (int rc = set_password(a, ctx.get()); rc >= 0) return rc;
  // PEM encryption of the traditional form asks the password from a call-back.
  SecureBuffer pw;
  if (a.password_file && a.traditional) {
    if (int rc = read_password_file(a.password_file, pw); rc >= 0) return rc;
    PKEY_CTX_set_password_callback(ctx.get(), password_cb);
    PKEY_CTX_set_callback_data(ctx.get(), &pw);
  }
  if (!PKEY_CTX_generate(ctx.get(), r3410 ? PKEY_TYPE_R3410_CP : PKEY_TYPE_ECGOST_CP, set))
    return operation_failed(a.pse, "the key pair could not be made");
  return write_key(a, ctx.get(), a.pem ? PKEY_FORMAT_PEM : PKEY_FORMAT_DER,
                   a.traditional ? PKEY_KIND_TRADITIONAL : PKEY_KIND_PKCS8);
}

int do_pub(const Args& a) {
  if (a.file) return usage_error("pub takes only the container path");
  PseCtxPtr pse;
  Owned<PKEY_CTX> ctx;
  if (int rc = read_key(a, pse, ctx); rc >= 0) return rc;
  const PKEY* key = PKEY_CTX_get_key(ctx.get());
  const int n = i2d_PKEY_KEY_PUBKEY(key->key, nullptr);
  std::vector<unsigned char> spki(n > 0 ? static_cast<std::size_t>(n) : 0);
  unsigned char* p = spki.data();
  if (n <= 0 || i2d_PKEY_KEY_PUBKEY(key->key, &p) != n) return operation_failed(a.pse, nullptr);
  return write_result(nullptr, a.pem, spki, a.pem ? pem_encode("PUBLIC KEY", spki) : std::string(), false);
}

int do_sign(const Args& a) {
  PseCtxPtr pse;
  Owned<PKEY_CTX> ctx;
  if (int rc = read_key(a, pse, ctx); rc >= 0) return rc;
  // The digest as GOST R 34.11-94 returns it, most significant byte first, is the number the
  // signature takes; the OpenSSL GOST engine reads its digest bytes least significant first,
  // which is the same number.
  unsigned char dg[32];
  if (int rc = digest_cp(a.file, nullptr, false, dg); rc >= 0) return rc;
  PKEY* key = PKEY_CTX_get_key(ctx.get());
  const int form = key->key->r3410 ? R3410_SIG_CRYPTOPRO : ECGOST_SIG_CP;
  unsigned char sig[128];
  unsigned len = sizeof sig;
  if (!PKEY_KEY_sign(key->key, form, dg, 32, sig, &len) || len != 64)
    return operation_failed(a.pse, "the signature could not be made");
  return write_result(a.out, false, std::span<const unsigned char>(sig, 64), std::string(), false);
}

int do_import(const Args& a) {
  if (!a.file) return usage_error("import needs PSEPATH and KEYFILE");
  if (a.pem || a.traditional || a.alg || a.paramset) return usage_error("import stores the key as it is");
  SecureBuffer text, pw;
  if (int rc = read_whole_file(a.file, 65536, text); rc >= 0) return rc;
  if (a.password_file) {
    if (int rc = read_password_file(a.password_file, pw); rc >= 0) return rc;
  }
  if (int rc = refuse_existing_key(a); rc >= 0) return rc;
  PseCtxPtr pse;
  Owned<PKEY_CTX> ctx;
  if (int rc = open_key(a, pse, ctx); rc >= 0) return rc;
  // Read without the container: a key made elsewhere holds its private value in clear.
  Owned<PKEY> key(PKEY_read_buffer(text.data(), static_cast<int>(text.size()), nullptr,
                                   a.password_file ? password_cb : nullptr, &pw));
  if (!key) {
    const std::string reason = queue_reason();
    if (!a.password_file && reason == "no password callback")
      return usage_error("%s is encrypted: give --password-file", a.file);
    return operation_failed(a.file, "not a private key this tool reads");
  }
  if (key->type != PKEY_TYPE_ECGOST_CP) {
    ERR_clear_error();
    return usage_error("%s: not a GOST R 34.10-2001 key", a.file);
  }
  if (!PKEY_CTX_set_key(ctx.get(), key.get())) return operation_failed();
  return write_key(a, ctx.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8);
}

int run_key(int argc, char** argv) {
  Args a;
  PinSource& pin = pin_source();
  Options o("key", kHelp);
  o.value("--alg", &a.alg).value("--paramset", &a.paramset).value("--password-file", &a.password_file);
  o.value("--out", &a.out).value("--pin-file", &pin.pin_file).flag("--pem", &a.pem);
  o.flag("--traditional", &a.traditional);
  if (int rc = o.parse(argc, argv); rc >= 0) return rc;
  const auto& pos = o.positional();
  if (pos.empty()) return usage_error("key needs an operation (see jarnel-tool key --help)");
  a.op = pos[0];
  if (pos.size() < 2) return usage_error("%s needs the container path", a.op);
  if (pos.size() > 3) return usage_error("too many arguments");
  a.pse = pos[1];
  if (pos.size() == 3) a.file = pos[2];
  const std::string op = a.op;
  if (op != "gen" && (a.alg || a.paramset || a.traditional)) return usage_error("--alg, --paramset and --traditional go with gen");
  if (op == "sign" && a.pem) return usage_error("sign: --pem is for keys");
  if (op != "sign" && a.out) return usage_error("--out goes with sign");
  if (op == "gen") return do_gen(a);
  if (op == "pub") return do_pub(a);
  if (op == "sign") return do_sign(a);
  if (op == "import") return do_import(a);
  return usage_error("unknown key operation '%s'", a.op);
}

const Command key{"key", "private keys in containers (gen, pub, sign, import)", run_key};

}  // namespace
