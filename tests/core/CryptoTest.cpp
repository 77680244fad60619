#include <gtest/gtest.h>

#include "core/Crypto.h"

TEST(Smoke, Builds) { EXPECT_EQ(vx::Base64Encode("a"), "YQ=="); }
