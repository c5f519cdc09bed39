// The container context: fields, setters and getters, item names, and the operations that wait
// for the carrier and call the method under the context's mutex.
#include "crypto/cadb/pse_ctx.h"

#include <cstring>

#include "crypto/cadb/cms.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rand/rand.h"
#include "crypto/str.h"

namespace jarnel {
namespace {

// Holds the context's mutex for a scope.
class CtxLock {
 public:
  explicit CtxLock(PSE_CTX* ctx) : ctx_(ctx) { CRYPTO_lock_mutex(ctx_->lock); }
  ~CtxLock() { CRYPTO_unlock_mutex(ctx_->lock); }
  CtxLock(const CtxLock&) = delete;
  CtxLock& operator=(const CtxLock&) = delete;

 private:
  PSE_CTX* ctx_;
};

bool null_ctx(const PSE_CTX* ctx, int func, const char* file = __builtin_FILE(),
              int line = __builtin_LINE()) {
  if (ctx) return false;
  ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
  ERR_put_error(LIB_CADB, func, R_INTERNAL_ERROR, file, line);
  return true;
}

// Replaces *slot with a copy of length bytes (length < 1: up to a zero byte; null data clears).
bool replace(BUFFER** slot, const void* data, int length) {
  BUFFER* copy = nullptr;
  if (data) {
    copy = BUFFER_fill(data, length < 1 ? -1 : length);
    if (!copy) return false;
  }
  BUFFER_free(*slot);
  *slot = copy;
  return true;
}

int set_contents(PSE_CTX* ctx, BUFFER* PSE_CTX::*field, const unsigned char* data, int length) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_SET_CONTENTS)) return 0;
  CtxLock lock(ctx);
  if (!replace(&(ctx->*field), data, length)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_SET_CONTENTS, R_MALLOC_FAILURE);
    return 0;
  }
  return 1;
}

int copy_out(const BUFFER* b, unsigned char* out, int* length) {
  if (!b || !b->data || !length) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_GET_CONTENTS, R_INTERNAL_ERROR);
    return 0;
  }
  int capacity = *length;
  *length = b->length;
  if (!out) return 1;
  if (capacity < b->length) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_GET_CONTENTS, R_INTERNAL_ERROR);
    return 0;
  }
  if (b->length) std::memcpy(out, b->data, static_cast<std::size_t>(b->length));
  return 1;
}

int get_contents(PSE_CTX* ctx, BUFFER* PSE_CTX::*field, unsigned char* out, int* length) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_GET_CONTENTS)) return 0;
  CtxLock lock(ctx);
  return copy_out(ctx->*field, out, length);
}

const PSE_CTX_METHOD* method_for(const char* path) {
  return path && ascii_has_prefix(path, "pkcs11") ? PSE_CTX_pkcs11_method()
                                                  : PSE_CTX_default_method();
}

// Item names: plain, iButton, smart card.
constexpr const char* kItemNames[6][3] = {
    {"mk.db3", "mk  .001", "a001"},   {"masks.db3", "mask.001", "b001"},
    {"kek.opq", "kek .001", "c001"},  {"rand.opq", "rand.001", "d001"},
    {"keys", "keys", "aaaa"},         {"store.pfx", "stor.001", "e001"}};
constexpr const char* kSmartCardPrefixes[] = {"eTR2",    "eToken",           "AKS ifdh",
                                              "Aladdin Token JC", "ruToken",
                                              "Aktiv Co. ruToken"};

ERR_STRING_DATA g_pse_ctx_strings[] = {
    {ERR_pack(0, CADB_F_BUFFER_ENCRYPT, 0), "BUFFER_encrypt"},
    {ERR_pack(0, CADB_F_BUFFER_DECRYPT, 0), "BUFFER_decrypt"},
    {ERR_pack(0, CADB_F_PSE_CTX_NEW, 0), "PSE_CTX_new"},
    {ERR_pack(0, CADB_F_PSE_CTX_READ, 0), "PSE_CTX_read"},
    {ERR_pack(0, CADB_F_PSE_CTX_WRITE, 0), "PSE_CTX_write"},
    {ERR_pack(0, CADB_F_PSE_CTX_GENERATE, 0), "PSE_CTX_generate"},
    {ERR_pack(0, CADB_F_PSE_CTX_ERASE, 0), "PSE_CTX_erase"},
    {ERR_pack(0, CADB_F_PSE_CTX_SET_PATH, 0), "PSE_CTX_set_path"},
    {ERR_pack(0, CADB_F_PSE_CTX_SET_CONTENTS, 0), "PSE_CTX_set_contents"},
    {ERR_pack(0, CADB_F_PSE_CTX_GET_CONTENTS, 0), "PSE_CTX_get_contents"},
    {ERR_pack(0, CADB_F_PSE_CTX_GET_RAND, 0), "PSE_CTX_get_rand"},
    {ERR_pack(0, CADB_F_PSE_CTX_SET, 0), "PSE_CTX_set"},
    {ERR_pack(0, CADB_F_PSE_CTX_GET_PSE, 0), "PSE_CTX_get_pse"},
    {ERR_pack(0, 0, CADB_R_INTEGRITY_CHECK_FAILED), "integrity check value failure"},
    {ERR_pack(0, 0, CADB_R_ENCRYPTED_DATA_EXPECTED), "encrypted data expected"},
    {ERR_pack(0, 0, CADB_R_DIGESTED_DATA_EXPECTED), "digested data expected"},
    {ERR_pack(0, 0, CADB_R_DATA_EXPECTED), "data expected"},
    {0, nullptr}};

