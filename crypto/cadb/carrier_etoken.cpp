// The eToken carrier: eToken tokens and smart cards through the "eToken" driver
// (crypto/bio/etoken.h).
// The driver holds an open file in memory and rewrites it whole at close; erasure overwrites
// the contents and deletes the file on the open object. Directories come into being when a
// file is written below them; the layer makes one by writing and erasing the placeholder
// "0001" inside it.
#include "crypto/bio/etoken.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"

namespace jarnel {
namespace {
const char* const PREFIXES[] = {"eToken", "AKS ifdh", "Aladdin Token JC", nullptr};

int list(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg) {
  return CARRIER_list_entries(path, list_flags, cb, arg, ET_exists, ET_is_directory, ET_list);
}

int erase(BIO** b, const char*) { return *b ? ET_delete(*b) : 0; }

}  // namespace

const CARRIER CARRIER_etoken = {
    .kind = Carrier::Etoken,
    .name = "eToken",
    .prefixes = PREFIXES,
    .bio_method = BIO_s_etoken,
    .session = true,
    .exists = ET_exists,
    .is_file = ET_is_file,
    .is_directory = ET_is_directory,
    .length = nullptr,
    .list = list,
    .overwrite = true,
    .erase = erase,
    .erase_line = 1147,
    .remove_missing = nullptr,
    .make_directory = nullptr,
    .placeholder_extension = nullptr,
    .remove_directory = ET_remove_directory,
    .rmdir_placeholder = true,
    .is_inserted = ET_is_inserted,
    .logout = ET_logout,
    .attach = ET_available,
    .startup = ETOKEN_startup,
    .shutdown = ETOKEN_shutdown,
    .set_passwd_cb = ETOKEN_set_passwd_cb,
};

}  // namespace jarnel
