#pragma once
// Private keys of the key store. A key lives in its container as one key file whose private
// value is protected under the container's KEK; this header holds
//   - PKEY_KEY, the key object of the public-key layer: one holder for an OpenSSL EVP_PKEY
//     (RSA, DSA), a GOST R 34.10-2001 key (ECGOST) or a GOST R 34.10-94 key (R3410), with the
//     operations the key store needs (size, SubjectPublicKeyInfo, signing, key agreement) and
//     a place for a token connection that holds the private part elsewhere;
//   - PKEY, the private-key record (type, size, flags, key object, fingerprint);
//   - PKEY_CTX, the context through which keys are generated, read and written, and its method
//     table ("PKEY_CTX default method": a key file on the carrier).
//
// Key types are object numbers: 6 or 19 RSA (records carry 19), 116 DSA, 177 GOST R 34.10-94
// (own identifier), 181 GOST R 34.10-2001 (own identifier), 271 GOST R 34.10-2001 (CryptoPro
// identifier), 272 GOST R 34.10-94 (CryptoPro identifier).
//
// Key file encodings: DER of an EncryptedPrivateKeyInfo (PBES2), DER of a PrivateKeyInfo, DER of
// the traditional form of the type, or PEM of any of them (labels "ENCRYPTED PRIVATE KEY",
// "PRIVATE KEY", or the traditional label of the type, with optional PEM encryption). Inside
// PKCS#8 the GOST types carry the protected private value as
//   SEQUENCE { INTEGER encrypted value (32 bytes), INTEGER check value (4 bytes) };
// the plain forms other GOST software writes (32 little-endian bytes, an OCTET STRING of them,
// an INTEGER) are read too.
//
// Results: 1 or a pointer on success; 0 or null with the reason in the error queue.
#include <openssl/types.h>

#include <cstddef>
#include <cstdint>

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/objects/objects.h"
#include "crypto/owners.h"

