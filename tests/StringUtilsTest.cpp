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
#include <cstring>
#include <functional>
#include <latch>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/StringUtils.h"

namespace TalvornCommon {
namespace {

using namespace std::string_literals;

// A value no conversion ever stores in errno, to see whether a call touched it.
constexpr int kErrnoSentinel = 4242;

enum class Thrown { kNothing, kInvalidArgument, kOutOfRange };

struct Outcome {
  Thrown thrown = Thrown::kNothing;
  std::string message;
};

// Runs `call` and reports which of the two conversion exceptions left it; any
// other exception escapes and fails the test.
Outcome Catch(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::invalid_argument& e) {
    return {Thrown::kInvalidArgument, e.what()};
  } catch (const std::out_of_range& e) {
    return {Thrown::kOutOfRange, e.what()};
  }
  return {};
}

// Printable form of a test input, so that NUL and high bytes show in traces.
std::string Show(const std::string& text) {
  std::string shown = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    } else {
      shown += c;
    }
  }
  return shown + "\"";
}

// ---------------------------------------------------------------------------
// Split and QuickSplit

struct SplitCase {
  std::string value;
  char delimiter;
  std::vector<std::string> pieces;
};

const std::vector<SplitCase>& SplitCases() {
  static const std::vector<SplitCase> cases = {
      // No pieces at all, not one empty piece.
      {"", ',', {}},
      // No delimiter: the whole text is the one piece.
      {"abc", ',', {"abc"}},
      {"a,b,c", ',', {"a", "b", "c"}},
      // Empty pieces at the start, the end, and between adjacent delimiters.
      {",a", ',', {"", "a"}},
      {"a,", ',', {"a", ""}},
      {",", ',', {"", ""}},
      {",,", ',', {"", "", ""}},
      {"a,,b", ',', {"a", "", "b"}},
      {",a,,b,", ',', {"", "a", "", "b", ""}},
      // White space belongs to the pieces: nothing is trimmed.
      {" a , b ", ',', {" a ", " b "}},
      {"a b", ' ', {"a", "b"}},
      // Embedded NUL bytes are ordinary bytes, inside pieces and as delimiter.
      {"a\0b,c"s, ',', {"a\0b"s, "c"}},
      {"a\0b\0"s, '\0', {"a", "b", ""}},
      {"\0"s, ',', {"\0"s}},
      // A delimiter with the high bit set is matched as the same byte.
      {"x\xFFy\xFF"s, '\xFF', {"x", "y", ""}},
      // Case matters: 'A' does not split at 'a'.
      {"bAb", 'a', {"bAb"}},
  };
  return cases;
}

TEST(StringUtilsTest, SplitYieldsEveryPieceIncludingEmptyOnes) {
  for (const SplitCase& c : SplitCases()) {
    SCOPED_TRACE(Show(c.value) + " at " + Show(std::string(1, c.delimiter)));
    EXPECT_EQ(StringUtils::Split(c.value, c.delimiter), c.pieces);
  }
}

TEST(StringUtilsTest, SplitLongTextWithManyPiecesKeepsOrder) {
  std::string text;
  std::vector<std::string> expected;
  for (int i = 0; i < 1000; ++i) {
    expected.push_back(i % 7 == 0 ? "" : std::to_string(i));
    text += (i == 0 ? "" : ";") + expected.back();
  }
  EXPECT_EQ(StringUtils::Split(text, ';'), expected);
}

TEST(StringUtilsTest, QuickSplitAgreesWithSplitAtEveryIndexAndIsEmptyPastTheEnd) {
  for (const SplitCase& c : SplitCases()) {
    SCOPED_TRACE(Show(c.value) + " at " + Show(std::string(1, c.delimiter)));
    const int count = static_cast<int>(c.pieces.size());
    for (int index = 0; index < count + 3; ++index) {
      SCOPED_TRACE(index);
      const std::string expected = index < count ? c.pieces[static_cast<size_t>(index)] : "";
      EXPECT_EQ(StringUtils::QuickSplit(c.value, c.delimiter, index), expected);
    }
  }
}

