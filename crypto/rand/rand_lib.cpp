// The method layer: the one current generator method, buffered mode with its statistical test,
// and the RAND library's error texts.
#include <cstdio>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/hand_out.h"
#include "crypto/rand/rand.h"
#include "platform/thread.h"

namespace jarnel {
namespace {

// Process-wide state, guarded by lock 17.
struct OutputBuffer {
  unsigned char data[RAND_BUFFER_BYTES];
  int pos;     // read position
  int unread;  // bytes not yet handed out
};

const RAND_METHOD* g_method = nullptr;
bool g_check_passed = false;
int g_buffered = 1;
OutputBuffer g_out;

// The process that selected the current method. A child made by fork() inherits the method's
// state and the output buffer; drawing on in both would give both the same bytes.
unsigned long g_owner = 0;

void clear_output() { mem_cleanse(&g_out, sizeof g_out); }

// In a process other than the one that selected it, the current method is dropped: the output
// buffer and the GOST generator's state are wiped (the child must seed a generator of its own)
// and no method is left selected. A board's driver state is left to the board's library: its
// release belongs to the process that opened it. True when something was dropped. Lock 17 held.
bool drop_inherited() {
  if (!g_method || g_owner == platform::process_id()) return false;
  if (g_method == GRAND_get_method() && g_method->cleanup) g_method->cleanup();
  g_method = nullptr;
  g_check_passed = false;
  clear_output();
  return true;
}

// The long-run class: runs of 26 bits or more are counted here.
constexpr int kLongRun = 26;

ERR_STRING_DATA g_rand_strings[] = {
    {ERR_pack(0, RAND_F_RAND_CLEANUP, 0), "RAND_cleanup"},
    {ERR_pack(0, RAND_F_RAND_BYTES, 0), "RAND_bytes"},
    {ERR_pack(0, RAND_F_RAND_SEED, 0), "RAND_seed"},
    {ERR_pack(0, RAND_F_RAND_INIT, 0), "RAND_init"},
    {ERR_pack(0, RAND_F_RAND_LOAD_FILE, 0), "RAND_load_file"},
    {ERR_pack(0, RAND_F_RAND_WRITE_FILE, 0), "RAND_write_file"},
    {ERR_pack(0, RAND_F_RAND_INFO, 0), "RAND_info"},
    {ERR_pack(0, RAND_F_GRAND_RAND_INIT, 0), "GRAND_rand_init"},
    {ERR_pack(0, RAND_F_GRAND_RAND_BYTES, 0), "GRAND_rand_bytes"},
    {ERR_pack(0, RAND_F_GRAND_PRF, 0), "GRAND_prf"},
    {ERR_pack(0, RAND_F_GRAND_GAMMA_RAND_SEED, 0), "GRAND_gamma_rand_seed"},
    {ERR_pack(0, RAND_F_GRAND_GAMMA_RAND_INIT, 0), "GRAND_gamma_rand_init"},
    {ERR_pack(0, RAND_F_CRYPTON_RAND_BYTES, 0), "CRYPTON_rand_bytes"},
    {ERR_pack(0, RAND_F_CRYPTON_RAND_INIT, 0), "CRYPTON_rand_init"},
    {ERR_pack(0, RAND_F_CRYPTON_RAND_INFO, 0), "CRYPTON_rand_info"},
    {ERR_pack(0, RAND_F_ACCORD_RAND_BYTES, 0), "ACCORD_rand_bytes"},
    {ERR_pack(0, RAND_F_ACCORD_RAND_INIT, 0), "ACCORD_rand_init"},
    {ERR_pack(0, RAND_F_ACCORD_RAND_INFO, 0), "ACCORD_rand_info"},
    {ERR_pack(0, RAND_F_SABLE_RAND_BYTES, 0), "SABLE_rand_bytes"},
    {ERR_pack(0, RAND_F_SABLE_RAND_INIT, 0), "SABLE_rand_init"},
    {ERR_pack(0, RAND_F_SABLE_RAND_INFO, 0), "SABLE_rand_info"},
    {ERR_pack(0, RAND_F_RAND_OPERATIONAL_CHECK, 0), "RAND_operational_check"},
    {ERR_pack(0, 0, RAND_R_METHOD_NOT_SET), "method not set"},
    {ERR_pack(0, 0, RAND_R_FIFO_REQUIRED), "FIFO required"},
    {ERR_pack(0, 0, RAND_R_OPERATIONAL_CHECK_FAILED), "operational check failed"},
    {0, nullptr}};

// Strictly inside (lo, hi).
constexpr bool inside(long v, long lo, long hi) { return lo < v && v < hi; }

struct RunBounds {
  long lo, hi;
};
// Run classes 1..5 and 6-or-longer.
constexpr RunBounds kRunBounds[7] = {{0, 0},       {2315, 2685}, {1114, 1386}, {527, 723},
                                     {240, 384},   {103, 209},   {103, 209}};

void count_run(RAND_TEST_REPORT& r, int bit, long len) {
  if (len <= 0) return;
  long cls = len > kLongRun ? kLongRun : len;
  ++r.runs[bit][cls];
  if (len > 6) ++r.runs[bit][6];
}

}  // namespace

void ERR_load_RAND_strings() { ERR_load_strings(LIB_RAND, g_rand_strings); }

// Library initialisation: no method, buffered mode on.
int RAND_startup(int) {
  LockGuard guard(locks::RAND);
  RAND_set_method(nullptr);
  g_buffered = 1;
  return 1;
}

void RAND_set_method(const RAND_METHOD* meth) {
  LockGuard guard(locks::RAND);
  drop_inherited();
  if (meth != g_method) RAND_cleanup();
  g_method = meth;
  g_owner = platform::process_id();
  clear_output();
  g_check_passed = false;
}

const RAND_METHOD* RAND_get_method() {
  LockGuard guard(locks::RAND);
  drop_inherited();
  return g_method;
}

void RAND_set_buffered_mode(int on) {
  LockGuard guard(locks::RAND);
  g_buffered = on;
}

int RAND_get_buffered_mode() {
  LockGuard guard(locks::RAND);
  return g_buffered;
}

int RAND_seed(unsigned char* buf, int num) {
  LockGuard guard(locks::RAND);
  drop_inherited();
  if (!g_method) {
    JARNEL_ERR(LIB_RAND, RAND_F_RAND_SEED, RAND_R_METHOD_NOT_SET);
    return 0;
  }
  if (g_method->seed && !g_method->seed(buf, num)) return 0;
  return 1;
}

int RAND_init(unsigned char* out, void* param) {
  LockGuard guard(locks::RAND);
  drop_inherited();
  if (!g_method) {
    JARNEL_ERR(LIB_RAND, RAND_F_RAND_INIT, RAND_R_METHOD_NOT_SET);
    return 0;
  }
  if (!g_method->init) return 0;
  return g_method->init(out, param) ? 1 : 0;
}

int RAND_cleanup() {
  LockGuard guard(locks::RAND);
  drop_inherited();
  if (g_method && g_method->cleanup && !g_method->cleanup()) return 0;
  int had = g_method != nullptr;
  g_method = nullptr;
  clear_output();
  return had;
}

int RAND_operational_check(const RAND_METHOD*) { return 1; }

int RAND_bytes(unsigned char* buf, int num) {
  LockGuard guard(locks::RAND);
  if (drop_inherited()) {
    // The bytes would repeat the parent's: refused until this process seeds its own generator.
    ERR_set_status(RAND_STATUS_NOT_READY);
    JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, RAND_R_METHOD_NOT_SET);
    ERR_add_error_data(1, "generator inherited from the parent process; seed it again");
    return 0;
  }
  if (!g_method) {
    ERR_set_status(RAND_STATUS_NOT_READY);
    JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, RAND_R_METHOD_NOT_SET);
    return 0;
  }
  if (!g_check_passed) {
    if (!RAND_operational_check(g_method)) {
      ERR_set_status(RAND_STATUS_NOT_READY);
      JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, RAND_R_OPERATIONAL_CHECK_FAILED);
      return 0;
    }
    g_check_passed = true;
  }
  if (!g_method->bytes) return 0;
  if (num < 0 || (num > 0 && !buf)) {
    JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, R_PASSED_NULL_PARAMETER);
    return 0;
  }

  if (!g_buffered) {
    int got = g_method->bytes(buf, num);
    if (got != num) {
      ERR_set_status(RAND_STATUS_GENERATOR_FAILED);
      JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, LIB_RAND);
    }
    return got;
  }

  if (num == 0) return 0;
  int done = 0;
  while (done < num) {
    if (g_out.unread == 0) {
      int failed = 0;
      for (;;) {
        if (g_method->bytes(g_out.data, RAND_BUFFER_BYTES) != RAND_BUFFER_BYTES) {
          clear_output();
          ERR_set_status(RAND_STATUS_GENERATOR_FAILED);
          JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, LIB_RAND);
          return done;
        }
        if (RAND_statistical_test(g_out.data, 0)) break;
        if (++failed == RAND_MAX_FAILED_BLOCKS) {
          clear_output();
          ERR_set_status(RAND_STATUS_GENERATOR_FAILED);
          JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, LIB_RAND);
          return done;
        }
      }
      g_out.unread = RAND_BUFFER_BYTES;
      g_out.pos = 0;
    }
    done += RAND_hand_out(g_out.data, g_out.pos, g_out.unread, buf + done, num - done);
  }
  return num;
}

