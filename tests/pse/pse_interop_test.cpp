// The container files and the password-protected buffer recomputed from their parts without
// this library's cipher or hash: GOST 28147-89 and GOST R 34.11-94 from the OpenSSL GOST
// engine's own functions (which take any S-box table, so the default cipher S-box 31 and the
// default hash S-box are covered) and from libgcrypt (the CryptoPro S-boxes 32..35); PKCS#7
// parsing, DES-EDE3-CBC, SHA-1 and PBKDF2 from OpenSSL.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <gcrypt.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "crypto/cadb/cms.h"
#include "crypto/rus/gost89.h"
#include "ctx_fixture.h"

extern "C" {
// From the engine's gost89.h and gosthash.h (engine 3.0.x). The contexts are opaque here and
// given more room than any version needs.
struct gost_subst_block {
  unsigned char k8[16], k7[16], k6[16], k5[16], k4[16], k3[16], k2[16], k1[16];
};
extern struct gost_subst_block Gost28147_CryptoProParamSetA;
void gost_init(void* ctx, const gost_subst_block* b);
void gost_destroy(void* ctx);
void gost_key(void* ctx, const unsigned char* k);
void gost_enc(void* ctx, const unsigned char* clear, unsigned char* cipher, int blocks);
void gost_dec(void* ctx, const unsigned char* cipher, unsigned char* clear, int blocks);
void gost_dec_cfb(void* ctx, const unsigned char* iv, const unsigned char* cipher,
                  unsigned char* clear, int blocks);
int gost_mac(void* ctx, int mac_len, const unsigned char* data, unsigned int data_len,
             unsigned char* mac);
int init_gost_hash_ctx(void* ctx, const gost_subst_block* b);
void done_gost_hash_ctx(void* ctx);
int start_hash(void* ctx);
int hash_block(void* ctx, const unsigned char* block, std::size_t length);
int finish_hash(void* ctx, unsigned char* hashval);
}

using namespace jarnel;
using namespace pse_test;

namespace {

struct alignas(64) EngineSpace {
  unsigned char space[64 * 1024] = {};
};

// The engine's table from a packed 64-byte S-box: byte 4*i + g holds S-box 2g+1 (low nibble)
// and S-box 2g+2 (high nibble) of input i; k1 substitutes the lowest nibble of the word.
gost_subst_block engine_table(const unsigned char* packed) {
  gost_subst_block b{};
  unsigned char* k[8] = {b.k1, b.k2, b.k3, b.k4, b.k5, b.k6, b.k7, b.k8};
  for (int i = 0; i < 16; ++i)
    for (int g = 0; g < 4; ++g) {
      k[2 * g][i] = packed[4 * i + g] & 0x0F;
      k[2 * g + 1][i] = packed[4 * i + g] >> 4;
    }
  return b;
}

// GOST 28147-89 by the engine with one key and table.
class EngineCipher {
 public:
  EngineCipher(const unsigned char* packed, const Bytes& key) : table_(engine_table(packed)) {
    gost_init(ctx_->space, &table_);
    gost_key(ctx_->space, key.data());
  }
  ~EngineCipher() { gost_destroy(ctx_->space); }
  Bytes ecb_decrypt(const unsigned char* in, int len) {
    Bytes out(static_cast<std::size_t>(len));
    gost_dec(ctx_->space, in, out.data(), len / 8);
    return out;
  }
  Bytes ecb_encrypt(const Bytes& in) {
    Bytes out(in.size());
    gost_enc(ctx_->space, in.data(), out.data(), static_cast<int>(in.size() / 8));
    return out;
  }
  Bytes mac(const Bytes& data) {
    Bytes out(4);
    gost_mac(ctx_->space, 32, data.data(), static_cast<unsigned>(data.size()), out.data());
    return out;
  }
  Bytes cfb_decrypt(const unsigned char* iv, const unsigned char* in, std::size_t len) {
    // Whole blocks only; the tail goes through one more block of keystream.
    Bytes padded(in, in + len);
    padded.resize((len + 7) / 8 * 8, 0);
    Bytes out(padded.size());
    gost_dec_cfb(ctx_->space, iv, padded.data(), out.data(), static_cast<int>(padded.size() / 8));
    out.resize(len);
    return out;
  }

