#include "store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sim {

const Kind RUTOKEN = {"rutoken", 0x8111, 0xF001, "f001", "12345678", 10};
const Kind ETOKEN = {"etoken", 0x8010, 0xF007, "3f00\\e007", "1234567890", 15};
const Kind IBUTTON = {"ibutton", 0, 0, "", "", 0};
const Kind ETR2 = {"etr2", 0, 0, "", "", 0};

Token* State::find(const std::string& reader) {
  for (auto& t : tokens)
    if (t.reader == reader) return &t;
  return nullptr;
}

std::uint32_t State::call(const std::string& name) {
  long n = ++calls[name];
  auto it = faults.find(name);
  if (it == faults.end()) return 0;
  for (auto f = it->second.begin(); f != it->second.end(); ++f) {
    if (f->at == n) {
      std::uint32_t code = f->code;
      it->second.erase(f);
      return code;
    }
  }
  return 0;
}

namespace {

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out.empty() ? "-" : out;
}

std::string unhex(const std::string& text) {
  std::string out;
  if (text == "-") return out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return out;
}

std::string folder(const Kind& kind) {
  const char* dir = std::getenv("JARNEL_SIM_DIR");
  if (!dir || !*dir) return {};
  std::string path = std::string(dir) + "/" + kind.folder;
  ::mkdir(dir, 0700);
  ::mkdir(path.c_str(), 0700);
  return path;
}

}  // namespace

std::string serialize(const State& s) {
  std::ostringstream out;
  for (const auto& t : s.tokens) {
    out << "reader " << t.present << ' ' << t.retries << ' ' << t.insertion << ' ' << hex(t.pin)
        << ' ' << hex(t.reader) << '\n';
    for (const auto& [path, node] : t.nodes)
      out << "node " << (node.directory ? 'D' : 'F') << ' ' << node.is_private << ' '
          << (path.empty() ? "-" : path) << ' '
          << hex(std::string(node.data.begin(), node.data.end())) << '\n';
  }
  for (const auto& a : s.adapters) out << "adapter " << hex(a) << '\n';
  if (s.busy) out << "busy " << s.busy << '\n';
  for (const auto& [name, n] : s.calls) out << "calls " << name << ' ' << n << '\n';
  for (const auto& [name, list] : s.faults)
    for (const auto& f : list) out << "fault " << name << ' ' << f.at << ' ' << f.code << '\n';
  return out.str();
}

State parse(const std::string& text) {
  State s;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string what;
    l >> what;
    if (what == "reader") {
      Token t;
      std::string pin, name;
      l >> t.present >> t.retries >> t.insertion >> pin >> name;
      t.pin = unhex(pin);
      t.reader = unhex(name);
      s.tokens.push_back(std::move(t));
    } else if (what == "node" && !s.tokens.empty()) {
      char kind;
      Node n;
      std::string path, data;
      l >> kind >> n.is_private >> path >> data;
      n.directory = kind == 'D';
      std::string bytes = unhex(data);
      n.data.assign(bytes.begin(), bytes.end());
      s.tokens.back().nodes[path == "-" ? "" : path] = std::move(n);
    } else if (what == "adapter") {
      std::string name;
      l >> name;
      s.adapters.push_back(unhex(name));
    } else if (what == "busy") {
      l >> s.busy;
    } else if (what == "calls") {
      std::string name;
      long n = 0;
      l >> name >> n;
      s.calls[name] = n;
    } else if (what == "fault") {
      std::string name;
      Fault f{};
      l >> name >> f.at >> f.code;
      s.faults[name].push_back(f);
    }
  }
  return s;
}

Store::Session::Session(Store& st) : store(st) {
  std::string dir = folder(store.kind_);
  if (dir.empty()) {
    state = store.memory_;
    return;
  }
  lock_fd = ::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd >= 0) ::flock(lock_fd, LOCK_EX);
  std::ifstream in(dir + "/state", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  state = parse(text.str());
}

Store::Session::~Session() {
  std::string dir = folder(store.kind_);
  if (dir.empty()) {
    store.memory_ = state;
    return;
  }
  std::string tmp = dir + "/state.tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << serialize(state);
  }
  std::rename(tmp.c_str(), (dir + "/state").c_str());
  if (lock_fd >= 0) {
    ::flock(lock_fd, LOCK_UN);
    ::close(lock_fd);
  }
}

}  // namespace sim
