// Environment::GetEnv: what a set, unset or null name does to the caller's
// value.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "talvorncommon/Environment.h"

namespace TalvornCommon {

TEST(EnvironmentTest, CopiesASetVariableOrKeepsTheValue) {
  const testing::EnvGuard env({"TALVORN_TEST_SET"});
  env.Set("TALVORN_TEST_SET", "xy");
  std::string value = "old value";
  EXPECT_FALSE(Environment::GetEnv("TALVORN_TEST_NEVER_SET", value));
  EXPECT_FALSE(Environment::GetEnv(nullptr, value));
  EXPECT_EQ(value, "old value");
  EXPECT_TRUE(Environment::GetEnv("TALVORN_TEST_SET", value));
  EXPECT_EQ(value, "xy");  // all of the longer old text replaced
}

}  // namespace TalvornCommon
