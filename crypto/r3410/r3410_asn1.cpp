// DER encodings of signatures, parameters, public and private keys, built on the base
// library's generic SEQUENCE OF ANY coding. Every decoder reads into temporary numbers and
// changes the target object only when the whole input was accepted.
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/objects.h>

#include <cstring>
#include <memory>

#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"

namespace jarnel {
namespace r3410 {
namespace {

constexpr const char* kShortNames[kTableSets] = {
    "CryptoPro-GostR3410-94-A-ParamSet",    "CryptoPro-GostR3410-94-B-ParamSet",
    "CryptoPro-GostR3410-94-C-ParamSet",    "CryptoPro-GostR3410-94-D-ParamSet",
    "CryptoPro-GostR3410-94-XchA-ParamSet", "CryptoPro-GostR3410-94-XchB-ParamSet",
    "CryptoPro-GostR3410-94-XchC-ParamSet"};
constexpr const char* kOidParamSets[kTableSets] = {
    "1.2.643.2.2.32.2", "1.2.643.2.2.32.3", "1.2.643.2.2.32.4", "1.2.643.2.2.32.5",
    "1.2.643.2.2.33.1", "1.2.643.2.2.33.2", "1.2.643.2.2.33.3"};
constexpr const char* kOidDigestParams = "1.2.643.2.2.30.1";
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagInteger = 0x02;

struct SeqDeleter {
  void operator()(ASN1_SEQUENCE_ANY* s) const { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); }
};
using SeqPtr = std::unique_ptr<ASN1_SEQUENCE_ANY, SeqDeleter>;
struct ObjDeleter {
  void operator()(ASN1_OBJECT* o) const { ASN1_OBJECT_free(o); }
};
using ObjPtr = std::unique_ptr<ASN1_OBJECT, ObjDeleter>;

// ---- decoding -------------------------------------------------------------------------------

// The elements of one DER SEQUENCE that fills exactly len bytes.
SeqPtr parse_sequence(const unsigned char* p, long len) {
  if (!p || len <= 0 || p[0] != kTagSequence) return nullptr;
  const unsigned char* q = p;
  SeqPtr seq(d2i_ASN1_SEQUENCE_ANY(nullptr, &q, len));
  if (!seq || q != p + len) return nullptr;
  return seq;
}

// The number of a non-negative INTEGER element.
BnPtr integer_of(const ASN1_TYPE* t, bool secret = false) {
  if (!t || t->type != V_ASN1_INTEGER) return nullptr;
  BnPtr v(secret ? BN_secure_new() : BN_new());
  if (!v || !ASN1_INTEGER_to_BN(t->value.integer, v.get()) || BN_is_negative(v.get()))
    return nullptr;
  if (secret) BN_set_flags(v.get(), BN_FLG_CONSTTIME);
  return v;
}

// Table index of an OBJECT IDENTIFIER element naming one of the seven sets, else -1.
int param_set_of(const ASN1_TYPE* t) {
  if (!t || t->type != V_ASN1_OBJECT) return -1;
  for (int i = 0; i < kTableSets; ++i) {
    ObjPtr o(OBJ_txt2obj(kOidParamSets[i], 1));
    if (o && OBJ_cmp(o.get(), t->value.object) == 0) return i;
  }
  return -1;
}

bool is_digest_params(const ASN1_TYPE* t) {
  if (!t || t->type != V_ASN1_OBJECT) return false;
  ObjPtr o(OBJ_txt2obj(kOidDigestParams, 1));
  return o && OBJ_cmp(o.get(), t->value.object) == 0;
}

// Reads a whole INTEGER element that fills exactly len bytes.
BnPtr parse_integer(const unsigned char* p, long len) {
  if (!p || len <= 0 || p[0] != kTagInteger) return nullptr;
  const unsigned char* q = p;
  ASN1_INTEGER* i = d2i_ASN1_INTEGER(nullptr, &q, len);
  BnPtr v;
  if (i && q == p + len) {
    v.reset(BN_new());
    if (v && (!ASN1_INTEGER_to_BN(i, v.get()) || BN_is_negative(v.get()))) v.reset();
  }
  ASN1_INTEGER_free(i);
  return v;
}

// ---- encoding -------------------------------------------------------------------------------

struct Encoder {
  SeqPtr seq{sk_ASN1_TYPE_new_null()};
  bool ok = seq != nullptr;

