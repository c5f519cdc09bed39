// Built-in S-boxes of GOST 28147-89 and GOST R 34.11-94 in packed form, and their shared
// expanded tables.
#include "crypto/rus/sboxes.h"

#include <array>

#include "crypto/lock.h"

namespace jarnel::gost89 {
namespace {

using Rows = std::array<std::array<unsigned char, 16>, 8>;  // S1..S8, S1 on bits 0..3

// Packed form: row r, byte g holds S(2g+2)[r] in the high nibble and S(2g+1)[r] in the low.
constexpr std::array<unsigned char, 64> pack(const Rows& s) {
  std::array<unsigned char, 64> p{};
  for (int r = 0; r < 16; ++r)
    for (int g = 0; g < 4; ++g)
      p[4 * r + g] = static_cast<unsigned char>((s[2 * g + 1][r] << 4) | s[2 * g][r]);
  return p;
}

constexpr Rows kDefaultCipher = {{
    {0x3, 0x6, 0x1, 0x0, 0x5, 0x7, 0xD, 0x9, 0x4, 0xB, 0x8, 0xC, 0xE, 0xF, 0x2, 0xA},
    {0x7, 0x1, 0x5, 0x2, 0x8, 0xB, 0x9, 0xC, 0xD, 0x0, 0x3, 0xA, 0xF, 0xE, 0x4, 0x6},
    {0xF, 0x1, 0x4, 0x6, 0xC, 0x8, 0x9, 0x2, 0xE, 0x3, 0x7, 0xA, 0xB, 0xD, 0x5, 0x0},
    {0x3, 0x4, 0xF, 0xC, 0x5, 0x9, 0xE, 0x0, 0x6, 0x8, 0x7, 0xA, 0x1, 0xB, 0xD, 0x2},
    {0x6, 0x9, 0x0, 0x7, 0xB, 0x8, 0x4, 0xC, 0x2, 0xE, 0xA, 0xF, 0x1, 0xD, 0x5, 0x3},
    {0x6, 0x1, 0x2, 0xF, 0x0, 0xB, 0x9, 0xC, 0x7, 0xD, 0xA, 0x5, 0x8, 0x4, 0xE, 0x3},
    {0x0, 0x2, 0xE, 0xC, 0x9, 0x1, 0x4, 0x7, 0x3, 0xF, 0x6, 0x8, 0xA, 0xD, 0xB, 0x5},
    {0x5, 0x2, 0xB, 0x8, 0x4, 0xC, 0x7, 0x1, 0xA, 0x6, 0xE, 0x0, 0x9, 0x3, 0xD, 0xF},
}};

constexpr Rows kDefaultHash = {{
    {0xB, 0xD, 0x7, 0x0, 0x5, 0x4, 0x1, 0xF, 0x9, 0xE, 0x6, 0xA, 0x3, 0xC, 0x8, 0x2},
    {0x1, 0x2, 0x7, 0x9, 0xD, 0xB, 0xF, 0x8, 0xE, 0xC, 0x4, 0x0, 0x5, 0x6, 0xA, 0x3},
    {0x5, 0x1, 0xD, 0x3, 0xF, 0x6, 0xC, 0x7, 0x9, 0x8, 0xB, 0x2, 0x4, 0xE, 0x0, 0xA},
    {0xD, 0x1, 0xB, 0x4, 0x9, 0xC, 0xE, 0x0, 0x7, 0x5, 0x8, 0xF, 0x6, 0x2, 0xA, 0x3},
    {0x2, 0xD, 0xA, 0xF, 0x9, 0xB, 0x3, 0x7, 0x8, 0xC, 0x5, 0xE, 0x6, 0x0, 0x1, 0x4},
    {0x0, 0x4, 0x6, 0xC, 0x5, 0x3, 0x8, 0xD, 0xA, 0xB, 0xF, 0x2, 0x1, 0x9, 0x7, 0xE},
    {0x1, 0x3, 0xC, 0x8, 0xA, 0x6, 0xB, 0x0, 0x2, 0xE, 0x7, 0x9, 0xF, 0x4, 0x5, 0xD},
    {0xA, 0xB, 0x6, 0x0, 0x1, 0x3, 0x4, 0x7, 0xE, 0xD, 0x5, 0xF, 0x8, 0x2, 0x9, 0xC},
}};

// id-GostR3411-94-TestParamSet (RFC 4357).
constexpr Rows kHashTest = {{
    {4, 10, 9, 2, 13, 8, 0, 14, 6, 11, 1, 12, 7, 15, 5, 3},
    {14, 11, 4, 12, 6, 13, 15, 10, 2, 3, 8, 1, 0, 7, 5, 9},
    {5, 8, 1, 13, 10, 3, 4, 2, 14, 15, 12, 7, 6, 0, 9, 11},
    {7, 13, 10, 1, 0, 8, 9, 15, 14, 4, 6, 12, 11, 2, 5, 3},
    {6, 12, 7, 1, 5, 15, 13, 8, 4, 10, 9, 14, 0, 3, 11, 2},
    {4, 11, 10, 0, 7, 2, 1, 13, 3, 6, 8, 5, 9, 12, 15, 14},
    {13, 11, 4, 1, 3, 15, 5, 9, 0, 10, 14, 7, 6, 8, 2, 12},
    {1, 15, 13, 0, 5, 7, 10, 4, 9, 2, 3, 14, 6, 11, 8, 12},
}};

// id-GostR3411-94-CryptoProParamSet (RFC 4357).
constexpr Rows kHashCryptoPro = {{
    {10, 4, 5, 6, 8, 1, 3, 7, 13, 12, 14, 0, 9, 2, 11, 15},
    {5, 15, 4, 0, 2, 13, 11, 9, 1, 7, 6, 3, 12, 14, 10, 8},
    {7, 15, 12, 14, 9, 4, 1, 0, 3, 11, 5, 2, 6, 10, 8, 13},
    {4, 10, 7, 12, 0, 15, 2, 8, 14, 1, 6, 5, 13, 11, 9, 3},
    {7, 6, 4, 11, 9, 12, 2, 10, 1, 8, 0, 14, 15, 13, 3, 5},
    {7, 6, 2, 4, 13, 9, 15, 0, 10, 1, 5, 11, 8, 14, 12, 3},
    {13, 14, 4, 1, 7, 0, 5, 10, 3, 12, 8, 15, 6, 2, 9, 11},
    {1, 3, 10, 9, 5, 11, 4, 15, 8, 6, 7, 14, 13, 0, 2, 12},
}};

// id-Gost28147-89-CryptoPro-A..D-ParamSet (RFC 4357).
constexpr Rows kCryptoProA = {{
    {9, 6, 3, 2, 8, 11, 1, 7, 10, 4, 14, 15, 12, 0, 13, 5},
    {3, 7, 14, 9, 8, 10, 15, 0, 5, 2, 6, 12, 11, 4, 13, 1},
    {14, 4, 6, 2, 11, 3, 13, 8, 12, 15, 5, 10, 0, 7, 1, 9},
    {14, 7, 10, 12, 13, 1, 3, 9, 0, 2, 11, 4, 15, 8, 5, 6},
    {11, 5, 1, 9, 8, 13, 15, 0, 14, 4, 2, 3, 12, 7, 10, 6},
    {3, 10, 13, 12, 1, 2, 0, 11, 7, 5, 9, 4, 8, 15, 14, 6},
    {1, 13, 2, 9, 7, 10, 6, 0, 8, 12, 4, 5, 15, 3, 11, 14},
    {11, 10, 15, 5, 0, 12, 14, 8, 6, 2, 3, 9, 1, 7, 13, 4},
}};
constexpr Rows kCryptoProB = {{
    {8, 4, 11, 1, 3, 5, 0, 9, 2, 14, 10, 12, 13, 6, 7, 15},
    {0, 1, 2, 10, 4, 13, 5, 12, 9, 7, 3, 15, 11, 8, 6, 14},
    {14, 12, 0, 10, 9, 2, 13, 11, 7, 5, 8, 15, 3, 6, 1, 4},
    {7, 5, 0, 13, 11, 6, 1, 2, 3, 10, 12, 15, 4, 14, 9, 8},
    {2, 7, 12, 15, 9, 5, 10, 11, 1, 4, 0, 13, 6, 8, 14, 3},
    {8, 3, 2, 6, 4, 13, 14, 11, 12, 1, 7, 15, 10, 0, 9, 5},
    {5, 2, 10, 11, 9, 1, 12, 3, 7, 4, 13, 0, 6, 15, 8, 14},
    {0, 4, 11, 14, 8, 3, 7, 1, 10, 2, 9, 6, 15, 13, 5, 12},
}};
constexpr Rows kCryptoProC = {{
    {1, 11, 12, 2, 9, 13, 0, 15, 4, 5, 8, 14, 10, 7, 6, 3},
    {0, 1, 7, 13, 11, 4, 5, 2, 8, 14, 15, 12, 9, 10, 6, 3},
    {8, 2, 5, 0, 4, 9, 15, 10, 3, 7, 12, 13, 6, 14, 1, 11},
    {3, 6, 0, 1, 5, 13, 10, 8, 11, 2, 9, 7, 14, 15, 12, 4},
    {8, 13, 11, 0, 4, 5, 1, 2, 9, 3, 12, 14, 6, 15, 10, 7},
    {12, 9, 11, 1, 8, 14, 2, 4, 7, 3, 6, 5, 10, 0, 15, 13},
    {10, 9, 6, 8, 13, 14, 2, 0, 15, 3, 5, 11, 4, 1, 12, 7},
    {7, 4, 0, 5, 10, 2, 15, 14, 12, 6, 1, 11, 13, 9, 3, 8},
}};
constexpr Rows kCryptoProD = {{
    {15, 12, 2, 10, 6, 4, 5, 0, 7, 9, 14, 13, 1, 11, 8, 3},
    {11, 6, 3, 4, 12, 15, 14, 2, 7, 13, 8, 0, 5, 10, 9, 1},
    {1, 12, 11, 0, 15, 14, 6, 5, 10, 13, 4, 8, 9, 3, 7, 2},
    {1, 5, 14, 12, 10, 7, 0, 13, 6, 2, 11, 4, 9, 3, 15, 8},
    {0, 12, 8, 9, 13, 2, 10, 11, 7, 3, 6, 5, 4, 14, 15, 1},
    {8, 0, 15, 3, 2, 5, 14, 11, 1, 10, 4, 7, 12, 9, 13, 6},
    {3, 0, 6, 15, 1, 14, 9, 2, 13, 8, 12, 4, 11, 10, 5, 7},
    {1, 10, 6, 8, 15, 11, 0, 4, 12, 3, 5, 9, 7, 13, 2, 14},
}};

// id-tc26-gost-28147-param-Z (RFC 7836), the substitution of GOST R 34.12-2015's 64-bit cipher.
constexpr Rows kTc26Z = {{
    {12, 4, 6, 2, 10, 5, 11, 9, 14, 8, 13, 7, 0, 3, 15, 1},
    {6, 8, 2, 3, 9, 10, 5, 12, 1, 14, 4, 7, 11, 13, 0, 15},
    {11, 3, 5, 8, 2, 15, 10, 13, 14, 1, 7, 4, 12, 9, 6, 0},
    {12, 8, 2, 1, 13, 4, 15, 6, 7, 0, 10, 5, 3, 14, 9, 11},
    {7, 15, 5, 10, 8, 1, 6, 13, 0, 9, 3, 14, 11, 4, 2, 12},
    {5, 13, 15, 6, 9, 2, 12, 10, 11, 7, 8, 1, 4, 3, 14, 0},
    {8, 14, 2, 5, 6, 9, 1, 12, 15, 4, 11, 0, 13, 10, 3, 7},
    {1, 7, 14, 13, 0, 5, 8, 3, 4, 15, 10, 6, 9, 12, 11, 2},
}};

// Library-wide list, in the order the integrity check hashes them.
constexpr std::array<unsigned char, 64> kPacked[kSharedCount] = {
    pack(kDefaultCipher), pack(kDefaultHash), pack(kHashCryptoPro), pack(kCryptoProA),
    pack(kCryptoProB),    pack(kCryptoProC),  pack(kCryptoProD)};
constexpr std::array<unsigned char, 64> kPackedHashTest = pack(kHashTest);
constexpr std::array<unsigned char, 64> kPackedTc26Z = pack(kTc26Z);

SharedTable g_shared[kSharedCount];

}  // namespace

const unsigned char* packed(int index) { return kPacked[index].data(); }
const unsigned char* packed_hash_test() { return kPackedHashTest.data(); }
const unsigned char* packed_tc26_z() { return kPackedTc26Z.data(); }

void expand(const unsigned char* sbox, GOSTE_TABLE* out) {
  for (int g = 0; g < 4; ++g) {
    for (int i = 0; i < 16; ++i) {
      for (int k = 0; k < 16; ++k) {
        std::uint32_t v = static_cast<std::uint32_t>((sbox[4 * i + g] & 0xF0) |
                                                     (sbox[4 * k + g] & 0x0F));
        v <<= 8 * g;
        out->t[g][16 * i + k] = (v << 11) | (v >> 21);
      }
    }
  }
}

int shared_index(const unsigned char* sbox) {
  for (int i = 0; i < kSharedCount; ++i)
    if (std::memcmp(sbox, kPacked[i].data(), 64) == 0) return i;
  return -1;
}

const GOSTE_TABLE* shared_table(int index) {
  SharedTable& s = g_shared[index];
  if (!s.ready.load(std::memory_order_acquire)) {
    LockGuard guard(locks::SBOX);
    if (!s.ready.load(std::memory_order_relaxed)) {
      expand(kPacked[index].data(), &s.table);
      s.self = &s.table;
      s.ready.store(1, std::memory_order_release);
    }
  }
  return &s.table;
}

SharedTable* shared_record(int index) { return &g_shared[index]; }

}  // namespace jarnel::gost89
