// "PKEY_CTX pkcs11 method": keys whose private part stays on a PKCS#11 token. Until it is
// built, every operation fails cleanly with an internal error.
#include "crypto/cadb/pkey.h"
#include "crypto/err/err.h"

namespace jarnel {
namespace {

int not_built_generate(PKEY_CTX*, int, int) {
  JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_GENERATE, R_INTERNAL_ERROR);
  return 0;
}
int not_built_read(PKEY_CTX*) {
  JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_READ, R_INTERNAL_ERROR);
  return 0;
}
int not_built_write(PKEY_CTX*, int, int) {
  JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_WRITE, R_INTERNAL_ERROR);
  return 0;
}

constexpr PKEY_METHOD kPkcs11{"PKEY_CTX pkcs11 method", not_built_generate, not_built_read,
                              not_built_write};

}  // namespace

const PKEY_METHOD* PKEY_pkcs11_method() { return &kPkcs11; }

}  // namespace jarnel
