// The eToken R2 driver through the file layer and its direct functions, on the simulated
// legacy eToken library "drumvex.dll". The simulator keys nodes by the whole path in groups
// ("3f00/e007/1001").
#include <algorithm>
#include <cstring>

#include "crypto/bio/etr2.h"
#include "crypto/bio/etr2_api.h"
#include "crypto/cadb/token_dir.h"
#include "tests/rutoken/fixture.h"
#include "tests/support/whole_file_race.h"

namespace tokentest {
namespace {

using namespace jarnel;

class Etr2 : public TokenTest {
 protected:
  Etr2() : TokenTest(sim::ETR2, "AKS ifdh 0") {}
  void SetUp() override {
    TokenTest::SetUp();
    ASSERT_EQ(ETR2_library_load(), 1);
  }
  std::vector<std::string> listing(const char* path, unsigned flags = 0, int* result = nullptr) {
    std::vector<std::string> seen;
    int r = CADB_list_directory(
        path, flags,
        [](const char* p, void* arg) {
          static_cast<std::vector<std::string>*>(arg)->push_back(p);
          return 1;
        },
        &seen);
    if (result) *result = r;
    return seen;
  }
};

TEST_F(Etr2, LoadsTheSimulatedLibrary) { EXPECT_EQ(ETR2_available(nullptr), 1); }

TEST_F(Etr2, ReaderChoice) {
  for (const char* r : {"AKS ifdh 3", "AKS ifdh 5", "Other reader"}) insert(r);
  struct Case {
    const char* path;
    const char* reader;
    long configs;  // readers asked for their configuration
  } cases[] = {
      {"eTR2 3:\\1001", "AKS ifdh 3", 1},
      {"eTR2   5:/1002", "AKS ifdh 5", 1},
      {"eTR2/Other reader:\\1003", "Other reader", 1},
      {"eTR2\\AKS ifdh 3:/1004", "AKS ifdh 3", 1},
      {"eTR2:\\1005", "AKS ifdh 0", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    long before = calls("ETOKEN_get_config");
    ASSERT_EQ(write(c.path, "x"), 1);
    EXPECT_EQ(calls("ETOKEN_get_config") - before, c.configs);
    std::string id = std::string(std::strchr(c.path, ':') + 2);
    EXPECT_EQ(contents("3f00/e007/" + id, c.reader), "x");
  }
  // Without a digit the first reader with a token is used; a digit names one reader only.
  remove("AKS ifdh 0");
  ASSERT_EQ(write("eTR2:\\1006", "y"), 1);
  EXPECT_EQ(contents("3f00/e007/1006", "AKS ifdh 3"), "y");
  EXPECT_EQ(write("eTR2 0:\\1007", "z"), 0);
  auto errs = drain();
  EXPECT_TRUE(has(errs, {70, ETR2_F_GET_CONFIG, 1}));  // the library's pending error
  EXPECT_TRUE(has(errs, {32, 103, 2}));
}

TEST_F(Etr2, DirectFunctionsLookForTheReaderHoldingThePath) {
  insert("AKS ifdh 4");
  insert("AKS ifdh 7");
  ASSERT_EQ(write("eTR2 7:\\1001", "seven"), 1);
  long before = calls("ETOKEN_init");
  EXPECT_EQ(ETR2_stat("eTR2:\\1001"), static_cast<int>(CADB_S_IFREG));
  EXPECT_EQ(calls("ETOKEN_init") - before, 8);  // readers 0 to 7
  EXPECT_EQ(read("eTR2 7:/3f00/e007/1001"), "seven");
  EXPECT_EQ(ETR2_stat("eTR2:\\3f00\\e007"), static_cast<int>(CADB_S_IFDIR));
  EXPECT_EQ(ETR2_stat("eTR2 4:\\1001"), 0);
  before = calls("ETOKEN_init");
  EXPECT_EQ(ETR2_stat("eTR2:\\9999"), 0);
  EXPECT_EQ(calls("ETOKEN_init") - before, 10);
  ETR2_FILE_INFO info{};
  ASSERT_EQ(ETR2_get_info("eTR2:\\1001", &info), 1);
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.is_directory, 0);
  EXPECT_TRUE(drain().empty());
}

TEST_F(Etr2, WritingMakesTheMissingDirectories) {
  ASSERT_EQ(write("eTR2 0:\\3f00\\e007\\aaaa\\bbbb", "deep"), 1);
  EXPECT_TRUE(node("3f00/e007")->directory);
  EXPECT_TRUE(node("3f00/e007/aaaa")->directory);
  EXPECT_EQ(contents("3f00/e007/aaaa/bbbb"), "deep");
  EXPECT_EQ(calls("ETOKEN_create_directory"), 2);  // 3f00 is always there
  // Writing again replaces the file; writing over a directory fails and leaves it.
  ASSERT_EQ(write("eTR2 0:aaaa\\bbbb", "new"), 1);
  EXPECT_EQ(contents("3f00/e007/aaaa/bbbb"), "new");
  EXPECT_EQ(write("eTR2 0:\\aaaa", "x"), 0);
  EXPECT_TRUE(has(drain(), {32, 115, 2}));
  EXPECT_TRUE(node("3f00/e007/aaaa")->directory);
  // A file standing where a directory is needed stops the write.
  EXPECT_EQ(write("eTR2 0:\\aaaa\\bbbb\\cccc", "x"), 0);
  EXPECT_TRUE(has(drain(), {32, 115, 2}));
}

TEST_F(Etr2, LibraryFailuresArePushedWithTheirPendingError) {
  struct Case {
    const char* call;
    int function;
  } cases[] = {{"ETOKEN_create_file", ETR2_F_CREATE_FILE},
               {"ETOKEN_write", ETR2_F_WRITE},
               {"ETOKEN_delete", ETR2_F_DELETE}};
  ASSERT_EQ(write("eTR2 0:\\1001", "old"), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    fail(c.call, 1, 77);
    EXPECT_EQ(write("eTR2 0:\\1001", "replacement"), 0);
    auto errs = drain();
    EXPECT_TRUE(has(errs, {70, c.function, 77}));
    EXPECT_TRUE(has(errs, {32, 115, 2}));
    ASSERT_EQ(write("eTR2 0:\\1001", "old"), 1);
  }
  fail("ETOKEN_read", 1, 78);
  EXPECT_FALSE(read("eTR2 0:\\1001"));
  auto errs = drain();
  EXPECT_TRUE(has(errs, {70, ETR2_F_READ, 78}));
  EXPECT_TRUE(has(errs, {32, 103, 2}));
}

TEST_F(Etr2, ListingEraseAndDirectories) {
  ASSERT_EQ(write("eTR2 0:\\aaaa\\0002", "2"), 1);
  ASSERT_EQ(write("eTR2 0:\\aaaa\\cccc\\0003", "3"), 1);
  int r = 0;
  auto seen = listing("eTR2 0:\\aaaa", 0, &r);
  EXPECT_EQ(r, 1);
  std::sort(seen.begin(), seen.end());
  // Every name the library gives, directories included, without recursion.
  EXPECT_EQ(seen, (std::vector<std::string>{"eTR2 0:\\aaaa\\0002", "eTR2 0:\\aaaa\\cccc"}));
  EXPECT_EQ(listing("eTR2 0:\\aaaa\\0002"), (std::vector<std::string>{"eTR2 0:\\aaaa\\0002"}));
  listing("eTR2 0:\\none", 0, &r);
  EXPECT_EQ(r, 0);

  EXPECT_EQ(CADB_is_directory("eTR2:/aaaa/cccc"), 1);
  EXPECT_EQ(CADB_is_file("eTR2:/aaaa/cccc/0003"), 1);
  EXPECT_EQ(CADB_file_length("eTR2:/aaaa/cccc/0003", 0, nullptr), 1);
  ASSERT_EQ(CADB_erase_file("eTR2 0:\\aaaa\\cccc\\0003", 0, nullptr), 1);
  EXPECT_FALSE(node("3f00/e007/aaaa/cccc/0003"));

  ASSERT_NE(CADB_token_mkdir("eTR2 0:\\dddd", 0, nullptr), 0);
  EXPECT_TRUE(node("3f00/e007/dddd")->directory);
  EXPECT_FALSE(node("3f00/e007/dddd/0001"));  // the placeholder is gone again
  EXPECT_NE(CADB_token_rmdir("eTR2 0:\\dddd", 0, nullptr), 0);
  EXPECT_FALSE(node("3f00/e007/dddd"));
  EXPECT_EQ(CADB_token_rmdir("eTR2 0:\\aaaa", 0, nullptr), 0);  // not empty
  EXPECT_TRUE(node("3f00/e007/aaaa"));
  drain();
}

TEST_F(Etr2, PresenceAndLogout) {
  EXPECT_EQ(CADB_is_inserted("eTR2:"), 1);
  EXPECT_EQ(CADB_is_inserted("eTR2 0:\\1001"), 1);
  EXPECT_EQ(CADB_is_inserted("eTR2 1:"), 0);
  // Nothing to end: the logout answers 0 without calling the library.
  store_.with([](sim::State& s) {
    s.calls.clear();
    return 0;
  });
  EXPECT_EQ(ETR2_logout("eTR2:"), 0);
  EXPECT_EQ(ETR2_logout("eTR2 0:\\1001"), 0);
  EXPECT_TRUE(store_.with([](sim::State& s) { return s.calls.empty(); }));
  remove("AKS ifdh 0");
  EXPECT_EQ(CADB_is_inserted("eTR2:"), 0);
  EXPECT_TRUE(drain().empty());
}

TEST_F(Etr2, EmptyFilesAndBadModes) {
  ASSERT_EQ(write("eTR2 0:\\1001", ""), 1);
  EXPECT_EQ(contents("3f00/e007/1001"), "");
  EXPECT_EQ(read("eTR2 0:\\1001"), "");
  BIO* b = BIO_new(BIO_s_etoken_r2());
  EXPECT_EQ(BIO_ctrl(b, BIO_C_SET_FILENAME, 0, const_cast<char*>("eTR2 0:\\1001")), 0);
  EXPECT_TRUE(has(drain(), {32, 103, 101}));
  EXPECT_EQ(BIO_ctrl(b, BIO_C_SET_PRIVATE, 1, nullptr), 0);  // no context
  BIO_free(b);
}

TEST_F(Etr2, MissingLibraryFailsWithAReason) {
  ETR2_library_unload();
  EXPECT_EQ(write("eTR2 0:\\1001", "x"), 0);
  EXPECT_TRUE(has(drain(), {32, 103, 2}));
  EXPECT_EQ(CADB_file_exists("eTR2 0:\\1001"), 0);
  EXPECT_EQ(CADB_is_inserted("eTR2:"), 0);
  EXPECT_EQ(calls("ETOKEN_init"), 0);
}

// Threads of one process rewriting and reading one file: a rewrite (delete, create with the
// new length, write) and a read (size, then contents) each happen whole, so no write fails at
// the create and no read finds the file missing, zero-filled or of another length.
TEST_F(Etr2, ConcurrentRewritesAndReadsOfOneFileStayWhole) {
  const std::string path = "eTR2 0:\\1001\\2002";
  ASSERT_EQ(write(path, racetest::record_of(0)), 1);
  racetest::RaceResult r = racetest::whole_file_race(
      3, 3, 15, [&](const std::string& data) { return write(path, data) == 1; },
      [&] { return read(path); });
  EXPECT_EQ(r.failed_writes, 0);
  EXPECT_EQ(r.failed_reads, 0);
  EXPECT_TRUE(r.bad_reads.empty()) << r.bad_reads.front().size() << " bytes";
  EXPECT_TRUE(racetest::is_record(contents("3f00/e007/1001/2002").value_or("")));
}

}  // namespace
}  // namespace tokentest
