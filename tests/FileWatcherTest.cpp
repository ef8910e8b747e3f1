// FileWatcher against real file operations in a fresh directory per test, and
// its log lines read back through a capturing spdlog sink.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/FileWatcher.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon {

void PrintTo(FileWatcher::EventType type, std::ostream* out) {
  *out << FileWatcher::ToString(type);
}

namespace {

using namespace std::chrono_literals;
using namespace testing;
using EventType = FileWatcher::EventType;
using Events = std::vector<EventType>;
using Handler = FileWatcher::OnFileChangedHandler;
using Token = std::shared_ptr<Handler>;

constexpr const char* kJunk = "junk that must be replaced or kept";

std::string AlreadyStarted(const std::string& path) {
  return "A FileWatcher on '" + path + "' has already been started; start aborted!";
}
std::string NotStarted(const std::string& path) {
  return "A FileWatcher on '" + path + "' has not been started yet; stop aborted!";
}
std::string NotFound(const std::string& path) {
  return "Failed to find the OnFileChanged event handler on '" + path + "'!";
}

// The events one subscriber received, in order; safe to read from any thread.
class EventLog {
 public:
  Handler Callback() {
    return [this](EventType type) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(type);
    };
  }
  Events Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool WaitForCount(std::size_t count) const {
    return WaitUntil([&] { return Get().size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  Events events_;
};

// Each operation is one system call on the directory entry, so it causes
// exactly one record: IN_CREATE, IN_MODIFY, IN_DELETE, IN_MOVED_FROM + IN_MOVED_TO.
bool CreateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  return fd >= 0 && ::close(fd) == 0;
}
bool AppendByte(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  const bool written = fd >= 0 && ::write(fd, "x", 1) == 1;
  return fd >= 0 && ::close(fd) == 0 && written;
}
bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }
bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// The descriptors of this process that refer to inotify instances.
std::vector<int> InotifyFds() {
  std::vector<int> fds;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code linkError;
    if (std::filesystem::read_symlink(entry.path(), linkError) == "anon_inode:inotify") {
      fds.push_back(std::stoi(entry.path().filename().string()));
    }
  }
  return fds;
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

