#include "crypto/hooks.h"

namespace jarnel {

// The BIO library's texts are part of the core tables (crypto/err/err_str.cpp); the token
// drivers add theirs here as they are built.
void ERR_load_BIO_token_strings() {}

}  // namespace jarnel
