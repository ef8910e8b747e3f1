// Environment::GetEnv: set, empty, unset and null names, and what happens to
// the caller's value in each case.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "TestSupport.h"
#include "talvorncommon/Environment.h"

namespace TalvornCommon {
namespace {

class EnvironmentTest : public ::testing::Test {
 protected:
  testing::EnvGuard env;
};

TEST_F(EnvironmentTest, ReportsAndCopiesTheVariableOrKeepsTheValue) {
  constexpr const char* kName = "TALVORN_ENVIRONMENT_TEST_VARIABLE";
  env.Unset("talvorn_environment_test_variable");
  env.Unset("TALVORN_ENVIRONMENT_TEST");
  struct Case {
    const char* label;
    const char* name;
    std::optional<std::string> variable;  // value of kName; nullopt: unset
    bool expected;
    std::string after;  // the value starts as "old value"
  };
  const Case cases[] = {
      {"unset keeps the value", kName, std::nullopt, false, "old value"},
      {"empty variable empties the value", kName, "", true, ""},
      {"shorter text replaces all of the value", kName, "xy", true, "xy"},
      {"text with '=' and spaces", kName, "a=b c", true, "a=b c"},
      {"bytes above 0x7f pass unchanged", kName, "\xc3\xa9\xff", true, "\xc3\xa9\xff"},
      {"null name keeps the value", nullptr, "set", false, "old value"},
      {"names are case-sensitive", "talvorn_environment_test_variable", "set", false, "old value"},
      {"a prefix is another name", "TALVORN_ENVIRONMENT_TEST", "set", false, "old value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    c.variable ? env.Set(kName, *c.variable) : env.Unset(kName);
    std::string value = "old value";
    EXPECT_EQ(Environment::GetEnv(c.name, value), c.expected);
    EXPECT_EQ(value, c.after);
  }
}

}  // namespace
}  // namespace TalvornCommon
