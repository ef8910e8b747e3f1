// PathWatcher's rules about time, on a clock of the test's own: each row tells
// what happens on the way and when, the test plays the watch thread (telling
// the burst, then sleeping until its deadline) without sleeping, and checks
// when each burst ended and with what.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "talvorncommon/detail/Burst.h"

namespace TalvornCommon::detail {
namespace {

using namespace std::chrono_literals;
using End = Burst::End;

// What happens, as the watch thread tells it. kWake: nothing, the thread wakes
// for another watcher. kWrite: the file is written, its writer holds it open;
// kClose: the writer closes it. kName: a name on the way comes or goes, and the
// way is resolved at once; kWriterGone: the written file's name is moved away.
// kOverflow: the kernel's queue overflows. kLook, kAside, kSame: a look at a
// way the kernel does not report finds the file changed, a name beside it, or
// nothing changed.
enum class Input { kWake, kWrite, kClose, kName, kWriterGone, kOverflow, kLook, kAside, kSame };
using enum Input;

struct Event {
  int at;  // ms after the start
  Input input;
  bool queued = false;  // more records are still in the kernel's queue
};
using Events = std::vector<Event>;
struct Watch {
  std::chrono::milliseconds quiet = 20ms;
  bool recheck = false;  // every resolution finds a problem that no event may end
};

struct BurstCase {
  const char* what;
  Events events;
  const char* ends;  // when each burst ended, in ms, and with what
  Watch watch = {};
};

TEST(BurstTest, EndsAfterQuietOrLongestAndRechecksOnTime) {
  const BurstCase cases[] = {
      {"an overflow ends after the quiet period, and the next burst does not carry it",
       Events{{0, kOverflow}, {19, kWake}, {40, kClose}},
       "20: resolve content overflow, 60: content"},
      {"queued records hold the end; a negative quiet period is none",
       Events{{.at = 0, .input = kName, .queued = true}, {0, kClose}}, "0: resolve content",
       Watch{.quiet = -5ms}},
      {"an open writer holds the end kWriterQuietPeriod, that burst only",
       Events{{0, kWrite}, {999, kWake}, {1100, kName}}, "1000: content, 1120: resolve content"},
      {"the writer's close, or its name moved away, ends after the quiet period",
       Events{{0, kWrite}, {300, kClose}, {400, kWrite}, {700, kWriterGone}},
       "320: content, 720: resolve content"},
      // A quiet period longer than kLongestBurst is cut to it, yet still
      // outlasts kWriterQuietPeriod.
      {"kLongestBurst ends a writer that never pauses long enough, whatever the quiet period",
       Events{{0, kWrite}, {2999, kWrite}, {4999, kWake}}, "5000: content",
       Watch{.quiet = std::chrono::milliseconds::max()}},
      {"a problem is checked again every kRecheckPeriod", Events{{1999, kWake}},
       "2000: resolve, 4000: resolve, 6000: resolve", Watch{.recheck = true}},
      {"a recheck due at the end of a burst of writes resolves the way", Events{{1990, kWrite}},
       "2990: resolve content, 4990: resolve, 6990: resolve", Watch{.recheck = true}},
      // A remote writer is read once a look finds it done, or after kLongestBurst.
      {"a look that found a change holds the end until a look finds none",
       Events{{0, kLook}, {1000, kLook}, {2000, kSame}, {3000, kLook}},
       "2000: content, 8000: content"},
      {"a name changed beside the file is no change of its content",
       Events{{0, kAside}, {200, kSame}}, "200:"},
  };
  // Far from the clock's zero, which an unset time would read as.
  const Burst::Time start = Burst::Time() + 1h;
  const auto ms = [&](Burst::Time time) { return static_cast<int>((time - start) / 1ms); };
  for (const BurstCase& c : cases) {
    SCOPED_TRACE(c.what);
    Burst burst(c.watch.quiet, start, c.watch.recheck);
    std::string ends;
    const auto due = [&](Burst::Time now, bool queued) {
      const std::optional<End> end = burst.Due(now, queued);
      if (!end) return false;
      if (end->resolve) burst.Settled(now, c.watch.recheck);
      ends += (ends.empty() ? "" : ", ") + std::to_string(ms(now)) + ":" +
              (end->resolve ? " resolve" : "") + (end->content ? " content" : "") +
              (end->overflow ? " overflow" : "");
      return true;
    };
    // The thread sleeps until each deadline up to `until`, and must find an end
    // there; the length stops a deadline that never moves.
    const auto sleepUntil = [&](int until) {
      for (auto wake = burst.Deadline(); wake && ms(*wake) <= until && ends.size() < 1000;
           wake = burst.Deadline())
        ASSERT_TRUE(due(*wake, false)) << "woke for nothing at " << ms(*wake) << " ms";
    };
    for (const auto& [at, in, queued] : c.events) {
      sleepUntil(at - 1);  // an event is read before a deadline due at the same moment
      const Burst::Time now = start + std::chrono::milliseconds(at);
      if (in >= kLook) burst.Looked(now, in != kSame, in == kLook);
      if (in == kWrite || in == kClose) burst.Hear(now, {.content = true, .writing = in == kWrite});
      if (in == kName || in == kWriterGone || in == kOverflow) {
        burst.Hear(now, {.content = true, .overflow = in == kOverflow});
        burst.Resolved(c.watch.recheck, in == kWriterGone);
      }
      due(now, queued);
    }
    // kLongestBurst after the last event every burst has ended: the thread then
    // sleeps until the next event, or the next recheck.
    sleepUntil(c.events.back().at + static_cast<int>(Burst::kLongestBurst / 1ms));
    EXPECT_EQ(ends, c.ends);
    EXPECT_EQ(burst.Deadline().has_value(), c.watch.recheck);
  }
}

}  // namespace
}  // namespace TalvornCommon::detail
