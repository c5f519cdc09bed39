// The two extensions the library decodes from their DER itself (OpenSSL has none):
// biometricInfo and subjectDirectoryAttributes (first byte chooses). Neither may crash, leak or
// read past the input; the result is freed.
#include <vector>

#include "crypto/cadb/x509v3.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const bool biometric = in.flag();
  auto der = in.rest();
  // A copy of exactly the input's length, so a read past it is caught.
  std::vector<unsigned char> exact(der.begin(), der.end());
  if (biometric) CADB_BIOMETRIC_free(CADB_BIOMETRIC_parse_der(exact.data(), static_cast<long>(exact.size())));
  else CADB_ATTRIBUTES_free(CADB_ATTRIBUTES_parse_der(exact.data(), static_cast<long>(exact.size())));
  return 0;
}
