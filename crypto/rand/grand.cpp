// The GOST generator: seeding, keystream batches, the moment snapshot and its PRF, and
// keyboard seeding. Reached only through the method layer, which holds lock 17 around every
// call, so the single state below needs no lock of its own.
#include "crypto/rand/grand.h"

#include <atomic>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/lock.h"
#include "crypto/mem.h"
#include "crypto/rand/hand_out.h"
#include "crypto/rus/gost89.h"
#include "crypto/rus/gosth.h"
#include "platform/clock.h"
#include "crypto/byteorder.h"

namespace jarnel {
namespace {

constexpr std::uint32_t kInitialised = 0x1;

struct GrandState {
  GOSTE_CTX cipher;                          // gamma mode
  unsigned char keystream[GRAND_BATCH_BYTES];
  int pos;                                   // read position in keystream
  int unread;                                // bytes of keystream not yet handed out
  std::uint32_t flags;
};
GrandState g_state;

std::atomic<std::uint32_t> g_snapshot_counter{0};
std::atomic<void (*)(unsigned)> g_sleep{nullptr};

constexpr char kPromptAlphabet[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

void put_le(unsigned char* p, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t tsc_low() { return static_cast<std::uint32_t>(platform::tsc()); }

void wipe_state() {
  GOSTE_cleanup(&g_state.cipher);
  mem_cleanse(&g_state, sizeof g_state);
}

int grand_info(void*) { return 1; }

const RAND_METHOD g_grand_method = {GRAND_gamma_rand_seed, GRAND_rand_bytes, GRAND_rand_cleanup,
                                    GRAND_gamma_rand_init, grand_info};

// One step of the prompt generator.
std::uint32_t lcg_draw(std::uint32_t& state) {
  state = state * 214013U + 2531011U;
  return (state >> 16) & 0x7FFFU;
}

}  // namespace

const RAND_METHOD* GRAND_get_method() { return &g_grand_method; }

int GRAND_is_initialised() { return (g_state.flags & kInitialised) != 0; }

void GRAND_set_sleep_function(void (*fn)(unsigned)) { g_sleep.store(fn); }

void GRAND_snapshot(unsigned char* out40, std::uint32_t value) {
  std::memset(out40, 0, GRAND_SNAPSHOT_BYTES);
  platform::TimeStamp ts{};
  platform::time_now(&ts);
  put_le(out40 + 0, static_cast<std::uint64_t>(platform::time_seconds()), 8);
  put_le(out40 + 8, static_cast<std::uint64_t>(ts.seconds), 8);
  put_le(out40 + 16, ts.milliseconds, 2);
  put_le(out40 + 18, static_cast<std::uint16_t>(ts.timezone_min), 2);
  put_le(out40 + 20, static_cast<std::uint16_t>(ts.dst_flag), 2);
  put_le(out40 + 24, platform::process_ms(), 4);
  put_le(out40 + 28, g_snapshot_counter.fetch_add(1) + 1, 4);
  put_le(out40 + 32, value, 4);
}

int GRAND_snapshot_hash(unsigned char* out32, std::uint32_t value) {
  unsigned char snap[GRAND_SNAPSHOT_BYTES];
  GRAND_snapshot(snap, value);
  int ok = GOSTH_digest(snap, GRAND_SNAPSHOT_BYTES, out32) != 0;
  mem_cleanse(snap, sizeof snap);
  return ok;
}

int GRAND_prf(int outlen, unsigned char* out, const unsigned char* in, int inlen) {
  unsigned char h[GOSTH_DIGEST_BYTES];
  unsigned char d[GOSTH_DIGEST_BYTES];
  GOSTH_CTX ctx{};
  int ok = out != nullptr && outlen >= 0 && inlen >= 0 && (in != nullptr || inlen == 0);
  for (int done = 0; ok && done < outlen;) {
    ok = GRAND_snapshot_hash(h, tsc_low()) && GOSTH_init(&ctx, nullptr, nullptr) &&
         (inlen == 0 || GOSTH_update(&ctx, in, inlen) == inlen) &&
         GOSTH_update(&ctx, h, sizeof h) == static_cast<int>(sizeof h) &&
         GOSTH_final(&ctx, d) == GOSTH_DIGEST_BYTES;
    if (!ok) break;
    int n = outlen - done < GOSTH_DIGEST_BYTES ? outlen - done : GOSTH_DIGEST_BYTES;
    std::memcpy(out + done, d, static_cast<std::size_t>(n));
    done += n;
  }
  mem_cleanse(h, sizeof h);
  mem_cleanse(d, sizeof d);
  GOSTH_cleanup(&ctx);
  if (!ok) {
    JARNEL_ERR(LIB_PSE, RAND_F_GRAND_PRF, LIB_RAND);
    return 0;
  }
  return 1;
}

int GRAND_rand_init(const unsigned char* key32, const unsigned char* sync8,
                    const unsigned char* sbox64) {
  if (GRAND_is_initialised()) return 1;
  wipe_state();
  g_state.pos = 0;
  if (!key32 || !GOSTE_gamma_init(&g_state.cipher, key32, sync8, sbox64)) {
    wipe_state();
    JARNEL_ERR(LIB_PSE, RAND_F_GRAND_RAND_INIT, LIB_RAND);
    return 0;
  }
  g_state.flags |= kInitialised;
  return 1;
}

int GRAND_rand_bytes(unsigned char* buf, int num) {
  if (!GRAND_is_initialised() || num <= 0 || !buf) return 0;
  int done = 0;
  while (done < num) {
    if (g_state.unread == 0) {
      // Mix the moment into the gamma block that the next keystream bytes come from.
      unsigned char block[8];
      put_le(block, g_state.cipher.N1, 4);
      put_le(block + 4, g_state.cipher.N2, 4);
      int ok = GRAND_prf(8, block, block, 8);
      if (ok) {
        g_state.cipher.N1 = load_le32(block);
        g_state.cipher.N2 = load_le32(block + 4);
        ok = GOSTE_gamma_update(&g_state.cipher, g_state.keystream, nullptr,
                                GRAND_BATCH_BYTES) == GRAND_BATCH_BYTES;
      }
      mem_cleanse(block, sizeof block);
      if (!ok) {
        JARNEL_ERR(LIB_PSE, RAND_F_GRAND_RAND_BYTES, LIB_RAND);
        return 0;
      }
      g_state.unread = GRAND_BATCH_BYTES;
      g_state.pos = 0;
    }
    done += RAND_hand_out(g_state.keystream, g_state.pos, g_state.unread, buf + done, num - done);
  }
  return num;
}

int GRAND_rand_cleanup() {
  wipe_state();
  return 1;
}

int GRAND_gamma_rand_seed(unsigned char* seed, int len) {
  if (GRAND_is_initialised()) return 1;
  // An empty seed would key the generator from the clock alone.
  bool ok = seed != nullptr && len > 0;
  SecureBuffer key(32), sync(8);
  ok = ok && !key.empty() && !sync.empty() && GRAND_prf(32, key.data(), seed, len) &&
       GRAND_prf(8, sync.data(), seed, len) &&
       GRAND_rand_init(key.data(), sync.data(), GOSTE_default_sbox());
  // The first batch enciphers a fill derived from the seed.
  ok = ok && GRAND_prf(GRAND_BATCH_BYTES, g_state.keystream, seed, len);
  ok = ok && GRAND_rand_bytes(seed, len) == len;
  if (!ok) {
    // Never leave a half-seeded generator behind.
    wipe_state();
    JARNEL_ERR(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_SEED, LIB_RAND);
    return 0;
  }
  return 1;
}

int GRAND_start(const unsigned char* seed, int len) {
  LockGuard guard(locks::RAND);
  RAND_set_method(nullptr);
  RAND_set_method(&g_grand_method);
  SecureBuffer copy(len > 0 ? static_cast<std::size_t>(len) : 0);
  bool ok = seed && len > 0 && !copy.empty();
  if (ok) {
    std::memcpy(copy.data(), seed, static_cast<std::size_t>(len));
    ok = RAND_seed(copy.data(), len) != 0;
  } else {
    JARNEL_ERR(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_SEED, LIB_RAND);
  }
  if (!ok) RAND_set_method(nullptr);
  return ok;
}

int GRAND_keyboard_seed(unsigned char* acc, int len, int needed, RAND_KEY_CALLBACK cb,
                        void* arg) {
  if (!acc || !cb) {
    JARNEL_ERR(LIB_PSE, RAND_F_GRAND_RAND_INIT, LIB_RAND);
    return 0;
  }
  if (needed <= 0) return 1;
  int span = len < 32 ? len : 32;
  int accepted = 0;
  int prev = 0;
  unsigned char h[GOSTH_DIGEST_BYTES];
  while (accepted < needed) {
    if (!GRAND_snapshot_hash(h, 0)) {
      mem_cleanse(h, sizeof h);
      JARNEL_ERR(LIB_PSE, RAND_F_GRAND_RAND_INIT, LIB_RAND);
      return 0;
    }
    std::uint32_t state = load_le32(h);
    int ch;
    do {
      ch = static_cast<int>(lcg_draw(state) & 0xFF);
    } while (ch == 0 || ch == prev || !std::strchr(kPromptAlphabet, ch));
    prev = ch;
    unsigned pause = lcg_draw(state) % 500;
    if (auto fn = g_sleep.load()) fn(pause);
    else platform::sleep_ms(pause);

    int answer = cb(ch, accepted + 1, needed, arg);
    if (answer <= 0) {
      mem_cleanse(h, sizeof h);
      ERR_set_status(RAND_STATUS_USER_ABORT);
      return 0;
    }
    if (answer == ch) {
      if (!GRAND_snapshot_hash(h, tsc_low())) {
        mem_cleanse(h, sizeof h);
        JARNEL_ERR(LIB_PSE, RAND_F_GRAND_RAND_INIT, LIB_RAND);
        return 0;
      }
      for (int i = 0; i < span; ++i) acc[i] ^= h[i];
      ++accepted;
    } else if (accepted > 0) {
      --accepted;
    }
  }
  mem_cleanse(h, sizeof h);
  return 1;
}

int GRAND_gamma_rand_init(unsigned char* out32, void* pair) {
  // Keyed already: no keystrokes are asked for; the caller still gets fresh output.
  if (GRAND_is_initialised()) return !out32 || GRAND_rand_bytes(out32, 32) == 32;
  auto* p = static_cast<RAND_KEY_CB_PAIR*>(pair);
  unsigned char acc[32] = {};
  bool ok = GRAND_keyboard_seed(acc, sizeof acc, GRAND_KEYSTROKES, p ? p->cb : nullptr,
                                p ? p->arg : nullptr);
  if (!ok) JARNEL_ERR(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, R_INTERNAL_ERROR);
  if (ok && !GRAND_gamma_rand_seed(acc, sizeof acc)) {
    ok = false;
    JARNEL_ERR(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, R_INTERNAL_ERROR);
  }
  if (ok && out32) std::memcpy(out32, acc, sizeof acc);
  mem_cleanse(acc, sizeof acc);
  if (!ok) {
    JARNEL_ERR(LIB_PSE, RAND_F_GRAND_GAMMA_RAND_INIT, LIB_RAND);
    return 0;
  }
  return 1;
}

}  // namespace jarnel
