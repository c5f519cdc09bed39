// The "FILE pointer" driver (drives and directories). Until the carrier support is built, opening through it fails
// with a recorded error.
#include "crypto/bio/driver_stub.h"
#include "crypto/bio/token.h"

namespace jarnel {
namespace {
const BIO_METHOD method = {BIO_TYPE_FILE, "FILE pointer", nullptr, nullptr, nullptr, nullptr,
                           token_stub_ctrl, token_file_create, token_stub_destroy};
}  // namespace

const BIO_METHOD* BIO_s_token_file() { return &method; }

}  // namespace jarnel
