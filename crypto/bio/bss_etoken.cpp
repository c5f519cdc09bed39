// The "eToken" driver (eToken carriers through the vendor SDK). Until the carrier support is built, opening through it fails
// with a recorded error.
#include "crypto/bio/driver_stub.h"
#include "crypto/bio/token.h"

namespace jarnel {
namespace {
const BIO_METHOD method = {BIO_TYPE_FILE, "eToken", nullptr, nullptr, nullptr, nullptr,
                           token_stub_ctrl, token_stub_create, token_stub_destroy};
}  // namespace

const BIO_METHOD* BIO_s_etoken() { return &method; }

}  // namespace jarnel
