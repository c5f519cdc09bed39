#pragma once
// The library's error queue: per thread, a ring of 16 packed codes (library << 24 |
// function << 12 | reason) with source file, line and optional text, plus three words the
// system adds: a coarse status number and the carrier vendor's status with its source.
//
// Every failure site records an entry; a Java entry point prints and empties the queue when it
// returns (report_token_errors), so nothing carries over from one call to the next.
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace jarnel {

inline constexpr int ERR_NUM_ERRORS = 16;
inline constexpr int ERR_TXT_MALLOCED = 0x01;
inline constexpr int ERR_TXT_STRING = 0x02;

// Library numbers: the base library's that this system records, then the system's own.
inline constexpr int LIB_NONE = 1, LIB_SYS = 2, LIB_BN = 3, LIB_RSA = 4, LIB_DH = 5, LIB_EVP = 6,
                     LIB_BUF = 7, LIB_OBJ = 8, LIB_PEM = 9, LIB_DSA = 10, LIB_X509 = 11,
                     LIB_ASN1 = 13, LIB_CONF = 14, LIB_CRYPTO = 15, LIB_EC = 16, LIB_BIO = 32,
                     LIB_PKCS7 = 33, LIB_X509V3 = 34, LIB_PKCS12 = 35, LIB_RAND_BASE = 36;
inline constexpr int LIB_R3410 = 65, LIB_CADB = 66, LIB_RAND = 69, LIB_ETOKEN = 70, LIB_FORM = 71,
                     LIB_GOSTE = 72, LIB_GOSTH = 73, LIB_PSE = 74, LIB_ECGOST = 75,
                     LIB_SHAMIR = 76, LIB_CRMF = 77, LIB_GOSTS = 78, LIB_PKCS11 = 81,
                     LIB_GNIVC = 83, LIB_RUTOKEN = 84, LIB_JNI = 85, LIB_KEYCHAIN = 87;

// Functions of the system library that this system records (the reason is the system's error
// number).
inline constexpr int SYS_F_OPENDIR = 2;

// Common reasons, valid with any library.
inline constexpr int R_CHECK_RAM_FAILURE = 10, R_SELF_TEST_ERROR = 11, R_INTERNAL_ERROR = 12,
                     R_MALLOC_FAILURE = 33, R_PASSED_NULL_PARAMETER = 35;

// Sources of the vendor status word.
inline constexpr unsigned TOKEN_ERR_NONE = 0, TOKEN_ERR_ETOKEN = 1, TOKEN_ERR_RUTOKEN = 2,
                          TOKEN_ERR_PKCS11 = 3;

constexpr unsigned long ERR_pack(unsigned long lib, unsigned long func, unsigned long reason) {
  return ((lib & 0xFFUL) << 24) | ((func & 0xFFFUL) << 12) | (reason & 0xFFFUL);
}
constexpr int ERR_get_lib(unsigned long e) { return static_cast<int>((e >> 24) & 0xFFUL); }
constexpr int ERR_get_func(unsigned long e) { return static_cast<int>((e >> 12) & 0xFFFUL); }
constexpr int ERR_get_reason(unsigned long e) { return static_cast<int>(e & 0xFFFUL); }

struct ERR_STATE {
  unsigned long tid;
  unsigned long err_buffer[ERR_NUM_ERRORS];
  char* err_data[ERR_NUM_ERRORS];
  int err_data_flags[ERR_NUM_ERRORS];
  const char* err_file[ERR_NUM_ERRORS];
  int err_line[ERR_NUM_ERRORS];
  int top, bottom;
  std::uint32_t status;
  std::uint32_t reserved;
  std::uint32_t token_error_source;
  std::uint32_t token_error_code;
};

// The calling thread's state, created on first use; null when memory is short, in which case
// every error operation of this call does nothing.
ERR_STATE* ERR_get_state();
// Frees the calling thread's state (the argument is kept for the familiar signature; only 0,
// the calling thread, is served).
void ERR_remove_state(unsigned long pid);

void ERR_put_error(int lib, int func, int reason, const char* file, int line);
// Attaches text to the newest entry; the state owns data when flags has ERR_TXT_MALLOCED.
void ERR_set_error_data(char* data, int flags);
// Joins num strings (null ones are skipped) and attaches them to the newest entry.
void ERR_add_error_data(int num, ...);
void ERR_add_error_vdata(int num, va_list args);

unsigned long ERR_get_error();
unsigned long ERR_get_error_line(const char** file, int* line);
unsigned long ERR_get_error_line_data(const char** file, int* line, const char** data, int* flags);
unsigned long ERR_peek_error();
unsigned long ERR_peek_error_line(const char** file, int* line);
unsigned long ERR_peek_last_error();
// Empties the queue and the status word; the vendor status words stay.
void ERR_clear_error();
// Number of entries in the queue.
int ERR_count_errors();
// Removes the newest entries until count remain (nothing when there are no more): takes back
// what a step that turned out to be no error added, leaving the caller's earlier entries.
void ERR_pop_to_count(int count);

// Texts.
struct ERR_STRING_DATA {
  unsigned long error;
  const char* string;
};
// Registers a table ending with {0, nullptr}. Codes whose library part is 0 take lib. The
// table must outlive its registration.
void ERR_load_strings(int lib, ERR_STRING_DATA* table);
void ERR_unload_strings(ERR_STRING_DATA* table);
void ERR_free_strings();
const char* ERR_lib_error_string(unsigned long e);
const char* ERR_func_error_string(unsigned long e);
const char* ERR_reason_error_string(unsigned long e);
// "error:%08lX:" then the library text or ":lib(%lu) " (so "error:5506900C::lib(85) :..."),
// then ":" and the function text or ":func(%lu) ", ":" and the reason text or ":reason(%lu)". buf needs 256 bytes; a null buf uses a
// per-thread buffer.
char* ERR_error_string(unsigned long e, char* buf);
void ERR_error_string_n(unsigned long e, char* buf, std::size_t len);
// Prints and empties the queue, one line per entry oldest first:
// "%lu:%s:%s:%d:%s\n" (thread id, error string, file, line, text or "").
void ERR_print_errors_fp(std::FILE* fp);
void ERR_print_errors_cb(int (*cb)(const char* str, std::size_t len, void* u), void* u);
// The library's own tables: library names and common reasons.
void ERR_load_ERR_strings();
// Every module's tables.
void ERR_load_crypto_strings();

// The status word.
void ERR_set_status(std::uint32_t value);
// Sets value only when the status is 0 and the queue is empty; when the queue holds errors and
// the status is 0 the status becomes 12 instead.
void ERR_set_status_once(std::uint32_t value);
std::uint32_t ERR_get_status();

// The vendor status words.
void ERR_set_token_error(std::uint32_t code, std::uint32_t source);
// Keeps the first non-zero code: returns it and changes nothing when one is already set.
std::uint32_t ERR_set_token_error_once(std::uint32_t code, std::uint32_t source);
std::uint32_t ERR_get_token_error();
std::uint32_t ERR_get_token_error_source();

// Moves the base library's (OpenSSL's) pending errors into this queue as entries of their own
// library and reason, with OpenSSL's text as data, then records (lib, func, reason) on top.
void ERR_put_openssl_errors(int lib, int func, int reason, const char* file, int line);

}  // namespace jarnel

// Records (lib, func, reason) at the calling source line.
#define JARNEL_ERR(lib, func, reason) \
  ::jarnel::ERR_put_error((lib), (func), (reason), __FILE__, __LINE__)
