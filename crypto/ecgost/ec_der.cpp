#include "crypto/ecgost/ec_der.h"

#include <openssl/crypto.h>

namespace jarnel::der {
namespace {

void put_length(std::vector<unsigned char>& out, std::size_t len) {
  if (len < 0x80) {
    out.push_back(static_cast<unsigned char>(len));
    return;
  }
  unsigned char tmp[sizeof(std::size_t)];
  int n = 0;
  while (len) {
    tmp[n++] = static_cast<unsigned char>(len & 0xFF);
    len >>= 8;
  }
  out.push_back(static_cast<unsigned char>(0x80 | n));
  while (n) out.push_back(tmp[--n]);
}

}  // namespace

Writer::~Writer() {
  if (!buf_.empty()) OPENSSL_cleanse(buf_.data(), buf_.size());
}

void Writer::raw(std::span<const unsigned char> bytes) {
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

void Writer::tlv(unsigned char tag, std::span<const unsigned char> content) {
  buf_.push_back(tag);
  put_length(buf_, content.size());
  raw(content);
}

bool Writer::integer(const BIGNUM* v) {
  if (!v || BN_is_negative(v)) return false;
  const int n = BN_num_bytes(v);
  std::vector<unsigned char> tmp(static_cast<std::size_t>(n) + 1, 0);
  BN_bn2bin(v, tmp.data() + 1);
  // A leading zero stays only when the top bit would make the number negative (or for 0).
  std::size_t start = (n > 0 && !(tmp[1] & 0x80)) ? 1 : 0;
  tlv(TAG_INTEGER, std::span<const unsigned char>(tmp).subspan(start));
  OPENSSL_cleanse(tmp.data(), tmp.size());
  return true;
}

void Writer::small_integer(unsigned v) {
  unsigned char tmp[5];
  int n = 0;
  do {
    tmp[n++] = static_cast<unsigned char>(v & 0xFF);
    v >>= 8;
  } while (v);
  if (tmp[n - 1] & 0x80) tmp[n++] = 0;
  unsigned char be[5];
  for (int i = 0; i < n; ++i) be[i] = tmp[n - 1 - i];
  tlv(TAG_INTEGER, std::span<const unsigned char>(be, static_cast<std::size_t>(n)));
}

void Writer::oid(std::span<const std::uint32_t> arcs) {
  std::vector<unsigned char> body;
  auto put_arc = [&body](std::uint32_t v) {
    unsigned char tmp[5];
    int n = 0;
    do {
      tmp[n++] = static_cast<unsigned char>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (n > 1) body.push_back(static_cast<unsigned char>(tmp[--n] | 0x80));
    body.push_back(tmp[0]);
  };
  if (arcs.size() >= 2) {
    put_arc(arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) put_arc(arcs[i]);
  }
  tlv(TAG_OID, body);
}

void Writer::open(unsigned char tag) {
  buf_.push_back(tag);
  open_.push_back(buf_.size());
}

void Writer::close() {
  const std::size_t start = open_.back();
  open_.pop_back();
  const std::size_t len = buf_.size() - start;
  std::vector<unsigned char> hdr;
  put_length(hdr, len);
  buf_.insert(buf_.begin() + static_cast<std::ptrdiff_t>(start), hdr.begin(), hdr.end());
}

bool Reader::expect(unsigned char tag, std::span<const unsigned char>& out) {
  if (in_.size() < 2 || in_[0] != tag) return false;
  std::size_t pos = 1;
  std::size_t len = in_[pos++];
  if (len & 0x80) {
    const std::size_t n = len & 0x7F;
    if (n == 0 || n > 4 || in_.size() < pos + n || in_[pos] == 0) return false;
    len = 0;
    for (std::size_t i = 0; i < n; ++i) len = (len << 8) | in_[pos++];
    if (len < 0x80) return false;  // not minimal
  }
  if (in_.size() - pos < len) return false;
  out = in_.subspan(pos, len);
  in_ = in_.subspan(pos + len);
  return true;
}

bool Reader::enter(unsigned char tag, Reader& out) {
  std::span<const unsigned char> c;
  if (!expect(tag, c)) return false;
  out = Reader(c);
  return true;
}

bool Reader::integer(BIGNUM* out) {
  std::span<const unsigned char> c;
  if (!expect(TAG_INTEGER, c) || c.empty()) return false;
  if (c[0] & 0x80) return false;                                // negative
  if (c.size() > 1 && c[0] == 0 && !(c[1] & 0x80)) return false;  // not minimal
  return BN_bin2bn(c.data(), static_cast<int>(c.size()), out) != nullptr;
}

bool Reader::small_integer(unsigned& out) {
  std::span<const unsigned char> c;
  if (!expect(TAG_INTEGER, c) || c.empty() || c.size() > 4 || (c[0] & 0x80)) return false;
  if (c.size() > 1 && c[0] == 0 && !(c[1] & 0x80)) return false;
  out = 0;
  for (unsigned char b : c) out = (out << 8) | b;
  return true;
}

bool Reader::oid(std::vector<std::uint32_t>& arcs) {
  std::span<const unsigned char> c;
  if (!expect(TAG_OID, c) || c.empty()) return false;
  arcs.clear();
  std::uint32_t v = 0;
  bool first = true;
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (v == 0 && c[i] == 0x80) return false;
    if (v > (0xFFFFFFFFu >> 7)) return false;
    v = (v << 7) | (c[i] & 0x7F);
    if (c[i] & 0x80) {
      if (i + 1 == c.size()) return false;
      continue;
    }
    if (first) {
      const std::uint32_t a0 = v < 80 ? v / 40 : 2;
      arcs.push_back(a0);
      arcs.push_back(v - 40 * a0);
      first = false;
    } else {
      arcs.push_back(v);
    }
    v = 0;
  }
  return true;
}

}  // namespace jarnel::der