TEST(StringUtilsTest, QuickSplitMissingOrNegativeIndexGivesEmptyString) {
  struct Case {
    std::string value;
    int index;
    std::string expected;
  };
  const Case cases[] = {
      {"", 0, ""},
      {"abc", 0, "abc"},
      {"abc", 1, ""},
      {"a,b,c", 2, "c"},
      {"a,b,c", 3, ""},
      {"a,,b", 1, ""},
      {"a,,b", 2, "b"},
      // The empty last piece and a piece that does not exist look alike.
      {"a,", 1, ""},
      {"a,", 2, ""},
      {"a,b", -1, ""},
      {"a,b", INT_MIN, ""},
      {"a,b", INT_MAX, ""},
      {",,,,", INT_MAX, ""},
      {"x,y", 0, "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.value) + " index " + std::to_string(c.index));
    EXPECT_EQ(StringUtils::QuickSplit(c.value, ',', c.index), c.expected);
  }
}

// ---------------------------------------------------------------------------
// Contains and ReplaceChars

TEST(StringUtilsTest, ContainsMatchesContiguousBytesExactly) {
  struct Case {
    std::string text;
    std::string toFind;
    bool expected;
  };
  const Case cases[] = {
      // The empty needle is found everywhere, also in the empty text.
      {"", "", true},
      {"abc", "", true},
      {"", "a", false},
      // Longer than the text, equal to it, at the start, the end, the middle.
      {"ab", "abc", false},
      {"abc", "abc", true},
      {"abcabd", "abd", true},
      {"abcabd", "abc", true},
      {"xabcx", "abc", true},
      // Not contiguous, and no case folding.
      {"axbxc", "abc", false},
      {"ABC", "b", false},
      // NUL bytes are compared like any other byte.
      {"a\0b"s, "\0b"s, true},
      {"ab", "\0"s, false},
      {"a\0c"s, "a\0b"s, false},
      {"\xC3\xA9t\xC3\xA9"s, "\xA9t"s, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.text) + " / " + Show(c.toFind));
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
  const Case cases[] = {
      {"1,5", ',', '.', "1.5"},
      {",,", ',', '.', ".."},
      {"abc", 'x', 'y', "abc"},
      {"aaa", 'a', 'a', "aaa"},
      {"aaa", 'a', 'b', "bbb"},
      {"", ',', '.', ""},
      // NUL in either role keeps the length: nothing is cut off.
      {"a\0b\0"s, '\0', '-', "a-b-"},
      {"aba", 'a', '\0', "\0b\0"s},
      {"\xFF,\xFF"s, '\xFF', 'z', "z,z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.value));
    const std::string result = StringUtils::ReplaceChars(c.value, c.oldChar, c.newChar);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(result.size(), c.value.size());
  }
}

// ---------------------------------------------------------------------------
// ToInt

TEST(StringUtilsTest, ToIntEmptyTextGivesDefault) {
  EXPECT_EQ(StringUtils::ToInt("", 5), 5);
  EXPECT_EQ(StringUtils::ToInt("", INT_MIN), INT_MIN);
}

TEST(StringUtilsTest, ToIntReadsLeadingNumberLikeStoi) {
  struct Case {
    std::string value;
    int expected;
  };
  const Case cases[] = {
      {"42", 42},
      // Signs.
      {"-17", -17},
      {"+8", 8},
      {"-0", 0},
      // Leading white space is skipped; trailing characters are ignored.
      {"  -17", -17},
      {"\t\n\v\f\r 9", 9},
      {"12abc", 12},
      {"12 34", 12},
      {"3.9", 3},
      // Base 10 only: a hexadecimal prefix stops after the 0.
      {"0x1A", 0},
      {"007", 7},
      // Conversion stops at an embedded NUL.
      {"1\0002"s, 1},
      // The limits of int are accepted.
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"000000000000000000002147483647", INT_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.value));
    EXPECT_EQ(StringUtils::ToInt(c.value, 5), c.expected);
  }
}

