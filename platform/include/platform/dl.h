#pragma once
// Dynamic loading of vendor libraries by their Windows names.
//
// "name.dll" (any case) maps to "libname.so" and "WinSCard.dll" to "libpcsclite.so.1". The
// folders listed in JARNEL_LIBRARY_PATH (colon-separated) are searched first, then the dynamic
// loader's own search (LD_LIBRARY_PATH and the system folders).
#include <cstddef>

namespace jarnel::platform {

// Writes the local file name for a Windows library name into out (cap bytes, zero-terminated).
// Returns false when it does not fit.
bool map_library_name(const char* windows_name, char* out, std::size_t cap);

// Loads a library by its Windows name; null when it cannot be found or loaded.
void* dl_open(const char* windows_name);
void* dl_symbol(void* handle, const char* symbol);
void dl_close(void* handle);

}  // namespace jarnel::platform
