// The spin loop behind both locks, driven with counting steps in place of a
// real lock so that every count is exact and nothing depends on timing.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

#include "talvorncommon/detail/SpinThenBlock.h"

namespace TalvornCommon::detail {
namespace {

TEST(SpinThenBlockTest, CountsTriesHintsYieldsAndBlocks) {
  // The number of the try that succeeds (-1: none does), then the tries, hints,
  // yields and blocks that the spin makes.
  const std::array<int, 5> cases[] = {
      {0, 1, 0, 0, 0},            // uncontended: one try, nothing else
      {1, 2, 1, 0, 0},            // freed right after the first try
      {64, 65, 64, 0, 0},         // success on try 64 comes before its yield
      {65, 66, 65, 1, 0},         // the yield after try 64 happened
      {1023, 1024, 1023, 15, 0},  // the last try of the spin succeeds
      {-1, 1024, 1024, 15, 1},    // always busy: full spin, then block once
  };
  for (const std::array<int, 5>& expected : cases) {
    std::array<int, 5> counts{expected[0]};
    // The block step fails as a refused blocking lock does; it counts only if
    // the failure reaches the caller.
    try {
      SpinThenBlock([&] { return counts[1]++ == counts[0]; }, [&] { ++counts[2]; },
                    [&] { ++counts[3]; }, [] { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error&) {
      ++counts[4];
    }
    EXPECT_EQ(counts, expected);
  }
}

}  // namespace
}  // namespace TalvornCommon::detail