TEST(StringUtilsTest, ToIntThrowsWhatStoiThrowsAndIgnoresDefault) {
  struct Case {
    std::string value;
    Thrown thrown;
  };
  const Case cases[] = {
      {"abc", Thrown::kInvalidArgument},
      {" ", Thrown::kInvalidArgument},
      {"-", Thrown::kInvalidArgument},
      {"+", Thrown::kInvalidArgument},
      {"+-1", Thrown::kInvalidArgument},
      {"- 1", Thrown::kInvalidArgument},
      {"\0001"s, Thrown::kInvalidArgument},
      // One beyond each limit of int, still inside long.
      {"2147483648", Thrown::kOutOfRange},
      {"-2147483649", Thrown::kOutOfRange},
      {"  2147483648abc", Thrown::kOutOfRange},
      // Beyond long: strtol itself reports ERANGE.
      {"9223372036854775808", Thrown::kOutOfRange},
      {"-99999999999999999999", Thrown::kOutOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.value));
    const Outcome outcome = Catch([&] { static_cast<void>(StringUtils::ToInt(c.value, 5)); });
    EXPECT_EQ(outcome.thrown, c.thrown);
    EXPECT_EQ(outcome.message, "stoi");
  }
}

TEST(StringUtilsTest, ToIntLeavesErrnoAloneOnSuccess) {
  for (const std::string value : {"", "42", "  -7x", "2147483647"}) {
    SCOPED_TRACE(Show(value));
    errno = kErrnoSentinel;
    static_cast<void>(StringUtils::ToInt(value, 1));
    EXPECT_EQ(errno, kErrnoSentinel);
  }
}

// ---------------------------------------------------------------------------
// ToUint64

TEST(StringUtilsTest, ToUint64AcceptsOnlyWholeUnsignedDecimalText) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  struct Case {
    std::string value;
    uint64_t expected;
  };
  const Case cases[] = {
      {"", 7},
      {"0", 0},
      {"123", 123},
      // Leading zeros do not count towards overflow.
      {"000123", 123},
      {"00000000000000000000000000018446744073709551615", kMax},
      {"18446744073709551615", kMax},
      {"9999999999999999999", 9999999999999999999u},
      // 2^64: the last addition overflows.
      {"18446744073709551616", 7},
      {"18446744073709551619", 7},
      // The last multiplication overflows.
      {"18446744073709551620", 7},
      {"99999999999999999999", 7},
      {"184467440737095516150", 7},
      // No white space, sign, prefix, separator or trailing text.
      {" 1", 7},
      {"1 ", 7},
      {"\t1", 7},
      {"+1", 7},
      {"-1", 7},
      {"-0", 7},
      {"12abc", 7},
      {"1.0", 7},
      {"1,000", 7},
      {"0x10", 7},
      // An embedded NUL is not a digit, even with digits after it.
      {"1\0002"s, 7},
      {"\0"s, 7},
      // Bytes just around the digits, and a digit-like byte with the high bit.
      {"/", 7},
      {":", 7},
      {"1\xB9"s, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.value));
    EXPECT_EQ(StringUtils::ToUint64(c.value, 7), c.expected);
  }
}

TEST(StringUtilsTest, ToUint64ReturnsAnyDefaultUnchanged) {
  for (const uint64_t fallback : {uint64_t{0}, uint64_t{5}, std::numeric_limits<uint64_t>::max()}) {
    SCOPED_TRACE(fallback);
    EXPECT_EQ(StringUtils::ToUint64("", fallback), fallback);
    EXPECT_EQ(StringUtils::ToUint64("x", fallback), fallback);
    EXPECT_EQ(StringUtils::ToUint64("18446744073709551616", fallback), fallback);
  }
}

TEST(StringUtilsTest, ToUint64NeverTouchesErrno) {
  for (const std::string value : {"", "1", "abc", "99999999999999999999"}) {
    SCOPED_TRACE(Show(value));
    errno = kErrnoSentinel;
    static_cast<void>(StringUtils::ToUint64(value, 1));
    EXPECT_EQ(errno, kErrnoSentinel);
  }
}

// ---------------------------------------------------------------------------
// ToFloat

// Same value, with NaN equal to NaN and the sign of zero compared too.
void ExpectSameFloat(float actual, float expected) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << actual;
  } else {
    EXPECT_EQ(std::bit_cast<uint32_t>(actual), std::bit_cast<uint32_t>(expected))
        << actual << " != " << expected;
  }
}

