#pragma once
// A small DER writer and reader for the few structures of this module (signatures, keys,
// parameters, key transport). Definite lengths only; the reader rejects anything that is not
// minimal DER for the elements it is asked for.
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace jarnel::der {

inline constexpr unsigned char TAG_INTEGER = 0x02, TAG_BIT_STRING = 0x03,
                               TAG_OCTET_STRING = 0x04, TAG_NULL = 0x05, TAG_OID = 0x06,
                               TAG_SEQUENCE = 0x30, TAG_CTX0_CONS = 0xA0, TAG_CTX0_PRIM = 0x80;

// Builds an encoding in a vector (the vector's memory is wiped before it is released when
// secret, see Writer::wipe).
class Writer {
 public:
  ~Writer();
  void raw(std::span<const unsigned char> bytes);
  void tlv(unsigned char tag, std::span<const unsigned char> content);
  // Non-negative INTEGER.
  bool integer(const BIGNUM* v);
  void small_integer(unsigned v);
  void octets(std::span<const unsigned char> v) { tlv(TAG_OCTET_STRING, v); }
  // OID from its dotted arcs.
  void oid(std::span<const std::uint32_t> arcs);
  // Opens a constructed element; close() fills in its length.
  void open(unsigned char tag);
  void close();
  const std::vector<unsigned char>& bytes() const { return buf_; }
  std::size_t size() const { return buf_.size(); }

 private:
  std::vector<unsigned char> buf_;
  std::vector<std::size_t> open_;
};

// Reads elements in order from a span.
class Reader {
 public:
  explicit Reader(std::span<const unsigned char> in) : in_(in) {}
  bool empty() const { return in_.empty(); }
  std::size_t remaining() const { return in_.size(); }
  unsigned char peek_tag() const { return in_.empty() ? 0 : in_[0]; }
  // Reads one element of the given tag; its content goes to out.
  bool expect(unsigned char tag, std::span<const unsigned char>& out);
  // Reads the element and gives a reader over its content.
  bool enter(unsigned char tag, Reader& out);
  // Non-negative INTEGER (minimal encoding).
  bool integer(BIGNUM* out);
  bool small_integer(unsigned& out);
  bool oid(std::vector<std::uint32_t>& arcs);
  // Bytes consumed so far relative to the start of the span given to the constructor.
  const unsigned char* position() const { return in_.data(); }

 private:
  std::span<const unsigned char> in_;
};

}  // namespace jarnel::der
