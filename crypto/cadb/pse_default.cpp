// "PSE_CTX default method": the container as files on a carrier, reached through the token-file
// operations.
#include <cstring>
#include <memory>

#include "crypto/bio/token.h"
#include "crypto/cadb/cms.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/cadb/pse_method_util.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost89.h"

namespace jarnel {
namespace {

struct BufferFree {
  void operator()(BUFFER* b) const { BUFFER_free(b); }
};
using BufferPtr = std::unique_ptr<BUFFER, BufferFree>;
struct PseFree {
  void operator()(PSE* p) const { PSE_free(p); }
};
using PsePtr = std::unique_ptr<PSE, PseFree>;

// The call-back argument of every file operation.
void* file_arg(const PSE_CTX* ctx) { return ctx->login_arg ? ctx->login_arg->data : nullptr; }

#define STEP_FAILED(func) JARNEL_ERR(LIB_CADB, (func), R_INTERNAL_ERROR)

// The contents of an item: the context's, else read from the carrier and kept in the context.
bool load_item(PSE_CTX* ctx, BUFFER* PSE_CTX::*field, PseItem item) {
  if (ctx->*field) return true;
  char path[CADB_PATH_BUF];
  if (!PSE_item_path(PSE_CTX_get_path(ctx), item, path)) return false;
  BUFFER* contents = BUFFER_read_file(path, ctx->io_flags, file_arg(ctx));
  if (!contents) return false;
  ctx->*field = contents;
  return true;
}

// Mask-password step: a mask file in password-protected form is decrypted; anything else is
// used as it is. A password got from the call-back stays in the context, so that writing the
// container again keeps the mask protected.
BUFFER* unlock_mask(PSE_CTX* ctx, BUFFER* mask) {
  if (CADB_CMS_probe_type(mask->data, mask->length) != CMS_NID_encrypted)
    return BUFFER_fill(mask->data, mask->length);
  SecureBuffer asked;
  const unsigned char* password;
  int length;
  if (ctx->password) {
    password = ctx->password->data;
    length = ctx->password->length;
  } else {
    if (!ctx->password_callback || !asked.resize(PSE_CTX_PASSWORD_MAX + 1)) return nullptr;
    length = ctx->password_callback(reinterpret_cast<char*>(asked.data()), PSE_CTX_PASSWORD_MAX, 0,
                                    ctx->callback_data);
    if (length < 0 || length > PSE_CTX_PASSWORD_MAX) return nullptr;
    password = asked.data();
  }
  static const unsigned char none = 0;
  // A length of 0 means an empty password, which the decryption reads up to the zero byte.
  BUFFER* clear = BUFFER_decrypt(mask->data, mask->length, length ? password : &none, length, -1);
  if (clear && !ctx->password) {
    ctx->password = BUFFER_fill(password, length);
    if (!ctx->password) {
      BUFFER_free(clear);
      return nullptr;
    }
  }
  return clear;
}

// Step 8 of the open: seeds the generator from the container's random state and rewrites the
// state file that was read.
bool seed_from_container(PSE_CTX* ctx, PSE* pse) {
  if ((ctx->flags & PSE_CTX_FLAG_NO_RAND) || RAND_get_method()) return true;
  char path[CADB_PATH_BUF];
  const char* base = PSE_CTX_get_path(ctx);
  bool have_path = PSE_item_path(base, PseItem::Rand, path) != 0;
  BufferPtr from_carrier;
  const BUFFER* record = ctx->rand;
  if (!record && have_path && CADB_file_exists(path)) {
    RandNotify notify(ctx);
    from_carrier.reset(BUFFER_read_file(path, ctx->io_flags, file_arg(ctx)));
    if (!from_carrier) return false;
    record = from_carrier.get();
  }
  if (record && record->length != PSE_OPAQUE_BYTES) return false;
  // The record is read, not rewritten in place: the carrier gets a fresh record below.
  SecureBuffer seed_record(PSE_OPAQUE_BYTES);
  if (seed_record.empty()) return false;
  if (record) std::memcpy(seed_record.data(), record->data, PSE_OPAQUE_BYTES);
  if (!PSE_rand_init(pse, record ? seed_record.data() : nullptr, nullptr, ctx->seed_cb,
                     ctx->seed_arg))
    return false;
  if (!from_carrier) return true;
  unsigned char fresh[PSE_OPAQUE_BYTES];
  bool ok = PSE_rand_save_state(pse, fresh) != 0;
  if (ok) {
    RandNotify notify(ctx);
    ok = CADB_write_file(path, fresh, PSE_OPAQUE_BYTES, ctx->io_flags, file_arg(ctx)) ==
         PSE_OPAQUE_BYTES;
  }
  mem_cleanse(fresh, sizeof fresh);
  return ok;
}

PSE* default_read(PSE_CTX* ctx) {
  PsePtr pse;
  BufferPtr blob;
  int line = 0;
  do {
    // 1..3: the three files' contents.
    line = __LINE__;
    if (!load_item(ctx, &PSE_CTX::mk, PseItem::MasterKey)) break;
    line = __LINE__;
    if (!ctx->mask) {
      BufferPtr stored;
      char path[CADB_PATH_BUF];
      if (!PSE_item_path(PSE_CTX_get_path(ctx), PseItem::Mask, path)) break;
      stored.reset(BUFFER_read_file(path, ctx->io_flags, file_arg(ctx)));
      if (!stored) break;
      ctx->mask = stored.release();
    }
    line = __LINE__;
    BufferPtr mask(unlock_mask(ctx, ctx->mask));
    if (!mask) break;
    BUFFER_free(ctx->mask);
    ctx->mask = mask.release();
    line = __LINE__;
    if (!load_item(ctx, &PSE_CTX::kek, PseItem::Kek) || ctx->kek->length != PSE_OPAQUE_BYTES)
      break;
    // 4: the master-key blob.
    line = __LINE__;
    blob.reset(BUFFER_cat(BUFFER_fill(ctx->mk->data, ctx->mk->length),
                          BUFFER_fill(ctx->mask->data, ctx->mask->length)));
    if (!blob) break;
    // 5: the S-box whose check value matches.
    line = __LINE__;
    pse.reset(PSE_new());
    if (!pse) break;
    bool found = false;
    for (int number = PSE_SBOX_FIRST; number <= PSE_SBOX_LAST && !found; ++number) {
      const unsigned char* sbox = GOSTE_sbox_by_number(number);
      found = sbox && PSE_set_sbox(pse.get(), sbox) &&
              PSE_load_mkey(&pse->mkey, blob->data, blob->length, pse->sbox);
      if (!found) ERR_clear_error();
    }
    line = __LINE__;
    if (!found) break;
    // 6, 7: the KEK and the path.
    line = __LINE__;
    if (!PSE_load_kek(pse.get(), ctx->kek->data)) break;
    line = __LINE__;
    if (!PSE_set_path(pse.get(), PSE_CTX_get_path(ctx))) break;
    // 8: the random state.
    line = __LINE__;
    if (!seed_from_container(ctx, pse.get())) {
      ERR_set_status(PSE_STATUS_RAND);
      PSE_rand_cleanup();
      break;
    }
    line = 0;
  } while (false);
  if (line) {
    ERR_put_error(LIB_CADB, CADB_F_PSE_CTX_READ, R_INTERNAL_ERROR, __FILE__, line);
    ERR_set_status_once(PSE_STATUS_NOT_FOUND);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_READ, LIB_CADB);
    return nullptr;
  }
  return pse.release();
}

PSE* default_generate(PSE_CTX* ctx) {
  PsePtr pse;
  SecureBuffer key(PSE_KEY_BYTES), blob;
  unsigned char kek_image[PSE_OPAQUE_BYTES];
  BufferPtr mk, mask, kek;
  int line = 0;
  do {
    line = __LINE__;
    if (!RAND_get_method() &&
        (!ctx->seed_cb || !PSE_rand_init(nullptr, nullptr, nullptr, ctx->seed_cb, ctx->seed_arg)))
      break;
    line = __LINE__;
    const unsigned char* sbox = GOSTE_sbox_by_number(ctx->sbox_number);
    if (!sbox) {
      ERR_set_status(PSE_STATUS_INTERNAL);
      break;
    }
    line = __LINE__;
    int blob_len = 0;
    if (key.empty() || !PSE_key32_generate(key.data()) ||
        !PSE_save_mkey(key.data(), ctx->shares, nullptr, &blob_len, sbox) ||
        !blob.resize(static_cast<std::size_t>(blob_len)) ||
        !PSE_save_mkey(key.data(), ctx->shares, blob.data(), &blob_len, sbox)) {
      ERR_set_status(PSE_STATUS_INTERNAL);
      break;
    }
    line = __LINE__;
    mk.reset(BUFFER_fill(blob.data(), blob_len - PSE_KEY_BYTES));
    mask.reset(BUFFER_fill(blob.data() + blob_len - PSE_KEY_BYTES, PSE_KEY_BYTES));
    if (!mk || !mask) break;
    line = __LINE__;
    pse.reset(PSE_new());
    if (!pse || !PSE_set_sbox(pse.get(), sbox) || !PSE_set_mkey(pse.get(), key.data()) ||
        !PSE_generate_kek(pse.get(), kek_image))
      break;
    line = __LINE__;
    kek.reset(BUFFER_fill(kek_image, PSE_OPAQUE_BYTES));
    if (!kek || !PSE_set_path(pse.get(), PSE_CTX_get_path(ctx))) break;
    line = 0;
  } while (false);
  mem_cleanse(kek_image, sizeof kek_image);
  if (line) {
    ERR_put_error(LIB_CADB, CADB_F_PSE_CTX_GENERATE, R_INTERNAL_ERROR, __FILE__, line);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_GENERATE, LIB_CADB);
    return nullptr;
  }
  // The context's contents change only once the whole container exists.
  BUFFER_free(ctx->mk);
  ctx->mk = mk.release();
  BUFFER_free(ctx->mask);
  ctx->mask = mask.release();
  BUFFER_free(ctx->kek);
  ctx->kek = kek.release();
  return pse.release();
}

