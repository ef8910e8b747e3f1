// Environment::GetEnv: set, empty, unset and null names, and what happens to
// the caller's value in each case.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "TestSupport.h"
#include "talvorncommon/Environment.h"

namespace TalvornCommon {
namespace {

// Owns the variables a test changes and puts them back afterwards.
class EnvironmentTest : public ::testing::Test {
 protected:
  static constexpr const char* kName = "TALVORN_ENVIRONMENT_TEST_VARIABLE";
  testing::EnvGuard env;
};

TEST_F(EnvironmentTest, ReportsAndCopiesTheVariableOrKeepsTheValue) {
  struct Case {
    const char* label;
    std::optional<std::string> variable;  // nullopt: unset
    std::string before;
    bool expected;
    std::string after;
  };
  const Case cases[] = {
      {"unset keeps the value", std::nullopt, "abc", false, "abc"},
      {"unset keeps an empty value", std::nullopt, "", false, ""},
      {"empty variable empties the value", "", "abc", true, ""},
      {"shorter text replaces all of a longer value", "xy", "a longer old value", true, "xy"},
      {"text with '=' and spaces", "a=b c", "", true, "a=b c"},
      {"bytes above 0x7f pass unchanged", "\xc3\xa9\xff", "junk", true, "\xc3\xa9\xff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.variable) {
      env.Set(kName, *c.variable);
    } else {
      env.Unset(kName);
    }
    std::string value = c.before;
    EXPECT_EQ(Environment::GetEnv(kName, value), c.expected);
    EXPECT_EQ(value, c.after);
  }
}

TEST_F(EnvironmentTest, NullNameIsNotSetAndKeepsTheValue) {
  std::string value = "abc";
  EXPECT_FALSE(Environment::GetEnv(nullptr, value));
  EXPECT_EQ(value, "abc");
}

TEST_F(EnvironmentTest, NamesAreExactAndCaseSensitive) {
  env.Set(kName, "set");
  std::string lower = kName;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string value = "kept";
  env.Unset(lower);
  env.Unset("TALVORN_ENVIRONMENT_TEST");
  EXPECT_FALSE(Environment::GetEnv(lower.c_str(), value));
  EXPECT_FALSE(Environment::GetEnv("TALVORN_ENVIRONMENT_TEST", value));
  EXPECT_EQ(value, "kept");
  EXPECT_TRUE(Environment::GetEnv(kName, value));
  EXPECT_EQ(value, "set");
}

}  // namespace
}  // namespace TalvornCommon
