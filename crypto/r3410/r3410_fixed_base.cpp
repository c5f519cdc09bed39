// Powers of the generator a with a precomputed table, for the exponentiations whose base is
// always a (the public key a^x and the signature's a^k).
//
// For the built-in sets the table holds a^(j·16^i) for every nibble position i (64 of them for
// a 256-bit exponent) and nibble value j, in Montgomery form: a^e is then the product of one
// entry per nibble, 64 multiplications instead of about 300. The entry is selected by reading
// every entry of its row, so the memory access pattern does not depend on the secret
// exponent. Tables are made on first use of a set and kept for the process (lock 24).
#include <openssl/bn.h>

#include <cstdint>
#include <cstring>

#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/r3410/r3410.h"
#include "crypto/r3410/r3410_local.h"

namespace jarnel::r3410 {
namespace {

constexpr int kWindows = kQBytes * 2;  // nibbles of a 256-bit exponent
constexpr int kEntries = 16;
constexpr int kSets = 9;              // seven RFC 4357 sets and the two built-in ones

struct FixedBase {
  unsigned char p[kPBytes];
  unsigned char a[kPBytes];
  BN_MONT_CTX* mont;
  int bytes;              // byte length of p
  unsigned char* table;   // kWindows × kEntries × bytes, big-endian
};

FixedBase* g_tables[kSets] = {};

// Index of the set in the cache, or -1 for parameters that are none of the built-in sets.
int set_slot(const BIGNUM* p, const BIGNUM* a) {
  if (BN_num_bytes(p) > kPBytes || BN_num_bytes(a) > kPBytes) return -1;
  unsigned char pb[kPBytes], ab[kPBytes];
  BN_bn2binpad(p, pb, kPBytes);
  BN_bn2binpad(a, ab, kPBytes);
  for (int i = 0; i < kSets; ++i) {
    const ParamSet& s = i < kTableSets ? rfc_table()[i] : *builtin_set(i - kTableSets + 1);
    if (!std::memcmp(s.p, pb, kPBytes) && !std::memcmp(s.a, ab, kPBytes)) return i;
  }
  return -1;
}

FixedBase* build(const BIGNUM* p, const BIGNUM* a, BN_CTX* ctx) {
  auto* fb = static_cast<FixedBase*>(mem_alloc(sizeof(FixedBase)));
  if (!fb) return nullptr;
  std::memset(static_cast<void*>(fb), 0, sizeof(FixedBase));
  BN_bn2binpad(p, fb->p, kPBytes);
  BN_bn2binpad(a, fb->a, kPBytes);
  fb->bytes = BN_num_bytes(p);
  fb->mont = BN_MONT_CTX_new();
  BnPtr one(BN_new()), step(BN_new()), cur(BN_new());
  bool ok = fb->mont && one && step && cur && BN_MONT_CTX_set(fb->mont, p, ctx) &&
            BN_to_montgomery(one.get(), BN_value_one(), fb->mont, ctx) &&
            BN_to_montgomery(step.get(), a, fb->mont, ctx);
  if (ok) {
    fb->table = static_cast<unsigned char*>(
        mem_alloc(static_cast<std::size_t>(kWindows) * kEntries * fb->bytes));
    ok = fb->table != nullptr;
  }
  // Row i: entry j = a^(j·16^i); step holds a^(16^i).
  for (int i = 0; ok && i < kWindows; ++i) {
    unsigned char* row = fb->table + static_cast<std::size_t>(i) * kEntries * fb->bytes;
    ok = BN_copy(cur.get(), one.get()) && BN_bn2binpad(cur.get(), row, fb->bytes) == fb->bytes;
    for (int j = 1; ok && j < kEntries; ++j)
      ok = BN_mod_mul_montgomery(cur.get(), cur.get(), step.get(), fb->mont, ctx) &&
           BN_bn2binpad(cur.get(), row + j * fb->bytes, fb->bytes) == fb->bytes;
    // a^(16^(i+1)) = a^(15·16^i) · a^(16^i)
    ok = ok && BN_mod_mul_montgomery(step.get(), cur.get(), step.get(), fb->mont, ctx);
  }
  if (!ok) {
    BN_MONT_CTX_free(fb->mont);
    mem_free(fb->table);
    mem_free(fb);
    return nullptr;
  }
  return fb;
}

const FixedBase* table_for(const BIGNUM* p, const BIGNUM* a, BN_CTX* ctx) {
  const int slot = set_slot(p, a);
  if (slot < 0) return nullptr;
  LockGuard guard(locks::R3410);
  FixedBase*& fb = g_tables[slot];
  if (!fb) fb = build(p, a, ctx);
  // A table made before the set's stored values changed serves only the values it was made of.
  unsigned char pb[kPBytes], ab[kPBytes];
  BN_bn2binpad(p, pb, kPBytes);
  BN_bn2binpad(a, ab, kPBytes);
  if (fb && (std::memcmp(fb->p, pb, kPBytes) != 0 || std::memcmp(fb->a, ab, kPBytes) != 0))
    return nullptr;
  return fb;
}

// Copies entry index of a row into out, touching every entry of the row.
void select_entry(const unsigned char* row, int bytes, unsigned index, unsigned char* out) {
  std::memset(out, 0, static_cast<std::size_t>(bytes));
  for (unsigned j = 0; j < kEntries; ++j) {
    const std::uint32_t d = j ^ index;
    const unsigned char mask = static_cast<unsigned char>(0u - ((d - 1u) >> 31));
    const unsigned char* e = row + j * static_cast<unsigned>(bytes);
    for (int b = 0; b < bytes; ++b) out[b] |= static_cast<unsigned char>(e[b] & mask);
  }
}

}  // namespace

bool generator_power(R3410* key, const BIGNUM* e, BIGNUM* out, BN_CTX* ctx) {
  // The table serves every exponent below q (at most 256 bits); which path runs depends on the
  // parameters only.
  const FixedBase* fb =
      key->q && BN_num_bits(key->q) <= kWindows * 4 ? table_for(key->p, key->a, ctx) : nullptr;
  if (!fb) {
    // a has order q: e padded by a multiple of q runs as long whatever e is.
    BN_MONT_CTX* mont = key_mont(key, ctx);
    BnPtr padded(BN_secure_new());
    return mont && padded && key->q && pad_exponent(e, key->q, padded.get(), ctx) &&
           BN_mod_exp_mont_consttime(out, key->a, padded.get(), key->p, ctx, mont);
  }
  unsigned char eb[kQBytes];
  SecureBuffer entry(static_cast<std::size_t>(fb->bytes));
  BnPtr acc(BN_new()), factor(BN_new());
  if (entry.empty() || !acc || !factor || BN_bn2binpad(e, eb, kQBytes) != kQBytes) return false;
  bool ok = true;
  for (int i = 0; ok && i < kWindows; ++i) {
    const unsigned nibble = (eb[kQBytes - 1 - i / 2] >> (4 * (i & 1))) & 0x0F;
    select_entry(fb->table + static_cast<std::size_t>(i) * kEntries * fb->bytes,
                 fb->bytes, nibble, entry.data());
    if (i == 0) {
      ok = BN_bin2bn(entry.data(), fb->bytes, acc.get()) != nullptr;
    } else {
      ok = BN_bin2bn(entry.data(), fb->bytes, factor.get()) &&
           BN_mod_mul_montgomery(acc.get(), acc.get(), factor.get(), fb->mont, ctx);
    }
  }
  mem_cleanse(eb, sizeof eb);
  return ok && BN_from_montgomery(out, acc.get(), fb->mont, ctx);
}

}  // namespace jarnel::r3410
