// The key object of the public-key layer (PKEY_KEY): one holder for OpenSSL's RSA and DSA keys
// and the library's GOST keys, with the operations private-key records need, and the key
// fingerprint.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>

#include "crypto/bytestring/der.h"
#include "crypto/cadb/pkey.h"
#include "crypto/cadb/pkey_local.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rus/gosth.h"

namespace jarnel {
namespace {

bool is_ec_type(int t) { return t == PKEY_TYPE_ECGOST || t == PKEY_TYPE_ECGOST_CP; }
bool is_r3410_type(int t) { return t == PKEY_TYPE_R3410 || t == PKEY_TYPE_R3410_CP; }

PKEY_KEY* new_key(int type) {
  auto* k = static_cast<PKEY_KEY*>(mem_alloc(sizeof(PKEY_KEY)));
  if (!k) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(k, 0, sizeof *k);
  k->type = type;
  k->references = 1;
  return k;
}

// SEQUENCE { SEQUENCE { OID, parameters }, BIT STRING { OCTET STRING value } } for the GOST
// keys whose identifier the algorithm module does not write itself.
bool write_gost_spki(der::Writer& w, int alg_nid, std::span<const unsigned char> params,
                     std::span<const unsigned char> value_octets) {
  w.open(der::TAG_SEQUENCE);
  w.open(der::TAG_SEQUENCE);
  w.oid(obj::oid_of(alg_nid));
  w.raw(params);
  w.close();
  w.open(der::TAG_BIT_STRING);
  w.byte(0);
  w.raw(value_octets);
  w.close();
  w.close();
  return w.ok();
}

// The i2d output of f(key) in a scratch buffer.
template <class T, class F>
bool encode_to(const T* key, F f, SecureBuffer& out) {
  const int n = f(key, nullptr);
  if (n <= 0 || !out.resize(static_cast<std::size_t>(n))) return false;
  unsigned char* p = out.data();
  return f(key, &p) == n;
}

bool spki_to(const PKEY_KEY* key, der::Writer& w) {
  if (!key) return false;
  if (key->evp) {
    unsigned char* der = nullptr;
    const int n = i2d_PUBKEY(key->evp, &der);
    if (n <= 0) {
      pkey::ossl_clear();
      return false;
    }
    w.raw(std::span<const unsigned char>(der, static_cast<std::size_t>(n)));
    OPENSSL_free(der);
    return w.ok();
  }
  if (key->ec) {
    SecureBuffer buf;
    if (key->type == PKEY_TYPE_ECGOST_CP) {
      if (!encode_to(key->ec, i2d_ECGOST_PUBKEY, buf)) return false;
      w.raw(buf.span());
      return w.ok();
    }
    unsigned char le[2 * 66];
    const ECPOINT* q = ECGOST_get_public(key->ec);
    const int n = q ? ECPOINT_point2le(q, le, sizeof le) : 0;
    if (n <= 0 || !encode_to(key->ec, i2d_ECGOSTPARAMS, buf)) return false;
    der::Writer v;
    v.octets(std::span<const unsigned char>(le, static_cast<std::size_t>(n)));
    return v.ok() && write_gost_spki(w, key->type, buf.span(), v.bytes());
  }
  if (key->r3410) {
    SecureBuffer params, value;
    if (!encode_to(key->r3410, i2d_R3410PublicValue, value)) return false;
    if (key->r3410->p && !encode_to(key->r3410, i2d_R3410Params, params)) return false;
    return write_gost_spki(w, key->type, params.span(), value.span());
  }
  return false;
}

}  // namespace

ECGOST* pkey::ecgost_from_params(int type, pkey::Bytes params) {
  if (params.empty()) return nullptr;
  const unsigned char* q = params.data();
  if (type == PKEY_TYPE_ECGOST_CP) return d2i_ECGOSTPARAMS(nullptr, &q, static_cast<long>(params.size()));
  der::Reader r(params), seq;
  der::Oid pk, dg, ci;
  if (!r.sequence(seq) || !r.empty() || !seq.oid(pk) || !seq.oid(dg) ||
      obj::nid_of(pk.span()) != NID_X9_62_PRIME256V1 || !obj::nid_of(dg.span()))
    return nullptr;
  int cipher = 0;
  if (!seq.empty() && (!seq.oid(ci) || !(cipher = obj::nid_of(ci.span())))) return nullptr;
  if (!seq.empty()) return nullptr;
  Owned<ECURVE> c(ECURVE_by_number(ECURVE_P256));
  ECGOST* k = c ? ECGOST_new(c.get()) : nullptr;
  if (k) ECGOST_set_paramsets(k, NID_X9_62_PRIME256V1, obj::nid_of(dg.span()), cipher);
  return k;
}

PKEY_KEY* PKEY_KEY_from_evp(EVP_PKEY* evp) {
  if (!evp) return nullptr;
  int type = 0;
  if (EVP_PKEY_is_a(evp, "RSA")) type = PKEY_TYPE_RSA_RECORD;
  else if (EVP_PKEY_is_a(evp, "DSA")) type = PKEY_TYPE_DSA;
  if (!type) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, CADB_R_UNKNOWN_ALGORITHM);
    return nullptr;
  }
  PKEY_KEY* k = new_key(type);
  if (k) k->evp = evp;
  return k;
}

