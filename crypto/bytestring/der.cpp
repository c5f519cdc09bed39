#include "crypto/bytestring/der.h"

#include <algorithm>
#include <cstring>

#include "crypto/mem.h"

namespace jarnel::der {

bool Oid::operator==(std::span<const std::uint32_t> other) const {
  return len == other.size() && std::equal(other.begin(), other.end(), arcs);
}

// ---- reading --------------------------------------------------------------------------------

bool Reader::expect_element(unsigned char tag, std::span<const unsigned char>& element,
                            std::span<const unsigned char>& content) {
  if (in_.size() < 2 || in_[0] != tag) return false;
  // High tag numbers (a following tag byte) are not used by any structure read here.
  if ((tag & 0x1F) == 0x1F) return false;
  std::size_t pos = 1;
  std::size_t len = in_[pos++];
  if (len & 0x80) {
    const std::size_t n = len & 0x7F;
    // n == 0 is the indefinite form, which DER does not have.
    if (n == 0 || n > 4 || in_.size() - pos < n || in_[pos] == 0) return false;
    len = 0;
    for (std::size_t i = 0; i < n; ++i) len = (len << 8) | in_[pos++];
    if (len < 0x80) return false;  // the short form would have done
  }
  if (len > kMaxLength || in_.size() - pos < len) return false;
  element = in_.subspan(0, pos + len);
  content = in_.subspan(pos, len);
  in_ = in_.subspan(pos + len);
  return true;
}

bool Reader::expect(unsigned char tag, std::span<const unsigned char>& out) {
  std::span<const unsigned char> element;
  return expect_element(tag, element, out);
}

bool Reader::any(unsigned char& tag, std::span<const unsigned char>& content) {
  if (in_.empty()) return false;
  tag = in_[0];
  return expect(tag, content);
}

bool Reader::enter(unsigned char tag, Reader& out) {
  std::span<const unsigned char> c;
  if (!(tag & 0x20) || !expect(tag, c)) return false;
  out = Reader(c);
  return true;
}

// The typed reads below work on a copy and move on only when the element is accepted, so a
// refused element stays where it was.
bool Reader::integer_bytes(std::span<const unsigned char>& magnitude) {
  Reader r = *this;
  std::span<const unsigned char> c;
  if (!r.expect(TAG_INTEGER, c) || c.empty()) return false;
  if (c[0] & 0x80) return false;                                  // negative
  if (c.size() > 1 && c[0] == 0 && !(c[1] & 0x80)) return false;  // not minimal
  magnitude = (c.size() > 1 && c[0] == 0) ? c.subspan(1) : c;
  *this = r;
  return true;
}

bool Reader::integer(BIGNUM* out) {
  Reader r = *this;
  std::span<const unsigned char> m;
  if (!out || !r.integer_bytes(m) ||
      BN_bin2bn(m.data(), static_cast<int>(m.size()), out) == nullptr)
    return false;
  *this = r;
  return true;
}

bool Reader::small_integer(unsigned& out) {
  Reader r = *this;
  std::span<const unsigned char> m;
  if (!r.integer_bytes(m) || m.size() > sizeof(unsigned)) return false;
  out = 0;
  for (unsigned char b : m) out = (out << 8) | b;
  *this = r;
  return true;
}

bool Reader::bit_string(std::span<const unsigned char>& out) {
  Reader r = *this;
  std::span<const unsigned char> c;
  if (!r.expect(TAG_BIT_STRING, c) || c.empty() || c[0] != 0) return false;
  out = c.subspan(1);
  *this = r;
  return true;
}

bool Reader::oid(Oid& out) {
  Reader r = *this;
  std::span<const unsigned char> c;
  if (!r.expect(TAG_OID, c) || c.empty()) return false;
  out.len = 0;
  std::uint32_t v = 0;
  bool first = true;
  bool fresh = true;
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (fresh && c[i] == 0x80) return false;  // a leading zero group is not minimal
    fresh = false;
    if (v > (0xFFFFFFFFu >> 7)) return false;
    v = (v << 7) | (c[i] & 0x7F);
    if (c[i] & 0x80) {
      if (i + 1 == c.size()) return false;
      continue;
    }
    const std::size_t need = first ? 2 : 1;
    if (out.len + need > Oid::kMaxArcs) return false;
    if (first) {
      const std::uint32_t a0 = v < 80 ? v / 40 : 2;
      out.arcs[out.len++] = a0;
      out.arcs[out.len++] = v - 40 * a0;
      first = false;
    } else {
      out.arcs[out.len++] = v;
    }
    v = 0;
    fresh = true;
  }
  *this = r;
  return true;
}

// ---- writing --------------------------------------------------------------------------------

Writer::~Writer() { mem_clear_free(buf_, cap_); }

unsigned char* Writer::grow(std::size_t n) {
  if (failed_) return nullptr;
  const std::size_t reserve = 4 * static_cast<std::size_t>(depth_);
  if (n > kMaxLength - len_ - reserve) {
    failed_ = true;
    return nullptr;
  }
  const std::size_t need = len_ + n + reserve;
  if (need > cap_) {
    std::size_t cap = std::max<std::size_t>({need, 2 * cap_, 64});
    auto* p = static_cast<unsigned char*>(mem_alloc(cap));
    if (!p) {
      failed_ = true;
      return nullptr;
    }
    // A moved encoding may hold a secret: the old block is wiped, never handed to realloc.
    if (len_) std::memcpy(p, buf_, len_);
    mem_clear_free(buf_, cap_);
    buf_ = p;
    cap_ = cap;
  }
  unsigned char* at = buf_ + len_;
  len_ += n;
  return at;
}

