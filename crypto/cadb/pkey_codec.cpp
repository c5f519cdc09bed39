// Key file encodings: PKCS#8 (plain and PBES2-encrypted), the traditional form of each type,
// PEM with and without PEM encryption; PKEY_read_buffer and PKEY_write_buffer.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "crypto/bytestring/der.h"
#include "crypto/cadb/pkey.h"
#include "crypto/cadb/pkey_local.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost_provider.h"
#include "crypto/rus/gosth.h"

namespace jarnel {
namespace {

using Bytes = std::span<const unsigned char>;

// ---- ciphers and pseudo-random functions of password-based encryption ----------------------

struct CipherDesc {
  int nid;
  const char* name;  // fetch name, and the DEK-Info name of PEM encryption
  int iv_len;
};
constexpr CipherDesc kCiphers[] = {
    {NID_DES_EDE3_CBC, "DES-EDE3-CBC", 8}, {NID_RUS_GAMMAR, "RUS-GAMMAR", 8},
    {NID_AES_128_CBC, "AES-128-CBC", 16},  {NID_AES_192_CBC, "AES-192-CBC", 16},
    {NID_AES_256_CBC, "AES-256-CBC", 16},  {NID_CP_28147, "RUS-GAMMAR-CP", 8}};

const CipherDesc* cipher_by_nid(int nid) {
  for (const auto& c : kCiphers)
    if (c.nid == nid) return &c;
  return nullptr;
}

const CipherDesc* cipher_by_name(const char* name, std::size_t len) {
  for (const auto& c : kCiphers)
    if (std::strlen(c.name) == len && !std::strncmp(c.name, name, len)) return &c;
  return nullptr;
}

struct PrfDesc {
  int nid;
  const char* digest;
};
// "RUS-HASH" is the provider's digest (the library's byte order, as the container's protected
// buffers use it); "RUS-HASH-CP" names the CryptoPro HMAC computed below. The GOST R 34.11-2012
// digests come from the provider too: OpenSSL's HMAC over their 64-byte block is the HMAC of
// RFC 7836 (the OpenSSL GOST engine's default PRF for "pkcs8 -v2 gost89").
constexpr PrfDesc kPrfs[] = {{NID_HMAC_SHA1, "SHA1"},
                             {NID_HMAC_SHA256, "SHA256"},
                             {NID_HMAC_SHA512, "SHA512"},
                             {NID_HMAC_R3411, "RUS-HASH"},
                             {NID_CP_HMAC_R3411, "RUS-HASH-CP"},
                             {NID_HMAC_STREEBOG_256, "STREEBOG-256"},
                             {NID_HMAC_STREEBOG_512, "STREEBOG-512"}};

const char* prf_digest(int nid) {
  for (const auto& p : kPrfs)
    if (p.nid == nid) return p.digest;
  return nullptr;
}

bool is_gost(int type) {
  return type == PKEY_TYPE_R3410 || type == PKEY_TYPE_ECGOST || type == PKEY_TYPE_ECGOST_CP ||
         type == PKEY_TYPE_R3410_CP;
}

// Runs a cipher over in. params: the algorithm parameters in DER for ciphers that take them
// whole (RUS-GAMMAR-CP), else iv.
bool run_cipher(const CipherDesc& c, Bytes key, const unsigned char* iv, Bytes params, Bytes in,
                int enc, SecureBuffer& out) {
  if (!GOST_register_algorithms()) return false;
  Owned<EVP_CIPHER> cipher(EVP_CIPHER_fetch(GOST_libctx(), c.name, nullptr));
  Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx || static_cast<std::size_t>(EVP_CIPHER_get_key_length(cipher.get())) != key.size())
    return false;
  OSSL_PARAM p[2] = {OSSL_PARAM_END, OSSL_PARAM_END};
  if (c.nid == NID_CP_28147) {
    p[0] = OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_ALGORITHM_ID_PARAMS,
                                             const_cast<unsigned char*>(params.data()),
                                             params.size());
    iv = nullptr;
  }
  SecureBuffer buf(in.size() + 32);
  int n1 = 0, n2 = 0;
  if (buf.empty() ||
      EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), iv, enc, p) != 1 ||
      EVP_CipherUpdate(ctx.get(), buf.data(), &n1, in.data(), static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), buf.data() + n1, &n2) != 1)
    return false;
  if (!out.resize(static_cast<std::size_t>(n1 + n2))) return false;
  std::memcpy(out.data(), buf.data(), out.size());
  return true;
}

struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};

// GOST R 34.11-94 with the CryptoPro parameters over a || b, the 32 bytes in the order the hash
// function produces them (the library returns them reversed), as RFC 4357's HMAC takes them.
bool hash_cp(Bytes a, Bytes b, unsigned char out[32]) {
  Owned<GOSTH_CTX> h(GOSTH_new());
  unsigned char d[32];
  const bool ok = h && GOSTH_init_cp(h.get(), nullptr, GOSTE_cp_hash_sbox()) &&
                  (a.empty() || GOSTH_update(h.get(), a.data(), static_cast<int>(a.size())) == static_cast<int>(a.size())) &&
                  (b.empty() || GOSTH_update(h.get(), b.data(), static_cast<int>(b.size())) == static_cast<int>(b.size())) &&
                  GOSTH_final(h.get(), d) == 32;
  for (int i = 0; i < 32; ++i) out[i] = d[31 - i];
  mem_cleanse(d, sizeof d);
  return ok;
}

// HMAC of RFC 2104 (block 32 bytes) over hash_cp: the CryptoPro PRF (1.2.643.2.2.10).
bool hmac_cp(Bytes key, Bytes msg, unsigned char out[32]) {
  unsigned char k[32] = {}, pad[32], inner[32];
  bool ok = true;
  if (key.size() > 32) ok = hash_cp(key, {}, k);
  else if (!key.empty()) std::memcpy(k, key.data(), key.size());
  for (int i = 0; i < 32; ++i) pad[i] = k[i] ^ 0x36;
  ok = ok && hash_cp(Bytes(pad, 32), msg, inner);
  for (int i = 0; i < 32; ++i) pad[i] = k[i] ^ 0x5C;
  ok = ok && hash_cp(Bytes(pad, 32), Bytes(inner, 32), out);
  mem_cleanse(k, sizeof k);
  mem_cleanse(pad, sizeof pad);
  mem_cleanse(inner, sizeof inner);
  return ok;
}

// The most PBKDF2 iterations a key file may ask for: generous (OpenSSL writes 2048), yet a file
// cannot make its reader spin for hours. Fuzzing builds take fewer, so that a run explores the
// parsers rather than the hash.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr unsigned kMaxIterations = 4096;
#else
constexpr unsigned kMaxIterations = 10000000;
#endif

// PBKDF2 (RFC 8018) over hmac_cp.
bool pbkdf2_cp(Bytes password, Bytes salt, unsigned iterations, unsigned char* key, std::size_t keylen) {
  SecureBuffer block(salt.size() + 4);
  if (block.empty() && !salt.empty()) return false;
  if (!salt.empty()) std::memcpy(block.data(), salt.data(), salt.size());
  unsigned char u[32], t[32];
  bool ok = true;
  for (std::uint32_t i = 1; ok && keylen > 0; ++i) {
    unsigned char* c = block.data() + salt.size();
    c[0] = static_cast<unsigned char>(i >> 24);
    c[1] = static_cast<unsigned char>(i >> 16);
    c[2] = static_cast<unsigned char>(i >> 8);
    c[3] = static_cast<unsigned char>(i);
    ok = hmac_cp(password, block.span(), u);
    std::memcpy(t, u, 32);
    for (unsigned j = 1; ok && j < iterations; ++j) {
      ok = hmac_cp(password, Bytes(u, 32), u);
      for (int b = 0; b < 32; ++b) t[b] ^= u[b];
    }
    const std::size_t n = keylen < 32 ? keylen : 32;
    std::memcpy(key, t, n);
    key += n;
    keylen -= n;
  }
  mem_cleanse(u, sizeof u);
  mem_cleanse(t, sizeof t);
  return ok;
}

