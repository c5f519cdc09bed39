// Master-key blobs and KEK images from outside: the blob (marker, share count, check value,
// shares) under a chosen container S-box, then the 36-byte KEK image under the key it held.
#include <cstdlib>

#include "crypto/cadb/pse_ctx.h"
#include "crypto/pse/mask.h"
#include "crypto/pse/pse.h"
#include "crypto/rus/gost89.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const int sbox_number = PSE_SBOX_FIRST + in.byte() % (PSE_SBOX_LAST - PSE_SBOX_FIRST + 1);
  auto kek = in.take(PSE_OPAQUE_BYTES);
  auto blob = in.rest();
  PSE* pse = PSE_new();
  if (!pse) return 0;
  if (PSE_set_sbox(pse, GOSTE_sbox_by_number(sbox_number)) &&
      PSE_load_mkey(&pse->mkey, blob.data(), static_cast<int>(blob.size()), pse->sbox) == 1) {
    // A loaded key is masked at rest.
    if (!MASK_key_is_masked(&pse->mkey)) std::abort();
    if (kek.size() == PSE_OPAQUE_BYTES && PSE_load_kek(pse, kek.data()) == 1 &&
        !MASK_key_is_masked(&pse->kek))
      std::abort();
  }
  PSE_free(pse);
  return 0;
}
