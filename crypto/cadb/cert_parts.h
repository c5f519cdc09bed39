#pragma once
// The flat building blocks of certificate, extension and CRL records: broken-down times, object
// records, attribute lists (texts and split names). Every block owns what it points to and is
// released by its _free, which also releases the blocks chained after it through next.
#include <openssl/types.h>

#include <cstdint>
#include <memory>

#include "crypto/cadb/buffer.h"
#include "crypto/owners.h"

namespace jarnel {

// A calendar time broken down like the C library's struct tm: seconds, minutes, hours, day of
// month (1..31), month (0..11), years since 1900, weekday (0 = Sunday), day of the year
// (0..365) and the daylight flag (always 0: certificate times are UTC).
struct CADB_TIME {
  int sec, min, hour, mday, mon, year, wday, yday, isdst;
};

// Fills out from an ASN.1 UTCTime or GeneralizedTime; 0 with (66, 298, 12) when the time is
// null or malformed (out is then left as it was).
int ASN1_TIME_parse(const ASN1_TIME* time, CADB_TIME* out);
// A new CADB_TIME holding the parsed time, or null (errors as ASN1_TIME_parse, 33 when memory
// is short).
CADB_TIME* CADB_TIME_parse(const ASN1_TIME* time);
void CADB_TIME_free(CADB_TIME* t);

// An object: its number in the library's table (0 when the table does not know it), short and
// long name (the table's, else OpenSSL's, else the dotted text) and the dotted-decimal text of
// the identifier (at most 256 characters).
inline constexpr int CADB_OID_TEXT_MAX = 256;
struct CADB_OID {
  int nid;
  char* sn;
  char* ln;
  char text[CADB_OID_TEXT_MAX + 1];
  CADB_OID* next;  // lists of objects (extended key usage)
};
CADB_OID* CADB_OID_new();
void CADB_OID_free(CADB_OID* o);
CADB_OID* CADB_OID_parse(const ASN1_OBJECT* object);

// One element of an attribute list: the value printed as text (BUFFER, zero-terminated, its
// length the text's), the value's ASN.1 string type (V_ASN1_*), and for names the attribute
// type and the index of the relative distinguished name it belongs to.
struct CADB_ATTRIBUTE {
  CADB_OID* type;  // null in a plain text
  BUFFER* value;
  int string_type;
  int set;
  CADB_ATTRIBUTE* next;
};
void CADB_ATTRIBUTE_free(CADB_ATTRIBUTE* a);

// An attribute list. A text is a list of one element; a split name has one element per name
// entry, in the order of the name; an attribute of a directory-attributes extension has its
// type here and one element per value.
struct CADB_ATTRIBUTES {
  CADB_OID* type;
  CADB_ATTRIBUTE* first;
  int count;
  CADB_ATTRIBUTES* next;
};
CADB_ATTRIBUTES* CADB_ATTRIBUTES_new();
void CADB_ATTRIBUTES_free(CADB_ATTRIBUTES* list);
// The attribute list's element i (null past the end).
const CADB_ATTRIBUTE* CADB_ATTRIBUTES_get(const CADB_ATTRIBUTES* list, int i);

// A text of one element from an ASN.1 string; an absent string gives an empty text.
CADB_ATTRIBUTES* CADB_TEXT_parse(const ASN1_STRING* s);
// A name split into its entries. An empty name gives an empty list.
CADB_ATTRIBUTES* X509_NAME_split(const X509_NAME* name);
// The value of an ASN.1 string printed as this layer prints names and texts, as a new BUFFER.
BUFFER* CADB_string_print(const ASN1_STRING* s);
// A name printed on one line ("C = RU, O = Org, CN = Name").
BUFFER* CADB_name_print(const X509_NAME* name);

// Certificate-name text conversion: mode 5 prints every string value as UTF-8 (BMPString,
// UniversalString and T61String converted); any other mode keeps the string's own bytes (bytes
// of 0x80 and above in names printed as \XX). Both selectors are set at attach; the output
// selector is the one that counts.
int CERT_get_name_conversion();

JARNEL_MAKE_OWNER(CADB_TIME, CADB_TIME_free);
JARNEL_MAKE_OWNER(CADB_OID, CADB_OID_free);
JARNEL_MAKE_OWNER(CADB_ATTRIBUTE, CADB_ATTRIBUTE_free);
JARNEL_MAKE_OWNER(CADB_ATTRIBUTES, CADB_ATTRIBUTES_free);

// Owner of a BUFFER for this layer's code.
struct CadbBufferFree {
  void operator()(BUFFER* b) const { BUFFER_free(b); }
};
using BufPtr = std::unique_ptr<BUFFER, CadbBufferFree>;

// Appends item to the chain whose last next-pointer is *tail and moves tail to the item's.
template <class T>
void cadb_append(T**& tail, T* item) {
  *tail = item;
  tail = &item->next;
}

}  // namespace jarnel
