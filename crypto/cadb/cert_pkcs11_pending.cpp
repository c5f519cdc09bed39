// "certificate pkcs11 method": certificate objects on PKCS#11 tokens. Until the token method is
// built, reading and writing through it fail cleanly with (66, 370 or 372, 12).
#include "crypto/cadb/cert.h"
#include "crypto/err/err.h"

namespace jarnel {
namespace {

int pending_read(CERT_CTX*) {
  JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_READ, R_INTERNAL_ERROR);
  return 0;
}

int pending_write(CERT_CTX*, int) {
  JARNEL_ERR(LIB_CADB, CADB_F_CERT_CTX_WRITE, R_INTERNAL_ERROR);
  return 0;
}

const CERT_METHOD kPkcs11Method = {"certificate pkcs11 method", pending_read, pending_write};

}  // namespace

const CERT_METHOD* CERT_pkcs11_method() { return &kPkcs11Method; }

}  // namespace jarnel
