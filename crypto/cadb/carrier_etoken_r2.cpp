// The eToken R2 carrier: eToken tokens through the legacy interface library (crypto/bio/etr2.h).
// The driver holds an open file in memory and rewrites it whole at close; erasure overwrites
// the contents and deletes the file on the open object. Directories come into being when a
// file is written below them; the layer makes one by writing and erasing the placeholder
// "0001" inside it. A listing reports every name the library gives, without recursion.
#include "crypto/bio/etr2.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"
#include "crypto/cadb/token_dir.h"

namespace jarnel {
namespace {
const char* const PREFIXES[] = {"eTR2", nullptr};

int exists(const char* path) { return ETR2_stat(path) > 0; }
int is_file(const char* path) { return (ETR2_stat(path) & CADB_S_IFREG) != 0; }
int is_directory(const char* path) { return (ETR2_stat(path) & CADB_S_IFDIR) != 0; }

int list(const char* path, unsigned, CADB_list_callback cb, void* arg) {
  int bits = ETR2_stat(path);
  if (!bits) return 0;
  if (!(bits & CADB_S_IFDIR)) return CARRIER_report(path, cb, arg);
  TOKEN_DIR_LIST* entries = TOKEN_DIR_LIST_new();
  if (!entries) return 0;
  int result = ETR2_list(path, entries);
  char full[CADB_PATH_BUF];
  for (int i = 0; result && i < entries->count; ++i) {
    CADB_make_path(full, path, entries->items[i].name, nullptr);
    result = CARRIER_report(full, cb, arg);
  }
  TOKEN_DIR_LIST_free(entries);
  return result;
}

int erase(BIO** b, const char*) { return *b ? ETR2_delete(*b) : 0; }

}  // namespace

const CARRIER CARRIER_etoken_r2 = {
    .kind = Carrier::EtokenR2,
    .name = "eToken R2",
    .prefixes = PREFIXES,
    .bio_method = BIO_s_etoken_r2,
    .session = true,
    .exists = exists,
    .is_file = is_file,
    .is_directory = is_directory,
    .length = nullptr,
    .list = list,
    .overwrite = true,
    .erase = erase,
    .erase_line = 1136,
    .remove_missing = nullptr,
    .make_directory = nullptr,
    .placeholder_extension = nullptr,
    .remove_directory = ETR2_remove_directory,
    .rmdir_placeholder = true,
    .is_inserted = ETR2_is_inserted,
    .logout = ETR2_logout,
    .attach = ETR2_available,
    .startup = ETR2_startup,
    .shutdown = ETR2_shutdown,
    .set_passwd_cb = nullptr,
};

}  // namespace jarnel
