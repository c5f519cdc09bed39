// The bounded DER reader and writer.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <string>
#include <vector>

#include "crypto/bytestring/der.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"

namespace jarnel::der {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes hex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes bytes_of(const Writer& w) { return Bytes(w.bytes().begin(), w.bytes().end()); }

TEST(Der, ReaderRefusesWhatIsNotDer) {
  const struct {
    const char* name;
    const char* hex;
    bool framing;  // refused as an element of any tag, not only as an INTEGER
  } bad[] = {
      {"empty", "", true},
      {"tag only", "02", true},
      {"indefinite length", "30800201010000", true},
      {"long form for a short length", "02810101", true},
      {"length with a leading zero byte", "0282000101", true},
      {"five length bytes", "0285000000000101", true},
      {"length beyond the input", "020201", true},
      {"high tag number", "1f0101", true},
      {"negative integer", "0201ff", false},
      {"integer with a redundant zero", "02020001", false},
      {"integer with a redundant ff", "0202ff80", false},
      {"empty integer", "0200", false},
  };
  for (const auto& c : bad) {
    const Bytes in = hex(c.hex);
    Reader r(in);
    std::span<const unsigned char> m;
    EXPECT_FALSE(r.integer_bytes(m)) << c.name;
    EXPECT_EQ(r.remaining(), in.size()) << c.name;
    unsigned char tag = 0;
    if (c.framing) {
      EXPECT_FALSE(Reader(in).any(tag, m)) << c.name;
    }
  }
}

TEST(Der, IntegersAreMinimalBothWays) {
  const struct {
    unsigned long v;
    const char* der;
  } cases[] = {{0, "020100"}, {1, "020101"}, {0x7f, "02017f"}, {0x80, "02020080"},
               {0x1234, "02021234"}, {0xff00, "020300ff00"}};
  for (const auto& c : cases) {
    BIGNUM* v = BN_new();
    BN_set_word(v, c.v);
    Writer w;
    EXPECT_TRUE(w.integer(v));
    EXPECT_EQ(bytes_of(w), hex(c.der)) << c.v;
    Writer s;
    s.small_integer(static_cast<unsigned>(c.v));
    EXPECT_EQ(bytes_of(s), hex(c.der)) << c.v;
    Reader r(w.bytes());
    BIGNUM* back = BN_new();
    EXPECT_TRUE(r.integer(back) && r.empty());
    EXPECT_EQ(BN_get_word(back), c.v);
    BN_free(v);
    BN_free(back);
  }
  BIGNUM* neg = BN_new();
  BN_set_word(neg, 1);
  BN_set_negative(neg, 1);
  Writer w;
  EXPECT_FALSE(w.integer(neg));
  EXPECT_FALSE(w.ok());
  EXPECT_EQ(w.finish(nullptr), 0);
  BN_free(neg);
}

TEST(Der, NestedLengthsArePatchedAcrossTheLongForm) {
  // Contents of 0x7f, 0x80, 0xff and 0x100 bytes: the length bytes move the content on close.
  for (std::size_t n : {0x7fu, 0x80u, 0xffu, 0x100u, 0x10000u}) {
    Writer w;
    w.open(TAG_SEQUENCE);
    w.open(TAG_SEQUENCE);
    w.octets(Bytes(n, 0xAB));
    w.close();
    w.close();
    ASSERT_TRUE(w.ok());
    Reader r(w.bytes()), outer, inner;
    std::span<const unsigned char> o;
    ASSERT_TRUE(r.sequence(outer) && r.empty() && outer.sequence(inner) && outer.empty() &&
                inner.octets(o) && inner.empty())
        << n;
    EXPECT_EQ(o.size(), n);
    EXPECT_EQ(o[n - 1], 0xAB);
  }
  Writer unbalanced;
  unbalanced.open(TAG_SEQUENCE);
  EXPECT_EQ(unbalanced.finish(nullptr), 0);
  Writer extra;
  extra.close();
  EXPECT_FALSE(extra.ok());
}

TEST(Der, ObjectIdentifiersAndBitStrings) {
  const std::uint32_t arcs[] = {1, 2, 643, 2, 2, 35, 1};
  Writer w;
  w.oid(arcs);
  w.bit_string(hex("0102"));
  EXPECT_EQ(bytes_of(w), hex("06072a850302022301" "0303000102"));
  Reader r(w.bytes());
  Oid oid;
  std::span<const unsigned char> bits;
  ASSERT_TRUE(r.oid(oid) && r.bit_string(bits) && r.empty());
  EXPECT_TRUE(oid == std::span<const std::uint32_t>(arcs));
  EXPECT_EQ(Bytes(bits.begin(), bits.end()), hex("0102"));
  for (const char* bad : {"0600", "06022a80", "0602802a", "060188", "03020701"}) {
    const Bytes in = hex(bad);
    Oid o;
    std::span<const unsigned char> s;
    EXPECT_FALSE(Reader(in).oid(o) || Reader(in).bit_string(s)) << bad;
  }
  Writer bad_arcs;
  const std::uint32_t one[] = {1};
  bad_arcs.oid(one);
  EXPECT_FALSE(bad_arcs.ok());
}

// Every allocation of the writer can fail; the failure is a flag, never an exception.
namespace failing {
int budget = 0;
void* alloc(std::size_t n) { return budget-- > 0 ? std::malloc(n) : nullptr; }
void* realloc_fn(void* p, std::size_t n) { return budget-- > 0 ? std::realloc(p, n) : nullptr; }
}  // namespace failing

TEST(Der, AllocationFailureIsReportedNotThrown) {
  ECGOST_SIG* sig = ECGOST_SIG_new();
  ASSERT_TRUE(sig);
  BN_set_word(sig->r, 5);
  BN_set_word(sig->s, 7);
  // The thread's error state exists before memory runs short.
  JARNEL_ERR(LIB_ASN1, 0, 0);
  ERR_clear_error();
  MallocFn m;
  ReallocFn r;
  FreeFn f;
  CRYPTO_get_mem_functions(&m, &r, &f);
  ASSERT_EQ(CRYPTO_set_mem_functions(failing::alloc, failing::realloc_fn, std::free), 1);
  for (int budget = 0; budget < 4; ++budget) {
    failing::budget = budget;
    Writer w;
    w.open(TAG_SEQUENCE);
    w.octets(Bytes(300, 1));
    w.octets(Bytes(3000, 2));
    w.close();
    unsigned char* out = nullptr;
    const int n = w.finish(&out);
    if (w.ok() && n > 0) {
      EXPECT_EQ(n, 4 + 4 + 300 + 4 + 3000);
      mem_free(out);
    } else {
      EXPECT_EQ(out, nullptr);
    }
  }
  // The signature encoder, which once threw std::bad_alloc here: a clean 0 with an error.
  failing::budget = 0;
  unsigned char out[16];
  unsigned char* p = out;
  EXPECT_EQ(i2d_ECGOST_SIG(sig, &p), 0);
  EXPECT_EQ(p, out);
  EXPECT_NE(ERR_peek_error(), 0u);
  ERR_clear_error();
  CRYPTO_set_mem_functions(m, r, f);
  ECGOST_SIG_free(sig);
}

}  // namespace
}  // namespace jarnel::der
