// Looks at places on a user-space file system that are changed behind its
// daemon's back, where inotify hears nothing, and at a daemon that hangs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "FuseMount.h"
#include "TestSupport.h"
#include "talvorncommon/detail/Looks.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon {
namespace {

using detail::LookPace;
using detail::LookPlace;
using detail::Looks;
using Kind = LookPlace::Kind;
using std::chrono::milliseconds;
using namespace testing;  // WaitUntil, the counts, TempDir and FuseMount
using ::testing::MatchesRegex;

// The look thread sleeps, in SYS_futex.
bool LookThreadSleeps() {
  const auto calls = SystemCallsOf("PathWatcherLook");
  return calls.size() == 1 && calls.begin()->second.starts_with(std::to_string(SYS_futex) + " ");
}

TEST(LookPaceTest, LooksComeEachPeriodAndEachSettleWhileAChangeGoesOn) {
  struct Row {
    const char* what;
    int lookEndsAt;  // ms
    bool changed;
    std::optional<bool> told;
    int nextAt;
  };
  const Row rows[] = {
      {"a quiet look tells nothing", 1000, false, std::nullopt, 2000},
      {"a change is told at once", 2000, true, true, 2200},
      {"a change going on is told again", 2200, true, true, 2400},
      {"the first quiet look after it tells it settled", 2400, false, false, 3400},
      {"then quiet looks tell nothing", 3400, false, std::nullopt, 4400},
      {"a late look counts from its own end", 4900, true, true, 5100},
  };
  const auto at = [](int ms) { return LookPace::Clock::time_point(milliseconds(ms)); };
  LookPace pace(milliseconds(1000), milliseconds(200), at(0));
  EXPECT_EQ(pace.Next(), at(1000));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(pace.Looked(at(row.lookEndsAt), row.changed), row.told);
    EXPECT_EQ(pace.Next(), at(row.nextAt));
  }
}

// The thread is made at Start, where a failure to make it leaves none, and
// Stop wakes it at once from a sleep of an hour.
TEST(LooksThreadTest, MadeAtStartAndWokenByStop) {
  const int threads = ThreadsAtRest();
  Looks looks(std::chrono::hours(1), std::chrono::hours(1));
  std::string reason;
  detail::SetWatchThreadHook([] { throw std::system_error(EAGAIN, std::generic_category()); });
  EXPECT_FALSE(looks.Start(reason));
  detail::SetWatchThreadHook(nullptr);
  EXPECT_EQ(reason, "look thread creation failed: Resource temporarily unavailable");
  EXPECT_EQ(CountThreads(), threads);
  ASSERT_TRUE(looks.Start(reason));
  ASSERT_TRUE(WaitUntil(LookThreadSleeps));
  EXPECT_TRUE(looks.Stop(Looks::Clock::now() + std::chrono::seconds(10)));
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threads; }));
}

// Changes are made in the backing folder, as another machine would make them;
// the looks see the mount. Each test ends with no thread or descriptor left.
class LooksTest : public ::testing::Test {
 protected:
  // Notes what it is told: "f" for Looked(true, true), "c" for Looked(true,
  // false), "s" for Looked(false, false).
  struct Client : detail::LookClient {
    explicit Client(LooksTest& owner) : test(owner) {}
    // Also when a failed check ends the test early: the thread must not call it.
    ~Client() override { test.looks_.Leave(this); }
    void Looked(bool changed, bool fileChanged) override {
      {
        std::lock_guard<std::mutex> lock(test.mutex_);
        told += !changed ? 's' : fileChanged ? 'f' : 'c';
      }
      if (!slow) return;
      calling = true;  // time for a Leave to come while it runs
      std::this_thread::sleep_for(milliseconds(100));
      calling = false;
    }
    // What was told up to the next Looked(false, false); cleared for the next run.
    std::string NextRun() {
      std::string run;
      WaitUntil([&] {
        std::lock_guard<std::mutex> lock(test.mutex_);
        if (!told.ends_with('s')) return false;
        run = std::exchange(told, "");
        return true;
      });
      return run;
    }
    std::string Told() {
      std::lock_guard<std::mutex> lock(test.mutex_);
      return told;
    }
    LooksTest& test;
    std::string told;  // under mutex_
    std::atomic<bool> slow{false}, calling{false};
  };

  void SetUp() override {
    if (!mount_.IsMounted()) GTEST_SKIP() << mount_.SkipReason();
    ASSERT_TRUE(looks_.Start(error_)) << error_;
  }
  void TearDown() override {
    EXPECT_TRUE(looks_.Stop(Looks::Clock::now() + Looks::kStopWait));
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threads_ && CountOpenFds() == fds_; }));
  }
  LookPlace On(Kind kind, const std::string& name) { return {kind, mountFolder_.Join(name)}; }
  void Shell(const std::string& script) {
    ASSERT_EQ(std::system(("cd '" + backing_.path().string() + "' && " + script).c_str()), 0);
  }
  // TSan starts a helper thread along with the first thread: counted too.
  const int threads_ = ThreadsAtRest();
  const int fds_ = CountOpenFds();
  TempDir backing_;
  TempDir mountFolder_;
  FuseMount mount_{backing_.path(), mountFolder_.path()};  // before the look thread
  std::mutex mutex_;
  std::string error_;
  Looks looks_{milliseconds(50), milliseconds(20)};
};

// Two clients in one folder: nothing is told while nothing changes, nor by the
// first sight of their places; then what a look finds of a place goes to each
// client that holds it, and to no other, the file's change told apart from a
// name come beside it; a client that leaves is told nothing more, while the
// other goes on; a Leave waits for a call that runs.
TEST_F(LooksTest, WhatALookFindsGoesToTheClientsThatHoldThePlace) {
  Shell("echo a > a && echo b > b");
  Client first(*this), second(*this);
  looks_.Watch(&first, {On(Kind::kFolder, "."), On(Kind::kFile, "a")});
  looks_.Watch(&second, {On(Kind::kFolder, "."), On(Kind::kFile, "b")});
  looks_.SightNew(&first);
  looks_.SightNew(&second);
  std::this_thread::sleep_for(milliseconds(200));  // four looks, each of which could tell
  EXPECT_EQ(first.Told() + second.Told(), "");
  Shell("echo a2 >> a");
  EXPECT_THAT(first.NextRun(), MatchesRegex("f+s"));
  Shell("echo c > c");
  EXPECT_THAT(first.NextRun(), MatchesRegex("c+s"));
  EXPECT_THAT(second.NextRun(), MatchesRegex("c+s"));
  EXPECT_FALSE(looks_.Leave(&first));
  Shell("echo a3 >> a && echo b2 >> b");
  EXPECT_THAT(second.NextRun(), MatchesRegex("f+s"));
  EXPECT_EQ(first.Told(), "");
  Shell("rm b");
  EXPECT_THAT(second.NextRun(), MatchesRegex("f[cf]*s"));
  // A look after one that failed opens the file: a fifo in its place never holds it.
  Shell("mkfifo b");
  EXPECT_THAT(second.NextRun(), MatchesRegex("f[cf]*s"));
  second.slow = true;
  Shell("rm b && echo b3 > b");
  ASSERT_TRUE(WaitUntil([&] { return second.calling.load(); }));
  EXPECT_TRUE(looks_.Leave(&second));
  EXPECT_FALSE(second.calling);
}

}  // namespace
}  // namespace TalvornCommon
