// CharVectorToBase64 against a strict reference decoder: decoding gives the
// input back, the length is 4 * ceil(n / 3), and the text holds alphabet
// characters followed by exactly the padding the length calls for.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "talvorncommon/StringUtils.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
  const char* at = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
  return at == nullptr ? -1 : static_cast<int>(at - kAlphabet);
}

// Decodes text already known to have the right length and padding; false for
// a character outside the alphabet or padded-out bits that are not zero.
bool Decode(const std::string& text, std::size_t padding, std::vector<char>& bytes) {
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    const std::size_t used = last ? 4 - padding : 4;
    uint32_t accumulator = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int sextet = 0;
      if (k < used) {
        sextet = SextetOf(text[group + k]);
        if (sextet < 0) return false;
      }
      accumulator = (accumulator << 6) | static_cast<uint32_t>(sextet);
    }
    const std::size_t count = used - 1;
    if (count < 3 && (accumulator & ((1u << (8 * (3 - count))) - 1)) != 0) return false;
    for (std::size_t k = 0; k < count; ++k) {
      bytes.push_back(static_cast<char>((accumulator >> (16 - 8 * k)) & 0xFF));
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<char> input(reinterpret_cast<const char*>(data),
                                reinterpret_cast<const char*>(data) + size);
  const std::string text = TalvornCommon::StringUtils::CharVectorToBase64(input);

  FUZZ_CHECK(text.size() == 4 * ((size + 2) / 3));
  const std::size_t padding = (3 - size % 3) % 3;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i + padding >= text.size()) {
      FUZZ_CHECK(text[i] == '=');
    } else {
      FUZZ_CHECK(SextetOf(text[i]) >= 0);
    }
  }
  std::vector<char> decoded;
  FUZZ_CHECK(Decode(text, padding, decoded));
  FUZZ_CHECK(decoded == input);
  FUZZ_CHECK(TalvornCommon::StringUtils::GetBase64Chars() == kAlphabet);
  return 0;
}