ERR_STRING_DATA g_pkcs7_strings[] = {
    {ERR_pack(0, P7_F_CMS_NEW, 0), "CADB_CMS_new"},
    {ERR_pack(0, P7_F_CMS_SET, 0), "CADB_CMS_set"},
    {ERR_pack(0, P7_F_CMS_ADD, 0), "CADB_CMS_add"},
    {ERR_pack(0, P7_F_CMS_FINISH, 0), "CADB_CMS_finish"},
    {ERR_pack(0, P7_F_CMS_ENCODE, 0), "CADB_CMS_encode"},
    {ERR_pack(0, P7_F_CMS_PARSE, 0), "CADB_CMS_parse"},
    {ERR_pack(0, P7_F_CMS_DECRYPT, 0), "CADB_CMS_decrypt"},
    {ERR_pack(0, P7_F_CMS_VERIFY, 0), "CADB_CMS_verify_digest"},
    {ERR_pack(0, P7_F_CMS_CONTENT, 0), "CADB_CMS_take_content"},
    {ERR_pack(0, 0, P7_R_DIGEST_FAILURE), "digest failure"},
    {ERR_pack(0, 0, P7_R_OPERATION_NOT_SUPPORTED), "operation not supported on this type"},
    {ERR_pack(0, 0, P7_R_UNSUPPORTED_CIPHER_TYPE), "unsupported cipher type"},
    {ERR_pack(0, 0, P7_R_UNSUPPORTED_CONTENT_TYPE), "unsupported content type"},
    {ERR_pack(0, 0, P7_R_WRONG_CONTENT_TYPE), "wrong content type"},
    {ERR_pack(0, 0, P7_R_CIPHER_NOT_INITIALIZED), "cipher not initialized"},
    {ERR_pack(0, 0, P7_R_DECRYPT_ERROR), "decrypt error"},
    {ERR_pack(0, 0, P7_R_NO_CONTENT), "no content"},
    {0, nullptr}};

}  // namespace

void ERR_load_PSE_CTX_strings() {
  ERR_load_strings(LIB_CADB, g_pse_ctx_strings);
  ERR_load_strings(LIB_PKCS7, g_pkcs7_strings);
}

const char* PSE_item_name(const char* container_path, PseItem item) {
  int column = 0;
  if (container_path && ascii_has_prefix(container_path, "iButton")) {
    column = 1;
  } else if (container_path) {
    for (const char* prefix : kSmartCardPrefixes)
      if (ascii_has_prefix(container_path, prefix)) column = 2;
  }
  return kItemNames[static_cast<int>(item)][column];
}

int PSE_item_path(const char* container_path, PseItem item, char* out) {
  if (!container_path || !out || std::strlen(container_path) > PSE_CTX_PATH_MAX) return 0;
  CADB_make_path(out, container_path, PSE_item_name(container_path, item), nullptr);
  return 1;
}

