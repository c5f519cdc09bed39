// The "Touch Memory" driver (iButton touch-memory keys). Until the carrier support is built, opening through it fails
// with a recorded error.
#include "crypto/bio/driver_stub.h"
#include "crypto/bio/token.h"

namespace jarnel {
namespace {
const BIO_METHOD method = {BIO_TYPE_FILE, "Touch Memory", nullptr, nullptr, nullptr, nullptr,
                           token_stub_ctrl, token_file_create, token_stub_destroy};
}  // namespace

const BIO_METHOD* BIO_s_touch_memory() { return &method; }

}  // namespace jarnel
