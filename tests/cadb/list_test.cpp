// Listing file-system directories: patterns, directories, recursion, stopping, and waiting for
// a carrier.
#include <algorithm>

#include "crypto/cadb/cadb.h"
#include "fixture.h"

using namespace jarnel;
using namespace cadbtest;

namespace {

struct Collector {
  std::vector<std::string> paths;
  int stop_after = -1;  // stop (return 0) on this call, counting from 1
};

int collect(const char* path, void* arg) {
  auto* c = static_cast<Collector*>(arg);
  c->paths.emplace_back(path);
  return static_cast<int>(c->paths.size()) == c->stop_after ? 0 : 1;
}

class ListTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    // keys/a.key keys/b.KEY keys/notes.txt keys/sub/c.key keys/sub/deeper/d.key keys/empty/
    fs::create_directories(dir_ / "keys" / "sub" / "deeper");
    fs::create_directories(dir_ / "keys" / "empty");
    for (auto f : {"keys/a.key", "keys/b.KEY", "keys/notes.txt", "keys/sub/c.key", "keys/sub/deeper/d.key"})
      write_bytes(dir_ / f, "x");
    base_ = dir_.string();
    std::replace(base_.begin(), base_.end(), '/', '\\');
  }
  // The reported form of a path inside the test folder.
  std::string rep(const std::string& rel) const {
    std::string r = base_ + "\\" + rel;
    std::replace(r.begin(), r.end(), '/', '\\');
    return r;
  }
  std::vector<std::string> list(const std::string& path, unsigned flags, int expected_result = 1) {
    Collector c;
    EXPECT_EQ(CADB_list_directory(path.c_str(), flags, collect, &c), expected_result) << path;
    return c.paths;
  }
  std::string base_;
};

TEST_F(ListTest, FilesOnlyOrWithDirectories) {
  EXPECT_EQ(list(at("keys"), 0),
            (std::vector<std::string>{rep("keys/a.key"), rep("keys/b.KEY"), rep("keys/notes.txt")}));
  EXPECT_EQ(list(at("keys"), CADB_LIST_DIRECTORIES),
            (std::vector<std::string>{rep("keys/a.key"), rep("keys/b.KEY"), rep("keys/empty"),
                                      rep("keys/notes.txt"), rep("keys/sub")}));
  EXPECT_EQ(list(at("keys/") , 0).size(), 3u);  // a trailing separator changes nothing
  EXPECT_TRUE(list(at("keys/empty"), CADB_LIST_DIRECTORIES).empty());
  EXPECT_TRUE(drain().empty());
}

TEST_F(ListTest, LastComponentMayBeAPattern) {
  EXPECT_EQ(list(at("keys/*.key"), 0),
            (std::vector<std::string>{rep("keys/a.key"), rep("keys/b.KEY")}));
  EXPECT_EQ(list(at("keys\\?.key"), 0).size(), 2u);
  EXPECT_EQ(list(at("keys/notes.*"), 0), (std::vector<std::string>{rep("keys/notes.txt")}));
  EXPECT_TRUE(list(at("keys/*.none"), 0).empty());
}

TEST_F(ListTest, RecursionListsSubdirectoriesFirst) {
  EXPECT_EQ(list(at("keys/*.key"), CADB_LIST_RECURSE),
            (std::vector<std::string>{rep("keys/sub/deeper/d.key"), rep("keys/sub/c.key"),
                                      rep("keys/a.key"), rep("keys/b.KEY")}));
  auto all = list(at("keys"), CADB_LIST_RECURSE | CADB_LIST_DIRECTORIES);
  EXPECT_EQ(all.size(), 8u);  // five files and the directories sub, deeper and empty
  EXPECT_NE(std::find(all.begin(), all.end(), rep("keys/sub/deeper")), all.end());
}

TEST_F(ListTest, RecursionDoesNotFollowLinksToDirectories) {
  fs::create_directory_symlink(dir_ / "keys", dir_ / "keys" / "sub" / "loop");
  auto all = list(at("keys"), CADB_LIST_RECURSE);
  EXPECT_EQ(all.size(), 5u);
}

