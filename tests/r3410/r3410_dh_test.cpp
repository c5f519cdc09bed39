// Key agreement on the GOST R 34.10-94 parameters and its conditional self-test.
#include <openssl/bn.h>

#include "crypto/check/check.h"
#include "crypto/r3410/r3410_local.h"
#include "tests/r3410/r3410_fixture.h"

namespace jarnel::test {
namespace {

struct DhDeleter {
  void operator()(R3410_DH* d) const { R3410_DH_free(d); }
};
using DhPtr = std::unique_ptr<R3410_DH, DhDeleter>;

class R3410DhTest : public R3410Test {
 protected:
  void SetUp() override {
    R3410Test::SetUp();
    CHECK_reset_times();
  }
};

Bytes public_value(R3410_DH* dh) {
  Bytes out(static_cast<std::size_t>(R3410_DH_size(dh)));
  EXPECT_EQ(R3410_DH_generate_key(dh, out.data(), static_cast<int>(out.size())),
            static_cast<int>(out.size()));
  return out;
}

Bytes shared(R3410_DH* dh, const Bytes& peer) {
  Bytes out(static_cast<std::size_t>(R3410_DH_size(dh)));
  int n = R3410_DH_compute_key(dh, peer.data(), static_cast<int>(peer.size()), out.data(),
                               static_cast<int>(out.size()));
  if (n != static_cast<int>(out.size())) return {};
  return out;
}

TEST_F(R3410DhTest, BothSidesAgreeOnKeysOfASet) {
  KeyPtr ka = make_key(R3410_SEL_CP_XCHA), kb = make_key(R3410_SEL_CP_XCHA);
  DhPtr a(R3410_DH_from_key(ka.get())), b(R3410_DH_from_key(kb.get()));
  ASSERT_TRUE(a && b);
  ASSERT_EQ(R3410_DH_size(a.get()), 128);
  Bytes pa = public_value(a.get()), pb = public_value(b.get());
  EXPECT_EQ(pa, bn_bytes(ka->y, 128));  // the own public value is the key's y
  Bytes s1 = shared(a.get(), pb), s2 = shared(b.get(), pa);
  ASSERT_EQ(s1.size(), 128u);
  EXPECT_EQ(s1, s2);
}

TEST_F(R3410DhTest, AFreshObjectDrawsItsOwnPrivateValue) {
  KeyPtr params(R3410_new());
  R3410_set_params(params.get(), R3410_SEL_BUILTIN_1);
  DhPtr a(R3410_DH_from_key(params.get())), b(R3410_DH_from_key(params.get()));
  Bytes pa = public_value(a.get()), pb = public_value(b.get());
  EXPECT_NE(pa, pb);
  EXPECT_EQ(shared(a.get(), pb), shared(b.get(), pa));
}

TEST_F(R3410DhTest, DegeneratePeerValuesAndWrongLengthsAreRefused) {
  KeyPtr key = make_key(R3410_SEL_CP_XCHB);
  DhPtr dh(R3410_DH_from_key(key.get()));
  Bytes zero(128, 0), one(128, 0), pm1 = bn_bytes(key->p, 128);
  one[127] = 1;
  pm1[127] -= 1;
  for (const Bytes& peer : {zero, one, pm1, bn_bytes(key->p, 128)}) {
    ERR_clear_error();
    EXPECT_TRUE(shared(dh.get(), peer).empty());
    EXPECT_TRUE(has_error(drain_errors(), 78, 133, R3410_R_INVALID_PUBLIC_VALUE));
  }
  Bytes short_peer(127, 0x33);
  EXPECT_TRUE(shared(dh.get(), short_peer).empty());
  EXPECT_TRUE(has_error(drain_errors(), 78, 133, R3410_R_BAD_P_LENGTH));
}

TEST_F(R3410DhTest, NullArgumentsSetStatus1) {
  unsigned char out[128];
  EXPECT_EQ(R3410_DH_generate_key(nullptr, out, 128), 0);
  EXPECT_EQ(ERR_get_status(), 1u);
  EXPECT_TRUE(has_error(drain_errors(), 78, 132, 108));
  ERR_clear_error();
  EXPECT_EQ(R3410_DH_compute_key(nullptr, out, 128, out, 128), 0);
  EXPECT_EQ(ERR_get_status(), 1u);
  EXPECT_TRUE(has_error(drain_errors(), 78, 133, 108));
}

// A corrupted parameter table makes the next agreement fail with (78, 138, 11) at line 448;
// once the table is whole again (and a second has passed) agreements work again.
TEST_F(R3410DhTest, CorruptedTableFailsTheNextAgreement) {
  ASSERT_EQ(R3410_params_check(), 1);
  KeyPtr key = make_key(R3410_SEL_CP_A);
  DhPtr dh(R3410_DH_from_key(key.get()));
  unsigned char& byte = r3410::rfc_table()[3].a[17];
  byte ^= 0x80;
  unsigned char out[128];
  EXPECT_EQ(R3410_DH_generate_key(dh.get(), out, 128), 0);
  byte ^= 0x80;
  EXPECT_EQ(ERR_get_status(), 12u);
  auto q = drain_errors();
  bool at_line = false;
  for (const Entry& e : q)
    if (e.lib == 78 && e.func == 138 && e.reason == 11) at_line = e.line == 448;
  EXPECT_TRUE(at_line);
  EXPECT_TRUE(has_error(q, 78, 132, 78));

  CHECK_reset_times();
  ERR_clear_error();
  EXPECT_EQ(R3410_DH_generate_key(dh.get(), out, 128), 128);
}

TEST_F(R3410DhTest, TestObjectsAreNotTestedAgain) {
  unsigned char& byte = r3410::builtin_set(1)->q[0];
  ASSERT_EQ(R3410_params_check(), 1);
  byte ^= 4;
  KeyPtr key = make_key(R3410_SEL_CP_B);
  DhPtr dh(R3410_DH_from_key(key.get()));
  dh->marker = r3410::kDhTestMarker;
  unsigned char out[128];
  EXPECT_EQ(R3410_DH_generate_key(dh.get(), out, 128), 128);
  byte ^= 4;
}

}  // namespace
}  // namespace jarnel::test
