#pragma once
// The private number's store inside key objects. Code outside this header never touches the
// stored form directly, so the form can change without touching the algorithms.
#include <openssl/bn.h>

#include "crypto/ecgost/ec_local.h"

namespace jarnel::ec {

bool priv_store(ECGOST* key, const BIGNUM* d);
bool priv_load(const ECGOST* key, BIGNUM* out);
bool priv_present(const ECGOST* key);
void priv_clear(ECGOST* key);

}  // namespace jarnel::ec