TEST(StringUtilsTest, ToFloatEmptyTextGivesDefault) {
  ExpectSameFloat(StringUtils::ToFloat("", 2.5f), 2.5f);
  ExpectSameFloat(StringUtils::ToFloat("", -0.0f), -0.0f);
}

TEST(StringUtilsTest, ToFloatReadsLeadingNumberWithCommaOrFullStop) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Case {
    std::string value;
    float expected;
  };
  const Case cases[] = {
      // Comma and full stop as decimal mark.
      {"1,5", 1.5f},
      {"1.5", 1.5f},
      {",5", 0.5f},
      {"5,", 5.0f},
      {"1,5e1", 15.0f},
      // Every comma is replaced, so a group separator ends the number.
      {"1,000.5", 1.0f},
      {"1,000,5", 1.0f},
      // Signs and white space.
      {"-1,25", -1.25f},
      {"+2,5", 2.5f},
      {"-0", -0.0f},
      {" 2.25", 2.25f},
      {"\t\n 7", 7.0f},
      {"2.5 ", 2.5f},
      {"3abc", 3.0f},
      // Conversion stops at an embedded NUL.
      {"1.5\0009"s, 1.5f},
      // Hexadecimal floats, also with a comma for the point.
      {"0x1.8p1", 3.0f},
      {"0x1,8p1", 3.0f},
      // Infinity and NaN words are numbers, not errors.
      {"inf", kInf},
      {"-Infinity", -kInf},
      {"nan", std::numeric_limits<float>::quiet_NaN()},
      // The edges of the normal range, and a subnormal that is exact.
      {"3.4028235e38", std::numeric_limits<float>::max()},
      {"1.1754944e-38", std::numeric_limits<float>::min()},
      {"0x1p-149", std::numeric_limits<float>::denorm_min()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.value));
    ExpectSameFloat(StringUtils::ToFloat(c.value, 99.0f), c.expected);
  }
}

TEST(StringUtilsTest, ToFloatThrowsWhatStofThrowsAndIgnoresDefault) {
  struct Case {
    std::string value;
    Thrown thrown;
  };
  const Case cases[] = {
      {"abc", Thrown::kInvalidArgument},
      {" ", Thrown::kInvalidArgument},
      {"-", Thrown::kInvalidArgument},
      {",", Thrown::kInvalidArgument},
      {".e1", Thrown::kInvalidArgument},
      {"\0001"s, Thrown::kInvalidArgument},
      // Overflow of float.
      {"1e39", Thrown::kOutOfRange},
      {"-1e39", Thrown::kOutOfRange},
      {"3.5e38", Thrown::kOutOfRange},
      // Underflow: inexact results in the subnormal range, and results that
      // round to zero, are reported as ERANGE by the C library.
      {"1e-40", Thrown::kOutOfRange},
      {"-1e-40", Thrown::kOutOfRange},
      {"1,0e-38", Thrown::kOutOfRange},
      {"1e-50", Thrown::kOutOfRange},
      {"0x1p-150", Thrown::kOutOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.value));
    const Outcome outcome = Catch([&] { static_cast<void>(StringUtils::ToFloat(c.value, 5.0f)); });
    EXPECT_EQ(outcome.thrown, c.thrown);
    EXPECT_EQ(outcome.message, "stof");
  }
}

TEST(StringUtilsTest, ToFloatLeavesErrnoAloneOnSuccess) {
  for (const std::string value : {"", "1,5", " -2.5e3x", "nan", "0x1p-149"}) {
    SCOPED_TRACE(Show(value));
    errno = kErrnoSentinel;
    static_cast<void>(StringUtils::ToFloat(value, 1.0f));
    EXPECT_EQ(errno, kErrnoSentinel);
  }
}

