// FileWatcher against real file operations in a fresh directory per test.
// "Nothing was reported" is never concluded from waiting: either a later
// operation on the watched name (a sentinel) is waited for, and the order of
// one inotify queue proves nothing came before it, or the instance's queue is
// seen drained and the watch stopped, which waits for every dispatch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "FileWatcherTestHelpers.h"
#include "TestSupport.h"
#include "talvorncommon/FileWatcher.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon {
namespace {

using namespace std::chrono_literals;
using namespace testing;
using Events = std::vector<EventType>;

constexpr const char* kJunk = "junk that must be replaced or kept";

std::string AlreadyStarted(const std::string& path) {
  return "A FileWatcher on '" + path + "' has already been started; start aborted!";
}
std::string NotStarted(const std::string& path) {
  return "A FileWatcher on '" + path + "' has not been started yet; stop aborted!";
}
std::string StartError(const std::string& path, const std::string& reason) {
  return "Encountered an error while starting a FileWatcher on '" + path + "': " + reason;
}
std::string NotFound(const std::string& path) {
  return "Failed to find the OnFileChanged event handler on '" + path + "'!";
}

class FileWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // ThreadSanitizer starts a helper thread with the process's first extra
    // thread; start one now so the baseline already counts it.
    std::thread([] {}).join();
    baselineFds_ = CountOpenFds();
    baselineThreads_ = CountThreads();
  }

  std::string Path(const std::string& name) const { return dir_.Join(name); }

  void SubscribeAndStart(FileWatcher& watcher, EventLog& log, Token& token) {
    std::string error = kJunk;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error)) << error;
    EXPECT_EQ(error, "");
    ASSERT_TRUE(watcher.Start(error)) << error;
  }

  // Starts, appends to `path`, waits until `last` (the last subscriber) has
  // seen it and stops, so every subscriber has been called once.
  static void DeliverOneEvent(FileWatcher& watcher, const std::string& path, const EventLog& last) {
    std::string error;
    const std::size_t before = last.Count();
    ASSERT_TRUE(watcher.Start(error)) << error;
    ASSERT_TRUE(AppendByte(path));
    ASSERT_TRUE(last.WaitForCount(before + 1));
    ASSERT_TRUE(watcher.Stop(error)) << error;
  }

  // No thread, no descriptor and no inotify instance left behind.
  void ExpectBaseline() {
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baselineThreads_; }))
        << CountThreads() << " threads, " << baselineThreads_ << " at the start";
    EXPECT_EQ(CountOpenFds(), baselineFds_);
    EXPECT_TRUE(InotifyFds().empty());
  }

  TempDir dir_;
  int baselineFds_ = 0;
  int baselineThreads_ = 0;
};

// --- What is reported -------------------------------------------------------

