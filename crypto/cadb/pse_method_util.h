#pragma once
// Pieces the container methods (files and PKCS#11 objects) share.
#include "crypto/cadb/pse_ctx.h"

namespace jarnel {

// Brackets a read or write of the random-state item with notify 13 and 14.
class RandNotify {
 public:
  explicit RandNotify(const PSE_CTX* ctx) : ctx_(ctx) {
    if (ctx_->notify) ctx_->notify(PSE_NOTIFY_RAND_BEGIN, ctx_->callback_data);
  }
  ~RandNotify() {
    if (ctx_->notify) ctx_->notify(PSE_NOTIFY_RAND_END, ctx_->callback_data);
  }
  RandNotify(const RandNotify&) = delete;
  RandNotify& operator=(const RandNotify&) = delete;

 private:
  const PSE_CTX* ctx_;
};

}  // namespace jarnel
