// Key-container items, keys and certificates kept as objects on a PKCS#11 token, reached by paths
// that begin with "pkcs11". The store answers existence, listing, erasure, presence, attach and
// logout; reading, writing, length, the type tests and directories of such paths follow the
// file-system rules. Its module binding starts and stops with the PKCS#11 client, not here.
#include "crypto/bio/bio.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"
#include "crypto/pkcs11/store.h"

namespace jarnel {
namespace {
const char* const PREFIXES[] = {"pkcs11", nullptr};

int store_exists(const char* path) { return PKCS11_object_exists(path); }

int store_list(const char* path, unsigned list_flags, CADB_list_callback cb, void* arg) {
  return PKCS11_list_objects(path, list_flags, cb, arg);
}

// The store deletes by path; an open file, if any, is closed first.
int store_erase(BIO** b, const char* path) {
  if (b && *b) {
    BIO_free(*b);
    *b = nullptr;
  }
  return PKCS11_delete_by_path(path);
}

int store_delete(const char* path, void* callback_arg) {
  return PKCS11_delete_by_path(path, callback_arg);
}

int store_attach(const char* path) { return PKCS11_module_check(path); }

}  // namespace

const CARRIER CARRIER_pkcs11 = {
    .kind = Carrier::Pkcs11,
    .name = "PKCS#11",
    .prefixes = PREFIXES,
    .bio_method = BIO_s_token_file,
    .session = false,
    .exists = store_exists,
    .is_file = CARRIER_fs_is_file,
    .is_directory = CARRIER_fs_is_directory,
    .length = CARRIER_fs_length,
    .list = store_list,
    // The store deletes its objects by path; there is nothing to overwrite.
    .overwrite = false,
    .erase = store_erase,
    .erase_line = 1169,
    .remove_missing = nullptr,
    .make_directory = CARRIER_fs_make_directory,
    .placeholder_extension = nullptr,
    .remove_directory = CARRIER_fs_remove_directory,
    .rmdir_placeholder = false,
    .is_inserted = PKCS11_is_inserted,
    .logout = PKCS11_logout_path,
    .attach = store_attach,
    .startup = nullptr,
    .shutdown = nullptr,
    .set_passwd_cb = nullptr,
    .delete_path = store_delete,
};

}  // namespace jarnel
