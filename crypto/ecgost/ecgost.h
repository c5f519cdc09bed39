#pragma once
// GOST R 34.10-2001 over prime-field elliptic curves: curves, points, keys, signatures, the
// VKO key agreement of RFC 4357 and a general elliptic-curve Diffie-Hellman.
//
// Byte orders: GOST keys, points and signatures are little-endian on the wire (the CryptoPro
// forms); the raw and DER forms and the SEC 1 point octets are big-endian. Functions return 1
// (or a pointer, or a length) on success and 0, null or -1 on failure with the failure recorded
// in the error queue under library 75.
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>

#include "crypto/objects/objects.h"
#include "crypto/owners.h"
#include "crypto/status.h"

namespace jarnel {

// Signature forms of ECGOST_sign / ECGOST_verify.
inline constexpr int ECGOST_SIG_RAW = 0;    // r || s, big-endian halves
inline constexpr int ECGOST_SIG_CP = 273;   // s || r, the CryptoPro form
inline constexpr int ECGOST_SIG_DER = 182;  // SEQUENCE { r, s }; any other type means DER too

// Curve numbers of the built-in descriptions.
inline constexpr int ECURVE_P256 = 11, ECURVE_CP_A = 12, ECURVE_CP_B = 13, ECURVE_CP_C = 14,
                     ECURVE_CP_XCHA = 15, ECURVE_CP_XCHB = 16, ECURVE_TEST = 17;

// Coordinate modes of ECURVE_new.
inline constexpr int ECURVE_AFFINE = 0, ECURVE_PROJECTIVE = 1;

// Cofactor modes of ECDH_new.
inline constexpr int ECDH_PLAIN = 0, ECDH_COFACTOR = 1, ECDH_COMPAT_COFACTOR = 2;

// Flags of ECGOST_generate_key and ECGOST_DH_generate_key.
inline constexpr int ECGOST_FLAG_COMPRESSED = 0x02;

// Function codes of library 75.
inline constexpr int ECGOST_F_ECGOST_NEW = 100, ECGOST_F_ECGOST_SIG_NEW = 101,
                     ECGOST_F_D2I_ECGOST_SIG = 102, ECGOST_F_ECURVE_SET = 103,
                     ECGOST_F_ECURVE_NEW = 104, ECGOST_F_ECDH_GENERATE_KEY = 105,
                     ECGOST_F_ECDH_COMPUTE_KEY = 106, ECGOST_F_ECDH_NEW = 107,
                     ECGOST_F_KEY_PAIR_GENERATION = 108, ECGOST_F_ECPOINT_NEW = 109,
                     ECGOST_F_ECPOINT_DUP = 110, ECGOST_F_ECPOINT_COPY = 111,
                     ECGOST_F_ECPOINT_TO_AFFINE = 112, ECGOST_F_ECPOINT_GET_X = 113,
                     ECGOST_F_ECPOINT_NORMALIZE = 114, ECGOST_F_ECPOINT_DERIVE = 115,
                     ECGOST_F_ECPOINT_HEX2POINT = 116, ECGOST_F_ECPOINT_BI2POINT = 117,
                     ECGOST_F_ECPOINT_POINT2BIN = 118, ECGOST_F_ECPOINT_SET_INFINITY = 119,
                     ECGOST_F_ECPOINT_DOUBLE_AFFINE = 120, ECGOST_F_ECPOINT_ADD_AFFINE = 121,
                     ECGOST_F_ECPOINT_DOUBLE_PROJECTIVE = 122,
                     ECGOST_F_ECPOINT_ADD_PROJECTIVE = 123, ECGOST_F_ECPOINT_MUL = 124,
                     ECGOST_F_SIGN_SETUP = 125, ECGOST_F_DO_SIGN = 126,
                     ECGOST_F_ECPOINT_LIES = 127, ECGOST_F_IS_PUBKEY_VALID = 128,
                     ECGOST_F_ECURVE_GET_COEFFICIENTS = 129, ECGOST_F_DO_VERIFY = 131,
                     ECGOST_F_DH_GENERATE_KEY = 140, ECGOST_F_DH_COMPUTE_KEY = 141,
                     ECGOST_F_ECURVE_INIT = 142, ECGOST_F_GENERATE_KEY = 144,
                     ECGOST_F_I2D_ECGOST_SIG = 149, ECGOST_F_GENERATE_PUBKEY = 150,
                     ECGOST_F_ENCRYPT_OPAQUE = 151, ECGOST_F_DECRYPT_OPAQUE = 152,
                     ECGOST_F_ECPOINT_FBW_NEW = 153, ECGOST_F_CURVES_CHECK = 156,
                     ECGOST_F_D2I_ECGOSTPARAMS = 240, ECGOST_F_D2I_ECGOSTPRIVATEKEY = 241,
                     ECGOST_F_D2I_ECGOSTPUBLICKEY = 242, ECGOST_F_KEY_WRAP = 243,
                     ECGOST_F_KEY_UNWRAP = 244, ECGOST_F_VKO_KEK = 245;
// Reasons of library 75 (beside the common ones and 74 "PSE lib", 75 "ECGOST lib").
inline constexpr int ECGOST_R_INVALID_PARAMETERS = 100, ECGOST_R_ZERO_R = 101,
                     ECGOST_R_R_TOO_BIG = 102, ECGOST_R_ZERO_S = 103, ECGOST_R_S_TOO_BIG = 104,
                     ECGOST_R_SIGNATURE_FAILURE = 105, ECGOST_R_UNSUPPORTED_FIELD = 106,
                     ECGOST_R_BAD_ENCODING = 137, ECGOST_R_DECODE_ERROR = 3,
                     ECGOST_R_KEY_UNWRAP_FAILED = 138, ECGOST_R_INVALID_PUBLIC_KEY = 139;
// Status words this module records.
inline constexpr std::uint32_t ECGOST_STATUS_BAD_ARGS = STATUS_NULL_ARGUMENT,
                               ECGOST_STATUS_BAD_SIGNATURE = STATUS_BAD_SIGNATURE,
                               ECGOST_STATUS_NO_MEMORY = STATUS_NO_MEMORY,
                               ECGOST_STATUS_UNKNOWN = STATUS_UNKNOWN_PARAMS,
                               ECGOST_STATUS_DH_FAILED = STATUS_KEY_FAILED,
                               ECGOST_STATUS_SIGN_FAILED = STATUS_SIGN_FAILED;

// --- Curve descriptions (static, read-only; hexadecimal strings, most significant first) ---

struct ECURVE_TABLE_DESC {
  int bits;
  int w;
  int count;
  const char* const* points;  // point i = 2^(w*i) * G, uncompressed point strings
};

struct ECURVE_DESC {
  int nid;                         // identifier, or 0
  const char* p;
  const char* a;                   // may be null (with b) when j is given
  const char* b;
  const char* g;                   // point string
  const char* q;
  const char* h;                   // cofactor, may be null
  const char* opt;                 // further optional number
  const char* j;                   // j-invariant, used only when a and b are absent
  const ECURVE_TABLE_DESC* table;  // fixed-base table, may be null
};

// The description of a built-in curve number (11..17); null with status 13 otherwise.
const ECURVE_DESC* ECURVE_desc_by_number(int number);
// Curve number of a public-key parameter set: 283..287 to 12..16, anything else 11.
int ECURVE_number_by_paramset(int nid);
// The curve list of the integrity check (curves 11..17 and secp112r2), and its length.
const ECURVE_DESC* const* ECURVE_desc_list(int* count);
// The secp128r1 record (in no list).
const ECURVE_DESC* ECURVE_desc_secp128r1();

// --- Objects ---

struct ECURVE;
struct ECPOINT;
struct PSE;
struct ECGOST;
struct ECDH;
struct ECGOST_SIG {
  BIGNUM* r;
  BIGNUM* s;
};

// Curves (reference-counted under lock 27).
ECURVE* ECURVE_new(int mode);
// Fills an empty curve from a description.
int ECURVE_set(ECURVE* curve, const ECURVE_DESC* desc);
// A new projective curve from a description; null means the default curve (P-256).
ECURVE* ECURVE_init(const ECURVE_DESC* desc);
// Shortcut: ECURVE_init of a curve number.
ECURVE* ECURVE_by_number(int number);
int ECURVE_up_ref(ECURVE* curve);
void ECURVE_free(ECURVE* curve);
// a and b from the j-invariant.
int ECURVE_get_coefficients(ECURVE* curve);
// Read access. The numbers belong to the curve.
const BIGNUM* ECURVE_get_p(const ECURVE* curve);
const BIGNUM* ECURVE_get_a(const ECURVE* curve);
const BIGNUM* ECURVE_get_b(const ECURVE* curve);
const BIGNUM* ECURVE_get_q(const ECURVE* curve);
const BIGNUM* ECURVE_get_h(const ECURVE* curve);  // null when the curve has no cofactor
const ECPOINT* ECURVE_get_generator(const ECURVE* curve);
int ECURVE_get_nid(const ECURVE* curve);
int ECURVE_get_flags(const ECURVE* curve);         // bit 0: a = p - 3
const char* ECURVE_method_name(const ECURVE* curve);  // "default" or "fixed base window"
// Bytes of a field element and of a number mod q.
int ECURVE_field_bytes(const ECURVE* curve);
int ECURVE_order_bytes(const ECURVE* curve);
// Curve table integrity check: hashes the curve list; the first digest is kept and later ones
// compared with it.
int ECURVE_tables_check();
// The stored digest of the first check (0 before it ran).
int ECURVE_tables_digest(unsigned char out[32]);

// Points. A point holds a reference to its curve.
ECPOINT* ECPOINT_new(ECURVE* curve);
void ECPOINT_free(ECPOINT* point);
ECPOINT* ECPOINT_dup(const ECPOINT* point);
int ECPOINT_copy(ECPOINT* dst, const ECPOINT* src);
ECURVE* ECPOINT_curve(const ECPOINT* point);
int ECPOINT_set_infinity(ECPOINT* point);
int ECPOINT_is_infinity(const ECPOINT* point);
// Sets affine coordinates (each 0 <= v < p; no curve check).
int ECPOINT_set_affine(ECPOINT* point, const BIGNUM* x, const BIGNUM* y);
// Converts to affine coordinates (Z = 1); infinity stays infinity.
int ECPOINT_to_affine(ECPOINT* point);
// Converts when the point holds projective values not yet normalised.
int ECPOINT_normalize(ECPOINT* point);
int ECPOINT_get_x(const ECPOINT* point, BIGNUM* x);
int ECPOINT_get_xy(const ECPOINT* point, BIGNUM* x, BIGNUM* y);
// Sets the point with abscissa x and the y of the given parity (y_odd 1 or 0).
int ECPOINT_derive(ECPOINT* point, const BIGNUM* x, int y_odd);
// Encodings 1 (point strings) and 2 (point octets).
int ECPOINT_hex2point(ECPOINT* point, const char* hex);
int ECPOINT_bi2point(ECPOINT* point, const unsigned char* in, std::size_t len);
// Writes the point octets (compressed when asked); with out null returns the length only.
// Returns the length, 0 when out is too small (outlen) or on failure.
int ECPOINT_point2bin(const ECPOINT* point, int compressed, unsigned char* out,
                      std::size_t outlen);
// Encodings 3 and 4: X_le || Y_le, 2n bytes.
int ECPOINT_point2le(const ECPOINT* point, unsigned char* out, std::size_t outlen);
int ECPOINT_le2point(ECPOINT* point, const unsigned char* in, std::size_t len);
// Arithmetic. r may be one of the operands.
int ECPOINT_double_affine(ECPOINT* r, const ECPOINT* a);
int ECPOINT_add_affine(ECPOINT* r, const ECPOINT* a, const ECPOINT* b);
int ECPOINT_double_projective(ECPOINT* r, const ECPOINT* a);
int ECPOINT_add_projective(ECPOINT* r, const ECPOINT* a, const ECPOINT* b);
int ECPOINT_add(ECPOINT* r, const ECPOINT* a, const ECPOINT* b);  // by the curve's mode
int ECPOINT_invert(ECPOINT* point);
// r = k * P for non-negative k: the point's fixed-base table when it has one, else 3k signed
// binary.
int ECPOINT_mul(ECPOINT* r, const ECPOINT* point, const BIGNUM* k);
// r = k * G with the curve's method.
int ECPOINT_mul_generator(ECPOINT* r, const BIGNUM* k, const ECURVE* curve);
// Equality of two points of one curve (projective values compared without normalising).
int ECPOINT_cmp(const ECPOINT* a, const ECPOINT* b);  // 0 equal, 1 different, -1 error
// On the curve: 1 yes, 0 no, -1 error.
int ECPOINT_lies(const ECPOINT* point);
// Builds a fixed-base table for the point (w = 4 up to 256-bit fields, else 5).
int ECPOINT_FBW_new(ECPOINT* point);
int ECPOINT_has_table(const ECPOINT* point);

// Signatures.
ECGOST_SIG* ECGOST_SIG_new();
void ECGOST_SIG_free(ECGOST_SIG* sig);
// DER: with pp null returns the length; with *pp null writes into a new buffer (mem_free) at
// *pp; otherwise writes at *pp and advances it.
int i2d_ECGOST_SIG(const ECGOST_SIG* sig, unsigned char** pp);
// Decodes a signature of the given form (ECGOST_SIG_RAW, ECGOST_SIG_CP, anything else DER).
ECGOST_SIG* d2i_ECGOST_SIG(ECGOST_SIG** out, const unsigned char** pp, long len, int type);
// Raw (r || s) and CryptoPro (s || r) forms with halves of nbytes each; 2*nbytes written.
int ECGOST_SIG_to_raw(const ECGOST_SIG* sig, int nbytes, unsigned char* out);
int ECGOST_SIG_to_cp(const ECGOST_SIG* sig, int nbytes, unsigned char* out);

// Keys (reference-counted under lock 27).
ECGOST* ECGOST_new(ECURVE* curve);  // takes its own reference; null = default curve
int ECGOST_up_ref(ECGOST* key);
void ECGOST_free(ECGOST* key);
ECURVE* ECGOST_get_curve(const ECGOST* key);
// Replaces the curve (the key's values are dropped).
int ECGOST_set_curve(ECGOST* key, ECURVE* curve);
int ECGOST_set_private(ECGOST* key, const BIGNUM* d);
// Copies the private number out (for export); 0 when there is none or it is opaque.
int ECGOST_get_private(const ECGOST* key, BIGNUM* d);
int ECGOST_has_private(const ECGOST* key);
int ECGOST_is_opaque(const ECGOST* key);
int ECGOST_set_public(ECGOST* key, const ECPOINT* q);
const ECPOINT* ECGOST_get_public(const ECGOST* key);
// Parameter-set NIDs: public key (default 283), digest (default 275), encryption (0 = none).
void ECGOST_set_paramsets(ECGOST* key, int pubkey_nid, int digest_nid, int cipher_nid);
void ECGOST_get_paramsets(const ECGOST* key, int* pubkey_nid, int* digest_nid, int* cipher_nid);
// Random d and Q = d*G.
int ECGOST_key_pair_generation(ECGOST* key);
// Q from d.
int ECGOST_generate_pubkey(ECGOST* key);
// Public-key validation; full adds the order test.
int ECGOST_is_pubkey_valid(const ECPOINT* q, int full);
// Precomputes the pair (k, r) used once by the next signature. k may be given (big-endian
// bytes; reduced mod q); with k null a random one is drawn.
int ECGOST_sign_setup(ECGOST* key, const unsigned char* k, int klen);
ECGOST_SIG* ECGOST_do_sign(const unsigned char* dgst, int dlen, ECGOST* key);
// 1 valid, 0 invalid (with the reason recorded), -1 on missing arguments or internal failure.
int ECGOST_do_verify(const unsigned char* dgst, int dlen, const ECGOST_SIG* sig, ECGOST* key);
// Signature bytes of the given form; siglen receives the length. ECGOST_size gives the
// largest.
int ECGOST_size(const ECGOST* key);
int ECGOST_sign(int type, const unsigned char* dgst, int dlen, unsigned char* sig,
                unsigned int* siglen, ECGOST* key);
int ECGOST_verify(int type, const unsigned char* dgst, int dlen, const unsigned char* sig,
                  int siglen, ECGOST* key);

// Encodings 6, 7, 8. i2d_*: with pp null returns the length; otherwise writes at *pp and
// advances it. d2i_*: reads len bytes at *pp into *a (a new key when *a is null or a is null).
int i2d_ECGOSTPRIVATEKEY(const ECGOST* key, unsigned char** pp);
ECGOST* d2i_ECGOSTPRIVATEKEY(ECGOST** a, const unsigned char** pp, long len);
int i2d_ECGOSTPUBLICKEY(const ECGOST* key, unsigned char** pp);
ECGOST* d2i_ECGOSTPUBLICKEY(ECGOST** a, const unsigned char** pp, long len);
int i2d_ECGOSTPARAMS(const ECGOST* key, unsigned char** pp);
ECGOST* d2i_ECGOSTPARAMS(ECGOST** a, const unsigned char** pp, long len);
// PEM form of the private-key encoding (label "ECGOST PRIVATE KEY"). The text is allocated with
// mem_alloc and zero-terminated; free it with mem_clear_free(text, len).
int ECGOST_private_key_to_pem(const ECGOST* key, char** out, std::size_t* outlen);
ECGOST* ECGOST_private_key_from_pem(const char* pem, std::size_t len);
// SubjectPublicKeyInfo of a GOST R 34.10-2001 key (algorithm 1.2.643.2.2.19 with the parameter
// sets, the point as an OCTET STRING X_le || Y_le inside the BIT STRING), as certificates and
// key transport carry it. The decoder sets the parameter sets, the curve and the point.
int i2d_ECGOST_PUBKEY(const ECGOST* key, unsigned char** pp);
ECGOST* d2i_ECGOST_PUBKEY(ECGOST** a, const unsigned char** pp, long len);
// The key's public-key buffer (point octets) as set by d2i_ECGOSTPUBLICKEY or refreshed from Q.
int ECGOST_pubkey_octets(ECGOST* key, const unsigned char** data, int* len);

// Diffie-Hellman (reference-counted under lock 27).
ECDH* ECDH_new(ECURVE* curve, int mode);
int ECDH_up_ref(ECDH* dh);
void ECDH_free(ECDH* dh);
int ECDH_get_mode(const ECDH* dh);
int ECDH_set_private(ECDH* dh, const BIGNUM* d);
const ECPOINT* ECDH_get_public(const ECDH* dh);
int ECDH_generate_key(ECDH* dh);
// Shared x coordinate with the peer's point, in the object's cofactor mode; also kept in dh.
int ECDH_compute_key(ECDH* dh, const ECPOINT* peer, BIGNUM* shared);
// VKO point ((ukm*d) mod q) * peer, or d * peer without ukm.
int ECGOST_vko_point(ECPOINT* out, const ECPOINT* peer, const BIGNUM* ukm, ECGOST* key);

// The 32-byte KEK of RFC 4357: GOST R 34.11-94 (CryptoPro parameters) of the VKO point
// ((UKM * d) mod q) * peer encoded X_le || Y_le, in the hash's memory order (the byte order RFC
// 4357 and other GOST software use). The UKM is the 8 transport bytes read little-endian.
int ECGOST_vko_kek(ECGOST* key, const ECPOINT* peer, const unsigned char ukm[8],
                   unsigned char kek[32]);

// CryptoPro key transport of a 32-byte content key, carried in the RFC 4490
// GostR3410-KeyTransport structure (DER). Wrapping makes an ephemeral key on the recipient's
// curve and a fresh UKM, and uses the CryptoPro-A S-box; the recipient key needs its public
// point and parameter sets. out null asks for the length; outlen: size in, length out.
int ECGOST_key_wrap(const ECGOST* recipient, const unsigned char cek[32], unsigned char* out,
                    int* outlen);
// Unwraps with the recipient's private key; 1 and the content key when the MAC matches.
int ECGOST_key_unwrap(ECGOST* recipient, const unsigned char* in, int inlen,
                      unsigned char cek[32]);

// Private keys kept encrypted under a key container (the opaque 36-byte form of the container:
// 32 bytes of ciphertext and the 4-byte mask tag). The key keeps a reference to its container.
// Encrypts d under the container (null = the key's own) and keeps the container.
int ECGOST_encrypt_opaque(ECGOST* key, PSE* container);
// Decrypts an opaque d back into the masked store.
int ECGOST_decrypt_opaque(ECGOST* key, PSE* container);
// Opaque form out: 32 bytes of encrypted d then the 4-byte tag.
int ECGOST_get_opaque(const ECGOST* key, unsigned char out[36]);
int ECGOST_set_opaque(ECGOST* key, const unsigned char in[36]);

// Key generation for a key container: 36 private bytes (encrypted d, tag) and the public point
// octets (compressed with ECGOST_FLAG_COMPRESSED). publen: buffer size in, length out.
int ECGOST_generate_key(PSE* container, int curve_number, unsigned char priv[36],
                        unsigned char* pub, int* publen, int flags);
// DH key pair from stored values (priv36, decrypted through the container when one is given,
// and pub octets) or a fresh pair; writes the public octets when out is large enough and
// always returns the length in outlen.
int ECGOST_DH_generate_key(ECDH* dh, PSE* container, const unsigned char* priv36,
                           const unsigned char* pub, int publen, unsigned char* out,
                           int* outlen, int flags);
// Shared value for peer point octets: big-endian, minimal length. outlen: size in, length out.
int ECGOST_DH_compute_key(ECDH* dh, const unsigned char* peer, int peerlen, unsigned char* out,
                          int* outlen);

// Keys held by a cryptographic service provider: signing goes through the provider interface
// of the platform (none on POSIX).
int ECGOST_set_provider(ECGOST* key, std::uintptr_t provider, unsigned keyspec);

void ERR_load_ECGOST_strings();

// Owners (crypto/owners.h): Owned<ECGOST> and friends.
JARNEL_MAKE_OWNER(ECURVE, ECURVE_free);
JARNEL_MAKE_OWNER(ECPOINT, ECPOINT_free);
JARNEL_MAKE_OWNER(ECGOST, ECGOST_free);
JARNEL_MAKE_OWNER(ECGOST_SIG, ECGOST_SIG_free);
JARNEL_MAKE_OWNER(ECDH, ECDH_free);

}  // namespace jarnel
