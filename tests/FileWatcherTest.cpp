// FileWatcher against real file operations in a fresh directory per test, with
// the process's descriptors and threads counted before and after.
#include <sys/ioctl.h>

#include <algorithm>
#include <latch>
#include <stdexcept>

#include "WatcherTest.h"
#include "talvorncommon/FileWatcher.h"

namespace TalvornCommon {
namespace {

using namespace testing;  // WatcherTest, TempDir, WaitUntil and the counts
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;
using EventType = FileWatcher::EventType;
using Token = std::shared_ptr<FileWatcher::OnFileChangedHandler>;

class FileWatcherTest : public WatcherTest {
 protected:
  // A callback that notes "<who><event>".
  FileWatcher::OnFileChangedHandler Record(const std::string& who = "") {
    return [this, who](EventType type) { Note(who + FileWatcher::ToString(type)); };
  }
  // Waits until every watch thread has read all that its instance had queued,
  // so that, after a Stop (which waits for the dispatch), the notes are final.
  static void WaitForQueuesRead() {
    EXPECT_TRUE(WaitUntil([] {
      return std::ranges::none_of(InotifyInstances(), [](int fd) {
        int pending = 0;
        return ::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0;
      });
    }));
  }
  // An error text about the fixture's watcher: "A FileWatcher on '<path>'<rest>".
  std::string Says(const std::string& rest) const {
    return "A FileWatcher on '" + path_ + "'" + rest;
  }

