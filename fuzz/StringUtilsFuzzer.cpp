// StringUtils against references written here independently. The first byte
// of an input picks what to check and the rest is the text: 0 (modulo 3)
// splitting, searching and replacing, 1 the number parsers, 2 Base64.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "talvorncommon/StringUtils.h"

using namespace TalvornCommon::StringUtils;

// A failed check names itself and aborts; libFuzzer keeps the input.
#define FUZZ_CHECK(ok) ((ok) ? void() : (std::fputs("failed: " #ok "\n", stderr), std::abort()))

// Byte 0 is the delimiter and the character to replace, byte 1 its
// replacement.
static void Pieces(const std::string& input) {
  if (input.size() < 2) return;
  const char delimiter = input[0], other = input[1];
  const std::string value = input.substr(2);
  // A new piece at each delimiter, every other byte added to the last piece.
  std::vector<std::string> pieces(value.empty() ? 0 : 1);
  for (const char c : value) c == delimiter ? pieces.emplace_back() : pieces.back() += c;
  std::string replaced = value;
  std::replace(replaced.begin(), replaced.end(), delimiter, other);
  FUZZ_CHECK(Split(value, delimiter) == pieces &&
             ReplaceChars(value, delimiter, other) == replaced);
  // Every piece up to the ninth and the last ones, and the missing ones on
  // either side, so that one input costs a few dozen scans at most.
  const int count = static_cast<int>(pieces.size());
  for (int index = -2; index <= count + 1; index = index == 8 && count > 16 ? count - 8 : index + 1)
    FUZZ_CHECK(QuickSplit(value, delimiter, index) ==
               (index >= 0 && index < count ? pieces[index] : ""));
  // The first piece looked for in the text after it: found sometimes, sometimes not.
  const std::string needle = pieces.empty() ? "" : pieces[0];
  const std::string text = count > 1 ? value.substr(needle.size() + 1) : "";
  const auto at = std::search(text.begin(), text.end(), needle.begin(), needle.end());
  FUZZ_CHECK(Contains(text, needle) == (needle.empty() || at != text.end()));
}

// Whether `parse` behaves as std::stoi or std::stof would after strtol or
// strtof read `number`: invalid_argument where nothing was read, out_of_range
// on ERANGE, otherwise the same bits (from the same call) and errno untouched.
template <typename Parse, typename Number>
static bool Same(Parse parse, Number number, bool none, bool range) {
  try {
    errno = 4242;
    const Number result = parse();
    return !none && !range && errno == 4242 && std::memcmp(&result, &number, sizeof result) == 0;
  } catch (const std::logic_error& e) {
    return dynamic_cast<const std::out_of_range*>(&e) != nullptr ? range : none;
  }
}

static void Numbers(const std::string& value) {
  // ToUint64: the number where from_chars reads all of the text, else the
  // default (two of them, which cannot both be hit by accident).
  uint64_t number = 0;
  const auto [stop, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  const bool whole = error == std::errc() && stop == value.data() + value.size();
  FUZZ_CHECK(ToUint64(value, 7) == (whole ? number : 7) &&
             ToUint64(value, UINT64_MAX) == (whole ? number : UINT64_MAX));
  // ToInt: strtol within int. ToFloat: strtof once every comma is a full stop.
  const std::string copy = ReplaceChars(value, ',', '.');
  char *intStop = nullptr, *floatStop = nullptr;
  const long asLong = (errno = 0, std::strtol(value.c_str(), &intStop, 10));
  const bool intRange = errno == ERANGE || asLong != static_cast<int>(asLong);
  const float asFloat = (errno = 0, std::strtof(copy.c_str(), &floatStop));
  const bool floatRange = errno == ERANGE;
  // Empty text gives the default, as strtol and strtof do not.
  FUZZ_CHECK(Same([&] { return ToInt(value, 5); }, value.empty() ? 5 : static_cast<int>(asLong),
                  !value.empty() && intStop == value.c_str(), intRange));
  FUZZ_CHECK(Same([&] { return ToFloat(value, 2.5f); }, value.empty() ? 2.5f : asFloat,
                  !value.empty() && floatStop == copy.c_str(), floatRange));
}

// Base64 read back strictly: four characters for each started group of three
// bytes, ending in the padding the length calls for; before it only alphabet
// characters, whose bits give the bytes back with nothing left over.
static void Base64(const std::string& bytes) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string text = CharVectorToBase64({bytes.begin(), bytes.end()});
  const std::size_t padding = (3 - bytes.size() % 3) % 3;
  FUZZ_CHECK(GetBase64Chars() == alphabet && text.size() == (bytes.size() + 2) / 3 * 4 &&
             text.substr(text.size() - padding) == std::string(padding, '='));
  std::string decoded;
  uint32_t bits = 0, count = 0;
  for (const char c : text.substr(0, text.size() - padding)) {
    FUZZ_CHECK(alphabet.find(c) < 64);
    bits = bits << 6 | static_cast<uint32_t>(alphabet.find(c));
    if ((count += 6) >= 8) decoded += static_cast<char>(bits >> (count -= 8));
    bits &= (1u << count) - 1;
  }
  FUZZ_CHECK(bits == 0 && decoded == bytes);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  void (*const checks[])(const std::string&) = {Pieces, Numbers, Base64};
  if (size > 0) checks[data[0] % 3]({reinterpret_cast<const char*>(data) + 1, size - 1});
  return 0;
}
