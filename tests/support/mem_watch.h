#pragma once
// A watching allocator for tests, installed in OpenSSL before anything allocates (a constructor
// in mem_watch.cpp) and in the library with install_library() once it has started (start-up
// resets the library's memory functions). It serves two kinds of test:
//
// - Allocation failures: FailAt(n) makes allocation number n (counting from 0, on the calling
//   thread, through the library's and OpenSSL's functions alike, or the library's only) fail, and tells how many were
//   asked for and whether the failure was reached.
// - Wiping: watch(name, secret) makes every block freed afterwards be searched for the secret
//   (its middle 16 bytes, or all of it when shorter, in both byte orders); hits() names the
//   secrets found in freed memory.
//
// Link mem_watch.cpp into a test binary of its own: it replaces OpenSSL's allocator for the
// whole process.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace mem_watch {

// Installs the watching functions as the library's memory functions.
void install_library();

// Which allocations FailAt counts: the library's and OpenSSL's, or the library's only (for
// operations where OpenSSL allocates thousands of times in a loop the sweep has covered
// elsewhere, such as PBKDF2 with many iterations).
enum class Scope { All, Library };

class FailAt {
 public:
  explicit FailAt(long n, Scope scope = Scope::All);
  ~FailAt();
  FailAt(const FailAt&) = delete;
  FailAt& operator=(const FailAt&) = delete;
  // Allocations asked for on this thread since the object was made (the failed one included).
  long allocations() const;
  // Whether allocation n was reached (and so failed).
  bool fired() const;
};

// Searches every block freed from now on for secret (a copy is kept). name labels the hits.
void watch(const std::string& name, std::span<const unsigned char> secret);
// Stops watching and forgets the secrets and the hits.
void unwatch();
// The names of the watched secrets found in freed blocks since watching began, one per block.
std::vector<std::string> hits();

}  // namespace mem_watch
