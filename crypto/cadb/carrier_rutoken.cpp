// The ruToken carrier: ruToken USB tokens through the "ruToken" driver (crypto/bio/rutoken.h).
// The driver holds an open file in memory and rewrites it whole at close; erasure overwrites
// the contents and deletes the file on the open object. Directories come into being when a
// file is written below them; the layer makes one by writing and erasing the placeholder
// "0001" inside it.
#include "crypto/bio/rutoken.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"

namespace jarnel {
namespace {
const char* const PREFIXES[] = {"ruToken", "Aktiv Co. ruToken", nullptr};

int list(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg) {
  return CARRIER_list_entries(path, list_flags, cb, arg, RT_exists, RT_is_directory, RT_list);
}

int erase(BIO** b, const char*) { return *b ? RT_delete(*b) : 0; }

}  // namespace

const CARRIER CARRIER_rutoken = {
    .kind = Carrier::Rutoken,
    .name = "ruToken",
    .prefixes = PREFIXES,
    .bio_method = BIO_s_rutoken,
    .session = true,
    .exists = RT_exists,
    .is_file = RT_is_file,
    .is_directory = RT_is_directory,
    .length = nullptr,
    .list = list,
    .overwrite = true,
    .erase = erase,
    .erase_line = 1158,
    .remove_missing = nullptr,
    .make_directory = nullptr,
    .placeholder_extension = nullptr,
    .remove_directory = RT_remove_directory,
    .rmdir_placeholder = true,
    .is_inserted = RT_is_inserted,
    .logout = RT_logout,
    .attach = RT_available,
    .startup = RUTOKEN_startup,
    .shutdown = RUTOKEN_shutdown,
    .set_passwd_cb = RUTOKEN_set_passwd_cb,
};

}  // namespace jarnel
