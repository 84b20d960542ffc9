// Process tokens through the one interface, on each platform's build.
#include "platform/platform.h"

#include <string>

#include <gtest/gtest.h>

// A token names this process while it runs; with another start, or
// malformed, no process at all; a buffer too small for it gets none.
TEST(PlatformProcessTokenTest, RunningOtherStartAndMalformed) {
  char token[64];
  char small[4];
  EXPECT_EQ(processToken(small, sizeof small), 0u);
  ASSERT_GT(processToken(token, sizeof token), 0u);
  EXPECT_EQ(waitForProcessEnd(token, 50), 0);
  std::string other = token;
  other.back() = other.back() == '0' ? '1' : '0';
  EXPECT_EQ(waitForProcessEnd(other.c_str(), 50), 1);
  EXPECT_EQ(waitForProcessEnd((std::string(token) + "x").c_str(), 50), 0);
  EXPECT_EQ(waitForProcessEnd("", 50), 0);
}
