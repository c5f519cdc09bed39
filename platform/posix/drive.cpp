#include "platform/drive.h"

#include <atomic>

namespace jarnel::platform {
namespace {
std::atomic<unsigned> g_error_mode{0};
}

int drive_type(const char*) { return DRIVE_TYPE_NO_ROOT_DIR; }
bool volume_present(const char*) { return false; }
unsigned long logical_drives() { return 0; }
unsigned set_error_mode(unsigned mode) { return g_error_mode.exchange(mode); }

}  // namespace jarnel::platform
