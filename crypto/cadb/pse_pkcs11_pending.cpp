// "PSE_CTX pkcs11 method" until containers kept as PKCS#11 objects are built: a new container
// is made in memory as by the default method, while opening, writing and erasing one on a
// PKCS#11 token fail with a recorded error.
#include "crypto/cadb/pse_ctx.h"
#include "crypto/err/err.h"

namespace jarnel {
namespace {

PSE* pkcs11_generate(PSE_CTX* ctx) { return PSE_CTX_default_method()->generate(ctx); }

PSE* pkcs11_read(PSE_CTX*) {
  JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR);
  ERR_set_status_once(PSE_STATUS_NOT_FOUND);
  JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_READ, LIB_CADB);
  return nullptr;
}

int pkcs11_write(PSE_CTX*) {
  JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_WRITE, R_INTERNAL_ERROR);
  return 0;
}

int pkcs11_erase(PSE_CTX*) {
  JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_ERASE, R_INTERNAL_ERROR);
  return 0;
}

const PSE_CTX_METHOD kPkcs11Method = {"PSE_CTX pkcs11 method", pkcs11_generate, pkcs11_read,
                                      pkcs11_write, pkcs11_erase};

}  // namespace

const PSE_CTX_METHOD* PSE_CTX_pkcs11_method() { return &kPkcs11Method; }

}  // namespace jarnel
