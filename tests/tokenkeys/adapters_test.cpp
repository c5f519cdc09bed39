// Keys and certificates of containers on the GOST test module through the key and certificate
// contexts: the key record of a token key signs, derives, unwraps and hashes on the token, and
// each result is checked in software (this library's verifier, VKO and key transport, and the
// published digest).
#include <cstring>
#include <fstream>

#include "crypto/cadb/cert.h"
#include "crypto/cadb/pkey.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/mem.h"
#include "crypto/pkcs11/token_keys.h"
#include "crypto/pse/pse.h"
#include "gost_module.h"

using namespace jarnel;
using namespace gosttest;

namespace {

constexpr char kContainer[] = "pkcs11:\\pkcs11gost\\box";
// Where the context puts the key of that container: its key file path, whose part below the
// module is the key's name (CKA_ID).
constexpr char kKeyName[] = "box\\keys\\00000001.key";

int g_pin_calls = 0;
int pin_cb(char* buf, int size, int, void*) {
  ++g_pin_calls;
  if (size < 4) return -1;
  std::memcpy(buf, "1234", 4);
  return 4;
}

struct PseFree {
  void operator()(PSE* p) const { PSE_free(p); }
};
using PsePtr = std::unique_ptr<PSE, PseFree>;

std::vector<unsigned long> drain() {
  std::vector<unsigned long> out;
  while (unsigned long e = ERR_get_error()) out.push_back(e);
  return out;
}
bool has(const std::vector<unsigned long>& q, int lib, int func, int reason) {
  for (unsigned long e : q)
    if (ERR_get_lib(e) == lib && ERR_get_func(e) == func && ERR_get_reason(e) == reason)
      return true;
  return false;
}

Bytes fingerprint(const PKEY* k) { return Bytes(k->fingerprint->data, k->fingerprint->data + 32); }

// The public half as a software key object, through its SubjectPublicKeyInfo.
Owned<PKEY_KEY> public_copy(const PKEY_KEY* k) {
  const int n = i2d_PKEY_KEY_PUBKEY(k, nullptr);
  Bytes der(n > 0 ? static_cast<std::size_t>(n) : 0);
  unsigned char* p = der.data();
  if (n <= 0 || i2d_PKEY_KEY_PUBKEY(k, &p) != n) return nullptr;
  const unsigned char* q = der.data();
  return Owned<PKEY_KEY>(d2i_PKEY_KEY_PUBKEY(&q, n));
}

Owned<ECGOST> software_key(int nid) {
  Owned<ECURVE> c(ECURVE_by_number(ECURVE_number_by_paramset(nid)));
  Owned<ECGOST> k(ECGOST_new(c.get()));
  ECGOST_set_paramsets(k.get(), nid, NID_CP_R3411_94_PARAMSET, NID_CP_28147_A);
  if (!ECGOST_key_pair_generation(k.get())) return nullptr;
  return k;
}

class TokenContexts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module().load()) << dlerror();
    setenv("JARNEL_LIBRARY_PATH", SIM_DIR, 1);
    unsetenv("PKCS11GOST_PIN");
    module().control("reset");
    PKCS11_set_default_passwd_cb(pin_cb);
    g_pin_calls = 0;
    ERR_clear_error();
    pse_.reset(PSE_new());
    ASSERT_TRUE(pse_ && PSE_set_path(pse_.get(), kContainer));
  }
  void TearDown() override {
    PKCS11_shutdown();
    PKCS11_startup();
    module().f->C_Finalize(nullptr);
    module().control("reset");
  }

  Owned<PKEY_CTX> context() {
    Owned<PKEY_CTX> ctx(PKEY_CTX_new());
    if (ctx && !PKEY_CTX_set_pse(ctx.get(), pse_.get())) ctx.reset();
    return ctx;
  }

  // A session of the module's own, logged in, for looking behind the library.
  CK_SESSION_HANDLE raw_session() {
    module().f->C_Initialize(nullptr);
    CK_SESSION_HANDLE s = 0;
    module().f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    module().f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("1234")), 4);
    return s;
  }
  std::vector<std::string> ids_of_class(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
    CK_ATTRIBUTE t{CKA_CLASS, &cls, sizeof cls};
    std::vector<std::string> out;
    module().f->C_FindObjectsInit(s, &t, 1);
    CK_OBJECT_HANDLE h;
    CK_ULONG n = 0;
    while (module().f->C_FindObjects(s, &h, 1, &n) == CKR_OK && n == 1) {
      char buf[256];
      CK_ATTRIBUTE a{CKA_ID, buf, sizeof buf};
      out.push_back(module().f->C_GetAttributeValue(s, h, &a, 1) == CKR_OK
                        ? std::string(buf, a.ulValueLen)
                        : "<none>");
    }
    module().f->C_FindObjectsFinal(s);
    return out;
  }

  PsePtr pse_;
  TokenDir dir_;
};

