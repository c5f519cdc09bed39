// "PKEY_CTX pkcs11 method": GOST R 34.10-2001 keys whose private part stays on the PKCS#11
// token of the container. Generation makes the pair on the token, reading finds it by name,
// writing commits a fresh pair under the name (or imports a key held in software as a pair).
// The record's key object carries the token connection and the token's method table, so
// signing, key agreement, unwrapping and hashing with it run on the token.
#include <cstring>

#include "crypto/cadb/pkey.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/pkcs11/token_keys.h"
#include "crypto/pse/pse.h"
#include "crypto/str.h"

namespace jarnel {
namespace {

const char* container_path(const PKEY_CTX* ctx) { return ctx->pse ? ctx->pse->path : nullptr; }

// The key path: the context's path unless it names the held container itself, else the key
// file of the container (whose file part, as for every key on a token, is the key's name).
bool key_path(const PKEY_CTX* ctx, char* out) {
  const char* pse_path = container_path(ctx);
  if (ctx->path) {
    const char* p = reinterpret_cast<const char*>(ctx->path->data);
    if (!pse_path || ascii_strcasecmp(p, pse_path) != 0) {
      if (std::strlen(p) >= CADB_PATH_BUF) return false;
      std::strcpy(out, p);
      return true;
    }
  }
  return pse_path && PKEY_key_file_path(pse_path, 1, out);
}

bool is_token_method(const PKEY_TOKEN_METHOD* m) {
  return m == PKCS11_token_method_sign_only() || m == PKCS11_token_method_kek() ||
         m == PKCS11_token_method_cek() || m == PKCS11_token_method_kek_cek();
}

// A record for a token key; the key object takes the public key, the connection and the
// method from tk (which is emptied), and the record is flagged sign-only by the method.
PKEY* record_of(PKCS11_TOKEN_KEY* tk, int type) {
  PKEY_KEY* k = PKEY_KEY_from_ecgost(tk->key, type);
  if (!k) {
    PKCS11_TOKEN_KEY_clear(tk);
    return nullptr;
  }
  tk->key = nullptr;
  PKEY_KEY_set_token(k, tk->method, tk->token);
  tk->token = nullptr;
  PKCS11_TOKEN_KEY_clear(tk);
  PKEY* rec = PKEY_split(k);
  PKEY_KEY_free(k);
  return rec;
}

void replace_record(PKEY_CTX* ctx, PKEY* rec) {
  PKEY_free(ctx->key);
  ctx->key = rec;
}

int pkcs11_generate(PKEY_CTX* ctx, int type, int paramset) {
  const char* pse_path = container_path(ctx);
  if (!pse_path) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_GENERATE, R_INTERNAL_ERROR);
    return 0;
  }
  PKCS11_TOKEN_KEY tk{};
  if (!PKCS11_generate_key(pse_path, ctx->callback_data, type, paramset, &tk)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_GENERATE, LIB_CADB);
    return 0;
  }
  PKEY* rec = record_of(&tk, type);
  if (!rec) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_GENERATE, LIB_CADB);
    return 0;
  }
  replace_record(ctx, rec);
  return 1;
}

int pkcs11_read(PKEY_CTX* ctx) {
  char path[CADB_PATH_BUF];
  if (!key_path(ctx, path)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_READ, R_INTERNAL_ERROR);
    return 0;
  }
  // A sign-only key read again makes the login ask once more.
  const int force = ctx->key && (ctx->key->flags & PKEY_FLAG_SIGN_ONLY) ? 1 : 0;
  PKCS11_TOKEN_KEY tk{};
  if (!PKCS11_read_key(path, container_path(ctx), ctx->callback_data, force, &tk)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_READ, LIB_CADB);
    return 0;
  }
  PKEY* rec = record_of(&tk, PKEY_TYPE_ECGOST_CP);
  if (!rec) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_READ, LIB_CADB);
    return 0;
  }
  replace_record(ctx, rec);
  return 1;
}

// The format and kind of a key file mean nothing on a token.
int pkcs11_write(PKEY_CTX* ctx, int, int) {
  char path[CADB_PATH_BUF];
  PKEY_KEY* key = ctx->key ? ctx->key->key : nullptr;
  if (!key || !key_path(ctx, path)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_WRITE, R_INTERNAL_ERROR);
    return 0;
  }
  // Only GOST R 34.10-2001 keys with the CryptoPro identifier go on a token, and only keys of
  // this PKCS#11 code carry a connection it can commit.
  if (key->type != PKEY_TYPE_ECGOST_CP || !key->ec ||
      (key->token_method && !is_token_method(key->token_method))) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_WRITE, CADB_R_UNKNOWN_ALGORITHM);
    return 0;
  }
  // Borrowed: the key object keeps its public key and connection.
  PKCS11_TOKEN_KEY tk{key->ec, static_cast<PKCS11_OBJECT*>(key->token), key->token_method, 0};
  const int ok = PKCS11_write_key(path, container_path(ctx), ctx->callback_data, &tk);
  if (!ok) JARNEL_ERR(LIB_CADB, CADB_F_PKEY_CTX_WRITE, LIB_CADB);
  return ok;
}

constexpr PKEY_METHOD kPkcs11{"PKEY_CTX pkcs11 method", pkcs11_generate, pkcs11_read,
                              pkcs11_write};

}  // namespace

const PKEY_METHOD* PKEY_pkcs11_method() { return &kPkcs11; }

}  // namespace jarnel
