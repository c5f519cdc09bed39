#include "key_io.h"


#include <cerrno>
#include <cstring>

#include "command.h"
#include "crypto/cadb/pkey_local.h"
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
  pkey::PemBlock b;
  if (!pkey::pem_read(text, b)) return false;
  label = b.label;
  der = std::move(b.der);
  return true;
}

std::string pem_encode(const char* label, std::span<const unsigned char> der) {
  SecureBuffer out;
  if (!pkey::pem_write(label, der, nullptr, 0, out)) return std::string();
  std::string text(reinterpret_cast<const char*>(out.data()), out.size());
  return text;
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

bool is_encrypted_pkcs8(std::span<const unsigned char> in) { return pkey::is_encrypted_pkcs8(in); }

bool pkcs8_decrypt(std::span<const unsigned char> in, std::span<const unsigned char> password, SecureBuffer& out) {
  return pkey::pbes2_decrypt(in, password, out) == 1;
}

bool pkcs8_encrypt(std::span<const unsigned char> in, std::span<const unsigned char> password, SecureBuffer& out) {
  return pkey::pbes2_encrypt(in, password, NID_AES_256_CBC, NID_HMAC_SHA256, 100000, out);
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
