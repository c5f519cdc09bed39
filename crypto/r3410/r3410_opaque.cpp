// The private value protected by the key container: encryption into the container's 36-byte
// form and back (under lock 24), and key-pair generation for a container.
#include <openssl/bn.h>

#include <cstring>

#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/pse/pse.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"

namespace jarnel {
namespace r3410 {
namespace {

constexpr int kMacBytes = 4;
constexpr int kOpaqueBytes = kQBytes + kMacBytes;

// The container to use: the argument, else the key's own. The first one used is remembered
// in the key, with a reference of its own.
PSE* container_for(R3410* key, PSE* pse) {
  PSE* c = pse ? pse : key->pse;
  if (c && !key->pse) {
    PSE_up_ref(c);
    key->pse = c;
  }
  return c;
}

}  // namespace

void release_pse(R3410* key) {
  PSE_free(key->pse);
  key->pse = nullptr;
}

}  // namespace r3410

using namespace r3410;

int R3410_encrypt_opaque(R3410* key, PSE* pse) {
  if (!key) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_R3410, R3410_F_ENCRYPT_OPAQUE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  LockGuard guard(locks::R3410);
  if (key->key_mac) return 1;  // already in the container's form
  PSE* c = container_for(key, pse);
  if (!c) {
    JARNEL_ERR(LIB_R3410, R3410_F_ENCRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  BnPtr x = secret_copy(key->x);
  if (!x || BN_num_bytes(x.get()) > kQBytes) {
    JARNEL_ERR(LIB_R3410, R3410_F_ENCRYPT_OPAQUE, R3410_R_INVALID_PRIVATE_KEY);
    return 0;
  }
  SecureBuffer clear(kQBytes), sealed(kOpaqueBytes);
  BnPtr enc(BN_secure_new()), mac(BN_new());
  if (clear.empty() || sealed.empty() || !enc || !mac) {
    JARNEL_ERR(LIB_R3410, R3410_F_ENCRYPT_OPAQUE, R_MALLOC_FAILURE);
    return 0;
  }
  BN_bn2binpad(x.get(), clear.data(), kQBytes);
  if (!PSE_write_opaque(c, clear.data(), sealed.data()) ||
      !BN_bin2bn(sealed.data(), kQBytes, enc.get()) ||
      !BN_bin2bn(sealed.data() + kQBytes, kMacBytes, mac.get()) ||
      !secret_set(key->x, enc.get())) {
    JARNEL_ERR(LIB_R3410, R3410_F_ENCRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  key->key_mac = mac.release();
  drop_triple(key);
  return 1;
}

int R3410_decrypt_opaque(R3410* key, PSE* pse) {
  if (!key) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_R3410, R3410_F_DECRYPT_OPAQUE, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  LockGuard guard(locks::R3410);
  if (!key->key_mac) return 1;  // already clear (masked)
  PSE* c = container_for(key, pse);
  if (!c) {
    JARNEL_ERR(LIB_R3410, R3410_F_DECRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  BnPtr enc = secret_copy(key->x);
  SecureBuffer sealed(kOpaqueBytes), clear(kQBytes);
  BnPtr x(BN_secure_new());
  if (!enc || sealed.empty() || clear.empty() || !x || BN_num_bytes(enc.get()) > kQBytes ||
      BN_num_bytes(key->key_mac) > kMacBytes) {
    JARNEL_ERR(LIB_R3410, R3410_F_DECRYPT_OPAQUE, R3410_R_INVALID_PRIVATE_KEY);
    return 0;
  }
  BN_bn2binpad(enc.get(), sealed.data(), kQBytes);
  BN_bn2binpad(key->key_mac, sealed.data() + kQBytes, kMacBytes);
  if (!PSE_read_opaque(c, sealed.data(), clear.data()) ||
      !BN_bin2bn(clear.data(), kQBytes, x.get())) {
    JARNEL_ERR(LIB_R3410, R3410_F_DECRYPT_OPAQUE, LIB_PSE);
    return 0;
  }
  // A value outside 0 < x < q is not this key's private value.
  if (BN_is_zero(x.get()) || (key->q && BN_cmp(x.get(), key->q) >= 0)) {
    JARNEL_ERR(LIB_R3410, R3410_F_DECRYPT_OPAQUE, R3410_R_INVALID_PRIVATE_KEY);
    return 0;
  }
  if (!secret_set(key->x, x.get())) {
    JARNEL_ERR(LIB_R3410, R3410_F_DECRYPT_OPAQUE, R_MALLOC_FAILURE);
    return 0;
  }
  BN_clear_free(key->key_mac);
  key->key_mac = nullptr;
  drop_triple(key);
  return 1;
}

int R3410_pse_generate(PSE* pse, int selector, unsigned char private_out[36],
                       unsigned char public_out[128]) {
  if (!pse || !private_out || !public_out) {
    ERR_set_status(R3410_STATUS_NULL_ARGUMENT);
    JARNEL_ERR(LIB_GOSTS, R3410_F_PSE_GENERATE, R3410_R_INVALID_DOMAIN_PARAMETERS);
    return 0;
  }
  R3410* key = nullptr;
  SecureBuffer priv(kOpaqueBytes);
  unsigned char pub[kPBytes];
  BnPtr x;
  // Container key generation is guarded by the key-agreement self-test.
  bool ok = dh_check(nullptr) && !priv.empty() && (key = R3410_new()) != nullptr &&
            R3410_set_params(key, selector) && R3410_generate_key(key, nullptr, 0) &&
            R3410_encrypt_opaque(key, pse) && (x = secret_copy(key->x)) != nullptr &&
            BN_num_bytes(x.get()) <= kQBytes && BN_num_bytes(key->key_mac) <= kMacBytes &&
            BN_num_bytes(key->y) <= kPBytes &&
            BN_bn2binpad(x.get(), priv.data(), kQBytes) == kQBytes &&
            BN_bn2binpad(key->key_mac, priv.data() + kQBytes, kMacBytes) == kMacBytes &&
            BN_bn2binpad(key->y, pub, kPBytes) == kPBytes;
  R3410_free(key);
  if (!ok) {
    set_status_if_unset(R3410_STATUS_KEY_FAILED);
    JARNEL_ERR(LIB_GOSTS, R3410_F_PSE_GENERATE, LIB_GOSTS);
    return 0;
  }
  std::memcpy(private_out, priv.data(), kOpaqueBytes);
  std::memcpy(public_out, pub, kPBytes);
  return 1;
}

}  // namespace jarnel
