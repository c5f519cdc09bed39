// The "eToken R2" driver (eToken R2 carriers through the legacy library). Until the carrier support is built, opening through it fails
// with a recorded error.
#include "crypto/bio/driver_stub.h"
#include "crypto/bio/token.h"

namespace jarnel {
namespace {
const BIO_METHOD method = {BIO_TYPE_FILE, "eToken R2", nullptr, nullptr, nullptr, nullptr,
                           token_stub_ctrl, token_stub_create, token_stub_destroy};
}  // namespace

const BIO_METHOD* BIO_s_etoken_r2() { return &method; }

}  // namespace jarnel
