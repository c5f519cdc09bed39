// Key and parameter encodings: the private key (plain or opaque), the public key, the
// CryptoPro parameter-set form and the SubjectPublicKeyInfo of GOST R 34.10-2001 keys.
#include <openssl/bn.h>

#include <cstring>

#include "crypto/ecgost/ec_asn1.h"
#include "crypto/ecgost/ec_der.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/lock.h"
#include "crypto/ecgost/ec_priv.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"

namespace jarnel {
namespace {

void asn1_err(int func, int reason) { JARNEL_ERR(LIB_ASN1, func, reason); }

bool write_params(der::Writer& w, const ECGOST* key) {
  std::span<const std::uint32_t> pk, dg, en;
  if (!ec::oid_of(key->pubkey_nid, pk) || !ec::oid_of(key->digest_nid, dg)) return false;
  w.open(der::TAG_SEQUENCE);
  w.oid(pk);
  w.oid(dg);
  if (key->cipher_nid) {
    if (!ec::oid_of(key->cipher_nid, en)) return false;
    w.oid(en);
  }
  w.close();
  return true;
}

// Reads the parameters and applies them to the key (NIDs and curve). The private-key encoding
// also takes the P-256 set of the library's own key type (181), so that such keys read back;
// the bare parameters and the SubjectPublicKeyInfo take the CryptoPro sets only.
bool read_params(der::Reader& r, ECGOST* key, bool own_sets = false) {
  der::Reader seq;
  der::Oid arcs;
  if (!r.enter(der::TAG_SEQUENCE, seq) || !seq.oid(arcs)) return false;
  const int pk = ec::nid_of(arcs);
  if ((pk < NID_CP_2001_A || pk > NID_CP_2001_XCHB) && !(own_sets && pk == NID_X9_62_PRIME256V1))
    return false;
  if (!seq.oid(arcs)) return false;
  const int dg = ec::nid_of(arcs);
  if (!dg) return false;
  int en = 0;
  if (!seq.empty()) {
    if (!seq.oid(arcs)) return false;
    en = ec::nid_of(arcs);
    if (!en) return false;
  }
  if (!seq.empty()) return false;
  if (ECURVE_get_nid(key->curve) != ECURVE_desc_by_number(ECURVE_number_by_paramset(pk))->nid) {
    Owned<ECURVE> c(ECURVE_by_number(ECURVE_number_by_paramset(pk)));
    if (!c || !ECGOST_set_curve(key, c.get())) return false;
  }
  ECGOST_set_paramsets(key, pk, dg, en);
  return true;
}

// i2d conventions; a writer that failed (memory) gives 0.
int finish(const der::Writer& w, unsigned char** pp) { return w.finish(pp); }

// The input is exactly one DER element (checked before a target object is touched).
bool one_element(const unsigned char* p, long len) {
  der::Reader r(std::span<const unsigned char>(p, static_cast<std::size_t>(len)));
  unsigned char tag = 0;
  std::span<const unsigned char> content;
  return r.any(tag, content) && r.empty();
}

ECGOST* target_key(ECGOST** a) {
  if (a && *a) return *a;
  return ECGOST_new(nullptr);
}

void done(ECGOST** a, ECGOST* key, bool ok) {
  if (!ok) {
    if (!a || *a != key) ECGOST_free(key);
    return;
  }
  if (a) *a = key;
}

}  // namespace

namespace ec {

bool oid_of(int nid, std::span<const std::uint32_t>& arcs) {
  arcs = obj::oid_of(nid);
  return !arcs.empty();
}

int nid_of(const der::Oid& oid) { return obj::nid_of(oid.span()); }

bool write_spki(der::Writer& w, const ECGOST* key) {
  unsigned char le[2 * 66];
  if (!key->Q) return false;
  const int n = ECPOINT_point2le(key->Q, le, sizeof le);
  if (n <= 0) return false;
  std::span<const std::uint32_t> alg;
  oid_of(NID_ECR3410_CP, alg);
  w.open(der::TAG_SEQUENCE);
  w.open(der::TAG_SEQUENCE);
  w.oid(alg);
  // The parameters without the encryption parameter set, as certificates carry them.
  ECGOST tmp = *key;
  tmp.cipher_nid = 0;
  if (!write_params(w, &tmp)) return false;
  w.close();
  // BIT STRING { OCTET STRING X_le || Y_le }: the bits' length is known, so no scratch copy.
  const auto octets = static_cast<std::size_t>(n);
  w.open(der::TAG_BIT_STRING);
  w.byte(0);
  w.octets(std::span<const unsigned char>(le, octets));
  w.close();
  w.close();
  return w.ok();
}

bool read_spki(der::Reader& r, ECGOST* key, unsigned char tag) {
  der::Reader spki, alg;
  der::Oid arcs;
  std::span<const unsigned char> bits, octets;
  std::span<const unsigned char> content;
  if (!r.expect(tag, content)) return false;
  spki = der::Reader(content);
  if (!spki.enter(der::TAG_SEQUENCE, alg) ||
      !alg.oid(arcs) || nid_of(arcs) != NID_ECR3410_CP || !read_params(alg, key) ||
      !alg.empty() || !spki.bit_string(bits) || !spki.empty())
    return false;
  der::Reader in(bits);
  if (!in.expect(der::TAG_OCTET_STRING, octets) || !in.empty()) return false;
  Owned<ECPOINT> Q(ECPOINT_new(key->curve));
  return Q && ECPOINT_le2point(Q.get(), octets.data(), octets.size()) &&
         ECGOST_set_public(key, Q.get());
}

}  // namespace ec

int i2d_ECGOST_PUBKEY(const ECGOST* key, unsigned char** pp) {
  der::Writer w;
  if (!key || !ec::write_spki(w, key)) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return 0;
  }
  return finish(w, pp);
}

