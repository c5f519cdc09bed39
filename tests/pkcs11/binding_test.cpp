// Module binding and login against SoftHSM2, directly and through the fault-injecting forwarder.
#include <cstring>
#include <thread>

#include "tests/pkcs11/fixture.h"

namespace p11test {
namespace {

using namespace jarnel;

TEST(Pkcs11Path, ParsesModuleSlotAndFile) {
  struct Case {
    const char* path;
    int ok;
    const char* module;
    int slot;
    const char* file;
  } cases[] = {
      {"pkcs11:\\softhsm2\\mk.db3", 1, "softhsm2", -1, "mk.db3"},
      {"PKCS11:/softhsm2/dir/key", 1, "softhsm2", -1, "dir/key"},
      {"pkcs112:\\mod\\x", 1, "mod", 2, "x"},
      {"pkcs1117:\\mod", 1, "mod", 17, nullptr},
      {"pkcs11", 0, nullptr, 0, nullptr},
      {"pkcs11:", 0, nullptr, 0, nullptr},
      {"pkcs11x:\\mod\\x", 0, nullptr, 0, nullptr},
      {"ruToken:\\x", 0, nullptr, 0, nullptr},
      {"pkcs11:\\\\x", 0, nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    char name[PKCS11_MODULE_NAME_MAX + 1] = {};
    int slot = 99;
    ASSERT_EQ(PKCS11_parse_path(c.path, name, &slot), c.ok);
    if (!c.ok) continue;
    EXPECT_STREQ(name, c.module);
    EXPECT_EQ(slot, c.slot);
    const char* file = PKCS11_file_part(c.path);
    if (c.file)
      EXPECT_STREQ(file, c.file);
    else
      EXPECT_EQ(file, nullptr);
  }
  std::string long_name = "pkcs11:\\" + std::string(261, 'm') + "\\x";
  EXPECT_EQ(PKCS11_parse_path(long_name.c_str(), nullptr, nullptr), 0);
}

using Binding = SoftHsm;

TEST_F(Binding, SecondLoginInTheProcessDoesNotAskAgain) {
  ConnPtr a = open("pkcs11:\\softhsm2\\x");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->token_info.ulMaxPinLen, 255u);
  ASSERT_EQ(PKCS11_login(a.get(), 0), 1);
  EXPECT_EQ(pin_state().calls, 1);
  a.reset();  // the shared session stays logged in
  ConnPtr b = open("pkcs11:\\softhsm2\\y");
  ASSERT_TRUE(b);
  ASSERT_EQ(PKCS11_login(b.get(), 0), 1);
  EXPECT_EQ(pin_state().calls, 1);
  // Forced: logs out and in again, asking for the PIN.
  ASSERT_EQ(PKCS11_login(b.get(), 1), 1);
  EXPECT_EQ(pin_state().calls, 2);
  // After a logout the next login asks again.
  ASSERT_EQ(PKCS11_logout(b.get()), 1);
  ASSERT_EQ(PKCS11_login(b.get(), 0), 1);
  EXPECT_EQ(pin_state().calls, 3);
}

TEST_F(Binding, LogoutWithoutLoginSucceeds) {
  ConnPtr c = open("pkcs11:\\softhsm2\\x");
  ASSERT_TRUE(c);
  EXPECT_EQ(PKCS11_logout(c.get()), 1);
  EXPECT_EQ(PKCS11_logout_path("pkcs11:\\softhsm2\\x"), 1);
  EXPECT_EQ(ERR_get_token_error(), 0u);
}

TEST_F(Binding, TwoConnectionsShareOneModuleAndOneInitialize) {
  ConnPtr a = open("pkcs11:\\p11fault\\a");
  ConnPtr b = open("pkcs11:\\p11fault\\b");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->module, b->module);
  EXPECT_EQ(PKCS11_module_count(), 1);
  EXPECT_EQ(fault().calls("C_Initialize"), 1);
  EXPECT_EQ(fault().calls("C_GetFunctionList"), 1);
  a.reset();
  b.reset();
  EXPECT_EQ(fault().calls("C_Finalize"), 0);  // the table still holds the module
  PKCS11_shutdown();
  PKCS11_startup();
  EXPECT_EQ(fault().calls("C_Finalize"), 1);
  EXPECT_EQ(PKCS11_module_count(), 0);
}

TEST_F(Binding, AlreadyInitializedModuleLoadsAndIsNotFinalised) {
  fault().set("C_Initialize", 1, CKR_CRYPTOKI_ALREADY_INITIALIZED, 1);
  ConnPtr c = open("pkcs11:\\p11fault\\a");
  ASSERT_TRUE(c);
  ASSERT_EQ(PKCS11_login(c.get(), 0), 1);
  c.reset();
  PKCS11_shutdown();
  PKCS11_startup();
  EXPECT_EQ(fault().calls("C_Finalize"), 0);
  // The module was initialised behind the library's back: finalise it here.
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(fault().handle, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_EQ(get(&f), CKR_OK);
  EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
}

TEST_F(Binding, SlotChoice) {
  ASSERT_TRUE(init_token("second"));
  ConnPtr any = open("pkcs11:\\softhsm2\\x");
  ASSERT_TRUE(any);
  PKCS11_MODULE* m = any->module;
  // SoftHSM2 lists both tokens and a spare slot with a blank token.
  ASSERT_EQ(m->slot_count, 3u);
  EXPECT_TRUE(any->token_info.flags & CKF_TOKEN_INITIALIZED);
  // Slot indices count every slot, the spare one too.
  for (int index = 0; index < 3; ++index) {
    CK_SLOT_ID slot = 0;
    std::string path = "pkcs11" + std::to_string(index) + ":\\softhsm2\\x";
    ASSERT_EQ(PKCS11_slot_of_path(path.c_str(), &slot), 1) << index;
    EXPECT_EQ(slot, m->slots[index].id);
  }
  ConnPtr second = open("pkcs111:\\softhsm2\\x");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->slot, m->slots[1].id);
  EXPECT_TRUE(second->token_info.flags & CKF_TOKEN_INITIALIZED);
  drain_errors();
  ERR_set_token_error(0, 0);
  EXPECT_FALSE(open("pkcs113:\\softhsm2\\x"));
  EXPECT_TRUE(has_reason(drain_errors(), LIB_PKCS11, PKCS11_R_TOKEN_NOT_PRESENT));
  EXPECT_EQ(ERR_get_token_error(), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(ERR_get_token_error_source(), TOKEN_ERR_PKCS11);
}

TEST_F(Binding, SlotChoiceFollowsATokenAddedLater) {
  ConnPtr first = open("pkcs11:\\softhsm2\\x");
  ASSERT_TRUE(first);
  CK_SLOT_ID first_slot = first->slot;
  ASSERT_EQ(PKCS11_login(first.get(), 0), 1);
  ASSERT_TRUE(init_token("later"));
  // A new connection re-reads the slot list; the logged-in slot keeps its shared session.
  ConnPtr again = open("pkcs11:\\softhsm2\\x");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->slot, first_slot);
  ASSERT_EQ(PKCS11_login(again.get(), 0), 1);
  EXPECT_EQ(pin_state().calls, 1);
}

TEST_F(Binding, MissingModuleNamesTheFile) {
  EXPECT_FALSE(open("pkcs11:\\nosuchmodule\\x"));
  const char* data = nullptr;
  int flags = 0;
  bool found = false;
  while (unsigned long e = ERR_get_error_line_data(nullptr, nullptr, &data, &flags))
    if (e == ERR_pack(LIB_PKCS11, PKCS11_F_MODULE_GET_BY_NAME, PKCS11_R_MODULE_NOT_FOUND)) {
      found = true;
      EXPECT_STREQ(data, "nosuchmodule.dll");
    }
  EXPECT_TRUE(found);
  EXPECT_EQ(PKCS11_module_check("pkcs11:\\nosuchmodule\\x"), 0);
  EXPECT_EQ(PKCS11_module_check("pkcs11:\\softhsm2\\x"), 1);
}

// Answers the token cannot take fail before C_Login and spend none of its tries: longer than
// its maximum, shorter than its minimum (SoftHSM2: 4), or none at all (the Java call-back
// answers 0 when it has no PIN).
TEST_F(Binding, PinOutsideTheTokensLengthsFailsBeforeLogin) {
  for (const std::string& pin : {std::string(256, '1'), std::string("123"), std::string()}) {
    SCOPED_TRACE(pin.size());
    pin_state().pin = pin;
    pin_state().calls = 0;
    fault().reset();
    ConnPtr c = open("pkcs11:\\p11fault\\x");
    ASSERT_TRUE(c);
    EXPECT_EQ(PKCS11_login(c.get(), 0), 0);
    EXPECT_EQ(fault().calls("C_Login"), 0);
    EXPECT_EQ(pin_state().calls, 1);
    drain_errors();
  }
}

TEST_F(Binding, NoCallbackIsAMissingArgument) {
  ConnPtr c = open("pkcs11:\\softhsm2\\x");
  ASSERT_TRUE(c);
  PKCS11_OBJECT_set_callback(c.get(), nullptr);
  EXPECT_EQ(PKCS11_login(c.get(), 0), 0);
  EXPECT_TRUE(has_reason(drain_errors(), LIB_PKCS11, R_PASSED_NULL_PARAMETER));
}

TEST_F(Binding, ProtectedAuthenticationPathLogsInWithANullPin) {
  fault().add_token_flags(CKF_PROTECTED_AUTHENTICATION_PATH);
  ConnPtr c = open("pkcs11:\\p11fault\\x");
  ASSERT_TRUE(c);
  PKCS11_login(c.get(), 0);  // SoftHSM2 has no PIN pad and refuses the null PIN
  EXPECT_EQ(fault().calls("C_Login"), 1);
  EXPECT_EQ(fault().login_pin_was_null(), 1);
  EXPECT_EQ(pin_state().calls, 0);
}

// Each failing call gives its reason and is recorded as the token error.
TEST_F(Binding, FailingCallsGiveTheirReasonAndTheTokenError) {
  struct Case {
    const char* function;
    long call;
    CK_RV rv;
    bool login;
    int reason;
  } cases[] = {
      {"C_GetFunctionList", 1, CKR_GENERAL_ERROR, false, PKCS11_R_GET_FUNCTION_LIST},
      {"C_Initialize", 1, CKR_HOST_MEMORY, false, PKCS11_R_INITIALIZE},
      {"C_GetInfo", 1, CKR_DEVICE_ERROR, false, PKCS11_R_INITIALIZE},
      {"C_GetSlotList", 2, CKR_DEVICE_ERROR, false, PKCS11_R_INITIALIZE},
      {"C_GetTokenInfo", 0, CKR_DEVICE_ERROR, false, PKCS11_R_TOKEN_INFO},
      {"C_OpenSession", 1, CKR_SESSION_COUNT, false, PKCS11_R_OPEN_SESSION},
      {"C_Login", 1, CKR_PIN_LOCKED, true, PKCS11_R_LOGIN_FAILED},
      {"C_Login", 1, CKR_PIN_EXPIRED, true, PKCS11_R_LOGIN_FAILED},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.function) + " " + std::to_string(k.rv));
    PKCS11_shutdown();
    PKCS11_startup();
    fault().reset();
    ERR_clear_error();
    ERR_set_token_error(0, 0);
    fault().set(k.function, k.call, k.rv, 0);
    ConnPtr c = open("pkcs11:\\p11fault\\x");
    if (k.login) {
      ASSERT_TRUE(c);
      EXPECT_EQ(PKCS11_login(c.get(), 0), 0);
    } else {
      EXPECT_FALSE(c);
    }
    EXPECT_TRUE(has_reason(drain_errors(), LIB_PKCS11, k.reason));
    EXPECT_EQ(ERR_get_token_error(), k.rv);
    EXPECT_EQ(ERR_get_token_error_source(), TOKEN_ERR_PKCS11);
    // C_Initialize that failed must not be followed by C_Finalize.
    if (std::strcmp(k.function, "C_Initialize") == 0) {
      EXPECT_EQ(fault().calls("C_Finalize"), 0);
    }
  }
}

TEST_F(Binding, WrongPinIsTheModulesAnswer) {
  pin_state().pin = "0000";
  ConnPtr c = open("pkcs11:\\softhsm2\\x");
  ASSERT_TRUE(c);
  EXPECT_EQ(PKCS11_login(c.get(), 0), 0);
  EXPECT_TRUE(has_reason(drain_errors(), LIB_PKCS11, PKCS11_R_LOGIN_FAILED));
  EXPECT_EQ(ERR_get_token_error(), CKR_PIN_INCORRECT);
}

TEST_F(Binding, ErrorTexts) {
  ERR_load_PKCS11_strings();
  EXPECT_STREQ(ERR_reason_error_string(ERR_pack(LIB_PKCS11, 0, PKCS11_R_LOGIN_FAILED)),
               "login failed");
  EXPECT_STREQ(ERR_func_error_string(ERR_pack(LIB_PKCS11, PKCS11_F_MODULE_GET_BY_NAME, 0)),
               "PKCS11_MODULE_get_by_name");
}

}  // namespace
}  // namespace p11test