// One file of a write: remembers whether it existed, so that a failed write can take back the
// files it created.
struct WrittenFile {
  char path[CADB_PATH_BUF];
  bool existed;
  bool written;
};

int default_write(PSE_CTX* ctx) {
  if (!ctx->pse || !ctx->mk || !ctx->mask || !ctx->kek) {
    ERR_set_status(PSE_STATUS_BAD_ARGUMENT);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  const char* base = PSE_CTX_get_path(ctx);
  WrittenFile files[4] = {};
  const PseItem items[4] = {PseItem::MasterKey, PseItem::Mask, PseItem::Kek, PseItem::Rand};
  int line = 0;
  do {
    line = __LINE__;
    bool named = true;
    for (int i = 0; i < 4 && named; ++i) {
      named = PSE_item_path(base, items[i], files[i].path) != 0;
      if (named) files[i].existed = CADB_file_exists(files[i].path) != 0;
    }
    if (!named) break;
    auto put = [&](WrittenFile& f, const unsigned char* data, int len, std::uint32_t flags) {
      f.written = true;
      return CADB_write_file(f.path, data, len, flags, file_arg(ctx)) == len;
    };
    line = __LINE__;
    if (!put(files[0], ctx->mk->data, ctx->mk->length, ctx->io_flags | TOKEN_FLAG_PRIVATE)) break;
    line = __LINE__;
    BufferPtr sealed;
    if (ctx->password) {
      static const unsigned char none = 0;
      sealed.reset(BUFFER_encrypt(ctx->mask->data, ctx->mask->length, CMS_NID_rus_gammar,
                                  ctx->password->length ? ctx->password->data : &none,
                                  ctx->password->length, -1, CMS_FORMAT_DER));
      if (!sealed) break;
    }
    const BUFFER* mask = sealed ? sealed.get() : ctx->mask;
    if (!put(files[1], mask->data, mask->length, ctx->io_flags)) break;
    line = __LINE__;
    if (!put(files[2], ctx->kek->data, ctx->kek->length, ctx->io_flags)) break;
    if (RAND_get_method()) {
      unsigned char fresh[PSE_OPAQUE_BYTES];
      line = __LINE__;
      bool ok = PSE_rand_save_state(ctx->pse, fresh) != 0;
      if (ok) {
        RandNotify notify(ctx);
        ok = put(files[3], fresh, PSE_OPAQUE_BYTES, ctx->io_flags);
      }
      mem_cleanse(fresh, sizeof fresh);
      if (!ok) break;
    }
    line = 0;
  } while (false);
  if (line) {
    ERR_put_error(LIB_CADB, CADB_F_PSE_CTX_WRITE, R_INTERNAL_ERROR, __FILE__, line);
    // Files this write created would form a partial container: take them back.
    for (const WrittenFile& f : files)
      if (f.written && !f.existed) CADB_erase_file(f.path, ctx->io_flags, file_arg(ctx));
    ERR_set_status_once(PSE_STATUS_NOT_FOUND);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int default_erase(PSE_CTX* ctx) {
  const char* base = PSE_CTX_get_path(ctx);
  char path[CADB_PATH_BUF];
  if (!base || !PSE_item_path(base, PseItem::MasterKey, path)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_ERASE, R_INTERNAL_ERROR);
    ERR_set_status_once(PSE_STATUS_NOT_FOUND);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_ERASE, LIB_CADB);
    return 0;
  }
  // Every file is tried, the master key first (without it the rest opens nothing), and a
  // file that stays is a failure: the caller learns the container is not gone and can erase
  // again (files already gone count as erased).
  bool all = true;
  for (PseItem item : {PseItem::MasterKey, PseItem::Mask, PseItem::Kek, PseItem::Rand}) {
    if (!PSE_item_path(base, item, path) || !CADB_erase_file(path, ctx->io_flags, file_arg(ctx)))
      all = false;
  }
  if (!all) {
    ERR_set_status_once(PSE_STATUS_NOT_FOUND);
    JARNEL_ERR(LIB_CADB, CADB_F_PSE_CTX_ERASE, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

const PSE_CTX_METHOD kDefaultMethod = {"PSE_CTX default method", default_generate, default_read,
                                       default_write, default_erase};

}  // namespace

const PSE_CTX_METHOD* PSE_CTX_default_method() { return &kDefaultMethod; }

}  // namespace jarnel
