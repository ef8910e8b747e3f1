// FileWatcher against real file operations in a fresh directory per test, with
// the process's descriptors and threads counted before and after.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "TestSupport.h"
#include "talvorncommon/FileWatcher.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon {
namespace {

using namespace testing;
using EventType = FileWatcher::EventType;
using Token = std::shared_ptr<FileWatcher::OnFileChangedHandler>;
using Calls = std::vector<std::string>;

class FileWatcherTest : public ::testing::Test {
 protected:
  // A callback that records "<who><event>".
  FileWatcher::OnFileChangedHandler Record(const std::string& who = "") {
    return [this, who](EventType type) {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(who + FileWatcher::ToString(type));
    };
  }
  // The calls recorded so far, once there are `count` of them (or 10 s passed).
  Calls Recorded(std::size_t count = 0) {
    Calls calls;
    WaitUntil([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      return (calls = calls_).size() >= count;
    });
    return calls;
  }
  void ExpectBaseline() {
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threads_ && CountOpenFds() == fds_; }));
  }

  TempDir dir_;
  const std::string path_ = dir_.Join("w");
  std::mutex mutex_;
  Calls calls_;
  std::vector<Token> tokens_ = std::vector<Token>(7);
  std::string error_;
  // TSan starts a helper thread along with the first thread: count it too.
  const int threads_ = (std::thread([] {}).join(), CountThreads());
  const int fds_ = CountOpenFds();
};

// Each step runs in a shell in the watched directory; the calls of all steps
// arrive in order. Moves away from the name and other names are not reported.
TEST_F(FileWatcherTest, ChangesToTheNameAreReportedAndOthersAreNot) {
  const std::pair<const char*, Calls> steps[] = {
      {"touch w; echo x >> w; rm w; touch w", {"Created", "Modified", "Deleted", "Created"}},
      {"echo x > w.tmp; mv w.tmp w; mv w w.old", {"Renamed"}},  // an editor's save, a move away
      // Another case, other names; once the last touch is reported, all before it was read.
      {"touch W xw; echo x >> W; mv xw w.bak; rm W w.bak; touch w", {"Created"}},
  };
  FileWatcher watcher(path_);
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(Record(), tokens_[0], error_));
  ASSERT_TRUE(watcher.Start(error_)) << error_;
  EXPECT_FALSE(watcher.Start(error_));
  EXPECT_EQ(error_, "A FileWatcher on '" + path_ + "' has already been started; start aborted!");
  EXPECT_EQ(std::system("! ls -l /proc/self/fd | grep -q inotify"), 0);  // not inherited on exec
  Calls expected;
  for (const auto& [script, calls] : steps) {
    ASSERT_EQ(std::system(("cd " + dir_.path().string() + " && " + script).c_str()), 0);
    expected.insert(expected.end(), calls.begin(), calls.end());
  }
  EXPECT_EQ(Recorded(expected.size()), expected);
}