  const std::string path_ = dir_.Join("w");
};

// The calls of all steps arrive in order. Moves away from the name and other
// names are not reported, and nothing is once the folder has moved away: the
// kernel watches a folder's inode, not its path, so its file is no longer the
// watched path.
TEST_F(FileWatcherTest, ChangesToTheNameAreReportedAndOthersAreNot) {
  struct Step {
    const char* script;  // run in the watched folder
    Calls calls;
  };
  const Step steps[] = {
      {"touch w; echo x >> w; rm w; touch w", {"Created", "Modified", "Deleted", "Created"}},
      {"echo x > w.tmp; mv w.tmp w; mv w w.old", {"Renamed"}},  // an editor's save, a move away
      // Another case, other names; once the last touch is reported, all before it was read.
      {"touch W xw; echo x >> W; mv xw w.bak; rm W w.bak; touch w", {"Created"}},
  };
  Shell("mkdir cfg");
  FileWatcher watcher(dir_.Join("cfg/w"));
  Token token;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(Record(), token, error_));
  ASSERT_TRUE(watcher.Start(error_)) << error_;
  EXPECT_EQ(std::system("! ls -l /proc/self/fd | grep -q inotify"), 0);  // not inherited on exec
  Calls expected;
  for (const Step& step : steps) {
    Shell("cd cfg && " + std::string(step.script));
    expected.insert(expected.end(), step.calls.begin(), step.calls.end());
  }
  ASSERT_EQ(WaitForCalls(expected.size()), expected);
  Shell("mv cfg cfg.old && echo x >> cfg.old/w && mkdir cfg && touch cfg/w");
  WaitForQueuesRead();
  EXPECT_TRUE(watcher.IsWatching());
  ASSERT_TRUE(watcher.Stop(error_)) << error_;
  EXPECT_EQ(WaitForCalls(0), expected);
}

// Each failed Start names the path as given and leaves nothing open.
TEST_F(FileWatcherTest, FailedStartNamesThePathAndLeavesNothingOpen) {
  ExpectFailedStarts<FileWatcher>(
      "FileWatcher",
      {
          {dir_.Join("{}/w"), -1, nullptr, "inotify_add_watch failed!"},
          {path_, 0, nullptr, "inotify_init1 failed!"},
          {path_, -1, RefuseThread,
           "watch thread creation failed: Resource temporarily unavailable"},
          // The kernel would read the path only up to the NUL and watch another directory.
          {dir_.path().string() + std::string("\0/sub/w", 7), -1, nullptr,
           "the path contains a NUL character"},
      });
}

// A callback runs on the thread "FileWatcher", where Stop is refused, and
// blocks. A Stop on another thread returns only after the whole batch; the
// instance stays open until then, and a second Stop meanwhile fails. A Start
// made meanwhile returns only after the batch too, so the old and the new
// watch's callbacks never overlap; the blocked callback then finds its watcher
// usable and its own Start refused.
TEST_F(FileWatcherTest, StopAndStartWaitForTheRunningBatch) {
  FileWatcher watcher(path_);
  Token blocking, next, late;
  const auto block = [&](EventType type) {
    EXPECT_FALSE(watcher.Stop(error_));
    Record(ReadFileBytes("/proc/thread-self/comm"))(type);  // under its thread's name
    BlockUntilReleased();
    EXPECT_FALSE(watcher.Start(error_));
    EXPECT_EQ(error_, Says(" cannot be started from an OnFileChanged event handler while it is "
                           "being stopped; start aborted!"));
    EXPECT_FALSE(watcher.Stop(error_));  // needs the lock the waiting Start must not hold
    EXPECT_FALSE(watcher.IsWatching());
    EXPECT_TRUE(watcher.UnsubscribeOnFileChanged(blocking, error_));
    EXPECT_TRUE(watcher.SubscribeOnFileChanged(Record("new watch: "), late, error_));
    Note("callback returns");
  };
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(block, blocking, error_));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(Record("next "), next, error_));
  ASSERT_TRUE(watcher.Start(error_)) << error_;
  std::string error, stopError, startError;
  EXPECT_FALSE(watcher.Start(error));
  EXPECT_EQ(error, Says(" has already been started; start aborted!"));
  Shell("touch w");
  ASSERT_EQ(WaitForCalls(1), Calls{"FileWatcher\nCreated"});
  EXPECT_EQ(error_,
            Says(" cannot be stopped from its own OnFileChanged event handler; stop aborted!"));
  std::future<void> stopping = std::async(
      std::launch::async, [&] { Note(watcher.Stop(stopError) ? "Stop returns" : stopError); });
  ASSERT_TRUE(WaitUntil([&] { return !watcher.IsWatching(); }));
  // The thread may still read the instance: it is closed only after the join.
  EXPECT_FALSE(WaitUntil([&] { return CountOpenFds() == fds_; }, std::chrono::milliseconds(100)));
  EXPECT_FALSE(watcher.Stop(error));
  EXPECT_EQ(error, Says(" has not been started yet; stop aborted!"));
  std::future<void> starting = std::async(
      std::launch::async, [&] { Note(watcher.Start(startError) ? "Start returns" : startError); });
  // Time for a Start that does not wait to return before the callback does.
  static_cast<void>(starting.wait_for(std::chrono::milliseconds(200)));
  release_.set_value();
  stopping.get();
  starting.get();
  Shell("echo x >> w");
  const auto returns = AnyOf("Stop returns", "Start returns");
  EXPECT_THAT(WaitForCalls(7),
              ElementsAre("FileWatcher\nCreated", "callback returns", "next Created", returns,
                          returns, "next Modified", "new watch: Modified"));
  ASSERT_TRUE(watcher.Stop(error_)) << error_;
  ExpectNothingLeftOpen();
}

