// The iButton driver ("Touch Memory") through the file layer, its direct functions and its BIO,
// on the simulated "ibfs32.dll". Ports are COM1..COM15 and LPT1..LPT15 of the simulator.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "crypto/bio/bio.h"
#include "crypto/bio/token.h"
#include "crypto/cadb/ibutton_direct.h"
#include "tests/rutoken/fixture.h"
#include "tests/support/whole_file_race.h"

namespace tokentest {
namespace {

using namespace jarnel;

std::string g_settings;

class IButton : public TokenTest {
 protected:
  IButton() : TokenTest(sim::IBUTTON, "COM1") {}

  static void SetUpTestSuite() {
    TokenTest::SetUpTestSuite();
    g_settings = std::string(std::getenv("JARNEL_SIM_DIR")) + "/settings";
    ::setenv("JARNEL_SETTINGS_FILE", g_settings.c_str(), 1);
  }

  void SetUp() override {
    TokenTest::SetUp();
    adapters({"COM1"});
    std::remove(g_settings.c_str());
    // A fresh binding forgets the ports set up by earlier tests.
    TM_library_unload();
    ASSERT_EQ(TM_library_load(), 1);
    ERR_clear_error();
  }

  void adapters(std::vector<std::string> ports) {
    store_.with([&](sim::State& s) {
      s.adapters = ports;
      return 0;
    });
  }
  void defaults(const std::string& number, const std::string& type) {
    std::ofstream(g_settings) << "[HKEY_LOCAL_MACHINE\\Software\\Dallas Semiconductor\\iButton TMEX\\3.00]\n"
                              << "DefaultPortNum=" << number << "\nDefaultPortType=" << type
                              << "\n";
  }
  void put(const std::string& port, const std::string& key, const std::string& data) {
    store_.with([&](sim::State& s) {
      sim::Token* t = s.find(port);
      std::string dir = key;
      for (std::size_t slash; (slash = dir.rfind('/')) != std::string::npos;) {
        dir = dir.substr(0, slash);
        t->nodes[dir].directory = true;
      }
      t->nodes[key].data.assign(data.begin(), data.end());
      return 0;
    });
  }
  std::vector<std::string> keys(const std::string& port = "COM1") {
    return store_.with([&](sim::State& s) {
      std::vector<std::string> out;
      for (const auto& [k, n] : s.find(port)->nodes) out.push_back(n.directory ? k + "/" : k);
      return out;
    });
  }

