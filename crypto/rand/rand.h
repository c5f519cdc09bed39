#pragma once
// Random bytes. Every random byte the library uses is drawn through RAND_bytes, which asks the
// one current generator method: the GOST generator (crypto/rand/grand.h) or a hardware random
// board (crypto/rand/boards.h). All of it runs under the random-generator lock (17), which the
// holding thread may take again.
//
// Buffered mode (on at library initialisation, switched off by the key-store start-up) draws
// the method's output in blocks of 2,500 bytes, runs the FIPS 140-2 statistical test on each
// block before handing any of it out, and wipes what it hands out.

#include "crypto/status.h"

namespace jarnel {

// A generator method: a static table, identified by its address. Any entry may be null.
struct RAND_METHOD {
  // Feeds a seed; may overwrite buf (the GOST generator does). Nonzero on success.
  int (*seed)(unsigned char* buf, int num);
  // Writes num bytes; returns the number written.
  int (*bytes)(unsigned char* buf, int num);
  // Releases the method's state. Nonzero on success.
  int (*cleanup)();
  // Method-specific start: an output buffer or null, and a parameter record. Nonzero on success.
  int (*init)(unsigned char* out, void* param);
  // Fills a method-specific information record. Nonzero on success.
  int (*info)(void* info);
};

// Error codes of the RAND library (69). Functions 107..121 are reported under the PSE
// library (74) by the GOST generator and the board methods.
inline constexpr int RAND_F_RAND_CLEANUP = 100, RAND_F_RAND_BYTES = 101, RAND_F_RAND_SEED = 102,
                     RAND_F_RAND_INIT = 103, RAND_F_RAND_LOAD_FILE = 104,
                     RAND_F_RAND_WRITE_FILE = 105, RAND_F_RAND_INFO = 106,
                     RAND_F_GRAND_RAND_INIT = 107, RAND_F_GRAND_RAND_BYTES = 108,
                     RAND_F_GRAND_PRF = 109, RAND_F_GRAND_GAMMA_RAND_SEED = 110,
                     RAND_F_GRAND_GAMMA_RAND_INIT = 111, RAND_F_CRYPTON_RAND_BYTES = 112,
                     RAND_F_CRYPTON_RAND_INIT = 113, RAND_F_CRYPTON_RAND_INFO = 114,
                     RAND_F_ACCORD_RAND_BYTES = 115, RAND_F_ACCORD_RAND_INIT = 116,
                     RAND_F_ACCORD_RAND_INFO = 117, RAND_F_SABLE_RAND_BYTES = 118,
                     RAND_F_SABLE_RAND_INIT = 119, RAND_F_SABLE_RAND_INFO = 120,
                     RAND_F_RAND_OPERATIONAL_CHECK = 121;
inline constexpr int RAND_R_METHOD_NOT_SET = 100, RAND_R_FIFO_REQUIRED = 101,
                     RAND_R_OPERATIONAL_CHECK_FAILED = 102;

// Values given to ERR_set_status beside the queue entries.
inline constexpr unsigned RAND_STATUS_NOT_READY = STATUS_RAND_NOT_READY,
                          RAND_STATUS_GENERATOR_FAILED = STATUS_RAND_FAILED,
                          RAND_STATUS_USER_ABORT = STATUS_USER_ABORT;

// Size of the buffered-mode block, and how many blocks in a row may fail the test.
inline constexpr int RAND_BUFFER_BYTES = 2500;
inline constexpr int RAND_MAX_FAILED_BLOCKS = 10;

// Selects a method (null: none). A different method than the current one first runs
// RAND_cleanup. The output buffer is emptied and the operational check is due again.
void RAND_set_method(const RAND_METHOD* meth);
const RAND_METHOD* RAND_get_method();
void RAND_set_buffered_mode(int on);
int RAND_get_buffered_mode();

// 1 on success; 0 with "method not set" without a method, or when the method's seed fails.
int RAND_seed(unsigned char* buf, int num);
// Calls the method's init entry; 1 when it succeeded, 0 otherwise (also without an init entry).
int RAND_init(unsigned char* out, void* param);
// Runs the method's cleanup entry; unless that fails, no method is selected afterwards and the
// output buffer is emptied. 1 when a method was released, 0 otherwise.
int RAND_cleanup();

// Writes num random bytes to buf and returns how many it wrote: anything but num is a failure
// (the error queue and the status say why). Without a method: 0, status 4, "method not set".
// Unbuffered, the method either delivers num bytes or fails with 0. Buffered, a refill that
// fails (a short answer, or ten blocks in a row failing the statistical test) ends the call
// with the count delivered so far, and a request of 0 bytes gives 0.
int RAND_bytes(unsigned char* buf, int num);

// Draws num bytes from the current method the way a hardware board is trusted: through
// RAND_bytes in blocks of RAND_BUFFER_BYTES, each of which must pass the statistical test
// before any of its bytes is handed out (whatever the buffered mode). A block that fails is
// wiped and another drawn; after RAND_MAX_FAILED_BLOCKS failures in a row the draw fails with
// status 6 and (RAND, RAND_operational_check, "operational check failed"), and *failed_test
// (when given) becomes true. num on success, 0 on any failure (buf is then zeroed).
int RAND_bytes_tested(unsigned char* buf, int num, bool* failed_test = nullptr);

// Accepts every method (a real check may refuse one: status 4, "operational check failed").
int RAND_operational_check(const RAND_METHOD* meth);

// FIPS 140-2 statistical test of one block of RAND_BUFFER_BYTES bytes (20,000 bits, each byte
// least significant bit first). 1 when the block passes all four tests. With diag set, progress
// lines go to the standard output.
int RAND_statistical_test(const unsigned char* block, int diag);

// The figures behind the verdict.
struct RAND_TEST_REPORT {
  long ones;              // test 1: one bits
  long poker100;          // test 2: 100 * X, integer arithmetic
  long runs[2][27];       // test 3: runs[bit][len], len 1..26; [6] counts every run of 6 or more
  int monobit_ok, poker_ok, runs_ok, long_run_ok;
};
// As RAND_statistical_test, and fills report when it is not null.
int RAND_statistical_test_ex(const unsigned char* block, int diag, RAND_TEST_REPORT* report);

}  // namespace jarnel
