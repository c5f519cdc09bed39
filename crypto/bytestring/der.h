#pragma once
// The one bounded DER reader and writer of the library. Every encoder and decoder of keys,
// signatures and parameters is built on it.
//
// Reader: walks a span it never reads beyond. Only DER is accepted: definite lengths in their
// shortest form (at most 4 length bytes), low tag numbers, minimal non-negative INTEGERs.
// Writer: builds an encoding in memory from mem_alloc; a failed allocation sets a flag that
// every later call sees (nothing throws). Its memory is wiped whenever it is released, so an
// encoding of a secret leaves no copy behind.
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace jarnel::der {

inline constexpr unsigned char TAG_INTEGER = 0x02, TAG_BIT_STRING = 0x03,
                               TAG_OCTET_STRING = 0x04, TAG_NULL = 0x05, TAG_OID = 0x06,
                               TAG_SEQUENCE = 0x30, TAG_SET = 0x31, TAG_CTX0_CONS = 0xA0,
                               TAG_CTX0_PRIM = 0x80;

// Upper bound of a length the reader accepts (and of a whole encoding the writer builds).
inline constexpr std::size_t kMaxLength = 0x7FFFFFFF;

// An OBJECT IDENTIFIER as its arcs.
struct Oid {
  static constexpr std::size_t kMaxArcs = 16;
  std::uint32_t arcs[kMaxArcs] = {};
  std::size_t len = 0;
  std::span<const std::uint32_t> span() const { return {arcs, len}; }
  bool operator==(std::span<const std::uint32_t> other) const;
};

class Reader {
 public:
  Reader() = default;
  explicit Reader(std::span<const unsigned char> in) : in_(in) {}
  bool empty() const { return in_.empty(); }
  std::size_t remaining() const { return in_.size(); }
  // The tag of the next element, 0 when none.
  unsigned char peek_tag() const { return in_.empty() ? 0 : in_[0]; }
  // Where the next element starts.
  const unsigned char* position() const { return in_.data(); }

  // Reads one element with the given tag; out is its content.
  bool expect(unsigned char tag, std::span<const unsigned char>& out);
  // As expect, and element is the whole encoding (tag and length included).
  bool expect_element(unsigned char tag, std::span<const unsigned char>& element,
                      std::span<const unsigned char>& content);
  // Reads one element of any tag.
  bool any(unsigned char& tag, std::span<const unsigned char>& content);
  // Reads a constructed element and gives a reader over its content.
  bool enter(unsigned char tag, Reader& out);
  bool sequence(Reader& out) { return enter(TAG_SEQUENCE, out); }
  // Non-negative INTEGER in minimal form: its magnitude without the sign byte (at least one
  // byte; 0 reads as one zero byte).
  bool integer_bytes(std::span<const unsigned char>& magnitude);
  // Non-negative INTEGER into a number (the number may be a secure one: only it receives the
  // value).
  bool integer(BIGNUM* out);
  bool small_integer(unsigned& out);
  bool octets(std::span<const unsigned char>& out) { return expect(TAG_OCTET_STRING, out); }
  // BIT STRING with no unused bits; out is the bits' bytes.
  bool bit_string(std::span<const unsigned char>& out);
  bool oid(Oid& out);

 private:
  std::span<const unsigned char> in_;
};

class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer();

  // False once anything failed (memory, an unclosed element, a bad argument).
  bool ok() const { return !failed_; }
  std::span<const unsigned char> bytes() const { return {buf_, len_}; }
  std::size_t size() const { return len_; }

  void byte(unsigned char b) { raw({&b, 1}); }
  void raw(std::span<const unsigned char> bytes);
  void tlv(unsigned char tag, std::span<const unsigned char> content);
  // Non-negative INTEGER; false (and the writer failed) for a null or negative number.
  bool integer(const BIGNUM* v);
  // Non-negative INTEGER from big-endian magnitude bytes.
  void integer_bytes(std::span<const unsigned char> magnitude);
  void small_integer(unsigned v);
  void octets(std::span<const unsigned char> v) { tlv(TAG_OCTET_STRING, v); }
  // BIT STRING with no unused bits.
  void bit_string(std::span<const unsigned char> v);
  void oid(std::span<const std::uint32_t> arcs);
  void oid(const Oid& o) { oid(o.span()); }
  // Opens a constructed element; close() fills in its length.
  void open(unsigned char tag);
  void close();

  // Hands the encoding out with the d2i/i2d conventions: with pp null only the length; with
  // *pp non-null the bytes are copied there and *pp advanced; with *pp null a buffer from
  // mem_alloc is made for the caller. Returns the length, or 0 (nothing written) on failure.
  int finish(unsigned char** pp) const;

 private:
  static constexpr int kMaxDepth = 8;
  // Room for n more bytes plus the long-form length bytes still owed to open elements, so
  // close() never allocates.
  unsigned char* grow(std::size_t n);
  void put_length(std::size_t len);

  unsigned char* buf_ = nullptr;
  std::size_t len_ = 0;
  std::size_t cap_ = 0;
  std::size_t open_[kMaxDepth] = {};
  int depth_ = 0;
  bool failed_ = false;
};

}  // namespace jarnel::der