  static void SubscribeAndStart(FileWatcher& watcher, EventLog& log, Token& token) {
    std::string error = kJunk;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error)) << error;
    EXPECT_EQ(error, "");
    ASSERT_TRUE(watcher.Start(error)) << error;
  }

  // Starts, appends to `path`, waits until `last` (the last subscriber) has
  // seen it and stops, so every subscriber has been called once.
  static void DeliverOneEvent(FileWatcher& watcher, const std::string& path, const EventLog& last) {
    std::string error;
    const std::size_t before = last.Get().size();
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

// Each case watches `name` in a directory of its own. Once the instance's
// queue is seen empty the thread has read every record, and Stop waits for
// their dispatch, so nothing else can still arrive.
TEST_F(FileWatcherTest, FileOperationsOnTheNameAreReportedAndOthersAreNot) {
  using Operate = std::function<bool(const std::string&)>;
  const Operate lifeCycle = [](const std::string& p) {
    return CreateFile(p) && AppendByte(p) && RemoveFile(p) && CreateFile(p) && AppendByte(p);
  };
  // Saved as editors do; nothing is reported for the temporary name.
  const Operate saveThroughTemporary = [](const std::string& p) {
    return CreateFile(p + ".tmp") && AppendByte(p + ".tmp") && RenameFile(p + ".tmp", p);
  };
  const Operate sed = [](const std::string& p) {
    return std::system(("sed -i s/a/b/ '" + p + "'").c_str()) == 0 && ReadFileBytes(p) == "b\n";
  };
  const Operate directory = [](const std::string& p) {
    return ::mkdir(p.c_str(), 0755) == 0 && ::rmdir(p.c_str()) == 0;
  };
  const Operate renameAway = [](const std::string& p) { return RenameFile(p, p + ".old"); };
  const Operate otherNames = [&](const std::string& p) {
    const std::string dir = std::filesystem::path(p).parent_path().string() + "/";
    for (const char* name :
         {"Watched.txt", "WATCHED.TXT", "watched.txt.bak", "watched.tx", "xwatched.txt", "other"}) {
      const std::string other = dir + name;
      if (!CreateFile(other) || !AppendByte(other) || !RenameFile(other, other + ".mv") ||
          !RemoveFile(other + ".mv") || !directory(other)) {
        return false;
      }
    }
    return true;
  };
  const Operate removeDirectory = [](const std::string& p) {
    return ::rmdir(std::filesystem::path(p).parent_path().c_str()) == 0;
  };
  using enum EventType;
  struct Case {
    const char* what;
    std::string name;
    bool fileExists;
    Operate operate;
    Events expected;
  };
  const std::string w = "watched.txt";
  const Case cases[] = {
      {"life cycle", w, false, lifeCycle, {Created, Modified, Deleted, Created, Modified}},
      {"renamed onto no file", w, false, saveThroughTemporary, {Renamed}},
      {"renamed onto the file", w, true, saveThroughTemporary, {Renamed}},
      {"sed -i", w, true, sed, {Renamed}},
      {"directory under the name", w, false, directory, {Created, Deleted}},
      {"renamed away from the name", w, true, renameAway, {}},
      {"other names and a name differing in case", w, false, otherNames, {}},
      {"trailing separator: no name",
       "",
       false,
       [&](const std::string& p) { return lifeCycle(p + "a") && saveThroughTemporary(p + "a"); },
       {}},
      {"deleted directory", "sub/watched.txt", false, removeDirectory, {}},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Path(std::to_string(number++)) + "/" + c.name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (c.fileExists) WriteFileBytes(path, "a\n");
    FileWatcher watcher(path);
    EventLog log;
    Token token;
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(watcher, log, token));
    const std::vector<int> instances = InotifyFds();
    ASSERT_EQ(instances.size(), 1U);
    ASSERT_TRUE(c.operate(path));
    EXPECT_TRUE(WaitUntil([&] {
      int pending = -1;
      return ::ioctl(instances[0], FIONREAD, &pending) == 0 && pending == 0;
    }));
    EXPECT_TRUE(watcher.IsWatching());
    std::string error;
    ASSERT_TRUE(watcher.Stop(error)) << error;
    EXPECT_EQ(log.Get(), c.expected);
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

// Thread creation cannot be made to fail for real; the hook throws where
// std::thread would. An allocation failure passes through unchanged.
TEST_F(FileWatcherTest, StartFailuresNameThePathAndLeaveNothingOpen) {
  struct Case {
    std::string path;
    bool noDescriptors;
    detail::WatchThreadHook hook;
    std::string reason;  // empty: Start throws std::bad_alloc
  };
  const std::string path = Path("watched");
  const std::string addWatch = "inotify_add_watch failed!";
  const Case cases[] = {
      {"settings.json", false, nullptr, addWatch},
      {Path("missing/settings.json"), false, nullptr, addWatch},
      {Path("{}{0}/{:x}.json"), false, nullptr, addWatch},
      {Path("plain/sub/settings.json"), false, nullptr, addWatch},
      {path, true, nullptr, "inotify_init1 failed!"},
      {path, false, [] { throw std::system_error(EAGAIN, std::generic_category()); },
       std::string("watch thread creation failed: ") +
           std::system_error(EAGAIN, std::generic_category()).what()},
      {path, false, [] { throw std::bad_alloc(); }, ""},
  };
  WriteFileBytes(Path("plain"), "not a directory");
  ASSERT_TRUE(CreateFile(path));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.reason);
    FileWatcher watcher(c.path);
    EventLog log;
    Token token;
    std::string error;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 0;  // no new descriptor can be opened
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, c.noDescriptors ? &lowered : &saved), 0);
    detail::SetWatchThreadHook(c.hook);
    error = kJunk;
    bool started = false;
    bool threw = false;
    try {
      started = watcher.Start(error);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    detail::SetWatchThreadHook(nullptr);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_FALSE(started);
    EXPECT_EQ(threw, c.reason.empty());
    EXPECT_EQ(error, c.reason.empty() ? kJunk
                                      : "Encountered an error while starting a FileWatcher on '" +
                                            c.path + "': " + c.reason);
    EXPECT_FALSE(watcher.IsWatching());
    ExpectBaseline();
    // The lock was released and nothing is stuck: Stop finds nothing to stop,
    // and the watcher starts once the cause is gone.
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, NotStarted(c.path));
    if (c.path == path) {
      ASSERT_NO_FATAL_FAILURE(DeliverOneEvent(watcher, path, log));
    }
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
    ASSERT_TRUE(AppendByte(path));
    ASSERT_TRUE(log.WaitForCount(round));
    error = kJunk;
    ASSERT_TRUE(watcher.Stop(error));
    EXPECT_EQ(error, kJunk);
    EXPECT_FALSE(watcher.IsWatching());
    ExpectBaseline();
  }
  EXPECT_EQ(log.Get(), (Events(3, EventType::Modified)));
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
  EXPECT_TRUE(targetLog.Get().empty());
  // Tokens outlive the watcher and still own a working callback.
  (*sourceToken)(EventType::Deleted);
  EXPECT_EQ(sourceLog.Get(), (Events{EventType::Created, EventType::Deleted}));
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
  if (watcher.IsWatching()) {  // whatever state the race left must be a working one
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

// A watch whose first callback blocks until `release_` is set, and a Stop on
// another thread left joining it.
class FileWatcherStopTest : public FileWatcherTest {
 protected:
  std::future<bool> StopWhileTheCallbackBlocks() {
    EXPECT_TRUE(CreateFile(path_));
    std::string error;
    EXPECT_TRUE(watcher_.SubscribeOnFileChanged(
        [this](EventType) {
          if (calls_++ != 0) return;
          static_cast<void>(release_.get_future().wait_for(30s));
          finished_ = true;
        },
        blockingToken_, error));
    SubscribeAndStart(watcher_, log_, logToken_);
    EXPECT_TRUE(AppendByte(path_));
    EXPECT_TRUE(WaitUntil([&] { return calls_.load() > 0; }));
    // True only if the callback had finished when Stop returned true.
    std::future<bool> stopping = std::async(std::launch::async, [&] {
      std::string stopError;
      return watcher_.Stop(stopError) && finished_.load();
    });
    EXPECT_TRUE(WaitUntil([&] { return !watcher_.IsWatching(); }));
    return stopping;
  }

  const std::string path_ = Path("watched");
  std::promise<void> release_;
  std::atomic<int> calls_{0};
  std::atomic<bool> finished_{false};
  EventLog log_;
  Token blockingToken_;
  Token logToken_;
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
  release_.set_value();
  EXPECT_TRUE(stopping.get());
  ExpectBaseline();
}

TEST_F(FileWatcherStopTest, StartDuringAnotherThreadsStopKeepsTheNewWatch) {
  std::future<bool> stopping = StopWhileTheCallbackBlocks();
  std::string error;
  ASSERT_TRUE(watcher_.Start(error)) << error;  // lands while the old thread is being joined
  release_.set_value();
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

// A callback cannot join its own thread: Stop is refused and the watch goes
// on; destruction or assignment hands the watch to the thread, which ends it.
TEST_F(FileWatcherTest, OwnCallbackRunsOnTheFileWatcherThreadAndCannotStopIt) {
  enum Action { kStop, kDestroy, kAssign };
  for (const Action action : {kStop, kDestroy, kAssign}) {
    SCOPED_TRACE(action);
    const std::string path = Path(std::to_string(action));
    std::optional<FileWatcher> watcher(std::in_place, path);
    std::mutex mutex;
    std::optional<bool> stopResult;
    std::string stopError = kJunk;
    std::string threadName;
    EventLog later;
    Token actor;
    Token laterToken;
    std::string error;
    ASSERT_TRUE(watcher->SubscribeOnFileChanged(
        [&](EventType) {
          std::lock_guard<std::mutex> lock(mutex);
          if (!threadName.empty()) return;
          threadName = ReadFileBytes("/proc/self/task/" + std::to_string(::gettid()) + "/comm");
          if (action == kStop) stopResult = watcher->Stop(stopError);
          if (action == kDestroy) watcher.reset();
          if (action == kAssign) *watcher = FileWatcher(Path("replacement"));
        },
        actor, error));
    ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(*watcher, later, laterToken));
    ASSERT_TRUE(CreateFile(path));
    if (action == kStop) {
      ASSERT_TRUE(later.WaitForCount(1));  // the rest of that event's callbacks still run
    }
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return !threadName.empty();
    }));
    {
      std::lock_guard<std::mutex> lock(mutex);  // the callback has returned
      EXPECT_EQ(threadName, "FileWatcher\n");
    }
    if (action == kStop) {
      EXPECT_EQ(stopResult, false);
      EXPECT_EQ(stopError, "A FileWatcher on '" + path +
                               "' cannot be stopped from its own OnFileChanged event handler; "
                               "stop aborted!");
      EXPECT_TRUE(watcher->IsWatching());
      ASSERT_TRUE(AppendByte(path));
      ASSERT_TRUE(later.WaitForCount(2));  // the watch went on
      ASSERT_TRUE(watcher->Stop(error)) << error;
    }
    ExpectBaseline();
    // Once a callback has destroyed its watcher, its owner may be freeing
    // what the other callbacks capture: none of them runs any more.
    if (action != kStop) {
      EXPECT_TRUE(later.Get().empty());
    }
    if (action == kAssign) {
      EXPECT_FALSE(watcher->IsWatching());
      ASSERT_TRUE(watcher->Start(error)) << error;  // the new record works
      ASSERT_TRUE(watcher->Stop(error)) << error;
    }
  }
}

