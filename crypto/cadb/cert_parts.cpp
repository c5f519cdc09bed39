// Times, object records, attribute lists, split names and the name printer of the certificate
// layer.
#include "crypto/cadb/cert_parts.h"

#include <atomic>
#include <cstring>
#include <ctime>

#include "crypto/cadb/x509v3.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/mem.h"
#include "crypto/objects/objects.h"

// After the library's error header, whose names OpenSSL's would otherwise shadow.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

namespace jarnel {
namespace {

std::atomic<int> g_name_in{0}, g_name_out{0};

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
long days_from_civil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

template <class T>
T* zeroed(int func) {
  T* p = static_cast<T*>(mem_alloc(sizeof(T)));
  if (!p) {
    JARNEL_ERR(LIB_CADB, func, R_MALLOC_FAILURE);
    return nullptr;
  }
  std::memset(p, 0, sizeof(T));
  return p;
}

char* dup_or_null(const char* s, int func) {
  char* d = mem_strdup(s ? s : "");
  if (!d) JARNEL_ERR(LIB_CADB, func, R_MALLOC_FAILURE);
  return d;
}

// A BUFFER holding what an OpenSSL memory BIO collected.
BUFFER* buffer_of_bio(::BIO* b) {
  BUF_MEM* mem = nullptr;
  BIO_get_mem_ptr(b, &mem);
  if (!mem) return nullptr;
  return BUFFER_fill(mem->length ? mem->data : "", static_cast<int>(mem->length));
}

bool text_string_type(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_GENERALSTRING:
    case V_ASN1_UTCTIME:
    case V_ASN1_GENERALIZEDTIME: return true;
    default: return false;
  }
}

}  // namespace

void CERT_set_name_conversion(int in_mode, int out_mode) {
  g_name_in = in_mode;
  g_name_out = out_mode;
}

int CERT_get_name_conversion() { return g_name_out; }

int ASN1_TIME_parse(const ASN1_TIME* time, CADB_TIME* out) {
  std::tm tm{};
  if (!time || !out || !ASN1_TIME_check(time) || !ASN1_TIME_to_tm(time, &tm)) {
    ::ERR_clear_error();
    JARNEL_ERR(LIB_CADB, CADB_F_ASN1_TIME_PARSE, R_INTERNAL_ERROR);
    return 0;
  }
  const long days = days_from_civil(tm.tm_year + 1900L, static_cast<unsigned>(tm.tm_mon + 1),
                                    static_cast<unsigned>(tm.tm_mday));
  const long jan1 = days_from_civil(tm.tm_year + 1900L, 1, 1);
  CADB_TIME t{};
  t.sec = tm.tm_sec;
  t.min = tm.tm_min;
  t.hour = tm.tm_hour;
  t.mday = tm.tm_mday;
  t.mon = tm.tm_mon;
  t.year = tm.tm_year;
  t.wday = static_cast<int>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  t.yday = static_cast<int>(days - jan1);
  t.isdst = 0;
  *out = t;
  return 1;
}

CADB_TIME* CADB_TIME_parse(const ASN1_TIME* time) {
  CADB_TIME t;
  if (!ASN1_TIME_parse(time, &t)) return nullptr;
  CADB_TIME* p = zeroed<CADB_TIME>(CADB_F_ASN1_TIME_PARSE);
  if (p) *p = t;
  return p;
}

void CADB_TIME_free(CADB_TIME* t) { mem_free(t); }

CADB_OID* CADB_OID_new() { return zeroed<CADB_OID>(CADB_F_CADB_OID); }

void CADB_OID_free(CADB_OID* o) {
  while (o) {
    CADB_OID* next = o->next;
    mem_free(o->sn);
    mem_free(o->ln);
    mem_free(o);
    o = next;
  }
}

CADB_OID* CADB_OID_parse(const ASN1_OBJECT* object) {
  if (!object || OBJ_length(object) == 0) {
    JARNEL_ERR(LIB_CADB, CADB_F_CADB_OID, R_INTERNAL_ERROR);
    return nullptr;
  }
  Owned<CADB_OID> o(CADB_OID_new());
  if (!o) return nullptr;
  // OBJ_obj2txt reports the full length; a longer identifier is refused, not cut.
  const int n = OBJ_obj2txt(o->text, sizeof o->text, object, 1);
  if (n <= 0 || n > CADB_OID_TEXT_MAX) {
    JARNEL_ERR(LIB_CADB, CADB_F_CADB_OID, R_INTERNAL_ERROR);
    return nullptr;
  }
  o->nid = obj::from_asn1(object);
  const char* sn = obj::short_name(o->nid);
  const char* ln = obj::long_name(o->nid);
  if (!o->nid) {
    const int ossl = OBJ_obj2nid(object);
    sn = ossl != NID_undef ? OBJ_nid2sn(ossl) : o->text;
    ln = ossl != NID_undef ? OBJ_nid2ln(ossl) : o->text;
  }
  o->sn = dup_or_null(sn, CADB_F_CADB_OID);
  o->ln = dup_or_null(ln, CADB_F_CADB_OID);
  if (!o->sn || !o->ln) return nullptr;
  return o.release();
}

