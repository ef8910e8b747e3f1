// A watcher destroyed or assigned to while one of its callbacks runs and calls
// it, and a path that the kernel would read only up to its first NUL.
#include <gtest/gtest.h>

#include "TestSupport.h"  // also brings <atomic>, <fstream>, <string> and <thread>
#include "talvorncommon/FileWatcher.h"

namespace TalvornCommon::testing {

// While the owner waits for the running callback, the handle still leads to
// the old record: the one-shot callback's calls act on that record, and a
// Start from it cannot outlive the record.
TEST(FileWatcherLifetimeTest, OwnCallbackCallsItsWatcherWhileTheOwnerDestroysOrAssignsIt) {
  for (const bool assign : {false, true}) {
    SCOPED_TRACE(assign ? "assign" : "delete");
    std::thread([] {}).join();  // a sanitizer's helper thread joins the baseline
    const int fds = CountOpenFds(), threads = CountThreads();
    const TempDir dir;
    std::string path = dir.Join("watched"), error;
    auto* watcher = new FileWatcher(path);
    std::atomic<int> calls{0};
    std::shared_ptr<FileWatcher::OnFileChangedHandler> own, added;
    ASSERT_TRUE(watcher->SubscribeOnFileChanged(
        [&](FileWatcher::EventType) {
          if (calls++ > 0) return;
          WaitUntil([&] { return !watcher->IsWatching(); });  // the owner now waits for us
          EXPECT_TRUE(watcher->UnsubscribeOnFileChanged(own, error));
          EXPECT_TRUE(watcher->SubscribeOnFileChanged([](FileWatcher::EventType) {}, added, error));
          EXPECT_FALSE(watcher->Stop(error));  // not started
          EXPECT_FALSE(watcher->Start(error));
          EXPECT_EQ(error, "A FileWatcher on '" + path + "' is being destroyed; start aborted!");
        },
        own, error));
    ASSERT_TRUE(watcher->Start(error)) << error;
    std::ofstream(path).close();
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
    if (assign) *watcher = FileWatcher(dir.Join("other"));
    // The callback's subscription went to the old record, not to this one.
    EXPECT_FALSE(assign && watcher->UnsubscribeOnFileChanged(added, error));
    delete watcher;
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threads && CountOpenFds() == fds; }));
  }
}

// inotify would read the directory only up to the NUL and watch another one.
TEST(FileWatcherLifetimeTest, StartRefusesAPathWithANulAndOpensNothing) {
  const TempDir dir;
  const std::string path = dir.path().string() + std::string("\0/sub/watched", 13);
  const int fds = CountOpenFds();
  std::string error;
  EXPECT_FALSE(FileWatcher(path).Start(error));
  EXPECT_EQ(error, "Encountered an error while starting a FileWatcher on '" + path +
                       "': the path contains a NUL character");
  EXPECT_EQ(CountOpenFds(), fds);
}

}  // namespace TalvornCommon::testing
