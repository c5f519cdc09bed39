#pragma once
// The stream object through which every carrier file is read and written, and the driver
// contract: one BIO_METHOD per carrier kind, one BIO per open file.
//
// This is the library's own BIO, shaped like the base library's (same field order, command
// numbers, call-back operations and result conventions) with the one added field `length`.
// OpenSSL 3's BIO is opaque and its BIO_free ignores the driver's destroy result, which here
// carries whether a carrier accepted written data, so the library keeps its own object. Where
// OpenSSL needs a stream (parsers), hand it an OpenSSL memory BIO over the bytes.
//
// Do not include <openssl/bio.h> in the same file: its function-like macros
// (BIO_should_retry and friends) share names with the base library's. The numeric constants
// below have the base library's values and are only defined where it has not defined them.
#include <cstdint>

namespace jarnel {

struct BIO;

// The nine slots, in this order.
struct BIO_METHOD {
  int type;
  const char* name;
  int (*bwrite)(BIO* b, const char* data, int len);
  int (*bread)(BIO* b, char* out, int len);
  int (*bputs)(BIO* b, const char* str);
  int (*bgets)(BIO* b, char* buf, int size);
  long (*ctrl)(BIO* b, int cmd, long num, void* ptr);
  int (*create)(BIO* b);
  int (*destroy)(BIO* b);
};

// Optional call-back around each operation: called before with ret 1 (a result <= 0 stops the
// operation and is returned) and after with oper | BIO_CB_RETURN and the operation's result,
// which it may replace.
using BIO_callback_fn = long (*)(BIO* b, int oper, const char* argp, int argi, long argl, long ret);

inline constexpr int BIO_EX_DATA_SLOTS = 4;

struct BIO {
  const BIO_METHOD* method;
  BIO_callback_fn callback;
  char* cb_arg;
  int init;
  int shutdown;
  int flags;
  int retry_reason;
  int num;
  void* ptr;
  BIO* next_bio;
  BIO* prev_bio;
  int references;
  unsigned long num_read;
  unsigned long num_write;
  // Size of the open file as the driver knows it; -1 = unknown. A driver that opens a file
  // for reading sets it before its open command returns.
  std::int32_t length;
  // Index 0 carries the opener's TOKEN_OPEN_PARAMS during the open command only.
  void* ex_data[BIO_EX_DATA_SLOTS];
};

// BIO function numbers (library 32).
inline constexpr int BIO_F_BIO_CTRL = 103, BIO_F_BIO_GETS = 104, BIO_F_BIO_NEW = 108,
                     BIO_F_BIO_PUTS = 110, BIO_F_BIO_READ = 111, BIO_F_BIO_WRITE = 113,
                     BIO_F_FILE_CTRL = 118, BIO_F_MEM_WRITE = 119;
// BIO reasons.
inline constexpr int BIO_R_BAD_FOPEN_MODE = 101, BIO_R_NULL_PARAMETER = 118,
                     BIO_R_UNINITIALIZED = 123, BIO_R_UNSUPPORTED_METHOD = 124;

// Core functions. Read, write, puts, gets and ctrl refuse a BIO whose method lacks the slot
// ((32, f, 124), -2); all but ctrl also refuse a BIO that is not open ((32, f, 123), -2).
BIO* BIO_new(const BIO_METHOD* method);
// Drops a reference under lock 19; at zero, calls destroy and frees the object. Returns the
// destroy slot's result (1 without one), 1 while references remain, 0 for null.
int BIO_free(BIO* b);
void BIO_free_all(BIO* b);
int BIO_up_ref(BIO* b);
int BIO_read(BIO* b, void* out, int len);
int BIO_write(BIO* b, const void* data, int len);
int BIO_puts(BIO* b, const char* str);
int BIO_gets(BIO* b, char* buf, int size);
long BIO_ctrl(BIO* b, int cmd, long num, void* ptr);
BIO* BIO_push(BIO* b, BIO* append);
BIO* BIO_pop(BIO* b);
BIO* BIO_find_type(BIO* b, int type);
int BIO_set_ex_data(BIO* b, int idx, void* data);
void* BIO_get_ex_data(BIO* b, int idx);
void BIO_set_callback(BIO* b, BIO_callback_fn cb);
void BIO_set_callback_arg(BIO* b, char* arg);
const char* BIO_method_name(const BIO* b);
int BIO_method_type(const BIO* b);

// Retry flags.
inline void bio_set_flags(BIO* b, int f) { b->flags |= f; }
inline void bio_clear_flags(BIO* b, int f) { b->flags &= ~f; }
inline int bio_test_flags(const BIO* b, int f) { return b->flags & f; }

// The memory driver "memory buffer".
const BIO_METHOD* BIO_s_mem();
// A memory BIO holding a copy of len bytes; null when memory is short.
BIO* BIO_new_mem_copy(const void* data, int len);

}  // namespace jarnel

#ifndef BIO_TYPE_MEM
#define BIO_TYPE_MEM 0x0401
#endif
#ifndef BIO_TYPE_FILE
#define BIO_TYPE_FILE 0x0402
#endif
#ifndef BIO_NOCLOSE
#define BIO_NOCLOSE 0x00
#define BIO_CLOSE 0x01
#endif
#ifndef BIO_FP_READ
#define BIO_FP_READ 0x02
#define BIO_FP_WRITE 0x04
#define BIO_FP_APPEND 0x08
#define BIO_FP_TEXT 0x10
#endif
#ifndef BIO_FLAGS_READ
#define BIO_FLAGS_READ 0x01
#define BIO_FLAGS_WRITE 0x02
#define BIO_FLAGS_IO_SPECIAL 0x04
#define BIO_FLAGS_RWS (BIO_FLAGS_READ | BIO_FLAGS_WRITE | BIO_FLAGS_IO_SPECIAL)
#define BIO_FLAGS_SHOULD_RETRY 0x08
#endif
#ifndef BIO_CB_FREE
#define BIO_CB_FREE 0x01
#define BIO_CB_READ 0x02
#define BIO_CB_WRITE 0x03
#define BIO_CB_PUTS 0x04
#define BIO_CB_GETS 0x05
#define BIO_CB_CTRL 0x06
#define BIO_CB_RETURN 0x80
#endif
#ifndef BIO_CTRL_RESET
#define BIO_CTRL_RESET 1
#define BIO_CTRL_EOF 2
#define BIO_CTRL_INFO 3
#define BIO_CTRL_GET_CLOSE 8
#define BIO_CTRL_SET_CLOSE 9
#define BIO_CTRL_PENDING 10
#define BIO_CTRL_FLUSH 11
#define BIO_CTRL_DUP 12
#define BIO_CTRL_WPENDING 13
#endif
#ifndef BIO_C_SET_FILE_PTR
#define BIO_C_SET_FILE_PTR 106
#define BIO_C_GET_FILE_PTR 107
#define BIO_C_SET_FILENAME 108
#define BIO_C_SET_BUF_MEM 114
#define BIO_C_GET_BUF_MEM_PTR 115
#define BIO_C_FILE_SEEK 128
#define BIO_C_SET_BUF_MEM_EOF_RETURN 130
#define BIO_C_FILE_TELL 133
#endif