// Puts the "C" numeric locale back, whatever the test did.
class NumericLocaleGuard {
 public:
  NumericLocaleGuard() = default;
  ~NumericLocaleGuard() { std::setlocale(LC_NUMERIC, "C"); }
  NumericLocaleGuard(const NumericLocaleGuard&) = delete;
  NumericLocaleGuard& operator=(const NumericLocaleGuard&) = delete;
};

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
  NumericLocaleGuard restore;
  if (!UseGermanNumericLocale()) {
    GTEST_SKIP() << "no de_DE.UTF-8 locale installed or generated";
  }
  // The locale really reads the comma: otherwise this test proves nothing.
  ASSERT_EQ(std::strtof("1,5", nullptr), 1.5f);

  // The comma has become a full stop before the conversion, and the German
  // conversion stops at the full stop.
  ExpectSameFloat(StringUtils::ToFloat("1,5", 0.0f), 1.0f);
  ExpectSameFloat(StringUtils::ToFloat("1.5", 0.0f), 1.0f);
  ExpectSameFloat(StringUtils::ToFloat("-2", 0.0f), -2.0f);
  EXPECT_EQ(Catch([] { static_cast<void>(StringUtils::ToFloat(",5", 0.0f)); }).thrown,
            Thrown::kInvalidArgument);
  // The integer parsers do not depend on the locale.
  EXPECT_EQ(StringUtils::ToInt("1.5", 0), 1);
  EXPECT_EQ(StringUtils::ToUint64("15", 0), 15u);

  ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);
  ExpectSameFloat(StringUtils::ToFloat("1,5", 0.0f), 1.5f);
}

// ---------------------------------------------------------------------------
// CopyString

TEST(StringUtilsTest, CopyStringNullBufferFailsAndReplacesError) {
  for (const std::string before : {"", "old text"}) {
    std::string error = before;
    EXPECT_FALSE(StringUtils::CopyString("abc", nullptr, error));
    EXPECT_EQ(error, "Invalid buffer!");
  }
}

TEST(StringUtilsTest, CopyStringWritesTextAndNulAndNothingBeyond) {
  constexpr char kJunk = '#';
  constexpr size_t kGuard = 8;
  struct Case {
    std::string source;
    // What the buffer holds afterwards within source.size() + 1 + kGuard bytes.
    std::string written;
  };
  const Case cases[] = {
      {"", "\0"s},
      {"abc", "abc\0"s},
      // The copy ends at the first embedded NUL; later bytes stay junk.
      {"a\0b"s, "a\0"s},
      {"\0abc"s, "\0"s},
      {std::string(10000, 'x'), std::string(10000, 'x') + '\0'},
      {"\xFF\x80 \t\n", "\xFF\x80 \t\n\0"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.source.substr(0, 20)));
    std::vector<char> buffer(c.source.size() + 1 + kGuard, kJunk);
    std::string error = "left over";
    EXPECT_TRUE(StringUtils::CopyString(c.source, buffer.data(), error));
    EXPECT_EQ(error, "");
    std::string expected = c.written;
    expected.resize(buffer.size(), kJunk);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected);
  }
}

TEST(StringUtilsTest, CopyStringFitsExactlyIntoSizePlusOneBytes) {
  // A heap block of exactly the promised size: AddressSanitizer reports any
  // byte written past it.
  const std::string source = "exactly sized";
  auto buffer = std::make_unique<char[]>(source.size() + 1);
  std::string error;
  ASSERT_TRUE(StringUtils::CopyString(source, buffer.get(), error));
  EXPECT_STREQ(buffer.get(), "exactly sized");
}

// ---------------------------------------------------------------------------
// Base64

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::vector<char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A strict decoder written from the alphabet: false for a length that is not
// a multiple of four, a byte outside the alphabet, padding anywhere but at the
// end, or padded-out bits that are not zero.
bool DecodeBase64(const std::string& text, std::string& bytes) {
  bytes.clear();
  if (text.size() % 4 != 0) return false;
  for (size_t group = 0; group < text.size(); group += 4) {
    size_t padding = 0;
    if (group + 4 == text.size() && text[group + 3] == '=') {
      padding = text[group + 2] == '=' ? 2 : 1;
    }
    uint32_t accumulator = 0;
    for (size_t k = 0; k < 4; ++k) {
      uint32_t sextet = 0;
      if (k < 4 - padding) {
        const char c = text[group + k];
        const char* at = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
        if (at == nullptr) return false;
        sextet = static_cast<uint32_t>(at - kAlphabet);
      }
      accumulator = (accumulator << 6) | sextet;
    }
    if ((padding == 1 && (accumulator & 0xFF) != 0) ||
        (padding == 2 && (accumulator & 0xFFFF) != 0)) {
      return false;
    }
    const char decoded[] = {static_cast<char>(accumulator >> 16),
                            static_cast<char>((accumulator >> 8) & 0xFF),
                            static_cast<char>(accumulator & 0xFF)};
    bytes.append(decoded, 3 - padding);
  }
  return true;
}

