#include "key_io.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>

#include "command.h"
#include "crypto/ecgost/ec_der.h"
#include "crypto/rus/gosth.h"
#include "crypto/rus/gost_provider.h"
#include "output.h"
#include "gost_args.h"

namespace jarnel::tool {

int read_whole_file(const char* path, std::size_t max, SecureBuffer& out) {
  if (read_small_file(path, max, out)) return -1;
  if (errno == EFBIG) return fail(input_name(path), "too large for a key or signature file");
  return fail_errno(input_name(path), errno);
}

int read_password_file(const char* path, SecureBuffer& out) {
  SecureBuffer raw;
  if (int rc = read_whole_file(path, 65536, raw); rc >= 0) return rc;
  std::size_t len = 0;
  while (len < raw.size() && raw.data()[len] != '\n' && raw.data()[len] != '\r') ++len;
  if (len == 0) return fail(input_name(path), "the first line (the password) is empty");
  if (!out.resize(len)) return operation_failed();
  std::memcpy(out.data(), raw.data(), len);
  return -1;
}

bool pem_decode(std::span<const unsigned char> text, std::string& label, SecureBuffer& der) {
  static const char kBegin[] = "-----BEGIN ";
  const unsigned char* b = text.data();
  const unsigned char* e = b + text.size();
  trim(b, e);
  if (static_cast<std::size_t>(e - b) < sizeof kBegin - 1 || std::memcmp(b, kBegin, sizeof kBegin - 1)) return false;
  BIO* bio = BIO_new_mem_buf(b, static_cast<int>(e - b));
  char *name = nullptr, *header = nullptr;
  unsigned char* data = nullptr;
  long len = 0;
  const bool ok = bio && PEM_read_bio(bio, &name, &header, &data, &len) == 1;
  BIO_free(bio);
  bool done = false;
  if (ok && der.resize(static_cast<std::size_t>(len))) {
    std::memcpy(der.data(), data, static_cast<std::size_t>(len));
    label = name;
    done = true;
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  if (data) OPENSSL_clear_free(data, static_cast<std::size_t>(len));
  return done;
}

std::string pem_encode(const char* label, std::span<const unsigned char> der) {
  std::string out = std::string("-----BEGIN ") + label + "-----\n";
  std::vector<unsigned char> b64(4 * ((48 + 2) / 3) + 1);
  for (std::size_t i = 0; i < der.size(); i += 48) {
    const int n = static_cast<int>(der.size() - i < 48 ? der.size() - i : 48);
    const int m = EVP_EncodeBlock(b64.data(), der.data() + i, n);
    out.append(reinterpret_cast<const char*>(b64.data()), static_cast<std::size_t>(m));
    out += '\n';
  }
  OPENSSL_cleanse(b64.data(), b64.size());
  out += std::string("-----END ") + label + "-----\n";
  return out;
}

bool hex_exact(std::span<const unsigned char> text, std::size_t n, SecureBuffer& out) {
  const unsigned char* b = text.data();
  const unsigned char* e = b + text.size();
  trim(b, e);
  if (static_cast<std::size_t>(e - b) != 2 * n || !out.resize(n)) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const int hi = hex_value(static_cast<char>(b[2 * i])), lo = hex_value(static_cast<char>(b[2 * i + 1]));
    if (hi < 0 || lo < 0) return false;
    out.data()[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return true;
}

bool hex_line(std::span<const unsigned char> text, const char* name, std::size_t n, SecureBuffer& out) {
  const std::size_t nl = std::strlen(name);
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = i;
    while (end < text.size() && text[end] != '\n') ++end;
    if (end - i > nl && !std::memcmp(text.data() + i, name, nl) && text[i + nl] == '=')
      return hex_exact(text.subspan(i + nl + 1, end - i - nl - 1), n, out);
    i = end + 1;
  }
  return false;
}

bool pkcs8_parse(std::span<const unsigned char> in, Pkcs8& out) {
  der::Reader r(in), info(std::span<const unsigned char>{}), alg(std::span<const unsigned char>{});
  unsigned version = 0;
  der::Oid alg_oid;
  std::span<const unsigned char> key;
  if (!r.enter(der::TAG_SEQUENCE, info) || !r.empty() || !info.small_integer(version) || version > 1 ||
      !info.enter(der::TAG_SEQUENCE, alg) || !alg.oid(alg_oid) || !info.expect(der::TAG_OCTET_STRING, key))
    return false;
  out.alg.assign(alg_oid.span().begin(), alg_oid.span().end());
  // Attributes [0] and the public key [1] may follow; they are not needed here.
  out.params.assign(alg.position(), alg.position() + alg.remaining());
  if (!out.key.resize(key.size())) return false;
  if (!key.empty()) std::memcpy(out.key.data(), key.data(), key.size());
  return true;
}

bool pkcs8_build(std::span<const std::uint32_t> alg, std::span<const unsigned char> params,
                 std::span<const unsigned char> key, SecureBuffer& out) {
  der::Writer w;
  w.open(der::TAG_SEQUENCE);
  w.small_integer(0);
  w.open(der::TAG_SEQUENCE);
  w.oid(alg);
  w.raw(params);
  w.close();
  w.octets(key);
  w.close();
  if (!out.resize(w.size())) return false;
  std::memcpy(out.data(), w.bytes().data(), w.size());
  return true;
}

bool is_encrypted_pkcs8(std::span<const unsigned char> in) {
  der::Reader r(in), info(std::span<const unsigned char>{});
  std::span<const unsigned char> alg, data;
  return r.enter(der::TAG_SEQUENCE, info) && r.empty() && info.expect(der::TAG_SEQUENCE, alg) &&
         info.expect(der::TAG_OCTET_STRING, data) && info.empty();
}

bool pkcs8_decrypt(std::span<const unsigned char> in, std::span<const unsigned char> password, SecureBuffer& out) {
  if (!GOST_register_algorithms()) return false;
  const unsigned char* p = in.data();
  X509_SIG* sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(in.size()));
  if (!sig) return false;
  PKCS8_PRIV_KEY_INFO* info = PKCS8_decrypt_ex(sig, reinterpret_cast<const char*>(password.data()),
                                               static_cast<int>(password.size()), GOST_libctx(), nullptr);
  X509_SIG_free(sig);
  if (!info) {
    // OpenSSL's reasons, with --verbose.
    if (verbose()) ::ERR_print_errors_fp(stderr);
    ::ERR_clear_error();
    return false;
  }
  unsigned char* der = nullptr;
  const int n = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
  PKCS8_PRIV_KEY_INFO_free(info);
  const bool ok = n > 0 && out.resize(static_cast<std::size_t>(n));
  if (ok) std::memcpy(out.data(), der, static_cast<std::size_t>(n));
  if (der) OPENSSL_clear_free(der, static_cast<std::size_t>(n > 0 ? n : 0));
  return ok;
}

bool pkcs8_encrypt(std::span<const unsigned char> in, std::span<const unsigned char> password, SecureBuffer& out) {
  if (!GOST_register_algorithms()) return false;
  const unsigned char* p = in.data();
  PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(in.size()));
  EVP_CIPHER* aes = EVP_CIPHER_fetch(GOST_libctx(), "AES-256-CBC", nullptr);
  X509_SIG* sig = info && aes ? PKCS8_encrypt_ex(-1, aes, reinterpret_cast<const char*>(password.data()),
                                                 static_cast<int>(password.size()), nullptr, 0, 100000, info,
                                                 GOST_libctx(), nullptr)
                              : nullptr;
  EVP_CIPHER_free(aes);
  PKCS8_PRIV_KEY_INFO_free(info);
  if (!sig) return false;
  unsigned char* der = nullptr;
  const int n = i2d_X509_SIG(sig, &der);
  X509_SIG_free(sig);
  const bool ok = n > 0 && out.resize(static_cast<std::size_t>(n));
  if (ok) std::memcpy(out.data(), der, static_cast<std::size_t>(n));
  OPENSSL_free(der);
  return ok;
}

