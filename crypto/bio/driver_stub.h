#pragma once
// Slots of a carrier driver whose carrier support is not built yet: the method exists with its
// name and type, and opening through it fails with a recorded error.
#include "crypto/bio/bio.h"

namespace jarnel {

long token_stub_ctrl(BIO* b, int cmd, long num, void* ptr);
int token_stub_create(BIO* b);
int token_stub_destroy(BIO* b);

}  // namespace jarnel