  // Through the driver itself (the file layer takes only "iButton" paths).
  static BIO* open(const std::string& path, int mode) {
    BIO* b = BIO_new(BIO_s_touch_memory());
    if (BIO_ctrl(b, BIO_C_SET_FILENAME, mode, const_cast<char*>(path.c_str())) != 1) {
      BIO_free(b);
      return nullptr;
    }
    return b;
  }
  static int bio_write(const std::string& path, const std::string& data) {
    BIO* b = open(path, BIO_FP_WRITE);
    if (!b) return 0;
    BIO_write(b, data.data(), static_cast<int>(data.size()));
    return BIO_free(b);
  }
  static std::optional<std::string> bio_read(const std::string& path) {
    BIO* b = open(path, BIO_FP_READ);
    if (!b) return std::nullopt;
    std::string out(static_cast<std::size_t>(b->length), '\0');
    int n = out.empty() ? 0 : BIO_read(b, out.data(), static_cast<int>(out.size()));
    BIO_free(b);
    if (n != static_cast<int>(out.size())) return std::nullopt;
    return out;
  }
};

std::string name4(const char (&n)[4]) { return std::string(n, 4); }

TEST_F(IButton, PathsTakenApart) {
  struct Case {
    const char* path;
    int type, number;
    std::vector<std::string> dirs;
    const char* name;
    int ext;
    bool valid;
  } cases[] = {
      {"COM1:\\KEYS\\RAND.1", 1, 1, {"KEYS"}, "RAND", 1, true},
      {"com12:/keys/sub/rand", 1, 12, {"keys", "sub "}, "rand", 0, true},
      {"LPT2:\\mk  .001", 2, 2, {}, "mk  ", 1, true},
      {"iButton:\\A\\B.0", 0, 0, {"A   "}, "B   ", 0, true},
      {"iButton on COM9:\\X", 0, 0, {}, "X   ", 0, true},
      {"COM:\\X.7", 1, 0, {}, "X   ", 7, true},
      // Invalid entries: extension 127.
      {"COM1:\\KEYS\\RANDOM.1", 1, 1, {"KEYS"}, "    ", 127, false},
      {"COM1:KEYS\\RAND.1", 1, 1, {}, "    ", 127, false},
      {"COM1:RAND.1", 1, 1, {}, "    ", 127, false},
      {"COM1:\\TOOLONG\\RAND.1", 1, 1, {}, "    ", 127, false},
      {"COM1:\\KEYS\\", 1, 1, {"KEYS"}, "    ", 127, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TM_PARSED p;
    ASSERT_TRUE(TM_parse_path(c.path, &p));
    EXPECT_EQ(p.port.type, c.type);
    EXPECT_EQ(p.port.number, c.number);
    ASSERT_EQ(p.directory.count, c.dirs.size());
    EXPECT_EQ(p.directory.reference, '\\');
    for (std::size_t i = 0; i < c.dirs.size(); ++i)
      EXPECT_EQ(name4(p.directory.entries[i]), (c.dirs[i] + "    ").substr(0, 4));
    EXPECT_EQ(p.entry_valid, c.valid);
    EXPECT_EQ(name4(p.entry.name), (std::string(c.name) + "    ").substr(0, 4));
    EXPECT_EQ(p.entry.extension, c.ext);
  }
  for (const char* bad : {"A:\\KEYS\\RAND.1", "COM1\\KEYS", "COMX:\\A", "", "LPT 1:\\A"}) {
    SCOPED_TRACE(bad);
    TM_PARSED p;
    EXPECT_FALSE(TM_parse_path(bad, &p));
  }
}

TEST_F(IButton, OnlyTheFirstTenDirectoriesAreUsed) {
  ASSERT_EQ(bio_write("COM1:\\A\\B\\C\\D\\E\\F\\G\\H\\I\\J\\K\\L\\F.1", "deep"), 1);
  EXPECT_EQ(contents("A/B/C/D/E/F/G/H/I/J/F.1"), "deep");
  EXPECT_EQ(bio_read("COM1:\\A\\B\\C\\D\\E\\F\\G\\H\\I\\J\\X\\F.1"), "deep");
}

TEST_F(IButton, FilesRoundTripThroughTheLayer) {
  ASSERT_EQ(write("iButton:\\keys\\sub\\rand.1", "random state"), 1);
  // Missing directories are made in upper case; the file keeps the caller's spelling.
  EXPECT_EQ(keys(), (std::vector<std::string>{"KEYS/", "KEYS/SUB/", "KEYS/SUB/rand.1"}));
  EXPECT_EQ(read("iButton:/KEYS/SUB/RAND.001"), "random state");
  EXPECT_EQ(CADB_file_length("iButton:\\keys\\sub\\rand.1", 0, nullptr), 12);
  EXPECT_EQ(CADB_is_file("iButton:\\keys\\sub\\rand.1"), 1);
  EXPECT_EQ(CADB_is_directory("iButton:\\keys\\sub"), 1);
  EXPECT_EQ(CADB_is_directory("iButton:\\keys\\sub\\"), 1);
  EXPECT_EQ(CADB_file_exists("iButton:\\keys\\none"), 0);
  EXPECT_EQ(CADB_is_inserted("iButton:"), 1);
  EXPECT_EQ(CADB_logout("iButton:"), 1);

  // Replacing: the old file is deleted first, so a shorter file leaves nothing behind.
  ASSERT_EQ(write("iButton:\\keys\\sub\\rand.1", "short"), 1);
  EXPECT_EQ(contents("KEYS/SUB/rand.1"), "short");
  ASSERT_EQ(write("iButton:\\keys\\sub\\nil", ""), 1);
  EXPECT_EQ(read("iButton:\\keys\\sub\\nil"), "");

  ASSERT_EQ(CADB_erase_file("iButton:\\keys\\sub\\rand.1", 0, nullptr), 1);
  EXPECT_FALSE(node("KEYS/SUB/rand.1"));
  EXPECT_EQ(TM_delete_file("COM1:\\KEYS\\SUB\\RAND.1"), 1);  // already gone
  EXPECT_TRUE(drain().empty());
}

TEST_F(IButton, ListingReportsDirectoriesWithTheirMark) {
  put("COM1", "KEYS/mk.1", "m");
  put("COM1", "KEYS/SUB/x.0", "x");
  put("COM1", "KEYS/pln.0", "p");
  struct Case {
    const char* path;
    unsigned flags;
    std::vector<std::string> seen;
  } cases[] = {
      {"iButton:\\KEYS", 0, {"iButton:\\KEYS\\mk.001", "iButton:\\KEYS\\pln"}},
      {"iButton:\\KEYS", CADB_LIST_DIRECTORIES,
       {"iButton:\\KEYS\\SUB.127", "iButton:\\KEYS\\mk.001", "iButton:\\KEYS\\pln"}},
      {"iButton:", CADB_LIST_DIRECTORIES, {"iButton:\\KEYS.127"}},
      {"iButton:\\KEYS\\mk.1", 0, {"iButton:\\KEYS\\mk.1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::vector<std::string> seen;
    auto cb = [](const char* p, void* arg) {
      static_cast<std::vector<std::string>*>(arg)->push_back(p);
      return 1;
    };
    EXPECT_EQ(CADB_list_directory(c.path, c.flags, cb, &seen), 1);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, c.seen);
  }
  EXPECT_EQ(CADB_list_directory("iButton:\\NONE", 0, nullptr, nullptr), 0);
}

TEST_F(IButton, DirectoriesAreMadeWithAPlaceholderAndRemoved) {
  ASSERT_NE(CADB_token_mkdir("iButton:\\new\\deep", 0, nullptr), 0);
  EXPECT_EQ(keys(), (std::vector<std::string>{"NEW/", "NEW/DEEP/"}));
  EXPECT_EQ(CADB_is_directory("iButton:\\NEW\\DEEP"), 1);
  // The placeholder is the file 0001 with extension 000: kept when its deletion fails.
  fail("TMDeleteFile", 3, static_cast<std::uint16_t>(-5));
  EXPECT_EQ(CADB_token_mkdir("iButton:\\oth", 0, nullptr), 0);
  EXPECT_EQ(keys(), (std::vector<std::string>{"NEW/", "NEW/DEEP/", "OTH/", "OTH/0001.0"}));
  drain();

  EXPECT_EQ(CADB_token_rmdir("iButton:\\NEW", 0, nullptr), 0);  // not empty
  EXPECT_NE(CADB_token_rmdir("iButton:\\NEW\\DEEP", 0, nullptr), 0);
  EXPECT_NE(CADB_token_rmdir("iButton:\\NEW", 0, nullptr), 0);
  EXPECT_FALSE(node("NEW"));
  EXPECT_EQ(TM_remove_directory("COM1:\\NEW"), 1);  // gone already counts
}

TEST_F(IButton, InvalidNamesFailToOpenAndToWrite) {
  put("COM1", "KEYS/ABCD.0", "x");
  for (const char* path : {"COM1:\\KEYS\\ABCDE", "COM1:ABCD", "COM1:\\KEYS\\ABCD.127"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(bio_read(path));
    EXPECT_TRUE(has(drain(), {7, 118, 2}));
    EXPECT_EQ(TM_file_exists(path), 0);
  }
  EXPECT_EQ(write("iButton:\\KEYS\\ABCDE", "x"), 0);
  EXPECT_TRUE(has(drain(), {7, 115, 2}));
  EXPECT_EQ(keys(), (std::vector<std::string>{"KEYS/", "KEYS/ABCD.0"}));
}

TEST_F(IButton, FilesLongerThanTheReadBufferAreRefusedNotCut) {
  std::string exact(TM_MAX_FILE, 'e'), big(9000, 'b');
  put("COM1", "KEYS/EXA.1", exact);
  put("COM1", "KEYS/BIG.1", big);
  EXPECT_EQ(read("iButton:\\KEYS\\EXA.1"), exact);
  // A 9,000-byte file is not handed out as its first 8,192 bytes.
  EXPECT_FALSE(read("iButton:\\KEYS\\BIG.1"));
  EXPECT_TRUE(has(drain(), {7, 118, 119}));
  EXPECT_EQ(CADB_file_length("iButton:\\KEYS\\BIG.1", 0, nullptr), -1);
  drain();
  // Nor is such a file written: the one it would replace stays.
  EXPECT_EQ(write("iButton:\\KEYS\\EXA.1", big), 0);
  EXPECT_TRUE(has(drain(), {7, 115, 119}));
  EXPECT_EQ(contents("KEYS/EXA.1"), exact);
}

TEST_F(IButton, PortSearchOrderAndSettingsDefaults) {
  store_.with([](sim::State& s) {
    for (const char* p : {"COM2", "COM7", "LPT1", "LPT3"}) {
      s.tokens.push_back(sim::Token{});
      s.tokens.back().reader = p;
      s.tokens.back().present = true;
    }
    return 0;
  });
  struct Case {
    const char* name;
    std::vector<std::string> adapters;
    std::pair<const char*, const char*> defaults;  // number, type; null: no settings
    const char* path;
    const char* lands_on;
    long setups;
  } cases[] = {
      {"COM ports first", {"LPT1", "COM7"}, {nullptr, nullptr}, "iButton:\\F.1", "COM7", 7},
      {"then LPT ports", {"LPT3"}, {nullptr, nullptr}, "iButton:\\F.1", "LPT3", 18},
      {"the default pair", {"COM2", "LPT3"}, {"3", "2"}, "iButton:\\F.1", "LPT3", 1},
      {"a default without adapter", {"LPT1"}, {"7", "1"}, "iButton:\\F.1", "LPT1", 17},
      {"a default out of range", {"COM2"}, {"16", "1"}, "iButton:\\F.1", "COM2", 2},
      {"half a default", {"COM2"}, {"3", nullptr}, "iButton:\\F.1", "COM2", 2},
      {"COM without number: the default", {"COM2", "COM7"}, {"7", "1"}, "COM:\\F.1", "COM7", 1},
      {"COM without number: other type", {"COM2", "LPT1"}, {"1", "2"}, "COM0:\\F.1", "COM2", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TM_library_unload();
    ASSERT_EQ(TM_library_load(), 1);
    adapters(c.adapters);
    std::remove(g_settings.c_str());
    if (c.defaults.first && c.defaults.second) defaults(c.defaults.first, c.defaults.second);
    if (c.defaults.first && !c.defaults.second)
      std::ofstream(g_settings)
          << "[HKEY_LOCAL_MACHINE\\Software\\Dallas Semiconductor\\iButton TMEX\\3.00]\n"
          << "DefaultPortNum=" << c.defaults.first << "\n";
    long before = calls("TMSetup");
    ASSERT_EQ(bio_write(c.path, c.name), 1);
    EXPECT_EQ(calls("TMSetup") - before, c.setups);
    EXPECT_EQ(contents("F.1", c.lands_on), c.name);
    store_.with([&](sim::State& s) {
      s.find(c.lands_on)->nodes.clear();
      return 0;
    });
  }
  TM_library_unload();
  ASSERT_EQ(TM_library_load(), 1);
  adapters({});
  EXPECT_EQ(write("iButton:\\F.1", "x"), 0);  // no adapter anywhere
  EXPECT_TRUE(has(drain(), {7, 118, 2}));
}

TEST_F(IButton, PortCacheHoldsTenAdaptersUntilUnloaded) {
  std::vector<std::string> ports;
  for (int i = 1; i <= 11; ++i) ports.push_back("COM" + std::to_string(i));
  for (const auto& p : ports) insert(p);
  adapters(ports);
  for (int i = 1; i <= 10; ++i) ASSERT_EQ(bio_write("COM" + std::to_string(i) + ":\\F.1", "x"), 1);
  long before = calls("TMSetup");
  EXPECT_EQ(bio_write("COM11:\\F.1", "x"), 0);
  EXPECT_EQ(calls("TMSetup"), before);  // not even tried
  EXPECT_EQ(bio_write("COM10:\\F.1", "again"), 1);  // a known port still works
  drain();
  TM_library_unload();
  ASSERT_EQ(TM_library_load(), 1);
  EXPECT_EQ(bio_write("COM11:\\F.1", "x"), 1);
  EXPECT_EQ(contents("F.1", "COM11"), "x");
}

TEST_F(IButton, WriteWithoutAdapterFailsWhenFreed) {
  ASSERT_EQ(bio_write("COM1:\\F.1", "first"), 1);  // COM1 is now a known port
  adapters({});
  BIO* b = open("COM1:\\F.1", BIO_FP_WRITE);
  ASSERT_NE(b, nullptr);  // opening for writing touches no device
  EXPECT_EQ(BIO_write(b, "second", 6), 6);
  EXPECT_EQ(BIO_free(b), 0);
  EXPECT_TRUE(has(drain(), {7, 115, 2}));
  EXPECT_EQ(contents("F.1"), "first");
  // A port never set up is refused at once.
  EXPECT_EQ(open("COM3:\\F.1", BIO_FP_WRITE), nullptr);
  EXPECT_TRUE(has(drain(), {7, 118, 2}));
  // A device taken off the port: nothing can be read.
  adapters({"COM1"});
  remove("COM1");
  EXPECT_FALSE(bio_read("COM1:\\F.1"));
  EXPECT_EQ(TM_file_exists("COM1:\\F.1"), 0);
  drain();
}

TEST_F(IButton, VendorFailuresDuringTheCommit) {
  struct Case {
    const char* call;
    std::int16_t code;
  } cases[] = {{"TMCreateFile", -9}, {"TMWriteFile", -9}, {"TMDoProgramJob", 0},
               {"TMDeleteFile", -3}, {"TMFirst", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    ASSERT_EQ(write("iButton:\\KEYS\\F.1", "old"), 1);
    // TMDoProgramJob and TMFirst fail by answering something other than 1.
    fail(c.call, 1, static_cast<std::uint16_t>(c.code ? c.code : 7));
    EXPECT_EQ(write("iButton:\\KEYS\\F.1", "new"), 0);
    EXPECT_TRUE(has(drain(), {7, 115, 2}));
    // The program job is dropped with the session: the device keeps its old state.
    EXPECT_EQ(contents("KEYS/F.1"), "old");
  }
}

TEST_F(IButton, BusySessionsAreRetried) {
  store_.with([](sim::State& s) {
    s.busy = 5;
    return 0;
  });
  long before = calls("TMExtendedStartSession");
  ASSERT_EQ(bio_write("COM1:\\F.1", "x"), 1);
  EXPECT_GE(calls("TMExtendedStartSession") - before, 6);
}

TEST_F(IButton, MissingLibraryFailsEverything) {
  TM_library_unload();
  EXPECT_EQ(write("iButton:\\F.1", "x"), 0);
  EXPECT_TRUE(has(drain(), {7, 118, 2}));
  EXPECT_EQ(CADB_file_exists("iButton:\\F.1"), 0);
  TM_FIND find;
  EXPECT_EQ(TM_find_first("COM1:\\", &find), TM_LIBRARY_MISSING);
  TM_find_close(&find);
  EXPECT_EQ(calls("TMExtendedStartSession"), 0);
}

TEST_F(IButton, LinesEndingInCrLfAreReadWithLfAlone) {
  put("COM1", "T.0", "one\r\ntwo\n");
  BIO* b = open("COM1:\\T", BIO_FP_READ);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BIO_ctrl(b, BIO_CTRL_PENDING, 0, nullptr), 9);
  char line[16];
  EXPECT_EQ(BIO_gets(b, line, sizeof line), 4);
  EXPECT_STREQ(line, "one\n");
  EXPECT_EQ(BIO_gets(b, line, sizeof line), 4);
  EXPECT_STREQ(line, "two\n");
  EXPECT_EQ(BIO_read(b, line, sizeof line), 0);  // 0, not -1, at the end
  EXPECT_EQ(BIO_free(b), 1);
}

// Threads of one process each rewriting a file of their own and reading it back: every
// vendor session shares the driver's one state buffer and a commit's program job replaces the
// device's whole tree, so sessions of the process run one at a time. Interleaved, a commit
// put back the tree it had copied before another thread's commit and that file's new contents
// were lost.
TEST_F(IButton, ConcurrentCommitsOfDistinctFilesAllLand) {
  constexpr int threads = 4, rounds = 12;
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < threads; ++w) {
    workers.emplace_back([&, w] {
      const std::string path = "iButton:\\T" + std::to_string(w) + "\\F.1";
      for (int i = 0; i < rounds; ++i) {
        std::string data = racetest::record_of(w) + std::to_string(i);
        if (!write(path, data) || read(path) != data) ++failures;
      }
      ERR_clear_error();
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_EQ(failures, 0);
  for (int w = 0; w < threads; ++w) {
    std::optional<std::string> last;
    store_.with([&](sim::State& s) {
      for (const auto& [k, n] : s.find("COM1")->nodes)
        if (k == "T" + std::to_string(w) + "/F.1") last.emplace(n.data.begin(), n.data.end());
      return 0;
    });
    EXPECT_EQ(last, racetest::record_of(w) + std::to_string(rounds - 1)) << "thread " << w;
  }
}

// Rewrites and reads of one file from several threads: each read gives one writer's whole
// record, and no write fails.
TEST_F(IButton, ConcurrentRewritesAndReadsOfOneFileStayWhole) {
  const std::string path = "iButton:\\SHR\\S.1";
  ASSERT_EQ(write(path, racetest::record_of(0)), 1);
  racetest::RaceResult r = racetest::whole_file_race(
      3, 3, 10, [&](const std::string& data) { return write(path, data) == 1; },
      [&] { return read(path); });
  EXPECT_EQ(r.failed_writes, 0);
  EXPECT_EQ(r.failed_reads, 0);
  EXPECT_TRUE(r.bad_reads.empty()) << r.bad_reads.front().size() << " bytes";
  EXPECT_TRUE(racetest::is_record(read(path).value_or("")));
}

}  // namespace
}  // namespace tokentest
