// Steps of this module that the core calls before the module is built. Each does nothing and
// reports success; the module replaces it with its own definition and removes it from here.
#include "crypto/hooks.h"

namespace jarnel {

int RAND_startup(int) { return 1; }
int PSE_rand_startup() { return 1; }
void PSE_rand_shutdown() {}
void ERR_load_RAND_strings() {}
}  // namespace jarnel

// Until the GOST generator is built, random bytes come from the base library's generator.
#include <openssl/rand.h>

#include "crypto/err/err.h"
#include "crypto/rand/rand.h"

namespace jarnel {
int RAND_bytes(unsigned char* buf, int num) {
  if (num <= 0) return num == 0 ? 1 : 0;
  if (::RAND_bytes(buf, num) == 1) return 1;
  JARNEL_ERR(LIB_RAND, 0, R_INTERNAL_ERROR);
  return 0;
}
}  // namespace jarnel
