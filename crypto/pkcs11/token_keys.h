#pragma once
// GOST R 34.10-2001 key pairs that live on a PKCS#11 token: generated there, signing, VKO key
// agreement, content-key unwrapping and hashing done there, and certificates kept as
// certificate objects.
//
// A token key is an ECGOST key without its private part (public point, curve and parameter sets
// read from the public-key object) plus a token connection whose current object is the private
// key and whose second name is the key's name (its CKA_ID), plus one of four method tables,
// chosen by the mechanisms the token lists. Only key type 271 (GOST R 34.10-2001, CryptoPro) is
// handled.
//
// Errors go to library 81 with the function codes below and reasons 12, 33, 35 and 105; every
// failing PKCS#11 call also records its CK_RV as the token error.
#include <cstddef>

#include "crypto/cadb/pkey.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/pkcs11/pkcs11.h"

namespace jarnel {

// Function codes (library 81).
inline constexpr int PKCS11_F_GENERATE_KEY = 104, PKCS11_F_KEY_FROM_PUBLIC = 111,
                     PKCS11_F_READ_KEY = 113, PKCS11_F_WRITE_KEY = 139, PKCS11_F_TOKEN_SIGN = 141,
                     PKCS11_F_TOKEN_RELEASE = 142, PKCS11_F_IMPORT_KEY = 153,
                     PKCS11_F_TOKEN_DERIVE = 157, PKCS11_F_TOKEN_UNWRAP = 160,
                     PKCS11_F_CERT_READ = 161, PKCS11_F_CERT_WRITE = 164,
                     PKCS11_F_TOKEN_DIGEST = 182;

inline constexpr int PKCS11_KEY_TYPE_GOST2001 = 271;   // the only key type handled
inline constexpr int PKCS11_SIG_TYPE_CP = 273;         // signature type of the sign slot
inline constexpr int PKCS11_PARAMSET_DEFAULT = 283;    // leaves the template's parameter set
inline constexpr unsigned PKCS11_TOKEN_KEY_SIGN_ONLY = 1;  // flag of keys without kek and cek

inline constexpr char PKCS11_LABEL_PUBLIC_TEMPORARY[] = "Temporary public key object";
inline constexpr char PKCS11_LABEL_PRIVATE_TEMPORARY[] = "Temporary private key object";
inline constexpr char PKCS11_LABEL_PUBLIC_FINAL[] = "Halvorit public key object";
inline constexpr char PKCS11_LABEL_PRIVATE_FINAL[] = "Halvorit private key object";
inline constexpr char PKCS11_LABEL_CERTIFICATE[] = "Halvorit certificate object";

// The token method table is PKEY_TOKEN_METHOD of the key records (pkey.h); every slot takes
// the key's PKCS11_OBJECT as its token. sign: sig_type must be 273; sig null gives 64; a buffer
// the token finds too small fails with reason 105 and the size it needs.

// The four tables: sign only; sign and kek; sign and cek; sign, kek and cek.
const PKEY_TOKEN_METHOD* PKCS11_token_method_sign_only();
const PKEY_TOKEN_METHOD* PKCS11_token_method_kek();
const PKEY_TOKEN_METHOD* PKCS11_token_method_cek();
const PKEY_TOKEN_METHOD* PKCS11_token_method_kek_cek();
// The table for the mechanisms the connection's token lists; *flags gets
// PKCS11_TOKEN_KEY_SIGN_ONLY for the first table, else 0. Null (a malloc error queued) when
// the mechanism list could not be read for want of memory.
const PKEY_TOKEN_METHOD* PKCS11_token_method(PKCS11_OBJECT* conn, unsigned* flags);

// A key whose private half is on a token (what the key record holds). key: public half;
// token: the connection (owned; freed by the method's release); method and flags as above.
struct PKCS11_TOKEN_KEY {
  ECGOST* key;
  PKCS11_OBJECT* token;
  const PKEY_TOKEN_METHOD* method;
  unsigned flags;
};
// Frees key and connection (through the method's release) and clears the record.
void PKCS11_TOKEN_KEY_clear(PKCS11_TOKEN_KEY* k);

// An ECGOST key from the connection's current object, a public key (function 111): CKA_VALUE
// (X_le || Y_le) validated on the curve of CKA_GOSTR3410_PARAMS, the digest and (when present)
// cipher parameter sets.
ECGOST* PKCS11_key_from_public_object(PKCS11_OBJECT* conn);

// Generates a pair on the token of container_path (function 104). key_type must be 271;
// paramset_nid 0 or 283 keeps the template's set A, 284..287 choose another. The pair carries
// the temporary labels and no CKA_ID until written; leftover temporaries of an earlier
// generation are destroyed first. callback_arg goes to the PIN call-back.
int PKCS11_generate_key(const char* container_path, void* callback_arg, int key_type,
                        int paramset_nid, PKCS11_TOKEN_KEY* out);

// Reads the pair named by key_path's file part (function 113); the connection goes to key_path
// when it names a module, else to container_path. force_login makes the login ask again.
int PKCS11_read_key(const char* key_path, const char* container_path, void* callback_arg,
                    int force_login, PKCS11_TOKEN_KEY* out);

// Stores a key under the name of key_path (function 139). A token key (key->token set) is
// committed: a fresh pair gets CKA_ID = name and the final labels, another pair of that name
// is deleted first; a key already stored under the name stays as it is. A software key
// (key->token null, key->key with its private part) is imported as a pair on the token of
// key_path or container_path (PKCS11_import_key).
int PKCS11_write_key(const char* key_path, const char* container_path, void* callback_arg,
                     PKCS11_TOKEN_KEY* key);
// Replaces any pair of the name by the software key's pair (function 153): public object with
// the point and the parameter sets, private object with d (32 bytes little-endian), CKA_DERIVE
// and CKA_UNWRAP as the token offers the mechanisms. conn must be open.
int PKCS11_import_key(PKCS11_OBJECT* conn, const char* name, ECGOST* key);

// Certificates as certificate objects whose CKA_ID is the name. read (function 161): the
// category and a copy of the DER certificate (mem_alloc; free with mem_free). write (function
// 164): a new object with the category, DER, its subject and the label "Halvorit certificate
// object". Both log in and use the token of path (a token path whose file part is the name).
int PKCS11_read_certificate(const char* path, void* callback_arg, CK_ULONG* category,
                            unsigned char** der, std::size_t* der_len);
int PKCS11_write_certificate(const char* path, void* callback_arg, CK_ULONG category,
                             const unsigned char* der, std::size_t der_len);

}  // namespace jarnel