std::string hex_of(const unsigned char* p, std::size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

int digest_cp(const char* file, const char* hash_hex, bool openssl_order, unsigned char out[32]) {
  if (hash_hex) {
    if (file) return usage_error("give either FILE or --hash-hex");
    SecureBuffer h;
    if (!hex_exact(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(hash_hex), std::strlen(hash_hex)), 32, h))
      return usage_error("--hash-hex must be 32 bytes (64 hex digits)");
    for (int i = 0; i < 32; ++i) out[i] = h.data()[openssl_order ? 31 - i : i];
    return -1;
  }
  std::FILE* f = open_input(file);
  if (!f) return fail_errno(input_name(file), errno);
  GOSTH_CTX* h = GOSTH_new();
  bool ok = h && GOSTH_init_cp(h, nullptr, GOSTE_cp_hash_sbox());
  std::vector<unsigned char> buf(kChunk);
  bool read_err = false;
  int read_errno = 0;
  while (ok) {
    const std::size_t n = read_full(f, buf.data(), buf.size(), read_err);
    if (read_err) {
      read_errno = errno ? errno : EIO;
      break;
    }
    if (n > 0) ok = GOSTH_update(h, buf.data(), static_cast<int>(n)) == static_cast<int>(n);
    if (n < buf.size()) break;
  }
  if (f != stdin) std::fclose(f);
  ok = ok && !read_err && GOSTH_final(h, out) == 32;
  GOSTH_free(h);
  if (read_err) return fail_errno(input_name(file), read_errno);
  return ok ? -1 : operation_failed(input_name(file), nullptr);
}

int write_result(const char* out_path, bool as_text, std::span<const unsigned char> bin,
                 const std::string& text, bool secret) {
  OutputFile out;
  if (int rc = out.open(out_path, secret); rc >= 0) return rc;
  if (!(as_text ? out.print(text.c_str()) : out.write(bin.data(), bin.size()))) {
    // The reason is kept by the output and given by close().
    if (int rc = out.close(); rc >= 0) return rc;
    return EXIT_FAILED;
  }
  if (int rc = out.close(); rc >= 0) return rc;
  return EXIT_OK;
}

}  // namespace jarnel::tool
