// Marks in OpenSSL's own error queue, kept in a file of their own because OpenSSL's error
// header and the library's cannot share a translation unit. Used around OpenSSL calls whose
// failure is an expected answer (a non-residue, a non-invertible value) rather than an error.
#include <openssl/err.h>

namespace jarnel::ec {

void ossl_mark() { ERR_set_mark(); }
void ossl_pop() { ERR_pop_to_mark(); }

}  // namespace jarnel::ec
