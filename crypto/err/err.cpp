#include "crypto/err/err.h"

#include <openssl/err.h>

#include <cstring>

#include "crypto/lock.h"
#include "crypto/mem.h"
#include "platform/syserr.h"
#include "platform/thread.h"

namespace jarnel {
namespace {

void free_state(void* p);

platform::ThreadSlot* slot() {
  // Created once per process; never destroyed, so a thread ending during unload finds it.
  static platform::ThreadSlot* s = platform::thread_slot_create(&free_state);
  return s;
}

void clear_data(ERR_STATE* es, int i) {
  if (es->err_data[i] && (es->err_data_flags[i] & ERR_TXT_MALLOCED)) mem_free(es->err_data[i]);
  es->err_data[i] = nullptr;
  es->err_data_flags[i] = 0;
}

void free_state(void* p) {
  auto* es = static_cast<ERR_STATE*>(p);
  if (!es) return;
  for (int i = 0; i < ERR_NUM_ERRORS; ++i) clear_data(es, i);
  mem_free(es);
}

ERR_STATE* existing_state() { return static_cast<ERR_STATE*>(platform::thread_slot_get(slot())); }

unsigned long get_error_values(bool inc, bool top, const char** file, int* line,
                               const char** data, int* flags) {
  ERR_STATE* es = ERR_get_state();
  if (!es || es->bottom == es->top) return 0;
  int i = top ? es->top : (es->bottom + 1) % ERR_NUM_ERRORS;
  unsigned long ret = es->err_buffer[i];
  if (inc) {
    es->bottom = i;
    es->err_buffer[i] = 0;
  }
  if (file && line) {
    *file = es->err_file[i] ? es->err_file[i] : "NA";
    *line = es->err_file[i] ? es->err_line[i] : 0;
  }
  if (data) {
    if (!es->err_data[i]) {
      *data = "";
      if (flags) *flags = 0;
    } else {
      *data = es->err_data[i];
      if (flags) *flags = es->err_data_flags[i];
    }
  }
  return ret;
}

}  // namespace

ERR_STATE* ERR_get_state() {
  if (ERR_STATE* es = existing_state()) return es;
  auto* es = static_cast<ERR_STATE*>(mem_alloc(sizeof(ERR_STATE)));
  if (!es) return nullptr;
  std::memset(es, 0, sizeof *es);
  es->tid = platform::thread_id();
  if (!platform::thread_slot_set(slot(), es)) {
    mem_free(es);
    return nullptr;
  }
  return es;
}

void ERR_remove_state(unsigned long /*pid*/) {
  ERR_STATE* es = existing_state();
  if (!es) return;
  platform::thread_slot_set(slot(), nullptr);
  free_state(es);
}

void ERR_put_error(int lib, int func, int reason, const char* file, int line) {
  ERR_STATE* es = ERR_get_state();
  if (!es) return;
  es->top = (es->top + 1) % ERR_NUM_ERRORS;
  if (es->top == es->bottom) es->bottom = (es->bottom + 1) % ERR_NUM_ERRORS;
  es->err_buffer[es->top] = ERR_pack(lib, func, reason);
  es->err_file[es->top] = file;
  es->err_line[es->top] = line;
  clear_data(es, es->top);
}

void ERR_set_error_data(char* data, int flags) {
  ERR_STATE* es = ERR_get_state();
  if (!es) {
    if (data && (flags & ERR_TXT_MALLOCED)) mem_free(data);
    return;
  }
  int i = es->top;
  clear_data(es, i);
  es->err_data[i] = data;
  es->err_data_flags[i] = flags;
}

void ERR_add_error_vdata(int num, va_list args) {
  std::size_t total = 1;
  va_list copy;
  va_copy(copy, args);
  for (int i = 0; i < num; ++i) {
    const char* s = va_arg(copy, const char*);
    if (s) total += std::strlen(s);
  }
  va_end(copy);
  auto* str = static_cast<char*>(mem_alloc(total));
  if (!str) return;
  str[0] = '\0';
  for (int i = 0; i < num; ++i) {
    const char* s = va_arg(args, const char*);
    if (s) std::strcat(str, s);
  }
  ERR_set_error_data(str, ERR_TXT_MALLOCED | ERR_TXT_STRING);
}

void ERR_add_error_data(int num, ...) {
  va_list args;
  va_start(args, num);
  ERR_add_error_vdata(num, args);
  va_end(args);
}

unsigned long ERR_get_error() { return get_error_values(true, false, nullptr, nullptr, nullptr, nullptr); }
unsigned long ERR_get_error_line(const char** file, int* line) {
  return get_error_values(true, false, file, line, nullptr, nullptr);
}
unsigned long ERR_get_error_line_data(const char** file, int* line, const char** data, int* flags) {
  return get_error_values(true, false, file, line, data, flags);
}
unsigned long ERR_peek_error() { return get_error_values(false, false, nullptr, nullptr, nullptr, nullptr); }
unsigned long ERR_peek_error_line(const char** file, int* line) {
  return get_error_values(false, false, file, line, nullptr, nullptr);
}
unsigned long ERR_peek_last_error() { return get_error_values(false, true, nullptr, nullptr, nullptr, nullptr); }

void ERR_clear_error() {
  ERR_STATE* es = ERR_get_state();
  if (!es) return;
  for (int i = 0; i < ERR_NUM_ERRORS; ++i) {
    es->err_buffer[i] = 0;
    clear_data(es, i);
    es->err_file[i] = nullptr;
    es->err_line[i] = -1;
  }
  es->top = es->bottom = 0;
  es->status = 0;
}

int ERR_count_errors() {
  ERR_STATE* es = ERR_get_state();
  if (!es) return 0;
  return (es->top - es->bottom + ERR_NUM_ERRORS) % ERR_NUM_ERRORS;
}

void ERR_pop_to_count(int count) {
  ERR_STATE* es = ERR_get_state();
  if (!es) return;
  while (ERR_count_errors() > count && count >= 0) {
    es->err_buffer[es->top] = 0;
    clear_data(es, es->top);
    es->err_file[es->top] = nullptr;
    es->err_line[es->top] = -1;
    es->top = (es->top - 1 + ERR_NUM_ERRORS) % ERR_NUM_ERRORS;
  }
}

void ERR_set_status(std::uint32_t value) {
  if (ERR_STATE* es = ERR_get_state()) es->status = value;
}

void ERR_set_status_once(std::uint32_t value) {
  ERR_STATE* es = ERR_get_state();
  if (!es || es->status != 0) return;
  if (es->top != es->bottom) {
    es->status = R_INTERNAL_ERROR;
    return;
  }
  es->status = value;
}

std::uint32_t ERR_get_status() {
  ERR_STATE* es = ERR_get_state();
  return es ? es->status : 0;
}

void ERR_set_token_error(std::uint32_t code, std::uint32_t source) {
  if (ERR_STATE* es = ERR_get_state()) {
    es->token_error_code = code;
    es->token_error_source = source;
  }
}

std::uint32_t ERR_set_token_error_once(std::uint32_t code, std::uint32_t source) {
  ERR_STATE* es = ERR_get_state();
  if (!es) return 0;
  if (es->token_error_code != 0) return es->token_error_code;
  es->token_error_code = code;
  es->token_error_source = source;
  return code;
}

std::uint32_t ERR_get_token_error() {
  ERR_STATE* es = ERR_get_state();
  return es ? es->token_error_code : 0;
}

std::uint32_t ERR_get_token_error_source() {
  ERR_STATE* es = ERR_get_state();
  return es ? es->token_error_source : 0;
}

void ERR_put_openssl_errors(int lib, int func, int reason, const char* file, int line) {
  const char* ofile = nullptr;
  const char* odata = nullptr;
  int oline = 0, oflags = 0;
  unsigned long e;
  while ((e = ::ERR_get_error_all(&ofile, &oline, nullptr, &odata, &oflags)) != 0) {
    int olib = ::ERR_GET_LIB(e);
    ERR_put_error(olib > 0 && olib < 64 ? olib : LIB_NONE, 0, ::ERR_GET_REASON(e), file, line);
    char text[256];
    ::ERR_error_string_n(e, text, sizeof text);
    ERR_add_error_data(3, text, (odata && (oflags & ERR_TXT_STRING)) ? ":" : nullptr,
                       (odata && (oflags & ERR_TXT_STRING)) ? odata : nullptr);
  }
  ERR_put_error(lib, func, reason, file, line);
}

}  // namespace jarnel
