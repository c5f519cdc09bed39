#pragma once
// Internals shared by the files of this module (and its tests).
#include <openssl/bn.h>

#include <cstdint>
#include <memory>

#include "crypto/owners.h"
#include "crypto/r3410/r3410.h"

namespace jarnel::r3410 {

// Owners: BnPtr and BnCtxPtr from crypto/owners.h (big numbers are wiped when released).
using jarnel::BnCtxPtr;
using jarnel::BnPtr;

inline constexpr int kPBytes = 128;
inline constexpr int kQBytes = 32;
inline constexpr int kMaxPBits = 1024;
inline constexpr int kMaxQBits = 256;

// One parameter set as stored: big-endian bytes.
struct ParamSet {
  unsigned char p[kPBytes];
  unsigned char q[kQBytes];
  unsigned char a[kPBytes];
};
inline constexpr int kTableSets = 7;
// The seven RFC 4357 sets in table order (index 0 CryptoPro-A ... 6 CryptoPro-XchC) and the two
// built-in sets. Writable on purpose: the integrity check hashes them as they are in memory.
ParamSet* rfc_table();
ParamSet* builtin_set(int which);  // 1 or 2
// The two 128-byte constant tables that enter the integrity hash after the built-in sets.
unsigned char* check_constant(int which);  // 0 or 1
int table_index_to_nid(int index);
// Table index of an identifier 276..282, else -1.
int nid_to_table_index(int nid);

// Loads a stored set into fresh numbers (p, q, a); false when memory is short.
bool load_set(const ParamSet& set, BnPtr& p, BnPtr& q, BnPtr& a);
// Replaces the key's p, q, a (and drops its cached Montgomery form and one-time triple).
void replace_params(R3410* key, BnPtr p, BnPtr q, BnPtr a);
// Discards the one-time signing values (they belong to the key's x and parameters).
void drop_triple(R3410* key);
// The seven-set identifier of (p, q, a), or 0.
int identify_params(const BIGNUM* p, const BIGNUM* q, const BIGNUM* a);
// Sound domain parameters: 1 < q < p, p odd, q of at most 256 bits, p of at most 1024 bits,
// 1 < a < p. Records (78, func, reason) on failure.
bool params_sane(const BIGNUM* p, const BIGNUM* q, const BIGNUM* a, int func);

// Masked private values.
bool secret_set(R3410_SECRET& s, const BIGNUM* clear);
// A clear copy (flagged constant-time) or null with status 12.
BnPtr secret_copy(const R3410_SECRET& s);
bool secret_present(const R3410_SECRET& s);
void secret_clear(R3410_SECRET& s);

// The Montgomery form of the key's p, made once and kept in the key (under lock 24).
BN_MONT_CTX* key_mont(R3410* key, BN_CTX* ctx);

// out := a^e mod p for the key's generator a (e secret, at most 256 bits in the fast path):
// with the precomputed table of a built-in set, else a constant-time exponentiation.
bool generator_power(R3410* key, const BIGNUM* e, BIGNUM* out, BN_CTX* ctx);

// k or x from seed bytes or random bytes. From a seed: the first min(len, bytes of q) bytes as
// a big-endian number reduced modulo q; fails (false) when that is 0. Without a seed: uniform
// on [1, q-1] (64 random bits more than q has, reduced modulo q - 1, plus 1).
bool value_below_q(const BIGNUM* q, const unsigned char* seed, int seed_len, BIGNUM* out);

// out := e + order * ceil(2^(64 w) / order), w the words of order: the same power of any value
// whose order divides `order`, and always w + 1 words long, so that a constant-time
// exponentiation (which runs over the exponent's words) takes as long for every e < order.
bool pad_exponent(const BIGNUM* e, const BIGNUM* order, BIGNUM* out, BN_CTX* ctx);

// A public value (key or DH peer) of the group: 1 < y < p - 1 and, when q is known,
// y^q = 1 (mod p).
bool public_value_sound(const BIGNUM* y, const BIGNUM* p, const BIGNUM* q, BN_CTX* ctx);

// Sets the status word unless a status is already set (whatever the queue holds: the failure
// of an inner step has usually been recorded before the outer one decides on its status).
void set_status_if_unset(std::uint32_t value);

// Drops the key's container reference (R3410_free).
void release_pse(R3410* key);

// Key-agreement self-test: 1 when the operation may go on. Objects carrying the marker are
// not tested again.
inline constexpr std::uint32_t kDhTestMarker = 0x91998AACu;
inline constexpr int kDhCheckLine = 448;
// The once-per-second gate of the self-test module (CHECK_due) uses this slot.
inline constexpr int kDhCheckSlot = 5;
int dh_check(const R3410_DH* dh);

}  // namespace jarnel::r3410
