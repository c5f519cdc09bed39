#pragma once
// The GOST ciphers and digests offered to OpenSSL 3: an in-process provider ("jarnel-gost")
// loaded, together with OpenSSL's default provider, into a private library context. PKCS#7,
// HMAC and PBKDF2 fetch the algorithms from that context by the names and OIDs below.
//
// Ciphers (EVP_CIPHER_fetch(GOST_libctx(), name, nullptr)):
//   "RUS-CHANGE"    aliases "rus-ecb", "rus-simple", 1.3.6.1.4.1.7203.1.1.1   ECB, block 8, PKCS#7
//                   padding unless turned off ("padding" parameter)
//   "RUS-GAMMA"     1.3.6.1.4.1.7203.1.1.2                                   counter, IV 8
//   "RUS-GAMMAR"    aliases "rus-gfb", "rus-gamma-fb", "rus-gamma-r", 1.3.6.1.4.1.7203.1.1.3  CFB
//   "RUS-GAMMAR-CP" aliases "CryptoPro-Gost28147-89", "rus-cfb", 1.2.643.2.2.21
//                   CFB with CryptoPro key meshing; algorithm parameters are the
//                   Gost28147-89-Parameters (IV and S-box OID) through "alg_id_param"
// Digests (EVP_MD_fetch):
//   "RUS-HASH"      aliases "r3411", "rush", "R3410-R3411", "r3410WithR3411" and both OIDs
//   "ECR3410-R3411" aliases "ecr3410WithR3411", "ECR3410", 1.3.6.1.4.1.7203.1.3.2
//   "RUS-HASH-CP"   aliases "CryptoPro-GostR3411-94", 1.2.643.2.2.9, and the two CryptoPro
//                   signature names/OIDs (1.2.643.2.2.4, 1.2.643.2.2.3) as separate digests
//   "CryptoPro-Gost28147-89-MAC"  1.2.643.2.2.22, size 4: the key is passed as the "key" octet
//                   string parameter of EVP_DigestInit_ex2 (initialising without one fails)
//   "PREHASHED-R3411"  the pre-hashed binding: the value of the last update (32 bytes)
#include <openssl/types.h>

namespace jarnel {

// Creates the library context and loads the providers once; 1 on success. Also the start-up
// hook GOST_register_algorithms (crypto/hooks.h).
int GOST_register_algorithms();
// The private library context (null until GOST_register_algorithms succeeded).
OSSL_LIB_CTX* GOST_libctx();
// Releases the context and providers (process shut-down, tests).
void GOST_unregister_algorithms();

// PBKDF2 pseudo-random function: the digest for HMAC named by the PBKDF2 parameters' PRF.
// "hmacWithR3411" (or its OID 1.3.6.1.4.1.7203.1.7.2) gives "RUS-HASH"; "hmacWithSHA1" (or
// 1.2.840.113549.2.7) or null (absent) gives "SHA1"; anything else is refused (null).
const char* GOST_pbkdf2_prf_digest(const char* prf);
// The same by object number: 180 (hmacWithR3411), 163 (hmacWithSHA1) or 0 (absent).
const char* GOST_pbkdf2_prf_digest_by_nid(int nid);


}  // namespace jarnel