bool pbkdf2(const char* digest, Bytes password, Bytes salt, unsigned iterations,
            unsigned char* key, std::size_t keylen) {
  if (!std::strcmp(digest, "RUS-HASH-CP")) return pbkdf2_cp(password, salt, iterations, key, keylen);
  if (!GOST_register_algorithms()) return false;
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx;
  {
    EVP_KDF* kdf = EVP_KDF_fetch(GOST_libctx(), "PBKDF2", nullptr);
    if (!kdf) return false;
    ctx.reset(EVP_KDF_CTX_new(kdf));
    EVP_KDF_free(kdf);
  }
  if (!ctx) return false;
  static unsigned char none = 0;
  int iter = static_cast<int>(iterations);
  int no_checks = 0;  // short salts and passwords of older files are accepted
  OSSL_PARAM params[] = {
      OSSL_PARAM_octet_string(OSSL_KDF_PARAM_PASSWORD,
                              password.empty() ? &none : const_cast<unsigned char*>(password.data()),
                              password.size()),
      OSSL_PARAM_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt.data()),
                              salt.size()),
      OSSL_PARAM_int(OSSL_KDF_PARAM_ITER, &iter),
      OSSL_PARAM_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest), 0),
      OSSL_PARAM_int(OSSL_KDF_PARAM_PKCS5, &no_checks), OSSL_PARAM_END};
  no_checks = 1;
  return EVP_KDF_derive(ctx.get(), key, keylen, params) == 1;
}

}  // namespace

// ---- PBES2 ----------------------------------------------------------------------------------

