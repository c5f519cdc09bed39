// GOST 28147-89: streaming, padding, meshing, counters, S-box selection and failure paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/check/check.h"
#include "crypto/err/err.h"
#include "crypto/mem.h"
#include "crypto/mem.h"
#include "crypto/rus/gost89.h"

using namespace jarnel;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes pattern(std::size_t n, unsigned seed = 1) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(seed * 131 + i * 17 + (i >> 3));
  return b;
}

const Bytes kKey = pattern(32, 7);
const Bytes kIv = pattern(8, 9);

struct Ctx {
  GOSTE_CTX* c = GOSTE_new();
  ~Ctx() { GOSTE_free(c); }
  GOSTE_CTX* operator->() { return c; }
};

using InitFn = bool (*)(GOSTE_CTX*);
bool init_gamma(GOSTE_CTX* c) { return GOSTE_gamma_init(c, kKey.data(), kIv.data(), nullptr); }
bool init_cfb_enc(GOSTE_CTX* c) {
  if (!GOSTE_gamma_fb_init(c, kKey.data(), kIv.data(), nullptr)) return false;
  c->direction = 1;
  return true;
}
bool init_cfb_dec(GOSTE_CTX* c) {
  if (!GOSTE_gamma_fb_init(c, kKey.data(), kIv.data(), nullptr)) return false;
  c->direction = 0;
  return true;
}
bool init_cp(GOSTE_CTX* c) {
  if (!GOSTE_gamma_fb_cp_init(c, kKey.data(), kIv.data(), nullptr)) return false;
  c->direction = 1;
  return true;
}
bool init_mac(GOSTE_CTX* c) { return GOSTE_mac_init(c, kKey.data(), nullptr); }

// Runs data through GOSTE_update in pieces; MAC contexts return the 4-byte MAC instead.
Bytes run(InitFn init, const Bytes& data, std::size_t piece) {
  Ctx c;
  EXPECT_TRUE(init(c.c));
  Bytes out(data.size());
  for (std::size_t off = 0; off < data.size(); off += piece) {
    int n = static_cast<int>(std::min(piece, data.size() - off));
    EXPECT_EQ(GOSTE_update(c.c, data.data() + off, out.data() + off, n), n);
  }
  if ((c->mode & 0xFF) == GOSTE_MODE_MAC) {
    out.assign(4, 0);
    EXPECT_EQ(GOSTE_mac_final(c.c, out.data(), 32), 4);
  }
  return out;
}