PSE_CTX* PSE_CTX_new() {
  auto* ctx = static_cast<PSE_CTX*>(mem_alloc(sizeof(PSE_CTX)));
  if (ctx) {
    std::memset(ctx, 0, sizeof *ctx);
    if (!CRYPTO_create_mutex(&ctx->lock)) {
      mem_free(ctx);
      ctx = nullptr;
    }
  }
  if (!ctx) {
    ERR_set_status(PSE_STATUS_NO_MEMORY);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  ctx->shares = PSE_CTX_DEFAULT_SHARES;
  ctx->sbox_number = PSE_CTX_DEFAULT_SBOX;
  ctx->method = PSE_CTX_default_method();
  return ctx;
}

void PSE_CTX_free(PSE_CTX* ctx) {
  if (!ctx) return;
  MUTEX lock = ctx->lock;
  CRYPTO_lock_mutex(lock);
  for (BUFFER** b : {&ctx->path, &ctx->mk, &ctx->mask, &ctx->kek, &ctx->rand, &ctx->password,
                     &ctx->login_arg}) {
    BUFFER_free(*b);  // wipes the bytes first
    *b = nullptr;
  }
  PSE_free(ctx->pse);
  mem_cleanse(ctx, sizeof *ctx);
  CRYPTO_unlock_mutex(lock);
  CRYPTO_destroy_mutex(lock);
  mem_free(ctx);
}

int PSE_CTX_set_path(PSE_CTX* ctx, const char* path, int length) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_SET_PATH)) return 0;
  if (!path) {
    ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_SET_PATH, R_INTERNAL_ERROR);
    return 0;
  }
  CtxLock lock(ctx);
  // The text stops at a zero byte whatever the length says.
  int n = static_cast<int>(strnlen(path, length < 1 ? static_cast<std::size_t>(-1) / 2
                                                    : static_cast<std::size_t>(length)));
  BUFFER* copy = BUFFER_fill(path, n);
  if (!copy) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_SET_PATH, R_MALLOC_FAILURE);
    return 0;
  }
  BUFFER_free(ctx->path);
  ctx->path = copy;
  ctx->method = method_for(reinterpret_cast<const char*>(copy->data));
  return 1;
}

const char* PSE_CTX_get_path(PSE_CTX* ctx) {
  return ctx && ctx->path ? reinterpret_cast<const char*>(ctx->path->data) : nullptr;
}

#define PSE_CTX_SETTER(body)                              \
  if (null_ctx(ctx, CADB_F_PSE_CTX_SET)) return 0;        \
  CtxLock lock(ctx);                                      \
  body;                                                   \
  return 1

int PSE_CTX_set_callback_data(PSE_CTX* ctx, void* data) { PSE_CTX_SETTER(ctx->callback_data = data); }
int PSE_CTX_set_password_callback(PSE_CTX* ctx, password_cb cb) {
  PSE_CTX_SETTER(ctx->password_callback = cb);
}
int PSE_CTX_set_seed_source(PSE_CTX* ctx, RAND_KEY_CALLBACK cb, void* arg) {
  PSE_CTX_SETTER(ctx->seed_cb = cb; ctx->seed_arg = arg);
}
int PSE_CTX_set_insert_callback(PSE_CTX* ctx, CADB_waiter cb, void* arg) {
  PSE_CTX_SETTER(ctx->insert_cb = cb; ctx->insert_arg = arg);
}
int PSE_CTX_set_notify(PSE_CTX* ctx, PSE_CTX_notify_cb cb) { PSE_CTX_SETTER(ctx->notify = cb); }
int PSE_CTX_set_flags(PSE_CTX* ctx, unsigned flags) { PSE_CTX_SETTER(ctx->flags = flags); }
int PSE_CTX_set_io_flags(PSE_CTX* ctx, std::uint32_t flags) { PSE_CTX_SETTER(ctx->io_flags = flags); }
int PSE_CTX_set_method(PSE_CTX* ctx, const PSE_CTX_METHOD* method) {
  PSE_CTX_SETTER(ctx->method = method ? method : method_for(PSE_CTX_get_path(ctx)));
}

unsigned PSE_CTX_get_flags(PSE_CTX* ctx) { return ctx ? ctx->flags : 0; }

int PSE_CTX_set_shares(PSE_CTX* ctx, int shares) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_SET)) return 0;
  if (shares < 1 || shares > 255) {
    ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_SET, R_INTERNAL_ERROR);
    return 0;
  }
  CtxLock lock(ctx);
  ctx->shares = shares;
  return 1;
}

int PSE_CTX_set_sbox_number(PSE_CTX* ctx, int number) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_SET)) return 0;
  if (number < PSE_SBOX_FIRST || number > PSE_SBOX_LAST) {
    ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_SET, R_INTERNAL_ERROR);
    return 0;
  }
  CtxLock lock(ctx);
  ctx->sbox_number = number;
  return 1;
}

int PSE_CTX_set_password(PSE_CTX* ctx, const char* password, int length) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_SET)) return 0;
  CtxLock lock(ctx);
  if (password && length < 1) length = static_cast<int>(std::strlen(password));
  // An empty password is a password: keep a buffer of length 0 rather than none.
  BUFFER* copy = nullptr;
  if (password && !(copy = BUFFER_fill(password, length))) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_SET, R_MALLOC_FAILURE);
    return 0;
  }
  BUFFER_free(ctx->password);
  ctx->password = copy;
  return 1;
}

int PSE_CTX_set_login_arg(PSE_CTX* ctx, const void* data, int length) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_SET)) return 0;
  CtxLock lock(ctx);
  if (!replace(&ctx->login_arg, data, length)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_SET, R_MALLOC_FAILURE);
    return 0;
  }
  return 1;
}

