// CRLs from outside: CRL_read_buffer over DER, PEM and bare Base64, with the issuer, the revoked
// entries and the CRL's and entries' extensions converted. A record's entries each carry a
// serial; a refusal leaves an error.
#include <cstdlib>

#include "crypto/cadb/x509v3.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  CRL* crl = CRL_read_buffer(data, static_cast<int>(size));
  if (!crl) {
    if (!ERR_peek_error()) std::abort();
    return 0;
  }
  if (!crl->crl) std::abort();
  for (const CADB_REVOKED* r = crl->revoked; r; r = r->next)
    if (!r->serial) std::abort();
  CRL_free(crl);
  return 0;
}