  void push(ASN1_TYPE* t) {
    if (!t || !sk_ASN1_TYPE_push(seq.get(), t)) {
      ASN1_TYPE_free(t);
      ok = false;
    }
  }
  void integer(const BIGNUM* v) {
    if (!ok || !v) { ok = false; return; }
    ASN1_INTEGER* i = BN_to_ASN1_INTEGER(v, nullptr);
    ASN1_TYPE* t = ASN1_TYPE_new();
    if (!i || !t) {
      ASN1_INTEGER_free(i);
      ASN1_TYPE_free(t);
      ok = false;
      return;
    }
    ASN1_TYPE_set(t, V_ASN1_INTEGER, i);
    push(t);
  }
  void object(const char* oid) {
    if (!ok) return;
    ASN1_OBJECT* o = OBJ_txt2obj(oid, 1);
    ASN1_TYPE* t = ASN1_TYPE_new();
    if (!o || !t) {
      ASN1_OBJECT_free(o);
      ASN1_TYPE_free(t);
      ok = false;
      return;
    }
    ASN1_TYPE_set(t, V_ASN1_OBJECT, o);
    push(t);
  }
  // A nested SEQUENCE, given as its complete encoding.
  void sequence(const Encoder& inner) {
    if (!ok || !inner.ok) { ok = false; return; }
    unsigned char* der = nullptr;
    int n = i2d_ASN1_SEQUENCE_ANY(inner.seq.get(), &der);
    ASN1_STRING* s = n > 0 ? ASN1_STRING_new() : nullptr;
    ASN1_TYPE* t = ASN1_TYPE_new();
    if (!s || !t || !ASN1_STRING_set(s, der, n)) {
      ASN1_STRING_free(s);
      ASN1_TYPE_free(t);
      OPENSSL_clear_free(der, n > 0 ? n : 0);
      ok = false;
      return;
    }
    OPENSSL_clear_free(der, n);
    ASN1_TYPE_set(t, V_ASN1_SEQUENCE, s);
    push(t);
  }
  // Writes the SEQUENCE (i2d conventions); 0 on failure.
  int finish(unsigned char** pp) const {
    if (!ok) return 0;
    int n = i2d_ASN1_SEQUENCE_ANY(seq.get(), nullptr);
    if (n <= 0 || !pp) return n > 0 ? n : 0;
    if (*pp) return i2d_ASN1_SEQUENCE_ANY(seq.get(), pp);
    // A null *pp receives a buffer from the library's allocator.
    auto* buf = static_cast<unsigned char*>(mem_alloc(static_cast<std::size_t>(n)));
    if (!buf) return 0;
    unsigned char* p = buf;
    if (i2d_ASN1_SEQUENCE_ANY(seq.get(), &p) != n) {
      mem_clear_free(buf, static_cast<std::size_t>(n));
      return 0;
    }
    *pp = buf;
    return n;
  }
};

// Writes a single element (an INTEGER or OCTET STRING) with i2d conventions.
template <class T, class F>
int write_single(T* value, F i2d, unsigned char** pp) {
  int n = i2d(value, nullptr);
  if (n <= 0 || !pp) return n > 0 ? n : 0;
  if (*pp) return i2d(value, pp);
  auto* buf = static_cast<unsigned char*>(mem_alloc(static_cast<std::size_t>(n)));
  if (!buf) return 0;
  unsigned char* p = buf;
  if (i2d(value, &p) != n) {
    mem_free(buf);
    return 0;
  }
  *pp = buf;
  return n;
}

// Ends a d2i: the target object is *a when given, else a new one.
R3410* target_key(R3410** a) {
  if (a && *a) return *a;
  return R3410_new();
}
R3410* finish_key(R3410** a, R3410* key) {
  if (a) *a = key;
  return key;
}

void decode_failed(int func, int reason) { JARNEL_ERR(LIB_ASN1, func, reason); }

// p, q, a decoded from three INTEGER elements starting at index first.
bool explicit_params(const ASN1_SEQUENCE_ANY* seq, int first, BnPtr& p, BnPtr& q, BnPtr& a) {
  p = integer_of(sk_ASN1_TYPE_value(seq, first));
  q = integer_of(sk_ASN1_TYPE_value(seq, first + 1));
  a = integer_of(sk_ASN1_TYPE_value(seq, first + 2));
  return p && q && a;
}

}  // namespace
}  // namespace r3410

using namespace r3410;

