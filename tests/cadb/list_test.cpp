// Listing file-system directories: patterns, directories, recursion, stopping, and waiting for
// a carrier.
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <cstdio>

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

// Runs body in a child process as user nobody (when this process is root) and gives back what
// the child wrote to its pipe; "SKIP" when the child could not drop its rights.
std::string as_unprivileged(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "SKIP pipe";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string out;
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      out = "SKIP cannot become user nobody";
    else
      out = body();
    ssize_t ignored = ::write(fds[1], out.data(), out.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string got;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return got;
}

TEST_F(ListTest, AFolderThatCannotBeOpenedIsAFailureWithTheSystemsReason) {
  // Two key files in a folder its reader may not open; root would read it all the same, so the
  // listing runs as user nobody.
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  fs::create_directory(dir_ / "locked");
  write_bytes(dir_ / "locked" / "a.key", "x");
  write_bytes(dir_ / "locked" / "b.key", "y");
  fs::permissions(dir_ / "locked", fs::perms::none);
  std::string path = at("locked");
  std::string got = as_unprivileged([&] {
    std::string out;
    for (unsigned flags : {0u, unsigned(CADB_LIST_DIRECTORIES), unsigned(CADB_LIST_RECURSE)}) {
      ERR_clear_error();
      Collector c;
      int r = CADB_list_directory(path.c_str(), flags, collect, &c);
      out += std::to_string(r) + " " + std::to_string(c.paths.size());
      for (const auto& e : drain())
        out += " [" + std::to_string(e.lib) + "," + std::to_string(e.func) + "," +
               std::to_string(e.reason) + "," + e.data + "]";
      out += ";";
    }
    return out;
  });
  fs::permissions(dir_ / "locked", fs::perms::owner_all);
  if (got.rfind("SKIP", 0) == 0) GTEST_SKIP() << got;
  std::string entry = "0 0 [2,2," + std::to_string(EACCES) + ",opendir('" + path + "')];";
  EXPECT_EQ(got, entry + entry + entry);
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