// No descriptor left makes inotify_init1 fail for real; thread creation
// cannot be made to fail for real, so the hook throws where std::thread would.
TEST_F(FileWatcherTest, FailedStartNamesThePathAndLeavesNothingOpen) {
  const std::tuple<std::string, bool, detail::WatchThreadHook, std::string> cases[] = {
      {dir_.Join("{}/w"), false, nullptr, "inotify_add_watch failed!"},
      {path_, true, nullptr, "inotify_init1 failed!"},
      {path_, false, [] { throw std::system_error(EAGAIN, std::generic_category()); },
       "watch thread creation failed: Resource temporarily unavailable"},
      // The kernel would read the path only up to the NUL and watch another directory.
      {dir_.path().string() + std::string("\0/sub/w", 7), false, nullptr,
       "the path contains a NUL character"},
  };
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  for (const auto& [path, noFiles, hook, reason] : cases) {
    SCOPED_TRACE(reason);
    FileWatcher watcher(path);
    const rlimit lowered{noFiles ? 0 : saved.rlim_cur, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    detail::SetWatchThreadHook(hook);
    EXPECT_FALSE(watcher.Start(error_));
    detail::SetWatchThreadHook(nullptr);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(error_,
              "Encountered an error while starting a FileWatcher on '" + path + "': " + reason);
    ExpectBaseline();
  }
}

// The first callback runs on the thread "FileWatcher", cannot stop its own
// watcher there, and blocks. A Stop on another thread returns only after it;
// meanwhile a second Stop fails and a Start opens a new watch, which the first
// Stop leaves running.
TEST_F(FileWatcherTest, StopWaitsForTheRunningCallbackAndAStartMeanwhileKeepsItsWatch) {
  auto watcher = std::make_unique<FileWatcher>(path_);
  std::promise<void> release;
  ASSERT_TRUE(watcher->SubscribeOnFileChanged(
      [&, released = release.get_future().share()](EventType type) {
        EXPECT_FALSE(watcher->Stop(error_));
        Record(ReadFileBytes("/proc/thread-self/comm"))(type);  // under its thread's name
        static_cast<void>(released.wait_for(std::chrono::seconds(30)));
      },
      tokens_[0], error_));
  ASSERT_TRUE(watcher->SubscribeOnFileChanged(Record(), tokens_[1], error_));
  ASSERT_TRUE(watcher->Start(error_)) << error_;
  ASSERT_EQ(std::system(("touch " + path_).c_str()), 0);
  ASSERT_EQ(Recorded(1), Calls{"FileWatcher\nCreated"});
  EXPECT_EQ(error_, "A FileWatcher on '" + path_ +
                        "' cannot be stopped from its own OnFileChanged event handler; stop "
                        "aborted!");
  std::future<bool> stopping = std::async(std::launch::async, [&] {
    std::string stopError;
    return watcher->Stop(stopError) && Recorded().size() == 2;
  });
  ASSERT_TRUE(WaitUntil([&] { return !watcher->IsWatching(); }));
  // The thread may still read the instance: it is closed only after the join.
  EXPECT_FALSE(WaitUntil([&] { return CountOpenFds() == fds_; }, std::chrono::milliseconds(100)));
  EXPECT_FALSE(watcher->Stop(error_));
  EXPECT_EQ(error_, "A FileWatcher on '" + path_ + "' has not been started yet; stop aborted!");
  ASSERT_TRUE(watcher->Start(error_)) << error_;
  release.set_value();
  const bool returned = stopping.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (!returned) static_cast<void>(watcher->Stop(error_));  // frees a Stop stuck on the old thread
  EXPECT_TRUE(returned && stopping.get());
  ASSERT_EQ(std::system(("echo x >> " + path_).c_str()), 0);
  EXPECT_EQ(Recorded(4).back(), "Modified");  // reported by the new watch
  ASSERT_TRUE(watcher->Stop(error_)) << error_;
  ExpectBaseline();
}

// While the owner destroys or assigns to the watcher, the handle still leads to
// the old record: a running callback's calls act on it, and its Start is
// refused, so nothing of the watch outlives the record.
TEST_F(FileWatcherTest, OwnCallbackCallsItsWatcherWhileTheOwnerDestroysOrAssignsIt) {
  for (const bool assign : {false, true}) {
    SCOPED_TRACE(assign ? "assign" : "delete");
    // Not a unique_ptr: its reset() empties it before the destructor runs.
    auto* watcher = new FileWatcher(path_);
    std::atomic<int> calls{0};
    ASSERT_TRUE(watcher->SubscribeOnFileChanged(
        [&](EventType) {
          if (calls++ > 0) return;
          WaitUntil([&] { return !watcher->IsWatching(); });  // the owner now waits for us
          EXPECT_TRUE(watcher->UnsubscribeOnFileChanged(tokens_[0], error_));
          EXPECT_TRUE(watcher->SubscribeOnFileChanged(Record(), tokens_[1], error_));
          EXPECT_FALSE(watcher->Stop(error_));  // not started
          EXPECT_FALSE(watcher->Start(error_));
          EXPECT_EQ(error_, "A FileWatcher on '" + path_ + "' is being destroyed; start aborted!");
        },
        tokens_[0], error_));
    ASSERT_TRUE(watcher->Start(error_)) << error_;
    FileWatcher& self = *watcher;
    *watcher = std::move(self);  // changes nothing
    ASSERT_TRUE(watcher->IsWatching());
    ASSERT_EQ(std::system(("echo x >> " + path_).c_str()), 0);
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
    if (assign) *watcher = FileWatcher(dir_.Join("other"));
    // The callback's subscription went to the old record, not to the new one.
    EXPECT_FALSE(assign && watcher->UnsubscribeOnFileChanged(tokens_[1], error_));
    delete watcher;
    ExpectBaseline();
  }
}

// Unsubscribe removes the token's own entry wherever it stands and drops the
// released entries it passes; for an empty token it succeeds only when it
// dropped one. Callbacks run in subscription order; one that throws is logged
// and the next still runs. One that unsubscribes another and destroys its
// watcher ends the dispatch: its thread calls no further callback, closes the
// instance and frees the watcher. Every line carries its level, the source
// file "FileWatcher" and a fixed line id; braces in a path are content.
TEST_F(FileWatcherTest, SubscriptionsCallInOrderAndLogEachStep) {
  static std::ostringstream out;  // outlives the logger, which stays installed
  spdlog::set_default_logger(std::make_shared<spdlog::logger>(
      "capture", std::make_shared<spdlog::sinks::ostream_sink_mt>(out)));
  spdlog::default_logger()->set_pattern("%l %g:%# %v");
  const std::string path = dir_.Join("{}");
  auto watcher = std::make_unique<FileWatcher>(path);
  for (std::size_t i = 0; i < tokens_.size(); ++i) {
    ASSERT_TRUE(watcher->SubscribeOnFileChanged(
        [&, i, record = Record(std::to_string(i) + " ")](EventType type) {
          if (i == 5) watcher->UnsubscribeOnFileChanged(tokens_[6], error_), watcher.reset();
          record(type);
          if (i == 0) throw std::runtime_error("bad {} config");
          if (i == 1) throw 7;
        },
        tokens_[i], error_));
  }
  EXPECT_FALSE(watcher->SubscribeOnFileChanged(nullptr, tokens_[2], error_));
  tokens_[3].reset();  // after the entry of tokens_[2], so only a walk past it drops it
  EXPECT_TRUE(watcher->UnsubscribeOnFileChanged(tokens_[2], error_));
  EXPECT_FALSE(watcher->UnsubscribeOnFileChanged(tokens_[2], error_));
  EXPECT_FALSE(watcher->UnsubscribeOnFileChanged(nullptr, error_));
  tokens_[4].reset();
  EXPECT_TRUE(watcher->UnsubscribeOnFileChanged(nullptr, error_));
  ASSERT_TRUE(watcher->Start(error_)) << error_;
  ASSERT_EQ(std::system(("touch '" + path + "'").c_str()), 0);
  ExpectBaseline();
  EXPECT_EQ(Recorded(3), (Calls{"0 Created", "1 Created", "5 Created"}));
  const char* const lines[] = {
      "info FileWatcher:255 Subscribing to the OnFileChanged event on 'P'...",
      "info FileWatcher:266 Successfully subscribed to the OnFileChanged event on 'P'!",
      "error FileWatcher:258 Refused to subscribe an empty OnFileChanged event handler on 'P'!",
      "info FileWatcher:295 Unsubscribing from the OnFileChanged event on 'P'...",
      "info FileWatcher:320 Successfully unsubscribed from the OnFileChanged event on 'P'!",
      "error FileWatcher:314 Failed to find the OnFileChanged event handler on 'P'!",
      "error FileWatcher:345 An OnFileChanged event handler on 'P' threw an exception: bad {} "
      "config",
      "error FileWatcher:347 An OnFileChanged event handler on 'P' threw an unknown exception!",
  };
  for (std::string line : lines)  // 'P' stands for the path
    EXPECT_THAT(out.str(), ::testing::HasSubstr(line.replace(line.find("'P'") + 1, 1, path)));
}

}  // namespace
}  // namespace TalvornCommon
