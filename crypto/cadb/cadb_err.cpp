// Texts of the file layer's functions (library 66) and of the buffer functions (library 7).
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"
#include "crypto/cadb/cert.h"
#include "crypto/cadb/pkey.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"

namespace jarnel {
namespace {

ERR_STRING_DATA g_cadb_functions[] = {
    {ERR_pack(LIB_CADB, CADB_F_CADB_WRITE_FILE, 0), "CADB_write_file"},
    {ERR_pack(LIB_CADB, CADB_F_CADB_ERASE_FILE, 0), "CADB_erase_file"},
    {ERR_pack(LIB_CADB, CADB_F_CADB_MKDIR, 0), "CADB_mkdir"},
    {ERR_pack(LIB_CADB, CADB_F_CADB_TOKEN_MKDIR, 0), "CADB_token_mkdir"},
    {ERR_pack(LIB_CADB, CADB_F_CADB_TOKEN_RMDIR, 0), "CADB_token_rmdir"},
    {ERR_pack(LIB_CADB, CADB_F_CADB_LIST_DIRECTORY, 0), "CADB_list_directory"},
    {0, nullptr}};

ERR_STRING_DATA g_buffer_functions[] = {
    {ERR_pack(LIB_BUF, BUF_F_BUFFER_NEW, 0), "BUFFER_new"},
    {ERR_pack(LIB_BUF, BUF_F_BUFFER_FILL, 0), "BUFFER_fill"},
    {ERR_pack(LIB_BUF, BUF_F_BUFFER_CAT, 0), "BUFFER_cat"},
    {ERR_pack(LIB_BUF, BUF_F_BUFFER_READ_FILE, 0), "BUFFER_read_file"},
    {0, nullptr}};

}  // namespace

void ERR_load_CADB_strings() {
  ERR_load_strings(LIB_CADB, g_cadb_functions);
  ERR_load_strings(LIB_BUF, g_buffer_functions);
  ERR_load_PSE_CTX_strings();
  ERR_load_CERT_strings();
  ERR_load_PKEY_strings();
}

}  // namespace jarnel
