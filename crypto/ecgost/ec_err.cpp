// Error texts of library 75.
#include "crypto/ecgost/ecgost.h"
#include "crypto/err/err.h"
#include "crypto/hooks.h"

namespace jarnel {
namespace {

#define F(code, text) {ERR_pack(LIB_ECGOST, code, 0), text}
#define R(code, text) {ERR_pack(LIB_ECGOST, 0, code), text}

ERR_STRING_DATA g_ecgost_functions[] = {
    F(ECGOST_F_ECGOST_NEW, "ECGOST_new"),
    F(ECGOST_F_ECGOST_SIG_NEW, "ECGOST_SIG_new"),
    F(ECGOST_F_D2I_ECGOST_SIG, "d2i_ECGOST_SIG"),
    F(ECGOST_F_ECURVE_SET, "ECURVE_set"),
    F(ECGOST_F_ECURVE_NEW, "ECURVE_new"),
    F(ECGOST_F_ECDH_GENERATE_KEY, "ECDH_generate_key"),
    F(ECGOST_F_ECDH_COMPUTE_KEY, "ECDH_compute_key"),
    F(ECGOST_F_ECDH_NEW, "ECDH_new"),
    F(ECGOST_F_KEY_PAIR_GENERATION, "ECGOST_key_pair_generation"),
    F(ECGOST_F_ECPOINT_NEW, "ECPOINT_new"),
    F(ECGOST_F_ECPOINT_DUP, "ECPOINT_dup"),
    F(ECGOST_F_ECPOINT_COPY, "ECPOINT_copy"),
    F(ECGOST_F_ECPOINT_TO_AFFINE, "ECPOINT_to_affine"),
    F(ECGOST_F_ECPOINT_GET_X, "ECPOINT_get_x"),
    F(ECGOST_F_ECPOINT_NORMALIZE, "ECPOINT_normalize"),
    F(ECGOST_F_ECPOINT_DERIVE, "ECPOINT_derive"),
    F(ECGOST_F_ECPOINT_HEX2POINT, "ECPOINT_hex2point"),
    F(ECGOST_F_ECPOINT_BI2POINT, "ECPOINT_bi2point"),
    F(ECGOST_F_ECPOINT_POINT2BIN, "ECPOINT_point2bin"),
    F(ECGOST_F_ECPOINT_SET_INFINITY, "ECPOINT_set_infinity"),
    F(ECGOST_F_ECPOINT_DOUBLE_AFFINE, "ECPOINT_double_affine"),
    F(ECGOST_F_ECPOINT_ADD_AFFINE, "ECPOINT_add_affine"),
    F(ECGOST_F_ECPOINT_DOUBLE_PROJECTIVE, "ECPOINT_double_projective"),
    F(ECGOST_F_ECPOINT_ADD_PROJECTIVE, "ECPOINT_add_projective"),
    F(ECGOST_F_ECPOINT_MUL, "ECPOINT_mul"),
    F(ECGOST_F_SIGN_SETUP, "ECGOST_sign_setup"),
    F(ECGOST_F_DO_SIGN, "ECGOST_do_sign"),
    F(ECGOST_F_ECPOINT_LIES, "ECPOINT_lies"),
    F(ECGOST_F_IS_PUBKEY_VALID, "ECGOST_is_pubkey_valid"),
    F(ECGOST_F_ECURVE_GET_COEFFICIENTS, "ECURVE_get_coefficients"),
    F(ECGOST_F_DO_VERIFY, "ECGOST_do_verify"),
    F(ECGOST_F_DH_GENERATE_KEY, "ECGOST_DH_generate_key"),
    F(ECGOST_F_DH_COMPUTE_KEY, "ECGOST_DH_compute_key"),
    F(ECGOST_F_ECURVE_INIT, "ECURVE_init"),
    F(ECGOST_F_GENERATE_KEY, "ECGOST_generate_key"),
    F(ECGOST_F_I2D_ECGOST_SIG, "i2d_ECGOST_SIG"),
    F(ECGOST_F_GENERATE_PUBKEY, "ECGOST_generate_pubkey"),
    F(ECGOST_F_ENCRYPT_OPAQUE, "ECGOST_encrypt_opaque"),
    F(ECGOST_F_DECRYPT_OPAQUE, "ECGOST_decrypt_opaque"),
    F(ECGOST_F_ECPOINT_FBW_NEW, "ECPOINT_FBW_new"),
    F(ECGOST_F_CURVES_CHECK, "ECURVE_tables_check"),
    F(ECGOST_F_KEY_WRAP, "ECGOST_key_wrap"),
    F(ECGOST_F_KEY_UNWRAP, "ECGOST_key_unwrap"),
    F(ECGOST_F_VKO_KEK, "ECGOST_vko_kek"),
    {0, nullptr}};

ERR_STRING_DATA g_ecgost_reasons[] = {
    R(ECGOST_R_INVALID_PARAMETERS, "invalid parameters"),
    R(ECGOST_R_ZERO_R, "zero r"),
    R(ECGOST_R_R_TOO_BIG, "r is too big"),
    R(ECGOST_R_ZERO_S, "zero s"),
    R(ECGOST_R_S_TOO_BIG, "s is too big"),
    R(ECGOST_R_SIGNATURE_FAILURE, "signature failure"),
    R(ECGOST_R_UNSUPPORTED_FIELD, "unsupported field type"),
    R(ECGOST_R_KEY_UNWRAP_FAILED, "key unwrap failed"),
    R(ECGOST_R_INVALID_PUBLIC_KEY, "invalid public key"),
    R(LIB_PSE, "PSE lib"),
    R(LIB_ECGOST, "ECGOST lib"),
    {0, nullptr}};

// The key and parameter decoders record their failures under the ASN.1 library (13).
ERR_STRING_DATA g_ecgost_asn1[] = {
    {ERR_pack(LIB_ASN1, ECGOST_F_D2I_ECGOSTPARAMS, 0), "D2I_ECGOSTPARAMS"},
    {ERR_pack(LIB_ASN1, ECGOST_F_D2I_ECGOSTPRIVATEKEY, 0), "D2I_ECGOSTPRIVATEKEY"},
    {ERR_pack(LIB_ASN1, ECGOST_F_D2I_ECGOSTPUBLICKEY, 0), "D2I_ECGOSTPUBLICKEY"},
    {ERR_pack(LIB_ASN1, 0, ECGOST_R_BAD_ENCODING), "bad ECGOST key encoding"},
    {ERR_pack(LIB_ASN1, 0, ECGOST_R_DECODE_ERROR), "decode error"},
    {0, nullptr}};

#undef F
#undef R

}  // namespace

void ERR_load_ECGOST_strings() {
  ERR_load_strings(LIB_ECGOST, g_ecgost_functions);
  ERR_load_strings(LIB_ECGOST, g_ecgost_reasons);
  ERR_load_strings(LIB_ASN1, g_ecgost_asn1);
}

}  // namespace jarnel
