// DER encodings of signatures, parameters, public and private keys, on the library's bounded
// DER reader and writer. Every decoder reads into temporary numbers and changes the target
// object only when the whole input was accepted; encodings of the private x are built in
// memory that is wiped when released.
#include <openssl/bn.h>

#include <cstring>

#include "crypto/bytestring/der.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"

namespace jarnel {
namespace r3410 {
namespace {

// The whole input must be one element; trailing bytes are refused.
bool whole_sequence(const unsigned char* p, long len, der::Reader& seq) {
  if (!p || len <= 0) return false;
  der::Reader in(std::span<const unsigned char>(p, static_cast<std::size_t>(len)));
  return in.sequence(seq) && in.empty();
}

// A non-negative INTEGER into a fresh number (a secure one for secrets).
BnPtr read_integer(der::Reader& r, bool secret = false) {
  BnPtr v(secret ? BN_secure_new() : BN_new());
  if (!v || !r.integer(v.get())) return nullptr;
  if (secret) BN_set_flags(v.get(), BN_FLG_CONSTTIME);
  return v;
}

// Table index of a parameter-set identifier, else -1.
int param_set_of(const der::Oid& oid) {
  const int index = nid_to_table_index(obj::nid_of(oid.span()));
  return index;
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

// p, q, a from three INTEGER elements.
bool explicit_params(der::Reader& r, BnPtr& p, BnPtr& q, BnPtr& a) {
  p = read_integer(r);
  q = p ? read_integer(r) : nullptr;
  a = q ? read_integer(r) : nullptr;
  return p && q && a;
}

}  // namespace
}  // namespace r3410

using namespace r3410;

const char* R3410_nid_short_name(int nid) {
  if (nid != NID_R3410_CP && nid != NID_CP_R3411_WITH_R3410_94 &&
      nid != NID_CP_R3411_94_PARAMSET && nid_to_table_index(nid) < 0)
    return nullptr;
  return obj::short_name(nid);
}

const char* R3410_nid_oid(int nid) {
  // Dotted texts made once from the object table, for the numbers this module names.
  struct Texts {
    char text[NID_CP_R3410_94_XCHC - NID_R3410_CP + 1][64];
    Texts() {
      for (int n = NID_R3410_CP; n <= NID_CP_R3410_94_XCHC; ++n)
        obj::oid_text(n, text[n - NID_R3410_CP], sizeof text[0]);
    }
  };
  static const Texts texts;
  if (!R3410_nid_short_name(nid)) return nullptr;
  return texts.text[nid - NID_R3410_CP];
}

// ---- signature ------------------------------------------------------------------------------

int i2d_R3410_SIG(const R3410_SIG* sig, unsigned char** pp) {
  if (!sig || !sig->r || !sig->s) return 0;
  der::Writer w;
  w.open(der::TAG_SEQUENCE);
  w.integer(sig->r);
  w.integer(sig->s);
  w.close();
  int n = w.finish(pp);
  if (n <= 0) JARNEL_ERR(LIB_GOSTS, R3410_F_SIGN, R_INTERNAL_ERROR);
  return n;
}

R3410_SIG* d2i_R3410_SIG(R3410_SIG** a, const unsigned char** pp, long len) {
  if (!pp || !*pp) {
    JARNEL_ERR(LIB_R3410, R3410_F_D2I_SIG, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  der::Reader seq;
  BnPtr r, s;
  if (whole_sequence(*pp, len, seq)) {
    r = read_integer(seq);
    s = r ? read_integer(seq) : nullptr;
    if (!seq.empty()) s.reset();
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
  der::Writer w;
  int nid = identify_params(key->p, key->q, key->a);
  w.open(der::TAG_SEQUENCE);
  if (nid && key->digest_param_nid == NID_CP_R3411_94_PARAMSET) {
    w.oid(obj::oid_of(nid));
    w.oid(obj::oid_of(NID_CP_R3411_94_PARAMSET));
  } else {
    w.integer(key->p);
    w.integer(key->q);
    w.integer(key->a);
  }
  w.close();
  int n = w.finish(pp);
  if (n <= 0) JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PARAMS, R_MALLOC_FAILURE);
  return n;
}

R3410* d2i_R3410Params(R3410** a, const unsigned char** pp, long len) {
  if (!pp || !*pp) {
    decode_failed(R3410_F_D2I_PARAMS, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  der::Reader seq;
  const bool framed = whole_sequence(*pp, len, seq);
  BnPtr p, q, g;
  int nid = 0;
  int digest_nid = NID_CP_R3411_94_PARAMSET;
  if (framed && seq.peek_tag() == der::TAG_OID) {
    // SEQUENCE { publicKeyParamSet, digestParamSet, encryptionParamSet OPTIONAL }
    der::Oid set, digest, cipher;
    const bool read = seq.oid(set) && seq.oid(digest) && (seq.empty() || seq.oid(cipher));
    const int index = read ? param_set_of(set) : -1;
    const bool rest_ok = read && seq.empty() && obj::nid_of(digest.span()) == digest_nid;
    if (index < 0 || !rest_ok) {
      decode_failed(R3410_F_D2I_PARAMS, R3410_ASN1_R_UNKNOWN_OBJECT_TYPE);
      return nullptr;
    }
    if (!load_set(rfc_table()[index], p, q, g)) {
      decode_failed(R3410_F_D2I_PARAMS, R_MALLOC_FAILURE);
      return nullptr;
    }
    nid = table_index_to_nid(index);
  } else if (framed && explicit_params(seq, p, q, g) && seq.empty()) {
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
  der::Writer w;
  if (key->write_params) {
    w.open(der::TAG_SEQUENCE);
    w.integer(key->y);
    w.integer(key->p);
    w.integer(key->q);
    w.integer(key->a);
    w.close();
  } else {
    w.integer(key->y);
  }
  int n = w.finish(pp);
  if (n <= 0) JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PUBLICKEY, R_INTERNAL_ERROR);
  return n;
}

R3410* d2i_R3410PublicKey(R3410** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    decode_failed(R3410_F_D2I_PUBLICKEY, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  BnPtr y, p, q, g;
  const bool with_params = (*pp)[0] == der::TAG_SEQUENCE;
  der::Reader in(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  if (with_params) {
    der::Reader seq;
    if (in.sequence(seq)) {
      y = read_integer(seq);
      if (!y || !explicit_params(seq, p, q, g) || !seq.empty() ||
          !params_sane(p.get(), q.get(), g.get(), R3410_F_GENERATE_KEY))
        y.reset();
    }
  } else {
    y = read_integer(in);
  }
  if (!in.empty()) y.reset();
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
  der::Writer w;
  w.octets(le);
  int n = w.finish(pp);
  if (n <= 0) JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PUBLICKEY, R_MALLOC_FAILURE);
  return n;
}

R3410* d2i_R3410PublicValue(R3410** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    decode_failed(R3410_F_D2I_PUBLICKEY, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  der::Reader in(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  std::span<const unsigned char> le;
  BnPtr y;
  if (in.octets(le) && in.empty() && le.size() == kPBytes) {
    unsigned char be[kPBytes];
    std::memcpy(be, le.data(), kPBytes);
    BUF_reverse(be, kPBytes);
    y.reset(BN_bin2bn(be, kPBytes, nullptr));
  }
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
  // x goes straight into the writer's memory, which is wiped when released.
  der::Writer w;
  w.open(der::TAG_SEQUENCE);
  w.integer(version.get());
  w.integer(key->p);
  w.integer(key->q);
  w.integer(key->a);
  w.integer(key->y);
  if (key->key_mac) {
    w.open(der::TAG_SEQUENCE);
    w.integer(x.get());
    w.integer(key->key_mac);
    w.close();
  } else {
    w.integer(x.get());
  }
  w.close();
  int n = w.finish(pp);
  if (n <= 0) JARNEL_ERR(LIB_ASN1, R3410_F_I2D_PRIVATEKEY, R_MALLOC_FAILURE);
  return n;
}

R3410* d2i_R3410PrivateKey(R3410** a, const unsigned char** pp, long len) {
  if (!pp || !*pp) {
    decode_failed(R3410_F_D2I_PRIVATEKEY, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  der::Reader seq;
  BnPtr version, p, q, g, y, x, mac;
  bool ok = whole_sequence(*pp, len, seq);
  if (ok) {
    version = read_integer(seq);
    // Any version number is read (this library writes 0).
    ok = version && explicit_params(seq, p, q, g) &&
         params_sane(p.get(), q.get(), g.get(), R3410_F_GENERATE_KEY);
  }
  if (ok) {
    y = read_integer(seq);
    ok = y && BN_cmp(y.get(), BN_value_one()) > 0 && BN_cmp(y.get(), p.get()) < 0;
  }
  if (ok) {
    // x is read straight from the caller's bytes into a number that is wiped when freed.
    der::Reader inner;
    if (seq.peek_tag() == der::TAG_SEQUENCE) {
      // SEQUENCE { x (container-encrypted, 32 bytes), key_mac (4 bytes) }
      ok = seq.sequence(inner);
      x = ok ? read_integer(inner, true) : nullptr;
      mac = x ? read_integer(inner) : nullptr;
      ok = mac && inner.empty() && BN_num_bytes(x.get()) <= kQBytes &&
           BN_num_bytes(mac.get()) <= 4;
    } else {
      x = read_integer(seq, true);
      ok = x && !BN_is_zero(x.get()) && BN_cmp(x.get(), q.get()) < 0;
    }
    ok = ok && seq.empty();
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
