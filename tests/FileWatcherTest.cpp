// FileWatcher against real file operations in a fresh directory per test.
// "Nothing was reported" is never concluded from waiting: either a later
// operation on the watched name (a sentinel) is waited for, and the order of
// one inotify queue proves nothing came before it, or the instance's queue is
// seen drained and the watch stopped, which waits for every dispatch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
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
using testing::AppendByte;
using testing::CountOpenFds;
using testing::CountThreads;
using testing::CreateFile;
using testing::EventLog;
using testing::Gate;
using testing::Handler;
using testing::InotifyFds;
using testing::ReadFileBytes;
using testing::RemoveFile;
using testing::RenameFile;
using testing::TempDir;
using testing::Token;
using testing::WaitUntil;
using testing::WriteFileBytes;
using EventType = FileWatcher::EventType;
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

// Bytes waiting in an inotify instance's queue, or -1.
int PendingBytes(int fd) {
  int pending = -1;
  if (::ioctl(fd, FIONREAD, &pending) != 0) return -1;
  return pending;
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

  // Subscribes `log` and starts watching; fatal on failure.
  void SubscribeAndStart(FileWatcher& watcher, EventLog& log, Token& token) {
    std::string error;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error)) << error;
    ASSERT_TRUE(watcher.Start(error)) << error;
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

TEST_F(FileWatcherTest, FileCreatedWrittenDeletedAndCreatedAgainIsFollowed) {
  const std::string path = Path("settings.json");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));

  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(RemoveFile(path));
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(AppendByte(path));  // the new file is followed too: the watch is on the name
  ASSERT_TRUE(log.WaitForCount(5));
  std::string error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(log.Events(), (Events{EventType::Created, EventType::Modified, EventType::Deleted,
                                  EventType::Created, EventType::Modified}));
}

TEST_F(FileWatcherTest, RenameOntoNameReportsRenamedAndNothingForTheTemporaryName) {
  for (const bool targetExists : {false, true}) {
    SCOPED_TRACE(targetExists ? "replacing an existing file" : "no file under the name yet");
    const std::string path = Path(targetExists ? "existing.txt" : "fresh.txt");
    const std::string temporary = path + ".tmp";
    if (targetExists) WriteFileBytes(path, "old");
    FileWatcher watcher(path);
    EventLog log;
    Token token;
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));

    // Saved as editors do: write a temporary file, move it onto the name.
    ASSERT_TRUE(CreateFile(temporary));
    ASSERT_TRUE(AppendByte(temporary));
    ASSERT_TRUE(RenameFile(temporary, path));
    ASSERT_TRUE(AppendByte(path));  // sentinel
    ASSERT_TRUE(log.WaitForCount(2));
    std::string error;
    ASSERT_TRUE(watcher.Stop(error)) << error;
    EXPECT_EQ(log.Events(), (Events{EventType::Renamed, EventType::Modified}));
  }
}

TEST_F(FileWatcherTest, SedInPlaceEditReportsOneRename) {
  if (std::system("command -v sed >/dev/null 2>&1") != 0) GTEST_SKIP() << "sed is not installed";
  const std::string path = Path("config.ini");
  WriteFileBytes(path, "a\n");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));

  const std::string command = "sed -i s/a/b/ '" + path + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(AppendByte(path));  // sentinel
  ASSERT_TRUE(log.WaitForCount(2));
  std::string error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(log.Events(), (Events{EventType::Renamed, EventType::Modified}));
  EXPECT_EQ(ReadFileBytes(path), "b\nx");
}

TEST_F(FileWatcherTest, DirectoryUnderTheNameIsReportedLikeAFile) {
  const std::string path = Path("cache");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));

  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  ASSERT_EQ(::rmdir(path.c_str()), 0);
  ASSERT_TRUE(log.WaitForCount(2));
  std::string error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(log.Events(), (Events{EventType::Created, EventType::Deleted}));
}