PKEY_KEY* PKEY_KEY_from_ecgost(ECGOST* key, int type) {
  if (!key || !is_ec_type(type)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, CADB_R_UNKNOWN_ALGORITHM);
    return nullptr;
  }
  PKEY_KEY* k = new_key(type);
  if (k) k->ec = key;
  return k;
}

PKEY_KEY* PKEY_KEY_from_r3410(R3410* key, int type) {
  if (!key || !is_r3410_type(type)) {
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, CADB_R_UNKNOWN_ALGORITHM);
    return nullptr;
  }
  PKEY_KEY* k = new_key(type);
  if (k) k->r3410 = key;
  return k;
}

int PKEY_KEY_up_ref(PKEY_KEY* key) {
  if (!key) return 0;
  LockGuard g(locks::PKEY);
  return ++key->references;
}

void PKEY_KEY_free(PKEY_KEY* key) {
  if (!key) return;
  {
    LockGuard g(locks::PKEY);
    if (--key->references > 0) return;
  }
  if (key->token_method && key->token_method->release) key->token_method->release(key->token);
  EVP_PKEY_free(key->evp);
  ECGOST_free(key->ec);
  R3410_free(key->r3410);
  mem_clear_free(key, sizeof *key);
}

int PKEY_KEY_set_token(PKEY_KEY* key, const PKEY_TOKEN_METHOD* method, void* token) {
  if (!key) return 0;
  if (key->token_method && key->token_method->release && key->token != token)
    key->token_method->release(key->token);
  key->token_method = method;
  key->token = token;
  return 1;
}

int PKEY_KEY_size(const PKEY_KEY* key) {
  if (!key) return 0;
  if (key->evp) return EVP_PKEY_get_size(key->evp);
  if (key->ec) return ECGOST_size(key->ec);
  if (key->r3410) return key->r3410->q ? R3410_size(ECGOST_SIG_DER, key->r3410) : 0;
  return 0;
}

int PKEY_KEY_params_missing(const PKEY_KEY* key) {
  return key && key->r3410 && !key->r3410->p ? 1 : 0;
}

int i2d_PKEY_KEY_PUBKEY(const PKEY_KEY* key, unsigned char** pp) {
  der::Writer w;
  if (!spki_to(key, w)) return 0;
  return w.finish(pp);
}

