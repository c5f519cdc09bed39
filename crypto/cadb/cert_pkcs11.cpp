// "certificate pkcs11 method": certificates kept as PKCS#11 certificate objects, named by the
// CKA_ID that is the file part of the context's token path. Reading takes the object's
// category into the context's kind and decodes its DER value; writing stores the record's DER
// with the context's kind as category.
#include "crypto/cadb/cert.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pkcs11/token_keys.h"

namespace jarnel {
namespace {

class Locked {
 public:
  explicit Locked(CERT_CTX* ctx) : ctx_(ctx) { CRYPTO_lock_mutex(ctx_->lock); }
  ~Locked() { CRYPTO_unlock_mutex(ctx_->lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  CERT_CTX* ctx_;
};

const char* path_of(const CERT_CTX* ctx) {
  return ctx->path ? reinterpret_cast<const char*>(ctx->path->data) : nullptr;
}

int pkcs11_read(CERT_CTX* ctx) {
  Locked l(ctx);
  const char* path = path_of(ctx);
  if (!path) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_READ, R_INTERNAL_ERROR);
    return 0;
  }
  CK_ULONG category = 0;
  unsigned char* der = nullptr;
  std::size_t len = 0;
  if (!PKCS11_read_certificate(path, ctx->callback_arg, &category, &der, &len)) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_READ, CADB_R_CADB_LIB);
    return 0;
  }
  CERT* c = len > 0 && len <= 0x7fffffff ? CERT_read_buffer(der, static_cast<int>(len)) : nullptr;
  mem_free(der);
  if (!c) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_READ, CADB_R_CADB_LIB);
    return 0;
  }
  CERT_free(ctx->cert);
  ctx->cert = c;
  ctx->kind = static_cast<int>(category);
  return 1;
}

// The object always holds DER, whatever format is asked for.
int pkcs11_write(CERT_CTX* ctx, int) {
  Locked l(ctx);
  const char* path = path_of(ctx);
  if (!path || !ctx->cert) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  BufPtr der(CERT_get(ctx->cert, CERT_FORMAT_DER));
  if (!der || der->length <= 0 ||
      !PKCS11_write_certificate(path, ctx->callback_arg, static_cast<CK_ULONG>(ctx->kind), der->data,
                                static_cast<std::size_t>(der->length))) {
    JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_WRITE, CADB_R_CADB_LIB);
    return 0;
  }
  return 1;
}

const CERT_METHOD kPkcs11Method = {"certificate pkcs11 method", pkcs11_read, pkcs11_write};

}  // namespace

const CERT_METHOD* CERT_pkcs11_method() { return &kPkcs11Method; }

}  // namespace jarnel
