// Key and parameter encodings: the private key (plain or opaque), the public key, the
// CryptoPro parameter-set form and the SubjectPublicKeyInfo of GOST R 34.10-2001 keys.
#include <openssl/bn.h>

#include <array>
#include <cstring>
#include <vector>

#include "crypto/ecgost/ec_asn1.h"
#include "crypto/ecgost/ec_der.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/lock.h"
#include "crypto/ecgost/ec_priv.h"
#include "crypto/mem.h"

namespace jarnel {
namespace {

struct OidEntry {
  int nid;
  std::array<std::uint32_t, 10> arcs;
  std::size_t len;
};

const OidEntry k_oids[] = {
    {NID_ECR3410_CP, {1, 2, 643, 2, 2, 19}, 6},
    {NID_CP_2001_A, {1, 2, 643, 2, 2, 35, 1}, 7},
    {NID_CP_2001_B, {1, 2, 643, 2, 2, 35, 2}, 7},
    {NID_CP_2001_C, {1, 2, 643, 2, 2, 35, 3}, 7},
    {NID_CP_2001_XCHA, {1, 2, 643, 2, 2, 36, 0}, 7},
    {NID_CP_2001_XCHB, {1, 2, 643, 2, 2, 36, 1}, 7},
    {NID_CP_R3411_94_PARAMSET, {1, 2, 643, 2, 2, 30, 1}, 7},
    {NID_CP_28147_A, {1, 2, 643, 2, 2, 31, 1}, 7},
    {NID_CP_28147_B, {1, 2, 643, 2, 2, 31, 2}, 7},
    {NID_CP_28147_C, {1, 2, 643, 2, 2, 31, 3}, 7},
    {NID_CP_28147_D, {1, 2, 643, 2, 2, 31, 4}, 7},
    {NID_X9_62_PRIME256V1, {1, 2, 840, 10045, 3, 1, 7}, 7},
};

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

// Reads the parameters and applies them to the key (NIDs and curve).
bool read_params(der::Reader& r, ECGOST* key) {
  der::Reader seq(std::span<const unsigned char>{});
  std::vector<std::uint32_t> arcs;
  if (!r.enter(der::TAG_SEQUENCE, seq) || !seq.oid(arcs)) return false;
  const int pk = ec::nid_of(arcs);
  if (pk < NID_CP_2001_A || pk > NID_CP_2001_XCHB) return false;
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
    ECURVE* c = ECURVE_by_number(ECURVE_number_by_paramset(pk));
    if (!c) return false;
    const int ok = ECGOST_set_curve(key, c);
    ECURVE_free(c);
    if (!ok) return false;
  }
  ECGOST_set_paramsets(key, pk, dg, en);
  return true;
}

int finish(const der::Writer& w, unsigned char** pp) {
  if (pp) {
    std::memcpy(*pp, w.bytes().data(), w.size());
    *pp += w.size();
  }
  return static_cast<int>(w.size());
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
  for (const OidEntry& e : k_oids) {
    if (e.nid == nid) {
      arcs = std::span<const std::uint32_t>(e.arcs.data(), e.len);
      return true;
    }
  }
  return false;
}

int nid_of(const std::vector<std::uint32_t>& arcs) {
  for (const OidEntry& e : k_oids)
    if (arcs.size() == e.len && std::equal(arcs.begin(), arcs.end(), e.arcs.begin()))
      return e.nid;
  return 0;
}

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
  der::Writer inner;
  inner.octets(std::span<const unsigned char>(le, static_cast<std::size_t>(n)));
  std::vector<unsigned char> bits;
  bits.push_back(0);
  bits.insert(bits.end(), inner.bytes().begin(), inner.bytes().end());
  w.tlv(der::TAG_BIT_STRING, bits);
  w.close();
  return true;
}

