#pragma once
// Reader of the test-vector files in tests/data (*.vec), shared by the C++ suites; the shell
// suites read the same files with awk.
//
// Format: "[name]" starts a section; "key = value" lines make up one vector and a blank line
// ends it; lines starting with "#" are comments. A value is the rest of the line after "= "
// (or nothing after "="), taken verbatim.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace jarnel::testdata {

struct Vector {
  std::string section;
  int line = 0;  // line of its first field, for messages
  std::map<std::string, std::string> fields;

  // The field's value; a missing field fails the running test and gives "".
  const std::string& get(const std::string& key) const;
  // The field decoded from hex; a missing field or bad hex fails the running test.
  std::vector<unsigned char> bytes(const std::string& key) const;
};

// All vectors of tests/data/<name>, in file order; those of one section when section is given.
// A missing or malformed file fails the running test and gives what was read.
std::vector<Vector> read_vectors(const std::string& name, const std::string& section = "");

}  // namespace jarnel::testdata
