#pragma once
// GOST R 34.10-94 signatures and Diffie-Hellman key agreement over a 1024-bit prime p with a
// 256-bit prime subgroup order q and generator a.
//
// Byte orders: every number this module reads or writes as bytes is big-endian unless a
// function says otherwise. The digest handed to signing and verification is read as one
// big-endian number exactly as given; the caller decides the byte order of the hash value.
// Keys and signatures are little-endian only inside the public-key value of certificates
// (i2d_R3410PublicValue / d2i_R3410PublicValue).
//
// Results: 1 or a pointer on success, 0 or null on failure with an entry in the error queue
// and, for the key operations, a status number (R3410_STATUS_*).
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>

#include "crypto/objects/objects.h"
#include "crypto/owners.h"
#include "crypto/status.h"

namespace jarnel {

struct PSE;  // the unlocked key container
struct MASKED_BN;

// Short name and dotted object identifier of this module's object numbers (272, 274 to 282);
// null for others.
const char* R3410_nid_short_name(int nid);
const char* R3410_nid_oid(int nid);

// Parameter selectors of R3410_set_params.
inline constexpr int R3410_SEL_BUILTIN_1 = 1, R3410_SEL_CP_A = 3, R3410_SEL_CP_B = 4,
                     R3410_SEL_CP_C = 5, R3410_SEL_CP_D = 6, R3410_SEL_CP_XCHA = 7,
                     R3410_SEL_CP_XCHB = 8, R3410_SEL_CP_XCHC = 9, R3410_SEL_BUILTIN_2 = 10;

// Signature layouts of R3410_sign / R3410_verify; any other type is the DER form.
inline constexpr int R3410_SIG_RS = 0;        // r || s
inline constexpr int R3410_SIG_CRYPTOPRO = 274;  // s || r, exactly 64 bytes

// Error codes. Library 78 (GOSTS) carries the key operations, library 65 (R3410) the
// signature object and the container encryption, library 13 (ASN1) the encodings.
inline constexpr int R3410_F_NEW = 108, R3410_F_DO_SIGN = 114, R3410_F_DO_VERIFY = 115,
                     R3410_F_GENERATE_KEY = 117, R3410_F_SIGN = 118, R3410_F_VERIFY = 119,
                     R3410_F_PSE_GENERATE = 121, R3410_F_DH_GENERATE_KEY = 132,
                     R3410_F_DH_COMPUTE_KEY = 133;
inline constexpr int R3410_F_SIG_NEW = 116, R3410_F_D2I_SIG = 118, R3410_F_DECRYPT_OPAQUE = 119,
                     R3410_F_ENCRYPT_OPAQUE = 120, R3410_F_GENERATE_PUBKEY = 121;
// Library 72 (GOSTE): the RAM check of a new key and the parameter-table check.
inline constexpr int R3410_F_NEW_RAM = 108, R3410_F_PARAMS_CHECK = 115;
inline constexpr int R3410_F_D2I_PARAMS = 222, R3410_F_D2I_PRIVATEKEY = 223,
                     R3410_F_D2I_PUBLICKEY = 224, R3410_F_I2D_PARAMS = 225,
                     R3410_F_I2D_PRIVATEKEY = 226, R3410_F_I2D_PUBLICKEY = 227;
inline constexpr int R3410_R_BAD_PQ_LENGTH = 100, R3410_R_S_IS_ZERO = 101,
                     R3410_R_R_IS_ZERO = 102, R3410_R_S_TOO_LARGE = 103,
                     R3410_R_R_TOO_LARGE = 104, R3410_R_INVALID_PRIVATE_KEY = 105,
                     R3410_R_INVALID_K = 106, R3410_R_BAD_P_LENGTH = 107,
                     R3410_R_INVALID_DOMAIN_PARAMETERS = 108,
                     R3410_R_INVALID_PUBLIC_VALUE = 109, R3410_R_BAD_SIG_LENGTH = 110;
// Reasons of library 13 used by the encodings (the base library's numbers).
inline constexpr int R3410_ASN1_R_DECODE_ERROR = 110, R3410_ASN1_R_UNKNOWN_OBJECT_TYPE = 162;

// Status numbers.
inline constexpr std::uint32_t R3410_STATUS_NULL_ARGUMENT = STATUS_NULL_ARGUMENT,
                               R3410_STATUS_BAD_SIGNATURE = STATUS_BAD_SIGNATURE,
                               R3410_STATUS_NO_MEMORY = STATUS_NO_MEMORY,
                               R3410_STATUS_SELF_TEST = STATUS_INTERNAL,
                               R3410_STATUS_UNKNOWN_PARAMS = STATUS_UNKNOWN_PARAMS,
                               R3410_STATUS_KEY_FAILED = STATUS_KEY_FAILED,
                               R3410_STATUS_SIGN_FAILED = STATUS_SIGN_FAILED;

// A private value, held masked in memory (crypto/pse/mask.h).
struct R3410_SECRET {
  MASKED_BN* value = nullptr;
};

// A key held by a cryptographic service provider (see platform/csp.h).
struct R3410_PROVIDER_KEY {
  std::uintptr_t handle = 0;  // 0: the key is held here
  unsigned key_spec = 0;
};

struct R3410 {
  int write_params;       // 1: the public-key encoding carries p, q, a
  BIGNUM* p;
  BIGNUM* q;
  BIGNUM* a;
  BIGNUM* y;
  R3410_SECRET x;         // masked; or the container-encrypted 32 bytes while key_mac is set
  BIGNUM* key_mac;        // the container's 4-byte check value, or null
  MASKED_BN* k;           // one-time pair of R3410_sign_setup (k masked), or null
  BIGNUM* r_pre;
  BIGNUM* y_checked;      // the last y (with y_checked_p its p) found a sound public value
  BIGNUM* y_checked_p;
  PSE* pse;
  R3410_PROVIDER_KEY provider;
  int references;
  int param_nid;
  int digest_param_nid;
  int flags;
  BN_MONT_CTX* mont_p;    // Montgomery form of p, made on first use
};

struct R3410_SIG {
  BIGNUM* r;
  BIGNUM* s;
};

// Key object.
R3410* R3410_new();
void R3410_free(R3410* key);
// Adds a reference; the key is freed with its last R3410_free.
int R3410_up_ref(R3410* key);

// Parameters.
int R3410_set_params(R3410* key, int selector);
int R3410_set_params_by_nid(R3410* key, int nid);
int R3410_params_nid(const R3410* key);
int R3410_default_params(R3410* key);
// Integrity check of the built-in parameter tables (hash compared with its first value).
int R3410_params_check();

// Keys.
int R3410_generate_key(R3410* key, const unsigned char* seed, int seed_len);
int R3410_generate_pubkey(R3410* key);
// Sets x (0 < x < q) from a big-endian number and masks it; y is not touched.
int R3410_set_private_key(R3410* key, const unsigned char* x, int len);
// The private value as 32 big-endian bytes into out (a scratch copy; wipe it after use).
int R3410_get_private_key(const R3410* key, unsigned char* out, int len);

// Signatures.
R3410_SIG* R3410_SIG_new();
void R3410_SIG_free(R3410_SIG* sig);
// Prepares the one-time values; with seed, k is taken from it as x is in key generation.
int R3410_sign_setup(R3410* key, const unsigned char* seed = nullptr, int seed_len = 0);
R3410_SIG* R3410_do_sign(R3410* key, const unsigned char* digest, int len);
// 1 valid, 0 invalid, -1 error.
int R3410_do_verify(const R3410_SIG* sig, R3410* key, const unsigned char* digest, int len);
// Signs and lays the signature out by type into out (out_len bytes), setting *sig_len.
// Returns 1/0; for a provider-held key the signature length or -1.
int R3410_sign(int type, R3410* key, const unsigned char* digest, int len, unsigned char* out,
               unsigned* sig_len);
// The size of out that R3410_sign needs for a type (DER: its largest form).
int R3410_size(int type, const R3410* key);
int R3410_verify(int type, R3410* key, const unsigned char* digest, int len,
                 const unsigned char* sig, int sig_len);

// Encodings, in OpenSSL's d2i/i2d shape: i2d with a null pp returns the length; with a null
// *pp it allocates the output with mem_alloc (free it with mem_free); otherwise it writes at
// *pp and advances it. d2i reads exactly len bytes (trailing bytes are refused), advances *pp
// and, with a non-null *a, replaces the contents of *a, only when the whole input is valid.
int i2d_R3410_SIG(const R3410_SIG* sig, unsigned char** pp);
R3410_SIG* d2i_R3410_SIG(R3410_SIG** a, const unsigned char** pp, long len);
int i2d_R3410Params(const R3410* key, unsigned char** pp);
R3410* d2i_R3410Params(R3410** a, const unsigned char** pp, long len);
int i2d_R3410PublicKey(const R3410* key, unsigned char** pp);
R3410* d2i_R3410PublicKey(R3410** a, const unsigned char** pp, long len);
// The public-key value of certificates: OCTET STRING of y in 128 little-endian bytes.
int i2d_R3410PublicValue(const R3410* key, unsigned char** pp);
R3410* d2i_R3410PublicValue(R3410** a, const unsigned char** pp, long len);
int i2d_R3410PrivateKey(const R3410* key, unsigned char** pp);
R3410* d2i_R3410PrivateKey(R3410** a, const unsigned char** pp, long len);

// Private value in the key container: x replaced by its protected form under the container's
// KEK (PSE_write_opaque: 32 encrypted bytes kept as x, the 4-byte check value as key_mac), and
// back (PSE_read_opaque). The first container used is remembered in the key with a reference.
int R3410_encrypt_opaque(R3410* key, PSE* pse);
int R3410_decrypt_opaque(R3410* key, PSE* pse);
int R3410_pse_generate(PSE* pse, int selector, unsigned char private_out[36],
                       unsigned char public_out[128]);

// Diffie-Hellman on these parameters.
struct R3410_DH {
  BIGNUM* p;
  BIGNUM* g;
  BIGNUM* q;          // optional: bounds the private value when present
  R3410_SECRET x;     // masked private value, made by R3410_DH_generate_key when absent
  BIGNUM* pub;
  std::uint32_t marker;  // the self-test marker on its own test objects
};
R3410_DH* R3410_DH_new();
void R3410_DH_free(R3410_DH* dh);
// A key-agreement object on the key's p, a, q and private value.
R3410_DH* R3410_DH_from_key(const R3410* key);
// Byte length of p: the size of every value the two functions below write.
int R3410_DH_size(const R3410_DH* dh);
// Writes the own public value g^x mod p as R3410_DH_size bytes; returns that length or 0.
int R3410_DH_generate_key(R3410_DH* dh, unsigned char* out, int out_len);
// Writes peer^x mod p as R3410_DH_size bytes; returns that length or 0.
int R3410_DH_compute_key(R3410_DH* dh, const unsigned char* peer, int peer_len,
                         unsigned char* out, int out_len);

// Owners (crypto/owners.h): Owned<R3410> and friends.
JARNEL_MAKE_OWNER(R3410, R3410_free);
JARNEL_MAKE_OWNER(R3410_SIG, R3410_SIG_free);
JARNEL_MAKE_OWNER(R3410_DH, R3410_DH_free);

}  // namespace jarnel
