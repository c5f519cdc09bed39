#pragma once
// GOST 28147-89 block cipher: context, S-boxes, modes (ECB, gamma, gamma with feedback, CBC),
// the 32-bit imitation insert (MAC), CryptoPro key meshing and KEK diversification, and the
// CryptoPro key wrap built on them.
//
// Byte order: the key is eight little-endian 32-bit words K0..K7 (K0 from bytes 0..3); a block
// is N1 (bytes 0..3) and N2 (bytes 4..7), little-endian.
//
// Results: 1 (or a byte count, or a pointer) on success, 0 (or null) on failure, with the error
// queue and the status word set (status 1: null argument or bad length; 10: unknown mode; 12:
// key check failed; 13: unknown S-box).
#include <cstdint>

#include "crypto/objects/objects.h"
#include "crypto/pse/mask.h"

namespace jarnel {

// Object numbers of the algorithms and parameter sets of this module, by this module's names
// for them; the numbers are those of the object table (crypto/objects/objects.h).
inline constexpr int RUS_NID_rus_change = NID_RUS_CHANGE, RUS_NID_rus_gamma = NID_RUS_GAMMA,
                     RUS_NID_rus_gammar = NID_RUS_GAMMAR, RUS_NID_rus_hash = NID_RUS_HASH,
                     RUS_NID_r3410_r3411 = NID_R3410_R3411,
                     RUS_NID_hmacWithR3411 = NID_HMAC_R3411,
                     RUS_NID_ecr3410_r3411 = NID_ECR3410_R3411,
                     RUS_NID_cp_r3411_with_r3410_2001 = NID_CP_R3411_WITH_R3410_2001,
                     RUS_NID_cp_r3411_with_r3410_94 = NID_CP_R3411_WITH_R3410_94,
                     RUS_NID_cp_r3411 = NID_CP_R3411, RUS_NID_cp_gost89 = NID_CP_28147,
                     RUS_NID_cp_gost89_mac = NID_CP_28147_MAC, RUS_NID_cp_sbox_A = NID_CP_28147_A,
                     RUS_NID_cp_sbox_B = NID_CP_28147_B, RUS_NID_cp_sbox_C = NID_CP_28147_C,
                     RUS_NID_cp_sbox_D = NID_CP_28147_D;

// Mode byte and flag bits of GOSTE_CTX::mode.
inline constexpr std::uint32_t GOSTE_MODE_ECB = 0, GOSTE_MODE_GAMMA = 1, GOSTE_MODE_GAMMA_FB = 2,
                               GOSTE_MODE_MAC = 3, GOSTE_MODE_CBC = 4;
inline constexpr std::uint32_t GOSTE_MODE_MESH = 0x100;     // CryptoPro key meshing on
inline constexpr std::uint32_t GOSTE_MODE_MESH_IV = 0x200;  // meshing also re-encrypts the IV

// Self-test markers: a context carrying one is a test object and skips that test.
inline constexpr std::uint32_t GOSTE_SS_MARKER = 0x84CD758A, GOSTE_GAMMA_MARKER = 0x3778BD50,
                               GOSTE_GAMMA_FB_MARKER = 0x350A2401,
                               GOSTE_MAC_MARKER = 0x58BE994C;

// Error function codes of library 72 ("GOSTE routines").
inline constexpr int GOSTE_F_GOSTE_NEW = 100, GOSTE_F_GOSTH_NEW = 101, GOSTE_F_SS_CHECK = 102,
                     GOSTE_F_GAMMA_CHECK = 103, GOSTE_F_GAMMA_FB_CHECK = 104,
                     GOSTE_F_MAC_CHECK = 105, GOSTE_F_GOSTH_CHECK = 106,
                     GOSTE_F_SS_UPDATE = 107, GOSTE_F_GAMMA_UPDATE = 108,
                     GOSTE_F_GAMMA_FBE_UPDATE = 109, GOSTE_F_GAMMA_FBD_UPDATE = 110,
                     GOSTE_F_MAC_FINAL = 111, GOSTE_F_GOSTH_FINAL = 112,
                     GOSTE_F_MAC_UPDATE = 113, GOSTE_F_GAMMA_INIT = 114,
                     GOSTE_F_TABLES_CHECK = 115;

inline constexpr int GOSTE_SBOX_BYTES = 64;
inline constexpr int GOSTE_MESH_BYTES = 1024;

// Expanded S-box: four sub-tables of 256 words, the rotation by 11 bits built in.
struct GOSTE_TABLE {
  std::uint32_t t[4][256];
};

struct GOSTE_CTX {
  MASKED_KEY key;                    // K0..K7, masked between uses
  GOSTE_TABLE* table_storage;        // private table for an S-box that is not built in
  const GOSTE_TABLE* table;          // table in use (shared or private)
  std::uint32_t N1, N2;              // register: IV, feedback, gamma block or MAC accumulator
  std::uint32_t N3, N4;              // gamma counters
  std::int32_t pos;                  // byte position within the current block
  std::int32_t mac_blocks;           // MAC blocks processed, saturating at 2
  std::uint32_t selftest_marker;     // test object marker
  unsigned char sbox[GOSTE_SBOX_BYTES];  // packed S-box in use
  std::int32_t direction;            // 1 encrypt, 0 decrypt
  std::uint32_t mode;                // mode byte and meshing bits
  std::int32_t mesh_count;           // bytes under the current key, 0..1024
};

// Context management.
GOSTE_CTX* GOSTE_new();
void GOSTE_cleanup(GOSTE_CTX* ctx);
void GOSTE_free(GOSTE_CTX* ctx);
// Copies and masks the key. 0 with status 12 when masking fails; the key record is then wiped.
int GOSTE_set_key(GOSTE_CTX* ctx, const unsigned char* key32);
// Null selects the default cipher S-box (number 31).
int GOSTE_set_sbox(GOSTE_CTX* ctx, const unsigned char* sbox64);

// Deep copy (key record with its own mask, private table) into a cleaned-up or zeroed dst.
int GOSTE_copy(GOSTE_CTX* dst, const GOSTE_CTX* src);

// Mode initialisers. key is 32 bytes, iv 8 bytes or null (zero), sbox 64 bytes or null. When
// one fails after taking the key, the key record is wiped.
int GOSTE_ss_init(GOSTE_CTX* ctx, int direction, const unsigned char* key,
                  const unsigned char* sbox);
int GOSTE_gamma_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv,
                     const unsigned char* sbox);
