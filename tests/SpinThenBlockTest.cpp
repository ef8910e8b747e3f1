#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "talvorncommon/detail/SpinThenBlock.h"

namespace TalvornCommon::detail {
namespace {

// Drives the spin with counting steps. `succeed_at` is the number of the try
// that succeeds (-1: none does).
struct SpinTrace {
  int tries = 0;
  int hints = 0;
  int yields = 0;
  int blocks = 0;
  std::vector<int> yielded_after_try;  // number of the failed try before each yield
  std::string events;                  // T try, H hint, Y yield, B block
};

SpinTrace RunSpin(int succeed_at) {
  SpinTrace trace;
  SpinThenBlock(
      [&] {
        trace.events += 'T';
        return trace.tries++ == succeed_at;
      },
      [&] {
        trace.events += 'H';
        ++trace.hints;
      },
      [&] {
        trace.events += 'Y';
        trace.yielded_after_try.push_back(trace.tries - 1);
        ++trace.yields;
      },
      [&] {
        trace.events += 'B';
        ++trace.blocks;
      });
  return trace;
}

TEST(SpinThenBlockTest, CountsStepsForEveryOutcome) {
  struct Case {
    int succeed_at;
    int tries, hints, yields, blocks;
  };
  const Case cases[] = {
      {0, 1, 0, 0, 0},            // uncontended: one try, nothing else
      {1, 2, 1, 0, 0},            // freed right after the first try
      {64, 65, 64, 0, 0},         // success on try 64 comes before its yield
      {65, 66, 65, 1, 0},         // the yield after try 64 happened
      {1023, 1024, 1023, 15, 0},  // the last try of the spin succeeds
      {-1, 1024, 1024, 15, 1},    // always busy: full spin, then block once
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("succeed_at=" + std::to_string(c.succeed_at));
    const SpinTrace trace = RunSpin(c.succeed_at);
    EXPECT_EQ(trace.tries, c.tries);
    EXPECT_EQ(trace.hints, c.hints);
    EXPECT_EQ(trace.yields, c.yields);
    EXPECT_EQ(trace.blocks, c.blocks);
  }
}

TEST(SpinThenBlockTest, YieldsAfterEveryNonZeroMultipleOf64) {
  const SpinTrace trace = RunSpin(-1);
  std::vector<int> expected;
  for (int k = 64; k <= 960; k += 64) expected.push_back(k);
  EXPECT_EQ(trace.yielded_after_try, expected);
}

TEST(SpinThenBlockTest, StepsComeInOrderHintYieldThenNextTry) {
  const std::string events = RunSpin(-1).events;
  // Try 0 is followed by a hint only; the final hint directly precedes the block.
  EXPECT_EQ(events.substr(0, 4), "THTH");
  EXPECT_EQ(events.substr(events.size() - 3), "THB");
  // Around try 64: its hint, then the yield, then try 65.
  std::string expected_prefix;
  for (int k = 0; k < 64; ++k) expected_prefix += "TH";
  expected_prefix += "THYT";
  EXPECT_EQ(events.substr(0, expected_prefix.size()), expected_prefix);
}

TEST(SpinThenBlockTest, BlockFailurePropagates) {
  int tries = 0;
  EXPECT_THROW(SpinThenBlock([&] { return ++tries < 0; }, [] {}, [] {},
                             [] { throw std::runtime_error("refused"); }),
               std::runtime_error);
  EXPECT_EQ(tries, kSpinLimit);
}

}  // namespace
}  // namespace TalvornCommon::detail
