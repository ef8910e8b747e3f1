// PathWatcher's rules about time, on a clock of the test's own: each step
// happens some milliseconds after the start, and what the watch thread would
// do then (report, and sleep until when) is checked without sleeping.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

#include "talvorncommon/detail/Burst.h"

namespace TalvornCommon::detail {
namespace {

using namespace std::chrono_literals;
using End = Burst::End;

// What happens at a step, as the watch thread tells it.
enum class Input {
  kWake,         // nothing: the thread wakes at its deadline
  kWrite,        // the file is written: its writer holds it open
  kClose,        // the writer closes the file
  kName,         // a name on the way comes or goes, and the way is resolved at once
  kWriterGone,   // the written file's name is moved away
  kOverflow,     // the kernel's queue overflows
  kLookChanged,  // a look at a way the kernel does not report finds a change
  kLookSame,     // such a look finds nothing changed
};
using enum Input;

struct Step {
  int at;  // ms after the start
  Input input = kWake;
  bool queued = false;  // records are still in the kernel's queue
  // When the thread wakes next, in ms; none: at the next event.
  std::optional<int> deadline = std::nullopt;
  std::optional<End> end = std::nullopt;  // what the burst ended with, if it did
};

struct BurstCase {
  const char* what;
  std::chrono::milliseconds quiet = 20ms;
  bool recheck = false;  // every resolution finds a problem that no event may end
  std::vector<Step> steps;
};

TEST(BurstTest, EndsAfterQuietOrLongestAndRechecksOnTime) {
  const BurstCase cases[] = {
      {.what = "an overflow ends after the quiet period, and the next burst does not carry it",
       .steps = {{.at = 0, .input = kOverflow, .deadline = 20},
                 {.at = 19, .deadline = 20},
                 {.at = 20, .end = End{.resolve = true, .content = true, .overflow = true}},
                 {.at = 40, .input = kClose, .deadline = 60},
                 {.at = 60, .end = End{.content = true}}}},
      {.what = "queued records hold the end; a negative quiet period is none",
       .quiet = -5ms,
       .steps = {{.at = 0, .input = kName, .queued = true, .deadline = 0},
                 {.at = 0, .end = End{.resolve = true, .content = true}},
                 {.at = 10, .input = kClose, .end = End{.content = true}}}},
      {.what = "an open writer holds the end kWriterQuietPeriod, that burst only",
       .steps = {{.at = 0, .input = kWrite, .deadline = 1000},
                 {.at = 999, .deadline = 1000},
                 {.at = 1000, .end = End{.content = true}},
                 {.at = 1100, .input = kName, .deadline = 1120}}},
      {.what = "the writer's close ends after the quiet period",
       .steps = {{.at = 0, .input = kWrite, .deadline = 1000},
                 {.at = 300, .input = kClose, .deadline = 320},
                 {.at = 320, .end = End{.content = true}}}},
      {.what = "the written name moved away ends after the quiet period",
       .steps = {{.at = 0, .input = kWrite, .deadline = 1000},
                 {.at = 300, .input = kWriterGone, .deadline = 320},
                 {.at = 320, .end = End{.resolve = true, .content = true}}}},
      {.what = "kLongestBurst ends a writer that never pauses long enough",
       .quiet = 3000ms,
       .steps = {{.at = 0, .input = kWrite, .deadline = 3000},
                 {.at = 2999, .input = kWrite, .deadline = 5000},
                 {.at = 5000, .end = End{.content = true}}}},
      {.what = "a huge quiet period is kLongestBurst",
       .quiet = std::chrono::milliseconds::max(),
       .steps = {{.at = 0, .input = kName, .deadline = 5000},
                 {.at = 4999, .deadline = 5000},
                 {.at = 5000, .end = End{.resolve = true, .content = true}}}},
      {.what = "a problem is checked again every kRecheckPeriod",
       .recheck = true,
       .steps = {{.at = 1999, .deadline = 2000},
                 {.at = 2000, .deadline = 4000, .end = End{.resolve = true}}}},
      {.what = "a recheck due at the end of a burst of writes resolves the way",
       .recheck = true,
       .steps = {{.at = 1990, .input = kWrite, .deadline = 2990},
                 {.at = 2990, .deadline = 4990, .end = End{.resolve = true, .content = true}}}},
      {.what = "a look that found a change holds the end until a look finds none",
       .steps = {{.at = 0, .input = kLookChanged, .deadline = 5000},
                 {.at = 500, .deadline = 5000},
                 {.at = 1000, .input = kLookChanged, .deadline = 5000},
                 {.at = 2000, .input = kLookSame, .end = End{.content = true}},
                 {.at = 3000, .input = kLookSame}}},
      {.what = "kLongestBurst ends a remote writer that never settles",
       .steps = {{.at = 0, .input = kLookChanged, .deadline = 5000},
                 {.at = 5000, .end = End{.content = true}}}},
  };
  // Far from the clock's zero, which an unset time would read as.
  const Burst::Time start = Burst::Time() + 1h;
  for (const BurstCase& c : cases) {
    SCOPED_TRACE(c.what);
    Burst burst(c.quiet, start, c.recheck);
    for (const Step& step : c.steps) {
      SCOPED_TRACE(testing::Message() << "at " << step.at << " ms");
      const Burst::Time now = start + std::chrono::milliseconds(step.at);
      if (step.input == kLookChanged || step.input == kLookSame) {
        burst.Looked(now, step.input == kLookChanged);
      } else if (step.input != kWake) {
        burst.Hear(now, {.content = true,
                         .overflow = step.input == kOverflow,
                         .writing = step.input == kWrite   ? std::optional(true)
                                    : step.input == kClose ? std::optional(false)
                                                           : std::nullopt});
      }
      if (step.input == kName || step.input == kWriterGone || step.input == kOverflow)
        burst.Resolved(c.recheck, step.input == kWriterGone);
      const std::optional<End> end = burst.Due(now, step.queued);
      if (end && end->resolve) burst.Settled(now, c.recheck);
      EXPECT_EQ(end, step.end);
      std::optional<int> deadline;
      if (const auto wake = burst.Deadline()) deadline = static_cast<int>((*wake - start) / 1ms);
      EXPECT_EQ(deadline, step.deadline);
    }
  }
}

// A burst's end calls back when the path leads elsewhere, when the file's
// content may have changed, and after an overflow; the same problem twice is
// told once.
TEST(BurstTest, EndCallsForAnotherTargetNewContentOrAnOverflow) {
  struct CallCase {
    const char* what;
    End end{};
    bool changed = false, otherFile = false, hasFile = false;
    bool calls;
  };
  const CallCase cases[] = {
      {.what = "a write", .end = {.content = true}, .hasFile = true, .calls = true},
      {.what = "a chmod", .end = {.resolve = true}, .hasFile = true, .calls = false},
      {.what = "another inode", .otherFile = true, .hasFile = true, .calls = true},
      {.what = "another target", .changed = true, .calls = true},
      {.what = "the same problem", .end = {.resolve = true, .content = true}, .calls = false},
      {.what = "an overflow", .end = {.overflow = true}, .calls = true},
  };
  for (const CallCase& c : cases)
    EXPECT_EQ(c.end.Calls(c.changed, c.otherFile, c.hasFile), c.calls) << c.what;
}

}  // namespace
}  // namespace TalvornCommon::detail