static ECGOST* d2i_ECGOST_PUBKEY_into(ECGOST** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  if (!one_element(*pp, len)) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  ECGOST* key = target_key(a);
  der::Reader r(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  const bool ok = key && ec::read_spki(r, key) && r.empty();
  done(a, key, ok);
  if (!ok) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  *pp = r.position();
  return key;
}

int i2d_ECGOSTPARAMS(const ECGOST* key, unsigned char** pp) {
  der::Writer w;
  if (!key || !write_params(w, key)) {
    asn1_err(ECGOST_F_D2I_ECGOSTPARAMS, ECGOST_R_BAD_ENCODING);
    return 0;
  }
  return finish(w, pp);
}

static ECGOST* d2i_ECGOSTPARAMS_into(ECGOST** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    asn1_err(ECGOST_F_D2I_ECGOSTPARAMS, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  if (!one_element(*pp, len)) {
    asn1_err(ECGOST_F_D2I_ECGOSTPARAMS, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  ECGOST* key = target_key(a);
  der::Reader r(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  const bool ok = key && read_params(r, key) && r.empty();
  done(a, key, ok);
  if (!ok) {
    asn1_err(ECGOST_F_D2I_ECGOSTPARAMS, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  *pp = r.position();
  return key;
}

int ECGOST_pubkey_octets(ECGOST* key, const unsigned char** data, int* len) {
  if (!key) return 0;
  if (!key->pub_buf) {
    if (!key->Q) return 0;
    unsigned char le[2 * 66];
    const int n = ECPOINT_point2le(key->Q, le, sizeof le);
    if (n <= 0) return 0;
    key->pub_buf = static_cast<unsigned char*>(mem_alloc(static_cast<std::size_t>(n)));
    if (!key->pub_buf) return 0;
    std::memcpy(key->pub_buf, le, static_cast<std::size_t>(n));
    key->pub_len = n;
  }
  if (data) *data = key->pub_buf;
  if (len) *len = key->pub_len;
  return 1;
}

int i2d_ECGOSTPUBLICKEY(const ECGOST* key, unsigned char** pp) {
  const unsigned char* data = nullptr;
  int len = 0;
  if (!key || !ECGOST_pubkey_octets(const_cast<ECGOST*>(key), &data, &len)) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return 0;
  }
  der::Writer w;
  w.octets(std::span<const unsigned char>(data, static_cast<std::size_t>(len)));
  return finish(w, pp);
}

static ECGOST* d2i_ECGOSTPUBLICKEY_into(ECGOST** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  if (!one_element(*pp, len)) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  ECGOST* key = target_key(a);
  der::Reader r(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  std::span<const unsigned char> oct;
  Owned<ECPOINT> Q(key ? ECPOINT_new(key->curve) : nullptr);
  bool ok = Q && r.expect(der::TAG_OCTET_STRING, oct) && !oct.empty() && r.empty();
  if (ok) {
    // The CryptoPro form (X || Y little-endian) or SEC 1 point octets.
    const std::size_t n = static_cast<std::size_t>(key->curve->field.bytes);
    ok = oct.size() == 2 * n ? ECPOINT_le2point(Q.get(), oct.data(), oct.size())
                             : ECPOINT_bi2point(Q.get(), oct.data(), oct.size());
  }
  ok = ok && ECGOST_set_public(key, Q.get());
  Q.reset();
  if (ok) {
    key->pub_buf = static_cast<unsigned char*>(mem_alloc(oct.size()));
    ok = key->pub_buf != nullptr;
    if (ok) {
      std::memcpy(key->pub_buf, oct.data(), oct.size());
      key->pub_len = static_cast<int>(oct.size());
    }
  }
  done(a, key, ok);
  if (!ok) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  *pp = r.position();
  return key;
}

int i2d_ECGOSTPRIVATEKEY(const ECGOST* key, unsigned char** pp) {
  LockGuard lock(locks::EC);  // d or its opaque form must not change while it is written
  if (!key || !key->Q || (!ec::priv_present(key) && !key->enc_d)) {
    asn1_err(ECGOST_F_D2I_ECGOSTPRIVATEKEY, ECGOST_R_BAD_ENCODING);
    return 0;
  }
  der::Writer w;
  unsigned char pub[1 + 2 * 66];
  const int publen = ECPOINT_point2bin(key->Q, 0, pub, sizeof pub);
  bool ok = publen > 0;
  w.open(der::TAG_SEQUENCE);
  w.small_integer(0);
  ok = ok && write_params(w, key);
  if (ok) w.octets(std::span<const unsigned char>(pub, static_cast<std::size_t>(publen)));
  if (ok && key->enc_d) {
    BnPtr tag(BN_bin2bn(key->mask_tag, 4, nullptr));
    w.open(der::TAG_SEQUENCE);
    ok = tag && w.integer(key->enc_d) && w.integer(tag.get());
    w.close();
  } else if (ok) {
    // d goes straight into the writer's memory, which is wiped when released.
    BnPtr d(BN_secure_new());
    ok = d && ec::priv_load(key, d.get()) && w.integer(d.get());
  }
  w.close();
  ok = ok && w.ok();
  if (!ok) {
    asn1_err(ECGOST_F_D2I_ECGOSTPRIVATEKEY, ECGOST_R_DECODE_ERROR);
    return 0;
  }
  return finish(w, pp);
}

static ECGOST* d2i_ECGOSTPRIVATEKEY_into(ECGOST** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    asn1_err(ECGOST_F_D2I_ECGOSTPRIVATEKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  if (!one_element(*pp, len)) {
    asn1_err(ECGOST_F_D2I_ECGOSTPRIVATEKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  ECGOST* key = target_key(a);
  der::Reader r(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  der::Reader seq;
  std::span<const unsigned char> pub;
  unsigned version = 0;
  bool ok = key && r.enter(der::TAG_SEQUENCE, seq) && seq.small_integer(version) &&
            version == 0 && read_params(seq, key, true) && seq.expect(der::TAG_OCTET_STRING, pub);
  Owned<ECPOINT> Q(ok ? ECPOINT_new(key->curve) : nullptr);
  ok = ok && Q && ECPOINT_bi2point(Q.get(), pub.data(), pub.size()) &&
       ECGOST_set_public(key, Q.get());
  Q.reset();
  if (ok && seq.peek_tag() == der::TAG_SEQUENCE) {
    // Opaque key: the encrypted d and its mask tag.
    der::Reader op;
    std::span<const unsigned char> e, tag;
    unsigned char buf[36] = {};
    ok = seq.enter(der::TAG_SEQUENCE, op) && op.integer_bytes(e) && op.integer_bytes(tag) &&
         op.empty() && e.size() <= 32 && tag.size() <= 4;
    if (ok) {
      std::memcpy(buf + 32 - e.size(), e.data(), e.size());
      std::memcpy(buf + 36 - tag.size(), tag.data(), tag.size());
      ok = ECGOST_set_opaque(key, buf);
    }
    mem_cleanse(buf, sizeof buf);
  } else if (ok) {
    // d is read straight from the caller's bytes into a number that is wiped when freed.
    BnPtr d(BN_secure_new());
    ok = d && seq.integer(d.get()) && ECGOST_set_private(key, d.get());
  }
  ok = ok && seq.empty() && r.empty();
  done(a, key, ok);
  if (!ok) {
    asn1_err(ECGOST_F_D2I_ECGOSTPRIVATEKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  *pp = r.position();
  return key;
}

// An input is decoded into an existing key only once it is known to be valid, so a refused
// input leaves the key as it was (decoding applies parameters and points step by step). The
// trial runs on a scratch key with the target's curve and parameter sets, since the public-key
// form is read on the key's curve.
static ECGOST* decode_checked(ECGOST** a, const unsigned char** pp, long len,
                              ECGOST* (*decode)(ECGOST**, const unsigned char**, long)) {
  if (a && *a && pp && *pp && len > 0) {
    Owned<ECGOST> scratch(ECGOST_new((*a)->curve));
    if (!scratch) return nullptr;
    int pk = 0, dg = 0, en = 0;
    ECGOST_get_paramsets(*a, &pk, &dg, &en);
    ECGOST_set_paramsets(scratch.get(), pk, dg, en);
    const unsigned char* probe = *pp;
    ECGOST* s = scratch.get();
    if (!decode(&s, &probe, len)) return nullptr;
  }
  return decode(a, pp, len);
}

ECGOST* d2i_ECGOST_PUBKEY(ECGOST** a, const unsigned char** pp, long len) {
  return decode_checked(a, pp, len, d2i_ECGOST_PUBKEY_into);
}
ECGOST* d2i_ECGOSTPARAMS(ECGOST** a, const unsigned char** pp, long len) {
  return decode_checked(a, pp, len, d2i_ECGOSTPARAMS_into);
}
ECGOST* d2i_ECGOSTPUBLICKEY(ECGOST** a, const unsigned char** pp, long len) {
  return decode_checked(a, pp, len, d2i_ECGOSTPUBLICKEY_into);
}
ECGOST* d2i_ECGOSTPRIVATEKEY(ECGOST** a, const unsigned char** pp, long len) {
  return decode_checked(a, pp, len, d2i_ECGOSTPRIVATEKEY_into);
}

}  // namespace jarnel