TEST_F(FileWatcherTest, FileOperationsOnTheNameAreReportedAndOthersAreNot) {
  const bool haveSed = std::system("command -v sed >/dev/null 2>&1") == 0;
  struct Case {
    const char* what;
    bool fileExists;
    // Operations in the case's directory, given the watched path; each ends
    // with an operation on the name, which the wait then stands on.
    std::function<bool(const std::string&)> operate;
    Events expected;
  };
  const Case cases[] = {
      {"created, written, deleted, created again",
       false,
       [](const std::string& p) {
         return CreateFile(p) && AppendByte(p) && RemoveFile(p) && CreateFile(p) && AppendByte(p);
       },
       {EventType::Created, EventType::Modified, EventType::Deleted, EventType::Created,
        EventType::Modified}},
      {"saved through a temporary file onto no file",
       false,
       [](const std::string& p) {
         return CreateFile(p + ".tmp") && AppendByte(p + ".tmp") && RenameFile(p + ".tmp", p) &&
                AppendByte(p);
       },
       {EventType::Renamed, EventType::Modified}},
      {"saved through a temporary file onto the file",
       true,
       [](const std::string& p) {
         return CreateFile(p + ".tmp") && AppendByte(p + ".tmp") && RenameFile(p + ".tmp", p) &&
                AppendByte(p);
       },
       {EventType::Renamed, EventType::Modified}},
      {"sed -i",
       true,
       [&](const std::string& p) {
         return std::system(("sed -i s/a/b/ '" + p + "'").c_str()) == 0 &&
                ReadFileBytes(p) == "b\n" && AppendByte(p);
       },
       {EventType::Renamed, EventType::Modified}},
      {"directory under the name",
       false,
       [](const std::string& p) {
         return ::mkdir(p.c_str(), 0755) == 0 && ::rmdir(p.c_str()) == 0;
       },
       {EventType::Created, EventType::Deleted}},
      {"renamed away from the name",
       true,
       [](const std::string& p) { return RenameFile(p, p + ".old") && CreateFile(p); },
       {EventType::Created}},
      {"other names and a name differing in case",
       false,
       [](const std::string& p) {
         const std::string dir = std::filesystem::path(p).parent_path().string() + "/";
         for (const char* name : {"Watched.txt", "WATCHED.TXT", "watched.txt.bak", "watched.tx",
                                  "xwatched.txt", "other"}) {
           const std::string other = dir + name;
           if (!CreateFile(other) || !AppendByte(other) || !RenameFile(other, other + ".mv") ||
               !RemoveFile(other + ".mv") || ::mkdir(other.c_str(), 0755) != 0 ||
               ::rmdir(other.c_str()) != 0) {
             return false;
           }
         }
         return CreateFile(p);
       },
       {EventType::Created}},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!haveSed && std::string(c.what) == "sed -i") continue;
    const std::string dir = Path(std::to_string(number++));
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    const std::string path = dir + "/watched.txt";
    if (c.fileExists) WriteFileBytes(path, "a\n");
    FileWatcher watcher(path);
    EventLog log;
    Token token;
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
    ASSERT_TRUE(c.operate(path));
    ASSERT_TRUE(log.WaitForCount(c.expected.size()));
    std::string error;
    ASSERT_TRUE(watcher.Stop(error)) << error;
    EXPECT_EQ(log.Events(), c.expected);
  }
  ExpectBaseline();
}

// A path ending in a separator has no name; a deleted directory leaves the
// watch running but silent.
TEST_F(FileWatcherTest, EventsWithoutTheNameReportNothingAndTheWatchGoesOn) {
  const std::string sub = Path("sub");
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  struct Case {
    const char* what;
    std::string path;
    std::function<bool()> operate;
  };
  const Case cases[] = {
      {"trailing separator", dir_.path().string() + "/",
       [&] {
         return CreateFile(Path("a")) && AppendByte(Path("a")) &&
                RenameFile(Path("a"), Path("b")) && RemoveFile(Path("b"));
       }},
      {"directory deleted", sub + "/watched", [&] { return ::rmdir(sub.c_str()) == 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileWatcher watcher(c.path);
    EventLog log;
    Token token;
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
    const std::vector<int> instances = InotifyFds();
    ASSERT_EQ(instances.size(), 1U);
    ASSERT_TRUE(c.operate());
    // Once the queue is empty the thread has read the records, and Stop
    // waits for their dispatch.
    EXPECT_TRUE(WaitUntil([&] {
      int pending = -1;
      return ::ioctl(instances[0], FIONREAD, &pending) == 0 && pending == 0;
    }));
    EXPECT_TRUE(watcher.IsWatching());
    std::string error;
    ASSERT_TRUE(watcher.Stop(error)) << error;
    EXPECT_TRUE(log.Events().empty());
  }
  ExpectBaseline();
}

TEST(FileWatcherToStringTest, NamesTheFourKindsAndUnknownForOtherValues) {
  const std::pair<int, const char*> cases[] = {{0, "Modified"}, {1, "Created"}, {2, "Deleted"},
                                               {3, "Renamed"},  {4, "Unknown"}, {255, "Unknown"}};
  for (const auto& [value, name] : cases) {
    SCOPED_TRACE(value);
    EXPECT_STREQ(FileWatcher::ToString(static_cast<EventType>(value)), name);
  }
}

// --- Starting and stopping ----------------------------------------------------

TEST_F(FileWatcherTest, StartFailuresNameThePathAndLeaveNothingOpen) {
  const std::string cases[] = {"settings.json", Path("missing/settings.json"),
                               Path("{}{0}/{:x}.json"), Path("plain/sub/settings.json")};
  WriteFileBytes(Path("plain"), "not a directory");
  for (const std::string& path : cases) {
    SCOPED_TRACE(path);
    FileWatcher watcher(path);
    std::string error = kJunk;
    EXPECT_FALSE(watcher.Start(error));
    EXPECT_EQ(error, StartError(path, "inotify_add_watch failed!"));
    EXPECT_FALSE(watcher.IsWatching());
    ExpectBaseline();
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, NotStarted(path));
  }
}

TEST_F(FileWatcherTest, InotifyInitFailureIsReportedWhenDescriptorsRunOut) {
  const std::string path = Path("watched");
  FileWatcher watcher(path);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = 0;  // no new descriptor can be opened
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::string error = kJunk;
  const bool started = watcher.Start(error);
  const int startErrno = errno;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_FALSE(started);
  EXPECT_EQ(startErrno, EMFILE);
  EXPECT_EQ(error, StartError(path, "inotify_init1 failed!"));
  EXPECT_FALSE(watcher.IsWatching());
  ExpectBaseline();
  // Nothing stuck: with descriptors available again the same watcher starts.
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  ExpectBaseline();
}

// Thread creation cannot be made to fail for real; the hook throws where
// std::thread would. A std::system_error is a failed Start, an allocation
// failure passes through; both leave the watcher idle and startable.
TEST_F(FileWatcherTest, ThreadCreationFailureLeavesTheWatcherIdle) {
  struct Case {
    const char* what;
    detail::WatchThreadHook hook;
    std::string expected;  // empty: Start throws std::bad_alloc
  };
  const Case cases[] = {
      {"system_error", [] { throw std::system_error(EAGAIN, std::generic_category()); },
       std::string("watch thread creation failed: ") +
           std::system_error(EAGAIN, std::generic_category()).what()},
      {"bad_alloc", [] { throw std::bad_alloc(); }, ""},
  };
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    detail::SetWatchThreadHook(c.hook);
    error = kJunk;
    if (c.expected.empty()) {
      EXPECT_THROW(static_cast<void>(watcher.Start(error)), std::bad_alloc);
      EXPECT_EQ(error, kJunk);
    } else {
      EXPECT_FALSE(watcher.Start(error));
      EXPECT_EQ(error, StartError(path, c.expected));
    }
    detail::SetWatchThreadHook(nullptr);
    EXPECT_FALSE(watcher.IsWatching());
    ExpectBaseline();
    // The lock was released: Stop takes it and finds nothing to stop.
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, NotStarted(path));
    ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, log));
    ExpectBaseline();
  }
}

