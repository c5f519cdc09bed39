// Simulator of the eToken SDK library "etsdk.dll". The token model is in store.h; the calls in api_impl.h.
#include <type_traits>

#define SIM_KIND sim::ETOKEN
#include "api_impl.h"

#define SIM_N_readers_open ETReadersEnumOpen
#define SIM_N_readers_next ETReadersEnumNext
#define SIM_N_readers_close ETReadersEnumClose
#define SIM_N_bind ETTokenBind
#define SIM_N_unbind ETTokenUnbind
#define SIM_N_login ETTokenLogin
#define SIM_N_logout ETTokenLogout
#define SIM_N_pin_change ETTokenPinChange
#define SIM_N_pin_max ETTokenMaxPinGet
#define SIM_N_pin_min ETTokenMinPinGet
#define SIM_N_label ETTokenLabelGet
#define SIM_N_token_id ETTokenIDGet
#define SIM_N_root_open ETRootDirOpen
#define SIM_N_dir_create ETDirCreate
#define SIM_N_dir_open ETDirOpen
#define SIM_N_dir_info ETDirGetInfo
#define SIM_N_dir_delete ETDirDelete
#define SIM_N_dir_close ETDirClose
#define SIM_N_dir_enum_open ETDirEnumOpen
#define SIM_N_dir_enum_next ETDirEnumNext
#define SIM_N_dir_enum_close ETDirEnumClose
#define SIM_N_files_enum_open ETFilesEnumOpen
#define SIM_N_files_enum_next ETFilesEnumNext
#define SIM_N_files_enum_close ETFilesEnumClose
#define SIM_N_file_open ETFileOpen
#define SIM_N_file_create ETFileCreate
#define SIM_N_file_read ETFileRead
#define SIM_N_file_write ETFileWrite
#define SIM_N_file_delete ETFileDelete
#define SIM_N_file_info ETFileGetInfo
#define SIM_N_file_close ETFileClose
#include "api_exports.h"