TEST_F(TokenContexts, GeneratedKeyIsCommittedReadAgainAndSignsOnTheToken) {
  Owned<PKEY_CTX> gen = context();
  ASSERT_TRUE(gen);
  EXPECT_STREQ(gen->method->name, "PKEY_CTX pkcs11 method");
  ASSERT_TRUE(PKEY_CTX_generate(gen.get(), PKEY_TYPE_ECGOST_CP, NID_CP_2001_XCHA)) << ERR_peek_error();
  PKEY* made = PKEY_CTX_get_key(gen.get());
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->type, PKEY_TYPE_ECGOST_CP);
  EXPECT_EQ(made->flags & PKEY_FLAG_SIGN_ONLY, 0);
  EXPECT_STREQ(made->key->token_method->name, "EVP_PKEY_METHOD pkcs11 sign, kek and cek");
  int set = 0;
  ECGOST_get_paramsets(made->key->ec, &set, nullptr, nullptr);
  EXPECT_EQ(set, NID_CP_2001_XCHA);
  // Written: the pair carries the key's name; the format and kind of a key file do not matter.
  ASSERT_TRUE(PKEY_CTX_write(gen.get(), PKEY_FORMAT_PEM, PKEY_KIND_TRADITIONAL)) << ERR_peek_error();
  CK_SESSION_HANDLE raw = raw_session();
  EXPECT_EQ(ids_of_class(raw, CKO_PRIVATE_KEY), std::vector<std::string>{kKeyName});
  EXPECT_EQ(ids_of_class(raw, CKO_PUBLIC_KEY), std::vector<std::string>{kKeyName});

  // A second context reads the same key; both sign on the token, software verifies.
  Owned<PKEY_CTX> rd = context();
  ASSERT_TRUE(PKEY_CTX_read(rd.get())) << ERR_peek_error();
  PKEY* got = PKEY_CTX_get_key(rd.get());
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(fingerprint(got), fingerprint(made));
  EXPECT_EQ(got->size, made->size);
  Owned<PKEY_KEY> verifier = public_copy(got->key);
  ASSERT_TRUE(verifier);
  EXPECT_EQ(verifier->token_method, nullptr);
  for (PKEY* k : {made, got}) {
    unsigned char dg[32], sig[64];
    for (int i = 0; i < 32; ++i) dg[i] = static_cast<unsigned char>(i * 7 + 1);
    unsigned len = sizeof sig;
    ASSERT_TRUE(PKEY_KEY_sign(k->key, ECGOST_SIG_CP, dg, 32, sig, &len)) << ERR_peek_error();
    ASSERT_EQ(len, 64u);
    EXPECT_TRUE(PKEY_KEY_verify(verifier.get(), ECGOST_SIG_CP, dg, 32, sig, 64));
    dg[0] ^= 1;
    EXPECT_FALSE(PKEY_KEY_verify(verifier.get(), ECGOST_SIG_CP, dg, 32, sig, 64));
    // Only the CryptoPro form is made on the token.
    len = sizeof sig;
    EXPECT_FALSE(PKEY_KEY_sign(k->key, ECGOST_SIG_RAW, dg, 32, sig, &len));
    EXPECT_TRUE(has(drain(), LIB_PKCS11, PKCS11_F_TOKEN_SIGN, R_INTERNAL_ERROR));
  }
  // Nothing of a token key is bound to or loaded from the container.
  EXPECT_TRUE(PKEY_KEY_bind(got->key, pse_.get()));
  EXPECT_TRUE(PKEY_KEY_load(got->key, pse_.get()));
}

