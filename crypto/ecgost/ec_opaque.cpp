// Private keys kept encrypted under a key container (the opaque 36-byte form), and key
// generation for a container.
#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstring>

#include "crypto/ecgost/ec_local.h"
#include "crypto/ecgost/ec_priv.h"
#include "crypto/ecgost/ec_selftest.h"
#include "crypto/lock.h"
#include "crypto/mem.h"

namespace jarnel {
namespace {

std::atomic<const ECGOST_CONTAINER_METHOD*> g_container_method{nullptr};

void attach_container(ECGOST* key, void* container, const ECGOST_CONTAINER_METHOD* m) {
  if (key->container == container) return;
  if (m->up_ref) m->up_ref(container);
  if (key->container && m->release) m->release(key->container);
  key->container = container;
}

}  // namespace

void ECGOST_set_container_method(const ECGOST_CONTAINER_METHOD* meth) {
  g_container_method.store(meth);
}

const ECGOST_CONTAINER_METHOD* ECGOST_get_container_method() { return g_container_method.load(); }

int ECGOST_encrypt_opaque(ECGOST* key, void* container) {
  LockGuard g(locks::EC);
  const ECGOST_CONTAINER_METHOD* m = g_container_method.load();
  if (key && !container) container = key->container;
  if (!key || !container || !m || !m->encrypt32) {
    ECGOST_ERR(ECGOST_F_ENCRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  if (key->enc_d) return 1;  // already opaque
  if (!ec::priv_present(key) || BN_num_bytes(key->curve->q) > 32) {
    ECGOST_ERR(ECGOST_F_ENCRYPT_OPAQUE, ECGOST_R_INVALID_PARAMETERS);
    return 0;
  }
  unsigned char plain[32], enc[32], tag[4];
  BIGNUM* d = BN_secure_new();
  BIGNUM* e = BN_new();
  bool ok = d && e && ec::priv_load(key, d) && BN_bn2binpad(d, plain, 32) == 32 &&
            m->encrypt32(container, plain, enc, tag) && BN_bin2bn(enc, 32, e);
  OPENSSL_cleanse(plain, sizeof plain);
  BN_clear_free(d);
  if (!ok) {
    BN_free(e);
    ECGOST_ERR(ECGOST_F_ENCRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  ec::priv_clear(key);
  BN_clear_free(key->pre_k);
  BN_free(key->pre_r);
  key->pre_k = key->pre_r = nullptr;
  key->enc_d = e;
  std::memcpy(key->mask_tag, tag, 4);
  attach_container(key, container, m);
  return 1;
}

int ECGOST_decrypt_opaque(ECGOST* key, void* container) {
  LockGuard g(locks::EC);
  const ECGOST_CONTAINER_METHOD* m = g_container_method.load();
  if (key && !container) container = key->container;
  if (!key || !container || !m || !m->decrypt32 || !key->enc_d) {
    ECGOST_ERR(ECGOST_F_DECRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  unsigned char enc[32], plain[32];
  BIGNUM* d = BN_secure_new();
  bool ok = d && BN_bn2binpad(key->enc_d, enc, 32) == 32 &&
            m->decrypt32(container, enc, key->mask_tag, plain) && BN_bin2bn(plain, 32, d) &&
            !BN_is_zero(d) && BN_cmp(d, key->curve->q) < 0 && ec::priv_store(key, d);
  OPENSSL_cleanse(plain, sizeof plain);
  BN_clear_free(d);
  if (!ok) {
    ECGOST_ERR(ECGOST_F_DECRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  BN_clear_free(key->enc_d);
  key->enc_d = nullptr;
  std::memset(key->mask_tag, 0, 4);
  attach_container(key, container, m);
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
  BN_clear_free(key->enc_d);
  key->enc_d = e;
  std::memcpy(key->mask_tag, in + 32, 4);
  return 1;
}

int ECGOST_generate_key(void* container, int curve_number, unsigned char priv[36],
                        unsigned char* pub, int* publen, int flags) {
  if (!priv || !pub || !publen) {
    if (priv) std::memset(priv, 0, 36);
    ECGOST_ERR(ECGOST_F_GENERATE_KEY, ECGOST_R_INVALID_PARAMETERS);
    ERR_set_status(ECGOST_STATUS_BAD_ARGS);
    return 0;
  }
  ECURVE* c = ECURVE_by_number(curve_number);
  ECGOST* key = c ? ECGOST_new(c) : nullptr;
  ECURVE_free(c);
  const int compressed = (flags & ECGOST_FLAG_COMPRESSED) ? 1 : 0;
  bool ok = key && ECGOST_check_dh() && ECGOST_key_pair_generation(key) &&
            ECGOST_encrypt_opaque(key, container) && ECGOST_get_opaque(key, priv);
  if (ok) {
    const int need = ECPOINT_point2bin(key->Q, compressed, nullptr, 0);
    ok = need > 0 && need <= *publen &&
         ECPOINT_point2bin(key->Q, compressed, pub, static_cast<std::size_t>(*publen)) == need;
    if (ok) *publen = need;
  }
  ECGOST_free(key);
  if (!ok) {
    std::memset(priv, 0, 36);
    ERR_set_status_once(ECGOST_STATUS_DH_FAILED);
    ECGOST_ERR(ECGOST_F_GENERATE_KEY, LIB_ECGOST);
    return 0;
  }
  return 1;
}

}  // namespace jarnel
