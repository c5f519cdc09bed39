// "PKEY_CTX default method": the key as one file on the carrier, its GOST private value
// protected under the container's KEK.
#include <cstring>

#include "crypto/cadb/pkey.h"
#include "crypto/cadb/pkey_local.h"
#include "crypto/cadb/pse_ctx.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/pse/pse.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"
#include "crypto/str.h"

namespace jarnel {
namespace {

// The parameter set a GOST type is generated on; 0 for a type that cannot be generated here.
int normalise_paramset(int type, int paramset) {
  switch (type) {
    case PKEY_TYPE_R3410_CP: return paramset ? paramset : NID_CP_R3410_94_A;
    case PKEY_TYPE_ECGOST_CP: return paramset ? paramset : NID_CP_2001_A;
    case PKEY_TYPE_ECGOST: return NID_X9_62_PRIME256V1;
    case PKEY_TYPE_R3410: return paramset;
    default: return -1;
  }
}

// The generator's parameter index of a type and (normalised) parameter set.
int generator_index(int type, int paramset) {
  switch (type) {
    case PKEY_TYPE_R3410: return R3410_SEL_BUILTIN_1;
    case PKEY_TYPE_ECGOST: return ECURVE_P256;
    case PKEY_TYPE_ECGOST_CP:
      return paramset >= NID_CP_2001_A && paramset <= NID_CP_2001_XCHB
                 ? ECURVE_CP_A + (paramset - NID_CP_2001_A)
                 : ECURVE_CP_A;
    default:  // 272
      return paramset >= NID_CP_R3410_94_A && paramset <= NID_CP_R3410_94_XCHC
                 ? R3410_SEL_CP_A + (paramset - NID_CP_R3410_94_A)
                 : R3410_SEL_CP_A;
  }
}

PKEY_KEY* generate_ecgost(PSE* pse, int type, int paramset, int index) {
  unsigned char priv[36], pub[1 + 2 * 66];
  int publen = sizeof pub;
  if (!ECGOST_generate_key(pse, index, priv, pub, &publen, 0)) return nullptr;
  Owned<ECURVE> c(ECURVE_by_number(index));
  Owned<ECGOST> ec(c ? ECGOST_new(c.get()) : nullptr);
  Owned<ECPOINT> q(c ? ECPOINT_new(c.get()) : nullptr);
  bool ok = ec && q && ECPOINT_bi2point(q.get(), pub, static_cast<std::size_t>(publen)) &&
            ECGOST_set_public(ec.get(), q.get());
  if (ok) {
    ECGOST_set_paramsets(ec.get(), paramset, NID_CP_R3411_94_PARAMSET, 0);
    ok = ECGOST_set_opaque(ec.get(), priv);
  }
  mem_cleanse(priv, sizeof priv);
  PKEY_KEY* k = ok ? PKEY_KEY_from_ecgost(ec.get(), type) : nullptr;
  if (k) ec.release();
  return k;
}

PKEY_KEY* generate_r3410(PSE* pse, int type, int index) {
  unsigned char priv[36], pub[128];
  if (!R3410_pse_generate(pse, index, priv, pub)) return nullptr;
  Owned<R3410> rk(R3410_new());
  BnPtr e(BN_secure_new()), mac(BN_new()), y(BN_new());
  const bool ok = rk && e && mac && y && R3410_set_params(rk.get(), index) &&
                  BN_bin2bn(priv, 32, e.get()) && BN_bin2bn(priv + 32, 4, mac.get()) &&
                  BN_bin2bn(pub, 128, y.get()) && r3410::secret_set(rk->x, e.get());
  mem_cleanse(priv, sizeof priv);
  if (!ok) return nullptr;
  rk->key_mac = mac.release();
  BN_free(rk->y);
  rk->y = y.release();
  rk->digest_param_nid = NID_CP_R3411_94_PARAMSET;
  PKEY_KEY* k = PKEY_KEY_from_r3410(rk.get(), type);
  if (k) rk.release();
  return k;
}

void replace_record(PKEY_CTX* ctx, PKEY* rec) {
  PKEY_free(ctx->key);
  ctx->key = rec;
}

int default_generate(PKEY_CTX* ctx, int type, int paramset) {
  if (type == PKEY_TYPE_RSA || type == PKEY_TYPE_RSA_RECORD || type == PKEY_TYPE_DSA) {
    PKEY* rec = PKEY_generate(type, paramset, ctx->gen_callback, ctx->gen_arg, nullptr);
    if (!rec) {
      JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_GENERATE, LIB_CADB);
      return 0;
    }
    replace_record(ctx, rec);
    return 1;
  }
  const int set = normalise_paramset(type, paramset);
  if (set < 0) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_GENERATE, CADB_R_UNKNOWN_ALGORITHM);
    return 0;
  }
  const int index = generator_index(type, set);
  Owned<PKEY_KEY> key(type == PKEY_TYPE_ECGOST || type == PKEY_TYPE_ECGOST_CP
                          ? generate_ecgost(ctx->pse, type, set, index)
                          : generate_r3410(ctx->pse, type, index));
  // Bound to the container: the private value goes into masked memory, the key keeps a
  // reference to the container.
  PKEY* rec = key && PKEY_KEY_load(key.get(), ctx->pse) ? PKEY_split(key.get()) : nullptr;
  if (!rec) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_GENERATE, LIB_CADB);
    return 0;
  }
  replace_record(ctx, rec);
  return 1;
}