TEST_F(TokenContexts, KeyAgreementUnwrapAndDigestRunOnTheToken) {
  Owned<PKEY_CTX> ctx = context();
  ASSERT_TRUE(PKEY_CTX_generate(ctx.get(), PKEY_TYPE_ECGOST_CP, 0));
  ASSERT_TRUE(PKEY_CTX_write(ctx.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8));
  PKEY_KEY* k = PKEY_CTX_get_key(ctx.get())->key;
  Owned<ECGOST> peer = software_key(NID_CP_2001_A);
  ASSERT_TRUE(peer);
  const unsigned char ukm[8] = {1, 2, 3, 4, 5, 6, 7, 8};

  // VKO: the token's answer equals the peer's in software.
  unsigned char kek[32], expect[32];
  std::size_t len = 0;
  EXPECT_TRUE(PKEY_KEY_derive(k, ECGOST_get_public(peer.get()), ukm, nullptr, &len));
  EXPECT_EQ(len, 32u);
  len = 31;
  EXPECT_FALSE(PKEY_KEY_derive(k, ECGOST_get_public(peer.get()), ukm, kek, &len));
  EXPECT_EQ(len, 32u);
  EXPECT_TRUE(has(drain(), LIB_PKCS11, PKCS11_F_TOKEN_DERIVE, PKCS11_R_BUFFER_TOO_SMALL));
  len = sizeof kek;
  ASSERT_TRUE(PKEY_KEY_derive(k, ECGOST_get_public(peer.get()), ukm, kek, &len)) << ERR_peek_error();
  ASSERT_TRUE(ECGOST_vko_kek(peer.get(), ECGOST_get_public(k->ec), ukm, expect));
  EXPECT_EQ(Bytes(kek, kek + 32), Bytes(expect, expect + 32));

  // A content key wrapped here in software for the token key unwraps there.
  unsigned char cek[32], wrapped[512], out[32];
  for (int i = 0; i < 32; ++i) cek[i] = static_cast<unsigned char>(0xA0 + i);
  int wlen = sizeof wrapped;
  ASSERT_TRUE(ECGOST_key_wrap(k->ec, cek, wrapped, &wlen));
  len = sizeof out;
  ASSERT_TRUE(PKEY_KEY_unwrap(k, wrapped, static_cast<std::size_t>(wlen), out, &len)) << ERR_peek_error();
  EXPECT_EQ(Bytes(out, out + 32), Bytes(cek, cek + 32));
  wrapped[wlen - 1] ^= 1;  // a broken transport structure is refused
  len = sizeof out;
  EXPECT_FALSE(PKEY_KEY_unwrap(k, wrapped, static_cast<std::size_t>(wlen), out, &len));
  drain();

  // GOST R 34.11-94 of "abc" (CryptoPro parameters), in the library's digest order.
  const unsigned char abc[] = {'a', 'b', 'c'};
  unsigned char md[32];
  len = sizeof md;
  ASSERT_TRUE(PKEY_KEY_digest(k, abc, 3, md, &len)) << ERR_peek_error();
  Bytes kat = from_hex("b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c");
  EXPECT_EQ(Bytes(md, md + 32), reversed(kat.data(), 32));

  // The same operations on a key held in software: derive and unwrap there, no token digest.
  Owned<PKEY_KEY> soft(PKEY_KEY_from_ecgost(peer.get(), PKEY_TYPE_ECGOST_CP));
  ASSERT_TRUE(soft);
  peer.release();
  len = sizeof kek;
  ASSERT_TRUE(PKEY_KEY_derive(soft.get(), ECGOST_get_public(k->ec), ukm, kek, &len));
  EXPECT_EQ(Bytes(kek, kek + 32), Bytes(expect, expect + 32));
  len = 16;
  EXPECT_FALSE(PKEY_KEY_derive(soft.get(), ECGOST_get_public(k->ec), ukm, kek, &len));
  EXPECT_EQ(len, 32u);
  EXPECT_TRUE(has(drain(), LIB_CADB, CADB_F_PKEY_SPLIT, PKEY_R_BUFFER_TOO_SMALL));
  wlen = sizeof wrapped;
  ASSERT_TRUE(ECGOST_key_wrap(soft->ec, cek, wrapped, &wlen));
  len = sizeof out;
  ASSERT_TRUE(PKEY_KEY_unwrap(soft.get(), wrapped, static_cast<std::size_t>(wlen), out, &len));
  EXPECT_EQ(Bytes(out, out + 32), Bytes(cek, cek + 32));
  wrapped[wlen - 1] ^= 1;
  len = sizeof out;
  EXPECT_FALSE(PKEY_KEY_unwrap(soft.get(), wrapped, static_cast<std::size_t>(wlen), out, &len));
  EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0));  // nothing of a failed unwrap is left
  len = sizeof md;
  EXPECT_FALSE(PKEY_KEY_digest(soft.get(), abc, 3, md, &len));
  drain();
}

