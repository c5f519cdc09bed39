// No cryptographic service provider exists on POSIX systems; only an installed one answers.
#include "platform/csp.h"

#include <atomic>

namespace jarnel::platform {
namespace {
std::atomic<const CspProvider*> g_provider{nullptr};
}

const CspProvider* csp_provider() { return g_provider.load(); }

const CspProvider* csp_set_provider(const CspProvider* provider) {
  return g_provider.exchange(provider);
}

}  // namespace jarnel::platform
