// Simulator of the ruToken library "rtapilt.dll". The token model is in store.h; the calls in api_impl.h.
#include <type_traits>

#define SIM_KIND sim::RUTOKEN
#include "api_impl.h"

#define SIM_N_readers_open rtlOpenReadersEnum
#define SIM_N_readers_next rtlGetNextReader_A
#define SIM_N_readers_close rtlCloseReadersEnum
#define SIM_N_bind rtlBindToken_A
#define SIM_N_unbind rtlUnbindToken
#define SIM_N_login rtlLoginToken_A
#define SIM_N_logout rtlLogoutToken
#define SIM_N_pin_change rtlChangeTokenPin_A
#define SIM_N_pin_max rtlGetTokenPinMaxLength
#define SIM_N_pin_min rtlGetTokenPinMinLength
#define SIM_N_label rtlGetTokenLabel_A
#define SIM_N_token_id rtlGetTokenID_A
#define SIM_N_root_open rtlOpenRootDir
#define SIM_N_dir_create rtlCreateDir
#define SIM_N_dir_open rtlOpenDir
#define SIM_N_dir_info rtlGetDirInfo
#define SIM_N_dir_delete rtlDeleteDir
#define SIM_N_dir_close rtlCloseDir
#define SIM_N_dir_enum_open rtlOpenDirEnum
#define SIM_N_dir_enum_next rtlGetNextDir
#define SIM_N_dir_enum_close rtlCloseDirEnum
#define SIM_N_files_enum_open rtlOpenFilesEnum
#define SIM_N_files_enum_next rtlGetNextFile
#define SIM_N_files_enum_close rtlCloseFilesEnum
#define SIM_N_file_open rtlOpenFile
#define SIM_N_file_create rtlCreateFile
#define SIM_N_file_read rtlReadFile
#define SIM_N_file_write rtlWriteFile
#define SIM_N_file_delete rtlDeleteFile
#define SIM_N_file_info rtlGetFileInfo
#define SIM_N_file_close rtlCloseFile
#include "api_exports.h"
