// The library started once for the ecgost tests: locks, error texts, and the GOST generator
// keyed from the system's entropy (no random board exists here), as a key store would have it
// after reading a container's random state.
#include <gtest/gtest.h>
#include <openssl/rand.h>

#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"
#include "crypto/startup.h"

namespace {

class EcgostEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    jarnel::CADB_startup();
    if (!jarnel::RAND_get_method()) {
      unsigned char seed[32];
      ASSERT_EQ(::RAND_priv_bytes(seed, sizeof seed), 1);
      ASSERT_TRUE(jarnel::GRAND_start(seed, sizeof seed));
    }
  }
  void TearDown() override { jarnel::CADB_shutdown(); }
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new EcgostEnvironment);

}  // namespace
