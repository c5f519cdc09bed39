// Reader of the test-vector files in tests/data.
#include "tests/support/vec_file.h"

#include <gtest/gtest.h>

#include <fstream>

#ifndef JARNEL_TEST_DATA_DIR
#error "JARNEL_TEST_DATA_DIR must name the tests/data folder"
#endif

namespace jarnel::testdata {

namespace {
const std::string kEmpty;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

const std::string& Vector::get(const std::string& key) const {
  auto it = fields.find(key);
  if (it == fields.end()) {
    ADD_FAILURE() << "vector at line " << line << " [" << section << "] has no " << key;
    return kEmpty;
  }
  return it->second;
}

std::vector<unsigned char> Vector::bytes(const std::string& key) const {
  const std::string& h = get(key);
  std::vector<unsigned char> out;
  if (h.size() % 2) {
    ADD_FAILURE() << "odd hex length in " << key << " at line " << line;
    return out;
  }
  for (std::size_t i = 0; i < h.size(); i += 2) {
    int hi = hex_digit(h[i]), lo = hex_digit(h[i + 1]);
    if (hi < 0 || lo < 0) {
      ADD_FAILURE() << "bad hex in " << key << " at line " << line;
      return {};
    }
    out.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return out;
}

std::vector<Vector> read_vectors(const std::string& name, const std::string& section) {
  const std::string path = std::string(JARNEL_TEST_DATA_DIR) + "/" + name;
  std::ifstream in(path);
  std::vector<Vector> all;
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return all;
  }
  std::string current, text;
  Vector v;
  auto flush = [&] {
    if (!v.fields.empty() && (section.empty() || v.section == section)) all.push_back(v);
    v = Vector{};
  };
  for (int line = 1; std::getline(in, text); ++line) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
      flush();
      continue;
    }
    if (text[0] == '#') continue;
    if (text[0] == '[') {
      flush();
      if (text.back() != ']') ADD_FAILURE() << path << ":" << line << ": bad section line";
      current = text.substr(1, text.size() - 2);
      continue;
    }
    std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
      ADD_FAILURE() << path << ":" << line << ": expected key = value";
      continue;
    }
    std::string key = text.substr(0, eq);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    std::string value = text.substr(eq + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    if (v.fields.empty()) {
      v.section = current;
      v.line = line;
    }
    if (!v.fields.emplace(key, value).second)
      ADD_FAILURE() << path << ":" << line << ": " << key << " given twice in one vector";
  }
  flush();
  if (all.empty()) ADD_FAILURE() << path << ": no vectors" << (section.empty() ? "" : " in [" + section + "]");
  return all;
}

}  // namespace jarnel::testdata
