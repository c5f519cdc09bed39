// Linked into test binaries whose code draws random bytes: before any test runs, the library
// starts and the GOST generator is keyed from the system's entropy source, as an application
// does once a container or a board has seeded it.
#include <gtest/gtest.h>

#include "crypto/mem.h"
#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"
#include "platform/entropy.h"

namespace {

class SeededGenerator : public ::testing::Environment {
 public:
  void SetUp() override {
    jarnel::jarnel_process_attach();
    if (jarnel::RAND_get_method()) return;
    unsigned char seed[32];
    ASSERT_TRUE(jarnel::platform::system_entropy(seed, sizeof seed));
    ASSERT_EQ(jarnel::GRAND_start(seed, sizeof seed), 1);
    jarnel::mem_cleanse(seed, sizeof seed);
  }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new SeededGenerator);

}  // namespace
