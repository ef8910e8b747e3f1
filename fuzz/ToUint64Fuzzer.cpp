// ToUint64 against std::from_chars under the whole-string rule: the number only
// when from_chars succeeds and consumes every byte, the default otherwise.
// Each input is tried as given and once more with every byte turned into a
// digit, so the long-number and overflow paths are reached constantly.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "FuzzCheck.h"
#include "talvorncommon/StringUtils.h"

namespace {

// Two unrelated defaults: a result that equals the default by accident with
// one of them cannot with both.
constexpr uint64_t kDefaultA = 0x0123456789ABCDEFu;
constexpr uint64_t kDefaultB = 18446744073709551615u;

void Check(const std::string& value) {
  uint64_t parsed = 0;
  const char* const end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, parsed);
  const bool valid = !value.empty() && error == std::errc() && stop == end;
  using TalvornCommon::StringUtils::ToUint64;
  FUZZ_CHECK(ToUint64(value, kDefaultA) == (valid ? parsed : kDefaultA));
  FUZZ_CHECK(ToUint64(value, kDefaultB) == (valid ? parsed : kDefaultB));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string value(reinterpret_cast<const char*>(data), size);
  Check(value);
  for (char& c : value) c = static_cast<char>('0' + static_cast<unsigned char>(c) % 10);
  Check(value);
  return 0;
}
