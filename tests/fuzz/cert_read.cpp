// Certificates from outside: CERT_read_buffer over DER, PEM (chains) and bare Base64, with every
// part of the record converted (names, extensions, key fingerprint). A record gives its DER,
// PEM and text back, and its DER reads again into the same certificate; a refusal leaves an
// error.
#include <cstdlib>
#include <cstring>

#include "crypto/cadb/cert.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  CERT* cert = CERT_read_buffer(data, static_cast<int>(size));
  if (!cert) {
    if (!ERR_peek_error()) std::abort();
    return 0;
  }
  if (CERT_chain_length(cert) < 1 || !cert->certificate) std::abort();
  if (cert->fingerprint && cert->fingerprint->length != 32) std::abort();
  BUFFER* der = CERT_get(cert, CERT_FORMAT_DER);
  if (!der) std::abort();
  CERT* back = CERT_read_buffer(der->data, der->length);
  if (!back) std::abort();  // the library cannot read what it gave out
  BUFFER* der2 = CERT_get(back, CERT_FORMAT_DER);
  if (!der2 || der2->length != der->length || std::memcmp(der->data, der2->data, static_cast<std::size_t>(der->length)))
    std::abort();
  BUFFER_free(der2);
  CERT_free(back);
  BUFFER_free(der);
  for (int format : {CERT_FORMAT_PEM, CERT_FORMAT_TEXT}) BUFFER_free(CERT_get(cert, format));
  CERT_free(cert);
  return 0;
}
