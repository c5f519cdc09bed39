#include "peers.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>

#include <gcrypt.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

namespace peers {
namespace {

void gc_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

void gc_ok(gcry_error_t e, const char* what) {
  if (e) throw std::runtime_error(std::string(what) + ": " + gcry_strerror(e));
}

OSSL_LIB_CTX* gp_ctx() {
  static OSSL_LIB_CTX* ctx = [] {
    // The provider reads its default parameter set from the environment; CryptoPro-A is the
    // default of the algorithms compared here.
    setenv("CRYPT_PARAMS", "id-Gost28147-89-CryptoPro-A-ParamSet", 1);
    OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
    if (c && !OSSL_PROVIDER_load(c, "gostprov")) {
      OSSL_LIB_CTX_free(c);
      c = nullptr;
    }
    return c;
  }();
  return ctx;
}

}  // namespace

Bytes random_bytes(std::size_t n) {
  static std::mt19937_64 rng(20261209);
  Bytes b(n);
  for (auto& x : b) x = static_cast<unsigned char>(rng());
  return b;
}

Bytes hex(const std::string& s) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<unsigned char>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return b;
}

std::string to_hex(const unsigned char* p, std::size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

Bytes gc_cipher(GcMode mode, bool mesh, const char* sbox_oid, const Bytes& key, const Bytes& iv,
                const Bytes& data, bool encrypt) {
  gc_init();
  int m = mode == GcMode::ECB ? GCRY_CIPHER_MODE_ECB
          : mode == GcMode::CFB ? GCRY_CIPHER_MODE_CFB
                                : GCRY_CIPHER_MODE_CBC;
  gcry_cipher_hd_t h;
  gc_ok(gcry_cipher_open(&h, mesh ? GCRY_CIPHER_GOST28147_MESH : GCRY_CIPHER_GOST28147, m, 0),
        "open");
  Bytes out(data.size());
  try {
    gc_ok(gcry_cipher_setkey(h, key.data(), key.size()), "setkey");
    gc_ok(gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(sbox_oid), 0), "sbox");
    if (!iv.empty()) gc_ok(gcry_cipher_setiv(h, iv.data(), iv.size()), "setiv");
    if (encrypt)
      gc_ok(gcry_cipher_encrypt(h, out.data(), out.size(), data.data(), data.size()), "enc");
    else
      gc_ok(gcry_cipher_decrypt(h, out.data(), out.size(), data.data(), data.size()), "dec");
  } catch (...) {
    gcry_cipher_close(h);
    throw;
  }
  gcry_cipher_close(h);
  return out;
}

Bytes gc_mac(const char* sbox_oid, const Bytes& key, const Bytes& iv, const Bytes& data) {
  gc_init();
  gcry_mac_hd_t h;
  gc_ok(gcry_mac_open(&h, GCRY_MAC_GOST28147_IMIT, 0, nullptr), "mac open");
  Bytes out(4);
  size_t len = 4;
  try {
    gc_ok(gcry_mac_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>(sbox_oid), 0), "mac sbox");
    gc_ok(gcry_mac_setkey(h, key.data(), key.size()), "mac key");
    if (!iv.empty()) gc_ok(gcry_mac_setiv(h, iv.data(), iv.size()), "mac iv");
    if (!data.empty()) gc_ok(gcry_mac_write(h, data.data(), data.size()), "mac write");
    gc_ok(gcry_mac_read(h, out.data(), &len), "mac read");
  } catch (...) {
    gcry_mac_close(h);
    throw;
  }
  gcry_mac_close(h);
  out.resize(len);
  return out;
}

Bytes gc_hash(bool cp, const Bytes& data) {
  gc_init();
  Bytes out(32);
  gcry_md_hash_buffer(cp ? GCRY_MD_GOSTR3411_CP : GCRY_MD_GOSTR3411_94, out.data(), data.data(),
                      data.size());
  return out;
}

Bytes gc_streebog(int bits, const Bytes& data) {
  gc_init();
  Bytes out(static_cast<std::size_t>(bits / 8));
  gcry_md_hash_buffer(bits == 256 ? GCRY_MD_STRIBOG256 : GCRY_MD_STRIBOG512, out.data(), data.data(),
                      data.size());
  return out;
}

