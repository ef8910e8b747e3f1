// ToInt against strtol and ToFloat against strtof (commas turned into full
// stops first): the same value, NaN matching NaN, or the same exception type.
// A successful conversion must leave errno as it was.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "FuzzCheck.h"
#include "talvorncommon/StringUtils.h"

namespace {

enum class Outcome { kValue, kInvalidArgument, kOutOfRange };

constexpr int kErrnoSentinel = 4242;

template <typename Number, typename Call>
Outcome Run(Call call, Number& result) {
  try {
    errno = kErrnoSentinel;
    result = call();
    FUZZ_CHECK(errno == kErrnoSentinel);
    return Outcome::kValue;
  } catch (const std::invalid_argument&) {
    return Outcome::kInvalidArgument;
  } catch (const std::out_of_range&) {
    return Outcome::kOutOfRange;
  }
}

void CheckToInt(const std::string& value) {
  constexpr int kDefault = -31337;
  int expected = kDefault;
  Outcome expectedOutcome = Outcome::kValue;
  if (!value.empty()) {
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (end == value.c_str()) {
      expectedOutcome = Outcome::kInvalidArgument;
    } else if (errno == ERANGE || number < INT_MIN || number > INT_MAX) {
      expectedOutcome = Outcome::kOutOfRange;
    } else {
      expected = static_cast<int>(number);
    }
  }
  int actual = 0;
  const Outcome outcome =
      Run([&] { return TalvornCommon::StringUtils::ToInt(value, kDefault); }, actual);
  FUZZ_CHECK(outcome == expectedOutcome);
  if (outcome == Outcome::kValue) FUZZ_CHECK(actual == expected);
}

void CheckToFloat(const std::string& value) {
  constexpr float kDefault = -31337.5f;
  float expected = kDefault;
  Outcome expectedOutcome = Outcome::kValue;
  if (!value.empty()) {
    std::string copy = value;
    for (char& c : copy) {
      if (c == ',') c = '.';
    }
    char* end = nullptr;
    errno = 0;
    const float number = std::strtof(copy.c_str(), &end);
    if (end == copy.c_str()) {
      expectedOutcome = Outcome::kInvalidArgument;
    } else if (errno == ERANGE) {
      expectedOutcome = Outcome::kOutOfRange;
    } else {
      expected = number;
    }
  }
  float actual = 0.0f;
  const Outcome outcome =
      Run([&] { return TalvornCommon::StringUtils::ToFloat(value, kDefault); }, actual);
  FUZZ_CHECK(outcome == expectedOutcome);
  if (outcome == Outcome::kValue) {
    // Bits, so that -0 differs from 0; any NaN matches any NaN.
    FUZZ_CHECK((std::isnan(actual) && std::isnan(expected)) ||
               std::memcmp(&actual, &expected, sizeof actual) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  CheckToInt(value);
  CheckToFloat(value);
  return 0;
}