// Records already read with the one whose callback destroys the watcher are
// not dispatched either.
TEST_F(FileWatcherTest, DestroyedFromItsOwnCallbackDispatchesNoMoreOfItsBatch) {
  const std::string path = Path("watched");
  std::optional<FileWatcher> watcher(std::in_place, path);
  std::atomic<int> actorCalls{0};
  std::promise<void> queued;
  std::shared_future<void> queuedFuture = queued.get_future().share();
  EventLog later;
  Token actor;
  Token laterToken;
  std::string error;
  ASSERT_TRUE(watcher->SubscribeOnFileChanged(
      [&](EventType) {
        if (++actorCalls == 1) {
          // Hold the thread until the next changes wait in the queue, so
          // that they come back from one read.
          queuedFuture.wait_for(std::chrono::seconds(30));
          return;
        }
        watcher.reset();
      },
      actor, error));
  ASSERT_NO_FATAL_FAILURE(SubscribeAndStart(*watcher, later, laterToken));
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(WaitUntil([&] { return actorCalls.load() == 1; }));
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(RemoveFile(path));
  queued.set_value();
  ExpectBaseline();
  EXPECT_EQ(actorCalls.load(), 2);
  EXPECT_EQ(later.Get(), (Events{EventType::Created}));
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
  const Token foreign = std::make_shared<Handler>([](EventType) {});
  std::string error;
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

// --- Log lines ----------------------------------------------------------------

struct Line {
  std::string text;
  spdlog::level::level_enum level;
  std::string file;
  int line;
  bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* out) {
  *out << "{\"" << line.text << "\", " << spdlog::level::to_string_view(line.level).data() << ", "
       << line.file << ":" << line.line << "}";
}

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<Line> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    lines_.push_back(Line{
        std::string(message.payload.data(), message.payload.size()), message.level,
        message.source.filename != nullptr ? message.source.filename : "", message.source.line});
  }
  void flush_() override {}

 private:
  std::vector<Line> lines_;
};

