#pragma once
// The system's read-only settings store (the registry on Windows): string values under a key of
// a root hive.
//
// On POSIX the store is a text file: $JARNEL_SETTINGS_FILE when that is set, otherwise
// /etc/jarnel/settings. It holds sections named by the root and key, and NAME=VALUE lines:
//
//   [HKEY_LOCAL_MACHINE\Software\Dallas Semiconductor\iButton TMEX\3.00]
//   DefaultPortNum=1
//   DefaultPortType=1
//
// Section and value names are compared without regard to case; blank lines and lines beginning
// with ';' or '#' are ignored; spaces around names and values are dropped. The file is read on
// every call, so a change takes effect at once.
#include <cstddef>

namespace jarnel::platform {

inline constexpr const char* SETTINGS_LOCAL_MACHINE = "HKEY_LOCAL_MACHINE";
inline constexpr const char* SETTINGS_CURRENT_USER = "HKEY_CURRENT_USER";

// Copies the string value name under root\key into out (cap bytes, zero-terminated). False when
// the store, the key or the value is missing or the value does not fit.
bool settings_read_string(const char* root, const char* key, const char* name, char* out,
                          std::size_t cap);

}  // namespace jarnel::platform