TEST_F(FileWatcherTest, RestartOpensOneFreshInstanceAndOneThreadEachTime) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
  for (std::size_t round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    error = kJunk;
    ASSERT_TRUE(watcher.Start(error));
    EXPECT_EQ(error, kJunk);  // success leaves the text alone
    EXPECT_TRUE(watcher.IsWatching());
    const std::vector<int> instances = InotifyFds();
    ASSERT_EQ(instances.size(), 1U);
    // An instance inherited by an exec'd child would outlive Stop.
    EXPECT_NE(::fcntl(instances[0], F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(::fcntl(instances[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(CountThreads(), baselineThreads_ + 1);
    EXPECT_FALSE(watcher.Start(error));
    EXPECT_EQ(error, AlreadyStarted(path));
    EXPECT_EQ(InotifyFds(), instances);
    ASSERT_TRUE(AppendByte(path));
    ASSERT_TRUE(log.WaitForCount(round));
    error = kJunk;
    ASSERT_TRUE(watcher.Stop(error));
    EXPECT_EQ(error, kJunk);
    EXPECT_FALSE(watcher.IsWatching());
    ExpectBaseline();
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, NotStarted(path));
  }
  EXPECT_EQ(log.Events(), (Events(3, EventType::Modified)));
}

TEST_F(FileWatcherTest, MovesCarryTheWatchAndDestructionEndsIt) {
  const std::string targetPath = Path("target");
  const std::string sourcePath = Path("source");
  EventLog targetLog;
  EventLog sourceLog;
  Token targetToken;
  Token sourceToken;
  {
    FileWatcher target(targetPath);
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(target, targetLog, targetToken));
    std::optional<FileWatcher> original(std::in_place, sourcePath);
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(*original, sourceLog, sourceToken));
    FileWatcher source(std::move(*original));
    original.reset();  // destroying a moved-from handle leaves the watch alone
    EXPECT_TRUE(source.IsWatching());
    EXPECT_EQ(InotifyFds().size(), 2U);

    target = std::move(source);  // ends the target's own watch first
    EXPECT_EQ(InotifyFds().size(), 1U);
    EXPECT_EQ(CountThreads(), baselineThreads_ + 1);
    FileWatcher& alias = target;
    target = std::move(alias);
    EXPECT_TRUE(target.IsWatching());
    std::string error;
    EXPECT_FALSE(target.Start(error));
    EXPECT_EQ(error, AlreadyStarted(sourcePath));
    ASSERT_TRUE(CreateFile(targetPath));  // the old watch is gone
    ASSERT_TRUE(CreateFile(sourcePath));
    ASSERT_TRUE(sourceLog.WaitForCount(1));

    source = FileWatcher(targetPath);  // a moved-from handle takes a new one
    ASSERT_TRUE(source.Start(error)) << error;
    EXPECT_EQ(InotifyFds().size(), 2U);
  }
  ExpectBaseline();
  EXPECT_TRUE(targetLog.Events().empty());
  // Tokens outlive the watcher and still own a working callback.
  (*sourceToken)(EventType::Deleted);
  EXPECT_EQ(sourceLog.Events(), (Events{EventType::Created, EventType::Deleted}));
}

TEST_F(FileWatcherTest, RacingStartsAndStopsLeaveNothingBehind) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
  // More threads than cores, so Starts land inside other threads' Stops.
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string localError;
      for (int round = 0; round < kRounds; ++round) {
        if (watcher.Start(localError)) ++starts;
        if ((round + t) % 3 == 0) std::this_thread::yield();
        if (watcher.Stop(localError)) ++stops;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_GT(starts.load(), 0);
  // Whatever state the race left must be a working one.
  if (watcher.IsWatching()) {
    EXPECT_EQ(InotifyFds().size(), 1U);
    ASSERT_TRUE(AppendByte(path));
    EXPECT_TRUE(log.WaitForCount(1));
    ASSERT_TRUE(watcher.Stop(error)) << error;
    ++stops;
  }
  EXPECT_EQ(starts.load(), stops.load());
  ExpectBaseline();
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, log));
  ExpectBaseline();
}

