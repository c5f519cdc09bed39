// Allocation-failure sweeps of the PKCS#11 paths against SoftHSM2: opening a connection,
// logging in, finding an object and listing the store, with each of the library's allocations
// failing in turn (SoftHSM2's own, in the same process, are left alone). Every run ends in
// success or a clean failure with an error queued, leaks nothing, and leaves no copy of the
// PIN in freed memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "fixture.h"
#include "tests/support/mem_watch.h"

namespace p11test {
namespace {

using namespace jarnel;

// A PIN long enough that finding it in freed memory is no accident.
constexpr char kLongPin[] = "sweep-PIN-7f3a91c2e4";

struct Row {
  const char* name;
  std::function<void()> prepare;
  std::function<bool()> run;
  std::function<void(bool ok)> after;
};

void sweep(const Row& row) {
  SCOPED_TRACE(row.name);
  auto check_pin = [](const std::string& when) {
    const auto hits = mem_watch::hits();
    EXPECT_TRUE(hits.empty()) << "a freed block held the PIN (" << when << ")";
    mem_watch::unwatch();
  };
  row.prepare();
  ASSERT_TRUE(row.run()) << "the operation fails without any allocation failure";
  row.after(true);
  check_pin("the untouched run");
  for (long n = 0; n < 5000; ++n) {
    row.prepare();
    ERR_clear_error();
    bool ok = false, fired = false;
    {
      mem_watch::FailAt fail(n, mem_watch::Scope::Library);
      ok = row.run();
      fired = fail.fired();
    }
    if (!ok) {
      EXPECT_TRUE(fired) << "failed at allocation " << n << " without running out of memory";
      EXPECT_NE(ERR_peek_error(), 0u) << "failure without an error at allocation " << n;
    }
    row.after(ok);
    check_pin("allocation " + std::to_string(n) + " failing");
    ERR_clear_error();
    if (!fired) {
      EXPECT_TRUE(ok);
      std::printf("  %-24s %5ld allocations, each failed once\n", row.name, n);
      return;
    }
    if (::testing::Test::HasFailure()) return;
  }
  ADD_FAILURE() << "still failing at allocation 5000";
}

class Pkcs11Sweep : public SoftHsm {
 protected:
  static void SetUpTestSuite() { mem_watch::install_library(); }
  void SetUp() override {
    SoftHsm::SetUp();
    // The token's PIN becomes a long one.
    const std::string out = tool(std::string("--login --pin ") + kPin + " --change-pin --new-pin " + kLongPin);
    ASSERT_EQ(out.find("error"), std::string::npos) << out;
    pin_state().pin = kLongPin;
  }
  void watch_pin() { mem_watch::watch("PIN", {reinterpret_cast<const unsigned char*>(kLongPin), sizeof kLongPin - 1}); }
};

TEST_F(Pkcs11Sweep, OpenLoginFindList) {
  const std::string path = "pkcs11:\\softhsm2\\item";
  ConnPtr conn;
  TemplatePtr search;
  {
    // One object to find and list.
    ConnPtr c = open(path);
    ASSERT_TRUE(c);
    ASSERT_EQ(PKCS11_login(c.get(), 0), 1);
    TemplatePtr t(PKCS11_template(Pkcs11Template::ContainerFile));
    const unsigned char value[] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(t && PKCS11_TEMPLATE_add_string(t.get(), CKA_LABEL, "probe") &&
                PKCS11_TEMPLATE_add(t.get(), CKA_VALUE, value, sizeof value));
    ASSERT_EQ(PKCS11_create(c.get(), t.get()), 1);
  }
  const Row rows[] = {
      {"PKCS#11 open",
       [&] {
         conn.reset(PKCS11_OBJECT_new());
         ASSERT_TRUE(conn && PKCS11_OBJECT_set_path(conn.get(), path.c_str()));
       },
       [&] { return PKCS11_open(conn.get()) == 1; },
       [&](bool) { conn.reset(); }},
      {"PKCS#11 login",
       [&] {
         conn = open(path);
         ASSERT_TRUE(conn);
         PKCS11_logout(conn.get());
         ERR_clear_error();
         watch_pin();
       },
       [&] { return PKCS11_login(conn.get(), 0) == 1; },
       [&](bool) { conn.reset(); }},
      {"PKCS#11 find",
       [&] {
         conn = open(path);
         ASSERT_TRUE(conn);
         ASSERT_EQ(PKCS11_login(conn.get(), 0), 1);
         search.reset(PKCS11_template(Pkcs11Template::ContainerFile));
         ASSERT_TRUE(search && PKCS11_TEMPLATE_add_string(search.get(), CKA_LABEL, "probe"));
         conn->object = 0;
       },
       [&] { return PKCS11_find_one(conn.get(), search.get()) == 1 && conn->object != 0; },
       [&](bool) {
         search.reset();
         conn.reset();
       }},
      {"PKCS#11 list",
       [&] {
         // The items are private: the slot's shared session is logged in first.
         conn = open(path);
         ASSERT_TRUE(conn);
         ASSERT_EQ(PKCS11_login(conn.get(), 0), 1);
         watch_pin();
       },
       [&] {
         int seen = 0;
         auto cb = [](const char*, void* arg) {
           ++*static_cast<int*>(arg);
           return 1;
         };
         return PKCS11_list_objects("pkcs11:\\softhsm2", 0, cb, &seen) == 1;
       },
       [&](bool) { conn.reset(); }},
  };
  for (const auto& row : rows) sweep(row);
}

}  // namespace
}  // namespace p11test
