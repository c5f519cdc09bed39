#include <cstring>

#include "crypto/bio/bio.h"
#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"

namespace jarnel {

namespace {

// Shared shape of read, write, puts and gets: slot and open checks, call-backs, counters.
template <class Call>
int bio_io(BIO* b, bool has_slot, int func, int oper, const char* argp, int argi, Call call,
           unsigned long* counter) {
  if (!b || !b->method || !has_slot) {
    JARNEL_ERR(LIB_BIO, func, BIO_R_UNSUPPORTED_METHOD);
    return -2;
  }
  if (b->callback) {
    long i = b->callback(b, oper, argp, argi, 0L, 1L);
    if (i <= 0) return static_cast<int>(i);
  }
  if (!b->init) {
    JARNEL_ERR(LIB_BIO, func, BIO_R_UNINITIALIZED);
    return -2;
  }
  int ret = call();
  if (counter && ret > 0) *counter += static_cast<unsigned long>(ret);
  if (b->callback) ret = static_cast<int>(b->callback(b, oper | BIO_CB_RETURN, argp, argi, 0L, ret));
  return ret;
}

}  // namespace

BIO* BIO_new(const BIO_METHOD* method) {
  auto* b = static_cast<BIO*>(mem_alloc(sizeof(BIO)));
  if (!b) {
    JARNEL_ERR(LIB_BIO, BIO_F_BIO_NEW, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(b, 0, sizeof *b);
  b->method = method;
  b->shutdown = 1;
  b->references = 1;
  b->length = -1;
  if (method && method->create && !method->create(b)) {
    mem_free(b);
    return nullptr;
  }
  return b;
}

int BIO_free(BIO* b) {
  if (!b) return 0;
  int refs;
  {
    LockGuard guard(locks::BIO);
    refs = --b->references;
  }
  if (refs > 0) return 1;
  if (b->callback) {
    long i = b->callback(b, BIO_CB_FREE, nullptr, 0, 0L, 1L);
    if (i <= 0) return static_cast<int>(i);
  }
  int ret = 1;
  if (b->method && b->method->destroy) ret = b->method->destroy(b);
  mem_free(b);
  return ret;
}

void BIO_free_all(BIO* b) {
  while (b) {
    BIO* next = b->next_bio;
    int refs;
    {
      LockGuard guard(locks::BIO);
      refs = b->references;
    }
    BIO_free(b);
    if (refs > 1) break;  // still used elsewhere: the rest of the chain stays with it
    b = next;
  }
}

int BIO_up_ref(BIO* b) {
  if (!b) return 0;
  LockGuard guard(locks::BIO);
  ++b->references;
  return 1;
}

int BIO_read(BIO* b, void* out, int len) {
  auto* o = static_cast<char*>(out);
  return bio_io(b, b && b->method && b->method->bread, BIO_F_BIO_READ, BIO_CB_READ, o, len,
                [&] { return b->method->bread(b, o, len); }, b ? &b->num_read : nullptr);
}

int BIO_write(BIO* b, const void* data, int len) {
  auto* d = static_cast<const char*>(data);
  return bio_io(b, b && b->method && b->method->bwrite, BIO_F_BIO_WRITE, BIO_CB_WRITE, d, len,
                [&] { return b->method->bwrite(b, d, len); }, b ? &b->num_write : nullptr);
}

int BIO_puts(BIO* b, const char* str) {
  return bio_io(b, b && b->method && b->method->bputs, BIO_F_BIO_PUTS, BIO_CB_PUTS, str, 0,
                [&] { return b->method->bputs(b, str); }, b ? &b->num_write : nullptr);
}

int BIO_gets(BIO* b, char* buf, int size) {
  return bio_io(b, b && b->method && b->method->bgets, BIO_F_BIO_GETS, BIO_CB_GETS, buf, size,
                [&] { return b->method->bgets(b, buf, size); }, nullptr);
}

long BIO_ctrl(BIO* b, int cmd, long num, void* ptr) {
  if (!b) return 0;
  if (!b->method || !b->method->ctrl) {
    JARNEL_ERR(LIB_BIO, BIO_F_BIO_CTRL, BIO_R_UNSUPPORTED_METHOD);
    return -2;
  }
  if (b->callback) {
    long i = b->callback(b, BIO_CB_CTRL, static_cast<const char*>(ptr), cmd, num, 1L);
    if (i <= 0) return i;
  }
  long ret = b->method->ctrl(b, cmd, num, ptr);
  if (b->callback)
    ret = b->callback(b, BIO_CB_CTRL | BIO_CB_RETURN, static_cast<const char*>(ptr), cmd, num, ret);
  return ret;
}

BIO* BIO_push(BIO* b, BIO* append) {
  if (!b) return append;
  BIO* last = b;
  while (last->next_bio) last = last->next_bio;
  last->next_bio = append;
  if (append) append->prev_bio = last;
  return b;
}

BIO* BIO_pop(BIO* b) {
  if (!b) return nullptr;
  BIO* next = b->next_bio;
  if (b->prev_bio) b->prev_bio->next_bio = next;
  if (next) next->prev_bio = b->prev_bio;
  b->next_bio = nullptr;
  b->prev_bio = nullptr;
  return next;
}

BIO* BIO_find_type(BIO* b, int type) {
  for (; b; b = b->next_bio) {
    if (!b->method) continue;
    int mt = b->method->type;
    if (type & 0xff) {
      if (mt == type) return b;
    } else if (mt & type) {
      return b;
    }
  }
  return nullptr;
}

int BIO_set_ex_data(BIO* b, int idx, void* data) {
  if (!b || idx < 0 || idx >= BIO_EX_DATA_SLOTS) return 0;
  b->ex_data[idx] = data;
  return 1;
}

void* BIO_get_ex_data(BIO* b, int idx) {
  if (!b || idx < 0 || idx >= BIO_EX_DATA_SLOTS) return nullptr;
  return b->ex_data[idx];
}

void BIO_set_callback(BIO* b, BIO_callback_fn cb) {
  if (b) b->callback = cb;
}
void BIO_set_callback_arg(BIO* b, char* arg) {
  if (b) b->cb_arg = arg;
}
const char* BIO_method_name(const BIO* b) { return b && b->method ? b->method->name : nullptr; }
int BIO_method_type(const BIO* b) { return b && b->method ? b->method->type : 0; }

}  // namespace jarnel
