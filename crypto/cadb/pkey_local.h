#pragma once
// Internals shared by the private-key files (and their tests): the key file encodings.
#include <span>

#include "crypto/cadb/pkey.h"
#include "crypto/mem.h"

namespace jarnel::pkey {

using Bytes = std::span<const unsigned char>;

// Reasons recorded by the decoders (the base library's numbers and texts).
inline constexpr int PKEY_R_BAD_DECRYPT = 100, PKEY_R_UNKNOWN_PBE = 121;  // library 6
inline constexpr int PKEY_R_DECODE_ERROR = 110;                         // library 13

// A GOST R 34.10-2001 key on the curve of the parameters SEQUENCE { publicKeyParamSet,
// digestParamSet [, encryptionParamSet] }: the CryptoPro sets for type 271, P-256 (object
// 191) for the library's own type 181. Null when the parameters do not fit the type.
ECGOST* ecgost_from_params(int type, Bytes params);

// The plain private value of a GOST R 34.10-2001 PrivateKeyInfo (32 little-endian bytes, an
// OCTET STRING of them, an INTEGER, or the masked form) into d.
bool ec_plain_value(const ECGOST* key, Bytes v, BnPtr& d);

// Empties OpenSSL's own error queue (after an attempt whose failure is an expected answer).
void ossl_clear();

// Curve number of a GOST R 34.10-2001 key type and parameter set (181: P-256; 271: 283..287,
// anything else 283).
int ecgost_curve_of(int type, int paramset);

// A password as bytes (not necessarily zero-terminated).
struct Password {
  Bytes bytes;
};

// One PEM block: label, header lines (empty when there are none) and the decoded bytes.
struct PemBlock {
  char label[64];
  char header[256];
  SecureBuffer der;
};

// PEM framing. pem_read is false for text that does not begin with "-----BEGIN " or whose
// block is malformed.
bool pem_read(Bytes text, PemBlock& out);
// Removes PEM encryption: 1 done (or none present), 0 wrong password or broken data, -1 an
// unknown header or cipher, -2 a password is needed and pw is null.
int pem_decrypt(PemBlock& b, const Password* pw);
// PEM text of der under label; encrypted with the cipher (DES-EDE3-CBC, RUS-GAMMAR, AES-CBC)
// when pw is given.
bool pem_write(const char* label, Bytes der, const Password* pw, int cipher_nid, SecureBuffer& out);

// EncryptedPrivateKeyInfo: SEQUENCE { AlgorithmIdentifier, OCTET STRING }.
bool is_encrypted_pkcs8(Bytes der);
// PBES2 with PBKDF2 (PRF by object number: hmacWithSHA1, -SHA256, -SHA512, hmacWithR3411,
// the CryptoPro HMAC, HMAC over GOST R 34.11-2012 256 and 512) and a CBC or CFB cipher (DES-EDE3-CBC, AES-CBC, RUS-GAMMAR; decryption
// also takes the CryptoPro GOST 28147-89 cipher with its parameter structure).
bool pbes2_encrypt(Bytes info, Bytes password, int cipher_nid, int prf_nid, unsigned iterations,
                   SecureBuffer& out);
// 1 decrypted, 0 wrong password or broken data, -1 a scheme this code does not know.
int pbes2_decrypt(Bytes der, Bytes password, SecureBuffer& out);

// PrivateKeyInfo and the traditional forms.
PKEY_KEY* pkcs8_decode(Bytes der);
bool pkcs8_encode(const PKEY_KEY* key, SecureBuffer& out);
// type: 181 (the GOST R 34.10-2001 form), 177 (GOST R 34.10-94), 19 (RSA), 116 (DSA). The GOST
// keys get the type of their parameter set (CryptoPro sets: 271, 272).
PKEY_KEY* traditional_decode(int type, Bytes der);
bool traditional_encode(const PKEY_KEY* key, SecureBuffer& out);
const char* traditional_label(int type);
// Defaults by key type: PEM and PKCS#8 cipher, PKCS#8 PRF.
int default_cipher(int type);
int default_prf(int type);

}  // namespace jarnel::pkey
