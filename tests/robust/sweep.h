#pragma once
// The sweep itself: one row of the tables in alloc_sweep_test.cpp and records_sweep_test.cpp
// runs untouched, then with allocation N failing for N = 0, 1, 2, ... until a run needs no more
// allocations than it got, and every run must end in success or a clean failure with its
// checks passed and no watched secret found in freed memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "crypto/err/err.h"
#include "tests/support/mem_watch.h"

namespace robust {

using jarnel::ERR_clear_error;
using jarnel::ERR_peek_error;

struct Row {
  const char* name;
  std::function<void()> prepare;
  std::function<bool()> run;
  std::function<void(bool ok)> after;
  mem_watch::Scope scope = mem_watch::Scope::All;
  // Past the first 200 allocations, fail only every (N/8)th: for operations whose allocations
  // repeat one loop body thousands of times (PBKDF2 with 2048 iterations), where each further
  // failure point exercises the same path.
  bool sparse = false;
  // Whether a failure leaves its reason in the error queue. A Java entry point prints and
  // empties the queue before it returns; its run() checks what Java is told instead.
  bool error_queue = true;
};

// Enough for the largest operation here by a wide margin; reaching it is a failure.
constexpr long kLimit = 20000;

// The secrets a row watches (see mem_watch::watch) were not found in freed memory; the row's
// after() has ended the watch, so the hits are read back from the last run.
inline void expect_no_secret_freed(const std::string& when) {
  const auto hits = mem_watch::hits();
  EXPECT_TRUE(hits.empty()) << "a freed block held the " << (hits.empty() ? "" : hits[0]) << " ("
                            << when << ")";
  mem_watch::unwatch();
}

inline void sweep(const Row& row) {
  SCOPED_TRACE(row.name);
  // One untouched run first, so that one-time set-up (OpenSSL's and the library's lazily made
  // tables) is not what the sweep measures.
  row.prepare();
  ASSERT_TRUE(row.run()) << "the operation fails without any allocation failure";
  row.after(true);
  expect_no_secret_freed("the untouched run");
  ERR_clear_error();
  for (long n = 0; n < kLimit; n += row.sparse && n >= 200 ? std::max(1L, n / 8) : 1) {
    row.prepare();
    ERR_clear_error();
    bool ok = false, fired = false;
    {
      mem_watch::FailAt fail(n, row.scope);
      ok = row.run();
      fired = fail.fired();
    }
    if (!ok) {
      EXPECT_TRUE(fired) << "failed at allocation " << n << " without running out of memory";
      if (row.error_queue) {
        EXPECT_NE(ERR_peek_error(), 0u) << "failure without an error at allocation " << n;
      }
    }
    row.after(ok);
    expect_no_secret_freed("allocation " + std::to_string(n) + " failing");
    ERR_clear_error();
    if (!fired) {
      EXPECT_TRUE(ok);
      std::printf("  %-34s %6ld allocations%s\n", row.name, n,
                  row.sparse ? " (the first 200 and then a sample failed)" : ", each failed once");
      return;
    }
    if (::testing::Test::HasFailure()) return;  // one report per operation is enough
  }
  ADD_FAILURE() << "still failing at allocation " << kLimit;
}

}  // namespace robust
