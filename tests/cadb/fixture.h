#pragma once
// Shared pieces of the file-layer tests: a temporary folder per test, the error queue as
// records, and file helpers that use the standard library only.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/startup.h"

namespace cadbtest {

namespace fs = std::filesystem;

struct ErrorRecord {
  int lib, func, reason;
  std::string file;
  int line;
  std::string data;
};

// Empties the calling thread's queue into records, oldest first.
inline std::vector<ErrorRecord> drain() {
  std::vector<ErrorRecord> out;
  const char* file;
  const char* data;
  int line, flags;
  unsigned long e;
  while ((e = jarnel::ERR_get_error_line_data(&file, &line, &data, &flags)) != 0) {
    out.push_back({jarnel::ERR_get_lib(e), jarnel::ERR_get_func(e), jarnel::ERR_get_reason(e),
                   file ? file : "", line, (flags & jarnel::ERR_TXT_STRING) && data ? data : ""});
  }
  return out;
}

// The (lib, func, reason, line) of each record, for compact comparisons.
inline std::vector<std::vector<int>> codes(const std::vector<ErrorRecord>& records) {
  std::vector<std::vector<int>> out;
  for (const auto& r : records) out.push_back({r.lib, r.func, r.reason, r.line});
  return out;
}

inline void write_bytes(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_bytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class TempDirTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { jarnel::CADB_startup(); }
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("jarnel-cadb-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(dir_);
    jarnel::ERR_clear_error();
    jarnel::ERR_set_token_error(0, 0);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
    jarnel::ERR_clear_error();
  }
  // The path of name inside the test's folder.
  std::string at(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

}  // namespace cadbtest