TEST(StringUtilsTest, Base64AlphabetIsOneObjectInStandardOrder) {
  const std::string& first = StringUtils::GetBase64Chars();
  EXPECT_EQ(first, kAlphabet);
  EXPECT_EQ(first.size(), 64u);
  EXPECT_EQ(&StringUtils::GetBase64Chars(), &first);
}

TEST(StringUtilsTest, Base64EncodesKnownVectors) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      // RFC 4648, section 10.
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // Bytes with the high bit set encode by their unsigned value.
      {"\xFF\xFF\xFF", "////"},
      {"\xFB\xFF", "+/8="},
      {"\x80", "gA=="},
      {"\xFF\xFE", "//4="},
      {"\xFF", "/w=="},
      // NUL bytes are data like any other.
      {"\0"s, "AA=="},
      {"\0\0\0"s, "AAAA"},
      {"\0\xFF\0"s, "AP8A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.bytes));
    EXPECT_EQ(StringUtils::CharVectorToBase64(Bytes(c.bytes)), c.text);
  }
}

TEST(StringUtilsTest, Base64LengthAndPaddingFollowInputLength) {
  std::string bytes;
  for (size_t n = 0; n <= 16; ++n) {
    SCOPED_TRACE(n);
    const std::string text = StringUtils::CharVectorToBase64(Bytes(bytes));
    ASSERT_EQ(text.size(), 4 * ((n + 2) / 3));
    const size_t padding = (3 - n % 3) % 3;
    EXPECT_EQ(text.find('='), padding == 0 ? std::string::npos : text.size() - padding);
    bytes += static_cast<char>(0xF0 + n);
  }
}

TEST(StringUtilsTest, Base64EveryByteValueRoundTrips) {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  // Each rotation puts every byte value at every position within a group.
  for (size_t shift = 0; shift < 3; ++shift) {
    for (size_t length = bytes.size() - 2; length <= bytes.size(); ++length) {
      SCOPED_TRACE(std::to_string(shift) + "/" + std::to_string(length));
      const std::string input = (bytes.substr(shift) + bytes.substr(0, shift)).substr(0, length);
      std::string decoded;
      ASSERT_TRUE(DecodeBase64(StringUtils::CharVectorToBase64(Bytes(input)), decoded));
      EXPECT_EQ(decoded, input);
    }
  }
}

TEST(StringUtilsTest, Base64FirstUseFromSeveralThreadsSeesOneAlphabet) {
  // Nothing in this process has touched the alphabet yet (each test runs in a
  // process of its own), so the threads race for its construction.
  constexpr int kThreads = 8;
  const std::vector<char> input = Bytes("foobar\xFF\xFE");
  std::latch start(kThreads);
  std::vector<const std::string*> alphabets(kThreads, nullptr);
  std::vector<std::string> encoded(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      // Half of them reach the alphabet through the encoder first.
      if (t % 2 == 0) {
        alphabets[static_cast<size_t>(t)] = &StringUtils::GetBase64Chars();
        encoded[static_cast<size_t>(t)] = StringUtils::CharVectorToBase64(input);
      } else {
        encoded[static_cast<size_t>(t)] = StringUtils::CharVectorToBase64(input);
        alphabets[static_cast<size_t>(t)] = &StringUtils::GetBase64Chars();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(alphabets[0], nullptr);
  EXPECT_EQ(*alphabets[0], kAlphabet);
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(alphabets[static_cast<size_t>(t)], alphabets[0]);
    EXPECT_EQ(encoded[static_cast<size_t>(t)], "Zm9vYmFy//4=");
  }
}

}  // namespace
}  // namespace TalvornCommon
