// The DER reader over arbitrary bytes: walks every element to a bounded depth with each typed
// read, and checks that what it accepts is canonical (the writer re-encodes it to the same
// bytes) and that it never reads beyond the element it was given.
#include <openssl/bn.h>

#include <cstdlib>
#include <cstring>

#include "crypto/bytestring/der.h"
#include "crypto/objects/objects.h"
#include "fuzz_util.h"

namespace {

using namespace jarnel;
using Span = std::span<const unsigned char>;

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(Span a, Span b) { return a.size() == b.size() && (a.empty() || !std::memcmp(a.data(), b.data(), a.size())); }

// Typed reads of one whole element; every accepted value re-encodes to the same element.
void typed(Span element) {
  {
    der::Reader r(element);
    Span mag;
    if (r.integer_bytes(mag) && r.empty()) {
      der::Writer w;
      w.integer_bytes(mag);
      check(w.ok() && same(w.bytes(), element));
    }
  }
  {
    der::Reader r(element);
    BIGNUM* n = BN_new();
    if (n && r.integer(n) && r.empty()) {
      der::Writer w;
      check(w.integer(n) && same(w.bytes(), element));
    }
    BN_free(n);
  }
  {
    der::Reader r(element);
    unsigned v = 0;
    if (r.small_integer(v) && r.empty()) {
      der::Writer w;
      w.small_integer(v);
      check(w.ok() && same(w.bytes(), element));
    }
  }
  {
    der::Reader r(element);
    der::Oid oid;
    if (r.oid(oid) && r.empty()) {
      check(oid.len <= der::Oid::kMaxArcs);
      der::Writer w;
      w.oid(oid);
      check(w.ok() && same(w.bytes(), element));
      const int nid = obj::nid_of(oid.span());
      if (nid) {
        check(obj::oid_of(nid).size() == oid.len);
        char text[128];
        obj::oid_text(nid, text, sizeof text);
      }
    }
  }
  {
    der::Reader r(element);
    Span bits;
    if (r.bit_string(bits) && r.empty()) {
      der::Writer w;
      w.bit_string(bits);
      check(w.ok() && same(w.bytes(), element));
    }
  }
}

void walk(der::Reader r, int depth) {
  while (!r.empty()) {
    const unsigned char* start = r.position();
    const std::size_t before = r.remaining();
    unsigned char tag = 0;
    Span content;
    if (!r.any(tag, content)) return;
    // The element lies inside what was left, its content at its end.
    const std::size_t used = before - r.remaining();
    check(used > 0 && used <= before);
    check(content.data() + content.size() == start + used);
    Span element(start, used);
    typed(element);
    {
      der::Writer w;
      w.tlv(tag, content);
      check(w.ok() && same(w.bytes(), element));
    }
    if ((tag & 0x20) && depth < 16) {
      der::Reader inner;
      der::Reader again(element);
      if (again.enter(tag, inner)) walk(inner, depth + 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunScope scope;
  walk(der::Reader(Span(data, size)), 0);
  return 0;
}