int RAND_bytes_tested(unsigned char* buf, int num, bool* failed_test) {
  if (failed_test) *failed_test = false;
  if (num < 0 || (num > 0 && !buf)) {
    JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, R_PASSED_NULL_PARAMETER);
    return 0;
  }
  SecureBuffer block(RAND_BUFFER_BYTES);
  if (block.empty()) {
    JARNEL_ERR(LIB_RAND, RAND_F_RAND_BYTES, R_MALLOC_FAILURE);
    return 0;
  }
  int done = 0;
  int failed = 0;
  while (done < num) {
    if (RAND_bytes(block.data(), RAND_BUFFER_BYTES) != RAND_BUFFER_BYTES) break;
    if (!RAND_statistical_test(block.data(), 0)) {
      mem_cleanse(block.data(), block.size());
      if (++failed < RAND_MAX_FAILED_BLOCKS) continue;
      if (failed_test) *failed_test = true;
      ERR_set_status(RAND_STATUS_GENERATOR_FAILED);
      JARNEL_ERR(LIB_RAND, RAND_F_RAND_OPERATIONAL_CHECK, RAND_R_OPERATIONAL_CHECK_FAILED);
      break;
    }
    failed = 0;
    int take = num - done < RAND_BUFFER_BYTES ? num - done : RAND_BUFFER_BYTES;
    std::memcpy(buf + done, block.data(), static_cast<std::size_t>(take));
    done += take;
  }
  if (done < num) {
    mem_cleanse(buf, static_cast<std::size_t>(num));
    return 0;
  }
  return num;
}