int PSE_CTX_set_mk(PSE_CTX* ctx, const unsigned char* data, int length) {
  return set_contents(ctx, &PSE_CTX::mk, data, length);
}
int PSE_CTX_set_mask(PSE_CTX* ctx, const unsigned char* data, int length) {
  return set_contents(ctx, &PSE_CTX::mask, data, length);
}
int PSE_CTX_set_kek(PSE_CTX* ctx, const unsigned char* data, int length) {
  return set_contents(ctx, &PSE_CTX::kek, data, length);
}
int PSE_CTX_set_rand(PSE_CTX* ctx, const unsigned char* data, int length) {
  return set_contents(ctx, &PSE_CTX::rand, data, length);
}
int PSE_CTX_get_mk(PSE_CTX* ctx, unsigned char* out, int* length) {
  return get_contents(ctx, &PSE_CTX::mk, out, length);
}
int PSE_CTX_get_kek(PSE_CTX* ctx, unsigned char* out, int* length) {
  return get_contents(ctx, &PSE_CTX::kek, out, length);
}

int PSE_CTX_get_mask(PSE_CTX* ctx, unsigned char* out, int* length) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_GET_CONTENTS)) return 0;
  CtxLock lock(ctx);
  if (!ctx->password || !ctx->mask || !ctx->mask->data) return copy_out(ctx->mask, out, length);
  static const unsigned char none = 0;
  BUFFER* sealed = BUFFER_encrypt(ctx->mask->data, ctx->mask->length, CMS_NID_rus_gammar,
                                  ctx->password->data ? ctx->password->data : &none,
                                  ctx->password->length ? ctx->password->length : 0, -1,
                                  CMS_FORMAT_DER);
  int ok = sealed ? copy_out(sealed, out, length) : 0;
  BUFFER_free(sealed);
  return ok;
}

int PSE_CTX_get_rand(PSE_CTX* ctx, unsigned char* out, int* size) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_GET_RAND)) return 0;
  CtxLock lock(ctx);
  if (!size) {
    ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_GET_RAND, R_INTERNAL_ERROR);
    return 0;
  }
  if (!PSE_rand_is_ready()) {
    ERR_set_status(PSE_STATUS_RAND);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_GET_RAND, R_INTERNAL_ERROR);
    return 0;
  }
  int capacity = *size;
  *size = PSE_OPAQUE_BYTES;
  if (!out) return 1;
  if (capacity < PSE_OPAQUE_BYTES) return 0;
  if (!PSE_rand_save_state(ctx->pse, out)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_GET_RAND, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int PSE_CTX_read(PSE_CTX* ctx) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_READ)) return 0;
  CtxLock lock(ctx);
  PSE_free(ctx->pse);
  ctx->pse = nullptr;
  const RAND_METHOD* method_before = RAND_get_method();
  const char* path = PSE_CTX_get_path(ctx);
  if (path && !CADB_wait_for_carrier(path, ctx->insert_cb, ctx->insert_arg)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR);
    return 0;
  }
  if (!ctx->method || !ctx->method->read) return 1;
  PSE* pse = ctx->method->read(ctx);
  if (!pse) {
    // A failed open leaves the generator as it found it.
    if (!RAND_get_method() && method_before) RAND_set_method(method_before);
    return 0;
  }
  ctx->pse = pse;
  return 1;
}

int PSE_CTX_generate(PSE_CTX* ctx) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_GENERATE)) return 0;
  CtxLock lock(ctx);
  if (!ctx->method || !ctx->method->generate) return 1;
  PSE* pse = ctx->method->generate(ctx);
  if (!pse) return 0;
  PSE_free(ctx->pse);
  ctx->pse = pse;
  return 1;
}

int PSE_CTX_write(PSE_CTX* ctx) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_WRITE)) return 0;
  CtxLock lock(ctx);
  const char* path = PSE_CTX_get_path(ctx);
  if (path && !CADB_wait_for_carrier(path, ctx->insert_cb, ctx->insert_arg)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  if (!ctx->method || !ctx->method->write) return 1;
  return ctx->method->write(ctx) ? 1 : 0;
}

int PSE_CTX_erase(PSE_CTX* ctx) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_ERASE)) return 0;
  CtxLock lock(ctx);
  const char* path = PSE_CTX_get_path(ctx);
  if (path && !CADB_wait_for_carrier(path, ctx->insert_cb, ctx->insert_arg)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_ERASE, R_INTERNAL_ERROR);
    return 0;
  }
  if (!ctx->method || !ctx->method->erase) return 1;
  return ctx->method->erase(ctx) ? 1 : 0;
}

PSE* PSE_CTX_get_pse(PSE_CTX* ctx) {
  if (null_ctx(ctx, CADB_F_PSE_CTX_GET_PSE)) return nullptr;
  CtxLock lock(ctx);
  return ctx->pse;
}

}  // namespace jarnel
