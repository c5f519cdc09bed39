// The "eToken R2" driver (eToken R2 carriers through the legacy library). Until the carrier support is built, the method exists
// with its name and type and opening through it fails with a recorded error.
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"

namespace jarnel {
namespace {
const BIO_METHOD method = {BIO_TYPE_FILE, "eToken R2", nullptr, nullptr, nullptr, nullptr,
                           CARRIER_absent_bio_ctrl, token_file_create, CARRIER_absent_bio_destroy};
}  // namespace

const BIO_METHOD* BIO_s_etoken_r2() { return &method; }

}  // namespace jarnel
