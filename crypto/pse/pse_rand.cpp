// Seed persistence in the key container and hardware probing, plus the random generator's
// steps of the key-store start-up and shut-down.
#include "crypto/pse/pse_rand.h"

#include <cstring>

#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/rand/boards.h"
#include "crypto/rand/grand.h"

namespace jarnel {
namespace {

constexpr unsigned char kDefaultDevices[] = {PSE_RAND_DEVICE_CRYPTON, PSE_RAND_DEVICE_ACCORD,
                                             PSE_RAND_DEVICE_SABLE, 0};

bool method_selected() { return RAND_get_method() != nullptr; }

// Leaves no method selected.
void deselect() {
  if (method_selected()) RAND_cleanup();
  RAND_set_method(nullptr);
}

}  // namespace

int PSE_rand_is_ready() {
  if (method_selected()) return 1;
  ERR_set_status(RAND_STATUS_NOT_READY);
  return 0;
}

void PSE_rand_cleanup() {
  LockGuard guard(locks::RAND);
  if (method_selected()) {
    RAND_cleanup();
    RAND_set_method(nullptr);
  }
}

int PSE_rand_init(PSE* pse, unsigned char* record36, int* stored_len, RAND_KEY_CALLBACK cb,
                  void* arg) {
  if (stored_len) *stored_len = 0;
  if (PSE_rand_is_ready()) return 1;

  LockGuard guard(locks::RAND);
  // Another thread may have brought a generator up while this one waited for the lock.
  if (method_selected()) return 1;
  SecureBuffer seed(PSE_KEY_BYTES);
  bool ok = !seed.empty();
  if (ok) {
    RAND_set_method(GRAND_get_method());
    if (pse && record36 && PSE_read_opaque(pse, record36, seed.data())) {
      ok = RAND_seed(seed.data(), PSE_KEY_BYTES) != 0;
    } else if (!cb) {
      JARNEL_ERR(LIB_PSE, PSE_F_PSE_RAND_INIT, R_INTERNAL_ERROR);
      ok = false;
    } else {
      // The record could not be used: its errors are dropped and the user types the seed.
      ERR_remove_state(0);
      RAND_KEY_CB_PAIR pair{cb, arg};
      ok = RAND_init(seed.data(), &pair) != 0;
    }
  }
  // The record is replaced by the generator's first output, never by the seed it held. The
  // stored length tells the caller that there is a new record to write back, so it is only set
  // when one was made.
  bool rewrite = ok && pse && record36 && stored_len;
  if (rewrite) ok = PSE_write_opaque(pse, seed.data(), record36) != nullptr;
  if (!ok) {
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_RAND_INIT, LIB_PSE);
    deselect();
    return 0;
  }
  if (rewrite) *stored_len = PSE_RAND_RECORD_BYTES;
  return 1;
}

int PSE_rand_save_state(PSE* pse, unsigned char* out36) {
  SecureBuffer fresh(PSE_KEY_BYTES);
  bool ok = pse && out36 && !fresh.empty() &&
            RAND_bytes(fresh.data(), PSE_KEY_BYTES) == PSE_KEY_BYTES &&
            PSE_write_opaque(pse, fresh.data(), out36) != nullptr;
  if (!ok) {
    JARNEL_ERR(LIB_PSE, PSE_F_PSE_RAND_SAVE_STATE, LIB_PSE);
    return 0;
  }
  return 1;
}

int PSE_rand_probe_devices(const unsigned char* list, unsigned char* buf, int count) {
  if (method_selected()) return 1;
  LockGuard guard(locks::RAND);
  if (method_selected()) return 1;
  bool stuck_board = false;
  for (const unsigned char* code = list ? list : kDefaultDevices; *code; ++code) {
    bool ok;
    switch (*code) {
      case PSE_RAND_DEVICE_CRYPTON: {
        CRYPTON_PARAMS params{0, CRYPTON_SERVICE_HARDWARE | CRYPTON_CONTROLLED};
        RAND_set_method(CRYPTON_get_method());
        ok = RAND_init(nullptr, &params) != 0;
        break;
      }
      case PSE_RAND_DEVICE_ACCORD:
        RAND_set_method(ACCORD_get_method());
        ok = RAND_init(nullptr, nullptr) != 0;
        break;
      case PSE_RAND_DEVICE_SABLE:
        RAND_set_method(SABLE_get_method());
        ok = RAND_init(nullptr, nullptr) != 0;
        break;
      default:
        continue;
    }
    // A board is trusted only with output that passes the statistical test: its first block
    // is tested here, and so is every block the bytes for the caller come from.
    bool failed_test = false;
    if (ok) ok = RAND_bytes_tested(buf, count, &failed_test) == count;
    if (!ok) {
      PSE_rand_cleanup();
      ERR_remove_state(0);
      stuck_board = stuck_board || failed_test;
    }
    if (method_selected()) break;
  }
  if (stuck_board) {
    // Absent boards go unmentioned; one that answered with output failing the test does not.
    ERR_set_status(RAND_STATUS_GENERATOR_FAILED);
    JARNEL_ERR(LIB_RAND, RAND_F_RAND_OPERATIONAL_CHECK, RAND_R_OPERATIONAL_CHECK_FAILED);
  }
  if (!method_selected()) {
    deselect();
    return 0;
  }
  return 1;
}

int PSE_rand_seed_from_device(const unsigned char* list) {
  if (method_selected()) return 1;
  LockGuard guard(locks::RAND);
  if (method_selected()) return 1;
  SecureBuffer seed(PSE_KEY_BYTES);
  bool ok = !seed.empty() && PSE_rand_probe_devices(list, seed.data(), PSE_KEY_BYTES);
  if (ok) {
    RAND_cleanup();  // releases the board
    RAND_set_method(GRAND_get_method());
    ok = RAND_seed(seed.data(), PSE_KEY_BYTES) != 0;
  }
  if (!ok) {
    deselect();
    return 0;
  }
  return 1;
}

// Key-store start-up: unbuffered output, and a board seeds the GOST generator when one answers.
int PSE_rand_startup() {
  RAND_set_buffered_mode(0);
  PSE_rand_seed_from_device(nullptr);
  return 1;
}

void PSE_rand_shutdown() { PSE_rand_cleanup(); }

}  // namespace jarnel
