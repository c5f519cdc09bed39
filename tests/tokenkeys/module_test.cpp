// The GOST test module by itself, through its function list: a fresh folder is an initialised
// token, the PIN and its lock, object visibility and sensitive keys, the token shared with
// another process (pkcs11-tool), the digest against the published value, signatures, and the
// switches (mechanism list, injected failures, invalidated sessions).
#include <cstring>

#include "gost_module.h"

using namespace gosttest;

namespace {

constexpr unsigned char kParamsA[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

class GostModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module().load()) << dlerror();
    f_ = module().f;
    unsetenv("PKCS11GOST_PIN");
    unsetenv("PKCS11GOST_PIN_TRIES");
    module().control("reset");
    ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
  }
  void TearDown() override {
    f_->C_Finalize(nullptr);
    module().control("reset");
  }

  CK_SESSION_HANDLE open_session() {
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(f_->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
              CKR_OK);
    return s;
  }
  CK_RV login(CK_SESSION_HANDLE s, const char* pin) {
    return f_->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                       std::strlen(pin));
  }
  // Generates a token pair on set A; the handles into pub and priv.
  CK_RV generate(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE* pub, CK_OBJECT_HANDLE* priv) {
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1},
                         {CKA_GOSTR3410_PARAMS, const_cast<unsigned char*>(kParamsA), 9}};
    CK_ATTRIBUTE kt[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_DERIVE, &yes, 1}};
    CK_MECHANISM m{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    return f_->C_GenerateKeyPair(s, &m, pt, 2, kt, 3, pub, priv);
  }
  // Handles of the objects of a class the session can see.
  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
    CK_ATTRIBUTE t{CKA_CLASS, &cls, sizeof cls};
    std::vector<CK_OBJECT_HANDLE> out;
    if (f_->C_FindObjectsInit(s, &t, 1) != CKR_OK) return out;
    CK_OBJECT_HANDLE h;
    CK_ULONG n = 0;
    while (f_->C_FindObjects(s, &h, 1, &n) == CKR_OK && n == 1) out.push_back(h);
    f_->C_FindObjectsFinal(s);
    return out;
  }

  TokenDir dir_;
  CK_FUNCTION_LIST_PTR f_ = nullptr;
};