const char* R3410_nid_short_name(int nid) {
  switch (nid) {
    case R3410_NID_PUBLIC_KEY: return "R3410-CP";
    case R3410_NID_SIGNATURE: return "CryptoPro-GostR3411-94-with-GostR3410-94";
    case R3410_NID_DIGEST_PARAMS: return "CryptoPro-GostR3411-94-ParamSet";
    default: break;
  }
  const int index = nid_to_table_index(nid);
  return index < 0 ? nullptr : kShortNames[index];
}

const char* R3410_nid_oid(int nid) {
  switch (nid) {
    case R3410_NID_PUBLIC_KEY: return "1.2.643.2.2.20";
    case R3410_NID_SIGNATURE: return "1.2.643.2.2.4";
    case R3410_NID_DIGEST_PARAMS: return kOidDigestParams;
    default: break;
  }
  const int index = nid_to_table_index(nid);
  return index < 0 ? nullptr : kOidParamSets[index];
}

// ---- signature ------------------------------------------------------------------------------

int i2d_R3410_SIG(const R3410_SIG* sig, unsigned char** pp) {
  if (!sig || !sig->r || !sig->s) return 0;
  Encoder e;
  e.integer(sig->r);
  e.integer(sig->s);
  int n = e.finish(pp);
  if (n <= 0) JARNEL_ERR(LIB_GOSTS, R3410_F_SIGN, R_INTERNAL_ERROR);
  return n;
}

