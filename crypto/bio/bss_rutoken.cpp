// The "ruToken" driver (ruToken carriers). Until the carrier support is built, the method exists
// with its name and type and opening through it fails with a recorded error.
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"

namespace jarnel {
namespace {
const BIO_METHOD method = {BIO_TYPE_FILE, "ruToken", nullptr, nullptr, nullptr, nullptr,
                           CARRIER_absent_bio_ctrl, token_file_create, CARRIER_absent_bio_destroy};
}  // namespace

const BIO_METHOD* BIO_s_rutoken() { return &method; }

}  // namespace jarnel