 private:
  gost_subst_block table_;
  std::unique_ptr<EngineSpace> ctx_ = std::make_unique<EngineSpace>();
};

// GOST R 34.11-94 by the engine (H0 = 0) with the hash S-box given; returned most significant
// byte first, as this system returns digests (the engine gives the least significant first).
Bytes engine_hash(const unsigned char* packed, const Bytes& data) {
  gost_subst_block table = engine_table(packed);
  auto ctx = std::make_unique<EngineSpace>();
  EXPECT_EQ(init_gost_hash_ctx(ctx->space, &table), 1);
  start_hash(ctx->space);
  hash_block(ctx->space, data.data(), data.size());
  Bytes out(32);
  finish_hash(ctx->space, out.data());
  done_gost_hash_ctx(ctx->space);
  return Bytes(out.rbegin(), out.rend());
}

// HMAC over the engine's hash (block 32 bytes) and PBKDF2 over that HMAC, written out here.
Bytes hmac(const Bytes& key, const Bytes& msg) {
  const unsigned char* hs = GOSTE_default_hash_sbox();
  Bytes k = key.size() > 32 ? engine_hash(hs, key) : key;
  k.resize(32, 0);
  Bytes in(32), out(32);
  for (int i = 0; i < 32; ++i) in[i] = k[i] ^ 0x36;
  in.insert(in.end(), msg.begin(), msg.end());
  Bytes inner = engine_hash(hs, in);
  for (int i = 0; i < 32; ++i) out[i] = k[i] ^ 0x5C;
  out.insert(out.end(), inner.begin(), inner.end());
  return engine_hash(hs, out);
}
Bytes pbkdf2_gost(const Bytes& password, const Bytes& salt, int iterations) {
  Bytes s = salt;
  for (unsigned char b : {0, 0, 0, 1}) s.push_back(b);
  Bytes u = hmac(password, s), t = u;
  for (int i = 1; i < iterations; ++i) {
    u = hmac(password, u);
    for (int j = 0; j < 32; ++j) t[j] ^= u[j];
  }
  return t;
}

void gc_init() {
  static bool done = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)done;
}
const char* gc_sbox_oid(int number) {
  switch (number) {
    case 32: return "1.2.643.2.2.31.1";
    case 33: return "1.2.643.2.2.31.2";
    case 34: return "1.2.643.2.2.31.3";
    case 35: return "1.2.643.2.2.31.4";
    default: return nullptr;
  }
}
Bytes gc_ecb_decrypt(const char* oid, const Bytes& key, const unsigned char* in, std::size_t len) {
  gc_init();
  gcry_cipher_hd_t c;
  Bytes out(len);
  EXPECT_EQ(gcry_cipher_open(&c, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, 0), 0U);
  EXPECT_EQ(gcry_cipher_setkey(c, key.data(), key.size()), 0U);
  EXPECT_EQ(gcry_cipher_ctl(c, GCRYCTL_SET_SBOX, const_cast<char*>(oid), 0), 0U);
  EXPECT_EQ(gcry_cipher_decrypt(c, out.data(), len, in, len), 0U);
  gcry_cipher_close(c);
  return out;
}
Bytes gc_mac(const char* oid, const Bytes& key, const Bytes& data) {
  gc_init();
  gcry_mac_hd_t m;
  EXPECT_EQ(gcry_mac_open(&m, GCRY_MAC_GOST28147_IMIT, 0, nullptr), 0U);
  EXPECT_EQ(gcry_mac_ctl(m, GCRYCTL_SET_SBOX, const_cast<char*>(oid), 0), 0U);
  EXPECT_EQ(gcry_mac_setkey(m, key.data(), key.size()), 0U);
  EXPECT_EQ(gcry_mac_write(m, data.data(), data.size()), 0U);
  Bytes out(4);
  std::size_t n = 4;
  EXPECT_EQ(gcry_mac_read(m, out.data(), &n), 0U);
  gcry_mac_close(m);
  return out;
}

Bytes slice(const Bytes& b, std::size_t off, std::size_t n) {
  return Bytes(b.begin() + static_cast<long>(off), b.begin() + static_cast<long>(off + n));
}

struct P7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using P7Ptr = std::unique_ptr<PKCS7, P7Free>;

std::string oid_text(const ASN1_OBJECT* o) {
  char t[80];
  OBJ_obj2txt(t, sizeof t, o, 1);
  return t;
}

class Interop : public ContainerTest {};

}  // namespace

TEST_F(Interop, EngineTablesAgreeWithLibgcrypt) {
  // The oracle itself: the engine with the table converted from S-box 32 is the engine's own
  // CryptoPro-A table, and its ECB and MAC equal libgcrypt's.
  gost_subst_block a = engine_table(GOSTE_sbox_by_number(32));
  EXPECT_EQ(0, std::memcmp(&a, &Gost28147_CryptoProParamSetA, sizeof a));
  Bytes key(32), data(32);
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 11 + 3), data[i] = static_cast<unsigned char>(i);
  for (int s : {32, 35}) {
    EngineCipher e(GOSTE_sbox_by_number(s), key);
    Bytes enc = e.ecb_encrypt(data);
    EXPECT_EQ(gc_ecb_decrypt(gc_sbox_oid(s), key, enc.data(), enc.size()), data) << s;
    EXPECT_EQ(e.mac(data), gc_mac(gc_sbox_oid(s), key, data)) << s;
  }
}

