// The eToken carrier: eToken tokens and smart cards through the vendor SDK.
// Its support is not built: every test answers no, listing, erasure and directory removal
// fail, the carrier is never present, and its driver's open fails with a recorded error.
// Directories come into being through a placeholder file written and erased inside them.
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"

namespace jarnel {
namespace {
const char* const PREFIXES[] = {"eToken", "AKS ifdh", "Aladdin Token JC", nullptr};
}  // namespace

const CARRIER CARRIER_etoken = {
    .kind = Carrier::Etoken,
    .name = "eToken",
    .prefixes = PREFIXES,
    .bio_method = BIO_s_etoken,
    .session = true,
    .exists = CARRIER_absent_query,
    .is_file = CARRIER_absent_query,
    .is_directory = CARRIER_absent_query,
    .length = nullptr,
    .list = CARRIER_absent_list,
    .overwrite = true,
    .erase = CARRIER_absent_erase,
    .erase_line = 1147,
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
