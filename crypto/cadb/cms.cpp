// PKCS#7 message object over OpenSSL's PKCS#7 structures, and the password-protected buffer.
// The GOST cipher and digest come from the library's provider (GOST_libctx); DES-EDE3-CBC,
// SHA-1 and PBKDF2 from OpenSSL's default provider loaded into the same context.
#include "crypto/cadb/cms.h"

#include <cstring>
#include <memory>
#include <span>

#include "crypto/bytestring/der.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost_provider.h"

// After the library's error header, whose names OpenSSL's header would otherwise shadow.
#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace jarnel {
namespace {

constexpr const char* kOidGammar = "1.3.6.1.4.1.7203.1.1.3";
constexpr const char* kOidHash = "1.3.6.1.4.1.7203.1.2.1";
constexpr const char* kOidDes3 = "1.2.840.113549.3.7";
constexpr int kIvBytes = 8;

struct CipherInfo {
  int nid;
  const char* oid;
  const char* cipher;  // name in the library context
  const char* prf;     // PBKDF2 digest
  int key_len;
};
constexpr CipherInfo kCiphers[] = {
    {CMS_NID_rus_gammar, kOidGammar, "RUS-GAMMAR", "RUS-HASH", 32},
    {CMS_NID_des_ede3_cbc, kOidDes3, "DES-EDE3-CBC", "SHA1", 24},
};

const CipherInfo* cipher_by_nid(int nid) {
  for (const auto& c : kCiphers)
    if (c.nid == nid) return &c;
  return nullptr;
}

// The dotted text of an object, or "" when it cannot be printed.
bool oid_is(const ASN1_OBJECT* obj, const char* oid) {
  char text[80];
  return obj && OBJ_obj2txt(text, sizeof text, obj, 1) > 0 && std::strcmp(text, oid) == 0;
}

const CipherInfo* cipher_by_object(const ASN1_OBJECT* obj) {
  for (const auto& c : kCiphers)
    if (oid_is(obj, c.oid)) return &c;
  return nullptr;
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct MdFree {
  void operator()(EVP_MD* m) const { EVP_MD_free(m); }
};
struct KdfFree {
  void operator()(EVP_KDF* k) const { EVP_KDF_free(k); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* k) const { EVP_KDF_CTX_free(k); }
};
void wipe_content(PKCS7* p7);
struct Pkcs7Free {
  void operator()(PKCS7* p) const {
    wipe_content(p);
    PKCS7_free(p);
  }
};
struct OctetFree {
  void operator()(ASN1_OCTET_STRING* o) const { ASN1_OCTET_STRING_free(o); }
};
struct BioFree {
  void operator()(::BIO* b) const { ::BIO_free(b); }
};
struct CmsFree {
  void operator()(CADB_CMS* c) const { CADB_CMS_free(c); }
};
struct BufferFree {
  void operator()(BUFFER* b) const { BUFFER_free(b); }
};
using CmsPtr = std::unique_ptr<CADB_CMS, CmsFree>;
using BufferPtr = std::unique_ptr<BUFFER, BufferFree>;

#define CMS_ERR(func, reason) JARNEL_ERR(LIB_PKCS7, (func), (reason))
#define CMS_SSL_ERR(func, reason) \
  ::jarnel::ERR_put_openssl_errors(LIB_PKCS7, (func), (reason), __FILE__, __LINE__)

// Runs the cipher over in (one call and the final block); the result replaces out.
bool run_cipher(const CipherInfo& info, int enc, const unsigned char* key, const unsigned char* iv,
                const unsigned char* in, int len, BufferPtr& out) {
  OSSL_LIB_CTX* lc = GOST_libctx();
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(lc ? EVP_CIPHER_fetch(lc, info.cipher, nullptr)
                                                    : nullptr);
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx || EVP_CIPHER_get_iv_length(cipher.get()) != kIvBytes ||
      EVP_CIPHER_get_key_length(cipher.get()) != info.key_len)
    return false;
  BufferPtr buf(BUFFER_fill(nullptr, len + EVP_MAX_BLOCK_LENGTH));
  int n1 = 0, n2 = 0;
  static const unsigned char none = 0;
  bool ok = buf && EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, iv, enc, nullptr) == 1 &&
            EVP_CipherUpdate(ctx.get(), buf->data, &n1, len ? in : &none, len) == 1 &&
            EVP_CipherFinal_ex(ctx.get(), buf->data + n1, &n2) == 1;
  if (!ok) return false;
  // Shorten without copying: the tail beyond the result is wiped.
  mem_cleanse(buf->data + n1 + n2, static_cast<std::size_t>(buf->length - n1 - n2));
  buf->length = n1 + n2;
  out = std::move(buf);
  return true;
}