int RAND_statistical_test(const unsigned char* block, int diag) {
  return RAND_statistical_test_ex(block, diag, nullptr);
}

int RAND_statistical_test_ex(const unsigned char* block, int diag, RAND_TEST_REPORT* report) {
  RAND_TEST_REPORT r{};
  long poker[16] = {};
  // The run before the first bit is a run of zeros of length 0, so the first bit always
  // starts a fresh run.
  int run_bit = 0;
  long run_len = 0;
  for (int i = 0; i < RAND_BUFFER_BYTES; ++i) {
    unsigned c = block[i];
    ++poker[c & 0x0F];
    ++poker[c >> 4];
    for (int b = 0; b < 8; ++b) {
      int bit = static_cast<int>((c >> b) & 1U);
      r.ones += bit;
      if (bit == run_bit) {
        ++run_len;
      } else {
        count_run(r, run_bit, run_len);
        run_bit = bit;
        run_len = 1;
      }
    }
  }
  count_run(r, run_bit, run_len);

  // Test 1: monobit.
  if (diag) std::printf("test 1, X=%ld\n", r.ones);
  r.monobit_ok = inside(r.ones, 9725, 10275);
  if (!r.monobit_ok && diag) std::printf("test 1 failed, X=%ld\n", r.ones);
  if (diag) std::printf("test 1 done\n");

  // Test 2: poker, in integers: 100 X = 8 * sum(f^2) / 25 - 500000.
  long sum = 0;
  for (long f : poker) sum += f * f;
  r.poker100 = (8 * sum) / 25 - 500000;
  if (diag) std::printf("test 2, X=%ld.%02ld\n", r.poker100 / 100, r.poker100 % 100);
  r.poker_ok = inside(r.poker100, 216, 4617);
  if (!r.poker_ok && diag)
    std::printf("test 2 failed, X=%ld.%02ld\n", r.poker100 / 100, r.poker100 % 100);
  if (diag) std::printf("test 2 done\n");

  // Test 3: runs.
  if (diag)
    for (int bit = 0; bit < 2; ++bit)
      for (int len = 1; len <= kLongRun; ++len)
        std::printf("test 3, bit=%d run=%d num=%ld\n", bit, len, r.runs[bit][len]);
  r.runs_ok = 1;
  for (int bit = 0; bit < 2; ++bit) {
    for (int len = 1; len <= 6; ++len) {
      if (!inside(r.runs[bit][len], kRunBounds[len].lo, kRunBounds[len].hi)) {
        r.runs_ok = 0;
        if (diag)
          std::printf("test 3 failed, bit=%d run=%d num=%ld\n", bit, len, r.runs[bit][len]);
      }
    }
  }
  if (diag) std::printf("test 3 done\n");

  // Test 4: long run.
  r.long_run_ok = 1;
  for (int bit = 0; bit < 2; ++bit) {
    if (r.runs[bit][kLongRun] > 0) {
      r.long_run_ok = 0;
      if (diag)
        std::printf("test 4 failed, bit=%d run=%d num=%ld\n", bit, kLongRun,
                    r.runs[bit][kLongRun]);
    }
  }
  if (diag) std::printf("test 4 done\n");

  if (report) *report = r;
  return r.monobit_ok && r.poker_ok && r.runs_ok && r.long_run_ok;
}

}  // namespace jarnel