// Holds the first callback of a watcher until `gate` opens.
struct BlockingCallback {
  Gate gate;
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  std::atomic<int> calls{0};

  Handler Callback() {
    return [this](EventType) {
      if (calls++ != 0) return;
      entered = true;
      gate.Wait();
      finished = true;
    };
  }
};

class FileWatcherStopTest : public FileWatcherTest {
 protected:
  // Starts a watch whose first callback blocks, and a Stop on another thread
  // that is left joining it; returns that Stop's result.
  std::future<bool> StopWhileTheCallbackBlocks() {
    EXPECT_TRUE(CreateFile(path_));
    std::string error;
    EXPECT_TRUE(watcher_.SubscribeOnFileChanged(blocking_.Callback(), blockingToken_, error));
    EXPECT_TRUE(watcher_.SubscribeOnFileChanged(log_.Callback(), logToken_, error));
    EXPECT_TRUE(watcher_.Start(error)) << error;
    EXPECT_TRUE(AppendByte(path_));
    EXPECT_TRUE(WaitUntil([&] { return blocking_.entered.load(); }));
    std::future<bool> stopping = std::async(std::launch::async, [&] {
      std::string stopError;
      const bool stopped = watcher_.Stop(stopError);
      finishedWhenStopReturned_ = blocking_.finished.load();
      return stopped;
    });
    EXPECT_TRUE(WaitUntil([&] { return !watcher_.IsWatching(); }));
    return stopping;
  }

  const std::string path_ = Path("watched");
  BlockingCallback blocking_;
  EventLog log_;
  Token blockingToken_;
  Token logToken_;
  std::atomic<bool> finishedWhenStopReturned_{false};
  FileWatcher watcher_{path_};  // last, so destroyed first
};

TEST_F(FileWatcherStopTest, StopWhileACallbackRunsReturnsOnlyAfterItAndASecondStopFails) {
  std::future<bool> stopping = StopWhileTheCallbackBlocks();
  // Give a Stop that does not wait every chance to return early.
  std::this_thread::sleep_for(20ms);
  // Closed only after the join: the thread, still running, must not read a
  // descriptor number something else may have reused meanwhile.
  EXPECT_EQ(InotifyFds().size(), 1U);
  std::string error = kJunk;
  EXPECT_FALSE(watcher_.Stop(error));
  EXPECT_EQ(error, NotStarted(path_));
  blocking_.gate.Open();
  EXPECT_TRUE(stopping.get());
  EXPECT_TRUE(finishedWhenStopReturned_.load());
  ExpectBaseline();
}