bool digest(const unsigned char* data, int len, unsigned char* out, unsigned* out_len) {
  OSSL_LIB_CTX* lc = GOST_libctx();
  std::unique_ptr<EVP_MD, MdFree> md(lc ? EVP_MD_fetch(lc, "RUS-HASH", nullptr) : nullptr);
  static const unsigned char none = 0;
  return md && EVP_Digest(len ? data : &none, static_cast<std::size_t>(len), out, out_len,
                          md.get(), nullptr) == 1;
}

// The octets of a PKCS#7 data message, or null.
const ASN1_OCTET_STRING* data_octets(const PKCS7* p7) {
  if (!p7 || OBJ_obj2nid(p7->type) != NID_pkcs7_data) return nullptr;
  return p7->d.data;
}

// Zeroes the clear content a message holds (data, or the data inside digested data) before the
// message is freed: it may be a key share.
void wipe_content(PKCS7* p7) {
  if (!p7 || !p7->d.ptr) return;
  int type = OBJ_obj2nid(p7->type);
  if (type == NID_pkcs7_data && p7->d.data) {
    OPENSSL_cleanse(const_cast<unsigned char*>(ASN1_STRING_get0_data(p7->d.data)),
                    static_cast<std::size_t>(ASN1_STRING_length(p7->d.data)));
  } else if (type == NID_pkcs7_digest) {
    wipe_content(p7->d.digest->contents);
  }
}

}  // namespace

