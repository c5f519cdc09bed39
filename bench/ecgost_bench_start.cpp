// Start-up of ecgost_bench, in a file of its own because the benchmark itself is built with
// OpenSSL's deprecated interfaces, whose legacy macros clash with the library's random header.
#include <openssl/rand.h>

#include "crypto/mem.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"

// The library as a key store runs it: started, and the GOST generator keyed (here from the
// system's entropy, there being no random board).
bool ecgost_bench_start() {
  jarnel::CADB_startup();
  if (jarnel::RAND_get_method()) return true;
  unsigned char seed[32];
  const bool ok = ::RAND_priv_bytes(seed, sizeof seed) == 1 && jarnel::GRAND_start(seed, sizeof seed);
  jarnel::mem_cleanse(seed, sizeof seed);
  return ok;
}
