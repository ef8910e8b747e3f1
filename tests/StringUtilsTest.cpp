// StringUtils: one table of edge cases per behaviour. Outputs start out
// holding junk wherever the contract says what becomes of their old contents.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "talvorncommon/StringUtils.h"

using namespace TalvornCommon::StringUtils;
using ::testing::PrintToString;
using namespace std::string_literals;

TEST(StringUtilsTest, SplitAndQuickSplitGiveEveryPieceBetweenDelimiters) {
  // A text, and its pieces between commas.
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"", {}},          {"abc", {"abc"}}, {"a,b,c", {"a", "b", "c"}}, {",a", {"", "a"}},
      {"a,", {"a", ""}}, {",", {"", ""}},  {"A,,b", {"A", "", "b"}},   {" \0,"s, {" \0"s, ""}}};
  for (const auto& [value, pieces] : cases) {
    SCOPED_TRACE(PrintToString(value));
    EXPECT_EQ(Split(value, ','), pieces);
    // Every piece, and the missing ones on either side of them.
    for (int index = -1; index <= static_cast<int>(pieces.size()) + 1; ++index) {
      const bool exists = index >= 0 && static_cast<size_t>(index) < pieces.size();
      EXPECT_EQ(QuickSplit(value, ',', index), exists ? pieces[index] : "") << "at " << index;
    }
  }
}

struct ContainsCase {
  std::string text, toFind;
  bool found;
};

TEST(StringUtilsTest, ContainsComparesExactBytes) {
  const ContainsCase cases[] = {
      {"", "", true},       {"abc", "", true},       {"", "a", false},    {"ab", "abc", false},
      {"abc", "abc", true}, {"abcabd", "abd", true}, {"ABC", "b", false}, {"a\0b"s, "\0b"s, true}};
  for (const ContainsCase& c : cases)
    EXPECT_EQ(Contains(c.text, c.toFind), c.found)
        << PrintToString(c.toFind) << " in " << PrintToString(c.text);
}

struct ReplaceCase {
  std::string value;
  char oldChar, newChar;
  std::string replaced;
};

TEST(StringUtilsTest, ReplaceCharsReplacesEveryOccurrence) {
  const ReplaceCase cases[] = {{"1,5", ',', '.', "1.5"}, {",,", ',', '.', ".."},
                               {"abc", 'x', 'y', "abc"}, {"aaa", 'a', 'a', "aaa"},
                               {"", ',', '.', ""},       {"a\0b\0"s, '\0', '-', "a-b-"}};
  for (const ReplaceCase& c : cases)
    EXPECT_EQ(ReplaceChars(c.value, c.oldChar, c.newChar), c.replaced) << PrintToString(c.value);
}

// The value a parse returns, printed, or the exception it throws. A parse that
// returns must leave errno alone.
template <typename Parse, typename Number>
std::string ValueOrException(Parse parse, const std::string& text, Number defaultValue) {
  try {
    errno = 4242;
    const auto value = parse(text, defaultValue);
    return errno == 4242 ? PrintToString(value) : "errno changed";
  } catch (const std::logic_error& e) {  // std::invalid_argument or std::out_of_range
    return (dynamic_cast<const std::out_of_range*>(&e) ? "range "s : "invalid "s) + e.what();
  }
}

// One text and what each parser makes of it, with the defaults 5, 7 and 2.5.
struct NumberCase {
  std::string text, toInt, toUint64, toFloat;
};

TEST(StringUtilsTest, NumberParsersUseTheDefaultOnlyWhereTheirRulesSay) {
  const NumberCase cases[] = {
      {"", "5", "7", "2.5"},
      {"  -17x", "-17", "7", "-17"},
      {"+5", "5", "7", "5"},
      {"010", "10", "10", "10"},
      {"1,5", "1", "7", "1.5"},
      {"2147483648", "range stoi", "2147483648", "2.14748e+09"},
      {"18446744073709551615", "range stoi", "18446744073709551615", "1.84467e+19"},
      {"18446744073709551616", "range stoi", "7", "1.84467e+19"},
      {"1000000000000000000000000000000000000000", "range stoi", "7", "range stof"},
      {":", "invalid stoi", "7", "invalid stof"}};
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(PrintToString(c.text));
    EXPECT_EQ(ValueOrException(ToInt, c.text, 5), c.toInt);
    EXPECT_EQ(ValueOrException(ToUint64, c.text, uint64_t{7}), c.toUint64);
    EXPECT_EQ(ValueOrException(ToFloat, c.text, 2.5f), c.toFloat);
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

struct CopyCase {
  std::string source;
  std::optional<std::string> bufferAfter;  // nullopt: the call gets no buffer at all
  std::string error;                       // empty: the copy succeeds
};

TEST(StringUtilsTest, CopyStringWritesTheTextUpToItsFirstNulAndOneNul) {
  // Buffer and error start as junk; the bytes after the written NUL keep theirs.
  const CopyCase cases[] = {
      {"abc", {}, "Invalid buffer!"}, {"", {}, "Invalid buffer!"},   {"", "\0##"s, ""},
      {"abc", "abc\0##"s, ""},        {"\xFF\n", "\xFF\n\0##"s, ""}, {"a\0b"s, "a\0####"s, ""}};
  for (const CopyCase& c : cases) {
    SCOPED_TRACE(PrintToString(c.source));
    std::string buffer(c.bufferAfter.value_or("").size(), '#'), error = "junk";
    EXPECT_EQ(CopyString(c.source, c.bufferAfter ? buffer.data() : nullptr, error),
              c.error.empty());
    EXPECT_EQ(buffer, c.bufferAfter.value_or(""));
    EXPECT_EQ(error, c.error);
  }
}

TEST(StringUtilsTest, Base64PadsTheLastGroupAndReadsBytesAsUnsigned) {
  EXPECT_EQ(GetBase64Chars(), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  // Bytes and their Base64: the vectors of RFC 4648, then bytes of 128 and
  // above at every place of a full group followed by another, and in each
  // padded tail. A sign-extended byte sets every bit above its own, which
  // shows only where those bits are zeros: hence 0x80 and 0x81 come first.
  const std::pair<std::string, std::string> cases[] = {
      {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"", ""},        {"\x80\x81\x82x", "gIGCeA=="},
      {"\x80", "gA=="},      {"\xFF\xFE", "//4="}};
  for (const auto& [bytes, base64] : cases)
    EXPECT_EQ(CharVectorToBase64({bytes.begin(), bytes.end()}), base64) << PrintToString(bytes);
}
