// PathWatcher in children made by fork at any moment. Built, with the library,
// without sanitizers: GCC 12's AddressSanitizer has no handlers for fork, so a
// child forked while another thread allocates may wait for ever on a lock of
// the sanitizer's allocator (2 to 5 children of 1,000 did, in its
// SizeClassAllocator64), and ThreadSanitizer cannot follow the child of a
// process with threads. glibc's malloc takes its locks around a fork, so what
// hangs here is the library's.
#include <sys/wait.h>

#include <csignal>

#include "WatcherTest.h"
#include "talvorncommon/PathWatcher.h"

namespace TalvornCommon {
namespace {

using namespace testing;  // WatcherTest, WaitUntil, WriteFileBytes, InotifyInstances
using namespace std::chrono_literals;

class PathWatcherForkTest : public WatcherTest {};

// Children forked while other threads start and stop watchers and log their
// lines to a sink each stop their copy of a started watcher, which leaves the
// parent's watch alone, and start their copy of one of the others, which calls
// them for a write of theirs: whatever lock a thread of the parent held at the
// fork (a watcher's start/stop lock, spdlog's), none hangs.
TEST_F(PathWatcherForkTest, ChildrenForkedAtAnyMomentWatchOnTheirOwn) {
  constexpr int kChildren = 400;
  CaptureLog();
  PathWatcher steady(dir_.Join("s"), 0ms);
  ASSERT_TRUE(
      steady.Start([this](const PathWatcher::Change& change) { Note(change.file); }, error_));
  std::vector<std::unique_ptr<PathWatcher>> churned;
  std::vector<std::thread> churners;
  std::atomic<bool> done{false};
  for (int i = 0; i < 2; ++i) {
    churned.push_back(std::make_unique<PathWatcher>(dir_.Join(std::to_string(i)), 0ms));
    churners.emplace_back([&done, &watcher = *churned.back()] {
      std::string error;
      while (!done)
        if (watcher.Start([](const PathWatcher::Change&) {}, error)) watcher.Stop(error);
    });
  }
  std::string failed;  // the first child that hung or failed, and how
  for (int n = 0; n < kChildren && failed.empty(); ++n) {
    const pid_t child = ::fork();
    if (child == 0) {
      std::atomic<bool> called{false};
      PathWatcher& copy = *churned[n % 2];
      // Not used in the child yet: as if never started, whatever the parent's was.
      if (steady.IsWatching() || copy.Current() != PathWatcher::Change{}) ::_exit(1);
      // Its copies of the parent's inotify instances were closed at the fork.
      if (!steady.Stop(error_) || !InotifyInstances().empty()) ::_exit(2);
      if (!copy.Start([&](const PathWatcher::Change&) { called = true; }, error_)) ::_exit(3);
      WriteFileBytes(dir_.Join(std::to_string(n % 2)), std::to_string(n));
      ::_exit(!WaitUntil([&] { return called.load(); }) ? 4 : copy.Stop(error_) ? 0 : 5);
    }
    int status = -1;
    // Longer than the child's own wait for its call.
    const bool ended = WaitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 30s);
    if (!ended) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      failed = "child " + std::to_string(n) + " hangs";
    } else if (status != 0) {  // which step failed
      failed = "child " + std::to_string(n) + " ends with status " + std::to_string(status);
    }
  }
  done = true;
  for (std::thread& churner : churners) churner.join();
  EXPECT_EQ(failed, "");
  EXPECT_THAT(Logged(), ::testing::HasSubstr("Stopped a PathWatcher on '" + dir_.Join("1")));
  WriteFileBytes(dir_.Join("s"), "from the parent");
  EXPECT_EQ(WaitForCalls(1), Calls{dir_.Join("s")});
  EXPECT_TRUE(steady.IsWatching());
}

}  // namespace
}  // namespace TalvornCommon