TEST_F(FileWatcherStopTest, StartDuringAnotherThreadsStopKeepsTheNewWatch) {
  std::future<bool> stopping = StopWhileTheCallbackBlocks();
  std::string error;
  ASSERT_TRUE(watcher_.Start(error)) << error;  // lands while the old thread is being joined
  blocking_.gate.Open();
  if (stopping.wait_for(30s) != std::future_status::ready) {
    ADD_FAILURE() << "the earlier Stop never returned";
    static_cast<void>(watcher_.Stop(error));  // frees the stuck Stop
  }
  EXPECT_TRUE(stopping.get());
  EXPECT_TRUE(watcher_.IsWatching());
  EXPECT_EQ(InotifyFds().size(), 1U);
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baselineThreads_ + 1; }));
  ASSERT_TRUE(log_.WaitForCount(1));  // the batch the old thread was dispatching
  ASSERT_TRUE(AppendByte(path_));
  ASSERT_TRUE(log_.WaitForCount(2));  // delivered by the new watch
  ASSERT_TRUE(watcher_.Stop(error)) << error;
  ExpectBaseline();
}

TEST_F(FileWatcherTest, StopFromItsOwnCallbackIsRefusedAndChangesNothing) {
  const std::string path = Path("watched");
  FileWatcher watcher(path);
  std::mutex mutex;
  std::optional<bool> stopResult;
  std::string stopError;
  EventLog log;
  Token stopperToken;
  Token logToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [&](EventType) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopResult) return;
        stopError = kJunk;
        stopResult = watcher.Stop(stopError);
      },
      stopperToken, error));
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, logToken));
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(stopResult, false);
    EXPECT_EQ(stopError, "A FileWatcher on '" + path +
                             "' cannot be stopped from its own OnFileChanged event handler; "
                             "stop aborted!");
  }
  EXPECT_TRUE(watcher.IsWatching());
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(log.WaitForCount(2));  // the watch went on
  ASSERT_TRUE(watcher.Stop(error)) << error;
  ExpectBaseline();
}

TEST_F(FileWatcherTest, DestroyingTheWatcherFromItsOwnCallbackEndsTheWatch) {
  for (const bool assign : {false, true}) {
    SCOPED_TRACE(assign ? "move-assigned from its callback" : "destroyed from its callback");
    const std::string path = Path(assign ? "assigned" : "destroyed");
    std::optional<FileWatcher> watcher(std::in_place, path);
    std::atomic<bool> done{false};
    EventLog later;
    Token disposer;
    Token laterToken;
    std::string error;
    ASSERT_TRUE(watcher->SubscribeOnFileChanged(
        [&](EventType) {
          if (done) return;
          if (assign) {
            *watcher = FileWatcher(Path("replacement"));
          } else {
            watcher.reset();
          }
          done = true;
        },
        disposer, error));
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(*watcher, later, laterToken));
    ASSERT_TRUE(CreateFile(path));
    // The rest of that event's callbacks still run; then the thread ends and
    // takes the instance with it.
    ASSERT_TRUE(later.WaitForCount(1));
    ExpectBaseline();
    EXPECT_TRUE(done.load());
    if (assign) {
      EXPECT_FALSE(watcher->IsWatching());
      ASSERT_TRUE(watcher->Start(error)) << error;  // the new record works
      ASSERT_TRUE(watcher->Stop(error)) << error;
    }
    EXPECT_EQ(later.Events(), (Events{EventType::Created}));
  }
}

TEST_F(FileWatcherTest, WatchThreadIsNamedFileWatcher) {
  const std::string path = Path("watched");
  FileWatcher watcher(path);
  std::mutex mutex;
  std::string comm;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [&](EventType) {
        std::lock_guard<std::mutex> lock(mutex);
        comm = ReadFileBytes("/proc/self/task/" + std::to_string(::gettid()) + "/comm");
      },
      token, error));
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !comm.empty();
  }));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(comm, "FileWatcher\n");
}

// --- Subscriptions --------------------------------------------------------------

