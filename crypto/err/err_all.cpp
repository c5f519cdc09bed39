#include "crypto/err/err.h"
#include "crypto/hooks.h"

namespace jarnel {

void ERR_load_crypto_strings() {
  ERR_load_ERR_strings();
  ERR_load_BIO_token_strings();
  ERR_load_CADB_strings();
  ERR_load_ETOKEN_strings();
  ERR_load_RUTOKEN_strings();
  ERR_load_ETR2_strings();
  ERR_load_TM_strings();
  ERR_load_PKCS11_strings();
  ERR_load_PSE_strings();
  ERR_load_GOSTE_strings();
  ERR_load_GOSTH_strings();
  ERR_load_R3410_strings();
  ERR_load_ECGOST_strings();
  ERR_load_RAND_strings();
  ERR_load_GOSTS_strings();
}

}  // namespace jarnel