int GOSTE_gamma_fb_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv,
                        const unsigned char* sbox);
// CFB with CryptoPro key meshing and IV re-encryption (mode 0x302); null sbox = CryptoPro-A.
int GOSTE_gamma_fb_cp_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv,
                           const unsigned char* sbox);
// CBC (mode 4) with the given direction; null iv = zero.
int GOSTE_cbc_init(GOSTE_CTX* ctx, int direction, const unsigned char* key,
                   const unsigned char* iv, const unsigned char* sbox);
int GOSTE_mac_init(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* sbox);
int GOSTE_mac_init_iv(GOSTE_CTX* ctx, const unsigned char* key, const unsigned char* iv,
                      const unsigned char* sbox);

// Data operations: out null or equal to in means in place. Result: bytes processed, 0 on failure.
int GOSTE_ss_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len);
int GOSTE_gamma_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len);
int GOSTE_gamma_fbe_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len);
int GOSTE_gamma_fbd_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len);
int GOSTE_cbc_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len);
int GOSTE_mac_update(GOSTE_CTX* ctx, const unsigned char* data, int len);
// Writes ceil(bits/8) bytes (bits outside 1..32 mean 32) and returns that count.
int GOSTE_mac_final(GOSTE_CTX* ctx, unsigned char* out, int bits);
// Dispatch on the mode byte, through the meshing driver.
int GOSTE_update(GOSTE_CTX* ctx, const unsigned char* in, unsigned char* out, int len);

// 32-bit MAC of data; ctx null = a temporary context; out null = a library-wide buffer whose
// address is returned. Null data or a length <= 0: status 1 and null.
unsigned char* GOSTE_mac(GOSTE_CTX* ctx, const unsigned char* data, int len,
                         const unsigned char* key, const unsigned char* sbox, unsigned char* out);
// CryptoPro KEK diversification (RFC 4357 6.5); returns out or null.
unsigned char* GOSTE_kek_diversify(const unsigned char* ukm8, const unsigned char* kek32,
                                   unsigned char* out32, const unsigned char* sbox);
// One CryptoPro key-meshing step (RFC 4357 2.3.2). On failure the key record is wiped.
int GOSTE_key_meshing(GOSTE_CTX* ctx);

// CryptoPro key wrap around an agreed KEK (the VKO result): KEK' = diversify(UKM, KEK),
// enc = ECB(KEK', cek), mac = MAC(KEK', register UKM, cek). sbox null = CryptoPro default.
int GOSTE_cp_key_wrap(const unsigned char* kek32, const unsigned char* ukm8,
                      const unsigned char* cek32, const unsigned char* sbox,
                      unsigned char* enc32, unsigned char* mac4);
// Inverse: 1 and the content key in cek32 when the MAC matches; 0 (status 12, nothing written)
// otherwise.
int GOSTE_cp_key_unwrap(const unsigned char* kek32, const unsigned char* ukm8,
                        const unsigned char* enc32, const unsigned char* mac4,
                        const unsigned char* sbox, unsigned char* cek32);

// S-box look-ups.
const unsigned char* GOSTE_sbox_by_nid(int nid);          // 291..294
int GOSTE_sbox_to_nid(const unsigned char* sbox);         // 291..294 or 0
const unsigned char* GOSTE_sbox_by_number(int number);    // 23, 31..35
const unsigned char* GOSTE_default_cp_sbox();
// Built-in tables by name.
const unsigned char* GOSTE_default_sbox();         // default cipher S-box (31)
const unsigned char* GOSTE_default_hash_sbox();    // default of "RUS-HASH"
const unsigned char* GOSTE_test_hash_sbox();       // GOST R 34.11-94 test parameter set (23)
const unsigned char* GOSTE_cp_hash_sbox();         // GOST R 34.11-94 CryptoPro parameter set
const unsigned char* GOSTE_tc26_z_sbox();          // id-tc26-gost-28147-param-Z (RFC 7836)

// Table integrity check: 1 when the digest over the built-in S-boxes and their shared tables
// matches the one taken at the first check in this process.
int GOSTE_tables_check();

// The encryption core, for the hash: encrypts (n1, n2) under the clear key k with table t.
void GOSTE_encrypt_block(const GOSTE_TABLE* t, const std::uint32_t* k, std::uint32_t* n1,
                         std::uint32_t* n2);

}  // namespace jarnel
