// The spin loop behind both locks, driven with counting steps in place of a
// real lock so that every count is exact and nothing depends on timing.
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "talvorncommon/detail/SpinThenBlock.h"

namespace TalvornCommon::detail {
namespace {

// Which try succeeds, then what the spin does: tries, hints, yields and blocks.
struct SpinCase {
  int succeedingTry;  // -1: none does
  int tries, hints, yields, blocks;
};

TEST(SpinThenBlockTest, CountsTriesHintsYieldsAndBlocks) {
  const SpinCase cases[] = {
      {0, 1, 0, 0, 0},            // uncontended: one try, nothing else
      {1, 2, 1, 0, 0},            // freed right after the first try
      {64, 65, 64, 0, 0},         // success on try 64 comes before its yield
      {65, 66, 65, 1, 0},         // the yield after try 64 happened
      {1023, 1024, 1023, 15, 0},  // the last try of the spin succeeds
      {-1, 1024, 1024, 15, 1},    // always busy: full spin, then block once
  };
  for (const SpinCase& c : cases) {
    SpinCase seen{};
    // The block step fails as a refused blocking lock does; it counts only if
    // the failure reaches the caller.
    try {
      SpinThenBlock([&] { return seen.tries++ == c.succeedingTry; }, [&] { ++seen.hints; },
                    [&] { ++seen.yields; }, [] { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error&) {
      ++seen.blocks;
    }
    EXPECT_EQ(std::tie(seen.tries, seen.hints, seen.yields, seen.blocks),
              std::tie(c.tries, c.hints, c.yields, c.blocks))
        << "success on try " << c.succeedingTry;
  }
}

}  // namespace
}  // namespace TalvornCommon::detail
