// StringUtils: one table of edge cases per function family. Outputs start out
// holding junk wherever the contract says what becomes of their old contents.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "talvorncommon/StringUtils.h"

using namespace TalvornCommon::StringUtils;
using ::testing::PrintToString;
using namespace std::string_literals;

TEST(StringUtilsTest, SplittingSearchingAndReplacingWorkOnExactBytes) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"", {}},          {"abc", {"abc"}}, {"a,b,c", {"a", "b", "c"}}, {",a", {"", "a"}},
      {"a,", {"a", ""}}, {",", {"", ""}},  {"A,,b", {"A", "", "b"}},   {" \0,"s, {" \0"s, ""}}};
  for (const auto& [value, pieces] : cases) {
    EXPECT_EQ(Split(value, ','), pieces) << PrintToString(value);
    // Every piece, and the missing ones on either side of them.
    for (int index = -1; index <= static_cast<int>(pieces.size()) + 1; ++index) {
      const bool exists = index >= 0 && static_cast<size_t>(index) < pieces.size();
      EXPECT_EQ(QuickSplit(value, ',', index), exists ? pieces[index] : "")
          << PrintToString(value) << " at " << index;
    }
  }
  const std::tuple<std::string, std::string, bool> finds[] = {
      {"", "", true},       {"abc", "", true},       {"", "a", false},    {"ab", "abc", false},
      {"abc", "abc", true}, {"abcabd", "abd", true}, {"ABC", "b", false}, {"a\0b"s, "\0b"s, true}};
  for (const auto& [text, toFind, found] : finds)
    EXPECT_EQ(Contains(text, toFind), found) << PrintToString(text + "/" + toFind);
  const std::tuple<std::string, char, char, std::string> replaces[] = {
      {"1,5", ',', '.', "1.5"}, {",,", ',', '.', ".."}, {"abc", 'x', 'y', "abc"},
      {"aaa", 'a', 'a', "aaa"}, {"", ',', '.', ""},     {"a\0b\0"s, '\0', '-', "a-b-"}};
  for (const auto& [value, oldChar, newChar, replaced] : replaces)
    EXPECT_EQ(ReplaceChars(value, oldChar, newChar), replaced) << PrintToString(value);
}

TEST(StringUtilsTest, ToIntToUint64AndToFloatUseTheDefaultOnlyWhereTheirRulesSay) {
  // What a parse returns, or which exception it throws.
  const auto outcome = [](auto parse, const std::string& text, auto defaultValue) -> std::string {
    try {
      errno = 4242;  // A parse that returns leaves errno alone.
      const auto value = parse(text, defaultValue);
      return errno == 4242 ? PrintToString(value) : "errno changed";
    } catch (const std::logic_error& e) {  // std::invalid_argument or std::out_of_range
      return (dynamic_cast<const std::out_of_range*>(&e) ? "range "s : "invalid "s) + e.what();
    }
  };
  // The text, then what ToInt, ToUint64 and ToFloat make of it with the
  // defaults 5, 7 and 2.5.
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {"", "5", "7", "2.5"},
      {"  -17x", "-17", "7", "-17"},
      {"010", "10", "10", "10"},
      {"1,5", "1", "7", "1.5"},
      {"2147483648", "range stoi", "2147483648", "2.14748e+09"},
      {"18446744073709551615", "range stoi", "18446744073709551615", "1.84467e+19"},
      {"18446744073709551616", "range stoi", "7", "1.84467e+19"},
      {"1000000000000000000000000000000000000000", "range stoi", "7", "range stof"},
      {":", "invalid stoi", "7", "invalid stof"}};
  for (const auto& [text, toInt, toUint64, toFloat] : cases) {
    SCOPED_TRACE(PrintToString(text));
    EXPECT_EQ(outcome(ToInt, text, 5), toInt);
    EXPECT_EQ(outcome(ToUint64, text, uint64_t{7}), toUint64);
    EXPECT_EQ(outcome(ToFloat, text, 2.5f), toFloat);
  }
}

TEST(StringUtilsTest, ToFloatReadsItsCopyWithTheDecimalMarkOfTheLocale) {
  // Where the build generated a German locale, or empty for the system's own.
  setenv("LOCPATH", TALVORNCOMMON_TEST_LOCPATH, 1);
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8 locale";
  // German numbers take the comma (as strtof shows) and end at the full stop
  // that ToFloat has made of it.
  const float read[] = {std::strtof("1,5", nullptr), ToFloat("1,5", 0.0f)};
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(std::make_pair(read[0], read[1]), std::make_pair(1.5f, 1.0f));
}

TEST(StringUtilsTest, CopyStringWritesTheTextUpToItsFirstNulAndOneNul) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      // The source, the buffer after the call (no buffer at all where empty), the error.
      // Buffer and error start as junk; the bytes after the NUL keep theirs.
      {"abc", "", "Invalid buffer!"}, {"", "", "Invalid buffer!"},   {"", "\0##"s, ""},
      {"abc", "abc\0##"s, ""},        {"\xFF\n", "\xFF\n\0##"s, ""}, {"a\0b"s, "a\0####"s, ""}};
  for (const auto& [source, written, message] : cases) {
    std::string buffer(written.size(), '#'), error = "junk";
    const bool copied = CopyString(source, written.empty() ? nullptr : buffer.data(), error);
    EXPECT_EQ(std::tie(copied, buffer, error), std::make_tuple(message.empty(), written, message))
        << PrintToString(source);
  }
}

TEST(StringUtilsTest, Base64PadsTheLastGroupAndReadsBytesAsUnsigned) {
  EXPECT_EQ(GetBase64Chars(), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  // The vectors of RFC 4648, then bytes of 128 and above at each place in a group.
  const std::pair<std::string, std::string> cases[] = {
      {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"", ""},        {"\x80", "gA=="},
      {"\xFF\xFE", "//4="},  {"ab\xFF", "YWL/"}};
  for (const auto& [bytes, text] : cases)
    EXPECT_EQ(CharVectorToBase64({bytes.begin(), bytes.end()}), text) << bytes;
}