void CADB_ATTRIBUTE_free(CADB_ATTRIBUTE* a) {
  while (a) {
    CADB_ATTRIBUTE* next = a->next;
    CADB_OID_free(a->type);
    BUFFER_free(a->value);
    mem_free(a);
    a = next;
  }
}

CADB_ATTRIBUTES* CADB_ATTRIBUTES_new() { return zeroed<CADB_ATTRIBUTES>(CADB_F_CADB_ATTRIBUTES); }

void CADB_ATTRIBUTES_free(CADB_ATTRIBUTES* list) {
  while (list) {
    CADB_ATTRIBUTES* next = list->next;
    CADB_OID_free(list->type);
    CADB_ATTRIBUTE_free(list->first);
    mem_free(list);
    list = next;
  }
}

const CADB_ATTRIBUTE* CADB_ATTRIBUTES_get(const CADB_ATTRIBUTES* list, int i) {
  if (!list || i < 0) return nullptr;
  const CADB_ATTRIBUTE* a = list->first;
  while (a && i-- > 0) a = a->next;
  return a;
}

BUFFER* CADB_string_print(const ASN1_STRING* s) {
  if (!s) return BUFFER_fill("", 0);
  const int type = ASN1_STRING_type(s);
  if (text_string_type(type)) {
    if (CERT_get_name_conversion() == 5) {
      unsigned char* utf8 = nullptr;
      const int n = ASN1_STRING_to_UTF8(&utf8, s);
      if (n >= 0) {
        BUFFER* b = BUFFER_fill(n ? utf8 : reinterpret_cast<const unsigned char*>(""), n);
        OPENSSL_free(utf8);
        return b;
      }
      ::ERR_clear_error();  // not convertible: print it as the other types below
    } else {
      return BUFFER_fill(ASN1_STRING_length(s) ? ASN1_STRING_get0_data(s)
                                               : reinterpret_cast<const unsigned char*>(""),
                         ASN1_STRING_length(s));
    }
  }
  // Other types (numbers, octets, bit strings): the string printer's dump form.
  Owned<::BIO> mem(BIO_new(BIO_s_mem()));
  if (!mem || ASN1_STRING_print_ex(mem.get(), s, ASN1_STRFLGS_DUMP_ALL | ASN1_STRFLGS_DUMP_DER) < 0)
    return nullptr;
  return buffer_of_bio(mem.get());
}

CADB_ATTRIBUTES* CADB_TEXT_parse(const ASN1_STRING* s) {
  Owned<CADB_ATTRIBUTES> list(CADB_ATTRIBUTES_new());
  if (!list) return nullptr;
  Owned<CADB_ATTRIBUTE> a(zeroed<CADB_ATTRIBUTE>(CADB_F_CADB_TEXT));
  if (!a) return nullptr;
  a->string_type = s ? ASN1_STRING_type(s) : V_ASN1_UTF8STRING;
  a->value = CADB_string_print(s);
  if (!a->value) {
    JARNEL_ERR(LIB_CADB, CADB_F_CADB_TEXT, R_INTERNAL_ERROR);
    return nullptr;
  }
  list->first = a.release();
  list->count = 1;
  return list.release();
}

CADB_ATTRIBUTES* X509_NAME_split(const X509_NAME* name) {
  if (!name) {
    JARNEL_ERR(LIB_CADB, CADB_F_CADB_ATTRIBUTES, R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  Owned<CADB_ATTRIBUTES> list(CADB_ATTRIBUTES_new());
  if (!list) return nullptr;
  CADB_ATTRIBUTE** tail = &list->first;
  const int n = X509_NAME_entry_count(name);
  for (int i = 0; i < n; ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    Owned<CADB_ATTRIBUTE> a(zeroed<CADB_ATTRIBUTE>(CADB_F_CADB_ATTRIBUTES));
    if (!a) return nullptr;
    const ASN1_STRING* v = X509_NAME_ENTRY_get_data(e);
    a->type = CADB_OID_parse(X509_NAME_ENTRY_get_object(e));
    a->value = CADB_string_print(v);
    a->string_type = ASN1_STRING_type(v);
    a->set = X509_NAME_ENTRY_set(e);
    if (!a->type || !a->value) {
      JARNEL_ERR(LIB_CADB, CADB_F_CADB_ATTRIBUTES, R_INTERNAL_ERROR);
      return nullptr;
    }
    cadb_append(tail, a.release());
    ++list->count;
  }
  return list.release();
}

BUFFER* CADB_name_print(const X509_NAME* name) {
  Owned<::BIO> mem(BIO_new(BIO_s_mem()));
  if (!mem || !name) return nullptr;
  unsigned long flags = XN_FLAG_ONELINE;
  if (CERT_get_name_conversion() == 5)
    flags = (flags & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT;
  if (X509_NAME_print_ex(mem.get(), name, 0, flags) < 0) return nullptr;
  return buffer_of_bio(mem.get());
}

}  // namespace jarnel
