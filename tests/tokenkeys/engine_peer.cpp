// The OpenSSL GOST engine through the ENGINE interface (built without OPENSSL_NO_DEPRECATED).
#include "engine_peer.h"

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>

namespace gosttest {
namespace {

ENGINE* engine() {
  static ENGINE* e = [] {
    ENGINE* x = ENGINE_by_id("gost");
    if (x && ENGINE_init(x)) {
      ENGINE_set_default(x, ENGINE_METHOD_ALL);
      return x;
    }
    return static_cast<ENGINE*>(nullptr);
  }();
  return e;
}
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct CtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

Pkey public_key(const std::vector<unsigned char>& spki) {
  if (!engine()) return nullptr;
  const unsigned char* p = spki.data();
  return Pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

}  // namespace

bool engine_available() { return engine() != nullptr; }

bool engine_verifies(const std::vector<unsigned char>& spki, const unsigned char digest_le[32],
                     const unsigned char sig[64]) {
  Pkey pk = public_key(spki);
  if (!pk) return false;
  PkeyCtx ctx(EVP_PKEY_CTX_new(pk.get(), engine()));
  return ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
         EVP_PKEY_verify(ctx.get(), sig, 64, digest_le, 32) == 1;
}

bool engine_derive(const std::vector<unsigned char>& pkcs8, const std::vector<unsigned char>& spki,
                   const unsigned char ukm[8], std::vector<unsigned char>& out) {
  Pkey peer = public_key(spki);
  const unsigned char* p = pkcs8.data();
  Pkey own(peer ? d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size())) : nullptr);
  if (!own) return false;
  PkeyCtx ctx(EVP_PKEY_CTX_new(own.get(), engine()));
  out.assign(64, 0);
  std::size_t len = out.size();
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 ||
      EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) <= 0 ||
      EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8,
                        const_cast<unsigned char*>(ukm)) <= 0 ||
      EVP_PKEY_derive(ctx.get(), out.data(), &len) <= 0)
    return false;
  out.resize(len);
  return true;
}

bool engine_write_public_pem(const std::vector<unsigned char>& spki, const std::string& path) {
  Pkey pk = public_key(spki);
  FILE* f = pk ? std::fopen(path.c_str(), "w") : nullptr;
  if (!f) return false;
  bool ok = PEM_write_PUBKEY(f, pk.get()) == 1;
  return std::fclose(f) == 0 && ok;
}

}  // namespace gosttest