TEST_F(FileWatcherTest, OtherNamesInTheDirectoryReportNothing) {
  const std::string path = Path("watched.txt");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));

  // Names that differ by case, by a prefix or suffix, or only in part.
  for (const char* name : {"Watched.txt", "WATCHED.TXT", "watched.txt.bak", "watched.tx", "watched",
                           "xwatched.txt", "other.txt"}) {
    SCOPED_TRACE(name);
    const std::string other = Path(name);
    ASSERT_TRUE(CreateFile(other));
    ASSERT_TRUE(AppendByte(other));
    ASSERT_TRUE(RenameFile(other, other + ".moved"));
    ASSERT_TRUE(RemoveFile(other + ".moved"));
    ASSERT_EQ(::mkdir(other.c_str(), 0755), 0);
    ASSERT_EQ(::rmdir(other.c_str()), 0);
  }
  ASSERT_TRUE(CreateFile(path));  // sentinel
  ASSERT_TRUE(log.WaitForCount(1));
  std::string error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(log.Events(), (Events{EventType::Created}));
}

TEST_F(FileWatcherTest, RenameAwayFromTheNameReportsNothing) {
  const std::string path = Path("watched");
  WriteFileBytes(path, "content");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));

  ASSERT_TRUE(RenameFile(path, Path("elsewhere")));
  ASSERT_TRUE(CreateFile(path));  // sentinel
  ASSERT_TRUE(log.WaitForCount(1));
  std::string error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(log.Events(), (Events{EventType::Created}));
}

TEST_F(FileWatcherTest, TrailingSeparatorWatchesTheDirectoryButReportsNothing) {
  const std::string path = dir_.path().string() + "/";
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
  EXPECT_TRUE(watcher.IsWatching());
  const std::vector<int> instances = InotifyFds();
  ASSERT_EQ(instances.size(), 1U);

  ASSERT_TRUE(CreateFile(Path("a")));
  ASSERT_TRUE(AppendByte(Path("a")));
  ASSERT_TRUE(RenameFile(Path("a"), Path("b")));
  ASSERT_TRUE(RemoveFile(Path("b")));
  // The records were queued by the calls above; once the queue is empty the
  // thread has read them, and Stop waits for their dispatch.
  EXPECT_TRUE(WaitUntil([&] { return PendingBytes(instances[0]) == 0; }));
  std::string error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_TRUE(log.Events().empty());
}

TEST_F(FileWatcherTest, DeletedDirectoryEndsReportingButNotTheWatch) {
  const std::string sub = Path("sub");
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  FileWatcher watcher(sub + "/watched");
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
  const std::vector<int> instances = InotifyFds();
  ASSERT_EQ(instances.size(), 1U);

  ASSERT_EQ(::rmdir(sub.c_str()), 0);
  EXPECT_TRUE(WaitUntil([&] { return PendingBytes(instances[0]) == 0; }));
  EXPECT_TRUE(watcher.IsWatching());
  std::string error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_TRUE(log.Events().empty());
  ExpectBaseline();
}

TEST_F(FileWatcherTest, RelativePathIsResolvedWhenStartRuns) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  FileWatcher watcher("./relative.txt");
  EventLog log;
  Token token;
  SubscribeAndStart(watcher, log, token);
  std::filesystem::current_path(previous);
  ASSERT_FALSE(HasFatalFailure());

  ASSERT_TRUE(CreateFile(Path("relative.txt")));
  ASSERT_TRUE(log.WaitForCount(1));
  std::string error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(log.Events(), (Events{EventType::Created}));
}

// --- Starting and stopping ----------------------------------------------------

TEST_F(FileWatcherTest, StartFailuresNameThePathAndLeaveNothingOpen) {
  struct Case {
    const char* what;
    std::string path;
  };
  const Case cases[] = {
      {"no directory part", "settings.json"},
      {"missing directory", Path("missing/settings.json")},
      {"braces in a missing directory", Path("{}{0}/{:x}.json")},
      {"a regular file on the way", Path("plain/sub/settings.json")},
  };
  WriteFileBytes(Path("plain"), "not a directory");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileWatcher watcher(c.path);
    std::string error = kJunk;
    EXPECT_FALSE(watcher.Start(error));
    EXPECT_EQ(error, StartError(c.path, "inotify_add_watch failed!"));
    EXPECT_FALSE(watcher.IsWatching());
    // The instance opened before the watch failed is closed again at once.
    EXPECT_TRUE(InotifyFds().empty());
    EXPECT_EQ(CountOpenFds(), baselineFds_);
    EXPECT_EQ(CountThreads(), baselineThreads_);
    error = kJunk;
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, NotStarted(c.path));
  }
  ExpectBaseline();
}

