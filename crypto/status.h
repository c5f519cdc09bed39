#pragma once
// The status numbers recorded with ERR_set_status beside the error queue: a coarse reason that
// the Java side receives when no vendor status applies. One list for every module.
#include <cstdint>

namespace jarnel {

inline constexpr std::uint32_t STATUS_NULL_ARGUMENT = 1;    // a required argument was null/bad
inline constexpr std::uint32_t STATUS_IO = 2;               // a carrier file could not be read
inline constexpr std::uint32_t STATUS_INVALID_MAC = 3;      // a check value did not verify
inline constexpr std::uint32_t STATUS_RAND_NOT_READY = 4;   // the generator is not seeded
inline constexpr std::uint32_t STATUS_RAND_FAILED = 6;      // the generator failed its test
inline constexpr std::uint32_t STATUS_BAD_SIGNATURE = 7;    // a signature did not verify
inline constexpr std::uint32_t STATUS_BAD_MODE = 10;        // a cipher mode not allowed here
inline constexpr std::uint32_t STATUS_NO_MEMORY = 11;       // memory is short
inline constexpr std::uint32_t STATUS_INTERNAL = 12;        // internal error / self-test
inline constexpr std::uint32_t STATUS_UNKNOWN_PARAMS = 13;  // unknown parameter set or S-box
inline constexpr std::uint32_t STATUS_KEY_FAILED = 14;      // key or shared-value computation
inline constexpr std::uint32_t STATUS_SIGN_FAILED = 16;     // signing failed
inline constexpr std::uint32_t STATUS_USER_ABORT = 22;      // the user cancelled
inline constexpr std::uint32_t STATUS_CANNOT_WRITE = 24;    // a carrier file could not be written

}  // namespace jarnel
