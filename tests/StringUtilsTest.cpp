// StringUtils: splitting, searching, replacing, number parsing, buffer copy and
// Base64, each checked against tables of edge cases.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <latch>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/StringUtils.h"

namespace TalvornCommon {
namespace {

using ::testing::PrintToString;
using namespace std::string_literals;

// A value no conversion ever stores in errno, to see whether a call touched it.
constexpr int kErrnoSentinel = 4242;

// "invalid_argument: <what>" or "out_of_range: <what>" for the two conversion
// exceptions, "" when `call` returns; any other exception fails the test.
template <typename Call>
std::string Thrown(Call call) {
  try {
    call();
  } catch (const std::invalid_argument& e) {
    return "invalid_argument: "s + e.what();
  } catch (const std::out_of_range& e) {
    return "out_of_range: "s + e.what();
  }
  return "";
}

// Same value, with NaN equal to NaN and the sign of zero compared too.
bool SameFloat(float actual, float expected) {
  return std::isnan(expected)
             ? std::isnan(actual)
             : std::bit_cast<uint32_t>(actual) == std::bit_cast<uint32_t>(expected);
}

template <typename T>
struct ParseCase {
  std::string value;
  T expected;
  std::string thrown = "";  // What Thrown() reports; "" when a value comes back.
};

// Every call that returns must leave errno as it found it.
template <typename T, typename Parse>
void CheckParses(const std::vector<ParseCase<T>>& cases, Parse parse) {
  for (const ParseCase<T>& c : cases) {
    SCOPED_TRACE(PrintToString(c.value));
    T result{};
    int errnoAfter = 0;
    EXPECT_EQ(Thrown([&] {
                errno = kErrnoSentinel;
                result = parse(c.value);
                errnoAfter = errno;
              }),
              c.thrown);
    if (!c.thrown.empty()) continue;
    EXPECT_EQ(errnoAfter, kErrnoSentinel);
    if constexpr (std::is_same_v<T, float>) {
      EXPECT_TRUE(SameFloat(result, c.expected)) << result << " != " << c.expected;
    } else {
      EXPECT_EQ(result, c.expected);
    }
  }
}

struct SplitCase {
  std::string value;
  char delimiter;
  std::vector<std::string> pieces;
};

// No pieces for the empty text; empty pieces at the start, the end and between
// adjacent delimiters; nothing trimmed, case kept, NUL and high bytes ordinary.
const std::vector<SplitCase>& SplitCases() {
  static const std::vector<SplitCase> cases = {{"", ',', {}},
                                               {"abc", ',', {"abc"}},
                                               {"a,b,c", ',', {"a", "b", "c"}},
                                               {",a", ',', {"", "a"}},
                                               {"a,", ',', {"a", ""}},
                                               {",", ',', {"", ""}},
                                               {",,", ',', {"", "", ""}},
                                               {"a,,b", ',', {"a", "", "b"}},
                                               {",a,,b,", ',', {"", "a", "", "b", ""}},
                                               {" a , b ", ',', {" a ", " b "}},
                                               {"a b", ' ', {"a", "b"}},
                                               {"bAb", 'a', {"bAb"}},
                                               {"a\0b,c"s, ',', {"a\0b"s, "c"}},
                                               {"a\0b\0"s, '\0', {"a", "b", ""}},
                                               {"\0"s, ',', {"\0"s}},
                                               {"x\xFFy\xFF"s, '\xFF', {"x", "y", ""}}};
  return cases;
}

TEST(StringUtilsTest, SplitYieldsEveryPieceIncludingEmptyOnes) {
  for (const SplitCase& c : SplitCases()) {
    SCOPED_TRACE(PrintToString(c.value) + " at " + PrintToString(c.delimiter));
    EXPECT_EQ(StringUtils::Split(c.value, c.delimiter), c.pieces);
  }
}

TEST(StringUtilsTest, QuickSplitGivesSplitPieceOrEmptyForMissingOrNegativeIndex) {
  for (const SplitCase& c : SplitCases()) {
    SCOPED_TRACE(PrintToString(c.value) + " at " + PrintToString(c.delimiter));
    const int count = static_cast<int>(c.pieces.size());
    std::vector<int> indexes = {INT_MIN, -1, count, count + 1, INT_MAX};
    for (int index = 0; index < count; ++index) indexes.push_back(index);
    for (const int index : indexes) {
      SCOPED_TRACE(index);
      const bool exists = index >= 0 && index < count;
      EXPECT_EQ(StringUtils::QuickSplit(c.value, c.delimiter, index),
                exists ? c.pieces[static_cast<size_t>(index)] : "");
    }
  }
}

TEST(StringUtilsTest, ContainsMatchesContiguousBytesExactly) {
  struct Case {
    std::string text;
    std::string toFind;
    bool expected;
  };
  // The empty needle is everywhere; longer than, equal to, at the start, end,
  // middle; not contiguous; no case folding; NUL and high bytes like any other.
  const Case cases[] = {
      {"", "", true},           {"abc", "", true},         {"", "a", false},
      {"ab", "abc", false},     {"abc", "abc", true},      {"abcabd", "abd", true},
      {"abcabd", "abc", true},  {"xabcx", "abc", true},    {"axbxc", "abc", false},
      {"ABC", "b", false},      {"a\0b"s, "\0b"s, true},   {"ab", "\0"s, false},
      {"a\0c"s, "\0b"s, false}, {"\xC3\xA9", "\xA9", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(PrintToString(c.text) + " / " + PrintToString(c.toFind));
    EXPECT_EQ(StringUtils::Contains(c.text, c.toFind), c.expected);
  }
}

TEST(StringUtilsTest, ReplaceCharsReplacesEveryOccurrenceAndKeepsLength) {
  struct Case {
    std::string value;
    char oldChar;
    char newChar;
    std::string expected;
  };
  const Case cases[] = {{"1,5", ',', '.', "1.5"},          {",,", ',', '.', ".."},
                        {"abc", 'x', 'y', "abc"},          {"aaa", 'a', 'a', "aaa"},
                        {"aaa", 'a', 'b', "bbb"},          {"", ',', '.', ""},
                        {"a\0b\0"s, '\0', '-', "a-b-"},    {"aba", 'a', '\0', "\0b\0"s},
                        {"\xFF,\xFF"s, '\xFF', 'z', "z,z"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(PrintToString(c.value));
    EXPECT_EQ(StringUtils::ReplaceChars(c.value, c.oldChar, c.newChar), c.expected);
  }
}

TEST(StringUtilsTest, ToIntIsStoiWithDefaultForEmptyText) {
  const std::string kBad = "invalid_argument: stoi", kBig = "out_of_range: stoi";
  // Signs, leading white space skipped, the rest after the number ignored.
  const std::vector<ParseCase<int>> numbers = {
      {"", 5},        {"42", 42},          {"-17", -17},  {"+8", 8},     {"-0", 0},
      {"  -17", -17}, {"\t\n\v\f\r 9", 9}, {"12abc", 12}, {"12 34", 12}, {"3.9", 3},
      {"0x1A", 0},    {"007", 7},          {"1\0002"s, 1}};
  // The limits of int, and one beyond each (still inside long, then beyond it).
  const std::vector<ParseCase<int>> limits = {
      {"2147483647", INT_MAX},           {"-2147483648", INT_MIN},
      {"00000000002147483647", INT_MAX}, {"2147483648", 0, kBig},
      {"-2147483649", 0, kBig},          {"  2147483648abc", 0, kBig},
      {"9223372036854775808", 0, kBig},  {"-99999999999999999999", 0, kBig}};
  // No number at the start; the default plays no part.
  const std::vector<ParseCase<int>> noNumber = {
      {"abc", 0, kBad}, {" ", 0, kBad},   {"-", 0, kBad},     {"+", 0, kBad},
      {"+-1", 0, kBad}, {"- 1", 0, kBad}, {"\0001"s, 0, kBad}};
  for (const auto& cases : {numbers, limits, noNumber}) {
    CheckParses(cases, [](const std::string& value) { return StringUtils::ToInt(value, 5); });
  }
}

TEST(StringUtilsTest, ToUint64AcceptsOnlyWholeUnsignedDecimalText) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const std::vector<ParseCase<uint64_t>> numbers = {
      {"", 7}, {"0", 0}, {"123", 123}, {"000123", 123}};
  // Around 2^64: leading zeros do not count, then the last addition or the
  // last multiplication overflows.
  const std::vector<ParseCase<uint64_t>> limits = {{"0018446744073709551615", kMax},
                                                   {"18446744073709551615", kMax},
                                                   {"9999999999999999999", 9999999999999999999u},
                                                   {"18446744073709551616", 7},
                                                   {"18446744073709551619", 7},
                                                   {"18446744073709551620", 7},
                                                   {"99999999999999999999", 7},
                                                   {"184467440737095516150", 7}};
  // No white space, sign, prefix, separator, trailing text or NUL byte; bytes
  // just around the digits, and a digit-like byte with the high bit.
  const std::vector<ParseCase<uint64_t>> notDigits = {
      {" 1", 7},      {"1 ", 7},    {"\t1", 7}, {"+1", 7},    {"-1", 7},
      {"-0", 7},      {"12abc", 7}, {"1.0", 7}, {"1,000", 7}, {"0x10", 7},
      {"1\0002"s, 7}, {"\0"s, 7},   {"/", 7},   {":", 7},     {"1\xB9"s, 7}};
  for (const auto& cases : {numbers, limits, notDigits}) {
    CheckParses(cases, [](const std::string& value) { return StringUtils::ToUint64(value, 7); });
  }
}

TEST(StringUtilsTest, ToFloatIsStofAfterCommasBecomeFullStops) {
  using Limits = std::numeric_limits<float>;
  const std::string kBad = "invalid_argument: stof", kBig = "out_of_range: stof";
  // Comma and full stop as decimal mark; every comma is replaced, so a group
  // separator ends the number.
  const std::vector<ParseCase<float>> commas = {
      {"", 99.0f},  {"1,5", 1.5f},    {"1.5", 1.5f},     {",5", 0.5f},
      {"5,", 5.0f}, {"1,5e1", 15.0f}, {"1,000.5", 1.0f}, {"1,000,5", 1.0f}};
  // Signs, white space, trailing text, NUL and hexadecimal.
  const std::vector<ParseCase<float>> numbers = {
      {"-1,25", -1.25f}, {"+2,5", 2.5f}, {"-0", -0.0f},       {" 2.25", 2.25f},  {"\t\n 7", 7.0f},
      {"2.5 ", 2.5f},    {"3abc", 3.0f}, {"1.5\0009"s, 1.5f}, {"0x1.8p1", 3.0f}, {"0x1,8p1", 3.0f}};
  // Infinity and NaN, the edges of the normal range, and a subnormal that is exact.
  const std::vector<ParseCase<float>> special = {
      {"inf", Limits::infinity()},      {"-Infinity", -Limits::infinity()},
      {"nan", Limits::quiet_NaN()},     {"3.4028235e38", Limits::max()},
      {"1.1754944e-38", Limits::min()}, {"0x1p-149", Limits::denorm_min()}};
  // No number at the start; the default plays no part.
  const std::vector<ParseCase<float>> noNumber = {{"abc", 0, kBad}, {" ", 0, kBad},
                                                  {"-", 0, kBad},   {",", 0, kBad},
                                                  {".e1", 0, kBad}, {"\0001"s, 0, kBad}};
  // Overflow, and underflow: the C library reports ERANGE for inexact
  // subnormal results and for results that round to zero.
  const std::vector<ParseCase<float>> outOfRange = {
      {"1e39", 0, kBig},   {"-1e39", 0, kBig},   {"3.5e38", 0, kBig}, {"1e-40", 0, kBig},
      {"-1e-40", 0, kBig}, {"1,0e-38", 0, kBig}, {"1e-50", 0, kBig},  {"0x1p-150", 0, kBig}};
  for (const auto& cases : {commas, numbers, special, noNumber, outOfRange}) {
    CheckParses(cases, [](const std::string& value) { return StringUtils::ToFloat(value, 99.0f); });
  }
}

// Switches LC_NUMERIC to German: from the locale the build generates into its
// tree when it can, else from the system's installed locales.
bool UseGermanNumericLocale() {
#ifdef TALVORNCOMMON_TEST_LOCPATH
  {
    testing::EnvGuard env;
    env.Set("LOCPATH", TALVORNCOMMON_TEST_LOCPATH);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) return true;
  }
#endif
  return std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ||
         std::setlocale(LC_NUMERIC, "de_DE.utf8") != nullptr;
}

TEST(StringUtilsTest, ToFloatFollowsTheDecimalMarkOfTheProcessLocale) {
  struct RestoreNumericLocale {
    ~RestoreNumericLocale() { std::setlocale(LC_NUMERIC, "C"); }
  } restore;
  if (!UseGermanNumericLocale()) GTEST_SKIP() << "no de_DE.UTF-8 locale installed or generated";
  // The locale really reads the comma: otherwise this test proves nothing.
  ASSERT_EQ(std::strtof("1,5", nullptr), 1.5f);

  // The comma has become a full stop, at which the German conversion stops.
  EXPECT_EQ(StringUtils::ToFloat("1,5", 0.0f), 1.0f);
  EXPECT_EQ(StringUtils::ToFloat("1.5", 0.0f), 1.0f);
  EXPECT_EQ(StringUtils::ToFloat("-2", 0.0f), -2.0f);
  EXPECT_THROW(static_cast<void>(StringUtils::ToFloat(",5", 0.0f)), std::invalid_argument);
  // The integer parsers do not depend on the locale.
  EXPECT_EQ(StringUtils::ToInt("1.5", 0), 1);
  EXPECT_EQ(StringUtils::ToUint64("15", 0), 15u);

  ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);
  EXPECT_EQ(StringUtils::ToFloat("1,5", 0.0f), 1.5f);
}

TEST(StringUtilsTest, CopyStringWritesUpToFirstNulAndNothingBeyond) {
  std::string error = "old text";
  EXPECT_FALSE(StringUtils::CopyString("abc", nullptr, error));
  EXPECT_EQ(error, "Invalid buffer!");

  // Guard bytes after the source.size() + 1 the function may write must stay junk.
  constexpr char kJunk = '#';
  constexpr size_t kGuard = 8;
  struct Case {
    std::string source;
    std::string written;
  };
  const std::string kLong(10000, 'x');
  const Case cases[] = {{"", "\0"s},           {"abc", "abc\0"s},
                        {"a\0b"s, "a\0"s},     {"\0abc"s, "\0"s},
                        {kLong, kLong + '\0'}, {"\xFF\x80 \t\n", "\xFF\x80 \t\n\0"s}};
  for (const Case& c : cases) {
    SCOPED_TRACE(PrintToString(c.source.substr(0, 20)));
    std::vector<char> buffer(c.source.size() + 1 + kGuard, kJunk);
    error = "left over";
    EXPECT_TRUE(StringUtils::CopyString(c.source, buffer.data(), error));
    EXPECT_EQ(error, "");
    std::string expected = c.written;
    expected.resize(buffer.size(), kJunk);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected);
  }
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::vector<char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Base64 taken bit by bit, sharing nothing with the encoder's three-byte groups.
std::string ReferenceBase64(const std::string& bytes) {
  const size_t bits = bytes.size() * 8;
  std::string text;
  for (size_t first = 0; first < bits; first += 6) {
    unsigned sextet = 0;
    for (size_t bit = first; bit < first + 6; ++bit) {
      const unsigned byte = bit < bits ? static_cast<unsigned char>(bytes[bit / 8]) : 0;
      sextet = (sextet << 1) | ((byte >> (7 - bit % 8)) & 1);
    }
    text += kAlphabet[sextet];
  }
  while (text.size() % 4 != 0) text += '=';
  return text;
}

TEST(StringUtilsTest, Base64AlphabetIsOneObjectInStandardOrder) {
  const std::string& first = StringUtils::GetBase64Chars();
  EXPECT_EQ(first, kAlphabet);
  EXPECT_EQ(&StringUtils::GetBase64Chars(), &first);
}

TEST(StringUtilsTest, Base64EncodesKnownVectors) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  // RFC 4648, section 10; then bytes with the high bit set, which encode by
  // their unsigned value, and NUL bytes, which are data like any other.
  const Case cases[] = {
      {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},          {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFF\xFF\xFF", "////"}, {"\xFB\xFF", "+/8="},
      {"\x80", "gA=="},      {"\xFF\xFE", "//4="},   {"\xFF", "/w=="},         {"\0"s, "AA=="},
      {"\0\0\0"s, "AAAA"},   {"\0\xFF\0"s, "AP8A"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(PrintToString(c.bytes));
    EXPECT_EQ(StringUtils::CharVectorToBase64(Bytes(c.bytes)), c.text);
  }
  EXPECT_EQ(StringUtils::CharVectorToBase64({}), "");
}

TEST(StringUtilsTest, Base64EncodesEveryByteValueAtEveryPositionInAGroup) {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  // Rotations put each value at each position; the lengths end in all three ways.
  for (size_t shift = 0; shift < 3; ++shift) {
    for (size_t length = bytes.size() - 2; length <= bytes.size(); ++length) {
      SCOPED_TRACE(std::to_string(shift) + "/" + std::to_string(length));
      const std::string input = (bytes.substr(shift) + bytes.substr(0, shift)).substr(0, length);
      EXPECT_EQ(StringUtils::CharVectorToBase64(Bytes(input)), ReferenceBase64(input));
    }
  }
}

TEST(StringUtilsTest, Base64FirstUseFromSeveralThreadsSeesOneAlphabet) {
  // Nothing in this process has touched the alphabet yet (each test runs in a
  // process of its own), so the threads race for its construction.
  constexpr size_t kThreads = 8;
  const std::vector<char> input = Bytes("foobar\xFF\xFE");
  std::latch start(kThreads);
  std::vector<const std::string*> alphabets(kThreads, nullptr);
  std::vector<std::string> encoded(kThreads);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      // Half of them reach the alphabet through the encoder first.
      if (t % 2 == 0) alphabets[t] = &StringUtils::GetBase64Chars();
      encoded[t] = StringUtils::CharVectorToBase64(input);
      if (t % 2 == 1) alphabets[t] = &StringUtils::GetBase64Chars();
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(alphabets[0], nullptr);
  EXPECT_EQ(*alphabets[0], kAlphabet);
  for (size_t t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(alphabets[t], alphabets[0]);
    EXPECT_EQ(encoded[t], "Zm9vYmFy//4=");
  }
}

}  // namespace
}  // namespace TalvornCommon