TEST_F(TokenContexts, SignOnlyTokenRefusesKeyAgreementAndReadsWithAFreshLogin) {
  ASSERT_EQ(module().control("mechanisms=gen,sign,digest"), 1);
  Owned<PKEY_CTX> ctx = context();
  ASSERT_TRUE(PKEY_CTX_generate(ctx.get(), PKEY_TYPE_ECGOST_CP, 0));
  ASSERT_TRUE(PKEY_CTX_write(ctx.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8));
  PKEY* rec = PKEY_CTX_get_key(ctx.get());
  EXPECT_EQ(rec->flags & PKEY_FLAG_SIGN_ONLY, PKEY_FLAG_SIGN_ONLY);
  EXPECT_STREQ(rec->key->token_method->name, "EVP_PKEY_METHOD only pkcs11 sign");
  Owned<ECGOST> peer = software_key(NID_CP_2001_A);
  const unsigned char ukm[8] = {9};
  unsigned char out[32], wrapped[512];
  std::size_t len = sizeof out;
  EXPECT_FALSE(PKEY_KEY_derive(rec->key, ECGOST_get_public(peer.get()), ukm, out, &len));
  int wlen = sizeof wrapped;
  ASSERT_TRUE(ECGOST_key_wrap(rec->key->ec, out, wrapped, &wlen));
  len = sizeof out;
  EXPECT_FALSE(PKEY_KEY_unwrap(rec->key, wrapped, static_cast<std::size_t>(wlen), out, &len));
  EXPECT_TRUE(has(drain(), LIB_CADB, CADB_F_PKEY_SPLIT, R_INTERNAL_ERROR));
  unsigned char dg[32] = {1}, sig[64];
  unsigned slen = sizeof sig;
  EXPECT_TRUE(PKEY_KEY_sign(rec->key, ECGOST_SIG_CP, dg, 32, sig, &slen));

  // Reading again over a sign-only record asks the PIN again, where another read does not.
  const int before = g_pin_calls;
  ASSERT_TRUE(PKEY_CTX_read(ctx.get())) << ERR_peek_error();
  EXPECT_EQ(g_pin_calls, before + 1);
  Owned<PKEY_CTX> other = context();
  module().control("mechanisms=gen,sign,derive,wrap,digest");
  ASSERT_TRUE(PKEY_CTX_read(other.get()));
  EXPECT_EQ(g_pin_calls, before + 1);
  EXPECT_EQ(PKEY_CTX_get_key(other.get())->flags & PKEY_FLAG_SIGN_ONLY, 0);
}

