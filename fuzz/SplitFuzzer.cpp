// Split, QuickSplit, Contains and ReplaceChars against byte-by-byte references.
// Input layout: byte 0 is the delimiter (also the character to replace),
// byte 1 a signed extra index for QuickSplit (also the replacement), the rest
// the text.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "talvorncommon/StringUtils.h"

namespace {

using TalvornCommon::StringUtils::Contains;
using TalvornCommon::StringUtils::QuickSplit;
using TalvornCommon::StringUtils::ReplaceChars;
using TalvornCommon::StringUtils::Split;

std::vector<std::string> ReferenceSplit(const std::string& value, char delimiter) {
  std::vector<std::string> pieces;
  if (value.empty()) return pieces;
  std::string piece;
  for (const char c : value) {
    if (c == delimiter) {
      pieces.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  pieces.push_back(piece);
  return pieces;
}

bool ReferenceContains(const std::string& text, const std::string& needle) {
  for (std::size_t at = 0; at + needle.size() <= text.size(); ++at) {
    if (std::equal(needle.begin(), needle.end(), text.begin() + static_cast<std::ptrdiff_t>(at))) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto delimiter = static_cast<char>(data[0]);
  const auto other = static_cast<char>(data[1]);
  const std::string value(reinterpret_cast<const char*>(data) + 2, size - 2);

  const std::vector<std::string> expected = ReferenceSplit(value, delimiter);
  FUZZ_CHECK(Split(value, delimiter) == expected);

  // QuickSplit(i) is piece i when it exists and the empty string otherwise.
  // Every index when there are few pieces, the ends of the range otherwise, so
  // one input costs at most a few dozen scans.
  const int count = static_cast<int>(expected.size());
  const auto checkIndex = [&](int index) {
    const std::string want =
        index >= 0 && index < count ? expected[static_cast<std::size_t>(index)] : std::string();
    FUZZ_CHECK(QuickSplit(value, delimiter, index) == want);
  };
  for (int index = -2; index <= count + 1; ++index) {
    if (count > 32 && index > 8 && index < count - 8) index = count - 8;
    checkIndex(index);
  }
  checkIndex(static_cast<signed char>(other));
  checkIndex(INT_MIN);
  checkIndex(INT_MAX);

  // Contains: the first piece searched for in the text after it, which finds
  // it sometimes and sometimes not.
  if (!expected.empty()) {
    const std::string& needle = expected.front();
    const std::string haystack = value.substr(std::min(value.size(), needle.size() + 1));
    if (needle.size() * haystack.size() < 1000000) {
      FUZZ_CHECK(Contains(haystack, needle) == ReferenceContains(haystack, needle));
    }
    FUZZ_CHECK(Contains(value, needle));
  }
  FUZZ_CHECK(Contains(value, std::string()));

  std::string replaced = value;
  for (char& c : replaced) {
    if (c == delimiter) c = other;
  }
  FUZZ_CHECK(ReplaceChars(value, delimiter, other) == replaced);
  return 0;
}
