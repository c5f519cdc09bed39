#pragma once
// The private number's store inside key objects (a masked big number). Code outside this
// header never touches the stored form directly.
#include <openssl/bn.h>

#include "crypto/ecgost/ec_local.h"

namespace jarnel::ec {

bool priv_store(ECGOST* key, const BIGNUM* d);
bool priv_load(const ECGOST* key, BIGNUM* out);
bool priv_present(const ECGOST* key);
void priv_clear(ECGOST* key);

}  // namespace jarnel::ec