TEST_F(FileWatcherTest, InotifyInitFailureIsReportedWhenDescriptorsRunOut) {
  const std::string path = Path("watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error)) << error;

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = 0;  // no new descriptor can be opened
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  error = kJunk;
  const bool started = watcher.Start(error);
  const int startErrno = errno;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_FALSE(started);
  EXPECT_EQ(startErrno, EMFILE);
  EXPECT_EQ(error, StartError(path, "inotify_init1 failed!"));
  EXPECT_FALSE(watcher.IsWatching());
  ExpectBaseline();

  // Nothing stuck: with descriptors available again the same watcher starts.
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  ExpectBaseline();
}

class WatchThreadHookGuard {
 public:
  explicit WatchThreadHookGuard(detail::WatchThreadHook hook) { detail::SetWatchThreadHook(hook); }
  ~WatchThreadHookGuard() { detail::SetWatchThreadHook(nullptr); }
  WatchThreadHookGuard(const WatchThreadHookGuard&) = delete;
  WatchThreadHookGuard& operator=(const WatchThreadHookGuard&) = delete;
};

TEST_F(FileWatcherTest, ThreadCreationFailureLeavesTheWatcherIdle) {
  const std::string path = Path("watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error)) << error;
  {
    WatchThreadHookGuard hook([] { throw std::system_error(EAGAIN, std::generic_category()); });
    error = kJunk;
    EXPECT_FALSE(watcher.Start(error));
    EXPECT_EQ(error,
              StartError(path, std::string("watch thread creation failed: ") +
                                   std::system_error(EAGAIN, std::generic_category()).what()));
    EXPECT_FALSE(watcher.IsWatching());
    ExpectBaseline();
    // The lock was released: Stop can take it and finds nothing to stop.
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, NotStarted(path));
  }
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  ExpectBaseline();
}

TEST_F(FileWatcherTest, AllocationFailureAtThreadCreationPropagatesAndLeavesTheWatcherIdle) {
  FileWatcher watcher(Path("watched"));
  std::string error = kJunk;
  {
    WatchThreadHookGuard hook([] { throw std::bad_alloc(); });
    EXPECT_THROW(static_cast<void>(watcher.Start(error)), std::bad_alloc);
  }
  EXPECT_EQ(error, kJunk);
  EXPECT_FALSE(watcher.IsWatching());
  ExpectBaseline();
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(watcher.Stop(error)) << error;
}

TEST_F(FileWatcherTest, SecondStartFailsAndTheFirstWatchGoesOn) {
  const std::string path = Path("watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
  const std::vector<int> instances = InotifyFds();

  std::string error = kJunk;
  EXPECT_FALSE(watcher.Start(error));
  EXPECT_EQ(error, AlreadyStarted(path));
  EXPECT_TRUE(watcher.IsWatching());
  EXPECT_EQ(InotifyFds(), instances);
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  ExpectBaseline();
}

TEST_F(FileWatcherTest, StopWithoutARunningWatchFails) {
  const std::string path = Path("{braces}/watched");
  FileWatcher watcher(path);
  EXPECT_FALSE(watcher.IsWatching());
  EXPECT_TRUE(InotifyFds().empty());
  std::string error = kJunk;
  EXPECT_FALSE(watcher.Stop(error));
  EXPECT_EQ(error, NotStarted(path));
  ExpectBaseline();
}

TEST_F(FileWatcherTest, SuccessLeavesTheErrorTextAlone) {
  FileWatcher watcher(Path("watched"));
  std::string error = kJunk;
  ASSERT_TRUE(watcher.Start(error));
  EXPECT_EQ(error, kJunk);
  EXPECT_TRUE(watcher.IsWatching());
  ASSERT_TRUE(watcher.Stop(error));
  EXPECT_EQ(error, kJunk);
  EXPECT_FALSE(watcher.IsWatching());
  error = kJunk;
  EXPECT_FALSE(watcher.Stop(error));
  EXPECT_EQ(error, NotStarted(Path("watched")));
}

TEST_F(FileWatcherTest, InstanceIsNonBlockingAndClosedOnExec) {
  FileWatcher watcher(Path("watched"));
  std::string error;
  ASSERT_TRUE(watcher.Start(error)) << error;
  const std::vector<int> instances = InotifyFds();
  ASSERT_EQ(instances.size(), 1U);
  // A child the host execs must not inherit the instance: it would keep the
  // watch alive past Stop and count against the per-user instance limit.
  EXPECT_NE(::fcntl(instances[0], F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(instances[0], F_GETFL) & O_NONBLOCK, 0);
  ASSERT_TRUE(watcher.Stop(error)) << error;
  ExpectBaseline();
}

TEST_F(FileWatcherTest, RestartOpensAFreshInstanceAndEventsFlowAgain) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error)) << error;
  for (std::size_t round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(watcher.Start(error)) << error;
    EXPECT_TRUE(watcher.IsWatching());
    EXPECT_EQ(InotifyFds().size(), 1U);
    EXPECT_EQ(CountThreads(), baselineThreads_ + 1);
    ASSERT_TRUE(AppendByte(path));
    ASSERT_TRUE(log.WaitForCount(round));
    ASSERT_TRUE(watcher.Stop(error)) << error;
    EXPECT_FALSE(watcher.IsWatching());
    ExpectBaseline();
  }
  EXPECT_EQ(log.Events(), (Events(3, EventType::Modified)));
}

