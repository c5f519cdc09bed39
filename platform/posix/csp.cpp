// POSIX systems have no cryptographic service provider; only an installed one answers.
#include "platform/csp.h"

#include <atomic>

namespace jarnel::platform {
namespace {
std::atomic<const CspApi*> g_installed{nullptr};
}

const CspApi* csp_api() { return g_installed.load(); }
void csp_set_api(const CspApi* api) { g_installed.store(api); }

}  // namespace jarnel::platform
