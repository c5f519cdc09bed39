// Texts of the PSE library (74): the container's own functions, and the GOST generator's and
// hardware boards' functions that report under this library with the generator's numbers.
//
// Function codes 111 to 119 name a container function and a generator or board function at
// once; one text per code can be registered, and the container's name is the one kept. The
// reason tells the two apart: the container records 74 "PSE lib" and 100 "invalid MAC", the
// generator 12 "internal error" and 69 "RAND lib".
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/pse/pse.h"
#include "crypto/rand/rand.h"

namespace jarnel {
namespace {

ERR_STRING_DATA g_pse_strings[] = {
    {ERR_pack(0, PSE_F_PSE_DECRYPT32, 0), "PSE_decrypt32"},
    {ERR_pack(0, PSE_F_PSE_ENCRYPT32, 0), "PSE_encrypt32"},
    {ERR_pack(0, RAND_F_GRAND_RAND_INIT, 0), "GRAND_rand_init"},
    {ERR_pack(0, RAND_F_GRAND_RAND_BYTES, 0), "GRAND_rand_bytes"},
    {ERR_pack(0, RAND_F_GRAND_PRF, 0), "GRAND_prf"},
    {ERR_pack(0, RAND_F_GRAND_GAMMA_RAND_SEED, 0), "GRAND_gamma_rand_seed"},
    {ERR_pack(0, PSE_F_PSE_LOAD_MKEY, 0), "PSE_load_mkey"},
    {ERR_pack(0, PSE_F_PSE_GENERATE_KEK, 0), "PSE_generate_kek"},
    {ERR_pack(0, PSE_F_PSE_LOAD_KEK, 0), "PSE_load_kek"},
    {ERR_pack(0, PSE_F_PSE_RAND_INIT, 0), "PSE_rand_init"},
    {ERR_pack(0, PSE_F_PSE_RAND_SAVE_STATE, 0), "PSE_rand_save_state"},
    {ERR_pack(0, RAND_F_ACCORD_RAND_INIT, 0), "ACCORD_rand_init"},
    {ERR_pack(0, RAND_F_ACCORD_RAND_INFO, 0), "ACCORD_rand_info"},
    {ERR_pack(0, PSE_F_PSE_SAVE_MKEY, 0), "PSE_save_mkey"},
    {ERR_pack(0, PSE_F_PSE_FINGER_PRINT, 0), "PSE_finger_print"},
    {ERR_pack(0, RAND_F_SABLE_RAND_INFO, 0), "SABLE_rand_info"},
    {ERR_pack(0, RAND_F_RAND_OPERATIONAL_CHECK, 0), "RAND_operational_check"},
    {ERR_pack(0, 0, PSE_R_INVALID_MAC), "invalid MAC"},
    {0, nullptr}};

}  // namespace

void ERR_load_PSE_strings() { ERR_load_strings(LIB_PSE, g_pse_strings); }

}  // namespace jarnel
