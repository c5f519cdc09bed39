#pragma once
// The GOST 28147-89 round function and its cycles over an expanded table (internal to
// crypto/rus).
//
// Blocks are handled as two words: b[0] from bytes 0..3, b[1] from bytes 4..7 (little-endian).
// The rounds alternate which half they update instead of swapping halves, so the 32-round cycles
// end with the halves exchanged and the 16-round MAC cycle without.
//
// One template, cycle_with<Order, N>, runs any of the three key orders over N independent
// blocks at once: the rounds of one block fill the latency gaps of the others. Everything is
// unrolled at compile time (rounds and blocks) and forced inline, so each key index is a
// constant and every block's halves stay in registers.
#include <cstdint>
#include <cstring>
#include <utility>

#include "crypto/byteorder.h"
#include "crypto/rus/gost89.h"

namespace jarnel::gost89 {

// The shared byte-order helpers (crypto/byteorder.h).
using jarnel::load_le32;
using jarnel::store_le32;

// Key order of a cycle: encryption K0..K7 three times then K7..K0; decryption K0..K7 once then
// K7..K0 three times; the MAC cycle K0..K7 twice.
enum class Order { Encrypt, Decrypt, Mac };

template <Order O>
inline constexpr int kRounds = O == Order::Mac ? 16 : 32;

template <Order O>
constexpr int key_index(int round) {
  if constexpr (O == Order::Encrypt) return round < 24 ? round % 8 : 7 - round % 8;
  if constexpr (O == Order::Decrypt) return round < 8 ? round : 7 - round % 8;
  return round % 8;
}

// Where the round keys come from. A key source gives, for key word i, the key of each block:
// keys.round(i)(j) is word i of the key of block j. round(i) is called once per round.
//
// One key for every block, read from memory afresh in each round. With four blocks in flight
// their eight halves and the addresses fill the registers; were the key words kept in registers
// across rounds as well (which the compiler does for words it has loaded once), block state
// would spill. The empty asm hides that the pointer is the same in every round, so each round
// loads its one word, which all blocks then share.
struct OneKey {
  const std::uint32_t* k;
  struct Word {
    std::uint32_t w;
    std::uint32_t operator()(int) const { return w; }
  };
  Word round(int i) const {
    const std::uint32_t* p = k;
    asm volatile("" : "+r"(p));
    return {p[i]};
  }
};
// One key for every block through a plain pointer: the compiler holds in registers those words
// it sees fit and reloads the others. Better than OneKey where the mode keeps more of its own
// state live across the cycle (CFB and CBC decryption keep the ciphertext for the final XOR).
struct OneKeyHeld {
  const std::uint32_t* k;
  OneKey::Word round(int i) const { return {k[i]}; }
};
// The same from a local copy, which the compiler keeps in registers: the better choice when one
// or two blocks leave registers free.
struct OneKeyCopy {
  std::uint32_t k[8];
  explicit OneKeyCopy(const std::uint32_t* key) {
    for (int i = 0; i < 8; ++i) k[i] = key[i];
  }
  OneKey::Word round(int i) const { return {k[i]}; }
};
// A key of its own per block (the hash encrypts four blocks under four keys).
struct KeyPerBlock {
  const std::uint32_t (*k)[8];
  struct Words {
    const std::uint32_t (*k)[8];
    int i;
    std::uint32_t operator()(int block) const { return k[block][i]; }
  };
  Words round(int i) const { return {k, i}; }
};

// The round function: four table look-ups, one per byte, the rotation built into the tables.
[[gnu::always_inline]] inline std::uint32_t f(const GOSTE_TABLE* T, std::uint32_t x) {
  return T->t[0][x & 0xFF] ^ T->t[1][(x >> 8) & 0xFF] ^ T->t[2][(x >> 16) & 0xFF] ^
         T->t[3][x >> 24];
}

namespace detail {

// Round r of every block: even rounds update the second half from the first, odd rounds the
// first from the second.
template <Order O, int R, class Keys, std::size_t... J>
[[gnu::always_inline]] inline void round_all(const GOSTE_TABLE* T, const Keys& keys,
                                             std::uint32_t* a, std::uint32_t* b,
                                             std::index_sequence<J...>) {
  const auto key = keys.round(key_index<O>(R));
  if constexpr (R % 2 == 0)
    ((b[J] ^= f(T, a[J] + key(static_cast<int>(J)))), ...);
  else
    ((a[J] ^= f(T, b[J] + key(static_cast<int>(J)))), ...);
}

template <Order O, int N, class Keys, std::size_t... R>
[[gnu::always_inline]] inline void rounds(const GOSTE_TABLE* T, const Keys& keys, std::uint32_t* a,
                                          std::uint32_t* b, std::index_sequence<R...>) {
  (round_all<O, static_cast<int>(R)>(T, keys, a, b, std::make_index_sequence<N>{}), ...);
}

}  // namespace detail

// Runs the cycle of order O over N blocks in place (blk[j][0], blk[j][1]: the two halves of
// block j), block j under the key keys.round(.)(j).
template <Order O, int N, class Keys>
[[gnu::always_inline]] inline void cycle_with(const GOSTE_TABLE* T, const Keys& keys,
                                              std::uint32_t (&blk)[N][2]) {
  std::uint32_t a[N], b[N];
  for (int j = 0; j < N; ++j) {
    a[j] = blk[j][0];
    b[j] = blk[j][1];
  }
  detail::rounds<O, N>(T, keys, a, b, std::make_index_sequence<kRounds<O>>{});
  for (int j = 0; j < N; ++j) {
    // After 32 rounds the last update went into the first half: the halves come out exchanged.
    blk[j][0] = O == Order::Mac ? a[j] : b[j];
    blk[j][1] = O == Order::Mac ? b[j] : a[j];
  }
}

// All N blocks under one key: one or two blocks from a register copy of the key, more from
// memory through Wide (OneKey or OneKeyHeld).
template <Order O, class Wide = OneKey, int N>
[[gnu::always_inline]] inline void cycle(const GOSTE_TABLE* T, const std::uint32_t* k,
                                         std::uint32_t (&blk)[N][2]) {
  if constexpr (N <= 2)
    cycle_with<O, N>(T, OneKeyCopy(k), blk);
  else
    cycle_with<O, N>(T, Wide{k}, blk);
}

// One block as two words.
template <Order O>
[[gnu::always_inline]] inline void cycle1(const GOSTE_TABLE* T, const std::uint32_t* k,
                                          std::uint32_t& b0, std::uint32_t& b1) {
  std::uint32_t blk[1][2] = {{b0, b1}};
  cycle_with<O, 1>(T, OneKeyCopy(k), blk);
  b0 = blk[0][0];
  b1 = blk[0][1];
}

[[gnu::always_inline]] inline void encrypt(const GOSTE_TABLE* T, const std::uint32_t* k,
                                           std::uint32_t& b0, std::uint32_t& b1) {
  cycle1<Order::Encrypt>(T, k, b0, b1);
}
[[gnu::always_inline]] inline void decrypt(const GOSTE_TABLE* T, const std::uint32_t* k,
                                           std::uint32_t& b0, std::uint32_t& b1) {
  cycle1<Order::Decrypt>(T, k, b0, b1);
}
[[gnu::always_inline]] inline void mac16(const GOSTE_TABLE* T, const std::uint32_t* k,
                                         std::uint32_t& b0, std::uint32_t& b1) {
  cycle1<Order::Mac>(T, k, b0, b1);
}

// N consecutive blocks of memory to and from the two-word form.
template <int N>
inline void load_blocks(const unsigned char* p, std::uint32_t (&blk)[N][2]) {
  for (int j = 0; j < N; ++j) {
    blk[j][0] = load_le32(p + 8 * j);
    blk[j][1] = load_le32(p + 8 * j + 4);
  }
}
template <int N>
inline void store_blocks(unsigned char* p, const std::uint32_t (&blk)[N][2]) {
  for (int j = 0; j < N; ++j) {
    store_le32(p + 8 * j, blk[j][0]);
    store_le32(p + 8 * j + 4, blk[j][1]);
  }
}

// Walks the whole 8-byte blocks of [i, end) in groups of four, then two, then one block, calling
// step.template operator()<N>(offset) for each group; returns the offset after the last whole
// block. Modes whose blocks are independent (or whose inputs are all known in advance) use it to
// interleave blocks.
// Steps are lambdas marked JARNEL_GOST_STEP so that they are inlined like the cycles.
#define JARNEL_GOST_STEP __attribute__((always_inline))
template <class Step>
[[gnu::always_inline]] inline int for_block_groups(int i, int end, Step&& step) {
  for (; i + 32 <= end; i += 32) step.template operator()<4>(i);
  for (; i + 16 <= end; i += 16) step.template operator()<2>(i);
  for (; i + 8 <= end; i += 8) step.template operator()<1>(i);
  return i;
}

}  // namespace jarnel::gost89