CADB_CMS* CADB_CMS_new(int type, int flags) {
  if (type != CMS_NID_signed && type != CMS_NID_enveloped && type != CMS_NID_digest &&
      type != CMS_NID_encrypted) {
    CMS_ERR(P7_F_CMS_NEW, P7_R_UNSUPPORTED_CONTENT_TYPE);
    return nullptr;
  }
  auto* cms = static_cast<CADB_CMS*>(mem_alloc(sizeof(CADB_CMS)));
  if (!cms) {
    CMS_ERR(P7_F_CMS_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(cms, 0, sizeof *cms);
  CmsPtr owner(cms);
  cms->type = type;
  cms->flags = flags;
  cms->p7 = PKCS7_new();
  if (!cms->p7 || !PKCS7_set_type(cms->p7, type)) {
    CMS_SSL_ERR(P7_F_CMS_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  bool ok = true;
  switch (type) {
    case CMS_NID_signed:
      ok = PKCS7_content_new(cms->p7, NID_pkcs7_data) == 1;
      cms->inner_type = CMS_NID_data;
      break;
    case CMS_NID_digest: {
      ASN1_OBJECT* md = OBJ_txt2obj(kOidHash, 1);
      ok = md && X509_ALGOR_set0(cms->p7->d.digest->md, md, V_ASN1_NULL, nullptr) == 1;
      if (!ok) ASN1_OBJECT_free(md);
      cms->inner_type = CMS_NID_data;
      break;
    }
    case CMS_NID_enveloped:
    case CMS_NID_encrypted:
      cms->cipher = CMS_NID_rus_gammar;
      cms->inner_type = CMS_NID_data;
      break;
  }
  if (!ok) {
    CMS_SSL_ERR(P7_F_CMS_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  return owner.release();
}

void CADB_CMS_free(CADB_CMS* cms) {
  if (!cms) return;
  wipe_content(cms->p7);
  PKCS7_free(cms->p7);
  BUFFER_free(cms->content);
  mem_clear_free(cms, sizeof *cms);
}

int CADB_CMS_set_inner_type(CADB_CMS* cms, int type) {
  if (!cms || (type != CMS_NID_data && type != CMS_NID_digest) ||
      (cms->type != CMS_NID_encrypted && cms->type != CMS_NID_enveloped)) {
    CMS_ERR(P7_F_CMS_SET, P7_R_OPERATION_NOT_SUPPORTED);
    return 0;
  }
  cms->inner_type = type;
  return 1;
}

int CADB_CMS_set_cipher(CADB_CMS* cms, int cipher) {
  if (!cms || (cms->type != CMS_NID_encrypted && cms->type != CMS_NID_enveloped)) {
    CMS_ERR(P7_F_CMS_SET, P7_R_OPERATION_NOT_SUPPORTED);
    return 0;
  }
  if (!cipher_by_nid(cipher)) {
    CMS_ERR(P7_F_CMS_SET, P7_R_UNSUPPORTED_CIPHER_TYPE);
    return 0;
  }
  cms->cipher = cipher;
  return 1;
}

int CADB_CMS_set_key(CADB_CMS* cms, const unsigned char* key, int len) {
  if (!cms || !key || len <= 0 || len > static_cast<int>(sizeof cms->key)) {
    CMS_ERR(P7_F_CMS_SET, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  mem_cleanse(cms->key, sizeof cms->key);
  std::memcpy(cms->key, key, static_cast<std::size_t>(len));
  cms->key_len = len;
  return 1;
}

int CADB_CMS_add(CADB_CMS* cms, const unsigned char* data, int len) {
  if (!cms || (!data && len > 0) || len < 0) {
    CMS_ERR(P7_F_CMS_ADD, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (!cms->content && !(cms->content = BUFFER_new())) {
    CMS_ERR(P7_F_CMS_ADD, R_MALLOC_FAILURE);
    return 0;
  }
  if (len > 0 && BUFFER_append(cms->content, data, len) != len) {
    CMS_ERR(P7_F_CMS_ADD, R_MALLOC_FAILURE);
    return 0;
  }
  cms->pending = 1;
  return 1;
}

int CADB_CMS_finish(CADB_CMS* cms) {
  if (!cms || !cms->pending) {
    CMS_ERR(P7_F_CMS_FINISH, P7_R_NO_CONTENT);
    return 0;
  }
  const unsigned char* data = cms->content->data;
  int len = cms->content->length;
  if (cms->type == CMS_NID_digest) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned md_len = 0;
    std::unique_ptr<PKCS7, Pkcs7Free> inner(PKCS7_new());
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    bool ok = inner && value && PKCS7_set_type(inner.get(), NID_pkcs7_data) == 1 &&
              ASN1_OCTET_STRING_set(inner->d.data, data, len) == 1 &&
              digest(data, len, md, &md_len) && ASN1_OCTET_STRING_set(value, md, static_cast<int>(md_len)) == 1;
    if (!ok) {
      ASN1_OCTET_STRING_free(value);
      CMS_SSL_ERR(P7_F_CMS_FINISH, P7_R_DIGEST_FAILURE);
      return 0;
    }
    PKCS7_DIGEST* d = cms->p7->d.digest;
    PKCS7_free(d->contents);
    d->contents = inner.release();
    ASN1_OCTET_STRING_free(d->digest);
    d->digest = value;
  } else if (cms->type == CMS_NID_encrypted) {
    const CipherInfo* info = cipher_by_nid(cms->cipher);
    if (!info || cms->key_len != info->key_len) {
      CMS_ERR(P7_F_CMS_FINISH, P7_R_CIPHER_NOT_INITIALIZED);
      return 0;
    }
    unsigned char iv[kIvBytes];
    BufferPtr enc;
    std::unique_ptr<ASN1_OCTET_STRING, OctetFree> ivs(ASN1_OCTET_STRING_new());
    ASN1_OBJECT* alg = nullptr;
    bool ok = RAND_bytes(iv, kIvBytes) == kIvBytes;
    if (!ok) {
      CMS_ERR(P7_F_CMS_FINISH, LIB_RAND);
      return 0;
    }
    ok = ivs && ASN1_OCTET_STRING_set(ivs.get(), iv, kIvBytes) == 1 &&
         run_cipher(*info, 1, cms->key, iv, data, len, enc) &&
         (alg = OBJ_txt2obj(info->oid, 1)) != nullptr;
    PKCS7_ENC_CONTENT* ec = cms->p7->d.encrypted->enc_data;
    ASN1_OBJECT* inner = ok ? OBJ_nid2obj(cms->inner_type) : nullptr;
    ok = ok && inner && X509_ALGOR_set0(ec->algorithm, alg, V_ASN1_OCTET_STRING, ivs.get()) == 1;
    if (ok) {
      ivs.release();
      alg = nullptr;
      ASN1_OBJECT_free(ec->content_type);
      ec->content_type = inner;
      if (!ec->enc_data) ec->enc_data = ASN1_OCTET_STRING_new();
      ok = ec->enc_data && ASN1_OCTET_STRING_set(ec->enc_data, enc->data, enc->length) == 1;
    }
    ASN1_OBJECT_free(alg);
    if (!ok) {
      CMS_SSL_ERR(P7_F_CMS_FINISH, P7_R_DECRYPT_ERROR);
      return 0;
    }
  } else {
    CMS_ERR(P7_F_CMS_FINISH, P7_R_OPERATION_NOT_SUPPORTED);
    return 0;
  }
  cms->pending = 0;
  return 1;
}

BUFFER* CADB_CMS_encode(CADB_CMS* cms, int format) {
  if (!cms || cms->pending) {
    CMS_ERR(P7_F_CMS_ENCODE, P7_R_NO_CONTENT);
    return nullptr;
  }
  if (format == CMS_FORMAT_DER) {
    unsigned char* der = nullptr;
    int n = i2d_PKCS7(cms->p7, &der);
    if (n <= 0) {
      CMS_SSL_ERR(P7_F_CMS_ENCODE, R_INTERNAL_ERROR);
      return nullptr;
    }
    BUFFER* out = BUFFER_fill(der, n);
    OPENSSL_clear_free(der, static_cast<std::size_t>(n));
    if (!out) CMS_ERR(P7_F_CMS_ENCODE, R_MALLOC_FAILURE);
    return out;
  }
  std::unique_ptr<::BIO, BioFree> mem(::BIO_new(::BIO_s_mem()));
  char* text = nullptr;
  long n = 0;
  if (!mem || PEM_write_bio_PKCS7(mem.get(), cms->p7) != 1 ||
      (n = BIO_get_mem_data(mem.get(), &text)) <= 0) {
    CMS_SSL_ERR(P7_F_CMS_ENCODE, R_INTERNAL_ERROR);
    return nullptr;
  }
  BUFFER* out = BUFFER_fill(text, static_cast<int>(n));
  if (!out) CMS_ERR(P7_F_CMS_ENCODE, R_MALLOC_FAILURE);
  return out;
}

CADB_CMS* CADB_CMS_parse(const unsigned char* data, int len) {
  if (!data || len <= 0) {
    CMS_ERR(P7_F_CMS_PARSE, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  const unsigned char* p = data;
  std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, len));
  if (!p7 || p != data + len || !p7->d.ptr) {
    CMS_SSL_ERR(P7_F_CMS_PARSE, R_INTERNAL_ERROR);
    return nullptr;
  }
  auto* cms = static_cast<CADB_CMS*>(mem_alloc(sizeof(CADB_CMS)));
  if (!cms) {
    CMS_ERR(P7_F_CMS_PARSE, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(cms, 0, sizeof *cms);
  cms->type = OBJ_obj2nid(p7->type);
  if (cms->type == NID_pkcs7_encrypted) {
    const PKCS7_ENC_CONTENT* ec = p7->d.encrypted->enc_data;
    cms->inner_type = ec ? OBJ_obj2nid(ec->content_type) : 0;
    const CipherInfo* info = ec ? cipher_by_object(ec->algorithm->algorithm) : nullptr;
    cms->cipher = info ? info->nid : 0;
  } else if (cms->type == NID_pkcs7_digest) {
    const PKCS7* inner = p7->d.digest->contents;
    cms->inner_type = inner ? OBJ_obj2nid(inner->type) : 0;
  }
  cms->p7 = p7.release();
  return cms;
}

int CADB_CMS_probe_type(const unsigned char* data, int len) {
  if (!data || len <= 0) return 0;
  ::ERR_set_mark();
  const unsigned char* p = data;
  std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, len));
  ::ERR_pop_to_mark();
  if (!p7 || p != data + len || !p7->d.ptr) return 0;
  int type = OBJ_obj2nid(p7->type);
  return type >= CMS_NID_data && type <= CMS_NID_encrypted ? type : 0;
}

int CADB_CMS_type(const CADB_CMS* cms) {
  if (!cms) return 0;
  return cms->type >= CMS_NID_data && cms->type <= CMS_NID_encrypted ? cms->type : 0;
}
int CADB_CMS_inner_type(const CADB_CMS* cms) { return cms ? cms->inner_type : 0; }
int CADB_CMS_cipher(const CADB_CMS* cms) { return cms ? cms->cipher : 0; }

int CADB_CMS_decrypt(CADB_CMS* cms) {
  if (!cms || cms->type != CMS_NID_encrypted || !cms->p7) {
    CMS_ERR(P7_F_CMS_DECRYPT, P7_R_WRONG_CONTENT_TYPE);
    return 0;
  }
  const PKCS7_ENC_CONTENT* ec = cms->p7->d.encrypted->enc_data;
  const CipherInfo* info = cipher_by_nid(cms->cipher);
  if (!info) {
    CMS_ERR(P7_F_CMS_DECRYPT, P7_R_UNSUPPORTED_CIPHER_TYPE);
    return 0;
  }
  if (cms->key_len != info->key_len) {
    CMS_ERR(P7_F_CMS_DECRYPT, P7_R_CIPHER_NOT_INITIALIZED);
    return 0;
  }
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, ec->algorithm);
  const auto* iv = static_cast<const ASN1_OCTET_STRING*>(pval);
  if (ptype != V_ASN1_OCTET_STRING || !iv || ASN1_STRING_length(iv) != kIvBytes ||
      !ec->enc_data) {
    CMS_ERR(P7_F_CMS_DECRYPT, P7_R_DECRYPT_ERROR);
    return 0;
  }
  BufferPtr plain;
  if (!run_cipher(*info, 0, cms->key, ASN1_STRING_get0_data(iv),
                  ASN1_STRING_get0_data(ec->enc_data), ASN1_STRING_length(ec->enc_data), plain)) {
    CMS_SSL_ERR(P7_F_CMS_DECRYPT, P7_R_DECRYPT_ERROR);
    return 0;
  }
  BUFFER_free(cms->content);
  cms->content = plain.release();
  return 1;
}

int CADB_CMS_verify_digest(CADB_CMS* cms) {
  if (!cms || cms->type != CMS_NID_digest || !cms->p7) {
    CMS_ERR(P7_F_CMS_VERIFY, P7_R_WRONG_CONTENT_TYPE);
    return 0;
  }
  const PKCS7_DIGEST* d = cms->p7->d.digest;
  const ASN1_OCTET_STRING* value = data_octets(d->contents);
  if (!value || !d->digest || !oid_is(d->md->algorithm, kOidHash)) {
    CMS_ERR(P7_F_CMS_VERIFY, P7_R_DIGEST_FAILURE);
    return 0;
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned md_len = 0;
  if (!digest(ASN1_STRING_get0_data(value), ASN1_STRING_length(value), md, &md_len) ||
      static_cast<int>(md_len) != ASN1_STRING_length(d->digest) ||
      CRYPTO_memcmp(md, ASN1_STRING_get0_data(d->digest), md_len) != 0) {
    CMS_ERR(P7_F_CMS_VERIFY, P7_R_DIGEST_FAILURE);
    return 0;
  }
  BufferPtr content(BUFFER_fill(nullptr, ASN1_STRING_length(value)));
  if (!content) {
    CMS_ERR(P7_F_CMS_VERIFY, R_MALLOC_FAILURE);
    return 0;
  }
  if (content->length) std::memcpy(content->data, ASN1_STRING_get0_data(value), static_cast<std::size_t>(content->length));
  BUFFER_free(cms->content);
  cms->content = content.release();
  return 1;
}

BUFFER* CADB_CMS_take_content(CADB_CMS* cms) {
  if (!cms || !cms->content) {
    CMS_ERR(P7_F_CMS_CONTENT, P7_R_NO_CONTENT);
    return nullptr;
  }
  BUFFER* out = cms->content;
  cms->content = nullptr;
  return out;
}

// ---- password text --------------------------------------------------------------------------

namespace {

// Windows-1251, bytes 0x80..0xBF (0xC0..0xFF are U+0410..U+044F; 0x98 is unassigned).
constexpr unsigned short kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

bool valid_utf8(const unsigned char* s, int n) {
  for (int i = 0; i < n;) {
    unsigned c = s[i];
    int extra;
    unsigned min;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { extra = 1; min = 0x80; c &= 0x1F; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; min = 0x800; c &= 0x0F; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; min = 0x10000; c &= 0x07; }
    else return false;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

BUFFER* CADB_password_text(const unsigned char* password, int length) {
  if (!password || length < 0) return nullptr;
  if (valid_utf8(password, length)) return BUFFER_fill(length ? password : nullptr, length);
  BufferPtr out(BUFFER_fill(nullptr, length * 3));
  if (!out) return nullptr;
  int n = 0;
  for (int i = 0; i < length; ++i) {
    unsigned c = password[i];
    if (c >= 0xC0) c = 0x0410 + (c - 0xC0);
    else if (c >= 0x80) c = kCp1251High[c - 0x80] ? kCp1251High[c - 0x80] : 0xFFFD;
    unsigned char* o = out->data + n;
    if (c < 0x80) {
      o[0] = static_cast<unsigned char>(c);
      n += 1;
    } else if (c < 0x800) {
      o[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      n += 2;
    } else {
      o[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      o[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      o[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      n += 3;
    }
  }
  mem_cleanse(out->data + n, static_cast<std::size_t>(out->length - n));
  out->length = n;
  return out.release();
}

// ---- password-protected buffer --------------------------------------------------------------

namespace {

int iterations_of(int requested) { return requested < 1 ? CMS_DEFAULT_ITERATIONS : requested; }

bool derive_key(const CipherInfo& info, const unsigned char* password, int password_len,
                int iterations, unsigned char* key) {
  OSSL_LIB_CTX* lc = GOST_libctx();
  std::unique_ptr<EVP_KDF, KdfFree> kdf(lc ? EVP_KDF_fetch(lc, "PBKDF2", nullptr) : nullptr);
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
  if (!ctx) return false;
  static const unsigned char salt[CMS_SALT_BYTES] = {};
  static unsigned char none = 0;
  int iter = iterations_of(iterations);
  OSSL_PARAM params[] = {
      OSSL_PARAM_octet_string(OSSL_KDF_PARAM_PASSWORD,
                              password_len ? const_cast<unsigned char*>(password) : &none,
                              static_cast<std::size_t>(password_len)),
      OSSL_PARAM_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt), sizeof salt),
      OSSL_PARAM_int(OSSL_KDF_PARAM_ITER, &iter),
      OSSL_PARAM_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(info.prf), 0),
      OSSL_PARAM_END};
  return EVP_KDF_derive(ctx.get(), key, static_cast<std::size_t>(info.key_len), params) == 1;
}

int text_length(const unsigned char* s, int len) {
  return len < 1 ? static_cast<int>(std::strlen(reinterpret_cast<const char*>(s))) : len;
}

// The decrypted content of a protected buffer when it is the DER digestedData of data under
// the GOST R 34.11-94 identifier, read in place: its bytes stay in the caller's buffer (wiped
// when freed), where OpenSSL's parser would copy them into objects it frees without wiping when
// it fails part-way (memory running short). Any other shape (BER, another message) is left to
// the general parser, which gives the precise reason.
bool read_digested_data(std::span<const unsigned char> der, std::span<const unsigned char>& content,
                        std::span<const unsigned char>& stored) {
  static constexpr std::uint32_t kDigested[] = {1, 2, 840, 113549, 1, 7, 5};
  static constexpr std::uint32_t kData[] = {1, 2, 840, 113549, 1, 7, 1};
  static constexpr std::uint32_t kHash[] = {1, 3, 6, 1, 4, 1, 7203, 1, 2, 1};
  der::Reader all(der), info, explicit0, digested, alg, inner, content0;
  der::Oid oid;
  unsigned version = 0;
  if (!all.sequence(info) || !all.empty() || !info.oid(oid) || !(oid == kDigested) ||
      !info.enter(der::TAG_CTX0_CONS, explicit0) || !info.empty() ||
      !explicit0.sequence(digested) || !explicit0.empty() || !digested.small_integer(version) ||
      !digested.sequence(alg) || !alg.oid(oid) || !(oid == kHash))
    return false;
  if (!alg.empty()) {
    std::span<const unsigned char> null;
    if (!alg.expect(der::TAG_NULL, null) || !null.empty() || !alg.empty()) return false;
  }
  if (!digested.sequence(inner) || !inner.oid(oid) || !(oid == kData)) return false;
  content = {};
  if (!inner.empty() && (!inner.enter(der::TAG_CTX0_CONS, content0) || !content0.octets(content) ||
                         !content0.empty() || !inner.empty()))
    return false;
  return digested.octets(stored) && digested.empty();
}

// One decryption attempt with one password text. The reason of a failure goes to *reason.
BUFFER* decrypt_with(const unsigned char* data, int length, const unsigned char* password,
                     int password_len, int iterations, int* reason) {
  *reason = R_INTERNAL_ERROR;
  CmsPtr outer(CADB_CMS_parse(data, length));
  if (!outer || CADB_CMS_type(outer.get()) != CMS_NID_encrypted) {
    *reason = CADB_R_ENCRYPTED_DATA_EXPECTED;
    return nullptr;
  }
  const CipherInfo* info = cipher_by_nid(CADB_CMS_cipher(outer.get()));
  SecureBuffer key(32);
  if (!info || key.empty() || !derive_key(*info, password, password_len, iterations, key.data()) ||
      !CADB_CMS_set_key(outer.get(), key.data(), info->key_len) || !CADB_CMS_decrypt(outer.get()))
    return nullptr;
  BufferPtr der(CADB_CMS_take_content(outer.get()));
  if (!der) return nullptr;
  std::span<const unsigned char> content, stored;
  if (der->length > 0 &&
      read_digested_data({der->data, static_cast<std::size_t>(der->length)}, content, stored)) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned md_len = 0;
    if (!digest(content.data(), static_cast<int>(content.size()), md, &md_len)) {
      CMS_ERR(P7_F_CMS_VERIFY, P7_R_DIGEST_FAILURE);
      return nullptr;
    }
    if (md_len != stored.size() || CRYPTO_memcmp(md, stored.data(), md_len) != 0) {
      CMS_ERR(P7_F_CMS_VERIFY, P7_R_DIGEST_FAILURE);
      *reason = CADB_R_INTEGRITY_CHECK_FAILED;
      return nullptr;
    }
    BUFFER* out = BUFFER_fill(content.data(), static_cast<int>(content.size()));
    if (!out) CMS_ERR(P7_F_CMS_VERIFY, R_MALLOC_FAILURE);
    return out;
  }
  // Content that is no message at all is what a wrong key gives: an integrity failure. A
  // message of another type is a well-formed container of the wrong kind.
  CmsPtr inner(der->length > 0 ? CADB_CMS_parse(der->data, der->length) : nullptr);
  if (!inner) {
    *reason = CADB_R_INTEGRITY_CHECK_FAILED;
    return nullptr;
  }
  if (CADB_CMS_type(inner.get()) != CMS_NID_digest) {
    *reason = CADB_R_DIGESTED_DATA_EXPECTED;
    return nullptr;
  }
  if (CADB_CMS_inner_type(inner.get()) != CMS_NID_data) {
    *reason = CADB_R_DATA_EXPECTED;
    return nullptr;
  }
  if (!CADB_CMS_verify_digest(inner.get())) {
    *reason = CADB_R_INTEGRITY_CHECK_FAILED;
    return nullptr;
  }
  return CADB_CMS_take_content(inner.get());
}

}  // namespace

BUFFER* BUFFER_encrypt(const unsigned char* data, int length, int cipher,
                       const unsigned char* password, int password_len, int iterations,
                       int format) {
  if (!data || !password) {
    JARNEL_ERR(LIB_CADB, CADB_F_BUFFER_ENCRYPT, R_INTERNAL_ERROR);
    JARNEL_ERR(LIB_CADB, CADB_F_BUFFER_ENCRYPT, LIB_CADB);
    return nullptr;
  }
  const CipherInfo* info = cipher_by_nid(cipher == CMS_NID_des_ede3_cbc ? cipher : CMS_NID_rus_gammar);
  length = text_length(data, length);
  password_len = text_length(password, password_len);
  SecureBuffer key(32);
  BufferPtr text(CADB_password_text(password, password_len));
  BufferPtr inner_der, out;
  int line = 0;
  do {
    line = __LINE__;
    if (!text || key.empty()) break;
    CmsPtr inner(CADB_CMS_new(CMS_NID_digest, 0));
    line = __LINE__;
    if (!inner || !CADB_CMS_add(inner.get(), data, length) || !CADB_CMS_finish(inner.get()) ||
        !(inner_der = BufferPtr(CADB_CMS_encode(inner.get(), CMS_FORMAT_DER))))
      break;
    CmsPtr outer(CADB_CMS_new(CMS_NID_encrypted, 0));
    line = __LINE__;
    if (!outer || !CADB_CMS_set_inner_type(outer.get(), CMS_NID_digest) ||
        !CADB_CMS_set_cipher(outer.get(), info->nid))
      break;
    line = __LINE__;
    if (!derive_key(*info, text->data, text->length, iterations, key.data()) ||
        !CADB_CMS_set_key(outer.get(), key.data(), info->key_len))
      break;
    line = __LINE__;
    if (!CADB_CMS_add(outer.get(), inner_der->data, inner_der->length) ||
        !CADB_CMS_finish(outer.get()) ||
        !(out = BufferPtr(CADB_CMS_encode(outer.get(), format == CMS_FORMAT_PEM ? CMS_FORMAT_PEM : CMS_FORMAT_DER))))
      break;
    line = 0;
  } while (false);
  if (line) {
    ERR_put_error(LIB_CADB, CADB_F_BUFFER_ENCRYPT, R_INTERNAL_ERROR, __FILE__, line);
    JARNEL_ERR(LIB_CADB, CADB_F_BUFFER_ENCRYPT, LIB_CADB);
    return nullptr;
  }
  return out.release();
}

BUFFER* BUFFER_decrypt(const unsigned char* data, int length, const unsigned char* password,
                       int password_len, int iterations) {
  if (!data || !password) {
    JARNEL_ERR(LIB_CADB, CADB_F_BUFFER_DECRYPT, R_INTERNAL_ERROR);
    JARNEL_ERR(LIB_CADB, CADB_F_BUFFER_DECRYPT, LIB_CADB);
    return nullptr;
  }
  length = text_length(data, length);
  password_len = text_length(password, password_len);
  int reason = R_INTERNAL_ERROR;
  BUFFER* out = decrypt_with(data, length, password, password_len, iterations, &reason);
  if (!out) {
    // The password as typed failed; a password stored from another code page may still match
    // in its canonical form.
    BufferPtr text(CADB_password_text(password, password_len));
    if (text && (text->length != password_len ||
                 (password_len && std::memcmp(text->data, password, static_cast<std::size_t>(password_len)) != 0))) {
      ERR_clear_error();
      out = decrypt_with(data, length, text->data, text->length, iterations, &reason);
    }
  }
  if (!out) {
    JARNEL_ERR(LIB_CADB, CADB_F_BUFFER_DECRYPT, reason);
    JARNEL_ERR(LIB_CADB, CADB_F_BUFFER_DECRYPT, LIB_CADB);
    return nullptr;
  }
  return out;
}

}  // namespace jarnel
