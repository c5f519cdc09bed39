// Keys held by a cryptographic service provider: signing is delegated through the platform's
// provider interface, here a fake one that records its calls.
#include <cstring>
#include <string>
#include <vector>

#include "platform/csp.h"
#include "tests/r3410/r3410_fixture.h"

namespace jarnel::test {
namespace {

struct FakeCsp {
  std::vector<std::string> calls;
  unsigned alg = 0, key_spec = 0;
  Bytes hash_value;
  Bytes signature = hex("0102030405");  // as the provider returns it: little-endian
  std::string fail;                      // the call that fails, if any
  int live_hashes = 0;
};
FakeCsp* g_fake = nullptr;

bool create_hash(std::uintptr_t provider, unsigned alg, std::uintptr_t* hash) {
  g_fake->calls.push_back("create");
  if (g_fake->fail == "create" || provider != 0x1234) return false;
  g_fake->alg = alg;
  *hash = 0x77;
  ++g_fake->live_hashes;
  return true;
}
bool set_hash_param(std::uintptr_t hash, unsigned param, const unsigned char* v) {
  g_fake->calls.push_back("set");
  g_fake->hash_value.assign(v, v + 32);  // HP_HASHVAL of a GOST hash: 32 bytes
  return hash == 0x77 && param == 2 && g_fake->fail != "set";
}
bool sign_hash(std::uintptr_t hash, unsigned key_spec, const char*, unsigned, unsigned char* sig,
               unsigned long* len) {
  g_fake->calls.push_back(sig ? "sign" : "size");
  g_fake->key_spec = key_spec;
  if (hash != 0x77 || g_fake->fail == (sig ? "sign" : "size")) return false;
  if (sig) {
    if (*len < g_fake->signature.size()) return false;
    std::memcpy(sig, g_fake->signature.data(), g_fake->signature.size());
  }
  *len = g_fake->signature.size();
  return true;
}
bool destroy_hash(std::uintptr_t hash) {
  g_fake->calls.push_back("destroy");
  if (hash == 0x77) --g_fake->live_hashes;
  return true;
}
const platform::CspProvider kFakeApi = {create_hash, set_hash_param, sign_hash, destroy_hash};

class R3410ProviderTest : public R3410Test {
 protected:
  void SetUp() override {
    R3410Test::SetUp();
    g_fake = &fake_;
    platform::csp_set_provider(&kFakeApi);
    key_.reset(R3410_new());
    key_->provider.handle = 0x1234;
    key_->provider.key_spec = 2;
  }
  void TearDown() override {
    platform::csp_set_provider(nullptr);
    g_fake = nullptr;
    R3410Test::TearDown();
  }
  int sign(int type) {
    out_.assign(80, 0);
    len_ = 0;
    return R3410_sign(type, key_.get(), digest_.data(), 32, out_.data(), &len_);
  }
  FakeCsp fake_;
  KeyPtr key_;
  Bytes digest_ = Bytes(32, 0xC3);
  Bytes out_;
  unsigned len_ = 0;
};

TEST_F(R3410ProviderTest, TheProviderSignsTheDigestWhateverTheType) {
  for (int type : {0, 274, 1}) {
    fake_.calls.clear();
    EXPECT_EQ(sign(type), 5);
    EXPECT_EQ(len_, 5u);
    EXPECT_EQ(Bytes(out_.begin(), out_.begin() + 5), hex("0504030201"));
    EXPECT_EQ(fake_.alg, 0x8033u);
    EXPECT_EQ(fake_.key_spec, 2u);
    EXPECT_EQ(fake_.hash_value, digest_);
    EXPECT_EQ(fake_.calls, (std::vector<std::string>{"create", "set", "size", "sign", "destroy"}));
  }
}

TEST_F(R3410ProviderTest, AnyFailingCallGivesMinusOneAndTheHashIsDestroyed) {
  for (const char* step : {"create", "set", "size", "sign"}) {
    SCOPED_TRACE(step);
    fake_.fail = step;
    EXPECT_EQ(sign(274), -1);
    EXPECT_EQ(fake_.live_hashes, 0);
  }
  fake_.fail.clear();
  fake_.signature = Bytes(100, 1);  // longer than any layout: refused, not written
  EXPECT_EQ(sign(274), -1);
  EXPECT_EQ(fake_.live_hashes, 0);
}

TEST_F(R3410ProviderTest, OnlyA32ByteDigestIsAHashValue) {
  unsigned char out[80];
  unsigned len = 0;
  EXPECT_EQ(R3410_sign(274, key_.get(), digest_.data(), 31, out, &len), -1);
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(R3410ProviderTest, WithoutAProviderThePlatformSigningFails) {
  platform::csp_set_provider(nullptr);
  EXPECT_EQ(platform::csp_provider(), nullptr);
  EXPECT_EQ(sign(274), -1);
  EXPECT_TRUE(fake_.calls.empty());
}

}  // namespace
}  // namespace jarnel::test
