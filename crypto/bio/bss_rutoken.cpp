// The "ruToken" driver (ruToken carriers). Until the carrier support is built, opening through it fails
// with a recorded error.
#include "crypto/bio/driver_stub.h"
#include "crypto/bio/token.h"

namespace jarnel {
namespace {
const BIO_METHOD method = {BIO_TYPE_FILE, "ruToken", nullptr, nullptr, nullptr, nullptr,
                           token_stub_ctrl, token_stub_create, token_stub_destroy};
}  // namespace

const BIO_METHOD* BIO_s_rutoken() { return &method; }

}  // namespace jarnel