namespace {

PKEY_KEY* decode_spki(const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) return nullptr;
  const std::span<const unsigned char> in(*pp, static_cast<std::size_t>(len));
  der::Reader r(in), spki, alg;
  der::Oid oid;
  if (!r.sequence(spki) || !r.empty() || !spki.sequence(alg) || !alg.oid(oid)) return nullptr;
  const int nid = obj::nid_of(oid.span());
  const unsigned char* p = *pp;
  if (nid == NID_ECR3410_CP) {
    Owned<ECGOST> ec(d2i_ECGOST_PUBKEY(nullptr, &p, len));
    PKEY_KEY* k = ec ? PKEY_KEY_from_ecgost(ec.get(), nid) : nullptr;
    if (k) ec.release(), *pp = p;
    return k;
  }
  std::span<const unsigned char> params, bits, value;
  if (nid == NID_ECR3410 || nid == NID_R3410 || nid == NID_R3410_CP) {
    params = std::span<const unsigned char>(alg.position(), alg.remaining());
    if (!spki.bit_string(bits) || !spki.empty()) return nullptr;
    if (nid == NID_ECR3410) {
      der::Reader v(bits);
      if (!v.octets(value) || !v.empty()) return nullptr;
      Owned<ECGOST> ec(pkey::ecgost_from_params(nid, params));
      Owned<ECPOINT> pt(ec ? ECPOINT_new(ECGOST_get_curve(ec.get())) : nullptr);
      if (!pt || !ECPOINT_le2point(pt.get(), value.data(), value.size()) ||
          !ECGOST_set_public(ec.get(), pt.get()))
        return nullptr;
      PKEY_KEY* k = PKEY_KEY_from_ecgost(ec.get(), nid);
      if (k) ec.release(), *pp += len;
      return k;
    }
    Owned<R3410> rk(R3410_new());
    if (!rk) return nullptr;
    if (!params.empty()) {
      const unsigned char* q = params.data();
      R3410* target = rk.get();
      if (!d2i_R3410Params(&target, &q, static_cast<long>(params.size()))) return nullptr;
    }
    const unsigned char* v = bits.data();
    R3410* target = rk.get();
    if (!d2i_R3410PublicValue(&target, &v, static_cast<long>(bits.size()))) return nullptr;
    PKEY_KEY* k = PKEY_KEY_from_r3410(rk.get(), nid);
    if (k) rk.release(), *pp += len;
    return k;
  }
  EVP_PKEY* evp = d2i_PUBKEY(nullptr, &p, len);
  if (evp && p != *pp + len) {
    EVP_PKEY_free(evp);
    evp = nullptr;
  }
  if (!evp) {
    pkey::ossl_clear();
    return nullptr;
  }
  PKEY_KEY* k = PKEY_KEY_from_evp(evp);
  if (!k) EVP_PKEY_free(evp);
  else *pp = p;
  return k;
}

}  // namespace

PKEY_KEY* d2i_PKEY_KEY_PUBKEY(const unsigned char** pp, long len) {
  PKEY_KEY* k = decode_spki(pp, len);
  if (!k) JARNEL_ERR(LIB_ASN1, 0, pkey::PKEY_R_DECODE_ERROR);
  return k;
}

int PKEY_KEY_sign(PKEY_KEY* key, int type, const unsigned char* dgst, int dlen,
                  unsigned char* sig, unsigned* siglen) {
  if (!key || !dgst || !sig || !siglen) return 0;
  if (key->token_method) {
    if (!key->token_method->sign || dlen <= 0) {
      JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, R_INTERNAL_ERROR);
      return 0;
    }
    std::size_t n = *siglen;
    const int ok = key->token_method->sign(key->token, type, dgst, static_cast<std::size_t>(dlen),
                                           sig, &n);
    *siglen = static_cast<unsigned>(n);
    return ok;
  }
  if (key->ec) {
    if (*siglen < static_cast<unsigned>(ECGOST_size(key->ec))) return 0;
    return ECGOST_sign(type, dgst, dlen, sig, siglen, key->ec);
  }
  if (key->r3410) return R3410_sign(type, key->r3410, dgst, dlen, sig, siglen) == 1;
  if (key->evp) {
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key->evp, nullptr));
    std::size_t n = *siglen;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), sig, &n, dgst, static_cast<std::size_t>(dlen)) != 1) {
      ERR_put_openssl_errors(LIB_CADB, CADB_F_PKEY_SPLIT, LIB_EVP, __FILE__, __LINE__);
      return 0;
    }
    *siglen = static_cast<unsigned>(n);
    return 1;
  }
  return 0;
}

int PKEY_KEY_verify(PKEY_KEY* key, int type, const unsigned char* dgst, int dlen,
                    const unsigned char* sig, int siglen) {
  if (!key || !dgst || !sig) return 0;
  if (key->ec) return ECGOST_verify(type, dgst, dlen, sig, siglen, key->ec) == 1;
  if (key->r3410) return R3410_verify(type, key->r3410, dgst, dlen, sig, siglen) == 1;
  if (key->evp) {
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key->evp, nullptr));
    const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                    EVP_PKEY_verify(ctx.get(), sig, static_cast<std::size_t>(siglen), dgst,
                                    static_cast<std::size_t>(dlen)) == 1;
    pkey::ossl_clear();
    return ok ? 1 : 0;
  }
  return 0;
}

namespace {

// The output rules of derive and unwrap: true when 32 bytes fit at out; otherwise *result
// holds the answer (1 for a length query, 0 and reason 105 for a short buffer).
bool room_for_32(unsigned char* out, std::size_t* outlen, int* result) {
  if (!out) {
    *outlen = 32;
    *result = 1;
    return false;
  }
  if (*outlen < 32) {
    *outlen = 32;
    JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, PKEY_R_BUFFER_TOO_SMALL);
    *result = 0;
    return false;
  }
  return true;
}

