// Token paths: carrier choice, building and normalising, prefix comparison.
#include <cstring>

#include "crypto/bio/token.h"
#include "crypto/cadb/cadb.h"
#include "fixture.h"

using namespace jarnel;
using namespace cadbtest;

namespace {

TEST(PathTest, PrefixChoosesTheCarrierWithoutRegardToCase) {
  struct Case {
    const char* path;
    Carrier carrier;
    const char* driver;
  } cases[] = {
      {"eToken:1001\\2002", Carrier::Etoken, "eToken"},
      {"ETOKEN:1001", Carrier::Etoken, "eToken"},
      {"etoken", Carrier::Etoken, "eToken"},
      {"AKS ifdh 0:1001", Carrier::Etoken, "eToken"},
      {"aladdin token jc 1:1001", Carrier::Etoken, "eToken"},
      {"eTR2:\\1001", Carrier::EtokenR2, "eToken R2"},
      {"etr2 3:\\1001", Carrier::EtokenR2, "eToken R2"},
      {"ruToken:1001", Carrier::Rutoken, "ruToken"},
      {"Aktiv Co. ruToken 0:1001", Carrier::Rutoken, "ruToken"},
      {"IBUTTON:\\A\\B.0", Carrier::IButton, "Touch Memory"},
      {"pkcs11:\\softhsm2\\mk.db3", Carrier::Pkcs11, "FILE pointer"},
      {"PKCS111:/mod/x", Carrier::Pkcs11, "FILE pointer"},
      {"/tmp/keys/k.key", Carrier::FileSystem, "FILE pointer"},
      {"C:\\keys", Carrier::FileSystem, "FILE pointer"},
      {"eTok", Carrier::FileSystem, "FILE pointer"},
      {"", Carrier::FileSystem, "FILE pointer"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CADB_carrier_of(c.path), c.carrier) << c.path;
    EXPECT_EQ(CADB_is_token_path(c.path), c.carrier != Carrier::FileSystem) << c.path;
    EXPECT_STREQ(token_method_for_path(c.path)->name, c.driver) << c.path;
  }
  EXPECT_FALSE(CADB_is_token_path(nullptr));
}

TEST(PathTest, MakePathJoinsCutsAndNormalises) {
  struct Case {
    const char* start;
    const char* dir;
    const char* name;
    const char* ext;
    const char* expected;
  } cases[] = {
      {"", "/tmp/keys", "k", "key", "\\tmp\\keys\\k.key"},
      {"", "/tmp/keys/", "k", ".key", "\\tmp\\keys\\k.key"},
      {"", "C:\\keys\\", "k", nullptr, "C:\\keys\\k"},
      {"", "iButton:\\A", "0001", "000", "iButton:\\A\\0001.000"},
      {"", "ruToken:1001", "0001", nullptr, "ruToken:1001\\0001"},
      {"", "dir/", nullptr, nullptr, "dir"},       // one trailing separator goes
      {"", "dir//", nullptr, nullptr, "dir\\"},    // only one
      {"a/b/c/", nullptr, nullptr, nullptr, "a\\b\\c"},  // normalise only
      {"/", nullptr, nullptr, nullptr, "\\"},       // the root keeps its separator
      {"base", nullptr, "name", nullptr, "basename"},  // no directory: appended to out
      {"", "", "rel", nullptr, "rel"},
  };
  for (const auto& c : cases) {
    char out[CADB_PATH_BUF];
    std::strcpy(out, c.start);
    EXPECT_STREQ(CADB_make_path(out, c.dir, c.name, c.ext), c.expected) << c.dir << " " << c.name;
  }
}

TEST(PathTest, MakePathNeverExceeds260Characters) {
  std::string dir(250, 'd');
  char out[CADB_PATH_BUF];
  CADB_make_path(out, dir.c_str(), "0123456789abcdef", "key");
  EXPECT_EQ(std::strlen(out), 260u);
  EXPECT_EQ(std::string(out), dir + "\\" + std::string("0123456789abcdef").substr(0, 9));
  std::string huge(400, 'x');
  CADB_make_path(out, huge.c_str(), "n", "e");
  EXPECT_EQ(std::strlen(out), 260u);
}

TEST(PathTest, PrefixMatchComparesAbsolutePathsWithoutRegardToCase) {
  EXPECT_TRUE(CADB_path_prefix_match("/tmp/Keys", "/TMP/keys/k.key"));
  EXPECT_TRUE(CADB_path_prefix_match("/tmp/keys/k.key", "\\tmp\\keys"));
  EXPECT_TRUE(CADB_path_prefix_match("/tmp/./keys/../keys/a", "/tmp/keys/a"));
  EXPECT_FALSE(CADB_path_prefix_match("/tmp/keys", "/tmp/other"));
  EXPECT_TRUE(CADB_path_prefix_match("ruToken:1001", "RUTOKEN:1001/2002"));
  EXPECT_FALSE(CADB_path_prefix_match("ruToken:1001", "ruToken:1002"));
  EXPECT_FALSE(CADB_path_prefix_match(nullptr, "x"));
  // A relative path is taken from the current directory.
  auto cwd = fs::current_path().string();
  EXPECT_TRUE(CADB_path_prefix_match("sub/file", (cwd + "/sub").c_str()));
}

}  // namespace