Line Info(const std::string& text, int line) {
  return {text, spdlog::level::info, "FileWatcher", line};
}
Line Error(const std::string& text, int line) {
  return {text, spdlog::level::err, "FileWatcher", line};
}

// Lines go to the default logger of the moment; the fixture installs a
// capturing one, and tests may replace it.
class FileWatcherLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = spdlog::default_logger();
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
  }
  void TearDown() override { spdlog::set_default_logger(previous_); }

  // Subscribes, unsubscribes, and unsubscribes the same token again (failing);
  // returns the lines that should make.
  static std::vector<Line> SubscribeUnsubscribeTwice(const std::string& path) {
    const FileWatcher watcher(path);
    EventLog log;
    Token token;
    std::string error;
    EXPECT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
    EXPECT_TRUE(watcher.UnsubscribeOnFileChanged(token, error));
    EXPECT_FALSE(watcher.UnsubscribeOnFileChanged(token, error));
    const Line unsubscribing =
        Info("Unsubscribing from the OnFileChanged event on '" + path + "'...", 295);
    return {Info("Subscribing to the OnFileChanged event on '" + path + "'...", 255),
            Info("Successfully subscribed to the OnFileChanged event on '" + path + "'!", 266),
            unsubscribing,
            Info("Successfully unsubscribed from the OnFileChanged event on '" + path + "'!", 320),
            unsubscribing,
            Error("Failed to find the OnFileChanged event handler on '" + path + "'!", 314)};
  }

  std::shared_ptr<spdlog::logger> previous_;
  std::shared_ptr<CaptureSink> sink_ = std::make_shared<CaptureSink>();
  TempDir dir_;
};

