// The table of objects: every lookup agrees with every other and with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstring>
#include <set>

#include "crypto/objects/objects.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rus/gost89.h"

namespace jarnel::obj {
namespace {

TEST(Objects, LookupsAgreeAndIdentifiersAreUnique) {
  std::set<std::string> names, oids;
  for (const Object& o : all()) {
    SCOPED_TRACE(o.sn);
    EXPECT_EQ(by_nid(o.nid), &o);
    EXPECT_EQ(by_oid(o.oid()), &o);
    EXPECT_EQ(by_name(o.sn), &o);
    EXPECT_EQ(by_name(o.ln)->nid, o.nid);
    char text[128];
    ASSERT_GT(oid_text(o.nid, text, sizeof text), 0u);
    EXPECT_TRUE(oids.insert(text).second);
    EXPECT_TRUE(names.insert(o.sn).second);
    // The OpenSSL object made from the identifier has the same DER body as the table's.
    ASN1_OBJECT* a = to_asn1(o.nid);
    ASSERT_TRUE(a);
    unsigned char body[64];
    const std::size_t n = oid_der(o.nid, body, sizeof body);
    ASSERT_EQ(n, static_cast<std::size_t>(OBJ_length(a)));
    EXPECT_EQ(std::memcmp(body, OBJ_get0_data(a), n), 0);
    EXPECT_EQ(from_asn1(a), o.nid);
    char back[128];
    OBJ_obj2txt(back, sizeof back, a, 1);
    EXPECT_STREQ(back, text);
    ASN1_OBJECT_free(a);
  }
  EXPECT_EQ(by_nid(1), nullptr);
  EXPECT_EQ(nid_of(std::span<const std::uint32_t>{}), 0);
  EXPECT_EQ(by_name("cryptopro-gostr3410-2001"), by_nid(NID_ECR3410_CP));
  char small[4];
  EXPECT_EQ(oid_text(NID_ECR3410_CP, small, sizeof small), 0u);
}

TEST(Objects, ModuleNamesAgreeWithTheTable) {
  EXPECT_STREQ(R3410_nid_oid(NID_CP_R3410_94_XCHC), "1.2.643.2.2.33.3");
  EXPECT_STREQ(R3410_nid_oid(NID_R3410_CP), "1.2.643.2.2.20");
  EXPECT_STREQ(R3410_nid_short_name(NID_CP_R3411_94_PARAMSET), "CryptoPro-GostR3411-94-ParamSet");
  EXPECT_EQ(R3410_nid_oid(NID_CP_2001_A), nullptr);
  // The cipher module's numbers are the table's.
  static_assert(RUS_NID_rus_change == NID_RUS_CHANGE && RUS_NID_rus_hash == NID_RUS_HASH &&
                RUS_NID_cp_r3411_with_r3410_94 == NID_CP_R3411_WITH_R3410_94 &&
                RUS_NID_cp_r3411_with_r3410_2001 == NID_CP_R3411_WITH_R3410_2001 &&
                RUS_NID_cp_r3411 == NID_CP_R3411 && RUS_NID_cp_gost89 == NID_CP_28147 &&
                RUS_NID_cp_gost89_mac == NID_CP_28147_MAC && RUS_NID_cp_sbox_A == NID_CP_28147_A &&
                RUS_NID_cp_sbox_D == NID_CP_28147_D && RUS_NID_hmacWithR3411 == NID_HMAC_R3411 &&
                RUS_NID_ecr3410_r3411 == NID_ECR3410_R3411 &&
                RUS_NID_r3410_r3411 == NID_R3410_R3411);
}

}  // namespace
}  // namespace jarnel::obj