TEST_F(FileWatcherTest, DestroyingAWatchingHandleStopsItAndKeepsTokensValid) {
  const std::string path = Path("watched");
  EventLog log;
  Token token;
  {
    FileWatcher watcher(path);
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
    ASSERT_TRUE(CreateFile(path));
    ASSERT_TRUE(log.WaitForCount(1));
  }
  ExpectBaseline();
  ASSERT_NE(token, nullptr);
  (*token)(EventType::Deleted);  // the subscriber still owns a working callback
  EXPECT_EQ(log.Events(), (Events{EventType::Created, EventType::Deleted}));
}

TEST_F(FileWatcherTest, MoveConstructionCarriesTheRunningWatch) {
  const std::string path = Path("watched");
  EventLog log;
  Token token;
  {
    std::optional<FileWatcher> original(std::in_place, path);
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(*original, log, token));
    FileWatcher moved(std::move(*original));
    EXPECT_TRUE(moved.IsWatching());
    original.reset();  // destroying the moved-from handle leaves the watch alone
    EXPECT_TRUE(moved.IsWatching());
    EXPECT_EQ(InotifyFds().size(), 1U);
    ASSERT_TRUE(CreateFile(path));
    ASSERT_TRUE(log.WaitForCount(1));

    std::string error = kJunk;
    EXPECT_FALSE(moved.Start(error));
    EXPECT_EQ(error, AlreadyStarted(path));
  }
  ExpectBaseline();
}

TEST_F(FileWatcherTest, MoveAssignmentStopsTheTargetsOwnWatchFirst) {
  const std::string targetPath = Path("target");
  const std::string sourcePath = Path("source");
  EventLog targetLog;
  EventLog sourceLog;
  Token targetToken;
  Token sourceToken;
  {
    FileWatcher target(targetPath);
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(target, targetLog, targetToken));
    FileWatcher source(sourcePath);
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(source, sourceLog, sourceToken));
    EXPECT_EQ(InotifyFds().size(), 2U);

    target = std::move(source);
    EXPECT_EQ(InotifyFds().size(), 1U);
    EXPECT_EQ(CountThreads(), baselineThreads_ + 1);
    EXPECT_TRUE(target.IsWatching());

    ASSERT_TRUE(CreateFile(targetPath));  // the old watch is gone
    ASSERT_TRUE(CreateFile(sourcePath));
    ASSERT_TRUE(sourceLog.WaitForCount(1));
    std::string error = kJunk;
    EXPECT_FALSE(target.Start(error));
    EXPECT_EQ(error, AlreadyStarted(sourcePath));

    // A moved-from handle takes a new record by assignment.
    source = FileWatcher(targetPath);
    EXPECT_FALSE(source.IsWatching());
    ASSERT_TRUE(source.Start(error)) << error;
    EXPECT_EQ(InotifyFds().size(), 2U);
  }
  ExpectBaseline();
  EXPECT_TRUE(targetLog.Events().empty());
  EXPECT_EQ(sourceLog.Events(), (Events{EventType::Created}));
}

