#pragma once
// PKCS#7 messages of the key store, and the password-protected buffer built on them.
//
// A password-protected buffer is a PKCS#7 encryptedData whose encrypted content is the DER of a
// PKCS#7 digestedData: content type data holding the protected bytes, digest algorithm GOST R
// 34.11-94 (1.3.6.1.4.1.7203.1.2.1) and the digest of those bytes. The content-encryption key
// is PBKDF2 of the password with salt = 8 zero bytes and the requested iteration count (2048
// for a request below 1):
//   cipher 174, GOST 28147-89 CFB (1.3.6.1.4.1.7203.1.1.3, default S-box): HMAC over GOST R
//               34.11-94, 32-byte key;
//   cipher 44,  DES-EDE3-CBC (1.2.840.113549.3.7): HMAC-SHA-1, 24-byte key.
// The key is never encoded into the message; the algorithm parameters carry only the IV (an
// OCTET STRING of 8 bytes), drawn from the library's generator.
//
// Password text: encryption uses the password in its canonical text form
// (CADB_password_text); decryption tries the password as given, then its canonical form.
#include <cstdint>

#include <openssl/pkcs7.h>

#include "crypto/cadb/buffer.h"

namespace jarnel {

// Object numbers used here (OpenSSL's classic numbers for the PKCS#7 types and DES-EDE3-CBC,
// the system's own for the GOST algorithms).
inline constexpr int CMS_NID_data = 21, CMS_NID_signed = 22, CMS_NID_enveloped = 23,
                     CMS_NID_digest = 25, CMS_NID_encrypted = 26, CMS_NID_des_ede3_cbc = 44,
                     CMS_NID_rus_gammar = 174, CMS_NID_rus_hash = 176;

inline constexpr int CMS_FORMAT_PEM = 0, CMS_FORMAT_DER = 1;
inline constexpr int CMS_DEFAULT_ITERATIONS = 2048;
inline constexpr int CMS_SALT_BYTES = 8;

// Function codes (library 66).
inline constexpr int CADB_F_BUFFER_ENCRYPT = 326, CADB_F_BUFFER_DECRYPT = 327;
// Reasons of library 66 for the protected buffer, and of the PKCS#7 library (33).
inline constexpr int CADB_R_INTEGRITY_CHECK_FAILED = 126, CADB_R_ENCRYPTED_DATA_EXPECTED = 127,
                     CADB_R_DIGESTED_DATA_EXPECTED = 128, CADB_R_DATA_EXPECTED = 129;
inline constexpr int P7_R_DIGEST_FAILURE = 101, P7_R_OPERATION_NOT_SUPPORTED = 110,
                     P7_R_UNSUPPORTED_CIPHER_TYPE = 111,
                     P7_R_UNSUPPORTED_CONTENT_TYPE = 112, P7_R_WRONG_CONTENT_TYPE = 113,
                     P7_R_CIPHER_NOT_INITIALIZED = 116, P7_R_DECRYPT_ERROR = 119,
                     P7_R_NO_CONTENT = 122;
// Function codes of the message object (library 33).
inline constexpr int P7_F_CMS_NEW = 200, P7_F_CMS_SET = 201, P7_F_CMS_ADD = 202,
                     P7_F_CMS_FINISH = 203, P7_F_CMS_ENCODE = 204,
                     P7_F_CMS_PARSE = 205, P7_F_CMS_DECRYPT = 206,
                     P7_F_CMS_VERIFY = 207, P7_F_CMS_CONTENT = 208;

// The message object: the PKCS#7 structure being built or parsed, its content type, creation
// flags, whether added content still has to be finished, the content bytes, and the content
// key handed to it (wiped when the object is freed).
struct CADB_CMS {
  PKCS7* p7;
  int type;
  int flags;
  int pending;
  BUFFER* content;
  int cipher;                    // content cipher object (encrypted and enveloped data)
  int inner_type;                // type of the inner content
  unsigned char key[32];
  int key_len;
};

// A new message of type 22, 23, 25 or 26 with its set-up (inner type data; cipher 174; digest
// 176). Any other type: null with (33, 200, 112) "unsupported content type".
CADB_CMS* CADB_CMS_new(int type, int flags);
void CADB_CMS_free(CADB_CMS* cms);
// Inner content type (21 or 25) and content cipher (44 or 174).
int CADB_CMS_set_inner_type(CADB_CMS* cms, int type);
int CADB_CMS_set_cipher(CADB_CMS* cms, int cipher);
// The content-encryption key (its length must be the cipher's key length).
int CADB_CMS_set_key(CADB_CMS* cms, const unsigned char* key, int len);
// Appends content bytes; the message is finished by CADB_CMS_finish.
int CADB_CMS_add(CADB_CMS* cms, const unsigned char* data, int len);
// Digested data: computes the digest. Encrypted data: encrypts under the key with a fresh IV.
// Signed and enveloped data are not built by this system: (33, 203, 110).
int CADB_CMS_finish(CADB_CMS* cms);
// DER (format 1) or PEM (format 0) of the finished message.
BUFFER* CADB_CMS_encode(CADB_CMS* cms, int format);
// Parses DER; null (with the PKCS#7 layer's errors) when the bytes are not a message.
CADB_CMS* CADB_CMS_parse(const unsigned char* data, int len);
// The content type of DER bytes when they parse as a PKCS#7 message, else 0; records nothing.
int CADB_CMS_probe_type(const unsigned char* data, int len);
// Object number of the content type (21..26), 0 for another.
int CADB_CMS_type(const CADB_CMS* cms);
// The inner content type of encrypted or digested data.
int CADB_CMS_inner_type(const CADB_CMS* cms);
// The content cipher of a parsed encrypted message (44, 174, or 0 for another).
int CADB_CMS_cipher(const CADB_CMS* cms);
// Encrypted data: decrypts the content with the key into the object's content.
int CADB_CMS_decrypt(CADB_CMS* cms);
// Digested data: 1 when the stored digest is that of the content (kept in the object's content).
int CADB_CMS_verify_digest(CADB_CMS* cms);
// Hands over the content bytes (the object no longer has them).
BUFFER* CADB_CMS_take_content(CADB_CMS* cms);

// The canonical text form of a password: bytes that are valid UTF-8 stay as they are; other
// text is read as Windows-1251 (the Cyrillic code page) and converted to UTF-8. Null when
// memory is short.
BUFFER* CADB_password_text(const unsigned char* password, int length);

// Protects length bytes of data (length < 1: up to the zero byte) under password (password_len
// < 1: up to the zero byte) with cipher 44 or 174 (any other value: 174) and the iteration
// count (below 1: 2048), in format 1 (DER) or 0 (PEM). Null with (66, 326, 12) and
// (66, 326, 66) on failure.
BUFFER* BUFFER_encrypt(const unsigned char* data, int length, int cipher,
                       const unsigned char* password, int password_len, int iterations,
                       int format);
// Recovers the bytes of a protected buffer (DER). Null with (66, 327, reason) and (66, 327, 66):
// 127 not encrypted data, 128 the content is a message other than digested data, 129 no data
// inside, 126 the content is no message or its digest does not match (a wrong password ends
// here or in the cipher's padding check). When the password as given fails and its canonical
// text differs, the queue is emptied and the canonical text is tried.
BUFFER* BUFFER_decrypt(const unsigned char* data, int length, const unsigned char* password,
                       int password_len, int iterations);

}  // namespace jarnel
