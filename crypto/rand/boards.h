#pragma once
// Hardware random boards as generator methods: the Crypton, Accord and Sable boards, each
// through its vendor's driver library loaded by name at its first init ("sccrptn.dll",
// "tmdrv32.dll", "snellock.dll"; see platform/dl.h for the local names). They have no seed
// entry. Their errors are reported under the PSE library (74) with the RAND function codes.
#include <cstdint>

#include "crypto/rand/rand.h"

namespace jarnel {

const RAND_METHOD* CRYPTON_get_method();
const RAND_METHOD* ACCORD_get_method();
const RAND_METHOD* SABLE_get_method();

// Crypton service flags.
inline constexpr std::uint32_t CRYPTON_SERVICE_FULL = 4;      // crInitService
inline constexpr std::uint32_t CRYPTON_SERVICE_LIGHT = 2;     // crInitLightService
inline constexpr std::uint32_t CRYPTON_SERVICE_HARDWARE = 1;  // crInitHardwareService
inline constexpr std::uint32_t CRYPTON_CONTROLLED = 8;        // crControlledRandom, not crRandom

// The Crypton init parameter. With none of the service bits set, the service already open is
// used.
struct CRYPTON_PARAMS {
  std::uint32_t mode;   // 0
  std::uint32_t flags;  // CRYPTON_SERVICE_*, CRYPTON_CONTROLLED
};

// The Crypton info record: filled with the driver type and version; flags is the input.
struct CRYPTON_INFO {
  std::uint8_t driver_type;
  std::uint8_t version[3];  // major, minor
  std::uint32_t flags;      // service to open for the query
};

inline constexpr int CRYPTON_BLOCK_BYTES = 512;
inline constexpr int ACCORD_BLOCK_BYTES = 32;
inline constexpr int SABLE_BLOCK_BYTES = 32;
inline constexpr int ACCORD_INFO_BYTES = 14;
// Attempts at one refill before a draw fails.
inline constexpr int BOARD_REFILL_ATTEMPTS = 6;

// The vendor calls this system uses, with the shapes it uses them in.
extern "C" {
using crInitCryptonLib_fn = int (*)();
using crDoneCryptonLib_fn = int (*)();
using crInitService_fn = void* (*)();  // also crInitHardwareService, crInitLightService
using crDoneService_fn = int (*)(void* service);
using crGetDriverType_fn = std::uint8_t (*)(void* service);
using crGetDriverVersion_fn = int (*)(void* service, std::uint8_t* major, std::uint8_t* minor);
using crRandom_fn = int (*)(void* service, int len, unsigned char* out);
using crControlledRandom_fn = int (*)(void* service, unsigned char* out512);

using TmDriverPresent_fn = int (*)();
using TmGetVersion_fn = int (*)();
using TmGetInfo_fn = int (*)(int board, unsigned char* info, int len, std::uint16_t* status);
using TmGetRandomBytes_fn = std::uint16_t (*)(unsigned char* out, int len);

using sbisCard_fn = int (*)();
using sbGetRand_fn = int (*)(unsigned char* out, int len);
}

}  // namespace jarnel