namespace jarnel {

struct PSE;
struct ECGOST;
struct ECPOINT;
struct R3410;

// Key types.
inline constexpr int PKEY_TYPE_RSA = NID_RSA_ENCRYPTION, PKEY_TYPE_RSA_RECORD = NID_RSA,
                     PKEY_TYPE_DSA = NID_DSA, PKEY_TYPE_R3410 = NID_R3410,
                     PKEY_TYPE_ECGOST = NID_ECR3410, PKEY_TYPE_ECGOST_CP = NID_ECR3410_CP,
                     PKEY_TYPE_R3410_CP = NID_R3410_CP;

// Output formats and encoding kinds of PKEY_CTX_write / PKEY_write_buffer.
inline constexpr int PKEY_FORMAT_DER = 1, PKEY_FORMAT_PEM = 2;
inline constexpr int PKEY_KIND_TRADITIONAL = 1, PKEY_KIND_PKCS8 = 4;

// PKEY flags.
inline constexpr int PKEY_FLAG_SIGN_ONLY = 1;  // a token key whose token signs but does no
                                               // key agreement or unwrapping
inline constexpr int PKEY_FLAG_NO_PARAMS = 2;  // a GOST R 34.10-94 key without domain parameters

// Iterations of password-based encryption of key files.
inline constexpr int PKEY_PBE_ITERATIONS = 2048;
// Room for a password asked from a call-back.
inline constexpr int PKEY_PASSWORD_MAX = 4096;

// Function codes (library 66).
inline constexpr int CADB_F_PKEY_NEW = 130, CADB_F_PKEY_GENERATE = 132,
                     CADB_F_PKEY_READ_BUFFER = 137, CADB_F_PKEY_SPLIT = 159,
                     CADB_F_FINGER_PRINT_GET = 237, CADB_F_PKEY_CTX_NEW = 336,
                     CADB_F_PKEY_DEFAULT_READ = 343, CADB_F_PKEY_CTX_SET_PATH = 351,
                     CADB_F_PKEY_CTX_SET = 354, CADB_F_PKEY_DEFAULT_GENERATE = 364,
                     CADB_F_PKEY_CTX_GENERATE = 365, CADB_F_PKEY_CTX_READ = 366,
                     CADB_F_PKEY_DEFAULT_WRITE = 367, CADB_F_PKEY_CTX_WRITE = 368;
// Reasons.
inline constexpr int CADB_R_UNKNOWN_ALGORITHM = 103, PKEY_R_BUFFER_TOO_SMALL = 105;
inline constexpr int EVP_R_NO_PASSWORD_CALLBACK = 129;  // library 6 (EVP)

JARNEL_MAKE_OWNER(BUFFER, BUFFER_free);  // Owned<BUFFER>

// ---- The key object ------------------------------------------------------------------------

// Operations of a token that holds a key's private part (a PKCS#11 token, say). Slots in
// order: name; sign; (empty); derive ("kek"); (empty); unwrap ("cek"); digest; release. A null
// slot means the token cannot do it. token is the key's connection, key_type its type number.
// Results 1/0 (release nothing).
//  sign: dgst in the library's digest order (as the key's own signing takes it); *siglen: room
//    in, length out.
//  derive: VKO with the peer's point and the 8 UKM bytes, 32 bytes out; out null or *outlen
//    below 32 sets *outlen = 32, and the latter fails with reason 105.
//  unwrap: an RFC 4490 GostR3410-KeyTransport structure to its 32-byte content key; output
//    rules as derive.
//  digest: GOST R 34.11-94 (CryptoPro parameters) in the library's digest order; *outlen as
//    derive.
struct PKEY_TOKEN_METHOD {
  const char* name;
  int (*sign)(void* token, int sig_type, const unsigned char* dgst, std::size_t dlen,
              unsigned char* sig, std::size_t* siglen);
  const void* empty1;
  int (*derive)(void* token, int key_type, const ECPOINT* peer, const unsigned char ukm[8],
                unsigned char* out, std::size_t* outlen);
  const void* empty2;
  int (*unwrap)(void* token, int key_type, const unsigned char* wrapped, std::size_t len,
                unsigned char* out, std::size_t* outlen);
  int (*digest)(void* token, int key_type, const unsigned char* data, std::size_t len,
                unsigned char* out, std::size_t* outlen);
  void (*release)(void* token);
};

struct PKEY_KEY {
  int type;         // key type (object number)
  EVP_PKEY* evp;    // RSA, DSA
  ECGOST* ec;       // 181, 271
  R3410* r3410;     // 177, 272
  const PKEY_TOKEN_METHOD* token_method;  // set when the private part lives on a token
  void* token;
  int references;   // changed under lock 5
};

// A key object holding the given algorithm key (the reference passes to the key object).
// The type must fit the key (RSA 6/19, DSA 116, ECGOST 181/271, R3410 177/272).
PKEY_KEY* PKEY_KEY_from_evp(EVP_PKEY* key);  // type from the key: 19 or 116
PKEY_KEY* PKEY_KEY_from_ecgost(ECGOST* key, int type);
PKEY_KEY* PKEY_KEY_from_r3410(R3410* key, int type);
int PKEY_KEY_up_ref(PKEY_KEY* key);
// Drops one reference; the last one releases the algorithm key and the token connection.
void PKEY_KEY_free(PKEY_KEY* key);
// Attaches a token connection (released with the key object).
int PKEY_KEY_set_token(PKEY_KEY* key, const PKEY_TOKEN_METHOD* method, void* token);
// The largest signature in bytes, as the public-key layer reports it; 0 on failure.
int PKEY_KEY_size(const PKEY_KEY* key);
// 1 for a GOST R 34.10-94 key without domain parameters.
int PKEY_KEY_params_missing(const PKEY_KEY* key);
// SubjectPublicKeyInfo DER: with pp null the length; otherwise written at *pp, which advances.
int i2d_PKEY_KEY_PUBKEY(const PKEY_KEY* key, unsigned char** pp);
// Reads a SubjectPublicKeyInfo (GOST R 34.10-2001 and -94 of either identifier, RSA, DSA).
PKEY_KEY* d2i_PKEY_KEY_PUBKEY(const unsigned char** pp, long len);
// Signs a digest. GOST R 34.10-2001: form ECGOST_SIG_CP (s || r), _RAW or DER; GOST R 34.10-94:
// R3410_SIG_CRYPTOPRO, _RS or DER; RSA and DSA: the digest is signed as given (PKCS#1 v1.5 for
// RSA). *siglen: room in sig on entry (PKEY_KEY_size is enough), length on return.
int PKEY_KEY_sign(PKEY_KEY* key, int type, const unsigned char* dgst, int dlen,
                  unsigned char* sig, unsigned* siglen);
// 1 valid, 0 invalid or error.
int PKEY_KEY_verify(PKEY_KEY* key, int type, const unsigned char* dgst, int dlen,
                    const unsigned char* sig, int siglen);
// The operations below run on the token for a key whose private part lives there (a token
// without the operation fails: a sign-only token does no key agreement), else in software.
// Output rules: out null sets *outlen = 32 and succeeds; *outlen below 32 sets it to 32 and
// fails with reason 105; otherwise 32 bytes are written and *outlen = 32.
// VKO key-encryption key of a GOST R 34.10-2001 key with the peer's point and the 8 UKM bytes.
int PKEY_KEY_derive(PKEY_KEY* key, const ECPOINT* peer, const unsigned char ukm[8],
                    unsigned char* out, std::size_t* outlen);
// The content key of an RFC 4490 GostR3410-KeyTransport structure for this key.
int PKEY_KEY_unwrap(PKEY_KEY* key, const unsigned char* wrapped, std::size_t len,
                    unsigned char* out, std::size_t* outlen);
// GOST R 34.11-94 (CryptoPro parameters) computed by the key's token, in the library's digest
// order; keys held in software have no token to ask and fail.
int PKEY_KEY_digest(PKEY_KEY* key, const unsigned char* data, std::size_t len,
                    unsigned char* out, std::size_t* outlen);
// Binding to a container: the private value of a GOST key is replaced by its form protected
// under the container's KEK (bind), or recovered into masked memory (load). Other types and
// keys already in the wanted state are left alone.
int PKEY_KEY_bind(PKEY_KEY* key, PSE* pse);
int PKEY_KEY_load(PKEY_KEY* key, PSE* pse);

JARNEL_MAKE_OWNER(PKEY_KEY, PKEY_KEY_free);

// ---- Fingerprints --------------------------------------------------------------------------

// GOST R 34.11-94 (object 176, the hash's default parameters) of the contents of a
// subjectPublicKey BIT STRING, most significant byte first. A certificate's key gives the same
// value as its private key.
int FINGER_PRINT_of_bits(const unsigned char* bits, std::size_t len, unsigned char out[32]);
// The fingerprint of a key object (32 bytes in a new BUFFER).
BUFFER* FINGER_PRINT_get(const PKEY_KEY* key);

// ---- The record ------------------------------------------------------------------------------

struct PKEY {
  int type;             // key type
  int size;             // PKEY_KEY_size of the key
  int flags;            // PKEY_FLAG_*
  PKEY_KEY* key;        // owned reference
  BUFFER* fingerprint;  // 32 bytes
  int cipher_nid;       // cipher used instead of the type's default when encrypting; 0: none
  int references;       // changed under lock 5
};

PKEY* PKEY_new();
// Drops one reference; the last one releases the key object and the fingerprint.
void PKEY_free(PKEY* key);
int PKEY_up_ref(PKEY* key);
// A record for an existing key object (one reference taken): type, size, flags, fingerprint.
PKEY* PKEY_split(PKEY_KEY* key);

// Generation in memory, without a container. RSA (6, 19): param is the size in bits (at
// least 512), cb the progress call-back; DSA (116): the built-in 1024-bit parameters; 177:
// the domain parameters of params (a GOST R 34.10-94 key object) or the built-in ones; 272:
// param is the parameter set (276..282, anything else 276); 181: P-256; 271: param is the
// parameter set (283..287, anything else 283).
using PKEY_gen_cb = int (*)(int stage, int n, void* arg);
PKEY* PKEY_generate(int type, int param, PKEY_gen_cb cb, void* cb_arg, const PKEY_KEY* params);

// Decodes a key file image: encrypted PKCS#8, plain PKCS#8, the traditional DER of types 181,
// 177, 19 and 116, then PEM, clearing the queue after each failed attempt. A password comes
// from cb (with cb_data). With a container, a GOST key's protected value is loaded through it
// (and a missing public key recomputed). An encrypted key without cb fails with EVP reason 129.
PKEY* PKEY_read_buffer(const unsigned char* data, int length, PSE* pse, password_cb cb,
                       void* cb_data);
// Encodes a record as a key file image. Traditional kind: DER, or PEM under the type's label,
// encrypted when cb is given (the record's cipher or the type's default PEM cipher). PKCS#8
// kind: with cb the EncryptedPrivateKeyInfo (PBES2, PBKDF2 with the type's digest, 2048
// iterations, a fresh salt), else the PrivateKeyInfo; DER or PEM. A GOST key must be bound to
// its container first (PKEY_KEY_bind) for the file to hold the protected value.
BUFFER* PKEY_write_buffer(const PKEY* key, int format, int kind, password_cb cb, void* cb_data);

JARNEL_MAKE_OWNER(PKEY, PKEY_free);

// ---- The context -----------------------------------------------------------------------------

struct PKEY_CTX;

// Key method table. Each slot returns 1 or 0; an empty slot makes the operation succeed.
struct PKEY_METHOD {
  const char* name;
  int (*generate)(PKEY_CTX* ctx, int type, int paramset);
  int (*read)(PKEY_CTX* ctx);
  int (*write)(PKEY_CTX* ctx, int format, int kind);
};

struct PKEY_CTX {
  BUFFER* key_data;             // an encoded key decoded instead of reading a file
  BUFFER* path;                 // full path of the key file
  BUFFER* password;             // password of the key file
  password_cb password_callback;
  void* callback_data;          // handed to the password call-back and to file operations
  PSE* pse;                     // the key's container (one reference held)
  PKEY* key;                    // the current record (owned)
  MUTEX lock;                   // one per context
  PKEY_gen_cb gen_callback;     // progress of RSA generation
  void* gen_arg;
  CADB_waiter insert_cb;        // asked while the carrier is missing
  void* insert_arg;
  const PKEY_METHOD* method;
};

// "PKEY_CTX default method": the key as a file on the carrier.
const PKEY_METHOD* PKEY_default_method();
// "PKEY_CTX pkcs11 method": keys held by a PKCS#11 token (for containers on "pkcs11" paths).
extern const PKEY_METHOD* PKEY_pkcs11_method();

// The key file of a container: its key directory ("keys", "aaaa" for smart cards) and the name
// of key number n by carrier: "%04.4i" for the eToken family, eTR2 and the ruToken family,
// "key .%03.3i" for iButton, "%08.8X.key" otherwise. 0 when the container path is null or too
// long. out has CADB_PATH_BUF bytes.
int PKEY_key_file_path(const char* container_path, int n, char* out);

PKEY_CTX* PKEY_CTX_new();
void PKEY_CTX_free(PKEY_CTX* ctx);
// Replaces the path (null clears it) and drops the key data; picks the method by the held
// container's path.
int PKEY_CTX_set_path(PKEY_CTX* ctx, const char* path);
int PKEY_CTX_set_callback_data(PKEY_CTX* ctx, void* data);
int PKEY_CTX_set_password_callback(PKEY_CTX* ctx, password_cb cb);
// A copy of the password (length < 1: up to the terminator; null clears it).
int PKEY_CTX_set_password(PKEY_CTX* ctx, const char* password, int length);
// A copy of an encoded key to decode instead of a file (null clears it).
int PKEY_CTX_set_key_data(PKEY_CTX* ctx, const unsigned char* data, int length);
int PKEY_CTX_set_insert_callback(PKEY_CTX* ctx, CADB_waiter cb, void* arg);
int PKEY_CTX_set_gen_callback(PKEY_CTX* ctx, PKEY_gen_cb cb, void* arg);
// Holds the container (one reference; null drops it) and picks the method by its path.
int PKEY_CTX_set_pse(PKEY_CTX* ctx, PSE* pse);
// Replaces the record (one reference taken; null drops it).
int PKEY_CTX_set_key(PKEY_CTX* ctx, PKEY* key);
// The record (borrowed) or null.
PKEY* PKEY_CTX_get_key(PKEY_CTX* ctx);
int PKEY_CTX_generate(PKEY_CTX* ctx, int type, int paramset);
int PKEY_CTX_read(PKEY_CTX* ctx);
int PKEY_CTX_write(PKEY_CTX* ctx, int format, int kind);

void ERR_load_PKEY_strings();

JARNEL_MAKE_OWNER(PKEY_CTX, PKEY_CTX_free);

}  // namespace jarnel
