// Private keys kept encrypted under a key container (the opaque 36-byte form), and key
// generation for a container.
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <cstring>

#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ec_priv.h"
#include "crypto/ecgost/ec_selftest.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/pse/pse.h"

namespace jarnel {
namespace {

void attach_container(ECGOST* key, PSE* container) {
  if (key->container == container) return;
  PSE_up_ref(container);
  PSE_free(key->container);
  key->container = container;
}

}  // namespace

int ECGOST_encrypt_opaque(ECGOST* key, PSE* container) {
  LockGuard g(locks::EC);
  if (key && !container) container = key->container;
  if (!key || !container) {
    ECGOST_ERR(ECGOST_F_ENCRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  if (key->enc_d) return 1;  // already opaque
  if (!ec::priv_present(key) || BN_num_bytes(key->curve->q) > 32) {
    ECGOST_ERR(ECGOST_F_ENCRYPT_OPAQUE, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  unsigned char plain[32], opaque[36];
  BnPtr d(BN_secure_new()), e(BN_new());
  bool ok = d && e && ec::priv_load(key, d.get()) && BN_bn2binpad(d.get(), plain, 32) == 32 &&
            PSE_write_opaque(container, plain, opaque) && BN_bin2bn(opaque, 32, e.get());
  OPENSSL_cleanse(plain, sizeof plain);
  if (!ok) {
    ECGOST_ERR(ECGOST_F_ENCRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  ec::priv_clear(key);
  MASK_BN_free(key->pre_k);
  BN_free(key->pre_r);
  key->pre_k = nullptr;
  key->pre_r = nullptr;
  key->enc_d = e.release();
  std::memcpy(key->mask_tag, opaque + 32, 4);
  attach_container(key, container);
  return 1;
}

int ECGOST_decrypt_opaque(ECGOST* key, PSE* container) {
  LockGuard g(locks::EC);
  if (key && !container) container = key->container;
  if (!key || !container || !key->enc_d) {
    ECGOST_ERR(ECGOST_F_DECRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  unsigned char opaque[36], plain[32];
  BnPtr d(BN_secure_new());
  std::memcpy(opaque + 32, key->mask_tag, 4);
  bool ok = d && BN_bn2binpad(key->enc_d, opaque, 32) == 32 &&
            PSE_read_opaque(container, opaque, plain) && BN_bin2bn(plain, 32, d.get()) &&
            !BN_is_zero(d.get()) && BN_cmp(d.get(), key->curve->q) < 0 &&
            ec::priv_store(key, d.get());
  OPENSSL_cleanse(plain, sizeof plain);
  d.reset();
  if (!ok) {
    ECGOST_ERR(ECGOST_F_DECRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  BN_clear_free(key->enc_d);
  key->enc_d = nullptr;
  std::memset(key->mask_tag, 0, 4);
  attach_container(key, container);
  return 1;
}

int ECGOST_get_opaque(const ECGOST* key, unsigned char out[36]) {
  if (!key || !out || !key->enc_d || BN_bn2binpad(key->enc_d, out, 32) != 32) return 0;
  std::memcpy(out + 32, key->mask_tag, 4);
  return 1;
}

int ECGOST_set_opaque(ECGOST* key, const unsigned char in[36]) {
  if (!key || !in) return 0;
  BIGNUM* e = BN_bin2bn(in, 32, nullptr);
  if (!e) return 0;
  LockGuard g(locks::EC);
  ec::priv_clear(key);
  MASK_BN_free(key->pre_k);
  BN_free(key->pre_r);
  key->pre_k = nullptr;
  key->pre_r = nullptr;
  BN_clear_free(key->enc_d);
  key->enc_d = e;
  std::memcpy(key->mask_tag, in + 32, 4);
  return 1;
}

int ECGOST_generate_key(PSE* container, int curve_number, unsigned char priv[36],
                        unsigned char* pub, int* publen, int flags) {
  if (!priv || !pub || !publen) {
    if (priv) std::memset(priv, 0, 36);
    ECGOST_ERR(ECGOST_F_GENERATE_KEY, ECGOST_R_INVALID_PARAMETERS);
    ERR_set_status(ECGOST_STATUS_BAD_ARGS);
    return 0;
  }
  Owned<ECGOST> key;
  {
    Owned<ECURVE> c(ECURVE_by_number(curve_number));
    if (c) key.reset(ECGOST_new(c.get()));
  }
  const int compressed = (flags & ECGOST_FLAG_COMPRESSED) ? 1 : 0;
  bool ok = key && ECGOST_check_dh() && ECGOST_key_pair_generation(key.get()) &&
            ECGOST_encrypt_opaque(key.get(), container) && ECGOST_get_opaque(key.get(), priv);
  if (ok) {
    const int need = ECPOINT_point2bin(key->Q, compressed, nullptr, 0);
    ok = need > 0 && need <= *publen &&
         ECPOINT_point2bin(key->Q, compressed, pub, static_cast<std::size_t>(*publen)) == need;
    if (ok) *publen = need;
  }
  key.reset();
  if (!ok) {
    std::memset(priv, 0, 36);
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_GENERATE_KEY, LIB_ECGOST);
    return 0;
  }
  return 1;
}

}  // namespace jarnel