Bytes mac_of(const Bytes& data, int bits = 32) {
  Ctx c;
  EXPECT_TRUE(GOSTE_mac_init(c.c, kKey.data(), nullptr));
  if (!data.empty()) {
    EXPECT_EQ(GOSTE_mac_update(c.c, data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
  }
  Bytes out(4, 0xEE);
  int n = GOSTE_mac_final(c.c, out.data(), bits);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace

TEST(Gost89Stream, PiecesOfAnySizeGiveTheOneCallResult) {
  struct Case {
    const char* name;
    InitFn init;
  } cases[] = {{"gamma", init_gamma}, {"cfb-enc", init_cfb_enc}, {"cfb-dec", init_cfb_dec},
               {"cryptopro-cfb", init_cp}, {"mac", init_mac}};
  Bytes data = pattern(2100);
  for (const auto& c : cases) {
    Bytes whole = run(c.init, data, data.size());
    for (std::size_t piece : {1u, 3u, 8u, 13u, 1024u, 1025u})
      EXPECT_EQ(run(c.init, data, piece), whole) << c.name << " piece " << piece;
  }
}

TEST(Gost89Stream, OutputNullOrEqualToInputWorksInPlace) {
  Bytes data = pattern(77), ref(77);
  Ctx a, b;
  ASSERT_TRUE(GOSTE_gamma_init(a.c, kKey.data(), kIv.data(), nullptr));
  ASSERT_TRUE(GOSTE_gamma_init(b.c, kKey.data(), kIv.data(), nullptr));
  ASSERT_EQ(GOSTE_gamma_update(a.c, data.data(), ref.data(), 77), 77);
  Bytes inplace = data;
  ASSERT_EQ(GOSTE_gamma_update(b.c, inplace.data(), nullptr, 77), 77);
  EXPECT_EQ(inplace, ref);
}

TEST(Gost89Mac, ShortMessagesArePaddedWithZerosToTwoBlocks) {
  Bytes abc = {'a', 'b', 'c'};
  Bytes padded = {'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(mac_of(abc), mac_of(padded));
  Bytes eight = pattern(8);
  Bytes eight_zero = eight;
  eight_zero.resize(16, 0);
  EXPECT_EQ(mac_of(eight), mac_of(eight_zero));
  // Seventeen bytes: the partial third block is zero padded, no extra block is added.
  Bytes seventeen = pattern(17), padded24 = seventeen;
  padded24.resize(24, 0);
  EXPECT_EQ(mac_of(seventeen), mac_of(padded24));
}

TEST(Gost89Mac, LengthInBits) {
  Bytes data = pattern(40);
  Bytes full = mac_of(data, 32);
  ASSERT_EQ(full.size(), 4u);
  EXPECT_EQ(mac_of(data, 0), full);
  EXPECT_EQ(mac_of(data, 33), full);
  EXPECT_EQ(mac_of(data, 16), Bytes(full.begin() + 2, full.end()));  // upper half of N1
  Bytes eight = mac_of(data, 8);
  ASSERT_EQ(eight.size(), 1u);
  EXPECT_EQ(eight[0], full[3]);
  Bytes twelve = mac_of(data, 12);  // N1 >> 20: two bytes
  ASSERT_EQ(twelve.size(), 2u);
  std::uint32_t n1 = full[0] | (full[1] << 8) | (full[2] << 16) | (static_cast<std::uint32_t>(full[3]) << 24);
  EXPECT_EQ(twelve[0], static_cast<unsigned char>(n1 >> 20));
  EXPECT_EQ(twelve[1], static_cast<unsigned char>(n1 >> 28));
}

TEST(Gost89Mac, OneShotHelperUsesTheSharedBufferWithoutOutput) {
  Bytes data = pattern(50);
  unsigned char* shared = GOSTE_mac(nullptr, data.data(), 50, kKey.data(), nullptr, nullptr);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(Bytes(shared, shared + 4), mac_of(data));
  Ctx c;
  unsigned char out[4];
  EXPECT_EQ(GOSTE_mac(c.c, data.data(), 50, kKey.data(), nullptr, out), out);
  EXPECT_EQ(Bytes(out, out + 4), mac_of(data));
}

TEST(Gost89Meshing, MeshesAtEach1024ByteBoundaryBeforeReturning) {
  Bytes data = pattern(1025);
  Ctx c;
  ASSERT_TRUE(init_cp(c.c));
  Bytes out(1025);
  ASSERT_EQ(GOSTE_update(c.c, data.data(), out.data(), 1024), 1024);
  EXPECT_EQ(c->mesh_count, 0);  // meshed before the call returned
  ASSERT_EQ(GOSTE_update(c.c, data.data() + 1024, out.data() + 1024, 1), 1);
  EXPECT_EQ(c->mesh_count, 1);
  EXPECT_EQ(out, run(init_cp, data, 1025));
  // Called directly, the mode functions never mesh.
  Ctx d;
  ASSERT_TRUE(init_cp(d.c));
  Bytes direct(1025);
  ASSERT_EQ(GOSTE_gamma_fbe_update(d.c, data.data(), direct.data(), 1025), 1025);
  EXPECT_EQ(Bytes(direct.begin(), direct.begin() + 1024), Bytes(out.begin(), out.begin() + 1024));
  EXPECT_NE(direct[1024] ^ data[1024], out[1024] ^ data[1024]);
}

TEST(Gost89Gamma, CounterN4AddsModulo2Pow32Minus1) {
  struct Case {
    std::uint32_t before, after;
  } cases[] = {{0xFEFEFEFBu, 0xFFFFFFFFu}, {0xFEFEFEFCu, 0x00000001u}, {0xFFFFFFF0u, 0x010100F5u},
               {0x00000000u, 0x01010104u}};
  for (const auto& k : cases) {
    Ctx c;
    ASSERT_TRUE(GOSTE_gamma_init(c.c, kKey.data(), kIv.data(), nullptr));
    c->pos = 0;
    c->N3 = 0xFFFFFFFFu;
    c->N4 = k.before;
    unsigned char b = 0;
    ASSERT_EQ(GOSTE_gamma_update(c.c, &b, nullptr, 1), 1);
    EXPECT_EQ(c->N4, k.after) << std::hex << k.before;
    EXPECT_EQ(c->N3, 0x01010100u);
  }
}

TEST(Gost89Ecb, LengthIsRoundedUpToWholeBlocks) {
  Bytes buf = pattern(16), ref = buf;
  Ctx c, d;
  ASSERT_TRUE(GOSTE_ss_init(c.c, 1, kKey.data(), nullptr));
  EXPECT_EQ(GOSTE_ss_update(c.c, buf.data(), nullptr, 12), 16);
  ASSERT_TRUE(GOSTE_ss_init(d.c, 0, kKey.data(), nullptr));
  EXPECT_EQ(GOSTE_ss_update(d.c, buf.data(), nullptr, 16), 16);
  EXPECT_EQ(buf, ref);
}

TEST(Gost89Ecb, LargeBuffersCrossTheStepSize) {
  Bytes data = pattern(16384 * 2 + 24), enc(data.size()), dec(data.size());
  Ctx e, d;
  ASSERT_TRUE(GOSTE_ss_init(e.c, 1, kKey.data(), GOSTE_sbox_by_number(33)));
  ASSERT_TRUE(GOSTE_ss_init(d.c, 0, kKey.data(), GOSTE_sbox_by_number(33)));
  ASSERT_EQ(GOSTE_ss_update(e.c, data.data(), enc.data(), static_cast<int>(data.size())),
            static_cast<int>(data.size()));
  // Block-by-block equals the bulk result.
  Ctx one;
  ASSERT_TRUE(GOSTE_ss_init(one.c, 1, kKey.data(), GOSTE_sbox_by_number(33)));
  Bytes last(data.end() - 8, data.end());
  ASSERT_EQ(GOSTE_ss_update(one.c, last.data(), nullptr, 8), 8);
  EXPECT_EQ(last, Bytes(enc.end() - 8, enc.end()));
  ASSERT_EQ(GOSTE_ss_update(d.c, enc.data(), dec.data(), static_cast<int>(enc.size())),
            static_cast<int>(enc.size()));
  EXPECT_EQ(dec, data);
}

TEST(Gost89Sbox, LookupsByNumberAndNid) {
  for (int n : {23, 31, 32, 33, 34, 35}) EXPECT_NE(GOSTE_sbox_by_number(n), nullptr) << n;
  EXPECT_EQ(GOSTE_sbox_by_number(31), GOSTE_default_sbox());
  for (int nid = RUS_NID_cp_sbox_A; nid <= RUS_NID_cp_sbox_D; ++nid) {
    EXPECT_EQ(GOSTE_sbox_by_nid(nid), GOSTE_sbox_by_number(32 + nid - RUS_NID_cp_sbox_A));
    EXPECT_EQ(GOSTE_sbox_to_nid(GOSTE_sbox_by_nid(nid)), nid);
  }
  EXPECT_EQ(GOSTE_default_cp_sbox(), GOSTE_sbox_by_nid(RUS_NID_cp_sbox_A));
  for (int bad : {0, 22, 24, 30, 36}) {
    ERR_clear_error();
    EXPECT_EQ(GOSTE_sbox_by_number(bad), nullptr);
    EXPECT_EQ(ERR_get_status(), 13u);
  }
  ERR_clear_error();
  EXPECT_EQ(GOSTE_sbox_by_nid(290), nullptr);
  EXPECT_EQ(ERR_get_status(), 13u);
  ERR_clear_error();
  EXPECT_EQ(GOSTE_sbox_to_nid(GOSTE_default_sbox()), 0);
  EXPECT_EQ(ERR_get_status(), 13u);
  ERR_clear_error();
}

TEST(Gost89Sbox, EqualCopyUsesTheSharedTableAndAChangedOneAPrivateTable) {
  unsigned char copy[64];
  std::memcpy(copy, GOSTE_sbox_by_number(33), 64);
  Ctx a, b, ref;
  ASSERT_TRUE(GOSTE_set_sbox(ref.c, GOSTE_sbox_by_number(33)));
  ASSERT_TRUE(GOSTE_set_sbox(a.c, copy));
  EXPECT_EQ(a->table, ref->table);
  EXPECT_EQ(a->table_storage, nullptr);
  copy[5] ^= 0x01;
  ASSERT_TRUE(GOSTE_set_sbox(b.c, copy));
  EXPECT_NE(b->table_storage, nullptr);
  EXPECT_EQ(b->table, b->table_storage);
  // Switching back to a built-in S-box releases the private table (ASan checks the leak).
  ASSERT_TRUE(GOSTE_set_sbox(b.c, nullptr));
  EXPECT_EQ(b->table_storage, nullptr);
  ASSERT_TRUE(GOSTE_set_sbox(b.c, copy));
}

TEST(Gost89Key, KeyStaysMaskedBetweenCalls) {
  Ctx c;
  ASSERT_TRUE(GOSTE_ss_init(c.c, 1, kKey.data(), nullptr));
  EXPECT_TRUE(MASK_key_is_masked(&c->key));
  EXPECT_NE(std::memcmp(c->key.key, kKey.data(), 32), 0);
  Bytes block = pattern(8);
  ASSERT_EQ(GOSTE_ss_update(c.c, block.data(), nullptr, 8), 8);
  EXPECT_TRUE(MASK_key_is_masked(&c->key));
}

TEST(Gost89Key, CorruptedKeyFailsAndWipesTheKeyRecord) {
  struct Case {
    const char* name;
    int (*init)(GOSTE_CTX*);
    int (*op)(GOSTE_CTX*, unsigned char*);
    int func;
    bool outer;
  } cases[] = {
      {"ecb", [](GOSTE_CTX* c) { return GOSTE_ss_init(c, 1, kKey.data(), nullptr); },
       [](GOSTE_CTX* c, unsigned char* b) { return GOSTE_ss_update(c, b, nullptr, 8); }, 107, true},
      {"cbc", [](GOSTE_CTX* c) { return GOSTE_cbc_init(c, 1, kKey.data(), nullptr, nullptr); },
       [](GOSTE_CTX* c, unsigned char* b) { return GOSTE_cbc_update(c, b, nullptr, 8); }, 107, true},
      {"gamma", [](GOSTE_CTX* c) { return GOSTE_gamma_init(c, kKey.data(), nullptr, nullptr); },
       [](GOSTE_CTX* c, unsigned char* b) { return GOSTE_gamma_update(c, b, nullptr, 8); }, 108, false},
      {"cfb", [](GOSTE_CTX* c) { return GOSTE_gamma_fb_init(c, kKey.data(), nullptr, nullptr); },
       [](GOSTE_CTX* c, unsigned char* b) { return GOSTE_gamma_fbd_update(c, b, nullptr, 8); }, 108, false},
      {"mac", [](GOSTE_CTX* c) { return GOSTE_mac_init(c, kKey.data(), nullptr); },
       [](GOSTE_CTX* c, unsigned char* b) { return GOSTE_mac_update(c, b, 8); }, 113, false},
      {"mac-final", [](GOSTE_CTX* c) -> int { return GOSTE_mac_init(c, kKey.data(), nullptr) &&
                                                     GOSTE_mac_update(c, kKey.data(), 3) == 3; },
       [](GOSTE_CTX* c, unsigned char* b) { return GOSTE_mac_final(c, b, 32); }, 111, false},
  };
  for (const auto& k : cases) {
    Ctx c;
    ASSERT_TRUE(k.init(c.c)) << k.name;
    c->key.key[3] ^= 0x00100000u;  // a bit flips while the key is masked
    ERR_clear_error();
    unsigned char buf[8] = {0};
    EXPECT_EQ(k.op(c.c, buf), 0) << k.name;
    EXPECT_EQ(ERR_get_status(), 12u) << k.name;
    unsigned long first = ERR_get_error();
    EXPECT_EQ(first, ERR_pack(LIB_GOSTE, k.func, R_INTERNAL_ERROR)) << k.name;
    if (k.outer) {
      EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_GOSTE, k.func, LIB_GOSTE)) << k.name;
    }
    EXPECT_EQ(c->key.mask, nullptr) << k.name;
    EXPECT_EQ(c->key.checksum, 0u) << k.name;
    ERR_clear_error();
  }
}

TEST(Gost89Args, NullArgumentsAndBadLengthsSetStatus1) {
  Ctx c;
  ASSERT_TRUE(GOSTE_gamma_init(c.c, kKey.data(), nullptr, nullptr));
  unsigned char b[8] = {0};
  struct Case {
    const char* name;
    int result;
  } cases[] = {
      {"init null ctx", GOSTE_ss_init(nullptr, 1, kKey.data(), nullptr)},
      {"init null key", GOSTE_gamma_init(c.c, nullptr, nullptr, nullptr)},
      {"update null data", GOSTE_gamma_update(c.c, nullptr, b, 8)},
      {"update zero length", GOSTE_gamma_update(c.c, b, b, 0)},
      {"update negative length", GOSTE_update(c.c, b, b, -5)},
      {"mac final null out", GOSTE_mac_final(c.c, nullptr, 32)},
  };
  for (const auto& k : cases) EXPECT_EQ(k.result, 0) << k.name;
  ERR_clear_error();
  EXPECT_EQ(GOSTE_update(c.c, b, b, 0), 0);
  EXPECT_EQ(ERR_get_status(), 1u);
  ERR_clear_error();
}

TEST(Gost89Args, UnknownModeSetsStatus10) {
  Ctx c;
  ASSERT_TRUE(GOSTE_ss_init(c.c, 1, kKey.data(), nullptr));
  c->mode = 7;
  unsigned char b[8] = {0};
  ERR_clear_error();
  EXPECT_EQ(GOSTE_update(c.c, b, b, 8), 0);
  EXPECT_EQ(ERR_get_status(), 10u);
  ERR_clear_error();
}

TEST(Gost89Mode, InitialiserKeepsAModeAlreadySetAndCryptoProAlwaysSetsIts) {
  Ctx c;
  ASSERT_TRUE(GOSTE_gamma_init(c.c, kKey.data(), nullptr, nullptr));
  EXPECT_EQ(c->mode, GOSTE_MODE_GAMMA);
  ASSERT_TRUE(GOSTE_mac_init(c.c, kKey.data(), nullptr));
  EXPECT_EQ(c->mode, GOSTE_MODE_GAMMA);
  ASSERT_TRUE(GOSTE_gamma_fb_cp_init(c.c, kKey.data(), nullptr, nullptr));
  EXPECT_EQ(c->mode, 0x302u);
  EXPECT_EQ(std::memcmp(c->sbox, GOSTE_sbox_by_number(32), 64), 0);
  GOSTE_cleanup(c.c);
  EXPECT_EQ(c->mode, 0u);
  EXPECT_EQ(c->key.mask, nullptr);
}

TEST(Gost89KeyWrap, RoundTripAndTamperedMacIsRejected) {
  Bytes kek = pattern(32, 3), ukm = pattern(8, 4), cek = pattern(32, 5);
  unsigned char enc[32], mac[4], back[32];
  ASSERT_TRUE(GOSTE_cp_key_wrap(kek.data(), ukm.data(), cek.data(), nullptr, enc, mac));
  EXPECT_NE(Bytes(enc, enc + 32), cek);
  ASSERT_TRUE(GOSTE_cp_key_unwrap(kek.data(), ukm.data(), enc, mac, nullptr, back));
  EXPECT_EQ(Bytes(back, back + 32), cek);
  for (int i : {0, 3}) {
    unsigned char bad[4];
    std::memcpy(bad, mac, 4);
    bad[i] ^= 1;
    std::memset(back, 0xAB, 32);
    ERR_clear_error();
    EXPECT_EQ(GOSTE_cp_key_unwrap(kek.data(), ukm.data(), enc, bad, nullptr, back), 0);
    EXPECT_EQ(ERR_get_status(), 12u);
    EXPECT_EQ(back[0], 0xAB);  // nothing written
  }
  // Another parameter set gives another wrap.
  unsigned char enc_b[32], mac_b[4];
  ASSERT_TRUE(GOSTE_cp_key_wrap(kek.data(), ukm.data(), cek.data(), GOSTE_sbox_by_number(33), enc_b, mac_b));
  EXPECT_NE(Bytes(enc_b, enc_b + 32), Bytes(enc, enc + 32));
  ERR_clear_error();
}

namespace {
// Allocation number `g_fail_at` (counting from 1 after arming) fails.
int g_fail_at = 0, g_count = 0;
void* failing_malloc(std::size_t n) {
  if (g_fail_at && ++g_count == g_fail_at) return nullptr;
  return std::malloc(n);
}
struct FailingAllocator {
  MallocFn m;
  ReallocFn r;
  FreeFn f;
  explicit FailingAllocator(int at) {
    CRYPTO_get_mem_functions(&m, &r, &f);
    g_fail_at = at;
    g_count = 0;
    CRYPTO_set_mem_functions(failing_malloc, &std::realloc, &std::free);
  }
  ~FailingAllocator() {
    g_fail_at = 0;
    CRYPTO_set_mem_functions(m, r, f);
  }
};
}  // namespace

TEST(Gost89Memory, AllocationFailuresFailCleanly) {
  GOSTE_mac_check(nullptr);  // let the self-tests run now, not inside the armed section
  ERR_clear_error();         // and the thread's error state exist
  {
    FailingAllocator fa(1);
    EXPECT_EQ(GOSTE_new(), nullptr);
    EXPECT_EQ(ERR_get_status(), 11u);
    EXPECT_EQ(ERR_get_error(), ERR_pack(LIB_GOSTE, GOSTE_F_GOSTE_NEW, R_MALLOC_FAILURE));
  }
  // Every allocation of a MAC over a private S-box, one at a time: either the whole operation
  // works or it reports failure; nothing leaks (ASan) and nothing crashes.
  unsigned char sbox[64];
  std::memcpy(sbox, GOSTE_sbox_by_number(34), 64);
  sbox[0] ^= 0x11;
  Bytes data = pattern(40);
  unsigned char ref[4];
  ASSERT_NE(GOSTE_mac(nullptr, data.data(), 40, kKey.data(), sbox, ref), nullptr);
  for (int at = 1; at <= 6; ++at) {
    unsigned char out[4] = {0};
    unsigned char* r;
    {
      FailingAllocator fa(at);
      r = GOSTE_mac(nullptr, data.data(), 40, kKey.data(), sbox, out);
    }
    if (r) {
      EXPECT_EQ(std::memcmp(out, ref, 4), 0) << at;
    } else {
      EXPECT_NE(ERR_get_status(), 0u) << at;
    }
    ERR_clear_error();
  }
}

TEST(Gost89Mac, EmptyMessageIsTwoZeroBlocks) {
  Bytes zeros(16, 0);
  EXPECT_EQ(mac_of({}), mac_of(zeros));
}

TEST(Gost89Mac, OneShotHelperRefusesAnEmptyMessage) {
  // Like GOSTE_mac_update: a length <= 0 (or no data) is refused with status 1, not MACed as two
  // zero blocks.
  unsigned char b[8] = {0}, out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  struct Case {
    const char* name;
    const unsigned char* data;
    int len;
  } cases[] = {{"empty", b, 0}, {"empty without data", nullptr, 0}, {"negative", b, -1},
               {"null data", nullptr, 8}};
  for (const auto& k : cases) {
    ERR_clear_error();
    EXPECT_EQ(GOSTE_mac(nullptr, k.data, k.len, kKey.data(), nullptr, out), nullptr) << k.name;
    EXPECT_EQ(ERR_get_status(), 1u) << k.name;
    Ctx c;
    EXPECT_EQ(GOSTE_mac(c.c, k.data, k.len, kKey.data(), nullptr, nullptr), nullptr) << k.name;
  }
  EXPECT_EQ(out[0], 0xEE);  // nothing written
  ERR_clear_error();
}

namespace {
// No trace of the key in the record: all words zero and no mask.
bool slot_wiped(const MASKED_KEY& s) {
  static const MASKED_KEY kZero{};
  return std::memcmp(s.key, kZero.key, sizeof(s.key)) == 0 && s.mask == nullptr &&
         s.checksum == 0 && s.flags == 0;
}
}  // namespace

TEST(Gost89Memory, FailedMaskingLeavesNoClearKey) {
  GOSTE_ss_check(nullptr);  // self-tests now, not inside the armed sections
  GOSTE_gamma_check(nullptr);
  GOSTE_gamma_fb_check(nullptr);
  GOSTE_mac_check(nullptr);
  ERR_clear_error();
  // The first allocation of a fresh context's key is its mask.
  {
    Ctx c;
    int r;
    {
      FailingAllocator fa(1);
      r = GOSTE_set_key(c.c, kKey.data());
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(ERR_get_status(), 12u);
    EXPECT_TRUE(slot_wiped(c->key));
    ERR_clear_error();
  }
  // Every initialiser, with each of its allocations failing in turn: it either works or leaves
  // the key record wiped.
  struct Case {
    const char* name;
    int (*init)(GOSTE_CTX*);
  } cases[] = {
      {"ecb", [](GOSTE_CTX* c) { return GOSTE_ss_init(c, 1, kKey.data(), nullptr); }},
      {"cbc", [](GOSTE_CTX* c) { return GOSTE_cbc_init(c, 0, kKey.data(), nullptr, nullptr); }},
      {"gamma", [](GOSTE_CTX* c) { return GOSTE_gamma_init(c, kKey.data(), kIv.data(), nullptr); }},
      {"cfb", [](GOSTE_CTX* c) { return GOSTE_gamma_fb_init(c, kKey.data(), kIv.data(), nullptr); }},
      {"cryptopro-cfb",
       [](GOSTE_CTX* c) { return GOSTE_gamma_fb_cp_init(c, kKey.data(), kIv.data(), nullptr); }},
      {"mac", [](GOSTE_CTX* c) { return GOSTE_mac_init(c, kKey.data(), nullptr); }},
  };
  for (const auto& k : cases) {
    int failed = 0;
    for (int at = 1; at <= 4; ++at) {
      Ctx c;
      int r;
      {
        FailingAllocator fa(at);
        r = k.init(c.c);
      }
      if (!r) {
        ++failed;
        EXPECT_TRUE(slot_wiped(c->key)) << k.name << " allocation " << at;
      }
      ERR_clear_error();
    }
    EXPECT_GT(failed, 0) << k.name;  // the mask allocation was among those tried
  }
  // A meshing step whose re-masking fails: the record of a key that has no mask yet (clear,
  // with its checksum) is wiped, not left in clear.
  {
    Ctx c;
    ASSERT_TRUE(init_cp(c.c));
    ASSERT_TRUE(MASK_key_unmask(&c->key));
    mem_clear_free(c->key.mask, MASK_KEY_BYTES);
    c->key.mask = nullptr;
    int r;
    {
      FailingAllocator fa(1);
      r = GOSTE_key_meshing(c.c);
    }
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(slot_wiped(c->key));
    ERR_clear_error();
  }
}