TEST_F(FileWatcherTest, SelfMoveAssignmentKeepsWatching) {
  const std::string path = Path("watched");
  {
    FileWatcher watcher(path);
    EventLog log;
    Token token;
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
    FileWatcher& alias = watcher;
    watcher = std::move(alias);
    EXPECT_TRUE(watcher.IsWatching());
    ASSERT_TRUE(CreateFile(path));
    ASSERT_TRUE(log.WaitForCount(1));
  }
  ExpectBaseline();
}

TEST_F(FileWatcherTest, RacingStartsAndStopsLeaveNothingBehind) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error)) << error;

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
    const std::size_t seen = log.Count();
    ASSERT_TRUE(AppendByte(path));
    EXPECT_TRUE(log.WaitForCount(seen + 1));
    ASSERT_TRUE(watcher.Stop(error)) << error;
    ++stops;
  }
  EXPECT_EQ(starts.load(), stops.load());
  ExpectBaseline();
  ASSERT_TRUE(watcher.Start(error)) << error;
  const std::size_t before = log.Count();
  ASSERT_TRUE(AppendByte(path));
  EXPECT_TRUE(log.WaitForCount(before + 1));
  ASSERT_TRUE(watcher.Stop(error)) << error;
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
      if (calls++ == 0) {
        entered = true;
        gate.Wait();
        finished = true;
      }
    };
  }
};

TEST_F(FileWatcherTest, StopWhileACallbackRunsReturnsOnlyAfterIt) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  BlockingCallback blocking;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(blocking.Callback(), token, error)) << error;
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(WaitUntil([&] { return blocking.entered.load(); }));

  std::atomic<bool> stopResult{false};
  std::atomic<bool> finishedWhenStopReturned{false};
  std::thread stopper([&] {
    std::string stopError;
    stopResult = watcher.Stop(stopError);
    finishedWhenStopReturned = blocking.finished.load();
  });
  ASSERT_TRUE(WaitUntil([&] { return !watcher.IsWatching(); }));
  // Give a Stop that does not wait every chance to return early.
  std::this_thread::sleep_for(20ms);
  // The instance is closed only after the join, so the thread, still
  // running, cannot read a closed descriptor number that something else of
  // the process may have reused meanwhile.
  EXPECT_EQ(InotifyFds().size(), 1U);
  blocking.gate.Open();
  stopper.join();
  EXPECT_TRUE(stopResult.load());
  EXPECT_TRUE(finishedWhenStopReturned.load());
  ExpectBaseline();
}

TEST_F(FileWatcherTest, SecondConcurrentStopFailsWhileTheFirstJoins) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  BlockingCallback blocking;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(blocking.Callback(), token, error)) << error;
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(WaitUntil([&] { return blocking.entered.load(); }));

  std::future<bool> first = std::async(std::launch::async, [&] {
    std::string stopError;
    return watcher.Stop(stopError);
  });
  ASSERT_TRUE(WaitUntil([&] { return !watcher.IsWatching(); }));
  error = kJunk;
  EXPECT_FALSE(watcher.Stop(error));  // the first Stop is still joining
  EXPECT_EQ(error, NotStarted(path));
  EXPECT_FALSE(blocking.finished.load());
  blocking.gate.Open();
  EXPECT_TRUE(first.get());
  ExpectBaseline();
}

TEST_F(FileWatcherTest, StartDuringAnotherThreadsStopJoinKeepsTheNewWatch) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  BlockingCallback blocking;
  EventLog log;
  Token blockingToken;
  Token logToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(blocking.Callback(), blockingToken, error)) << error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), logToken, error)) << error;
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(WaitUntil([&] { return blocking.entered.load(); }));

  std::future<bool> stopping = std::async(std::launch::async, [&] {
    std::string stopError;
    return watcher.Stop(stopError);
  });
  ASSERT_TRUE(WaitUntil([&] { return !watcher.IsWatching(); }));
  ASSERT_TRUE(watcher.Start(error)) << error;  // lands while the old thread is being joined
  blocking.gate.Open();

  if (stopping.wait_for(30s) != std::future_status::ready) {
    ADD_FAILURE() << "the earlier Stop never returned";
    std::string ignored;
    static_cast<void>(watcher.Stop(ignored));  // frees the stuck Stop
  }
  EXPECT_TRUE(stopping.get());
  // The earlier Stop closed only the old instance and left the new watch running.
  EXPECT_TRUE(watcher.IsWatching());
  EXPECT_EQ(InotifyFds().size(), 1U);
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == baselineThreads_ + 1; }));
  ASSERT_TRUE(log.WaitForCount(1));  // the batch the old thread was dispatching
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(log.WaitForCount(2));  // delivered by the new watch
  ASSERT_TRUE(watcher.Stop(error)) << error;
  ExpectBaseline();
}