TEST_F(Interop, ContainerFilesRecomputedFromTheirParts) {
  for (int sbox : {31, 32, 33, 34, 35}) {
    for (int shares : {8, 1}) {
      SCOPED_TRACE(testing::Message() << "sbox " << sbox << " shares " << shares);
      CtxPtr ctx = create(dir_, shares, sbox);
      Bytes mk = read_file(file("mk.db3")), mask = read_file(file("masks.db3"));
      Bytes kek_file = read_file(file("kek.opq")), rand_file = read_file(file("rand.opq"));
      ASSERT_EQ(mk.size(), static_cast<std::size_t>(6 + 32 * (shares - 1)));
      ASSERT_EQ(mask.size(), 32U);
      ASSERT_EQ(kek_file.size(), 36U);
      ASSERT_EQ(rand_file.size(), 36U);
      EXPECT_EQ(mk[0], 0x22);
      EXPECT_EQ(mk[1], shares);
      Bytes blob = mk;
      blob.insert(blob.end(), mask.begin(), mask.end());
      Bytes master(32, 0);
      for (std::size_t off = 6; off < blob.size(); off += 32)
        for (int i = 0; i < 32; ++i) master[i] ^= blob[off + i];

      const unsigned char* table = GOSTE_sbox_by_number(sbox);
      EngineCipher under_master(table, master);
      // Check value: the MAC of 32 zero bytes under the master key.
      EXPECT_EQ(under_master.mac(Bytes(32, 0)), slice(mk, 2, 4));
      // KEK file: ECB of the KEK, then the MAC of the clear KEK, both under the master key.
      Bytes kek = under_master.ecb_decrypt(kek_file.data(), 32);
      EXPECT_EQ(under_master.mac(kek), slice(kek_file, 32, 4));
      // Random state: the same form under the KEK.
      EngineCipher under_kek(table, kek);
      Bytes seed = under_kek.ecb_decrypt(rand_file.data(), 32);
      EXPECT_EQ(under_kek.mac(seed), slice(rand_file, 32, 4));
      // Fingerprint: GOST R 34.11-94 over master key twice, the container S-box as parameters.
      Bytes twice = master;
      twice.insert(twice.end(), master.begin(), master.end());
      EXPECT_EQ(engine_hash(table, twice), Bytes(PSE_CTX_get_pse(ctx.get())->fingerprint,
                                                 PSE_CTX_get_pse(ctx.get())->fingerprint + 32));
      if (const char* oid = gc_sbox_oid(sbox)) {
        // A second implementation for the CryptoPro S-boxes.
        EXPECT_EQ(gc_mac(oid, master, Bytes(32, 0)), slice(mk, 2, 4));
        EXPECT_EQ(gc_ecb_decrypt(oid, master, kek_file.data(), 32), kek);
        EXPECT_EQ(gc_mac(oid, kek, seed), slice(rand_file, 32, 4));
      }
      EXPECT_EQ(PSE_CTX_erase(ctx.get()), 1);
    }
  }
}