// Two Stops and a Start made at once on a watching watcher act one at a time:
// a Stop acts only while it watches, a Start only while it does not, so the
// outcomes are those of one of three orders. Under TSan, a Stop or a Start
// that tests or changes the watch outside the lock is a race with the others.
TEST_F(FileWatcherTest, ConcurrentStopsAndStartActOneAtATime) {
  const std::string stopped = "stopped", started = "started",
                    notStarted = Says(" has not been started yet; stop aborted!"),
                    alreadyStarted = Says(" has already been started; start aborted!");
  FileWatcher watcher(path_);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(watcher.IsWatching() || watcher.Start(error_)) << error_;
    std::latch ready(3);
    const auto call = [&](bool start) {
      std::string callError;
      ready.arrive_and_wait();
      if (start) return watcher.Start(callError) ? started : callError;
      return watcher.Stop(callError) ? stopped : callError;
    };
    std::future<std::string> otherStop = std::async(std::launch::async, call, false);
    std::future<std::string> starting = std::async(std::launch::async, call, true);
    const Calls outcomes{call(false), otherStop.get(), starting.get()};
    if (watcher.IsWatching()) {  // stop, stop, start
      EXPECT_THAT(outcomes, UnorderedElementsAre(stopped, notStarted, started));
    } else {  // stop, start, stop or start, stop, stop
      EXPECT_THAT(outcomes, AnyOf(UnorderedElementsAre(stopped, started, stopped),
                                  UnorderedElementsAre(alreadyStarted, stopped, notStarted)));
    }
  }
  EXPECT_TRUE(!watcher.IsWatching() || watcher.Stop(error_)) << error_;
  ExpectNothingLeftOpen();
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
    Token first, added;
    const auto callWatcher = [&](EventType) {
      if (calls++ > 0) return;
      WaitUntil([&] { return !watcher->IsWatching(); });  // the owner now waits for us
      EXPECT_TRUE(watcher->UnsubscribeOnFileChanged(first, error_));
      EXPECT_TRUE(watcher->SubscribeOnFileChanged(Record(), added, error_));
      EXPECT_FALSE(watcher->Stop(error_));  // not started
      EXPECT_FALSE(watcher->Start(error_));
      EXPECT_EQ(error_, Says(" is being destroyed; start aborted!"));
    };
    ASSERT_TRUE(watcher->SubscribeOnFileChanged(callWatcher, first, error_));
    ASSERT_TRUE(watcher->Start(error_)) << error_;
    FileWatcher& self = *watcher;
    *watcher = std::move(self);  // changes nothing
    ASSERT_TRUE(watcher->IsWatching());
    Shell("echo x >> w");
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
    if (assign) *watcher = FileWatcher(dir_.Join("other"));
    // The callback's subscription went to the old record, not to the new one.
    EXPECT_FALSE(assign && watcher->UnsubscribeOnFileChanged(added, error_));
    delete watcher;
    ExpectNothingLeftOpen();
  }
}

// A callback that assigns a new watcher to its own handle reaches the new one
// at once but cannot start it; another thread's Start waits until the callback
// has returned, so the callbacks of the old and the new watch never overlap.
TEST_F(FileWatcherTest, AWatcherAssignedFromItsOwnCallbackStartsOnceThatCallbackReturns) {
  FileWatcher watcher(path_);
  Token old, fresh;
  std::future<void> starting;
  std::string startError;
  const auto replaceWatcher = [&](EventType) {
    Note("old callback runs");
    watcher = FileWatcher(path_);
    EXPECT_TRUE(watcher.SubscribeOnFileChanged(Record("new watch: "), fresh, error_));
    EXPECT_FALSE(watcher.Start(error_));
    EXPECT_EQ(error_, Says(" cannot be started from an OnFileChanged event handler of the watch "
                           "it replaces; start aborted!"));
    starting = std::async(std::launch::async,
                          [&] { Note(watcher.Start(startError) ? "Start returns" : startError); });
    // Time for a Start that does not wait to return before the callback does.
    static_cast<void>(starting.wait_for(std::chrono::milliseconds(200)));
    Note("old callback returns");
  };
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(replaceWatcher, old, error_));
  ASSERT_TRUE(watcher.Start(error_)) << error_;
  Shell("touch w");
  ASSERT_EQ(WaitForCalls(3), (Calls{"old callback runs", "old callback returns", "Start returns"}));
  starting.get();
  Shell("echo x >> w");
  EXPECT_EQ(WaitForCalls(4).back(), "new watch: Modified");
  ASSERT_TRUE(watcher.Stop(error_)) << error_;
  ExpectNothingLeftOpen();
}

// A callback that destroys its own watcher ends the dispatch: its thread calls
// no further callback, closes the instance and frees the watcher.
TEST_F(FileWatcherTest, ACallbackThatDestroysItsWatcherEndsTheDispatch) {
  auto watcher = std::make_unique<FileWatcher>(path_);
  const auto destroyWatcher = [&](EventType type) {
    Record("destroys: ")(type);
    watcher.reset();
  };
  Token before, destroyer, after;
  ASSERT_TRUE(watcher->SubscribeOnFileChanged(Record("before: "), before, error_));
  ASSERT_TRUE(watcher->SubscribeOnFileChanged(destroyWatcher, destroyer, error_));
  ASSERT_TRUE(watcher->SubscribeOnFileChanged(Record("after: "), after, error_));
  ASSERT_TRUE(watcher->Start(error_)) << error_;
  Shell("touch w");
  ExpectNothingLeftOpen();
  EXPECT_EQ(WaitForCalls(0), (Calls{"before: Created", "destroys: Created"}));
}