// Unsubscribe removes the token's own entry wherever it stands and drops the
// released entries it walks past; it reports success only for the token's own
// entry, or, for an empty token, for a dropped released entry.
TEST_F(FileWatcherTest, UnsubscribeRemovesTheTokensOwnEntry) {
  constexpr int kEmptyToken = -1;
  constexpr int kForeignToken = -2;
  struct Case {
    const char* what;
    int subscribers;
    std::vector<int> released;  // subscribers whose every token is dropped
    int target;                 // subscriber index, kEmptyToken or kForeignToken
    bool expected;
    std::vector<int> calledAfter;  // subscribers called by the next event, in order
    bool releasedLeft;             // an empty-token unsubscribe still finds one
  };
  const Case cases[] = {
      {"own entry first", 2, {}, 0, true, {1}, false},
      {"own entry in the middle", 5, {}, 2, true, {0, 1, 3, 4}, false},
      {"released entry before the own one", 3, {0}, 1, true, {2}, false},
      {"several released entries before the own one", 4, {0, 1}, 3, true, {2}, false},
      {"released entry after the own one is not reached", 3, {2}, 0, true, {1}, true},
      {"empty token drops every released entry", 3, {0, 2}, kEmptyToken, true, {1}, false},
      {"empty token without released entries", 2, {}, kEmptyToken, false, {0, 1}, false},
      {"foreign token with a released entry", 2, {0}, kForeignToken, false, {1}, false},
      {"foreign token", 2, {}, kForeignToken, false, {0, 1}, false},
      {"empty list, empty token", 0, {}, kEmptyToken, false, {}, false},
  };
  FileWatcher other(Path("other"));
  EventLog otherLog;
  Token foreign;
  std::string error;
  ASSERT_TRUE(other.SubscribeOnFileChanged(otherLog.Callback(), foreign, error));
  int caseNumber = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Path("watched" + std::to_string(caseNumber++));
    ASSERT_TRUE(CreateFile(path));
    FileWatcher watcher(path);
    std::mutex mutex;
    std::vector<int> calls;
    std::vector<Token> tokens(static_cast<std::size_t>(c.subscribers));
    for (int i = 0; i < c.subscribers; ++i) {
      const Handler record = [&, i](EventType) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(i);
      };
      ASSERT_TRUE(
          watcher.SubscribeOnFileChanged(record, tokens[static_cast<std::size_t>(i)], error));
    }
    for (const int index : c.released) tokens[static_cast<std::size_t>(index)].reset();
    Token target;  // a copy matches the entry just as the token does
    if (c.target >= 0) target = tokens[static_cast<std::size_t>(c.target)];
    if (c.target == kForeignToken) target = foreign;

    error = kJunk;
    EXPECT_EQ(watcher.UnsubscribeOnFileChanged(target, error), c.expected);
    EXPECT_EQ(error, c.expected ? "" : NotFound(path));
    EventLog last;
    Token lastToken;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(last.Callback(), lastToken, error));
    ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, last));
    {
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(calls, c.calledAfter);
    }
    EXPECT_EQ(watcher.UnsubscribeOnFileChanged(nullptr, error), c.releasedLeft);
    if (c.target >= 0) {
      EXPECT_FALSE(watcher.UnsubscribeOnFileChanged(target, error));
      EXPECT_EQ(error, NotFound(path));
    }
  }
}

// The subscriber list is not locked while callbacks run: a callback may change
// it, and the change takes effect from the next event on.
TEST_F(FileWatcherTest, CallbacksSubscribeAndUnsubscribeFromTheNextEventOn) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  std::mutex mutex;
  std::vector<std::string> calls;
  auto record = [&](const char* who) {
    return [&, who](EventType) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.emplace_back(who);
    };
  };
  Token changer;
  Token second;
  Token added;  // written on the watch thread, read after Stop joined it
  EventLog last;
  Token lastToken;
  std::atomic<int> succeeded{0};
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [&](EventType type) {
        record("changer")(type);
        std::string localError;
        succeeded += watcher.UnsubscribeOnFileChanged(second, localError) ? 1 : 0;
        succeeded += watcher.UnsubscribeOnFileChanged(changer, localError) ? 1 : 0;
        succeeded += watcher.SubscribeOnFileChanged(record("added"), added, localError) ? 1 : 0;
      },
      changer, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(record("second"), second, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(last.Callback(), lastToken, error));
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, last));
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, last));
  EXPECT_EQ(succeeded.load(), 3);
  std::lock_guard<std::mutex> lock(mutex);
  // "second" was already in the first dispatch's snapshot.
  EXPECT_EQ(calls, (std::vector<std::string>{"changer", "second", "added"}));
}

}  // namespace
}  // namespace TalvornCommon
