#include "crypto/ecgost/ec_priv.h"

namespace jarnel::ec {

bool priv_store(ECGOST* key, const BIGNUM* d) {
  BIGNUM* v = BN_secure_new();
  if (!v || !BN_copy(v, d)) {
    BN_clear_free(v);
    return false;
  }
  BN_set_flags(v, BN_FLG_CONSTTIME);
  BN_clear_free(key->d);
  key->d = v;
  return true;
}

bool priv_load(const ECGOST* key, BIGNUM* out) { return key->d && BN_copy(out, key->d); }

bool priv_present(const ECGOST* key) { return key->d != nullptr; }

void priv_clear(ECGOST* key) {
  BN_clear_free(key->d);
  key->d = nullptr;
}

}  // namespace jarnel::ec
