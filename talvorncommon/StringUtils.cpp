#include "talvorncommon/StringUtils.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace TalvornCommon {
namespace StringUtils {

std::vector<std::string> Split(const std::string& value, char delimiter) {
  // Grows as pieces are appended: counting the delimiters first to reserve
  // would read the whole string twice for what is usually a handful of pieces.
  std::vector<std::string> pieces;
  if (value.empty()) {
    return pieces;
  }
  std::size_t start = 0;
  std::size_t found = value.find(delimiter);
  while (true) {
    const std::size_t end = found == std::string::npos ? value.size() : found;
    pieces.emplace_back(value, start, end - start);
    if (found == std::string::npos) {
      return pieces;
    }
    start = found + 1;
    // A start at the very end finds nothing, which yields the empty last piece
    // of a trailing delimiter.
    found = value.find(delimiter, start);
  }
}

std::string QuickSplit(const std::string& value, char delimiter, int index) {
  if (index < 0 || value.empty()) {
    return {};
  }
  std::size_t start = 0;
  std::size_t found = value.find(delimiter);
  for (int skipped = 0; skipped < index; ++skipped) {
    if (found == std::string::npos) {
      return {};
    }
    start = found + 1;
    found = value.find(delimiter, start);
  }
  const std::size_t end = found == std::string::npos ? value.size() : found;
  return value.substr(start, end - start);
}

bool Contains(const std::string& text, const std::string& toFind) {
  if (toFind.empty()) {
    return true;
  }
  if (text.size() < toFind.size()) {
    return false;
  }
  return text.find(toFind) != std::string::npos;
}

std::string ReplaceChars(const std::string& value, char oldChar, char newChar) {
  std::string result = value;
  // Resuming after the replaced position visits each byte once and keeps
  // oldChar == newChar from looping on the same byte.
  for (std::size_t at = result.find(oldChar); at != std::string::npos;
       at = result.find(oldChar, at + 1)) {
    result[at] = newChar;
  }
  return result;
}

int ToInt(const std::string& value, int defaultValue) {
  if (value.empty()) {
    return defaultValue;
  }
  // std::stoi already restores errno when strtol succeeds and throws the
  // exceptions callers catch; wrapping it keeps that behaviour exactly.
  return std::stoi(value);
}

uint64_t ToUint64(const std::string& value, uint64_t defaultValue) {
  if (value.empty()) {
    return defaultValue;
  }
  // Nineteen digits stay below 10^19 < 2^64, so the first nineteen need no
  // overflow check; only longer texts pay for the checked arithmetic.
  constexpr std::size_t kDigitsThatCannotOverflow = 19;
  const char* digit = value.data();
  const char* const end = digit + value.size();
  const char* const uncheckedEnd =
      value.size() < kDigitsThatCannotOverflow ? end : digit + kDigitsThatCannotOverflow;
  uint64_t result = 0;
  for (; digit != uncheckedEnd; ++digit) {
    const unsigned number = static_cast<unsigned char>(*digit) - unsigned{'0'};
    if (number > 9) {
      return defaultValue;
    }
    result = result * 10 + number;
  }
  for (; digit != end; ++digit) {
    const unsigned number = static_cast<unsigned char>(*digit) - unsigned{'0'};
    if (number > 9 || __builtin_mul_overflow(result, uint64_t{10}, &result) ||
        __builtin_add_overflow(result, uint64_t{number}, &result)) {
      return defaultValue;
    }
  }
  return result;
}

float ToFloat(const std::string& value, float defaultValue) {
  if (value.empty()) {
    return defaultValue;
  }
  // Accepts the comma as a decimal mark from text written under locales that
  // use it. std::stof then reads the copy with the decimal mark of the current
  // locale, which is the full stop in the default "C" locale.
  return std::stof(ReplaceChars(value, ',', '.'));
}

bool CopyString(const std::string& source, char* buffer, std::string& error) {
  error.clear();
  if (buffer == nullptr) {
    error = "Invalid buffer!";
    return false;
  }
  // "%s" stops at the first NUL inside source, so the limit source.size() + 1
  // is always enough for what is written; it is also all that is ever written.
  if (std::snprintf(buffer, source.size() + 1, "%s", source.c_str()) < 0) {
    error = "snprintf encoding/formatting error!";
    return false;
  }
  return true;
}

const std::string& GetBase64Chars() {
  // A function-local static: the runtime builds it once, also when several
  // threads call for the first time together, and destroys it at exit.
  static const std::string characterSet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  return characterSet;
}

std::string CharVectorToBase64(const std::vector<char>& data) {
  const char* const alphabet = GetBase64Chars().data();
  // Bytes are read as unsigned so that values 128 to 255 encode by their value
  // and not sign-extended into the upper bits of the accumulator.
  const auto* const bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t size = data.size();
  // The result grows through its appends, one character as soon as its six
  // bits are known; nothing is reserved in advance.
  std::string result;
  std::size_t i = 0;
  for (; size - i >= 3; i += 3) {
    uint32_t accumulator = uint32_t{bytes[i]} << 16;
    result.push_back(alphabet[accumulator >> 18]);
    accumulator |= uint32_t{bytes[i + 1]} << 8;
    result.push_back(alphabet[(accumulator >> 12) & 0x3F]);
    accumulator |= uint32_t{bytes[i + 2]};
    result.push_back(alphabet[(accumulator >> 6) & 0x3F]);
    result.push_back(alphabet[accumulator & 0x3F]);
  }
  if (size - i == 1) {
    const uint32_t accumulator = uint32_t{bytes[i]} << 16;
    result.push_back(alphabet[accumulator >> 18]);
    result.push_back(alphabet[(accumulator >> 12) & 0x3F]);
    result += "==";
  } else if (size - i == 2) {
    uint32_t accumulator = uint32_t{bytes[i]} << 16;
    result.push_back(alphabet[accumulator >> 18]);
    accumulator |= uint32_t{bytes[i + 1]} << 8;
    result.push_back(alphabet[(accumulator >> 12) & 0x3F]);
    result.push_back(alphabet[(accumulator >> 6) & 0x3F]);
    result += "=";
  }
  return result;
}

}  // namespace StringUtils
}  // namespace TalvornCommon
