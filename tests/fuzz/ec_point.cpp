// Curve points from outside, on every curve: the octet (SEC 1), little-endian and hex forms,
// public-key validation, and the key agreements that take a peer's point (ECDH and the VKO
// key-encryption key). First byte: curve and form.
#include <openssl/bn.h>

#include <cstdlib>
#include <string>

#include "fixed_keys.h"
#include "fuzz_util.h"

using namespace jarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  fuzz::Input in(data, size);
  const std::uint8_t sel = in.byte();
  const int ci = (sel >> 2) % fuzz::kCurveCount;
  ECGOST* key = fuzz::ecgost_key(ci);
  ECURVE* curve = ECGOST_get_curve(key);
  auto body = in.rest();

  ECPOINT* pt = ECPOINT_new(curve);
  if (!pt) return 0;
  int ok = 0;
  switch (sel & 3) {
    case 0: ok = ECPOINT_bi2point(pt, body.data(), body.size()); break;
    case 1: ok = ECPOINT_le2point(pt, body.data(), body.size()); break;
    case 2: {
      std::string hex(reinterpret_cast<const char*>(body.data()), body.size());
      ok = ECPOINT_hex2point(pt, hex.c_str());
      break;
    }
    default: {
      // Peer public octets straight into ECDH.
      ECDH* dh = ECDH_new(curve, sel & 0x80 ? 1 : 0);
      BIGNUM* d = BN_bin2bn(fuzz::kPrivate, sizeof fuzz::kPrivate, nullptr);
      if (dh && d && ECDH_set_private(dh, d)) {
        unsigned char out[80];
        int outlen = sizeof out;
        ECGOST_DH_compute_key(dh, body.data(), static_cast<int>(body.size()), out, &outlen);
      }
      BN_clear_free(d);
      ECDH_free(dh);
      break;
    }
  }
  if (ok == 1) {
    const int lies = ECPOINT_lies(pt);
    if (lies != 0 && lies != 1 && lies != -1) std::abort();
    const int valid = ECGOST_is_pubkey_valid(pt, 1);
    if (valid == 1 && lies != 1) std::abort();  // a valid public key lies on the curve
    if (valid == 1) {
      // Round trip through the octet form, and the VKO key-encryption key with it as peer.
      unsigned char oct[140];
      const int n = ECPOINT_point2bin(pt, sel & 0x40, oct, sizeof oct);
      ECPOINT* back = ECPOINT_new(curve);
      if (n <= 0 || !back || ECPOINT_bi2point(back, oct, static_cast<std::size_t>(n)) != 1 ||
          ECPOINT_cmp(pt, back) != 0)
        std::abort();
      ECPOINT_free(back);
      const unsigned char ukm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      unsigned char kek[32];
      if (ECGOST_vko_kek(key, pt, ukm, kek) != 1) std::abort();
    }
  }
  ECPOINT_free(pt);
  return 0;
}