TEST_F(TokenContexts, UncommittedReplacedAndImportedKeys) {
  // Generated but never written: no key of the name, and the next generation clears it.
  Owned<PKEY_CTX> loose = context();
  ASSERT_TRUE(PKEY_CTX_generate(loose.get(), PKEY_TYPE_ECGOST_CP, 0));
  Owned<PKEY_CTX> rd = context();
  EXPECT_FALSE(PKEY_CTX_read(rd.get()));
  EXPECT_EQ(PKEY_CTX_get_key(rd.get()), nullptr);
  EXPECT_TRUE(has(drain(), LIB_CADB, CADB_F_PKEY_CTX_READ, LIB_CADB));
  CK_SESSION_HANDLE raw = raw_session();
  EXPECT_EQ(ids_of_class(raw, CKO_PRIVATE_KEY), std::vector<std::string>{""});

  // Two committed generations under one name: the second replaces the first.
  Owned<PKEY_CTX> first = context(), second = context();
  ASSERT_TRUE(PKEY_CTX_generate(first.get(), PKEY_TYPE_ECGOST_CP, 0));
  ASSERT_TRUE(PKEY_CTX_write(first.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8));
  ASSERT_TRUE(PKEY_CTX_generate(second.get(), PKEY_TYPE_ECGOST_CP, NID_CP_2001_B));
  ASSERT_TRUE(PKEY_CTX_write(second.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8));
  EXPECT_EQ(ids_of_class(raw, CKO_PRIVATE_KEY), std::vector<std::string>{kKeyName});
  ASSERT_TRUE(PKEY_CTX_read(rd.get()));
  EXPECT_EQ(fingerprint(PKEY_CTX_get_key(rd.get())), fingerprint(PKEY_CTX_get_key(second.get())));
  EXPECT_NE(fingerprint(PKEY_CTX_get_key(rd.get())), fingerprint(PKEY_CTX_get_key(first.get())));

  // A key made in software is stored as a pair under another name (the context's path) and
  // signs on the token for its own public key.
  Owned<PKEY> soft(PKEY_generate(PKEY_TYPE_ECGOST_CP, NID_CP_2001_C, nullptr, nullptr, nullptr));
  ASSERT_TRUE(soft);
  Owned<PKEY_CTX> imp = context();
  ASSERT_TRUE(PKEY_CTX_set_path(imp.get(), "pkcs11:\\pkcs11gost\\imported"));
  ASSERT_TRUE(PKEY_CTX_set_key(imp.get(), soft.get()));
  ASSERT_TRUE(PKEY_CTX_write(imp.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8)) << ERR_peek_error();
  Owned<PKEY_CTX> back = context();
  ASSERT_TRUE(PKEY_CTX_set_path(back.get(), "pkcs11:\\pkcs11gost\\imported"));
  ASSERT_TRUE(PKEY_CTX_read(back.get())) << ERR_peek_error();
  PKEY* on_token = PKEY_CTX_get_key(back.get());
  EXPECT_EQ(fingerprint(on_token), fingerprint(soft.get()));
  ASSERT_NE(on_token->key->token_method, nullptr);
  unsigned char dg[32] = {0x42}, sig[64];
  unsigned len = sizeof sig;
  ASSERT_TRUE(PKEY_KEY_sign(on_token->key, ECGOST_SIG_CP, dg, 32, sig, &len));
  EXPECT_TRUE(PKEY_KEY_verify(soft->key, ECGOST_SIG_CP, dg, 32, sig, 64));

  // Other key types do not go on a token.
  Owned<PKEY_CTX> bad = context();
  EXPECT_FALSE(PKEY_CTX_generate(bad.get(), PKEY_TYPE_R3410_CP, 0));
  EXPECT_TRUE(has(drain(), LIB_PKCS11, PKCS11_F_GENERATE_KEY, R_INTERNAL_ERROR));
  EXPECT_EQ(PKEY_CTX_get_key(bad.get()), nullptr);
  Owned<PKEY> r94(PKEY_generate(PKEY_TYPE_R3410_CP, 0, nullptr, nullptr, nullptr));
  ASSERT_TRUE(r94 && PKEY_CTX_set_key(bad.get(), r94.get()));
  EXPECT_FALSE(PKEY_CTX_write(bad.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8));
  EXPECT_TRUE(has(drain(), LIB_CADB, CADB_F_PKEY_CTX_WRITE, CADB_R_UNKNOWN_ALGORITHM));
}

