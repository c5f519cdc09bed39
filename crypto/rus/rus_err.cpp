// Error texts of the GOST 28147-89 and GOST R 34.11-94 libraries.
#include "crypto/err/err.h"
#include "crypto/hooks.h"
#include "crypto/rus/gost89.h"

namespace jarnel {
namespace {

ERR_STRING_DATA g_goste_functions[] = {
    {ERR_pack(LIB_GOSTE, GOSTE_F_GOSTE_NEW, 0), "GOSTE_new"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GOSTH_NEW, 0), "GOSTH_new"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_SS_CHECK, 0), "GOSTE_ss_check"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GAMMA_CHECK, 0), "GOSTE_gamma_check"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GAMMA_FB_CHECK, 0), "GOSTE_gamma_fb_check"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_MAC_CHECK, 0), "GOSTE_mac_check"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GOSTH_CHECK, 0), "GOSTH_check"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_SS_UPDATE, 0), "GOSTE_ss_update"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GAMMA_UPDATE, 0), "GOSTE_gamma_update"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GAMMA_FBE_UPDATE, 0), "GOSTE_gamma_fbe_update"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GAMMA_FBD_UPDATE, 0), "GOSTE_gamma_fbd_update"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_MAC_FINAL, 0), "GOSTE_mac_final"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GOSTH_FINAL, 0), "GOSTH_final"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_MAC_UPDATE, 0), "GOSTE_mac_update"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_GAMMA_INIT, 0), "GOSTE_gamma_init"},
    {ERR_pack(LIB_GOSTE, GOSTE_F_TABLES_CHECK, 0), "GOSTE_tables_check"},
    {0, nullptr}};

ERR_STRING_DATA g_gosth_functions[] = {
    {ERR_pack(LIB_GOSTH, GOSTE_F_GOSTH_NEW, 0), "GOSTH_new"},
    {ERR_pack(LIB_GOSTH, GOSTE_F_GOSTH_CHECK, 0), "GOSTH_check"},
    {ERR_pack(LIB_GOSTH, GOSTE_F_GOSTH_FINAL, 0), "GOSTH_final"},
    {0, nullptr}};

}  // namespace

void ERR_load_GOSTE_strings() { ERR_load_strings(LIB_GOSTE, g_goste_functions); }
void ERR_load_GOSTH_strings() { ERR_load_strings(LIB_GOSTH, g_gosth_functions); }

}  // namespace jarnel