// Braces in a path are content, never format syntax.
TEST_F(FileWatcherLogTest, SubscriptionLinesCarryTextLevelFileAndLineAboveTheCutoff) {
  for (const std::string name : {"settings.json", "{}", "{0}{:x}{", "}}{{"}) {
    SCOPED_TRACE(name);
    const std::vector<Line> expected = SubscribeUnsubscribeTwice(dir_.Join(name));
    EXPECT_EQ(sink_->Take(), expected);
  }
  const std::string path = dir_.Join("watched");
  for (const auto cutoff : {spdlog::level::err, spdlog::level::critical, spdlog::level::off}) {
    SCOPED_TRACE(cutoff);
    spdlog::default_logger()->set_level(cutoff);
    const std::vector<Line> all = SubscribeUnsubscribeTwice(path);
    EXPECT_EQ(sink_->Take(),
              cutoff == spdlog::level::err ? std::vector<Line>{all.back()} : std::vector<Line>{});
  }
}

TEST_F(FileWatcherLogTest, DefaultLoggerIsLookedUpAtEachCall) {
  const std::string path = dir_.Join("watched");
  auto replacement = std::make_shared<CaptureSink>();
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("replacement", replacement));
  const std::vector<Line> expected = SubscribeUnsubscribeTwice(path);
  EXPECT_EQ(replacement->Take(), expected);
  EXPECT_TRUE(sink_->Take().empty());
  // A host that removes the default logger gets no lines and no failure.
  spdlog::set_default_logger(nullptr);
  SubscribeUnsubscribeTwice(path);
}

// An empty callback is refused, keeping the token; a throwing one is logged
// (with what() for a std::exception), the next one still runs and the watch
// goes on. Start, Stop and their failures write no lines.
TEST_F(FileWatcherLogTest, CallbackFailuresAreLoggedAtErrorLevel) {
  const std::string path = dir_.Join("{}watched");
  FileWatcher watcher(path);
  Token throwsStd;
  Token throwsOther;
  EventLog log;
  Token logToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [](EventType) { throw std::runtime_error("bad {} config"); }, throwsStd, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged([](EventType) { throw 7; }, throwsOther, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), logToken, error));
  const Token before = logToken;
  sink_->Take();
  EXPECT_FALSE(watcher.SubscribeOnFileChanged(Handler(), logToken, error));
  EXPECT_EQ(logToken, before);
  EXPECT_EQ(error, "Refused to subscribe an empty OnFileChanged event handler on '" + path + "'!");
  const std::vector<Line> refused = {
      Info("Subscribing to the OnFileChanged event on '" + path + "'...", 255), Error(error, 258)};
  EXPECT_EQ(sink_->Take(), refused);
  ASSERT_TRUE(watcher.Start(error)) << error;
  EXPECT_FALSE(watcher.Start(error));
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(log.WaitForCount(2));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_FALSE(watcher.Stop(error));
  EXPECT_FALSE(FileWatcher("no-directory-part").Start(error));
  const Line threw = Error(
      "An OnFileChanged event handler on '" + path + "' threw an exception: bad {} config", 345);
  const Line threwUnknown =
      Error("An OnFileChanged event handler on '" + path + "' threw an unknown exception!", 347);
  EXPECT_EQ(sink_->Take(), (std::vector<Line>{threw, threwUnknown, threw, threwUnknown}));
}

}  // namespace
}  // namespace TalvornCommon
