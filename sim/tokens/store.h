#pragma once
// The token model both smart-token simulators share, and its persistence.
//
// A simulated library owns a folder, $JARNEL_SIM_DIR/<kind> ("rutoken", "etoken", "ibutton" or
// "etr2"), holding one
// text file "state": the readers (by name), whether a token is in each, the token's PIN, retry
// counter and insertion count, its tree of directories and files, how many times each vendor
// call was made and the faults armed for later calls. Every vendor call and every jarnel-sim
// command locks the folder (flock), reads the file, acts and writes it back, so a test, the
// command line and a JVM in other processes see the same tokens. Without JARNEL_SIM_DIR the
// state lives in the process only.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// One directory or file. Keys of Token::nodes are identifier paths below the root: groups of
// four lower-case hex digits joined by '/' ("" is the root itself).
struct Node {
  bool directory = false;
  bool is_private = false;
  std::vector<std::uint8_t> data;  // a file's bytes; its size is fixed at creation
};

struct Token {
  std::string reader;
  bool present = false;
  std::string pin;
  int retries = 0;           // PIN attempts left; 0 = locked
  std::uint32_t insertion = 0;  // counts insertions: handles of an earlier one are dead
  std::map<std::string, Node> nodes;
};

struct Fault {
  long at;              // the call number (since the reset) that fails
  std::uint32_t code;
};

struct State {
  std::vector<Token> tokens;
  // The TMEX simulator's ports with an adapter ("COM1", "LPT2"), and how many session starts
  // from now answer "busy".
  std::vector<std::string> adapters;
  long busy = 0;
  std::map<std::string, long> calls;
  std::map<std::string, std::vector<Fault>> faults;

  Token* find(const std::string& reader);
  // Counts a call of name; the armed fault's code when this call is to fail, else 0.
  std::uint32_t call(const std::string& name);
};

// What tells the two simulated libraries apart.
struct Kind {
  const char* folder;            // sub-folder of JARNEL_SIM_DIR
  std::uint16_t status_high;     // high half of the token's own statuses
  std::uint16_t root_id;         // identifier the root directory is opened with
  const char* root_label;        // how dump names the root
  const char* default_pin;
  int max_retries;
};

extern const Kind RUTOKEN;
extern const Kind ETOKEN;
// The TMEX ("ibfs32.dll") and legacy eToken ("drumvex.dll") simulators keep their own trees in
// the same model: a Token per port or reader, nodes keyed by their path on the device.
extern const Kind IBUTTON;
extern const Kind ETR2;

// Runs f on the state under the folder's lock and writes it back afterwards.
class Store {
 public:
  explicit Store(const Kind& kind) : kind_(kind) {}
  template <class F>
  auto with(F&& f) {
    std::lock_guard<std::mutex> g(mu_);
    Session s(*this);
    return f(s.state);
  }
  const Kind& kind() const { return kind_; }

 private:
  struct Session {
    explicit Session(Store& store);
    ~Session();
    Store& store;
    State state;
    int lock_fd = -1;
  };
  const Kind& kind_;
  std::mutex mu_;
  State memory_;  // without JARNEL_SIM_DIR
};

// Text form of the state (the "state" file).
std::string serialize(const State& s);
State parse(const std::string& text);

}  // namespace sim
