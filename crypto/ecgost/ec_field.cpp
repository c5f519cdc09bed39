// Montgomery arithmetic for the curve fields. The per-size functions are templates so that the
// compiler unrolls the inner loops for the 256-bit fields of the built-in curves.
#include "crypto/ecgost/ec_field.h"
#include "crypto/ecgost/ec_field_impl.h"
#include "crypto/byteorder.h"
#include "crypto/mem.h"

#include <cstdlib>
#include <cstring>
#ifdef JARNEL_EC_HAVE_ADX_PATH
#include <cpuid.h>
#endif


namespace jarnel::ec {
namespace {

#ifdef JARNEL_EC_HAVE_ADX_PATH
// BMI2 (MULX) and ADX (ADCX/ADOX): CPUID leaf 7, EBX bits 8 and 19. Asked directly rather than
// through __builtin_cpu_supports, which not every compiler knows "adx" for.
bool cpu_has_bmi2_adx() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & (1u << 8)) && (b & (1u << 19));
}
#endif

using namespace detail;
using u64 = std::uint64_t;
using u128 = unsigned __int128;

template <int N>
void install(Field& f) {
  f.mul = mont_mul<N>;
  f.add = mod_add<N>;
  f.sub = mod_sub<N>;
}

bool bn_to_limbs(const BIGNUM* x, int n, u64* out) {
  unsigned char buf[kMaxLimbs * 8];
  if (BN_is_negative(x) || BN_num_bytes(x) > n * 8) return false;
  if (BN_bn2lebinpad(x, buf, n * 8) != n * 8) return false;
  for (int i = 0; i < n; ++i) {
    out[i] = load_le64(buf + 8 * i);
  }
  return true;
}

// Read with a byte 1 above the limbs, that bit then cleared: the reader skips no leading zero
// bytes and allocates the same length for every value, so a small coordinate (that of a small
// secret multiple) costs what any other does.
bool limbs_to_bn(const u64* in, int n, BIGNUM* r) {
  unsigned char buf[kMaxLimbs * 8 + 1];
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < 8; ++j) buf[8 * i + j] = static_cast<unsigned char>(in[i] >> (8 * j));
  buf[n * 8] = 1;
  const bool ok = BN_lebin2bn(buf, n * 8 + 1, r) != nullptr && BN_clear_bit(r, 64 * n) == 1;
  mem_cleanse(buf, sizeof buf);
  return ok;
}

}  // namespace

bool field_init(Field& f, const BIGNUM* p) {
  f = Field{};
  const int bits = BN_num_bits(p);
  if (bits < 3 || bits > 64 * kMaxLimbs || !BN_is_odd(p) || BN_is_negative(p)) return false;
  int n = (bits + 63) / 64;
  if (n < 2) n = 2;
  f.n = n;
  f.bits = bits;
  f.bytes = (bits + 7) / 8;
  if (!bn_to_limbs(p, n, f.p)) return false;
  // Newton iteration for p^-1 mod 2^64, then negate.
  u64 inv = 1;
  for (int i = 0; i < 7; ++i) inv *= 2 - f.p[0] * inv;
  f.pinv = 0 - inv;

  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* r = BN_new();
  BIGNUM* pm2 = BN_new();
  bool ok = ctx && r && pm2 && BN_set_bit(r, 64 * n) && BN_nnmod(r, r, p, ctx) &&
            bn_to_limbs(r, n, f.one.v) && BN_mod_sqr(r, r, p, ctx) && bn_to_limbs(r, n, f.r2.v) &&
            BN_sub(pm2, p, BN_value_one()) && BN_sub_word(pm2, 1) && bn_to_limbs(pm2, n, f.pm2.v) &&
            BN_set_word(r, 0) && BN_set_bit(r, 3 * 64 * n) && BN_nnmod(r, r, p, ctx) &&
            bn_to_limbs(r, n, f.r3.v);
  BN_free(pm2);
  BN_free(r);
  BN_CTX_free(ctx);
  if (!ok) return false;
  switch (n) {
    case 2: install<2>(f); break;
    case 3: install<3>(f); break;
    case 4:
      if (f.p[1] == ~u64{0} && f.p[2] == ~u64{0} && f.p[3] == ~u64{0} &&
          f.p[0] > ~u64{0} - (u64{1} << 32) && !std::getenv("JARNEL_EC_NO_SPECIAL")) {
        f.pm_c = 0 - f.p[0];
        fe_zero(f.one);
        f.one.v[0] = 1;
        f.r2 = f.one;
        f.r3 = f.one;
      }
#ifdef JARNEL_EC_HAVE_ADX_PATH
      f.adx = cpu_has_bmi2_adx() && !std::getenv("JARNEL_EC_NO_ADX");
#endif
      install<4>(f);
      break;
    case 5: install<5>(f); break;
    case 6: install<6>(f); break;
    case 7: install<7>(f); break;
    default: install<8>(f); break;
  }
  return true;
}

void fe_zero(Fe& r) { std::memset(r.v, 0, sizeof r.v); }

void fe_neg(const Field& f, Fe& r, const Fe& a) {
  Fe z;
  fe_zero(z);
  f.sub(f, r, z, a);
}

bool fe_is_zero(const Field& f, const Fe& a) {
  u64 acc = 0;
  for (int i = 0; i < f.n; ++i) acc |= a.v[i];
  return acc == 0;
}

bool fe_equal(const Field& f, const Fe& a, const Fe& b) {
  u64 acc = 0;
  for (int i = 0; i < f.n; ++i) acc |= a.v[i] ^ b.v[i];
  return acc == 0;
}