// Unsubscribe removes the token's own entry wherever it stands and drops the
// released entries it passes on the way; for an empty token it succeeds only
// when it dropped one. Then only live callbacks run, in subscription order: the
// watcher holds them weakly, so one whose token was released or took a new
// subscription is freed at once and never called. One that throws is logged,
// and the next still runs. Each step is logged; braces in a path are content.
TEST_F(FileWatcherTest, UnsubscribeDropsReleasedEntriesAndOnlyLiveCallbacksRun) {
  CaptureLog();
  const std::string path = dir_.Join("{}");
  FileWatcher watcher(path);
  Token removed, releasedAfterIt, releasedLater, kept;
  for (Token* token : {&removed, &releasedAfterIt, &releasedLater})
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(Record("a removed callback ran: "), *token, error_));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(Record("kept: "), kept, error_));
  EXPECT_FALSE(watcher.SubscribeOnFileChanged(nullptr, removed, error_));  // token kept
  struct Step {
    const char* what;
    Token* releasedFirst;  // reset before the call
    Token* unsubscribed;   // null: an empty token
    bool succeeds;
  };
  const Step steps[] = {
      {"its own entry, before a released one", &releasedAfterIt, &removed, true},
      {"again: drops the released entry but finds none of its own", nullptr, &removed, false},
      {"an empty token with nothing released left", nullptr, nullptr, false},
      {"an empty token drops a released entry", &releasedLater, nullptr, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.releasedFirst != nullptr) step.releasedFirst->reset();
    error_ = "junk";
    const Token token = step.unsubscribed ? *step.unsubscribed : nullptr;
    EXPECT_EQ(watcher.UnsubscribeOnFileChanged(token, error_), step.succeeds);
    EXPECT_EQ(error_.empty(), step.succeeds) << error_;
  }
  Token released, replaced, throwsException, throwsInt;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(Record("released: "), released, error_));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(Record("replaced: "), replaced, error_));
  const std::weak_ptr<FileWatcher::OnFileChangedHandler> releasedOne = released,
                                                         replacedOne = replaced;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [](EventType) { throw std::runtime_error("bad {} config"); }, throwsException, error_));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged([](EventType) { throw 7; }, throwsInt, error_));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(Record("replacement: "), replaced, error_));
  released.reset();
  EXPECT_TRUE(releasedOne.expired() && replacedOne.expired());  // freed, not only unsubscribed
  ASSERT_TRUE(watcher.Start(error_)) << error_;
  Shell("touch '{}'");
  EXPECT_EQ(WaitForCalls(2), (Calls{"kept: Created", "replacement: Created"}));
  ASSERT_TRUE(watcher.Stop(error_)) << error_;
  // Each line, with 'P' standing for the path, was logged whole.
  for (std::string line :
       {"info FileWatcher:255 Subscribing to the OnFileChanged event on 'P'...",
        "info FileWatcher:266 Successfully subscribed to the OnFileChanged event on 'P'!",
        "error FileWatcher:258 Refused to subscribe an empty OnFileChanged event handler on 'P'!",
        "info FileWatcher:295 Unsubscribing from the OnFileChanged event on 'P'...",
        "info FileWatcher:320 Successfully unsubscribed from the OnFileChanged event on 'P'!",
        "error FileWatcher:314 Failed to find the OnFileChanged event handler on 'P'!",
        "error FileWatcher:345 An OnFileChanged event handler on 'P' threw an exception: "
        "bad {} config",
        "error FileWatcher:347 An OnFileChanged event handler on 'P' threw an unknown exception!"})
    EXPECT_THAT(Logged(), HasSubstr(line.replace(line.find("'P'") + 1, 1, path) + "\n"));
}

}  // namespace
}  // namespace TalvornCommon
