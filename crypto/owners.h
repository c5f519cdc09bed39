#pragma once
// Owners: one way to hold an object that must be freed, in the manner of a unique_ptr whose
// deleter is chosen by the type. Owned<BIGNUM> frees with BN_clear_free, Owned<ECGOST> with
// ECGOST_free, and so on; a path that returns early frees everything it made.
//
//   Owned<BIGNUM> t(BN_secure_new());
//   Owned<ECGOST> key(ECGOST_new(curve));
//   if (!t || !key) return 0;
//   ...
//   return key.release();  // hands the object on
//
// OpenSSL's objects get their deleters here (defined in owners.cpp, so this header pulls in no
// OpenSSL header that clashes with the library's own BIO). The library's records declare
// theirs beside their _free function with JARNEL_MAKE_OWNER. Deleters of objects that hold
// secrets wipe them (BIGNUM, BN_CTX, EVP_CIPHER_CTX, the keys and masked numbers).
//
// Memory that is not an object: SecureBuffer (crypto/mem.h), a byte buffer from mem_alloc that
// reports a failed allocation instead of throwing and is wiped when released, and MemPtr for
// plain mem_alloc blocks.
#include <openssl/types.h>

#include <memory>

#include "crypto/mem.h"

// OpenSSL types that <openssl/types.h> does not declare, by their structure tags.
struct X509_extension_st;
struct X509_sig_st;
struct pkcs7_st;

namespace jarnel {

template <class T>
struct Deleter;  // one specialisation per owned type

template <class T>
using Owned = std::unique_ptr<T, Deleter<T>>;

#define JARNEL_MAKE_OWNER(T, free_fn)              \
  template <>                                      \
  struct Deleter<T> {                              \
    void operator()(T* p) const { free_fn(p); }    \
  }

// OpenSSL objects (out of line, see owners.cpp).
#define JARNEL_OSSL_OWNER(T)                       \
  template <>                                      \
  struct Deleter<T> {                              \
    void operator()(T* p) const;                   \
  }

JARNEL_OSSL_OWNER(BIGNUM);          // BN_clear_free
JARNEL_OSSL_OWNER(BN_CTX);          // BN_CTX_free (its numbers are cleared)
JARNEL_OSSL_OWNER(BN_MONT_CTX);
JARNEL_OSSL_OWNER(ASN1_OBJECT);
// Every ASN.1 string type (INTEGER, OCTET STRING, BIT STRING, ...) is one type in OpenSSL.
JARNEL_OSSL_OWNER(ASN1_STRING);     // ASN1_STRING_clear_free: may hold a secret number
JARNEL_OSSL_OWNER(ASN1_TYPE);
JARNEL_OSSL_OWNER(EVP_MD_CTX);
JARNEL_OSSL_OWNER(EVP_CIPHER_CTX);  // EVP_CIPHER_CTX_free (clears the key schedule)
JARNEL_OSSL_OWNER(EVP_PKEY);
JARNEL_OSSL_OWNER(EVP_PKEY_CTX);
JARNEL_OSSL_OWNER(EVP_MD);
JARNEL_OSSL_OWNER(EVP_CIPHER);
JARNEL_OSSL_OWNER(X509);
JARNEL_OSSL_OWNER(X509_NAME);
JARNEL_OSSL_OWNER(X509_CRL);
JARNEL_OSSL_OWNER(::X509_extension_st);  // X509_EXTENSION
JARNEL_OSSL_OWNER(X509_ALGOR);
JARNEL_OSSL_OWNER(::X509_sig_st);        // X509_SIG
JARNEL_OSSL_OWNER(::pkcs7_st);           // PKCS7
JARNEL_OSSL_OWNER(PKCS8_PRIV_KEY_INFO);
JARNEL_OSSL_OWNER(::BIO);  // OpenSSL's stream (BIO_free_all), not the library's BIO

#undef JARNEL_OSSL_OWNER

using BnPtr = Owned<BIGNUM>;
using BnCtxPtr = Owned<BN_CTX>;

}  // namespace jarnel