R3410_SIG* d2i_R3410_SIG(R3410_SIG** a, const unsigned char** pp, long len) {
  if (!pp || !*pp) {
    JARNEL_ERR(LIB_R3410, R3410_F_D2I_SIG, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  SeqPtr seq = parse_sequence(*pp, len);
  BnPtr r, s;
  if (seq && sk_ASN1_TYPE_num(seq.get()) == 2) {
    r = integer_of(sk_ASN1_TYPE_value(seq.get(), 0));
    s = integer_of(sk_ASN1_TYPE_value(seq.get(), 1));
  }
  if (!r || !s) {
    JARNEL_ERR(LIB_R3410, R3410_F_D2I_SIG, R3410_ASN1_R_DECODE_ERROR);
    return nullptr;
  }
  R3410_SIG* sig = (a && *a) ? *a : R3410_SIG_new();
  if (!sig) return nullptr;
  BN_clear_free(sig->r);
  BN_clear_free(sig->s);
  sig->r = r.release();
  sig->s = s.release();
  *pp += len;
  if (a) *a = sig;
  return sig;
}

// ---- parameters -----------------------------------------------------------------------------

int i2d_R3410Params(const R3410* key, unsigned char** pp) {
  if (!key || !key->p || !key->q || !key->a) {
    JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PARAMS, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  Encoder e;
  int nid = identify_params(key->p, key->q, key->a);
  if (nid && key->digest_param_nid == R3410_NID_DIGEST_PARAMS) {
    e.object(kOidParamSets[nid_to_table_index(nid)]);
    e.object(kOidDigestParams);
  } else {
    e.integer(key->p);
    e.integer(key->q);
    e.integer(key->a);
  }
  int n = e.finish(pp);
  if (n <= 0) JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PARAMS, R_MALLOC_FAILURE);
  return n;
}

R3410* d2i_R3410Params(R3410** a, const unsigned char** pp, long len) {
  if (!pp || !*pp) {
    decode_failed(R3410_F_D2I_PARAMS, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  SeqPtr seq = parse_sequence(*pp, len);
  const int count = seq ? sk_ASN1_TYPE_num(seq.get()) : 0;
  BnPtr p, q, g;
  int nid = 0;
  int digest_nid = R3410_NID_DIGEST_PARAMS;
  if (count >= 2 && sk_ASN1_TYPE_value(seq.get(), 0)->type == V_ASN1_OBJECT) {
    // SEQUENCE { publicKeyParamSet, digestParamSet, encryptionParamSet OPTIONAL }
    int index = param_set_of(sk_ASN1_TYPE_value(seq.get(), 0));
    bool rest_ok = count <= 3 && is_digest_params(sk_ASN1_TYPE_value(seq.get(), 1)) &&
                   (count == 2 || sk_ASN1_TYPE_value(seq.get(), 2)->type == V_ASN1_OBJECT);
    if (index < 0 || !rest_ok) {
      decode_failed(R3410_F_D2I_PARAMS, R3410_ASN1_R_UNKNOWN_OBJECT_TYPE);
      return nullptr;
    }
    if (!load_set(rfc_table()[index], p, q, g)) {
      decode_failed(R3410_F_D2I_PARAMS, R_MALLOC_FAILURE);
      return nullptr;
    }
    nid = table_index_to_nid(index);
  } else if (count == 3 && explicit_params(seq.get(), 0, p, q, g)) {
    if (!params_sane(p.get(), q.get(), g.get(), R3410_F_GENERATE_KEY)) {
      decode_failed(R3410_F_D2I_PARAMS, R3410_ASN1_R_DECODE_ERROR);
      return nullptr;
    }
    nid = identify_params(p.get(), q.get(), g.get());
  } else {
    decode_failed(R3410_F_D2I_PARAMS, R3410_ASN1_R_DECODE_ERROR);
    return nullptr;
  }
  R3410* key = target_key(a);
  if (!key) return nullptr;
  replace_params(key, std::move(p), std::move(q), std::move(g));
  key->param_nid = nid;
  key->digest_param_nid = digest_nid;
  *pp += len;
  return finish_key(a, key);
}

// ---- public key -----------------------------------------------------------------------------

int i2d_R3410PublicKey(const R3410* key, unsigned char** pp) {
  if (!key || !key->y) {
    JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PUBLICKEY, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  int n = 0;
  if (key->write_params) {
    Encoder e;
    e.integer(key->y);
    e.integer(key->p);
    e.integer(key->q);
    e.integer(key->a);
    n = e.finish(pp);
  } else {
    ASN1_INTEGER* i = BN_to_ASN1_INTEGER(key->y, nullptr);
    if (i) n = write_single(i, i2d_ASN1_INTEGER, pp);
    ASN1_INTEGER_free(i);
  }
  if (n <= 0) JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PUBLICKEY, R_INTERNAL_ERROR);
  return n;
}

R3410* d2i_R3410PublicKey(R3410** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    decode_failed(R3410_F_D2I_PUBLICKEY, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  BnPtr y, p, q, g;
  const bool with_params = (*pp)[0] == kTagSequence;
  if (with_params) {
    SeqPtr seq = parse_sequence(*pp, len);
    if (seq && sk_ASN1_TYPE_num(seq.get()) == 4) {
      y = integer_of(sk_ASN1_TYPE_value(seq.get(), 0));
      if (!explicit_params(seq.get(), 1, p, q, g) ||
          !params_sane(p.get(), q.get(), g.get(), R3410_F_GENERATE_KEY))
        y.reset();
    }
  } else {
    y = parse_integer(*pp, len);
  }
  if (!y || BN_is_zero(y.get()) || (with_params && BN_cmp(y.get(), p.get()) >= 0)) {
    decode_failed(R3410_F_D2I_PUBLICKEY, R3410_ASN1_R_DECODE_ERROR);
    return nullptr;
  }
  R3410* key = target_key(a);
  if (!key) return nullptr;
  if (with_params) {
    int nid = identify_params(p.get(), q.get(), g.get());
    replace_params(key, std::move(p), std::move(q), std::move(g));
    key->param_nid = nid;
  }
  key->write_params = with_params ? 1 : 0;
  BN_free(key->y);
  key->y = y.release();
  *pp += len;
  return finish_key(a, key);
}

int i2d_R3410PublicValue(const R3410* key, unsigned char** pp) {
  if (!key || !key->y || BN_num_bytes(key->y) > kPBytes) {
    JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PUBLICKEY, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  unsigned char le[kPBytes];
  BN_bn2binpad(key->y, le, kPBytes);
  BUF_reverse(le, kPBytes);
  ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
  int n = 0;
  if (os && ASN1_OCTET_STRING_set(os, le, kPBytes)) n = write_single(os, i2d_ASN1_OCTET_STRING, pp);
  ASN1_OCTET_STRING_free(os);
  if (n <= 0) JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PUBLICKEY, R_MALLOC_FAILURE);
  return n;
}

R3410* d2i_R3410PublicValue(R3410** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    decode_failed(R3410_F_D2I_PUBLICKEY, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  const unsigned char* q = *pp;
  ASN1_OCTET_STRING* os = d2i_ASN1_OCTET_STRING(nullptr, &q, len);
  BnPtr y;
  if (os && q == *pp + len && ASN1_STRING_length(os) == kPBytes) {
    unsigned char be[kPBytes];
    std::memcpy(be, ASN1_STRING_get0_data(os), kPBytes);
    BUF_reverse(be, kPBytes);
    y.reset(BN_bin2bn(be, kPBytes, nullptr));
  }
  ASN1_OCTET_STRING_free(os);
  if (!y || BN_is_zero(y.get())) {
    decode_failed(R3410_F_D2I_PUBLICKEY, R3410_ASN1_R_DECODE_ERROR);
    return nullptr;
  }
  R3410* key = target_key(a);
  if (!key) return nullptr;
  BN_free(key->y);
  key->y = y.release();
  *pp += len;
  return finish_key(a, key);
}

// ---- private key ----------------------------------------------------------------------------

int i2d_R3410PrivateKey(const R3410* key, unsigned char** pp) {
  if (!key || !key->p || !key->q || !key->a || !key->y) {
    JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PRIVATEKEY, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  BnPtr x;
  {
    LockGuard guard(locks::R3410);  // x must not change form while it is read
    x = secret_copy(key->x);
  }
  BnPtr version(BN_new());
  if (!x || !version) {
    JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PRIVATEKEY, R_INTERNAL_ERROR);
    return 0;
  }
  Encoder e;
  e.integer(version.get());
  e.integer(key->p);
  e.integer(key->q);
  e.integer(key->a);
  e.integer(key->y);
  if (key->key_mac) {
    Encoder inner;
    inner.integer(x.get());
    inner.integer(key->key_mac);
    e.sequence(inner);
  } else {
    e.integer(x.get());
  }
  int n = e.finish(pp);
  if (n <= 0) JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PRIVATEKEY, R_MALLOC_FAILURE);
  return n;
}

R3410* d2i_R3410PrivateKey(R3410** a, const unsigned char** pp, long len) {
  if (!pp || !*pp) {
    decode_failed(R3410_F_D2I_PRIVATEKEY, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  SeqPtr seq = parse_sequence(*pp, len);
  BnPtr version, p, q, g, y, x, mac;
  bool ok = seq && sk_ASN1_TYPE_num(seq.get()) == 6;
  if (ok) {
    version = integer_of(sk_ASN1_TYPE_value(seq.get(), 0));
    // Any version number is read (this library writes 0).
    ok = version && explicit_params(seq.get(), 1, p, q, g) &&
         params_sane(p.get(), q.get(), g.get(), R3410_F_GENERATE_KEY);
  }
  if (ok) {
    y = integer_of(sk_ASN1_TYPE_value(seq.get(), 4));
    ok = y && BN_cmp(y.get(), BN_value_one()) > 0 && BN_cmp(y.get(), p.get()) < 0;
  }
  if (ok) {
    const ASN1_TYPE* k = sk_ASN1_TYPE_value(seq.get(), 5);
    if (k->type == V_ASN1_SEQUENCE) {
      // SEQUENCE { x (container-encrypted, 32 bytes), key_mac (4 bytes) }
      SeqPtr inner = parse_sequence(k->value.sequence->data, k->value.sequence->length);
      ok = inner && sk_ASN1_TYPE_num(inner.get()) == 2;
      if (ok) {
        x = integer_of(sk_ASN1_TYPE_value(inner.get(), 0), true);
        mac = integer_of(sk_ASN1_TYPE_value(inner.get(), 1));
        ok = x && mac && BN_num_bytes(x.get()) <= kQBytes && BN_num_bytes(mac.get()) <= 4;
      }
    } else {
      x = integer_of(k, true);
      ok = x && !BN_is_zero(x.get()) && BN_cmp(x.get(), q.get()) < 0;
    }
  }
  if (!ok) {
    decode_failed(R3410_F_D2I_PRIVATEKEY, R3410_ASN1_R_DECODE_ERROR);
    return nullptr;
  }
  R3410_SECRET secret;
  if (!secret_set(secret, x.get())) {
    decode_failed(R3410_F_D2I_PRIVATEKEY, R_MALLOC_FAILURE);
    return nullptr;
  }
  R3410* key = target_key(a);
  if (!key) {
    secret_clear(secret);
    return nullptr;
  }
  int nid = identify_params(p.get(), q.get(), g.get());
  replace_params(key, std::move(p), std::move(q), std::move(g));
  key->param_nid = nid;
  BN_free(key->y);
  key->y = y.release();
  secret_clear(key->x);
  key->x = secret;
  BN_clear_free(key->key_mac);
  key->key_mac = mac.release();
  *pp += len;
  return finish_key(a, key);
}

}  // namespace jarnel
