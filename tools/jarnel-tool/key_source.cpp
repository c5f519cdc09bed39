#include "key_source.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "command.h"
#include "crypto/err/err.h"
#include "crypto/rus/gosth.h"
#include "gost_args.h"

namespace jarnel::tool {

void KeySource::declare(Options& o) {
  o.value("--key", &key_hex)
      .value("--key-file", &key_file)
      .value("--password-file", &password_file)
      .value("--salt", &salt_hex)
      .value("--iter", &iter);
}

namespace {

// GOST R 34.11-94 with the CryptoPro parameters, the 32 bytes in the order the hash function
// produces them (the library returns them reversed, as one number most significant byte first).
bool hash_cp(const unsigned char* a, std::size_t an, const unsigned char* b, std::size_t bn, unsigned char out[32]) {
  GOSTH_CTX* h = GOSTH_new();
  bool ok = h && GOSTH_init_cp(h, nullptr, GOSTE_cp_hash_sbox());
  if (ok && an) ok = GOSTH_update(h, a, static_cast<int>(an)) == static_cast<int>(an);
  if (ok && bn) ok = GOSTH_update(h, b, static_cast<int>(bn)) == static_cast<int>(bn);
  unsigned char d[32];
  ok = ok && GOSTH_final(h, d) == 32;
  GOSTH_free(h);
  for (int i = 0; i < 32; ++i) out[i] = d[31 - i];
  mem_cleanse(d, sizeof d);
  return ok;
}

// HMAC (RFC 2104, block 32 bytes) over hash_cp.
struct Hmac {
  unsigned char ipad[32], opad[32];
  explicit Hmac(const unsigned char* key, std::size_t n, bool& ok) {
    unsigned char k[32] = {};
    if (n > 32) ok = ok && hash_cp(key, n, nullptr, 0, k);
    else std::memcpy(k, key, n);
    for (int i = 0; i < 32; ++i) {
      ipad[i] = k[i] ^ 0x36;
      opad[i] = k[i] ^ 0x5C;
    }
    mem_cleanse(k, sizeof k);
  }
  ~Hmac() {
    mem_cleanse(ipad, sizeof ipad);
    mem_cleanse(opad, sizeof opad);
  }
  bool mac(const unsigned char* m, std::size_t n, unsigned char out[32]) const {
    std::vector<unsigned char> inner_in(ipad, ipad + 32);
    inner_in.insert(inner_in.end(), m, m + n);
    unsigned char inner[32];
    bool ok = hash_cp(inner_in.data(), inner_in.size(), nullptr, 0, inner) && hash_cp(opad, 32, inner, 32, out);
    mem_cleanse(inner, sizeof inner);
    mem_cleanse(inner_in.data(), inner_in.size());
    return ok;
  }
};

}  // namespace

int pbkdf2_gost(const unsigned char* pass, std::size_t pass_len, const unsigned char* salt,
                std::size_t salt_len, int iter, unsigned char* out, std::size_t out_len) {
  bool ok = true;
  const Hmac prf(pass, pass_len, ok);
  for (std::uint32_t block = 1; ok && out_len > 0; ++block) {
    std::vector<unsigned char> s(salt, salt + salt_len);
    for (int sh = 24; sh >= 0; sh -= 8) s.push_back(static_cast<unsigned char>(block >> sh));
    unsigned char u[32], t[32];
    ok = prf.mac(s.data(), s.size(), u);
    std::memcpy(t, u, 32);
    for (int i = 1; ok && i < iter; ++i) {
      ok = prf.mac(u, 32, u);
      for (int j = 0; j < 32; ++j) t[j] ^= u[j];
    }
    const std::size_t n = out_len < 32 ? out_len : 32;
    std::memcpy(out, t, n);
    out += n;
    out_len -= n;
    mem_cleanse(u, sizeof u);
    mem_cleanse(t, sizeof t);
  }
  return ok ? 1 : 0;
}

int KeySource::load(SecureBuffer& key) const {
  const int given = (key_hex != nullptr) + (key_file != nullptr) + (password_file != nullptr);
  if (given != 1) return usage_error("give exactly one of --key, --key-file and --password-file");
  if ((salt_hex || iter) && !password_file) return usage_error("--salt and --iter go with --password-file");
  if (key_hex) {
    std::vector<unsigned char> k;
    const bool hex_ok = parse_hex(key_hex, k);
    const std::size_t n = k.size();
    if (!k.empty()) mem_cleanse(k.data(), k.size());
    if (!hex_ok) return usage_error("--key is not valid hex");
    if (n != 32) return usage_error("--key must be 32 bytes (64 hex digits)");
    if (!key.resize(32)) return operation_failed();
    parse_hex(key_hex, k);
    std::memcpy(key.data(), k.data(), 32);
    mem_cleanse(k.data(), k.size());
    return -1;
  }
  if (key_file) {
    SecureBuffer raw;
    if (!read_small_file(key_file, 4096, raw)) {
      if (errno == EFBIG) return fail(key_file, "not a key: larger than 32 bytes or 64 hex digits");
      return fail_errno(key_file, errno);
    }
    if (!key.resize(32)) return operation_failed();
    if (raw.size() == 32) {
      std::memcpy(key.data(), raw.data(), 32);
      return -1;
    }
    const unsigned char* b = raw.data();
    const unsigned char* e = b + raw.size();
    trim(b, e);
    if (e - b != 64) return fail(key_file, "not a key: expected 32 raw bytes or 64 hex digits");
    for (int i = 0; i < 32; ++i) {
      const int hi = hex_value(static_cast<char>(b[2 * i])), lo = hex_value(static_cast<char>(b[2 * i + 1]));
      if (hi < 0 || lo < 0) return fail(key_file, "not a key: expected 32 raw bytes or 64 hex digits");
      key.data()[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return -1;
  }
  // A password.
  if (!salt_hex) return usage_error("--password-file needs --salt HEX (at least 8 bytes)");
  std::vector<unsigned char> salt;
  if (!parse_hex(salt_hex, salt) || salt.size() < 8)
    return usage_error("--salt must be at least 8 bytes as hex digits");
  long iterations = kDefaultPbkdf2Iterations;
  if (iter) {
    char* end = nullptr;
    iterations = std::strtol(iter, &end, 10);
    if (!*iter || *end || iterations < 1000 || iterations > INT_MAX / 2)
      return usage_error("--iter must be a number of iterations, at least 1000");
  }
  SecureBuffer raw;
  if (!read_small_file(password_file, 65536, raw)) {
    if (errno == EFBIG) return fail(password_file, "the password file is larger than 64 KiB");
    return fail_errno(password_file, errno);
  }
  std::size_t len = 0;
  while (len < raw.size() && raw.data()[len] != '\n' && raw.data()[len] != '\r') ++len;
  if (len == 0) return fail(password_file, "the first line (the password) is empty");
  if (!key.resize(32)) return operation_failed();
  if (!pbkdf2_gost(raw.data(), len, salt.data(), salt.size(), static_cast<int>(iterations), key.data(), 32)) {
    return operation_failed(password_file, "the key could not be derived from the password");
  }
  return -1;
}

}  // namespace jarnel::tool