// The key file: the context's path, unless it names the held container itself (callers give
// the container path), else the key file of the held container. False when there is none.
bool key_file(PKEY_CTX* ctx, char* out) {
  const char* pse_path = ctx->pse ? ctx->pse->path : nullptr;
  if (ctx->path) {
    const char* p = reinterpret_cast<const char*>(ctx->path->data);
    const bool is_container =
        pse_path && (ascii_strcasecmp(p, pse_path) == 0 || CADB_is_directory(p));
    if (!is_container) {
      std::strcpy(out, p);
      return true;
    }
  }
  return pse_path && PKEY_key_file_path(pse_path, 1, out);
}

// Hands out a password held by the context.
struct FixedPassword {
  const unsigned char* data;
  int len;
};
int fixed_password_cb(char* buf, int size, int, void* u) {
  const auto* f = static_cast<const FixedPassword*>(u);
  if (f->len > size) return -1;
  std::memcpy(buf, f->data, static_cast<std::size_t>(f->len));
  return f->len;
}

int default_read(PKEY_CTX* ctx) {
  replace_record(ctx, nullptr);
  Owned<BUFFER> file;
  const BUFFER* src = ctx->key_data;
  if (!src) {
    char path[CADB_PATH_BUF];
    if (!key_file(ctx, path)) {
      JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_READ, R_INTERNAL_ERROR);
      return 0;
    }
    file.reset(BUFFER_read_file(path, 0, nullptr));
    if (!file || file->length <= 0) {
      JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_READ, LIB_CADB);
      return 0;
    }
    src = file.get();
  }
  PKEY* rec = nullptr;
  if (ctx->password_callback && !ctx->password) {
    rec = PKEY_read_buffer(src->data, src->length, ctx->pse, ctx->password_callback,
                           ctx->callback_data);
  } else if (ctx->password) {
    // The password as raw bytes, then as a zero-terminated string.
    FixedPassword raw{ctx->password->data, ctx->password->length};
    rec = PKEY_read_buffer(src->data, src->length, ctx->pse, fixed_password_cb, &raw);
    const int text_len = static_cast<int>(
        strnlen(reinterpret_cast<const char*>(ctx->password->data),
                static_cast<std::size_t>(ctx->password->length)));
    if (!rec && text_len != ctx->password->length) {
      ERR_clear_error();
      FixedPassword text{ctx->password->data, text_len};
      rec = PKEY_read_buffer(src->data, src->length, ctx->pse, fixed_password_cb, &text);
    }
  } else {
    rec = PKEY_read_buffer(src->data, src->length, ctx->pse, nullptr, nullptr);
  }
  if (!rec) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_READ, LIB_CADB);
    return 0;
  }
  replace_record(ctx, rec);
  return 1;
}

int default_write(PKEY_CTX* ctx, int format, int kind) {
  char path[CADB_PATH_BUF];
  if (!ctx->key || !key_file(ctx, path)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  PKEY_KEY* key = ctx->key->key;
  if (!PKEY_KEY_bind(key, ctx->pse)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_WRITE, LIB_CADB);
    return 0;
  }
  password_cb cb = ctx->password_callback;
  void* cb_data = ctx->callback_data;
  FixedPassword fixed{};
  if (kind != PKEY_KIND_TRADITIONAL && !cb && ctx->password) {
    fixed = {ctx->password->data, ctx->password->length};
    cb = fixed_password_cb;
    cb_data = &fixed;
  }
  Owned<BUFFER> image(PKEY_write_buffer(ctx->key, format, kind, cb, cb_data));
  // Back to the loaded state before the file is touched: a failure to load leaves no file
  // behind, and a failed write leaves the key usable.
  const bool back = PKEY_KEY_load(key, ctx->pse);
  const bool ok = image && back && CADB_mkdir(path) &&
                  CADB_write_file(path, image->data, image->length, 0, nullptr) > 0;
  if (image) mem_cleanse(image->data, static_cast<std::size_t>(image->length));
  if (!ok) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_DEFAULT_WRITE, LIB_CADB);
    return 0;
  }
  return 1;
}

constexpr PKEY_METHOD kDefault{"PKEY_CTX default method", default_generate, default_read,
                               default_write};

}  // namespace

const PKEY_METHOD* PKEY_default_method() { return &kDefault; }

}  // namespace jarnel