TEST_F(FileWatcherTest, StopFromItsOwnCallbackIsRefusedAndChangesNothing) {
  const std::string path = Path("watched");
  FileWatcher watcher(path);
  EventLog log;
  std::atomic<int> calls{0};
  std::mutex resultMutex;
  std::optional<bool> stopResult;
  std::string stopError = kJunk;
  Token stopperToken;
  Token logToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [&](EventType) {
        if (calls++ != 0) return;
        std::string localError = kJunk;
        const bool result = watcher.Stop(localError);
        std::lock_guard<std::mutex> lock(resultMutex);
        stopResult = result;
        stopError = localError;
      },
      stopperToken, error))
      << error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), logToken, error)) << error;
  ASSERT_TRUE(watcher.Start(error)) << error;

  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));
  {
    std::lock_guard<std::mutex> lock(resultMutex);
    ASSERT_TRUE(stopResult.has_value());
    EXPECT_FALSE(*stopResult);
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
    ASSERT_TRUE(watcher->SubscribeOnFileChanged(later.Callback(), laterToken, error));
    ASSERT_TRUE(watcher->Start(error)) << error;
    ASSERT_TRUE(CreateFile(path));
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    // The rest of that event's callbacks still ran; then the thread ended and
    // took the instance with it.
    ASSERT_TRUE(later.WaitForCount(1));
    ExpectBaseline();
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
  std::string pthreadName;
  std::string commName;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [&](EventType) {
        char name[16] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        const std::string comm =
            ReadFileBytes("/proc/self/task/" + std::to_string(::gettid()) + "/comm");
        std::lock_guard<std::mutex> lock(mutex);
        pthreadName = name;
        commName = comm;
      },
      token, error))
      << error;
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !commName.empty();
  }));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(pthreadName, "FileWatcher");
  EXPECT_EQ(commName, "FileWatcher\n");
}

TEST(FileWatcherToStringTest, NamesTheFourKindsAndUnknownForEveryOtherByte) {
  for (int value = 0; value <= 255; ++value) {
    SCOPED_TRACE(value);
    const auto type = static_cast<EventType>(value);
    const char* expected = "Unknown";
    if (value == 0) expected = "Modified";
    if (value == 1) expected = "Created";
    if (value == 2) expected = "Deleted";
    if (value == 3) expected = "Renamed";
    ASSERT_NE(FileWatcher::ToString(type), nullptr);
    EXPECT_STREQ(FileWatcher::ToString(type), expected);
  }
}

// --- Subscriptions --------------------------------------------------------------

TEST_F(FileWatcherTest, SubscribeClearsTheErrorOnAConstWatcher) {
  FileWatcher watcher(Path("watched"));
  const FileWatcher& constWatcher = watcher;
  EventLog log;
  Token token;
  std::string error = kJunk;
  EXPECT_TRUE(constWatcher.SubscribeOnFileChanged(log.Callback(), token, error));
  EXPECT_TRUE(error.empty());
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token.use_count(), 1);  // the watcher holds no strong reference
  error = kJunk;
  EXPECT_TRUE(constWatcher.UnsubscribeOnFileChanged(token, error));
  EXPECT_TRUE(error.empty());
}

TEST_F(FileWatcherTest, EmptyHandlerIsRefusedAndTheTokenKept) {
  const std::string path = Path("{}watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
  const Token before = token;

  error = kJunk;
  EXPECT_FALSE(watcher.SubscribeOnFileChanged(Handler(), token, error));
  EXPECT_EQ(error, "Refused to subscribe an empty OnFileChanged event handler on '" + path + "'!");
  EXPECT_EQ(token, before);

  // Nothing empty made it into the list: events still reach the subscriber.
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(log.WaitForCount(2));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(log.Events(), (Events{EventType::Created, EventType::Modified}));
}

// Starts `watcher`, appends to `path` once, waits until `sentinel` (the last
// subscriber) has seen it, and stops, so every subscriber has been called.
void DeliverOneEvent(FileWatcher& watcher, const std::string& path, const EventLog& sentinel) {
  std::string error;
  const std::size_t before = sentinel.Count();
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(sentinel.WaitForCount(before + 1));
  ASSERT_TRUE(watcher.Stop(error)) << error;
}

TEST_F(FileWatcherTest, SameFunctionSubscribedTwiceIsCalledTwiceInOrder) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  std::mutex mutex;
  std::vector<int> calls;
  auto make = [&](int id) {
    return [&, id](EventType) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(id);
    };
  };
  const Handler twice = make(1);
  Token first;
  Token middle;
  Token second;
  EventLog sentinel;
  Token sentinelToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(twice, first, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(make(2), middle, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(twice, second, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(sentinel.Callback(), sentinelToken, error));
  EXPECT_NE(first, second);
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 1}));
}