bool read_spki(der::Reader& r, ECGOST* key) {
  der::Reader spki(std::span<const unsigned char>{}), alg(std::span<const unsigned char>{});
  std::vector<std::uint32_t> arcs;
  std::span<const unsigned char> bits, octets;
  if (!r.enter(der::TAG_SEQUENCE, spki) || !spki.enter(der::TAG_SEQUENCE, alg) ||
      !alg.oid(arcs) || nid_of(arcs) != NID_ECR3410_CP || !read_params(alg, key) ||
      !alg.empty() || !spki.expect(der::TAG_BIT_STRING, bits) || !spki.empty() ||
      bits.empty() || bits[0] != 0)
    return false;
  der::Reader in(bits.subspan(1));
  if (!in.expect(der::TAG_OCTET_STRING, octets) || !in.empty()) return false;
  ECPOINT* Q = ECPOINT_new(key->curve);
  const bool ok = Q && ECPOINT_le2point(Q, octets.data(), octets.size()) &&
                  ECGOST_set_public(key, Q);
  ECPOINT_free(Q);
  return ok;
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

ECGOST* d2i_ECGOST_PUBKEY(ECGOST** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  ECGOST* key = target_key(a);
  der::Reader r(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  const bool ok = key && ec::read_spki(r, key);
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

ECGOST* d2i_ECGOSTPARAMS(ECGOST** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    asn1_err(ECGOST_F_D2I_ECGOSTPARAMS, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  ECGOST* key = target_key(a);
  der::Reader r(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  const bool ok = key && read_params(r, key);
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

ECGOST* d2i_ECGOSTPUBLICKEY(ECGOST** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    asn1_err(ECGOST_F_D2I_ECGOSTPUBLICKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  ECGOST* key = target_key(a);
  der::Reader r(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  std::span<const unsigned char> oct;
  ECPOINT* Q = key ? ECPOINT_new(key->curve) : nullptr;
  bool ok = Q && r.expect(der::TAG_OCTET_STRING, oct) && !oct.empty();
  if (ok) {
    // The CryptoPro form (X || Y little-endian) or SEC 1 point octets.
    const std::size_t n = static_cast<std::size_t>(key->curve->field.bytes);
    ok = oct.size() == 2 * n ? ECPOINT_le2point(Q, oct.data(), oct.size())
                             : ECPOINT_bi2point(Q, oct.data(), oct.size());
  }
  ok = ok && ECGOST_set_public(key, Q);
  ECPOINT_free(Q);
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
    BIGNUM* tag = BN_bin2bn(key->mask_tag, 4, nullptr);
    w.open(der::TAG_SEQUENCE);
    ok = tag && w.integer(key->enc_d) && w.integer(tag);
    w.close();
    BN_free(tag);
  } else if (ok) {
    BIGNUM* d = BN_secure_new();
    ok = d && ec::priv_load(key, d) && w.integer(d);
    BN_clear_free(d);
  }
  w.close();
  if (!ok) {
    asn1_err(ECGOST_F_D2I_ECGOSTPRIVATEKEY, ECGOST_R_DECODE_ERROR);
    return 0;
  }
  return finish(w, pp);
}

ECGOST* d2i_ECGOSTPRIVATEKEY(ECGOST** a, const unsigned char** pp, long len) {
  if (!pp || !*pp || len <= 0) {
    asn1_err(ECGOST_F_D2I_ECGOSTPRIVATEKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  ECGOST* key = target_key(a);
  der::Reader r(std::span<const unsigned char>(*pp, static_cast<std::size_t>(len)));
  der::Reader seq(std::span<const unsigned char>{});
  std::span<const unsigned char> pub;
  unsigned version = 0;
  bool ok = key && r.enter(der::TAG_SEQUENCE, seq) && seq.small_integer(version) &&
            version == 0 && read_params(seq, key) && seq.expect(der::TAG_OCTET_STRING, pub);
  ECPOINT* Q = ok ? ECPOINT_new(key->curve) : nullptr;
  ok = ok && Q && ECPOINT_bi2point(Q, pub.data(), pub.size()) && ECGOST_set_public(key, Q);
  ECPOINT_free(Q);
  if (ok && seq.peek_tag() == der::TAG_SEQUENCE) {
    // Opaque key: the encrypted d and its mask tag.
    der::Reader op(std::span<const unsigned char>{});
    BIGNUM* e = BN_new();
    BIGNUM* tag = BN_new();
    unsigned char buf[36];
    ok = e && tag && seq.enter(der::TAG_SEQUENCE, op) && op.integer(e) && op.integer(tag) &&
         op.empty() && BN_num_bytes(e) <= 32 && BN_num_bytes(tag) <= 4 &&
         BN_bn2binpad(e, buf, 32) == 32 && BN_bn2binpad(tag, buf + 32, 4) == 4 &&
         ECGOST_set_opaque(key, buf);
    BN_free(e);
    BN_free(tag);
  } else if (ok) {
    BIGNUM* d = BN_secure_new();
    ok = d && seq.integer(d) && ECGOST_set_private(key, d);
    BN_clear_free(d);
  }
  ok = ok && seq.empty();
  done(a, key, ok);
  if (!ok) {
    asn1_err(ECGOST_F_D2I_ECGOSTPRIVATEKEY, ECGOST_R_BAD_ENCODING);
    return nullptr;
  }
  *pp = r.position();
  return key;
}

}  // namespace jarnel
