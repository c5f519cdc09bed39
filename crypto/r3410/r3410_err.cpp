// Error texts of this module: functions and reasons of libraries 78 (key operations), 65
// (signature object, container encryption) and 13 (encodings).
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/r3410/r3410.h"

namespace jarnel {
namespace {

ERR_STRING_DATA g_r3410_strings[] = {
    // Library 78.
    {ERR_pack(LIB_GOSTS, R3410_F_NEW, 0), "R3410_new"},
    {ERR_pack(LIB_GOSTS, R3410_F_DO_SIGN, 0), "R3410_do_sign"},
    {ERR_pack(LIB_GOSTS, R3410_F_DO_VERIFY, 0), "R3410_do_verify"},
    {ERR_pack(LIB_GOSTS, R3410_F_GENERATE_KEY, 0), "R3410_generate_key"},
    {ERR_pack(LIB_GOSTS, R3410_F_SIGN, 0), "R3410_sign"},
    {ERR_pack(LIB_GOSTS, R3410_F_VERIFY, 0), "R3410_verify"},
    {ERR_pack(LIB_GOSTS, R3410_F_PSE_GENERATE, 0), "R3410_pse_generate"},
    {ERR_pack(LIB_GOSTS, R3410_F_DH_GENERATE_KEY, 0), "R3410_DH_generate_key"},
    {ERR_pack(LIB_GOSTS, R3410_F_DH_COMPUTE_KEY, 0), "R3410_DH_compute_key"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_BAD_PQ_LENGTH), "invalid length of 'p' and/or 'q'"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_S_IS_ZERO), "'s' is zero"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_R_IS_ZERO), "'r' is zero"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_S_TOO_LARGE), "'s' is greater or equal to 'q'"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_R_TOO_LARGE), "'r' is greater or equal to 'q'"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_INVALID_PRIVATE_KEY), "invalid private key"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_INVALID_K), "invalid k"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_BAD_P_LENGTH), "invalid length of p"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_INVALID_DOMAIN_PARAMETERS), "invalid domain parameters"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_INVALID_PUBLIC_VALUE), "invalid public value"},
    {ERR_pack(LIB_GOSTS, 0, R3410_R_BAD_SIG_LENGTH), "invalid signature length"},
    // Library 65.
    {ERR_pack(LIB_R3410, R3410_F_SIG_NEW, 0), "R3410_SIG_new"},
    {ERR_pack(LIB_R3410, R3410_F_D2I_SIG, 0), "d2i_R3410_SIG"},
    {ERR_pack(LIB_R3410, R3410_F_DECRYPT_OPAQUE, 0), "R3410_decrypt_opaque"},
    {ERR_pack(LIB_R3410, R3410_F_ENCRYPT_OPAQUE, 0), "R3410_encrypt_opaque"},
    {ERR_pack(LIB_R3410, R3410_F_GENERATE_PUBKEY, 0), "R3410_generate_pubkey"},
    {ERR_pack(LIB_R3410, 0, R3410_R_BAD_PQ_LENGTH), "invalid length of 'p' and/or 'q'"},
    {ERR_pack(LIB_R3410, 0, R3410_R_S_IS_ZERO), "'s' is zero"},
    {ERR_pack(LIB_R3410, 0, R3410_R_R_IS_ZERO), "'r' is zero"},
    {ERR_pack(LIB_R3410, 0, R3410_R_S_TOO_LARGE), "'s' is greater or equal to 'q'"},
    {ERR_pack(LIB_R3410, 0, R3410_R_R_TOO_LARGE), "'r' is greater or equal to 'q'"},
    {ERR_pack(LIB_R3410, 0, R3410_R_INVALID_PRIVATE_KEY), "invalid private key"},
    // Library 13.
    {ERR_pack(LIB_ASN1, R3410_F_D2I_PARAMS, 0), "D2I_R3410PARAMS"},
    {ERR_pack(LIB_ASN1, R3410_F_D2I_PRIVATEKEY, 0), "D2I_R3410PRIVATEKEY"},
    {ERR_pack(LIB_ASN1, R3410_F_D2I_PUBLICKEY, 0), "D2I_R3410PUBLICKEY"},
    {ERR_pack(LIB_ASN1, R3410_F_I2D_PARAMS, 0), "I2D_R3410PARAMS"},
    {ERR_pack(LIB_ASN1, R3410_F_I2D_PRIVATEKEY, 0), "I2D_R3410PRIVATEKEY"},
    {ERR_pack(LIB_ASN1, R3410_F_I2D_PUBLICKEY, 0), "I2D_R3410PUBLICKEY"},
    {ERR_pack(LIB_ASN1, 0, R3410_ASN1_R_DECODE_ERROR), "decode error"},
    {ERR_pack(LIB_ASN1, 0, R3410_ASN1_R_UNKNOWN_OBJECT_TYPE), "unknown object type"},
    // Library 72: the RAM check of a new key and the parameter-table check.
    {ERR_pack(LIB_GOSTE, R3410_F_NEW_RAM, 0), "R3410_new"},
    {ERR_pack(LIB_GOSTE, R3410_F_PARAMS_CHECK, 0), "R3410_params_check"},
    {0, nullptr}};

}  // namespace

void ERR_load_R3410_strings() { ERR_load_strings(0, g_r3410_strings); }

}  // namespace jarnel
