#pragma once
// Drives and volumes, and the system error mode (whether the system may ask the user to insert
// a disk). POSIX has no drive letters: every drive query answers "no such drive".

namespace jarnel::platform {

inline constexpr int DRIVE_TYPE_UNKNOWN = 0, DRIVE_TYPE_NO_ROOT_DIR = 1,
                     DRIVE_TYPE_REMOVABLE = 2, DRIVE_TYPE_FIXED = 3;
inline constexpr unsigned ERROR_MODE_FAIL_CRITICAL = 1;

// Type of the drive whose root is given ("A:\").
int drive_type(const char* root);
// True when the volume information of the root can be read (a medium is present).
bool volume_present(const char* root);
// Bit n set when drive letter 'A' + n exists.
unsigned long logical_drives();
// Sets the calling process's error mode and returns the previous one.
unsigned set_error_mode(unsigned mode);

}  // namespace jarnel::platform
