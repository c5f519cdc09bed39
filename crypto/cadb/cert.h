#pragma once
// Certificate records (CERT) built from parsed X.509 certificates, and the certificate context
// (CERT_CTX) through which a certificate is read from bytes or a path and written to a path.
//
// A CERT flattens what the key store needs: version, algorithms, key size, serial number,
// validity, split names and their one-line texts and GOST R 34.11-94 hashes, the converted
// extensions (x509v3.h) and the key fingerprint, the GOST R 34.11-94 hash ("RUS-HASH", object
// 176) of the subjectPublicKey bit-string contents, by which a certificate is matched with its
// private key. Records form a chain through next (a PEM bundle reads as a chain); freeing a
// record frees the records after it.
#include <openssl/types.h>

#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cert_parts.h"
#include "crypto/cadb/x509v3.h"
#include "crypto/lock.h"
#include "crypto/owners.h"

namespace jarnel {

// Function numbers (library 66).
inline constexpr int CADB_F_CERT_NEW = 143, CADB_F_CERT_READ_BUFFER = 145, CADB_F_CERT_SPLIT = 148,
                     CADB_F_CERT_GET = 324, CADB_F_CERT_CTX_NEW = 337,
                     CADB_F_CERT_CTX_SET = 344,  // setters and the default read
    CADB_F_CERT_CTX_READ = 370, CADB_F_CERT_CTX_DEFAULT_WRITE = 371, CADB_F_CERT_CTX_WRITE = 372,
                     CADB_F_CERT_CTX_SET_KIND = 373;
// Reasons (library 66). 66 is the common "CADB lib" summary reason.
inline constexpr int CADB_R_CADB_LIB = 66, CADB_R_NO_PUBLIC_KEY = 124;

// Output formats of CERT_get and CERT_CTX_write.
inline constexpr int CERT_FORMAT_DER = 1, CERT_FORMAT_PEM = 2, CERT_FORMAT_TEXT = 5;

struct CERT {
  int version;              // as stored: 0 for v1, 2 for v3
  int key_algorithm;        // object number of the public key's algorithm (0: not in the table)
  int key_size;             // bits of the public key (256 for GOST R 34.10-2001, 1024 for
                            // GOST R 34.10-94, the modulus or p for RSA and DSA)
  int signature_algorithm;  // object number (0: not in the table)
  int self_issued;          // 1 when subject and issuer compare equal, else -1
  int params_missing;       // 1 when the key lacks its domain parameters
  BUFFER* serial;           // INTEGER content octets
  CADB_TIME not_before;
  CADB_TIME not_after;
  CADB_ATTRIBUTES* subject;
  CADB_ATTRIBUTES* issuer;
  CADB_V3EXT* extensions;  // null when the certificate has none
  CERT* next;
  X509* certificate;    // one reference
  BUFFER* fingerprint;  // 32 bytes
  BUFFER* subject_text;
  BUFFER* issuer_text;
  BUFFER* subject_hash;  // GOST R 34.11-94 of the DER subject name, 32 bytes
  BUFFER* issuer_hash;
};

struct CERT_CTX;

// Certificate method table. An empty slot makes the operation succeed without doing anything.
struct CERT_METHOD {
  const char* name;
  int (*read)(CERT_CTX* ctx);
  int (*write)(CERT_CTX* ctx, int format);
};

struct CERT_CTX {
  BUFFER* data;  // certificate bytes to decode
  BUFFER* path;  // zero-terminated path of the file or token object
  CERT* cert;    // the current record, owned
  MUTEX lock;
  const CERT_METHOD* method;
  int kind;  // 1 or 2 (category of a token certificate object)
  void* callback_arg;  // handed to the PIN call-back when a token asks for a login
};

// "CERT_CTX default method": files through the file layer.
const CERT_METHOD* CERT_default_method();
// "certificate pkcs11 method": certificate objects on PKCS#11 tokens.
const CERT_METHOD* CERT_pkcs11_method();

CERT* CERT_new();
void CERT_free(CERT* cert);
// Decodes DER, then PEM, then bare Base64 (the armour lines added) into a record (a chain when
// PEM holds several certificates). Null with (66, 145, 66) on failure.
CERT* CERT_read_buffer(const void* data, int length);
// The record of a parsed certificate (takes its own reference). Null with (66, 148, reason).
CERT* CERT_split(X509* x509);
// The record's certificate encoded as DER (any format but 2 and 5), PEM (2) or text (5).
BUFFER* CERT_get(const CERT* cert, int format);
// The fingerprint of a certificate's key: GOST R 34.11-94 ("RUS-HASH") of the contents of the
// subjectPublicKey bit string; 1 and 32 bytes in out.
int CERT_key_fingerprint(const X509* x509, unsigned char out[32]);
// Number of records in the chain.
int CERT_chain_length(const CERT* cert);

CERT_CTX* CERT_CTX_new();
void CERT_CTX_free(CERT_CTX* ctx);
// Copies the bytes and drops the path (the record read before stays).
int CERT_CTX_set_data(CERT_CTX* ctx, const void* data, int length);
// Copies the path, drops the data and picks the method: "pkcs11..." (any case) the PKCS#11
// method, anything else the default one.
int CERT_CTX_set_path(CERT_CTX* ctx, const char* path);
int CERT_CTX_set_kind(CERT_CTX* ctx, int kind);
// The argument the PIN call-back receives when reading or writing a token's certificate
// object needs a login (the Java frame's call-back context).
int CERT_CTX_set_callback_data(CERT_CTX* ctx, void* arg);
int CERT_CTX_read(CERT_CTX* ctx);
int CERT_CTX_write(CERT_CTX* ctx, int format);
// The current record (borrowed) or null.
const CERT* CERT_CTX_get_cert(const CERT_CTX* ctx);

void ERR_load_CERT_strings();

JARNEL_MAKE_OWNER(CERT, CERT_free);
JARNEL_MAKE_OWNER(CERT_CTX, CERT_CTX_free);

}  // namespace jarnel