void Writer::raw(std::span<const unsigned char> bytes) {
  unsigned char* at = grow(bytes.size());
  if (at && !bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
}

void Writer::put_length(std::size_t len) {
  unsigned char tmp[5];
  std::size_t n = 0;
  if (len < 0x80) {
    tmp[n++] = static_cast<unsigned char>(len);
  } else {
    int bytes = 0;
    for (std::size_t v = len; v; v >>= 8) ++bytes;
    tmp[n++] = static_cast<unsigned char>(0x80 | bytes);
    while (bytes) tmp[n++] = static_cast<unsigned char>(len >> (8 * --bytes));
  }
  raw({tmp, n});
}

void Writer::tlv(unsigned char tag, std::span<const unsigned char> content) {
  if (content.size() > kMaxLength) {
    failed_ = true;
    return;
  }
  byte(tag);
  put_length(content.size());
  raw(content);
}

bool Writer::integer(const BIGNUM* v) {
  if (!v || BN_is_negative(v)) {
    failed_ = true;
    return false;
  }
  const auto n = static_cast<std::size_t>(BN_num_bytes(v));
  // A zero byte in front when the top bit is set (it would read as negative) and for 0.
  const std::size_t pad = (n == 0 || BN_num_bits(v) % 8 == 0) ? 1 : 0;
  byte(TAG_INTEGER);
  put_length(n + pad);
  unsigned char* at = grow(n + pad);
  if (!at) return false;
  if (pad) *at++ = 0;
  // Straight into the buffer: no scratch copy of a secret number.
  if (n) BN_bn2bin(v, at);
  return ok();
}

void Writer::integer_bytes(std::span<const unsigned char> magnitude) {
  while (magnitude.size() > 1 && magnitude[0] == 0) magnitude = magnitude.subspan(1);
  const bool pad = magnitude.empty() || (magnitude[0] & 0x80);
  byte(TAG_INTEGER);
  put_length(magnitude.size() + (pad ? 1 : 0));
  if (pad) byte(0);
  raw(magnitude);
}

void Writer::small_integer(unsigned v) {
  unsigned char be[sizeof(unsigned)];
  for (std::size_t i = 0; i < sizeof be; ++i)
    be[i] = static_cast<unsigned char>(v >> (8 * (sizeof be - 1 - i)));
  integer_bytes(be);
}

void Writer::bit_string(std::span<const unsigned char> v) {
  if (v.size() >= kMaxLength) {
    failed_ = true;
    return;
  }
  byte(TAG_BIT_STRING);
  put_length(v.size() + 1);
  byte(0);
  raw(v);
}

void Writer::oid(std::span<const std::uint32_t> arcs) {
  if (arcs.size() < 2 || arcs.size() > Oid::kMaxArcs || arcs[0] > 2 ||
      (arcs[0] < 2 && arcs[1] >= 40) || arcs[1] > 0xFFFFFFFFu - 80) {
    failed_ = true;
    return;
  }
  unsigned char body[5 * Oid::kMaxArcs];
  std::size_t n = 0;
  auto put_arc = [&](std::uint32_t v) {
    unsigned char tmp[5];
    int k = 0;
    do {
      tmp[k++] = static_cast<unsigned char>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (k > 1) body[n++] = static_cast<unsigned char>(tmp[--k] | 0x80);
    body[n++] = tmp[0];
  };
  put_arc(arcs[0] * 40 + arcs[1]);
  for (std::size_t i = 2; i < arcs.size(); ++i) put_arc(arcs[i]);
  tlv(TAG_OID, {body, n});
}

void Writer::open(unsigned char tag) {
  if (depth_ == kMaxDepth) {
    failed_ = true;
    return;
  }
  byte(tag);
  ++depth_;
  // One length byte now; close() widens it into the room grow() keeps for open elements.
  byte(0);
  open_[depth_ - 1] = len_;
}

void Writer::close() {
  if (depth_ == 0) {
    failed_ = true;
    return;
  }
  const std::size_t start = open_[--depth_];
  if (failed_) return;
  const std::size_t len = len_ - start;
  if (len < 0x80) {
    buf_[start - 1] = static_cast<unsigned char>(len);
    return;
  }
  int bytes = 0;
  for (std::size_t v = len; v; v >>= 8) ++bytes;
  // The room for these bytes was kept since open(): len_ + bytes <= cap_.
  std::memmove(buf_ + start + bytes, buf_ + start, len);
  buf_[start - 1] = static_cast<unsigned char>(0x80 | bytes);
  for (int i = 0; i < bytes; ++i)
    buf_[start + i] = static_cast<unsigned char>(len >> (8 * (bytes - 1 - i)));
  len_ += static_cast<std::size_t>(bytes);
}

int Writer::finish(unsigned char** pp) const {
  if (failed_ || depth_ != 0 || len_ == 0) return 0;
  const int n = static_cast<int>(len_);
  if (!pp) return n;
  if (*pp) {
    std::memcpy(*pp, buf_, len_);
    *pp += len_;
    return n;
  }
  auto* out = static_cast<unsigned char*>(mem_alloc(len_));
  if (!out) return 0;
  std::memcpy(out, buf_, len_);
  *pp = out;
  return n;
}

}  // namespace jarnel::der