TEST_F(GostModuleTest, FreshFolderIsATokenWhosePinLocksAfterThreeWrongTries) {
  CK_TOKEN_INFO info;
  ASSERT_EQ(f_->C_GetTokenInfo(1, &info), CKR_OK);
  EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
  EXPECT_TRUE(info.flags & CKF_LOGIN_REQUIRED);
  EXPECT_TRUE(fs::exists(dir_.path() / "token"));
  CK_SESSION_HANDLE s = open_session();
  EXPECT_EQ(login(s, "0000"), CKR_PIN_INCORRECT);
  ASSERT_EQ(f_->C_GetTokenInfo(1, &info), CKR_OK);
  EXPECT_TRUE(info.flags & CKF_USER_PIN_COUNT_LOW);
  // A right PIN restores the count.
  ASSERT_EQ(login(s, "1234"), CKR_OK);
  EXPECT_EQ(login(s, "1234"), CKR_USER_ALREADY_LOGGED_IN);
  ASSERT_EQ(f_->C_Logout(s), CKR_OK);
  ASSERT_EQ(f_->C_GetTokenInfo(1, &info), CKR_OK);
  EXPECT_FALSE(info.flags & CKF_USER_PIN_COUNT_LOW);

  EXPECT_EQ(login(s, "0000"), CKR_PIN_INCORRECT);
  EXPECT_EQ(login(s, "12345"), CKR_PIN_INCORRECT);
  EXPECT_EQ(login(s, "123"), CKR_PIN_LOCKED);
  EXPECT_EQ(login(s, "1234"), CKR_PIN_LOCKED);
  // The lock is kept in the folder.
  ASSERT_EQ(f_->C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
  s = open_session();
  EXPECT_EQ(login(s, "1234"), CKR_PIN_LOCKED);
  ASSERT_EQ(f_->C_GetTokenInfo(1, &info), CKR_OK);
  EXPECT_TRUE(info.flags & CKF_USER_PIN_LOCKED);
}

TEST_F(GostModuleTest, FreshTokenTakesItsPinFromTheEnvironment) {
  TokenDir other;
  setenv("PKCS11GOST_PIN", "87654321", 1);
  CK_SESSION_HANDLE s = open_session();
  EXPECT_EQ(login(s, "1234"), CKR_PIN_INCORRECT);
  EXPECT_EQ(login(s, "87654321"), CKR_OK);
}

TEST_F(GostModuleTest, PrivateObjectsOnlyAfterLoginAndPrivateValuesNeverLeave) {
  CK_SESSION_HANDLE s = open_session();
  CK_OBJECT_HANDLE pub, priv;
  // A private key cannot be made without login.
  EXPECT_EQ(generate(s, &pub, &priv), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(login(s, "1234"), CKR_OK);
  ASSERT_EQ(generate(s, &pub, &priv), CKR_OK);
  EXPECT_EQ(find(s, CKO_PRIVATE_KEY), std::vector<CK_OBJECT_HANDLE>{priv});

  // The private value is sensitive; the public one reads as 64 bytes.
  unsigned char value[64];
  CK_ATTRIBUTE a{CKA_VALUE, value, sizeof value};
  EXPECT_EQ(f_->C_GetAttributeValue(s, priv, &a, 1), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(a.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  a = {CKA_VALUE, nullptr, 0};
  EXPECT_EQ(f_->C_GetAttributeValue(s, priv, &a, 1), CKR_ATTRIBUTE_SENSITIVE);
  a = {CKA_VALUE, value, sizeof value};
  EXPECT_EQ(f_->C_GetAttributeValue(s, pub, &a, 1), CKR_OK);
  EXPECT_EQ(a.ulValueLen, 64u);
  CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
  CK_ATTRIBUTE unsens{CKA_SENSITIVE, &no, 1}, extract{CKA_EXTRACTABLE, &yes, 1};
  EXPECT_EQ(f_->C_SetAttributeValue(s, priv, &unsens, 1), CKR_ATTRIBUTE_READ_ONLY);
  EXPECT_EQ(f_->C_SetAttributeValue(s, priv, &extract, 1), CKR_ATTRIBUTE_READ_ONLY);
  CK_ATTRIBUTE flags[] = {{CKA_ALWAYS_SENSITIVE, &no, 1}, {CKA_NEVER_EXTRACTABLE, &yes, 1}};
  ASSERT_EQ(f_->C_GetAttributeValue(s, priv, flags, 2), CKR_OK);
  EXPECT_EQ(no, CK_TRUE);   // always sensitive
  EXPECT_EQ(yes, CK_TRUE);  // never extractable

  // Not even a private key imported as extractable and not sensitive shows its value.
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_KEY_TYPE kt = CKK_GOSTR3410;
  unsigned char d[32] = {1};
  CK_ATTRIBUTE open_key[] = {{CKA_CLASS, &cls, sizeof cls},        {CKA_KEY_TYPE, &kt, sizeof kt},
                             {CKA_SENSITIVE, &no, 1},               {CKA_EXTRACTABLE, &yes, 1},
                             {CKA_GOSTR3410_PARAMS, const_cast<unsigned char*>(kParamsA), 9},
                             {CKA_VALUE, d, sizeof d}};
  CK_OBJECT_HANDLE imported;
  ASSERT_EQ(f_->C_CreateObject(s, open_key, 6, &imported), CKR_OK);
  a = {CKA_VALUE, value, sizeof value};
  EXPECT_EQ(f_->C_GetAttributeValue(s, imported, &a, 1), CKR_ATTRIBUTE_SENSITIVE);
  // A private value outside 1..q-1 is refused.
  std::memset(d, 0xFF, sizeof d);
  EXPECT_EQ(f_->C_CreateObject(s, open_key, 6, &imported), CKR_ATTRIBUTE_VALUE_INVALID);

  // After logout the private key is gone from searches and handles.
  ASSERT_EQ(f_->C_Logout(s), CKR_OK);
  EXPECT_TRUE(find(s, CKO_PRIVATE_KEY).empty());
  EXPECT_EQ(find(s, CKO_PUBLIC_KEY), std::vector<CK_OBJECT_HANDLE>{pub});
  // A public point off the curve is refused.
  CK_OBJECT_CLASS pub_cls = CKO_PUBLIC_KEY;
  unsigned char bad_point[64] = {1, 2, 3};
  CK_ATTRIBUTE bad[] = {{CKA_CLASS, &pub_cls, sizeof pub_cls}, {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_GOSTR3410_PARAMS, const_cast<unsigned char*>(kParamsA), 9},
                        {CKA_VALUE, bad_point, sizeof bad_point}};
  CK_OBJECT_HANDLE h;
  EXPECT_EQ(f_->C_CreateObject(s, bad, 4, &h), CKR_ATTRIBUTE_VALUE_INVALID);
  CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
  EXPECT_EQ(f_->C_GetAttributeValue(s, priv, &label, 1), CKR_OBJECT_HANDLE_INVALID);
  CK_MECHANISM m{CKM_GOSTR3410, nullptr, 0};
  EXPECT_EQ(f_->C_SignInit(s, &m, priv), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(GostModuleTest, AnotherProcessSeesTheSameToken) {
  CK_SESSION_HANDLE s = open_session();
  ASSERT_EQ(login(s, "1234"), CKR_OK);
  CK_OBJECT_CLASS cls = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  char label[] = "made-here";
  unsigned char value[] = {1, 2, 3};
  CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &yes, 1},
                      {CKA_LABEL, label, sizeof label - 1}, {CKA_VALUE, value, sizeof value}};
  CK_OBJECT_HANDLE h;
  ASSERT_EQ(f_->C_CreateObject(s, t, 4, &h), CKR_OK);
  const std::string tool = std::string(TOOL_ENV) + PKCS11_TOOL + " --module " SIM_DIR "/libpkcs11gost.so ";
  EXPECT_NE(run(tool + "-O").find("made-here"), std::string::npos);
  // A pair generated by the other process is here, its private half only after login.
  std::string out = run(tool + "--login --pin 1234 --keypairgen --key-type GOSTR3410:B --id 0a "
                               "--label there");
  ASSERT_NE(out.find("Key pair generated"), std::string::npos) << out;
  ASSERT_EQ(f_->C_Logout(s), CKR_OK);
  EXPECT_EQ(find(s, CKO_PUBLIC_KEY).size(), 1u);
  EXPECT_TRUE(find(s, CKO_PRIVATE_KEY).empty());
  ASSERT_EQ(login(s, "1234"), CKR_OK);
  EXPECT_EQ(find(s, CKO_PRIVATE_KEY).size(), 1u);
}

TEST_F(GostModuleTest, DigestMatchesThePublishedValueAndSignaturesVerify) {
  CK_SESSION_HANDLE s = open_session();
  CK_MECHANISM md{CKM_GOSTR3411, nullptr, 0};
  unsigned char abc[] = {'a', 'b', 'c'}, out[32];
  CK_ULONG len = 0;
  ASSERT_EQ(f_->C_DigestInit(s, &md), CKR_OK);
  ASSERT_EQ(f_->C_Digest(s, abc, 3, nullptr, &len), CKR_OK);
  ASSERT_EQ(len, 32u);
  ASSERT_EQ(f_->C_Digest(s, abc, 3, out, &len), CKR_OK);
  EXPECT_EQ(Bytes(out, out + 32),
            from_hex("b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c"));

  ASSERT_EQ(login(s, "1234"), CKR_OK);
  CK_OBJECT_HANDLE pub, priv;
  ASSERT_EQ(generate(s, &pub, &priv), CKR_OK);
  CK_MECHANISM m{CKM_GOSTR3410, nullptr, 0};
  unsigned char sig[64];
  CK_ULONG siglen = 10;
  ASSERT_EQ(f_->C_SignInit(s, &m, priv), CKR_OK);
  EXPECT_EQ(f_->C_Sign(s, out, 32, sig, &siglen), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(siglen, 64u);
  ASSERT_EQ(f_->C_Sign(s, out, 32, sig, &siglen), CKR_OK);
  ASSERT_EQ(f_->C_VerifyInit(s, &m, pub), CKR_OK);
  EXPECT_EQ(f_->C_Verify(s, out, 32, sig, 64), CKR_OK);
  sig[5] ^= 1;
  ASSERT_EQ(f_->C_VerifyInit(s, &m, pub), CKR_OK);
  EXPECT_EQ(f_->C_Verify(s, out, 32, sig, 64), CKR_SIGNATURE_INVALID);
  // Digests of another length are refused.
  ASSERT_EQ(f_->C_SignInit(s, &m, priv), CKR_OK);
  siglen = sizeof sig;
  EXPECT_EQ(f_->C_Sign(s, out, 31, sig, &siglen), CKR_DATA_LEN_RANGE);
}

TEST_F(GostModuleTest, SwitchesLimitMechanismsFailCallsAndInvalidateSessions) {
  ASSERT_EQ(module().control("mechanisms=gen,sign"), 1);
  CK_ULONG n = 0;
  ASSERT_EQ(f_->C_GetMechanismList(1, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 2u);
  CK_SESSION_HANDLE s = open_session();
  ASSERT_EQ(login(s, "1234"), CKR_OK);
  CK_OBJECT_HANDLE pub, priv;
  ASSERT_EQ(generate(s, &pub, &priv), CKR_OK);
  unsigned char point[64] = {}, ukm[8] = {1};
  struct {
    CK_ULONG kdf;
    CK_BYTE_PTR pub;
    CK_ULONG publen;
    CK_BYTE_PTR ukm;
    CK_ULONG ukmlen;
  } params{CKD_NULL, point, 64, ukm, 8};
  CK_MECHANISM dm{CKM_GOSTR3410_DERIVE, &params, sizeof params};
  CK_OBJECT_HANDLE made;
  EXPECT_EQ(f_->C_DeriveKey(s, &dm, priv, nullptr, 0, &made), CKR_MECHANISM_INVALID);

  // Call 2 of C_SignInit fails with the given value; the others pass.
  ASSERT_EQ(module().control("fail=C_SignInit@2=0x32"), 1);
  CK_MECHANISM m{CKM_GOSTR3410, nullptr, 0};
  unsigned char dg[32] = {7}, sig[64];
  CK_ULONG siglen = sizeof sig;
  ASSERT_EQ(f_->C_SignInit(s, &m, priv), CKR_OK);
  ASSERT_EQ(f_->C_Sign(s, dg, 32, sig, &siglen), CKR_OK);
  EXPECT_EQ(f_->C_SignInit(s, &m, priv), CKR_DEVICE_REMOVED);
  EXPECT_EQ(f_->C_SignInit(s, &m, priv), CKR_OK);
  EXPECT_EQ(module().calls("C_SignInit"), 3);

  // Invalidated: every session is gone and the user logged out, as after re-insertion.
  ASSERT_EQ(module().control("invalidate"), 1);
  CK_SESSION_INFO info;
  EXPECT_EQ(f_->C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);
  CK_SESSION_HANDLE s2 = open_session();
  EXPECT_NE(s2, s);
  ASSERT_EQ(f_->C_GetSessionInfo(s2, &info), CKR_OK);
  EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
  EXPECT_EQ(f_->C_SignInit(s2, &m, priv), CKR_USER_NOT_LOGGED_IN);
}

}  // namespace