namespace pkey {

bool pbes2_encrypt(Bytes info, Bytes password, int cipher_nid, int prf_nid, unsigned iterations,
                   SecureBuffer& out) {
  const CipherDesc* c = cipher_by_nid(cipher_nid);
  const char* digest = prf_digest(prf_nid);
  if (!c || c->nid == NID_CP_28147 || !digest) return false;
  unsigned char salt[8], iv[16];
  if (RAND_bytes(salt, sizeof salt) != static_cast<int>(sizeof salt) ||
      RAND_bytes(iv, c->iv_len) != c->iv_len)
    return false;
  Owned<EVP_CIPHER> cipher(EVP_CIPHER_fetch(GOST_libctx(), c->name, nullptr));
  if (!cipher) return false;
  const int keylen = EVP_CIPHER_get_key_length(cipher.get());
  SecureBuffer key(static_cast<std::size_t>(keylen)), enc;
  if (key.empty() || !pbkdf2(digest, password, Bytes(salt, sizeof salt), iterations, key.data(), key.size()) ||
      !run_cipher(*c, key.span(), iv, {}, info, 1, enc))
    return false;
  der::Writer w;
  w.open(der::TAG_SEQUENCE);
  w.open(der::TAG_SEQUENCE);
  w.oid(obj::oid_of(NID_PBES2));
  w.open(der::TAG_SEQUENCE);
  w.open(der::TAG_SEQUENCE);
  w.oid(obj::oid_of(NID_PBKDF2));
  w.open(der::TAG_SEQUENCE);
  w.octets(Bytes(salt, sizeof salt));
  w.small_integer(iterations);
  if (prf_nid != NID_HMAC_SHA1) {  // hmacWithSHA1 is the default and left out
    w.open(der::TAG_SEQUENCE);
    w.oid(obj::oid_of(prf_nid));
    w.byte(der::TAG_NULL);
    w.byte(0);
    w.close();
  }
  w.close();
  w.close();
  w.open(der::TAG_SEQUENCE);
  w.oid(obj::oid_of(c->nid));
  w.octets(Bytes(iv, static_cast<std::size_t>(c->iv_len)));
  w.close();
  w.close();
  w.close();
  w.octets(enc.span());
  w.close();
  if (!w.ok() || !out.resize(w.size())) return false;
  std::memcpy(out.data(), w.bytes().data(), w.size());
  return true;
}

bool is_encrypted_pkcs8(Bytes in) {
  der::Reader r(in), info, alg;
  std::span<const unsigned char> data;
  der::Oid oid;
  return r.sequence(info) && r.empty() && info.sequence(alg) && alg.oid(oid) &&
         info.octets(data) && info.empty();
}

// 1 decrypted, 0 wrong password or broken data, -1 a scheme this code does not know.
int pbes2_decrypt(Bytes in, Bytes password, SecureBuffer& out) {
  der::Reader r(in), info, alg, pbes2, kdf, kdfp, scheme, prf;
  der::Oid oid;
  std::span<const unsigned char> data, salt;
  unsigned iterations = 0, keylen = 0;
  if (!r.sequence(info) || !info.sequence(alg) || !alg.oid(oid) ||
      obj::nid_of(oid.span()) != NID_PBES2 || !alg.sequence(pbes2) || !alg.empty() ||
      !info.octets(data) || !info.empty())
    return -1;
  if (!pbes2.sequence(kdf) || !kdf.oid(oid) || obj::nid_of(oid.span()) != NID_PBKDF2 ||
      !kdf.sequence(kdfp) || !kdf.empty() || !kdfp.octets(salt) ||
      !kdfp.small_integer(iterations) || iterations == 0 || iterations > kMaxIterations)
    return -1;
  if (kdfp.peek_tag() == der::TAG_INTEGER && !kdfp.small_integer(keylen)) return -1;
  int prf_nid = NID_HMAC_SHA1;
  if (!kdfp.empty()) {
    if (!kdfp.sequence(prf) || !prf.oid(oid)) return -1;
    prf_nid = obj::nid_of(oid.span());
    // The parameters of the PRF are NULL or absent.
  }
  const char* digest = prf_digest(prf_nid);
  if (!digest || !kdfp.empty()) return -1;
  if (!pbes2.sequence(scheme) || !pbes2.empty() || !scheme.oid(oid)) return -1;
  const CipherDesc* c = cipher_by_nid(obj::nid_of(oid.span()));
  if (!c) return -1;
  Bytes params(scheme.position(), scheme.remaining());
  std::span<const unsigned char> iv;
  if (c->nid != NID_CP_28147) {
    if (!scheme.octets(iv) || !scheme.empty() || iv.size() != static_cast<std::size_t>(c->iv_len))
      return -1;
  }
  Owned<EVP_CIPHER> cipher(GOST_register_algorithms()
                               ? EVP_CIPHER_fetch(GOST_libctx(), c->name, nullptr)
                               : nullptr);
  if (!cipher) return -1;
  const auto need = static_cast<unsigned>(EVP_CIPHER_get_key_length(cipher.get()));
  if (keylen && keylen != need) return -1;
  SecureBuffer key(need);
  if (key.empty() || !pbkdf2(digest, password, salt, iterations, key.data(), key.size())) return 0;
  if (!run_cipher(*c, key.span(), iv.data(), params, data, 0, out)) {
    pkey::ossl_clear();
    return 0;
  }
  // A wrong password passes a CFB cipher, and a CBC padding check now and then: what comes out
  // must be one DER SEQUENCE, as a PrivateKeyInfo is.
  der::Reader whole(out.span()), seq;
  if (!whole.sequence(seq) || !whole.empty()) {
    out.reset();
    return 0;
  }
  return 1;
}

// ---- PEM ------------------------------------------------------------------------------------

bool pem_read(Bytes text, PemBlock& out) {
  // The text is a PEM block when it begins (after white space) with "-----BEGIN ".
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  static const char kBegin[] = "-----BEGIN ";
  if (text.size() - i < sizeof kBegin - 1 || std::memcmp(text.data() + i, kBegin, sizeof kBegin - 1))
    return false;
  if (text.size() > 0x7fffffff) return false;
  Owned<::BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  char *name = nullptr, *header = nullptr;
  unsigned char* data = nullptr;
  long len = 0;
  const bool ok = bio && PEM_read_bio(bio.get(), &name, &header, &data, &len) == 1;
  pkey::ossl_clear();
  bool done = false;
  if (ok) {
    const std::size_t nl = std::strlen(name), hl = std::strlen(header);
    done = nl < sizeof out.label && hl < sizeof out.header &&
           out.der.resize(static_cast<std::size_t>(len));
    if (done) {
      std::memcpy(out.label, name, nl + 1);
      std::memcpy(out.header, header, hl + 1);
      if (len) std::memcpy(out.der.data(), data, static_cast<std::size_t>(len));
    }
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  if (data) OPENSSL_clear_free(data, static_cast<std::size_t>(len));
  return done;
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The traditional key derivation of PEM encryption: EVP_BytesToKey with MD5, one iteration,
// the first 8 bytes of the IV as salt.
bool pem_key(const CipherDesc& c, Bytes password, const unsigned char* iv, SecureBuffer& key) {
  if (!GOST_register_algorithms()) return false;
  Owned<EVP_CIPHER> cipher(EVP_CIPHER_fetch(GOST_libctx(), c.name, nullptr));
  Owned<EVP_MD> md5(EVP_MD_fetch(GOST_libctx(), "MD5", nullptr));
  if (!cipher || !md5) return false;
  const int n = EVP_CIPHER_get_key_length(cipher.get());
  unsigned char scratch[EVP_MAX_IV_LENGTH];
  return n > 0 && key.resize(static_cast<std::size_t>(n)) &&
         EVP_BytesToKey(cipher.get(), md5.get(), iv, password.data(),
                        static_cast<int>(password.size()), 1, key.data(), scratch) == n;
}

}  // namespace

// Decrypts a PEM block in place when its header says so. 1 done (or nothing to do), 0 wrong
// password or broken data, -1 an unknown header or cipher, -2 a password is needed.
int pem_decrypt(PemBlock& b, const Password* pw) {
  const char* h = b.header;
  if (!*h) return 1;
  static const char kProc[] = "Proc-Type: 4,ENCRYPTED";
  static const char kDek[] = "DEK-Info: ";
  if (std::strncmp(h, kProc, sizeof kProc - 1)) return -1;
  const char* dek = std::strstr(h, kDek);
  if (!dek) return -1;
  dek += sizeof kDek - 1;
  const char* comma = std::strchr(dek, ',');
  if (!comma) return -1;
  const CipherDesc* c = cipher_by_name(dek, static_cast<std::size_t>(comma - dek));
  if (!c || c->nid == NID_CP_28147) return -1;
  unsigned char iv[16];
  const char* x = comma + 1;
  for (int i = 0; i < c->iv_len; ++i) {
    const int hi = hex_digit(x[2 * i]), lo = hi < 0 ? -1 : hex_digit(x[2 * i + 1]);
    if (hi < 0 || lo < 0) return -1;
    iv[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  const char end = x[2 * c->iv_len];
  if (end != '\0' && end != '\n' && end != '\r') return -1;
  if (!pw) return -2;
  SecureBuffer key, plain;
  if (!pem_key(*c, pw->bytes, iv, key) || !run_cipher(*c, key.span(), iv, {}, b.der.span(), 0, plain)) {
    pkey::ossl_clear();
    return 0;
  }
  // A wrong password rarely fails the cipher itself: the key must come out as one DER SEQUENCE.
  der::Reader whole(plain.span()), seq;
  if (!whole.sequence(seq) || !whole.empty()) return 0;
  b.der = std::move(plain);
  b.header[0] = '\0';
  return 1;
}

bool pem_write(const char* label, Bytes der, const Password* pw, int cipher_nid, SecureBuffer& out) {
  SecureBuffer enc;
  char header[128] = "";
  if (pw) {
    const CipherDesc* c = cipher_by_nid(cipher_nid);
    unsigned char iv[16];
    SecureBuffer key;
    if (!c || c->nid == NID_CP_28147 || RAND_bytes(iv, c->iv_len) != c->iv_len ||
        !pem_key(*c, pw->bytes, iv, key) || !run_cipher(*c, key.span(), iv, {}, der, 1, enc))
      return false;
    int n = std::snprintf(header, sizeof header, "Proc-Type: 4,ENCRYPTED\nDEK-Info: %s,", c->name);
    for (int i = 0; i < c->iv_len; ++i)
      n += std::snprintf(header + n, sizeof header - static_cast<std::size_t>(n), "%02X", iv[i]);
    std::snprintf(header + n, sizeof header - static_cast<std::size_t>(n), "\n");
    der = enc.span();
  }
  Owned<::BIO> bio(BIO_new(BIO_s_secmem()));
  if (!bio || PEM_write_bio(bio.get(), label, header, der.data(), static_cast<long>(der.size())) <= 0) {
    pkey::ossl_clear();
    return false;
  }
  char* p = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &p);
  if (n <= 0 || !out.resize(static_cast<std::size_t>(n))) return false;
  std::memcpy(out.data(), p, static_cast<std::size_t>(n));
  return true;
}

// ---- PKCS#8 and traditional forms -------------------------------------------------------------

// The plain private value of a GOST R 34.10-2001 PKCS#8 key in the forms GOST software writes,
// tried in the order the OpenSSL GOST engine tries them: exactly 32 bytes are the value
// little-endian (whatever their first byte looks like); 34 bytes 04 20 ... an OCTET STRING of
// them; an INTEGER that makes up the whole value; a multiple of 32 bytes the masked form (the
// value followed by masks, all little-endian, whose product mod q is the key).
bool ec_plain_value(const ECGOST* key, Bytes v, BnPtr& d) {
  d.reset(BN_secure_new());
  if (!d) return false;
  const unsigned char* p = v.data();
  const std::size_t n = v.size();
  if (n == 32) return BN_lebin2bn(p, 32, d.get());
  if (n == 34 && p[0] == der::TAG_OCTET_STRING && p[1] == 32) return BN_lebin2bn(p + 2, 32, d.get());
  if (n >= 3 && p[0] == der::TAG_INTEGER) {
    der::Reader r(v);
    if (r.integer(d.get()) && r.empty()) return true;
  }
  if (n > 32 && n % 32 == 0 && n <= 32 * 16) {
    const BIGNUM* q = ECURVE_get_q(ECGOST_get_curve(key));
    BnCtxPtr ctx(BN_CTX_secure_new());
    BnPtr m(BN_secure_new());
    bool ok = q && ctx && m && BN_lebin2bn(p, 32, d.get());
    for (std::size_t i = 32; ok && i < n; i += 32)
      ok = BN_lebin2bn(p + i, 32, m.get()) && BN_mod_mul(d.get(), d.get(), m.get(), q, ctx.get());
    return ok;
  }
  return false;
}

namespace {

int ec_type_of(const ECGOST* k) {
  int pub = 0, dg = 0, ci = 0;
  ECGOST_get_paramsets(k, &pub, &dg, &ci);
  return pub >= NID_CP_2001_A && pub <= NID_CP_2001_XCHB ? PKEY_TYPE_ECGOST_CP : PKEY_TYPE_ECGOST;
}

int r3410_type_of(const R3410* k) {
  return k->param_nid >= NID_CP_R3410_94_A && k->param_nid <= NID_CP_R3410_94_XCHC
             ? PKEY_TYPE_R3410_CP
             : PKEY_TYPE_R3410;
}

// The last element of a SEQUENCE (the private value of the traditional GOST forms).
bool last_element(Bytes der, Bytes& out) {
  der::Reader r(der), seq;
  if (!r.sequence(seq)) return false;
  unsigned char tag = 0;
  std::span<const unsigned char> content;
  const unsigned char* start = nullptr;
  while (!seq.empty()) {
    start = seq.position();
    if (!seq.any(tag, content)) return false;
  }
  if (!start) return false;
  out = Bytes(start, static_cast<std::size_t>(seq.position() - start));
  return true;
}

// The 32-byte value and the 4-byte check value of SEQUENCE { INTEGER, INTEGER }.
bool read_protected(Bytes v, unsigned char out[36]) {
  der::Reader r(v), seq;
  std::span<const unsigned char> e, tag;
  if (!r.sequence(seq) || !r.empty() || !seq.integer_bytes(e) || !seq.integer_bytes(tag) ||
      !seq.empty() || e.size() > 32 || tag.size() > 4)
    return false;
  std::memset(out, 0, 36);
  std::memcpy(out + 32 - e.size(), e.data(), e.size());
  std::memcpy(out + 36 - tag.size(), tag.data(), tag.size());
  return true;
}

PKEY_KEY* gost_from_pkcs8(int type, Bytes params, Bytes value) {
  if (type == PKEY_TYPE_ECGOST || type == PKEY_TYPE_ECGOST_CP) {
    Owned<ECGOST> ec(ecgost_from_params(type, params));
    if (!ec) return nullptr;
    // The protected form when the value is exactly SEQUENCE { INTEGER, INTEGER }; a plain value
    // of 32 bytes may begin with any byte.
    unsigned char prot[36];
    bool ok;
    if (read_protected(value, prot)) {
      ok = ECGOST_set_opaque(ec.get(), prot);
      mem_cleanse(prot, sizeof prot);
    } else {
      BnPtr d;
      ok = ec_plain_value(ec.get(), value, d) && ECGOST_set_private(ec.get(), d.get()) &&
           ECGOST_generate_pubkey(ec.get());
    }
    if (!ok) return nullptr;
    PKEY_KEY* k = PKEY_KEY_from_ecgost(ec.get(), type);
    if (k) ec.release();
    return k;
  }
  Owned<R3410> rk(R3410_new());
  if (!rk) return nullptr;
  if (!params.empty()) {
    const unsigned char* q = params.data();
    R3410* t = rk.get();
    if (!d2i_R3410Params(&t, &q, static_cast<long>(params.size()))) return nullptr;
  }
  unsigned char prot[36];
  if (read_protected(value, prot)) {
    BnPtr e(BN_secure_new()), mac(BN_new());
    const bool ok = e && mac && BN_bin2bn(prot, 32, e.get()) &&
                    BN_bin2bn(prot + 32, 4, mac.get()) && r3410::secret_set(rk->x, e.get());
    mem_cleanse(prot, sizeof prot);
    if (!ok) return nullptr;
    rk->key_mac = mac.release();
  } else {
    der::Reader r(value);
    std::span<const unsigned char> x;
    if (!r.integer_bytes(x) || !r.empty() || x.empty() ||
        !R3410_set_private_key(rk.get(), x.data(), static_cast<int>(x.size())) ||
        (rk->p && !R3410_generate_pubkey(rk.get())))
      return nullptr;
  }
  PKEY_KEY* k = PKEY_KEY_from_r3410(rk.get(), type);
  if (k) rk.release();
  return k;
}

}  // namespace

PKEY_KEY* pkcs8_decode(Bytes der) {
  der::Reader r(der), info, alg;
  der::Oid oid;
  unsigned version = 0;
  std::span<const unsigned char> value;
  if (!r.sequence(info) || !r.empty() || !info.small_integer(version) || version > 1 ||
      !info.sequence(alg) || !alg.oid(oid) || !info.octets(value))
    return nullptr;
  const int nid = obj::nid_of(oid.span());
  if (is_gost(nid)) {
    // Attributes [0] and the public key [1] may follow; the public key is recomputed.
    return gost_from_pkcs8(nid, Bytes(alg.position(), alg.remaining()), value);
  }
  const unsigned char* p = der.data();
  Owned<PKCS8_PRIV_KEY_INFO> p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
  EVP_PKEY* evp = p8 && p == der.data() + der.size() ? EVP_PKCS82PKEY_ex(p8.get(), nullptr, nullptr) : nullptr;
  if (!evp) return nullptr;
  PKEY_KEY* k = PKEY_KEY_from_evp(evp);
  if (!k) EVP_PKEY_free(evp);
  return k;
}

PKEY_KEY* traditional_decode(int type, Bytes der) {
  const unsigned char* p = der.data();
  const long len = static_cast<long>(der.size());
  switch (type) {
    case PKEY_TYPE_ECGOST: {
      Owned<ECGOST> ec(d2i_ECGOSTPRIVATEKEY(nullptr, &p, len));
      PKEY_KEY* k = ec ? PKEY_KEY_from_ecgost(ec.get(), ec_type_of(ec.get())) : nullptr;
      if (k) ec.release();
      return k;
    }
    case PKEY_TYPE_R3410: {
      // A DSA key has the same layout (version, p, q, g, y, x); GOST R 34.10-94 has a q of
      // 255 or 256 bits (2^254 < q < 2^256), DSA's is shorter, so the size tells them apart.
      Owned<R3410> rk(d2i_R3410PrivateKey(nullptr, &p, len));
      if (rk && (!rk->q || BN_num_bits(rk->q) < 255)) rk.reset();
      PKEY_KEY* k = rk ? PKEY_KEY_from_r3410(rk.get(), r3410_type_of(rk.get())) : nullptr;
      if (k) rk.release();
      return k;
    }
    case PKEY_TYPE_RSA_RECORD:
    case PKEY_TYPE_DSA: {
      EVP_PKEY* evp = d2i_PrivateKey_ex(type == PKEY_TYPE_DSA ? EVP_PKEY_DSA : EVP_PKEY_RSA, nullptr,
                                        &p, len, nullptr, nullptr);
      if (evp && (p != der.data() + der.size() ||
                  !EVP_PKEY_is_a(evp, type == PKEY_TYPE_DSA ? "DSA" : "RSA"))) {
        EVP_PKEY_free(evp);
        evp = nullptr;
      }
      PKEY_KEY* k = evp ? PKEY_KEY_from_evp(evp) : nullptr;
      if (evp && !k) EVP_PKEY_free(evp);
      return k;
    }
    default:
      return nullptr;
  }
}

bool traditional_encode(const PKEY_KEY* key, SecureBuffer& out) {
  int n = 0;
  if (key->ec) {
    n = i2d_ECGOSTPRIVATEKEY(key->ec, nullptr);
    unsigned char* p = n > 0 && out.resize(static_cast<std::size_t>(n)) ? out.data() : nullptr;
    return p && i2d_ECGOSTPRIVATEKEY(key->ec, &p) == n;
  }
  if (key->r3410) {
    n = i2d_R3410PrivateKey(key->r3410, nullptr);
    unsigned char* p = n > 0 && out.resize(static_cast<std::size_t>(n)) ? out.data() : nullptr;
    return p && i2d_R3410PrivateKey(key->r3410, &p) == n;
  }
  if (key->evp) {
    unsigned char* der = nullptr;
    n = i2d_PrivateKey(key->evp, &der);
    const bool ok = n > 0 && out.resize(static_cast<std::size_t>(n));
    if (ok) std::memcpy(out.data(), der, static_cast<std::size_t>(n));
    if (der) OPENSSL_clear_free(der, static_cast<std::size_t>(n > 0 ? n : 0));
    pkey::ossl_clear();
    return ok;
  }
  return false;
}

bool pkcs8_encode(const PKEY_KEY* key, SecureBuffer& out) {
  if (key->evp) {
    Owned<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(key->evp));
    unsigned char* der = nullptr;
    const int n = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der) : 0;
    const bool ok = n > 0 && out.resize(static_cast<std::size_t>(n));
    if (ok) std::memcpy(out.data(), der, static_cast<std::size_t>(n));
    if (der) OPENSSL_clear_free(der, static_cast<std::size_t>(n > 0 ? n : 0));
    pkey::ossl_clear();
    return ok;
  }
  // GOST: the algorithm's parameters and the private element of the traditional form; a
  // GOST R 34.10-2001 value in clear as the 32 little-endian bytes other GOST software writes.
  SecureBuffer trad, params, raw;
  Bytes value;
  if (key->ec && !ECGOST_is_opaque(key->ec)) {
    BnPtr d(BN_secure_new());
    if (!d || !raw.resize(32) || !ECGOST_get_private(key->ec, d.get()) ||
        BN_bn2lebinpad(d.get(), raw.data(), 32) != 32)
      return false;
    value = raw.span();
  } else if (!traditional_encode(key, trad) || !last_element(trad.span(), value)) {
    return false;
  }
  if (key->ec) {
    const int n = i2d_ECGOSTPARAMS(key->ec, nullptr);
    unsigned char* p = n > 0 && params.resize(static_cast<std::size_t>(n)) ? params.data() : nullptr;
    if (!p || i2d_ECGOSTPARAMS(key->ec, &p) != n) return false;
  } else if (key->r3410 && key->r3410->p) {
    const int n = i2d_R3410Params(key->r3410, nullptr);
    unsigned char* p = n > 0 && params.resize(static_cast<std::size_t>(n)) ? params.data() : nullptr;
    if (!p || i2d_R3410Params(key->r3410, &p) != n) return false;
  }
  der::Writer w;
  w.open(der::TAG_SEQUENCE);
  w.small_integer(0);
  w.open(der::TAG_SEQUENCE);
  w.oid(obj::oid_of(key->type));
  w.raw(params.span());
  w.close();
  w.octets(value);
  w.close();
  if (!w.ok() || !out.resize(w.size())) return false;
  std::memcpy(out.data(), w.bytes().data(), w.size());
  return true;
}

const char* traditional_label(int type) {
  switch (type) {
    case PKEY_TYPE_RSA:
    case PKEY_TYPE_RSA_RECORD: return "RSA PRIVATE KEY";
    case PKEY_TYPE_DSA: return "DSA PRIVATE KEY";
    case PKEY_TYPE_R3410: return "R3410 PRIVATE KEY";
    case PKEY_TYPE_ECGOST: return "ECGOST PRIVATE KEY";
    default: return "ANY PRIVATE KEY";
  }
}

int default_cipher(int type) { return is_gost(type) ? NID_RUS_GAMMAR : NID_DES_EDE3_CBC; }
int default_prf(int type) { return is_gost(type) ? NID_HMAC_R3411 : NID_HMAC_SHA1; }

}  // namespace pkey

}  // namespace jarnel
