#pragma once
// Where a command writes its result: a file named with --out, or standard output. Every write
// and the close are checked; a file this command created is removed again when the command
// fails, so a half-written result (a key above all) never looks like a good one.
#include <cstddef>
#include <cstdio>

namespace jarnel::tool {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();
  // Opens path (null or "-": standard output). A private file gets owner-only permissions.
  // -1 on success; otherwise the exit status, with the reason printed.
  int open(const char* path, bool private_file = false);
  bool write(const void* p, std::size_t n);
  bool print(const char* text);
  // Closes the file. -1 on success; otherwise the exit status, the reason printed and a file
  // made here removed. Standard output is left to main(), which checks it.
  int close();
  // The command failed for another reason: removes a file made here.
  void abandon();
  const char* name() const { return name_; }
  bool is_stdout() const { return f_ == stdout; }

 private:
  std::FILE* f_ = nullptr;
  const char* path_ = nullptr;
  const char* name_ = "standard output";
  bool created_ = false;
  int errno_ = 0;
};

}  // namespace jarnel::tool
