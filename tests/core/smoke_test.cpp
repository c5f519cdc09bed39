#include <gtest/gtest.h>
#include "crypto/startup.h"
TEST(Smoke, Starts) { EXPECT_EQ(jarnel::CADB_startup(), 1); }