TEST_F(ListTest, APatternWithoutDirectoryListsTheCurrentDirectory) {
  auto saved = fs::current_path();
  fs::current_path(dir_ / "keys");
  auto got = list("*.key", 0);
  fs::current_path(saved);
  EXPECT_EQ(got, (std::vector<std::string>{".\\a.key", ".\\b.KEY"}));
}

TEST_F(ListTest, AFileIsReportedAlone) {
  EXPECT_EQ(list(at("keys/a.key"), 0), (std::vector<std::string>{rep("keys/a.key")}));
  // A pattern under a file: the file stands for the directory and is reported alone.
  EXPECT_EQ(list(at("keys/a.key/*.x"), 0), (std::vector<std::string>{rep("keys/a.key")}));
}

TEST_F(ListTest, MissingDirectoryListsNothingSuccessfully) {
  EXPECT_TRUE(list(at("nowhere/*.key"), 0).empty());
  EXPECT_TRUE(list(at("nowhere"), 0).empty());
  EXPECT_TRUE(drain().empty());
}

TEST_F(ListTest, CallBackThatStopsEndsTheListingAfterExactlyOneCall) {
  Collector c;
  c.stop_after = 1;
  EXPECT_EQ(CADB_list_directory(at("keys").c_str(), CADB_LIST_DIRECTORIES, collect, &c), 0);
  EXPECT_EQ(c.paths.size(), 1u);
  Collector r;
  r.stop_after = 1;
  EXPECT_EQ(CADB_list_directory(at("keys").c_str(), CADB_LIST_RECURSE, collect, &r), 0);
  EXPECT_EQ(r.paths.size(), 1u);
  Collector alone;
  alone.stop_after = 1;
  EXPECT_EQ(CADB_list_directory(at("keys/a.key").c_str(), 0, collect, &alone), 0);
  EXPECT_EQ(alone.paths.size(), 1u);
}

TEST_F(ListTest, WithoutACallBackTheListingJustRuns) {
  EXPECT_EQ(CADB_list_directory(at("keys").c_str(), 3, nullptr, nullptr), 1);
  EXPECT_EQ(CADB_list_directory(at("keys/a.key").c_str(), 0, nullptr, nullptr), 1);
}

TEST_F(ListTest, BadPathsFail) {
  EXPECT_EQ(CADB_list_directory(nullptr, 0, collect, nullptr), 0);
  std::string longer(300, 'x');
  EXPECT_EQ(CADB_list_directory(longer.c_str(), 0, collect, nullptr), 0);
  auto errors = drain();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].func, CADB_F_CADB_LIST_DIRECTORY);
  EXPECT_EQ(CADB_list_directory("/", 0, nullptr, nullptr), 1);  // the root itself is fine
}

int waiter_calls = 0;
int give_up(const char*, void*) {
  ++waiter_calls;
  return 0;
}

TEST_F(ListTest, WaitingForACarrier) {
  waiter_calls = 0;
  // No waiter: present at once, whatever the carrier.
  for (const char* p : {"ruToken:1001", "/tmp", "A:\\keys", static_cast<const char*>(nullptr)})
    EXPECT_EQ(CADB_wait_for_carrier(p, nullptr, nullptr), 1);
  // Drives and directories without a drive letter never need a wait.
  EXPECT_EQ(CADB_wait_for_carrier(at("keys").c_str(), give_up, nullptr), 1);
  EXPECT_EQ(CADB_wait_for_carrier("A:\\keys", give_up, nullptr), 1);  // no drive letters here
  // iButton is always present to the layer; the other drivers are not available here.
  EXPECT_EQ(CADB_wait_for_carrier("iButton:\\KEYS", give_up, nullptr), 1);
  EXPECT_EQ(CADB_wait_for_carrier("ruToken:1001", give_up, nullptr), 0);
  EXPECT_EQ(waiter_calls, 0);
}

}  // namespace
