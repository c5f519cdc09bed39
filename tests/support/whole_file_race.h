#pragma once
// Writers rewrite one file with records of their own while readers read it, all at once: every
// write must succeed, and every read must give one writer's whole record, never a missing,
// empty, short or mixed file. Writer w's record is (40 + 37 w) times the letter 'a' + w.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace racetest {

inline std::string record_of(int writer) {
  return std::string(static_cast<std::size_t>(40 + 37 * writer), static_cast<char>('a' + writer));
}

inline bool is_record(const std::string& s) {
  if (s.empty() || s[0] < 'a' || s[0] > 'z') return false;
  return s == record_of(s[0] - 'a');
}

struct RaceResult {
  int failed_writes = 0;
  int failed_reads = 0;
  std::vector<std::string> bad_reads;  // the first few
};

// write(data) returns whether the whole record was written; read() the file's contents. The
// file exists (with writer 0's record) before the race starts.
inline RaceResult whole_file_race(int writers, int readers, int rounds,
                                  const std::function<bool(const std::string&)>& write,
                                  const std::function<std::optional<std::string>()>& read) {
  RaceResult r;
  std::atomic<int> failed_writes{0}, failed_reads{0};
  std::mutex bad_lock;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < rounds; ++i)
        if (!write(record_of(w))) ++failed_writes;
    });
  }
  for (int k = 0; k < readers; ++k) {
    threads.emplace_back([&] {
      for (int i = 0; i < rounds; ++i) {
        std::optional<std::string> s = read();
        if (!s) {
          ++failed_reads;
        } else if (!is_record(*s)) {
          std::lock_guard<std::mutex> g(bad_lock);
          if (r.bad_reads.size() < 3) r.bad_reads.push_back(*s);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  r.failed_writes = failed_writes;
  r.failed_reads = failed_reads;
  return r;
}

}  // namespace racetest
