// OpenSSL's own error queue, reached from a file of its own because OpenSSL's error header and
// the library's cannot share a translation unit.
#include <openssl/err.h>

namespace jarnel::pkey {

void ossl_clear() { ERR_clear_error(); }

}  // namespace jarnel::pkey
