#include "crypto/bio/driver_stub.h"

#include "crypto/err/err.h"

namespace jarnel {

long token_stub_ctrl(BIO* /*b*/, int cmd, long, void*) {
  if (cmd == BIO_C_SET_FILENAME) JARNEL_ERR(LIB_BIO, BIO_F_BIO_CTRL, BIO_R_UNSUPPORTED_METHOD);
  return 0;
}

int token_stub_create(BIO* b) {
  b->init = 0;
  b->num = 0;
  b->ptr = nullptr;
  return 1;
}

int token_stub_destroy(BIO* b) { return b ? 1 : 0; }

}  // namespace jarnel