TEST_F(Interop, ProtectedBufferRecomputedFromItsParts) {
  const char password[] = "pass word";
  const Bytes pw(password, password + sizeof password - 1);
  Bytes data(77);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 5 + 2);
  for (int cipher : {174, 44}) {
    SCOPED_TRACE(cipher);
    const int iter = 3;
    BufferPtr sealed(BUFFER_encrypt(data.data(), static_cast<int>(data.size()), cipher,
                                    pw.data(), static_cast<int>(pw.size()), iter, CMS_FORMAT_DER));
    ASSERT_TRUE(sealed);
    const unsigned char* p = sealed->data;
    P7Ptr outer(d2i_PKCS7(nullptr, &p, sealed->length));
    ASSERT_TRUE(outer);
    ASSERT_EQ(OBJ_obj2nid(outer->type), NID_pkcs7_encrypted);
    PKCS7_ENC_CONTENT* ec = outer->d.encrypted->enc_data;
    EXPECT_EQ(ASN1_INTEGER_get(outer->d.encrypted->version), 0);
    EXPECT_EQ(OBJ_obj2nid(ec->content_type), NID_pkcs7_digest);
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, ec->algorithm);
    ASSERT_EQ(ptype, V_ASN1_OCTET_STRING);
    const auto* ivs = static_cast<const ASN1_OCTET_STRING*>(pval);
    ASSERT_EQ(ASN1_STRING_length(ivs), 8);
    const unsigned char* iv = ASN1_STRING_get0_data(ivs);
    const unsigned char* ct = ASN1_STRING_get0_data(ec->enc_data);
    std::size_t ct_len = static_cast<std::size_t>(ASN1_STRING_length(ec->enc_data));
    Bytes salt(8, 0), inner_der;
    if (cipher == 174) {
      EXPECT_EQ(oid_text(ec->algorithm->algorithm), "1.3.6.1.4.1.7203.1.1.3");
      Bytes key = pbkdf2_gost(pw, salt, iter);
      EngineCipher gost(GOSTE_sbox_by_number(31), key);
      inner_der = gost.cfb_decrypt(iv, ct, ct_len);
    } else {
      EXPECT_EQ(OBJ_obj2nid(ec->algorithm->algorithm), NID_des_ede3_cbc);
      unsigned char key[24];
      ASSERT_EQ(PKCS5_PBKDF2_HMAC(password, static_cast<int>(pw.size()), salt.data(), 8, iter,
                                  EVP_sha1(), sizeof key, key), 1);
      EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
      inner_der.resize(ct_len + 16);
      int n1 = 0, n2 = 0;
      ASSERT_EQ(EVP_DecryptInit_ex(c, EVP_des_ede3_cbc(), nullptr, key, iv), 1);
      ASSERT_EQ(EVP_DecryptUpdate(c, inner_der.data(), &n1, ct, static_cast<int>(ct_len)), 1);
      ASSERT_EQ(EVP_DecryptFinal_ex(c, inner_der.data() + n1, &n2), 1);
      EVP_CIPHER_CTX_free(c);
      inner_der.resize(static_cast<std::size_t>(n1 + n2));
    }
    p = inner_der.data();
    P7Ptr inner(d2i_PKCS7(nullptr, &p, static_cast<long>(inner_der.size())));
    ASSERT_TRUE(inner);
    ASSERT_EQ(OBJ_obj2nid(inner->type), NID_pkcs7_digest);
    PKCS7_DIGEST* d = inner->d.digest;
    EXPECT_EQ(oid_text(d->md->algorithm), "1.3.6.1.4.1.7203.1.2.1");
    ASSERT_TRUE(d->contents);
    ASSERT_EQ(OBJ_obj2nid(d->contents->type), NID_pkcs7_data);
    const ASN1_OCTET_STRING* value = d->contents->d.data;
    Bytes got(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
    EXPECT_EQ(got, data);
    Bytes digest(ASN1_STRING_get0_data(d->digest), ASN1_STRING_get0_data(d->digest) + ASN1_STRING_length(d->digest));
    EXPECT_EQ(digest, engine_hash(GOSTE_default_hash_sbox(), data));
  }
}

TEST_F(Interop, PasswordProtectedMaskFileRecomputed) {
  create(dir_, 8, 31, "mask password");
  CtxPtr plain = context(dir_);
  ASSERT_EQ(PSE_CTX_set_password(plain.get(), "mask password", 0), 1);
  ASSERT_EQ(PSE_CTX_read(plain.get()), 1);
  int len = 32;
  Bytes share(32);
  ASSERT_EQ(PSE_CTX_set_password(plain.get(), nullptr, 0), 1);
  ASSERT_EQ(PSE_CTX_get_mask(plain.get(), share.data(), &len), 1);
  // The mask file decrypts, by the engine, to the share the open recovered.
  Bytes file_bytes = read_file(file("masks.db3"));
  const unsigned char* p = file_bytes.data();
  P7Ptr outer(d2i_PKCS7(nullptr, &p, static_cast<long>(file_bytes.size())));
  ASSERT_TRUE(outer);
  PKCS7_ENC_CONTENT* ec = outer->d.encrypted->enc_data;
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, ec->algorithm);
  const auto* ivs = static_cast<const ASN1_OCTET_STRING*>(pval);
  const std::string pwtext = "mask password";
  Bytes key = pbkdf2_gost(Bytes(pwtext.begin(), pwtext.end()), Bytes(8, 0), 2048);
  EngineCipher gost(GOSTE_sbox_by_number(31), key);
  Bytes inner_der = gost.cfb_decrypt(ASN1_STRING_get0_data(ivs), ASN1_STRING_get0_data(ec->enc_data),
                                     static_cast<std::size_t>(ASN1_STRING_length(ec->enc_data)));
  p = inner_der.data();
  P7Ptr inner(d2i_PKCS7(nullptr, &p, static_cast<long>(inner_der.size())));
  ASSERT_TRUE(inner);
  const ASN1_OCTET_STRING* value = inner->d.digest->contents->d.data;
  EXPECT_EQ(Bytes(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + 32), share);
}