// A token key without the operation: the token's method has an empty slot.
int token_cannot() {
  JARNEL_ERR(LIB_CADB, CADB_F_PKEY_SPLIT, R_INTERNAL_ERROR);
  return 0;
}

}  // namespace

int PKEY_KEY_derive(PKEY_KEY* key, const ECPOINT* peer, const unsigned char ukm[8],
                    unsigned char* out, std::size_t* outlen) {
  if (!key || !peer || !ukm || !outlen) return 0;
  if (key->token_method) {
    if (!key->token_method->derive) return token_cannot();
    return key->token_method->derive(key->token, key->type, peer, ukm, out, outlen);
  }
  if (!key->ec) return token_cannot();
  int result = 0;
  if (!room_for_32(out, outlen, &result)) return result;
  if (!ECGOST_vko_kek(key->ec, peer, ukm, out)) {
    mem_cleanse(out, 32);
    return 0;
  }
  *outlen = 32;
  return 1;
}

int PKEY_KEY_unwrap(PKEY_KEY* key, const unsigned char* wrapped, std::size_t len,
                    unsigned char* out, std::size_t* outlen) {
  if (!key || !wrapped || !outlen || len > 0x7fffffff) return 0;
  if (key->token_method) {
    if (!key->token_method->unwrap) return token_cannot();
    return key->token_method->unwrap(key->token, key->type, wrapped, len, out, outlen);
  }
  if (!key->ec) return token_cannot();
  int result = 0;
  if (!room_for_32(out, outlen, &result)) return result;
  // Nothing of a content key whose check failed is handed out.
  if (!ECGOST_key_unwrap(key->ec, wrapped, static_cast<int>(len), out)) {
    mem_cleanse(out, 32);
    return 0;
  }
  *outlen = 32;
  return 1;
}

int PKEY_KEY_digest(PKEY_KEY* key, const unsigned char* data, std::size_t len,
                    unsigned char* out, std::size_t* outlen) {
  if (!key || !outlen) return 0;
  if (!key->token_method || !key->token_method->digest) return token_cannot();
  return key->token_method->digest(key->token, key->type, data, len, out, outlen);
}

int PKEY_KEY_bind(PKEY_KEY* key, PSE* pse) {
  if (!key) return 0;
  if (key->token_method) return 1;  // the private part is not here
  if (key->ec) return ECGOST_is_opaque(key->ec) ? 1 : ECGOST_encrypt_opaque(key->ec, pse);
  if (key->r3410) return R3410_encrypt_opaque(key->r3410, pse);
  return 1;
}

int PKEY_KEY_load(PKEY_KEY* key, PSE* pse) {
  if (!key) return 0;
  if (key->token_method) return 1;
  if (key->ec) {
    if (ECGOST_is_opaque(key->ec) && !ECGOST_decrypt_opaque(key->ec, pse)) return 0;
    if (!ECGOST_get_public(key->ec) && !ECGOST_generate_pubkey(key->ec)) return 0;
    return 1;
  }
  if (key->r3410) {
    if (!R3410_decrypt_opaque(key->r3410, pse)) return 0;
    if (!key->r3410->y && key->r3410->p && !R3410_generate_pubkey(key->r3410)) return 0;
    return 1;
  }
  return 1;
}

int FINGER_PRINT_of_bits(const unsigned char* bits, std::size_t len, unsigned char out[32]) {
  if ((!bits && len) || !out || len > 0x7fffffff) return 0;
  return GOSTH_digest(bits, static_cast<int>(len), out) ? 1 : 0;
}

BUFFER* FINGER_PRINT_get(const PKEY_KEY* key) {
  der::Writer w;
  if (!spki_to(key, w)) {
    JARNEL_ERR(LIB_CADB, CADB_F_FINGER_PRINT_GET, R_INTERNAL_ERROR);
    return nullptr;
  }
  der::Reader r(w.bytes()), spki, alg;
  std::span<const unsigned char> bits;
  unsigned char fp[32];
  if (!r.sequence(spki) || !spki.sequence(alg) || !spki.bit_string(bits) ||
      !FINGER_PRINT_of_bits(bits.data(), bits.size(), fp)) {
    JARNEL_ERR(LIB_CADB, CADB_F_FINGER_PRINT_GET, R_INTERNAL_ERROR);
    return nullptr;
  }
  BUFFER* b = BUFFER_fill(fp, 32);
  if (!b) JARNEL_ERR(LIB_CADB, CADB_F_FINGER_PRINT_GET, R_MALLOC_FAILURE);
  return b;
}

}  // namespace jarnel
