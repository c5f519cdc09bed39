// The ruToken carrier: ruToken USB tokens.
// Its support is not built: every test answers no, listing, erasure and directory removal
// fail, the carrier is never present, and its driver's open fails with a recorded error.
// Directories come into being through a placeholder file written and erased inside them.
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"

namespace jarnel {
namespace {
const char* const PREFIXES[] = {"ruToken", "Aktiv Co. ruToken", nullptr};
}  // namespace

const CARRIER CARRIER_rutoken = {
    .kind = Carrier::Rutoken,
    .name = "ruToken",
    .prefixes = PREFIXES,
    .bio_method = BIO_s_rutoken,
    .session = true,
    .exists = CARRIER_absent_query,
    .is_file = CARRIER_absent_query,
    .is_directory = CARRIER_absent_query,
    .length = nullptr,
    .list = CARRIER_absent_list,
    .overwrite = true,
    .erase = CARRIER_absent_erase,
    .erase_line = 1158,
    .remove_missing = nullptr,
    .make_directory = nullptr,
    .placeholder_extension = nullptr,
    .remove_directory = CARRIER_absent_query,
    .rmdir_placeholder = true,
    .is_inserted = CARRIER_absent_query,
    .logout = CARRIER_absent_query,
    .attach = CARRIER_absent_query,
    .startup = nullptr,
    .shutdown = nullptr,
    .set_passwd_cb = nullptr,
};

}  // namespace jarnel
