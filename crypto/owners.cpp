// Deleters of OpenSSL's objects. This file may include any OpenSSL header: it does not see the
// library's own BIO.
#include "crypto/owners.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace jarnel {

#define JARNEL_OSSL_DELETER(T, expr) \
  void Deleter<T>::operator()(T* p) const { expr; }

JARNEL_OSSL_DELETER(BIGNUM, BN_clear_free(p))
JARNEL_OSSL_DELETER(BN_CTX, BN_CTX_free(p))
JARNEL_OSSL_DELETER(BN_MONT_CTX, BN_MONT_CTX_free(p))
JARNEL_OSSL_DELETER(ASN1_OBJECT, ASN1_OBJECT_free(p))
JARNEL_OSSL_DELETER(ASN1_STRING, ASN1_STRING_clear_free(p))
JARNEL_OSSL_DELETER(ASN1_TYPE, ASN1_TYPE_free(p))
JARNEL_OSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free(p))
JARNEL_OSSL_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free(p))
JARNEL_OSSL_DELETER(EVP_PKEY, EVP_PKEY_free(p))
JARNEL_OSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free(p))
JARNEL_OSSL_DELETER(EVP_MD, EVP_MD_free(p))
JARNEL_OSSL_DELETER(EVP_CIPHER, EVP_CIPHER_free(p))
JARNEL_OSSL_DELETER(X509, X509_free(p))
JARNEL_OSSL_DELETER(X509_NAME, X509_NAME_free(p))
JARNEL_OSSL_DELETER(X509_CRL, X509_CRL_free(p))
JARNEL_OSSL_DELETER(X509_EXTENSION, X509_EXTENSION_free(p))
JARNEL_OSSL_DELETER(X509_ALGOR, X509_ALGOR_free(p))
JARNEL_OSSL_DELETER(X509_SIG, X509_SIG_free(p))
JARNEL_OSSL_DELETER(PKCS7, PKCS7_free(p))
JARNEL_OSSL_DELETER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free(p))
JARNEL_OSSL_DELETER(::BIO, BIO_free_all(p))

#undef JARNEL_OSSL_DELETER

}  // namespace jarnel