Bytes gc_hmac_streebog(int bits, const Bytes& key, const Bytes& data) {
  gc_init();
  gcry_mac_hd_t h;
  gc_ok(gcry_mac_open(&h, bits == 256 ? GCRY_MAC_HMAC_STRIBOG256 : GCRY_MAC_HMAC_STRIBOG512, 0, nullptr),
        "gcry_mac_open");
  Bytes out(static_cast<std::size_t>(bits / 8));
  std::size_t n = out.size();
  gcry_error_t e = gcry_mac_setkey(h, key.data(), key.size());
  if (!e) e = gcry_mac_write(h, data.data(), data.size());
  if (!e) e = gcry_mac_read(h, out.data(), &n);
  gcry_mac_close(h);
  gc_ok(e, "HMAC-Streebog");
  return out;
}

Bytes gc_pbkdf2_streebog(int bits, const Bytes& password, const Bytes& salt, unsigned long iterations,
                         std::size_t len) {
  gc_init();
  Bytes out(len);
  gc_ok(gcry_kdf_derive(password.data(), password.size(), GCRY_KDF_PBKDF2,
                        bits == 256 ? GCRY_MD_STRIBOG256 : GCRY_MD_STRIBOG512, salt.data(), salt.size(),
                        iterations, len, out.data()),
        "gcry_kdf_derive");
  return out;
}

bool gp_available() { return gp_ctx() != nullptr; }

Bytes gp_cipher(const char* name, const Bytes& key, const Bytes& iv, const Bytes& data,
                bool encrypt, const std::vector<std::size_t>& pieces) {
  OSSL_LIB_CTX* lc = gp_ctx();
  if (!lc) return {};
  EVP_CIPHER* c = EVP_CIPHER_fetch(lc, name, nullptr);
  if (!c) return {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(data.size() + 16);
  int total = 0;
  bool ok = EVP_CipherInit_ex2(ctx, c, key.data(), iv.empty() ? nullptr : iv.data(),
                               encrypt ? 1 : 0, nullptr) == 1;
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::size_t off = 0;
  std::vector<std::size_t> cuts = pieces.empty() ? std::vector<std::size_t>{data.size()} : pieces;
  for (std::size_t i = 0; ok && off < data.size(); ++i) {
    std::size_t n = std::min(cuts[i % cuts.size()], data.size() - off);
    int outl = 0;
    ok = EVP_CipherUpdate(ctx, out.data() + total, &outl, data.data() + off, static_cast<int>(n)) == 1;
    total += outl;
    off += n;
  }
  int outl = 0;
  if (ok) ok = EVP_CipherFinal_ex(ctx, out.data() + total, &outl) == 1;
  total += outl;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(c);
  if (!ok) return {};
  out.resize(static_cast<std::size_t>(total));
  return out;
}

Bytes gp_digest(const char* name, const Bytes& data) {
  OSSL_LIB_CTX* lc = gp_ctx();
  if (!lc) return {};
  EVP_MD* md = EVP_MD_fetch(lc, name, nullptr);
  if (!md) return {};
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  bool ok = EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr) == 1;
  EVP_MD_free(md);
  if (!ok) return {};
  out.resize(len);
  return out;
}

Bytes gp_mac(const char* name, const Bytes& key, const Bytes& data) {
  OSSL_LIB_CTX* lc = gp_ctx();
  if (!lc) return {};
  EVP_MAC* mac = EVP_MAC_fetch(lc, name, nullptr);
  if (!mac) return {};
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  Bytes out(16);
  size_t len = 0;
  bool ok = ctx && EVP_MAC_init(ctx, key.data(), key.size(), nullptr) == 1 &&
            EVP_MAC_update(ctx, data.data(), data.size()) == 1 &&
            EVP_MAC_final(ctx, out.data(), &len, out.size()) == 1;
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  if (!ok) return {};
  out.resize(len);
  return out;
}

}  // namespace peers
