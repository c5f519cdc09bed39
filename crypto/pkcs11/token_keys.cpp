// Key pairs on a PKCS#11 token: generation, reading and committing by name, import of a software
// pair, the token method tables (sign, VKO, content-key unwrap, digest, release).
#include "crypto/pkcs11/token_keys.h"

#include <openssl/bn.h>

#include <cstring>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"
#include "crypto/pkcs11/cryptoki.h"

namespace jarnel {
namespace {

#define TK_FAIL(func, reason) JARNEL_ERR(LIB_PKCS11, (func), (reason))

constexpr std::size_t kSignatureSize = 64;  // s || r of a 256-bit curve

struct TemplateOwner {
  PKCS11_TEMPLATE* t;
  explicit TemplateOwner(PKCS11_TEMPLATE* p) : t(p) {}
  ~TemplateOwner() { PKCS11_TEMPLATE_free(t); }
  TemplateOwner(const TemplateOwner&) = delete;
  TemplateOwner& operator=(const TemplateOwner&) = delete;
};
struct ConnOwner {
  PKCS11_OBJECT* c;
  explicit ConnOwner(PKCS11_OBJECT* p) : c(p) {}
  ~ConnOwner() { PKCS11_OBJECT_free(c); }
  PKCS11_OBJECT* release() {
    PKCS11_OBJECT* r = c;
    c = nullptr;
    return r;
  }
  ConnOwner(const ConnOwner&) = delete;
  ConnOwner& operator=(const ConnOwner&) = delete;
};

CK_FUNCTION_LIST_PTR fns(PKCS11_OBJECT* c) { return c->module->functions; }

// A new connection to path with the call-back argument, opened.
PKCS11_OBJECT* connect(const char* path, void* callback_arg, int func) {
  ConnOwner c(PKCS11_OBJECT_new());
  if (!c.c || !PKCS11_OBJECT_set_path(c.c, path) ||
      !PKCS11_OBJECT_set_callback_arg(c.c, callback_arg) || !PKCS11_open(c.c)) {
    TK_FAIL(func, R_INTERNAL_ERROR);
    return nullptr;
  }
  return c.release();
}

// The key's name: the file part of a token path, else the path itself.
const char* key_name(const char* key_path) {
  if (!key_path) return nullptr;
  if (PKCS11_parse_path(key_path, nullptr, nullptr)) return PKCS11_file_part(key_path);
  return *key_path ? key_path : nullptr;
}

// Reads an attribute of the current object into out; false (nothing recorded) when the object
// has none or an empty one, so callers can ask whether it is there.
bool read_attribute(PKCS11_OBJECT* c, CK_ATTRIBUTE_TYPE type, std::vector<unsigned char>& out) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  if (fns(c)->C_GetAttributeValue(c->session, c->object, &a, 1) != CKR_OK || a.ulValueLen == 0 ||
      a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > 65536)
    return false;
  out.assign(a.ulValueLen, 0);
  a.pValue = out.data();
  if (fns(c)->C_GetAttributeValue(c->session, c->object, &a, 1) != CKR_OK) return false;
  out.resize(a.ulValueLen);
  return true;
}

// The object number of a DER object identifier (tag, length, body); 0 when unknown.
int nid_of_der(const std::vector<unsigned char>& der) {
  if (der.size() < 3 || der[0] != 0x06 || der[1] != der.size() - 2) return 0;
  for (const obj::Object& o : obj::all()) {
    unsigned char body[32];
    std::size_t n = obj::oid_der(o.nid, body, sizeof body);
    if (n && n == der.size() - 2 && std::memcmp(body, der.data() + 2, n) == 0) return o.nid;
  }
  return 0;
}

// Adds a parameter attribute holding the DER identifier of nid.
int add_oid(PKCS11_TEMPLATE* t, CK_ATTRIBUTE_TYPE type, int nid) {
  unsigned char der[34];
  std::size_t n = obj::oid_der(nid, der + 2, sizeof der - 2);
  if (n == 0 || n > 127) return 0;
  der[0] = 0x06;
  der[1] = static_cast<unsigned char>(n);
  return PKCS11_TEMPLATE_add(t, type, der, n + 2);
}

bool is_retryable(CK_RV rv) {
  return rv == CKR_DEVICE_REMOVED || rv == CKR_OBJECT_HANDLE_INVALID ||
         rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_USER_NOT_LOGGED_IN;
}

// After the session or login was lost: the slot found again, the connection reopened, the user
// logged in and the private key found again by the key's name.
bool reconnect(PKCS11_OBJECT* c) {
  if (!c->second_name) return false;
  PKCS11_MODULE_refresh_slots(c->module);
  return PKCS11_open(c) && PKCS11_login(c, 0) && PKCS11_find_private_key(c, c->second_name, nullptr);
}

PKCS11_OBJECT* token_of(void* token, int func) {
  auto* c = static_cast<PKCS11_OBJECT*>(token);
  if (!c || !c->module || !c->session) {
    TK_FAIL(func, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  return c;
}

// ---- Method slots ----------------------------------------------------------------------------

int token_sign(void* token, int sig_type, const unsigned char* dgst, std::size_t dlen,
               unsigned char* sig, std::size_t* siglen) {
  PKCS11_OBJECT* c = token_of(token, PKCS11_F_TOKEN_SIGN);
  if (!c) return 0;
  if (!dgst || dlen == 0 || !siglen) {
    TK_FAIL(PKCS11_F_TOKEN_SIGN, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (sig_type != PKCS11_SIG_TYPE_CP) {
    TK_FAIL(PKCS11_F_TOKEN_SIGN, R_INTERNAL_ERROR);
    return 0;
  }
  // A length query is answered here: a C_Sign without a buffer would leave the token's
  // operation open and the next C_SignInit refused.
  if (!sig) {
    *siglen = kSignatureSize;
    return 1;
  }
  Pkcs11Lock lock(c);
  // The token takes the digest in the hash's own byte order: reversed, on a copy.
  std::vector<unsigned char> digest(dgst, dgst + dlen);
  for (std::size_t i = 0; i < dlen / 2; ++i) std::swap(digest[i], digest[dlen - 1 - i]);
  CK_RV rv = CKR_OK;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt == 1 && !reconnect(c)) break;
    CK_MECHANISM m{CKM_GOSTR3410, nullptr, 0};
    rv = fns(c)->C_SignInit(c->session, &m, c->object);
    if (rv == CKR_OK) {
      CK_ULONG len = *siglen;
      rv = fns(c)->C_Sign(c->session, digest.data(), dlen, sig, &len);
      if (rv == CKR_BUFFER_TOO_SMALL) {
        len = *siglen;
        rv = fns(c)->C_Sign(c->session, digest.data(), dlen, sig, &len);
      }
      if (rv == CKR_OK) {
        *siglen = len;
        mem_cleanse(digest.data(), digest.size());
        return 1;
      }
      if (rv == CKR_BUFFER_TOO_SMALL) {
        // The caller's buffer is too small: the operation the token still holds is ended into
        // a buffer of the size it asked for, and the size reported.
        PKCS11_note(rv);
        CK_ULONG need = len > *siglen && len <= 1024 ? len : 1024;
        std::vector<unsigned char> scratch(need);
        fns(c)->C_Sign(c->session, digest.data(), dlen, scratch.data(), &need);
        mem_cleanse(digest.data(), digest.size());
        *siglen = len;
        TK_FAIL(PKCS11_F_TOKEN_SIGN, PKCS11_R_BUFFER_TOO_SMALL);
        return 0;
      }
    }
    PKCS11_note(rv);
    if (!is_retryable(rv)) break;
  }
  mem_cleanse(digest.data(), digest.size());
  TK_FAIL(PKCS11_F_TOKEN_SIGN, R_INTERNAL_ERROR);
  return 0;
}

// The output rules of derive and unwrap: no buffer asks for 32; a smaller one fails (105).
bool output_room(unsigned char* out, std::size_t* outlen, int func, int* result) {
  if (!outlen) {
    TK_FAIL(func, R_PASSED_NULL_PARAMETER);
    *result = 0;
    return false;
  }
  if (!out) {
    *outlen = 32;
    *result = 1;
    return false;
  }
  if (*outlen < 32) {
    *outlen = 32;
    TK_FAIL(func, PKCS11_R_BUFFER_TOO_SMALL);
    *result = 0;
    return false;
  }
  return true;
}

// Reads the 32-byte value of a session secret key the token made, then destroys the object so
// the secret does not stay on the token; the connection's current object is restored.
int take_secret(PKCS11_OBJECT* c, CK_OBJECT_HANDLE made, CK_OBJECT_HANDLE current,
                unsigned char* out, std::size_t* outlen, int func) {
  unsigned char value[64];
  CK_ATTRIBUTE a{CKA_VALUE, value, sizeof value};
  CK_RV rv = fns(c)->C_GetAttributeValue(c->session, made, &a, 1);
  fns(c)->C_DestroyObject(c->session, made);
  c->object = current;
  if (PKCS11_note(rv) != CKR_OK || a.ulValueLen != 32) {
    mem_cleanse(value, sizeof value);
    TK_FAIL(func, R_INTERNAL_ERROR);
    return 0;
  }
  std::memcpy(out, value, 32);
  mem_cleanse(value, sizeof value);
  *outlen = 32;
  return 1;
}

int token_derive(void* token, int key_type, const ECPOINT* peer, const unsigned char ukm[8],
                 unsigned char* out, std::size_t* outlen) {
  PKCS11_OBJECT* c = token_of(token, PKCS11_F_TOKEN_DERIVE);
  if (!c) return 0;
  if (key_type != PKCS11_KEY_TYPE_GOST2001) {
    TK_FAIL(PKCS11_F_TOKEN_DERIVE, R_INTERNAL_ERROR);
    return 0;
  }
  int result;
  if (!output_room(out, outlen, PKCS11_F_TOKEN_DERIVE, &result)) return result;
  if (!peer || !ukm) {
    TK_FAIL(PKCS11_F_TOKEN_DERIVE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  unsigned char point[64];
  if (ECGOST_is_pubkey_valid(peer, 1) != 1 ||
      ECPOINT_point2le(peer, point, sizeof point) != static_cast<int>(sizeof point)) {
    TK_FAIL(PKCS11_F_TOKEN_DERIVE, R_INTERNAL_ERROR);
    return 0;
  }
  Pkcs11Lock lock(c);
  unsigned char ukm_copy[8];
  std::memcpy(ukm_copy, ukm, 8);
  CK_GOSTR3410_DERIVE_PARAMS params{CKD_NULL, point, sizeof point, ukm_copy, 8};
  CK_MECHANISM m{CKM_GOSTR3410_DERIVE, &params, sizeof params};
  TemplateOwner t(PKCS11_template(Pkcs11Template::SessionSecretKey));
  if (!t.t) {
    TK_FAIL(PKCS11_F_TOKEN_DERIVE, R_MALLOC_FAILURE);
    return 0;
  }
  CK_OBJECT_HANDLE current = c->object, made = 0;
  if (PKCS11_note(fns(c)->C_DeriveKey(c->session, &m, current, t.t->attributes, t.t->count,
                                      &made)) != CKR_OK) {
    TK_FAIL(PKCS11_F_TOKEN_DERIVE, R_INTERNAL_ERROR);
    return 0;
  }
  return take_secret(c, made, current, out, outlen, PKCS11_F_TOKEN_DERIVE);
}

int token_unwrap(void* token, int key_type, const unsigned char* wrapped, std::size_t len,
                 unsigned char* out, std::size_t* outlen) {
  PKCS11_OBJECT* c = token_of(token, PKCS11_F_TOKEN_UNWRAP);
  if (!c) return 0;
  if (key_type != PKCS11_KEY_TYPE_GOST2001) {
    TK_FAIL(PKCS11_F_TOKEN_UNWRAP, R_INTERNAL_ERROR);
    return 0;
  }
  int result;
  if (!output_room(out, outlen, PKCS11_F_TOKEN_UNWRAP, &result)) return result;
  if (!wrapped || len == 0) {
    TK_FAIL(PKCS11_F_TOKEN_UNWRAP, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Pkcs11Lock lock(c);
  CK_GOSTR3410_KEY_WRAP_PARAMS params{};
  CK_MECHANISM m{CKM_GOSTR3410_KEY_WRAP, &params, sizeof params};
  TemplateOwner t(PKCS11_template(Pkcs11Template::SessionSecretKey));
  if (!t.t) {
    TK_FAIL(PKCS11_F_TOKEN_UNWRAP, R_MALLOC_FAILURE);
    return 0;
  }
  std::vector<unsigned char> in(wrapped, wrapped + len);
  CK_OBJECT_HANDLE current = c->object, made = 0;
  if (PKCS11_note(fns(c)->C_UnwrapKey(c->session, &m, current, in.data(), in.size(),
                                      t.t->attributes, t.t->count, &made)) != CKR_OK) {
    TK_FAIL(PKCS11_F_TOKEN_UNWRAP, R_INTERNAL_ERROR);
    return 0;
  }
  return take_secret(c, made, current, out, outlen, PKCS11_F_TOKEN_UNWRAP);
}

int token_digest(void* token, int key_type, const unsigned char* data, std::size_t len,
                 unsigned char* out, std::size_t* outlen) {
  PKCS11_OBJECT* c = token_of(token, PKCS11_F_TOKEN_DIGEST);
  if (!c) return 0;
  if (key_type != PKCS11_KEY_TYPE_GOST2001) {
    TK_FAIL(PKCS11_F_TOKEN_DIGEST, R_INTERNAL_ERROR);
    return 0;
  }
  if ((!data && len) || !out || !outlen) {
    TK_FAIL(PKCS11_F_TOKEN_DIGEST, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Pkcs11Lock lock(c);
  std::vector<unsigned char> in(data, data + len);
  CK_RV rv = CKR_OK;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt == 1 && !reconnect(c)) break;
    CK_MECHANISM m{CKM_GOSTR3411, nullptr, 0};
    CK_ULONG size = 0;
    rv = fns(c)->C_DigestInit(c->session, &m);
    if (rv == CKR_OK) rv = fns(c)->C_Digest(c->session, in.data(), in.size(), nullptr, &size);
    if (rv == CKR_OK) {
      if (size == 0 || size > 64) {
        TK_FAIL(PKCS11_F_TOKEN_DIGEST, R_INTERNAL_ERROR);
        return 0;
      }
      if (*outlen < size) {
        // Ends the operation the module still holds open before reporting the short buffer.
        unsigned char sink[64];
        CK_ULONG n = sizeof sink;
        fns(c)->C_Digest(c->session, in.data(), in.size(), sink, &n);
        *outlen = size;
        TK_FAIL(PKCS11_F_TOKEN_DIGEST, PKCS11_R_BUFFER_TOO_SMALL);
        return 0;
      }
      std::vector<unsigned char> md(size);
      rv = fns(c)->C_Digest(c->session, in.data(), in.size(), md.data(), &size);
      if (rv == CKR_OK) {
        for (CK_ULONG i = 0; i < size; ++i) out[i] = md[size - 1 - i];
        *outlen = size;
        return 1;
      }
    }
    PKCS11_note(rv);
    if (!is_retryable(rv)) break;
  }
  TK_FAIL(PKCS11_F_TOKEN_DIGEST, R_INTERNAL_ERROR);
  return 0;
}

void token_release(void* token) { PKCS11_OBJECT_free(static_cast<PKCS11_OBJECT*>(token)); }

constexpr PKEY_TOKEN_METHOD kSignOnly = {"EVP_PKEY_METHOD only pkcs11 sign", token_sign, nullptr,
                                         nullptr, nullptr, nullptr, token_digest, token_release};
constexpr PKEY_TOKEN_METHOD kKek = {"EVP_PKEY_METHOD pkcs11 sign and kek", token_sign, nullptr,
                                    token_derive, nullptr, nullptr, token_digest, token_release};
constexpr PKEY_TOKEN_METHOD kCek = {"EVP_PKEY_METHOD pkcs11 sign and cek", token_sign, nullptr,
                                    nullptr, nullptr, token_unwrap, token_digest, token_release};
constexpr PKEY_TOKEN_METHOD kKekCek = {"EVP_PKEY_METHOD pkcs11 sign, kek and cek", token_sign,
                                       nullptr, token_derive, nullptr, token_unwrap, token_digest,
                                       token_release};

// Whether the token lists the mechanism; a failing query counts as "no".
bool offers(PKCS11_OBJECT* c, CK_MECHANISM_TYPE m) {
  if (!c || !c->module) return false;
  CK_ULONG n = 0;
  if (fns(c)->C_GetMechanismList(c->slot, nullptr, &n) != CKR_OK || n == 0 || n > 4096)
    return false;
  std::vector<CK_MECHANISM_TYPE> list(n);
  if (fns(c)->C_GetMechanismList(c->slot, list.data(), &n) != CKR_OK) return false;
  for (CK_ULONG i = 0; i < n && i < list.size(); ++i)
    if (list[i] == m) return true;
  return false;
}

}  // namespace

const PKEY_TOKEN_METHOD* PKCS11_token_method_sign_only() { return &kSignOnly; }
const PKEY_TOKEN_METHOD* PKCS11_token_method_kek() { return &kKek; }
const PKEY_TOKEN_METHOD* PKCS11_token_method_cek() { return &kCek; }
const PKEY_TOKEN_METHOD* PKCS11_token_method_kek_cek() { return &kKekCek; }

const PKEY_TOKEN_METHOD* PKCS11_token_method(PKCS11_OBJECT* conn, unsigned* flags) {
  bool kek = offers(conn, CKM_GOSTR3410_DERIVE), cek = offers(conn, CKM_GOSTR3410_KEY_WRAP);
  if (flags) *flags = (kek || cek) ? 0 : PKCS11_TOKEN_KEY_SIGN_ONLY;
  if (kek && cek) return &kKekCek;
  if (kek) return &kKek;
  if (cek) return &kCek;
  return &kSignOnly;
}

void PKCS11_TOKEN_KEY_clear(PKCS11_TOKEN_KEY* k) {
  if (!k) return;
  if (k->token) {
    if (k->method && k->method->release) k->method->release(k->token);
    else PKCS11_OBJECT_free(k->token);
  }
  ECGOST_free(k->key);
  *k = PKCS11_TOKEN_KEY{};
}

ECGOST* PKCS11_key_from_public_object(PKCS11_OBJECT* c) {
  if (!c || !c->module || !c->session) {
    TK_FAIL(PKCS11_F_KEY_FROM_PUBLIC, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  Pkcs11Lock lock(c);
  std::vector<unsigned char> value, params, hash, cipher;
  if (!read_attribute(c, CKA_VALUE, value) || value.size() != 64 ||
      !read_attribute(c, CKA_GOSTR3410_PARAMS, params) ||
      !read_attribute(c, CKA_GOSTR3411_PARAMS, hash)) {
    TK_FAIL(PKCS11_F_KEY_FROM_PUBLIC, R_INTERNAL_ERROR);
    return nullptr;
  }
  int pub_nid = nid_of_der(params), hash_nid = nid_of_der(hash), cipher_nid = 0;
  if (read_attribute(c, CKA_GOST28147_PARAMS, cipher)) cipher_nid = nid_of_der(cipher);
  if (pub_nid < NID_CP_2001_A || pub_nid > NID_CP_2001_XCHB || hash_nid == 0) {
    TK_FAIL(PKCS11_F_KEY_FROM_PUBLIC, R_INTERNAL_ERROR);
    return nullptr;
  }
  Owned<ECURVE> curve(ECURVE_by_number(ECURVE_number_by_paramset(pub_nid)));
  Owned<ECGOST> key(curve ? ECGOST_new(curve.get()) : nullptr);
  Owned<ECPOINT> q(curve ? ECPOINT_new(curve.get()) : nullptr);
  if (!key || !q) {
    TK_FAIL(PKCS11_F_KEY_FROM_PUBLIC, R_MALLOC_FAILURE);
    return nullptr;
  }
  if (!ECPOINT_le2point(q.get(), value.data(), value.size()) ||
      ECGOST_is_pubkey_valid(q.get(), 1) != 1 || !ECGOST_set_public(key.get(), q.get())) {
    TK_FAIL(PKCS11_F_KEY_FROM_PUBLIC, R_INTERNAL_ERROR);
    return nullptr;
  }
  ECGOST_set_paramsets(key.get(), pub_nid, hash_nid, cipher_nid);
  return key.release();
}

int PKCS11_generate_key(const char* container_path, void* callback_arg, int key_type,
                        int paramset_nid, PKCS11_TOKEN_KEY* out) {
  constexpr int F = PKCS11_F_GENERATE_KEY;
  if (!container_path || !out) {
    TK_FAIL(F, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (key_type != PKCS11_KEY_TYPE_GOST2001 ||
      (paramset_nid != 0 && (paramset_nid < NID_CP_2001_A || paramset_nid > NID_CP_2001_XCHB))) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  ConnOwner c(connect(container_path, callback_arg, F));
  if (!c.c) return 0;
  Pkcs11Lock lock(c.c);
  if (!offers(c.c, CKM_GOSTR3410_KEY_PAIR_GEN) || !offers(c.c, CKM_GOSTR3410)) {
    PKCS11_note(CKR_MECHANISM_INVALID);
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  TemplateOwner pub(PKCS11_template(Pkcs11Template::PublicKeyTemporary));
  TemplateOwner priv(PKCS11_template(Pkcs11Template::PrivateKeyTemporary));
  if (!pub.t || !priv.t) {
    TK_FAIL(F, R_MALLOC_FAILURE);
    return 0;
  }
  if ((paramset_nid != 0 && paramset_nid != PKCS11_PARAMSET_DEFAULT &&
       !PKCS11_TEMPLATE_set_gost_params(pub.t, paramset_nid)) ||
      (offers(c.c, CKM_GOSTR3410_DERIVE) && !PKCS11_TEMPLATE_add_bool(priv.t, CKA_DERIVE, true)) ||
      (offers(c.c, CKM_GOSTR3410_KEY_WRAP) && !PKCS11_TEMPLATE_add_bool(priv.t, CKA_UNWRAP, true))) {
    TK_FAIL(F, R_MALLOC_FAILURE);
    return 0;
  }
  if (!PKCS11_login(c.c, 0)) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  // Leftovers of a generation that was never committed.
  TemplateOwner old_priv(PKCS11_template(Pkcs11Template::PrivateKeySearch));
  TemplateOwner old_pub(PKCS11_template(Pkcs11Template::PublicKeySearch));
  if (!old_priv.t || !old_pub.t ||
      !PKCS11_TEMPLATE_add_string(old_priv.t, CKA_LABEL, PKCS11_LABEL_PRIVATE_TEMPORARY) ||
      !PKCS11_TEMPLATE_add_string(old_pub.t, CKA_LABEL, PKCS11_LABEL_PUBLIC_TEMPORARY) ||
      !PKCS11_destroy_all(c.c, old_priv.t) || !PKCS11_destroy_all(c.c, old_pub.t)) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  CK_MECHANISM m{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pub_h = 0, priv_h = 0;
  if (PKCS11_note(fns(c.c)->C_GenerateKeyPair(c.c->session, &m, pub.t->attributes, pub.t->count,
                                              priv.t->attributes, priv.t->count, &pub_h,
                                              &priv_h)) != CKR_OK) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  c.c->object = pub_h;
  Owned<ECGOST> key(PKCS11_key_from_public_object(c.c));
  if (!key) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  c.c->object = priv_h;
  unsigned flags = 0;
  const PKEY_TOKEN_METHOD* method = PKCS11_token_method(c.c, &flags);
  PKCS11_TOKEN_KEY_clear(out);
  out->key = key.release();
  out->token = c.release();
  out->method = method;
  out->flags = flags;
  return 1;
}

int PKCS11_read_key(const char* key_path, const char* container_path, void* callback_arg,
                    int force_login, PKCS11_TOKEN_KEY* out) {
  constexpr int F = PKCS11_F_READ_KEY;
  const char* name = key_name(key_path);
  const char* path = PKCS11_parse_path(key_path, nullptr, nullptr) ? key_path : container_path;
  if (!name || !path || !out) {
    TK_FAIL(F, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  ConnOwner priv(connect(path, callback_arg, F));
  if (!priv.c) return 0;
  if (!PKCS11_login(priv.c, force_login ? 1 : 0) ||
      !PKCS11_find_private_key(priv.c, name, nullptr)) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  ConnOwner pub(connect(path, callback_arg, F));
  if (!pub.c || !PKCS11_find_public_key(pub.c, name, nullptr)) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  Owned<ECGOST> key(PKCS11_key_from_public_object(pub.c));
  if (!key || !PKCS11_OBJECT_set_second_name(priv.c, name)) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  unsigned flags = 0;
  const PKEY_TOKEN_METHOD* method = PKCS11_token_method(priv.c, &flags);
  PKCS11_TOKEN_KEY_clear(out);
  out->key = key.release();
  out->token = priv.release();
  out->method = method;
  out->flags = flags;
  return 1;
}

int PKCS11_import_key(PKCS11_OBJECT* c, const char* name, ECGOST* key) {
  constexpr int F = PKCS11_F_IMPORT_KEY;
  if (!c || !name || !key || !ECGOST_get_public(key)) {
    TK_FAIL(F, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  int pub_nid = 0, hash_nid = 0, cipher_nid = 0;
  ECGOST_get_paramsets(key, &pub_nid, &hash_nid, &cipher_nid);
  if (pub_nid < NID_CP_2001_A || pub_nid > NID_CP_2001_XCHB) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  if (hash_nid == 0) hash_nid = NID_CP_R3411_94_PARAMSET;
  if (cipher_nid == 0) cipher_nid = NID_CP_28147_A;
  Pkcs11Lock lock(c);
  unsigned char point[64], d_le[32];
  BIGNUM* d = BN_secure_new();
  bool have_d = d && ECGOST_get_private(key, d) && BN_bn2lebinpad(d, d_le, sizeof d_le) == 32;
  BN_clear_free(d);
  if (!have_d || ECPOINT_point2le(ECGOST_get_public(key), point, sizeof point) != 64) {
    mem_cleanse(d_le, sizeof d_le);
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  TemplateOwner pub(PKCS11_template(Pkcs11Template::PublicKeyFinal));
  TemplateOwner priv(PKCS11_template(Pkcs11Template::PrivateKeyFinal));
  auto params = [&](PKCS11_TEMPLATE* t) {
    return PKCS11_TEMPLATE_add(t, CKA_ID, name, std::strlen(name)) &&
           PKCS11_TEMPLATE_set_gost_params(t, pub_nid) &&
           add_oid(t, CKA_GOSTR3411_PARAMS, hash_nid) && add_oid(t, CKA_GOST28147_PARAMS, cipher_nid);
  };
  bool built = pub.t && priv.t && params(pub.t) && params(priv.t) &&
               PKCS11_TEMPLATE_add(pub.t, CKA_VALUE, point, sizeof point) &&
               PKCS11_TEMPLATE_add(priv.t, CKA_VALUE, d_le, sizeof d_le) &&
               (!offers(c, CKM_GOSTR3410_KEY_WRAP) || PKCS11_TEMPLATE_add_bool(priv.t, CKA_UNWRAP, true)) &&
               (!offers(c, CKM_GOSTR3410_DERIVE) || PKCS11_TEMPLATE_add_bool(priv.t, CKA_DERIVE, true));
  mem_cleanse(d_le, sizeof d_le);
  if (!built) {
    TK_FAIL(F, R_MALLOC_FAILURE);
    return 0;
  }
  if (!PKCS11_login(c, 0) || !PKCS11_delete_key_pair(c, name) || !PKCS11_create(c, pub.t)) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  CK_OBJECT_HANDLE pub_h = c->object;
  if (!PKCS11_create(c, priv.t)) {
    // A public half alone would shadow the name: take it away again.
    c->object = pub_h;
    PKCS11_destroy(c);
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  return 1;
}

int PKCS11_write_key(const char* key_path, const char* container_path, void* callback_arg,
                     PKCS11_TOKEN_KEY* k) {
  constexpr int F = PKCS11_F_WRITE_KEY;
  const char* name = key_name(key_path);
  if (!name || !k || !k->key) {
    TK_FAIL(F, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!k->token) {
    const char* path = PKCS11_parse_path(key_path, nullptr, nullptr) ? key_path : container_path;
    if (!path) {
      TK_FAIL(F, R_PASSED_NULL_PARAMETER);
      return 0;
    }
    ConnOwner c(connect(path, callback_arg, F));
    if (!c.c || !PKCS11_import_key(c.c, name, k->key)) {
      TK_FAIL(F, R_INTERNAL_ERROR);
      return 0;
    }
    return 1;
  }
  PKCS11_OBJECT* priv = k->token;
  Pkcs11Lock lock(priv);
  std::vector<unsigned char> old_id, label;
  bool has_id = read_attribute(priv, CKA_ID, old_id);
  bool fresh = !has_id && read_attribute(priv, CKA_LABEL, label) &&
               label.size() == std::strlen(PKCS11_LABEL_PRIVATE_TEMPORARY) &&
               std::memcmp(label.data(), PKCS11_LABEL_PRIVATE_TEMPORARY, label.size()) == 0;
  std::size_t name_len = std::strlen(name);
  // Already stored under this name: deleting "the pair of that name" would destroy the key.
  if (has_id && old_id.size() == name_len && std::memcmp(old_id.data(), name, name_len) == 0)
    return PKCS11_OBJECT_set_second_name(priv, name);
  if (!has_id && !fresh) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  const char* path = container_path ? container_path : priv->path;
  ConnOwner other(connect(path, callback_arg, F));
  if (!other.c || !PKCS11_login(other.c, 0) || !PKCS11_delete_key_pair(other.c, name)) {
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  // The public half: by its old CKA_ID, or for a fresh pair by the temporary label and the
  // key's point (so a stray temporary of another generation is never taken for it).
  unsigned char point[64];
  TemplateOwner find(PKCS11_template(Pkcs11Template::PublicKeySearch));
  bool found = find.t && ECPOINT_point2le(ECGOST_get_public(k->key), point, sizeof point) == 64 &&
               (has_id ? PKCS11_TEMPLATE_add(find.t, CKA_ID, old_id.data(), old_id.size())
                       : PKCS11_TEMPLATE_add_string(find.t, CKA_LABEL, PKCS11_LABEL_PUBLIC_TEMPORARY) &&
                             PKCS11_TEMPLATE_add(find.t, CKA_VALUE, point, sizeof point)) &&
               PKCS11_find_one(other.c, find.t);
  TemplateOwner priv_set(PKCS11_TEMPLATE_new()), pub_set(PKCS11_TEMPLATE_new());
  bool built = found && priv_set.t && pub_set.t &&
               PKCS11_TEMPLATE_add(priv_set.t, CKA_ID, name, name_len) &&
               PKCS11_TEMPLATE_add(pub_set.t, CKA_ID, name, name_len) &&
               (!fresh || (PKCS11_TEMPLATE_add_string(priv_set.t, CKA_LABEL, PKCS11_LABEL_PRIVATE_FINAL) &&
                           PKCS11_TEMPLATE_add_string(pub_set.t, CKA_LABEL, PKCS11_LABEL_PUBLIC_FINAL)));
  // The key object's new name is copied before the token is touched: once both halves carry
  // the name the key is stored, and nothing may fail after that and report it was not.
  char* second_name = built ? mem_strdup(name) : nullptr;
  if (!second_name || !PKCS11_set_attribute(priv, priv_set.t) ||
      !PKCS11_set_attribute(other.c, pub_set.t)) {
    mem_free(second_name);
    TK_FAIL(F, R_INTERNAL_ERROR);
    return 0;
  }
  mem_free(priv->second_name);
  priv->second_name = second_name;
  return 1;
}

}  // namespace jarnel
