// The private number lives in a masked big number (XOR-masked, checked by CRC-32 when it is
// unmasked); a clear copy exists only for the span of one operation.
#include "crypto/ecgost/ec_priv.h"

#include "crypto/pse/mask.h"

namespace jarnel::ec {

bool priv_store(ECGOST* key, const BIGNUM* d) {
  MASKED_BN* m = MASK_BN_from_bn(d, key->curve ? BN_num_bytes(key->curve->q) : 0);
  if (!m) return false;
  MASK_BN_free(key->d);
  key->d = m;
  return true;
}

bool priv_load(const ECGOST* key, BIGNUM* out) {
  if (!key->d) return false;
  BIGNUM* clear = MASK_BN_unmasked_copy(key->d);
  const bool ok = clear && BN_copy(out, clear) != nullptr;
  BN_clear_free(clear);
  return ok;
}

bool priv_present(const ECGOST* key) { return key->d != nullptr; }

void priv_clear(ECGOST* key) {
  MASK_BN_free(key->d);
  key->d = nullptr;
}

}  // namespace jarnel::ec