TEST_F(FileWatcherTest, ResubscribingWithAHeldTokenReleasesTheEarlierHandler) {
  for (const bool copyKept : {false, true}) {
    SCOPED_TRACE(copyKept ? "a copy of the earlier token is kept" : "the token was the only owner");
    const std::string path = Path(copyKept ? "kept" : "released");
    ASSERT_TRUE(CreateFile(path));
    FileWatcher watcher(path);
    EventLog earlier;
    EventLog later;
    EventLog sentinel;
    Token token;
    Token sentinelToken;
    std::string error;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(earlier.Callback(), token, error));
    const std::weak_ptr<Handler> earlierHandler = token;
    Token copy;
    if (copyKept) copy = token;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(later.Callback(), token, error));
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(sentinel.Callback(), sentinelToken, error));
    EXPECT_EQ(earlierHandler.expired(), !copyKept);
    ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
    EXPECT_EQ(earlier.Count(), copyKept ? 1U : 0U);
    EXPECT_EQ(later.Count(), 1U);
  }
}

TEST_F(FileWatcherTest, ReleasedTokenIsNoLongerCalled) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  EventLog released;
  EventLog sentinel;
  Token token;
  Token sentinelToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(released.Callback(), token, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(sentinel.Callback(), sentinelToken, error));
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
  token.reset();
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
  EXPECT_EQ(released.Count(), 1U);
  EXPECT_EQ(sentinel.Count(), 2U);
}

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
    std::vector<int> calledAfter;  // live subscribers still called afterwards
    bool releasedLeft;             // an empty-token unsubscribe still finds one
  };
  const Case cases[] = {
      {"own entry first", 2, {}, 0, true, {1}, false},
      {"own entry last", 3, {}, 2, true, {0, 1}, false},
      {"released entry before the own one", 3, {0}, 1, true, {2}, false},
      {"several released entries before the own one", 4, {0, 1}, 3, true, {2}, false},
      {"released entry after the own one is not reached", 3, {2}, 0, true, {1}, true},
      {"empty token drops every released entry", 3, {0, 2}, kEmptyToken, true, {1}, false},
      {"empty token without released entries", 2, {}, kEmptyToken, false, {0, 1}, false},
      {"foreign token with a released entry", 2, {0}, kForeignToken, false, {1}, false},
      {"foreign token", 2, {}, kForeignToken, false, {0, 1}, false},
      {"empty list, foreign token", 0, {}, kForeignToken, false, {}, false},
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
    std::vector<EventLog> logs(static_cast<std::size_t>(c.subscribers));
    std::vector<Token> tokens(logs.size());
    for (std::size_t i = 0; i < logs.size(); ++i) {
      ASSERT_TRUE(watcher.SubscribeOnFileChanged(logs[i].Callback(), tokens[i], error));
    }
    for (const int index : c.released) tokens[static_cast<std::size_t>(index)].reset();
    Token target;
    if (c.target >= 0) target = tokens[static_cast<std::size_t>(c.target)];
    if (c.target == kForeignToken) target = foreign;

    error = kJunk;
    EXPECT_EQ(watcher.UnsubscribeOnFileChanged(target, error), c.expected);
    EXPECT_EQ(error, c.expected ? "" : NotFound(path));

    EventLog sentinel;
    Token sentinelToken;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(sentinel.Callback(), sentinelToken, error));
    ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
    for (std::size_t i = 0; i < logs.size(); ++i) {
      SCOPED_TRACE(i);
      const bool called = std::find(c.calledAfter.begin(), c.calledAfter.end(),
                                    static_cast<int>(i)) != c.calledAfter.end();
      EXPECT_EQ(logs[i].Count(), called ? 1U : 0U);
    }
    EXPECT_EQ(watcher.UnsubscribeOnFileChanged(nullptr, error), c.releasedLeft);
    if (c.target >= 0) {
      // The own entry is gone: a second try finds nothing.
      EXPECT_FALSE(watcher.UnsubscribeOnFileChanged(target, error));
      EXPECT_EQ(error, NotFound(path));
    }
  }
}

