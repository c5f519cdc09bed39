// Error texts: the registry of string tables, code-to-text look-ups and the printer.
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "platform/syserr.h"
#include "platform/thread.h"

namespace jarnel {
namespace {

struct TableNode {
  ERR_STRING_DATA* table;
  TableNode* next;
};
TableNode* g_tables = nullptr;

const char* find_text(unsigned long code) {
  LockGuard guard(locks::ERR_STRINGS);
  for (TableNode* n = g_tables; n; n = n->next)
    for (ERR_STRING_DATA* p = n->table; p->error; ++p)
      if (p->error == code) return p->string;
  return nullptr;
}

ERR_STRING_DATA g_libraries[] = {
    {ERR_pack(LIB_NONE, 0, 0), "unknown library"},
    {ERR_pack(LIB_SYS, 0, 0), "system library"},
    {ERR_pack(LIB_BN, 0, 0), "bignum routines"},
    {ERR_pack(LIB_RSA, 0, 0), "rsa routines"},
    {ERR_pack(LIB_DH, 0, 0), "Diffie-Hellman routines"},
    {ERR_pack(LIB_EVP, 0, 0), "digital envelope routines"},
    {ERR_pack(LIB_BUF, 0, 0), "memory buffer routines"},
    {ERR_pack(LIB_OBJ, 0, 0), "object identifier routines"},
    {ERR_pack(LIB_PEM, 0, 0), "PEM routines"},
    {ERR_pack(LIB_DSA, 0, 0), "dsa routines"},
    {ERR_pack(LIB_X509, 0, 0), "x509 certificate routines"},
    {ERR_pack(LIB_ASN1, 0, 0), "asn1 encoding routines"},
    {ERR_pack(LIB_CONF, 0, 0), "configuration file routines"},
    {ERR_pack(LIB_CRYPTO, 0, 0), "common libcrypto routines"},
    {ERR_pack(LIB_EC, 0, 0), "elliptic curve routines"},
    {ERR_pack(LIB_BIO, 0, 0), "BIO routines"},
    {ERR_pack(LIB_PKCS7, 0, 0), "PKCS7 routines"},
    {ERR_pack(LIB_X509V3, 0, 0), "X509 V3 routines"},
    {ERR_pack(LIB_PKCS12, 0, 0), "PKCS12 routines"},
    {ERR_pack(LIB_RAND_BASE, 0, 0), "random number generator"},
    {ERR_pack(LIB_R3410, 0, 0), "R3410 routines"},
    {ERR_pack(LIB_CADB, 0, 0), "CADB routines"},
    {ERR_pack(LIB_RAND, 0, 0), "RAND routines"},
    {ERR_pack(LIB_ETOKEN, 0, 0), "ETOKEN routines"},
    {ERR_pack(LIB_FORM, 0, 0), "FORM routines"},
    {ERR_pack(LIB_GOSTE, 0, 0), "GOSTE routines"},
    {ERR_pack(LIB_GOSTH, 0, 0), "GOSTH routines"},
    {ERR_pack(LIB_PSE, 0, 0), "PSE routines"},
    {ERR_pack(LIB_ECGOST, 0, 0), "ECGOST routines"},
    {ERR_pack(LIB_SHAMIR, 0, 0), "SHAMIR routines"},
    {ERR_pack(LIB_CRMF, 0, 0), "CRMF routines"},
    {ERR_pack(LIB_GOSTS, 0, 0), "GOSTS routines"},
    {ERR_pack(LIB_PKCS11, 0, 0), "PKCS11 routines"},
    {ERR_pack(LIB_GNIVC, 0, 0), "GNIVC routines"},
    {ERR_pack(LIB_RUTOKEN, 0, 0), "RUTOKEN routines"},
    {ERR_pack(LIB_KEYCHAIN, 0, 0), "KEYCHAIN routines"},
    {0, nullptr}};

// Reasons valid with any library (the library part is 0). The fatal flag of this code base is
// 32, so the allocation failure is 33.
ERR_STRING_DATA g_common_reasons[] = {
    {ERR_pack(0, 0, LIB_SYS), "system lib"},
    {ERR_pack(0, 0, LIB_BN), "BN lib"},
    {ERR_pack(0, 0, LIB_RSA), "RSA lib"},
    {ERR_pack(0, 0, LIB_DH), "DH lib"},
    {ERR_pack(0, 0, LIB_EVP), "EVP lib"},
    {ERR_pack(0, 0, LIB_BUF), "BUF lib"},
    {ERR_pack(0, 0, LIB_OBJ), "OBJ lib"},
    {ERR_pack(0, 0, LIB_PEM), "PEM lib"},
    {ERR_pack(0, 0, R_CHECK_RAM_FAILURE), "check RAM failure"},
    {ERR_pack(0, 0, R_SELF_TEST_ERROR), "self-testing error"},
    {ERR_pack(0, 0, R_INTERNAL_ERROR), "internal error"},
    {ERR_pack(0, 0, LIB_ASN1), "ASN1 lib"},
    {ERR_pack(0, 0, LIB_CONF), "CONF lib"},
    {ERR_pack(0, 0, LIB_CRYPTO), "CRYPTO lib"},
    {ERR_pack(0, 0, LIB_EC), "EC lib"},
    {ERR_pack(0, 0, LIB_BIO), "BIO lib"},
    {ERR_pack(0, 0, R_MALLOC_FAILURE), "memory alloc failure"},
    {ERR_pack(0, 0, R_PASSED_NULL_PARAMETER), "passed a null parameter"},
    {ERR_pack(0, 0, LIB_R3410), "R3410 lib"},
    {ERR_pack(0, 0, LIB_CADB), "CADB lib"},
    {ERR_pack(0, 0, LIB_RAND), "RAND lib"},
    {ERR_pack(0, 0, LIB_ETOKEN), "ETOKEN lib"},
    {ERR_pack(0, 0, LIB_GOSTE), "GOSTE lib"},
    {ERR_pack(0, 0, LIB_GOSTH), "GOSTH lib"},
    {ERR_pack(0, 0, LIB_PSE), "PSE lib"},
    {ERR_pack(0, 0, LIB_ECGOST), "ECGOST lib"},
    {ERR_pack(0, 0, LIB_SHAMIR), "SHAMIR lib"},
    {ERR_pack(0, 0, LIB_GOSTS), "GOSTS lib"},
    {ERR_pack(0, 0, LIB_GNIVC), "GNIVC lib"},
    {0, nullptr}};

// Functions and reasons of the base library's parts that this system records itself.
ERR_STRING_DATA g_sys_functions[] = {{ERR_pack(LIB_SYS, 1, 0), "fopen"},
                                     {ERR_pack(LIB_SYS, 2, 0), "opendir"},
                                     {0, nullptr}};
ERR_STRING_DATA g_buf_strings[] = {{ERR_pack(LIB_BUF, 100, 0), "BUF_MEM_grow"}, {0, nullptr}};
ERR_STRING_DATA g_bio_strings[] = {
    {ERR_pack(LIB_BIO, 103, 0), "BIO_ctrl"},
    {ERR_pack(LIB_BIO, 104, 0), "BIO_gets"},
    {ERR_pack(LIB_BIO, 108, 0), "BIO_new"},
    {ERR_pack(LIB_BIO, 110, 0), "BIO_puts"},
    {ERR_pack(LIB_BIO, 111, 0), "BIO_read"},
    {ERR_pack(LIB_BIO, 113, 0), "BIO_write"},
    {ERR_pack(LIB_BIO, 118, 0), "FILE_CTRL"},
    {ERR_pack(LIB_BIO, 119, 0), "MEM_WRITE"},
    {ERR_pack(LIB_BIO, 0, 101), "bad fopen mode"},
    {ERR_pack(LIB_BIO, 0, 118), "null parameter"},
    {ERR_pack(LIB_BIO, 0, 123), "uninitialized"},
    {ERR_pack(LIB_BIO, 0, 124), "unsupported method"},
    {0, nullptr}};

thread_local char g_error_string_buf[256];

}  // namespace

void ERR_load_strings(int lib, ERR_STRING_DATA* table) {
  if (!table) return;
  LockGuard guard(locks::ERR_STRINGS);
  for (TableNode* n = g_tables; n; n = n->next)
    if (n->table == table) return;
  for (ERR_STRING_DATA* p = table; p->error; ++p)
    if (lib && ERR_get_lib(p->error) == 0) p->error |= ERR_pack(lib, 0, 0);
  auto* node = static_cast<TableNode*>(mem_alloc(sizeof(TableNode)));
  if (!node) return;
  node->table = table;
  node->next = g_tables;
  g_tables = node;
}

void ERR_unload_strings(ERR_STRING_DATA* table) {
  LockGuard guard(locks::ERR_STRINGS);
  for (TableNode** pp = &g_tables; *pp; pp = &(*pp)->next) {
    if ((*pp)->table == table) {
      TableNode* dead = *pp;
      *pp = dead->next;
      mem_free(dead);
      return;
    }
  }
}

void ERR_free_strings() {
  LockGuard guard(locks::ERR_STRINGS);
  while (g_tables) {
    TableNode* dead = g_tables;
    g_tables = dead->next;
    mem_free(dead);
  }
}

void ERR_load_ERR_strings() {
  ERR_load_strings(0, g_libraries);
  ERR_load_strings(0, g_common_reasons);
  ERR_load_strings(LIB_SYS, g_sys_functions);
  ERR_load_strings(LIB_BUF, g_buf_strings);
  ERR_load_strings(LIB_BIO, g_bio_strings);
}

const char* ERR_lib_error_string(unsigned long e) {
  return find_text(ERR_pack(ERR_get_lib(e), 0, 0));
}

const char* ERR_func_error_string(unsigned long e) {
  return find_text(ERR_pack(ERR_get_lib(e), ERR_get_func(e), 0));
}

const char* ERR_reason_error_string(unsigned long e) {
  const char* s = find_text(ERR_pack(ERR_get_lib(e), 0, ERR_get_reason(e)));
  if (s) return s;
  // The system library's reasons are the operating system's error numbers.
  if (ERR_get_lib(e) == LIB_SYS && ERR_get_reason(e) != 0) {
    thread_local char systext[128];
    platform::error_text(ERR_get_reason(e), systext, sizeof systext);
    return systext;
  }
  return find_text(ERR_pack(0, 0, ERR_get_reason(e)));
}

void ERR_error_string_n(unsigned long e, char* buf, std::size_t len) {
  if (!buf || len == 0) return;
  unsigned long l = ERR_get_lib(e), f = ERR_get_func(e), r = ERR_get_reason(e);
  const char* ls = ERR_lib_error_string(e);
  const char* fs = ERR_func_error_string(e);
  const char* rs = ERR_reason_error_string(e);
  char lpart[64], fpart[64], rpart[160];
  // A library without a name keeps the separator after the code and adds its own colon before
  // "lib(n) ", as the base library has always printed it.
  if (ls) std::snprintf(lpart, sizeof lpart, ":%s", ls); else std::snprintf(lpart, sizeof lpart, "::lib(%lu) ", l);
  if (fs) std::snprintf(fpart, sizeof fpart, ":%s", fs); else std::snprintf(fpart, sizeof fpart, ":func(%lu) ", f);
  if (rs) std::snprintf(rpart, sizeof rpart, ":%s", rs); else std::snprintf(rpart, sizeof rpart, ":reason(%lu)", r);
  std::snprintf(buf, len, "error:%08lX%s%s%s", e, lpart, fpart, rpart);
}

char* ERR_error_string(unsigned long e, char* buf) {
  char* out = buf ? buf : g_error_string_buf;
  ERR_error_string_n(e, out, 256);
  return out;
}

void ERR_print_errors_cb(int (*cb)(const char*, std::size_t, void*), void* u) {
  unsigned long tid = platform::thread_id();
  const char* file;
  const char* data;
  int line, flags;
  unsigned long e;
  while ((e = ERR_get_error_line_data(&file, &line, &data, &flags)) != 0) {
    char buf[256];
    char line_text[4096];
    ERR_error_string_n(e, buf, sizeof buf);
    std::snprintf(line_text, sizeof line_text, "%lu:%s:%s:%d:%s\n", tid, buf, file, line,
                  (flags & ERR_TXT_STRING) ? data : "");
    if (cb(line_text, std::strlen(line_text), u) <= 0) break;
  }
}

void ERR_print_errors_fp(std::FILE* fp) {
  ERR_print_errors_cb(
      [](const char* s, std::size_t n, void* u) {
        return static_cast<int>(std::fwrite(s, 1, n, static_cast<std::FILE*>(u)));
      },
      fp);
}

}  // namespace jarnel