TEST_F(TokenContexts, CertificateObjectsKeepTheirKind) {
  // A certificate for the token key, issued by a CA of the OpenSSL GOST engine when it is there
  // (else a self-signed EC certificate: the token method does not look inside).
  Owned<PKEY_CTX> ctx = context();
  ASSERT_TRUE(PKEY_CTX_generate(ctx.get(), PKEY_TYPE_ECGOST_CP, 0));
  ASSERT_TRUE(PKEY_CTX_write(ctx.get(), PKEY_FORMAT_DER, PKEY_KIND_PKCS8));
  const PKEY* key = PKEY_CTX_get_key(ctx.get());
  const fs::path d = dir_.path();
  const std::string dir = d.string();
  Owned<PKEY_KEY> pub = public_copy(key->key);
  const int n = i2d_PKEY_KEY_PUBKEY(pub.get(), nullptr);
  Bytes spki(static_cast<std::size_t>(n));
  unsigned char* p = spki.data();
  i2d_PKEY_KEY_PUBKEY(pub.get(), &p);
  std::ofstream(d / "pub.der", std::ios::binary).write(reinterpret_cast<const char*>(spki.data()), n);
  bool engine = run("openssl engine gost").find("(gost)") != std::string::npos;
  std::string log;
  if (engine) {
    log = run("cd " + dir + " && openssl req -engine gost -x509 -newkey gost2001 -pkeyopt paramset:A "
              "-nodes -keyout ca.key -out ca.pem -subj /CN=ca -days 2 -md_gost94 && "
              "openssl pkey -engine gost -pubin -inform DER -in pub.der -out pub.pem && "
              "openssl x509 -engine gost -new -force_pubkey pub.pem -subj /CN=holder -CA ca.pem "
              "-CAkey ca.key -days 2 -md_gost94 -outform DER -out cert.der");
  } else {
    log = run("cd " + dir + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
              "-nodes -subj /CN=holder -days 1 -keyout k.pem -outform DER -out cert.der");
  }
  std::ifstream f(d / "cert.der", std::ios::binary);
  Bytes der((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(der.empty()) << log;

  const std::string path = std::string(kContainer) + "\\keys\\00000001.cer";
  Owned<CERT_CTX> w(CERT_CTX_new());
  ASSERT_TRUE(CERT_CTX_set_data(w.get(), der.data(), static_cast<int>(der.size())));
  ASSERT_TRUE(CERT_CTX_read(w.get()));
  ASSERT_TRUE(CERT_CTX_set_path(w.get(), path.c_str()));
  EXPECT_STREQ(w->method->name, "certificate pkcs11 method");
  ASSERT_TRUE(CERT_CTX_set_kind(w.get(), 2));
  ASSERT_TRUE(CERT_CTX_write(w.get(), CERT_FORMAT_PEM)) << ERR_peek_error();  // stored as DER

  Owned<CERT_CTX> r(CERT_CTX_new());
  ASSERT_TRUE(CERT_CTX_set_path(r.get(), path.c_str()));
  ASSERT_TRUE(CERT_CTX_read(r.get())) << ERR_peek_error();
  EXPECT_EQ(r->kind, 2);
  const CERT* c = CERT_CTX_get_cert(r.get());
  BufPtr back(CERT_get(c, CERT_FORMAT_DER));
  ASSERT_TRUE(back);
  EXPECT_EQ(Bytes(back->data, back->data + back->length), der);
  EXPECT_NE(std::string(reinterpret_cast<const char*>(c->subject_text->data),
                        static_cast<std::size_t>(c->subject_text->length)).find("holder"),
            std::string::npos);
  if (engine) {
    EXPECT_EQ(Bytes(c->fingerprint->data, c->fingerprint->data + 32), fingerprint(key));
  }
  // Written again with the other kind: one object, the new kind.
  ASSERT_TRUE(CERT_CTX_set_kind(w.get(), 1));
  ASSERT_TRUE(CERT_CTX_write(w.get(), CERT_FORMAT_DER));
  ASSERT_TRUE(CERT_CTX_read(r.get()));
  EXPECT_EQ(r->kind, 1);
  CK_SESSION_HANDLE raw = raw_session();
  EXPECT_EQ(ids_of_class(raw, CKO_CERTIFICATE).size(), 1u);

  // A name without a certificate, and a context without a record, fail and keep what they had.
  Owned<CERT_CTX> none(CERT_CTX_new());
  ASSERT_TRUE(CERT_CTX_set_path(none.get(), (std::string(kContainer) + "\\nothing").c_str()));
  EXPECT_FALSE(CERT_CTX_read(none.get()));
  EXPECT_EQ(CERT_CTX_get_cert(none.get()), nullptr);
  EXPECT_TRUE(has(drain(), LIB_CADB, CADB_F_CERT_CTX_READ, CADB_R_CADB_LIB));
  EXPECT_FALSE(CERT_CTX_write(none.get(), CERT_FORMAT_DER));
  EXPECT_TRUE(has(drain(), LIB_CADB, CADB_F_CERT_CTX_WRITE, R_INTERNAL_ERROR));
}

}  // namespace
