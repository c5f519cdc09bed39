// Key-container files kept as data objects on a PKCS#11 token, reached by paths that begin with
// "pkcs11". The store answers existence, listing, erasure, presence, attach and logout; reading,
// writing, length, the type tests and directories of such paths follow the file-system rules.
// The store is not built: it finds nothing, lists and deletes nothing, and no token is present.
// Its module binding starts and stops with the PKCS#11 client, not here.
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"

namespace jarnel {
namespace {
const char* const PREFIXES[] = {"pkcs11", nullptr};
}  // namespace

const CARRIER CARRIER_pkcs11 = {
    .kind = Carrier::Pkcs11,
    .name = "PKCS#11",
    .prefixes = PREFIXES,
    .bio_method = BIO_s_token_file,
    .session = false,
    .exists = CARRIER_absent_query,
    .is_file = CARRIER_fs_is_file,
    .is_directory = CARRIER_fs_is_directory,
    .length = CARRIER_fs_length,
    .list = CARRIER_absent_list,
    // The store deletes its objects by path; there is nothing to overwrite.
    .overwrite = false,
    .erase = CARRIER_absent_erase,
    .erase_line = 1169,
    .remove_missing = nullptr,
    .make_directory = CARRIER_fs_make_directory,
    .placeholder_extension = nullptr,
    .remove_directory = CARRIER_fs_remove_directory,
    .rmdir_placeholder = false,
    .is_inserted = CARRIER_absent_query,
    .logout = CARRIER_absent_query,
    .attach = CARRIER_absent_query,
    .startup = nullptr,
    .shutdown = nullptr,
    .set_passwd_cb = nullptr,
};

}  // namespace jarnel