TEST_F(FileWatcherTest, UnsubscribeKeepsTheOrderOfTheOthers) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  std::mutex mutex;
  std::vector<int> calls;
  std::vector<Token> tokens(5);
  std::string error;
  for (int id = 0; id < 5; ++id) {
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(
        [&, id](EventType) {
          std::lock_guard<std::mutex> lock(mutex);
          calls.push_back(id);
        },
        tokens[static_cast<std::size_t>(id)], error));
  }
  EventLog sentinel;
  Token sentinelToken;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(sentinel.Callback(), sentinelToken, error));
  // A copy of the token matches its entry just as the token does.
  ASSERT_TRUE(watcher.UnsubscribeOnFileChanged(Token(tokens[1]), error)) << error;
  ASSERT_TRUE(watcher.UnsubscribeOnFileChanged(std::move(tokens[3]), error)) << error;
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(calls, (std::vector<int>{0, 2, 4}));
}

TEST_F(FileWatcherTest, HandlerUnsubscribingDuringADispatchStillLetsItFinish) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  Token first;
  Token second;
  EventLog firstLog;
  EventLog secondLog;
  EventLog sentinel;
  Token sentinelToken;
  std::atomic<int> unsubscribed{0};
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [&](EventType type) {
        firstLog.Add(type);
        std::string localError;
        // The list lock is free while callbacks run: no deadlock.
        if (watcher.UnsubscribeOnFileChanged(second, localError)) ++unsubscribed;
        if (watcher.UnsubscribeOnFileChanged(first, localError)) ++unsubscribed;
      },
      first, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(secondLog.Callback(), second, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(sentinel.Callback(), sentinelToken, error));
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
  EXPECT_EQ(unsubscribed.load(), 2);
  EXPECT_EQ(firstLog.Count(), 1U);
  EXPECT_EQ(secondLog.Count(), 1U);  // already in this dispatch's snapshot
  EXPECT_EQ(sentinel.Count(), 2U);
}

TEST_F(FileWatcherTest, HandlerSubscribedDuringADispatchIsCalledFromTheNextEvent) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  EventLog added;
  Token addedToken;  // written on the watch thread, read after Stop joined it
  Token adderToken;
  EventLog sentinel;
  Token sentinelToken;
  std::atomic<bool> subscribed{false};
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [&](EventType) {
        if (subscribed) return;
        std::string localError;
        subscribed = watcher.SubscribeOnFileChanged(added.Callback(), addedToken, localError);
      },
      adderToken, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(sentinel.Callback(), sentinelToken, error));
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
  EXPECT_TRUE(subscribed.load());
  EXPECT_EQ(added.Count(), 0U);
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, sentinel));
  EXPECT_EQ(added.Count(), 1U);
}

TEST_F(FileWatcherTest, ThrowingHandlersAreSkippedAndTheWatchGoesOn) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  Token throwsStd;
  Token throwsOther;
  EventLog log;
  Token logToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [](EventType) { throw std::runtime_error("handler failed"); }, throwsStd, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged([](EventType) { throw 42; }, throwsOther, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), logToken, error));
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(log.WaitForCount(1));
  EXPECT_TRUE(watcher.IsWatching());
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(log.WaitForCount(2));  // the thread survived the first dispatch
  ASSERT_TRUE(watcher.Stop(error)) << error;
  ExpectBaseline();
}

TEST_F(FileWatcherTest, SubscriptionsSurviveStopAndAreMovedWithTheWatcher) {
  const std::string path = Path("watched");
  ASSERT_TRUE(CreateFile(path));
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, log));
  FileWatcher moved(std::move(watcher));
  ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(moved, path, log));
  EXPECT_TRUE(moved.UnsubscribeOnFileChanged(token, error)) << error;
  EXPECT_EQ(log.Count(), 2U);
}

}  // namespace
}  // namespace TalvornCommon
