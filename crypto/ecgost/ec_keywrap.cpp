// The VKO key-encryption key of RFC 4357 and the CryptoPro key transport built on it, in the
// GostR3410-KeyTransport structure of RFC 4490:
//
//   GostR3410-KeyTransport ::= SEQUENCE {
//     sessionEncryptedKey  SEQUENCE { encryptedKey OCTET STRING (32),
//                                     maskKey [0] IMPLICIT OCTET STRING OPTIONAL,
//                                     macKey OCTET STRING (4) },
//     transportParameters  [0] IMPLICIT SEQUENCE {
//       encryptionParamSet OBJECT IDENTIFIER,
//       ephemeralPublicKey [0] IMPLICIT SubjectPublicKeyInfo OPTIONAL,
//       ukm OCTET STRING (8) } OPTIONAL }
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "crypto/ecgost/ec_asn1.h"
#include "crypto/ecgost/ec_der.h"
#include "crypto/ecgost/ec_local.h"
#include "crypto/mem.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gosth.h"

namespace jarnel {

using ec::bad_args;
using ec::BnCtxPtr;
using ec::BnPtr;
using ec::KeyPtr;
using ec::PointPtr;
namespace {

// GOST R 34.11-94 (CryptoPro parameters) of the VKO point, as the hash returns it (most
// significant byte first). The key wrap's KEK diversification takes the KEK in this order.
bool vko_digest(ECGOST* key, const ECPOINT* peer, const unsigned char ukm[8],
                unsigned char out[32]) {
  BIGNUM* u = BN_lebin2bn(ukm, 8, nullptr);
  PointPtr P(ECPOINT_new(key->curve));
  unsigned char enc[2 * 66];
  int n = 0;
  const bool ok = u && P && ECGOST_vko_point(P.get(), peer, u, key) &&
                  (n = ECPOINT_point2le(P.get(), enc, sizeof enc)) > 0 &&
                  GOSTH_digest_cp(enc, n, out) != 0;
  BN_free(u);
  OPENSSL_cleanse(enc, sizeof enc);
  if (!ok) OPENSSL_cleanse(out, 32);
  return ok;
}

}  // namespace

int ECGOST_vko_kek(ECGOST* key, const ECPOINT* peer, const unsigned char ukm[8],
                   unsigned char kek[32]) {
  if (!key || !peer || !ukm || !kek) {
    ECGOST_ERR(ECGOST_F_VKO_KEK, ECGOST_R_INVALID_PARAMETERS);
    ERR_set_status(ECGOST_STATUS_BAD_ARGS);
    return 0;
  }
  if (!vko_digest(key, peer, ukm, kek)) {
    ECGOST_ERR(ECGOST_F_VKO_KEK, LIB_ECGOST);
    return 0;
  }
  // The KEK is the hash value in memory order (least significant byte first), the reverse of
  // the hash's output order.
  BUF_reverse(kek, 32);
  return 1;
}

int ECGOST_key_wrap(const ECGOST* recipient, const unsigned char cek[32], unsigned char* out,
                    int* outlen) {
  if (!recipient || !recipient->Q || !cek || !outlen) {
    ECGOST_ERR(ECGOST_F_KEY_WRAP, ECGOST_R_INVALID_PARAMETERS);
    ERR_set_status(ECGOST_STATUS_BAD_ARGS);
    return 0;
  }
  KeyPtr eph(ECGOST_new(recipient->curve));
  unsigned char ukm[8], kek[32], enc[32], mac[4];
  const unsigned char* sbox = GOSTE_sbox_by_nid(NID_CP_28147_A);
  std::span<const std::uint32_t> cipher_oid;
  bool ok = eph && sbox && ec::oid_of(NID_CP_28147_A, cipher_oid) &&
            ECGOST_key_pair_generation(eph.get());
  if (ok) {
    ECGOST_set_paramsets(eph.get(), recipient->pubkey_nid, recipient->digest_nid, 0);
    // A UKM that reads as 0 would make the VKO multiplier 0; draw again.
    do {
      ok = RAND_bytes(ukm, 8) == 8;
    } while (ok && std::all_of(ukm, ukm + 8, [](unsigned char b) { return b == 0; }));
  }
  ok = ok && vko_digest(eph.get(), recipient->Q, ukm, kek) &&
       GOSTE_cp_key_wrap(kek, ukm, cek, sbox, enc, mac);
  OPENSSL_cleanse(kek, sizeof kek);
  der::Writer w;
  if (ok) {
    w.open(der::TAG_SEQUENCE);
    w.open(der::TAG_SEQUENCE);
    w.octets(enc);
    w.octets(mac);
    w.close();
    w.open(der::TAG_CTX0_CONS);
    w.oid(cipher_oid);
    der::Writer spki;
    ok = ec::write_spki(spki, eph.get());
    if (ok) {
      // [0] IMPLICIT: the SEQUENCE tag of the SubjectPublicKeyInfo becomes [0] constructed.
      w.byte(der::TAG_CTX0_CONS);
      w.raw(spki.bytes().subspan(1));
    }
    w.octets(ukm);
    w.close();
    w.close();
    ok = w.ok();
  }
  if (!ok) {
    ECGOST_ERR(ECGOST_F_KEY_WRAP, LIB_ECGOST);
    return 0;
  }
  const int need = static_cast<int>(w.size());
  const int given = *outlen;
  *outlen = need;
  if (!out) return 1;
  if (given < need) {
    ECGOST_ERR(ECGOST_F_KEY_WRAP, R_INTERNAL_ERROR);
    return 0;
  }
  std::memcpy(out, w.bytes().data(), static_cast<std::size_t>(need));
  return 1;
}

int ECGOST_key_unwrap(ECGOST* recipient, const unsigned char* in, int inlen,
                      unsigned char cek[32]) {
  if (!recipient || !in || inlen <= 0 || !cek) {
    ECGOST_ERR(ECGOST_F_KEY_UNWRAP, ECGOST_R_INVALID_PARAMETERS);
    ERR_set_status(ECGOST_STATUS_BAD_ARGS);
    return 0;
  }
  der::Reader r(std::span<const unsigned char>(in, static_cast<std::size_t>(inlen)));
  der::Reader kt, sek, tp;
  std::span<const unsigned char> enc, mac, ukm;
  der::Oid arcs;
  bool ok = r.enter(der::TAG_SEQUENCE, kt) && r.empty() && kt.enter(der::TAG_SEQUENCE, sek) &&
            sek.expect(der::TAG_OCTET_STRING, enc) && enc.size() == 32;
  // A mask key is not part of this scheme; a structure carrying one is refused.
  ok = ok && sek.peek_tag() != der::TAG_CTX0_PRIM && sek.expect(der::TAG_OCTET_STRING, mac) &&
       mac.size() == 4 && sek.empty() && kt.enter(der::TAG_CTX0_CONS, tp) && kt.empty() &&
       tp.oid(arcs);
  const int cipher = ok ? ec::nid_of(arcs) : 0;
  const unsigned char* sbox =
      (cipher >= NID_CP_28147_A && cipher <= NID_CP_28147_D) ? GOSTE_sbox_by_nid(cipher) : nullptr;
  ok = ok && sbox && tp.peek_tag() == der::TAG_CTX0_CONS;
  KeyPtr eph(ok ? ECGOST_new(recipient->curve) : nullptr);
  if (ok) {
    // The [0] IMPLICIT SubjectPublicKeyInfo.
    ok = eph && ec::read_spki(tp, eph.get(), der::TAG_CTX0_CONS);
  }
  ok = ok && tp.expect(der::TAG_OCTET_STRING, ukm) && ukm.size() == 8 && tp.empty();
  // The ephemeral key must be on the recipient's curve.
  ok = ok && BN_cmp(eph->curve->p, recipient->curve->p) == 0 &&
       BN_cmp(eph->curve->a, recipient->curve->a) == 0 &&
       BN_cmp(eph->curve->b, recipient->curve->b) == 0 &&
       BN_cmp(eph->curve->q, recipient->curve->q) == 0;
  unsigned char kek[32];
  ok = ok && vko_digest(recipient, eph->Q, ukm.data(), kek) &&
       GOSTE_cp_key_unwrap(kek, ukm.data(), enc.data(), mac.data(), sbox, cek);
  OPENSSL_cleanse(kek, sizeof kek);
  if (!ok) {
    ECGOST_ERR(ECGOST_F_KEY_UNWRAP, ECGOST_R_KEY_UNWRAP_FAILED);
    return 0;
  }
  return 1;
}

}  // namespace jarnel
