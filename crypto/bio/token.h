#pragma once
// Opening a token file: the carrier is chosen by the path's prefix and its driver opens (or
// creates) the file. Token drivers hold the whole file in a memory BIO between open and close;
// written data reaches the carrier when the BIO is reset, flushed or freed, so BIO_free's
// result tells whether the carrier accepted it.
#include <cstdint>

#include "crypto/bio/bio.h"

namespace jarnel {

// Open flags, as the drivers read them.
inline constexpr std::uint32_t TOKEN_FLAG_LOGOUT = 1;     // log out after every operation
inline constexpr std::uint32_t TOKEN_FLAG_PRIVATE = 2;    // PIN-protected area, log in first
inline constexpr std::uint32_t TOKEN_FLAG_PASSWORD = 4;   // arg: zero-terminated password
inline constexpr std::uint32_t TOKEN_FLAG_CALLBACK = 16;  // arg: JNI_CALLBACK_CTX for the call-back

// Lives in the opener's stack frame and sits at ex_data index 0 during the open command only:
// a driver copies what it needs and never keeps the pointer.
struct TOKEN_OPEN_PARAMS {
  std::uint32_t flags;
  void* arg;
};
inline constexpr int TOKEN_OPEN_PARAMS_INDEX = 0;
// The password a driver copies from a TOKEN_FLAG_PASSWORD argument is at most this long.
inline constexpr int TOKEN_PASSWORD_MAX = 255;

// Token session settings on an open session (kept for parity with the open parameters).
inline constexpr int BIO_C_SET_PASSWD_CB = 143;
inline constexpr int BIO_C_SET_PRIVATE = 144;
inline constexpr int BIO_C_SET_PASSWORD = 145;
inline constexpr int BIO_C_SET_CB_ARG = 146;
inline constexpr int BIO_C_GET_SESSION_FLAGS = 147;
inline constexpr int BIO_C_SET_SESSION_FLAGS = 148;

// Carrier drivers, all of type 0x402, told apart by their method pointer.
const BIO_METHOD* BIO_s_token_file();    // "FILE pointer": drives and directories
const BIO_METHOD* BIO_s_touch_memory();  // "Touch Memory": iButton
const BIO_METHOD* BIO_s_rutoken();       // "ruToken"
const BIO_METHOD* BIO_s_etoken();        // "eToken": vendor SDK
const BIO_METHOD* BIO_s_etoken_r2();     // "eToken R2": legacy interface library

// The driver for a token path: the driver of the path's carrier record (crypto/cadb/carrier.h):
// "eToken", "AKS ifdh" or "Aladdin Token JC" → eToken; "eTR2" → eToken R2; "ruToken" or
// "Aktiv Co. ruToken" → ruToken; "iButton" → Touch Memory; anything else (PKCS#11 paths
// included) → FILE pointer. Prefixes are compared without regard to case.
const BIO_METHOD* token_method_for_path(const char* path);

// Translates a mode string: "r"/"rb" → 3, "w"/"wb" → 5, "r+", "rb+", "r+b", "wb+", "w+b" → 7;
// anything else → 0.
int token_open_mode(const char* mode);

// Opens path with its carrier's driver. Null for an unknown mode (nothing is touched) or when
// the driver's open fails (the driver has recorded why).
BIO* BIO_new_token_file(const char* path, const char* mode, std::uint32_t flags, void* arg);

// Open parameters of the open command in progress, for drivers; null outside it.
inline const TOKEN_OPEN_PARAMS* token_open_params(BIO* b) {
  return static_cast<const TOKEN_OPEN_PARAMS*>(BIO_get_ex_data(b, TOKEN_OPEN_PARAMS_INDEX));
}

// Shared create slot of "FILE pointer" and "Touch Memory": init, number and pointer := 0.
int token_file_create(BIO* b);

}  // namespace jarnel
