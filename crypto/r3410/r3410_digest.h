#pragma once
// The hash behind the parameter-table integrity check: GOST R 34.11-94 with the default hash
// S-box and a zero start value.
#include "crypto/rus/gosth.h"

namespace jarnel::r3410 {

class TablesDigest {
 public:
  TablesDigest() : ctx_(GOSTH_new()) {}
  ~TablesDigest() { GOSTH_free(ctx_); }
  TablesDigest(const TablesDigest&) = delete;
  TablesDigest& operator=(const TablesDigest&) = delete;
  bool begin() { return ctx_ && GOSTH_init(ctx_, nullptr, nullptr) == 1; }
  bool update(const unsigned char* p, int n) { return GOSTH_update(ctx_, p, n) == n; }
  bool finish(unsigned char out[32]) { return GOSTH_final(ctx_, out) == GOSTH_DIGEST_BYTES; }

 private:
  GOSTH_CTX* ctx_;
};

}  // namespace jarnel::r3410