namespace {

// Helpers of the binary inversion on n-limb plain numbers.
bool limbs_is_one(const u64* x, int n) {
  if (x[0] != 1) return false;
  for (int i = 1; i < n; ++i)
    if (x[i]) return false;
  return true;
}

bool limbs_ge(const u64* a, const u64* b, int n) {
  for (int i = n - 1; i >= 0; --i)
    if (a[i] != b[i]) return a[i] > b[i];
  return true;
}

void limbs_sub(u64* r, const u64* a, const u64* b, int n) {
  u64 borrow = 0;
  for (int i = 0; i < n; ++i) {
    const u128 d = static_cast<u128>(a[i]) - b[i] - borrow;
    r[i] = static_cast<u64>(d);
    borrow = static_cast<u64>(d >> 64) & 1;
  }
}

// x := x / 2 mod p for x < p (adds p first when x is odd; the carry becomes the top bit).
void half_mod(u64* x, const u64* p, int n) {
  u64 carry = 0;
  if (x[0] & 1) {
    for (int i = 0; i < n; ++i) {
      const u128 s = static_cast<u128>(x[i]) + p[i] + carry;
      x[i] = static_cast<u64>(s);
      carry = static_cast<u64>(s >> 64);
    }
  }
  for (int i = 0; i < n - 1; ++i) x[i] = (x[i] >> 1) | (x[i + 1] << 63);
  x[n - 1] = (x[n - 1] >> 1) | (carry << 63);
}

// x := x - y mod p for x, y < p.
void sub_mod(u64* x, const u64* y, const u64* p, int n) {
  u64 borrow = 0;
  for (int i = 0; i < n; ++i) {
    const u128 d = static_cast<u128>(x[i]) - y[i] - borrow;
    x[i] = static_cast<u64>(d);
    borrow = static_cast<u64>(d >> 64) & 1;
  }
  if (borrow) {
    u64 carry = 0;
    for (int i = 0; i < n; ++i) {
      const u128 s = static_cast<u128>(x[i]) + p[i] + carry;
      x[i] = static_cast<u64>(s);
      carry = static_cast<u64>(s >> 64);
    }
  }
}

void shift_right1(u64* x, int n) {
  for (int i = 0; i < n - 1; ++i) x[i] = (x[i] >> 1) | (x[i + 1] << 63);
  x[n - 1] >>= 1;
}

}  // namespace

void fe_inv(const Field& f, Fe& r, const Fe& a) {
  // Binary extended Euclid on the plain value (variable time, like the base library's
  // inversion): aR comes out as (aR)^-1 = a^-1 R^-1, and one Montgomery product with R^3 gives
  // a^-1 R.
  const int n = f.n;
  u64 u[kMaxLimbs], v[kMaxLimbs], x1[kMaxLimbs] = {1}, x2[kMaxLimbs] = {};
  for (int i = 0; i < n; ++i) {
    u[i] = a.v[i];
    v[i] = f.p[i];
  }
  bool zero = true;
  for (int i = 0; i < n; ++i) zero = zero && u[i] == 0;
  if (zero) {
    fe_zero(r);
    return;
  }
  while (!limbs_is_one(u, n) && !limbs_is_one(v, n)) {
    while (!(u[0] & 1)) {
      shift_right1(u, n);
      half_mod(x1, f.p, n);
    }
    while (!(v[0] & 1)) {
      shift_right1(v, n);
      half_mod(x2, f.p, n);
    }
    if (limbs_ge(u, v, n)) {
      limbs_sub(u, u, v, n);
      sub_mod(x1, x2, f.p, n);
    } else {
      limbs_sub(v, v, u, n);
      sub_mod(x2, x1, f.p, n);
    }
  }
  Fe plain{};
  const u64* res = limbs_is_one(u, n) ? x1 : x2;
  for (int i = 0; i < n; ++i) plain.v[i] = res[i];
  f.mul(f, r, plain, f.r3);
}

void fe_inv_fermat(const Field& f, Fe& r, const Fe& a) {
  // a^(p-2) with a fixed 4-bit window.
  Fe table[16];
  table[0] = f.one;
  table[1] = a;
  for (int i = 2; i < 16; ++i) f.mul(f, table[i], table[i - 1], a);
  Fe acc = f.one;
  bool started = false;
  for (int i = f.n * 16 - 1; i >= 0; --i) {
    const unsigned digit = static_cast<unsigned>(f.pm2.v[i / 16] >> (4 * (i % 16))) & 0xF;
    if (started)
      for (int s = 0; s < 4; ++s) f.mul(f, acc, acc, acc);
    if (digit) {
      f.mul(f, acc, acc, table[digit]);
      started = true;
    }
  }
  r = acc;
}

void fe_to_plain(const Field& f, Fe& r, const Fe& a) {
  Fe one{};
  one.v[0] = 1;
  f.mul(f, r, a, one);
}

void fe_from_plain(const Field& f, Fe& r, const Fe& a) { f.mul(f, r, a, f.r2); }

bool fe_from_bn(const Field& f, Fe& r, const BIGNUM* x) {
  Fe plain{};
  if (!bn_to_limbs(x, f.n, plain.v)) return false;
  // x must be below p: x - p borrows.
  u64 borrow = 0;
  for (int i = 0; i < f.n; ++i) {
    u128 d = static_cast<u128>(plain.v[i]) - f.p[i] - borrow;
    borrow = static_cast<u64>(d >> 64) & 1;
  }
  if (!borrow) return false;
  fe_from_plain(f, r, plain);
  return true;
}

bool fe_to_bn(const Field& f, BIGNUM* r, const Fe& a) {
  Fe plain;
  fe_to_plain(f, plain, a);
  return limbs_to_bn(plain.v, f.n, r);
}

}  // namespace jarnel::ec
