#include <cstring>

#include "crypto/bio/token.h"
#include "crypto/cadb/carrier.h"

namespace jarnel {

const BIO_METHOD* token_method_for_path(const char* path) {
  return CARRIER_for_path(path)->bio_method();
}

int token_open_mode(const char* mode) {
  if (!mode) return 0;
  static const struct {
    const char* mode;
    int number;
  } table[] = {{"r", 3},   {"rb", 3},  {"w", 5},   {"wb", 5},  {"r+", 7},
               {"rb+", 7}, {"r+b", 7}, {"wb+", 7}, {"w+b", 7}};
  for (const auto& row : table)
    if (std::strcmp(mode, row.mode) == 0) return row.number;
  return 0;
}

BIO* BIO_new_token_file(const char* path, const char* mode, std::uint32_t flags, void* arg) {
  // The mode is checked before the driver is created, so a bad mode touches no carrier.
  int number = token_open_mode(mode);
  if (number == 0) return nullptr;
  BIO* b = BIO_new(token_method_for_path(path));
  if (!b) return nullptr;
  TOKEN_OPEN_PARAMS params{flags, arg};
  BIO_set_ex_data(b, TOKEN_OPEN_PARAMS_INDEX, &params);
  long ok = BIO_ctrl(b, BIO_C_SET_FILENAME, number, const_cast<char*>(path));
  BIO_set_ex_data(b, TOKEN_OPEN_PARAMS_INDEX, nullptr);
  if (ok <= 0) {
    BIO_free(b);
    return nullptr;
  }
  return b;
}

int token_file_create(BIO* b) {
  b->init = 0;
  b->num = 0;
  b->ptr = nullptr;
  return 1;
}

}  // namespace jarnel
