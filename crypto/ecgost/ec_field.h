#pragma once
// Prime-field arithmetic beneath the curve code: Montgomery multiplication over 64-bit limbs,
// with the multiplication unrolled per limb count (2 to 8 limbs, fields of up to 512 bits).
// Elements are kept in Montgomery form (a*R mod p, R = 2^(64n)) from the moment they enter
// a point until they leave it.
#include <openssl/bn.h>

#include <cstdint>

namespace jarnel::ec {

inline constexpr int kMaxLimbs = 8;

struct Fe {
  std::uint64_t v[kMaxLimbs];
};

struct Field;
using FieldMul = void (*)(const Field& f, Fe& r, const Fe& a, const Fe& b);
using FieldAdd = void (*)(const Field& f, Fe& r, const Fe& a, const Fe& b);

struct Field {
  int n = 0;      // limbs
  int bits = 0;   // bits of p
  int bytes = 0;  // ceil(bits / 8)
  std::uint64_t p[kMaxLimbs] = {};
  std::uint64_t pinv = 0;  // -p^-1 mod 2^64
  Fe one{};                // R mod p
  Fe r2{};                 // R^2 mod p
  Fe pm2{};                // p - 2 (plain), the inversion exponent
  Fe r3{};                 // R^3 mod p, brings a plain inverse back into Montgomery form
  bool adx = false;        // the processor has MULX/ADCX/ADOX (four-limb fields only)
  // p = 2^256 - pm_c with a small pm_c (CryptoPro-A: 617): products are reduced by folding the
  // high half (2^256 = pm_c mod p) and elements are kept as plain values (R = 1, so one, r2 and
  // r3 are 1 and every Montgomery conversion is the identity). 0 for other fields.
  std::uint64_t pm_c = 0;
  FieldMul mul = nullptr;
  FieldAdd add = nullptr;
  FieldAdd sub = nullptr;
};

// Sets up the field for an odd prime p of at most 512 bits; false otherwise.
bool field_init(Field& f, const BIGNUM* p);

inline void fe_mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { f.mul(f, r, a, b); }
inline void fe_sqr(const Field& f, Fe& r, const Fe& a) { f.mul(f, r, a, a); }
inline void fe_add(const Field& f, Fe& r, const Fe& a, const Fe& b) { f.add(f, r, a, b); }
inline void fe_sub(const Field& f, Fe& r, const Fe& a, const Fe& b) { f.sub(f, r, a, b); }
void fe_neg(const Field& f, Fe& r, const Fe& a);
void fe_zero(Fe& r);
bool fe_is_zero(const Field& f, const Fe& a);
bool fe_equal(const Field& f, const Fe& a, const Fe& b);
// r = a^-1 (binary extended Euclid, variable time); 0 stays 0. fe_inv_fermat computes a^(p-2).
void fe_inv(const Field& f, Fe& r, const Fe& a);
void fe_inv_fermat(const Field& f, Fe& r, const Fe& a);
// Conversions between big numbers (0 <= x < p) and Montgomery form. from_bn fails for x >= p
// or negative x.
bool fe_from_bn(const Field& f, Fe& r, const BIGNUM* x);
bool fe_to_bn(const Field& f, BIGNUM* r, const Fe& a);
// Plain (non-Montgomery) little-endian limbs of a value below p.
void fe_to_plain(const Field& f, Fe& r, const Fe& a);
void fe_from_plain(const Field& f, Fe& r, const Fe& a);

}  // namespace jarnel::ec
