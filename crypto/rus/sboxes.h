#pragma once
// Built-in S-boxes and their shared expanded tables (internal to crypto/rus).
#include <atomic>
#include <cstring>

#include "crypto/rus/gost89.h"

namespace jarnel::gost89 {

// The seven built-in S-boxes with a shared table, in this order.
enum SharedIndex {
  kDefaultCipherIndex = 0,
  kDefaultHashIndex = 1,
  kHashCryptoProIndex = 2,
  kCryptoProAIndex = 3,
  kCryptoProBIndex = 4,
  kCryptoProCIndex = 5,
  kCryptoProDIndex = 6,
  kSharedCount = 7
};

// One shared expanded table: the table, a pointer to it and the ready flag. The integrity check
// hashes the whole record.
struct SharedTable {
  GOSTE_TABLE table;
  const GOSTE_TABLE* self;
  std::atomic<int> ready;
};

const unsigned char* packed(int index);
const unsigned char* packed_hash_test();
const unsigned char* packed_tc26_z();
void expand(const unsigned char* sbox, GOSTE_TABLE* out);
// Index of a built-in S-box equal byte for byte, or -1.
int shared_index(const unsigned char* sbox);
// The shared table of a built-in S-box, built on first use under lock 29.
const GOSTE_TABLE* shared_table(int index);
SharedTable* shared_record(int index);

}  // namespace jarnel::gost89
