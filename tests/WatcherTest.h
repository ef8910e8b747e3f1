// The fixture the watchers' tests share: a fresh folder, notes that callbacks
// take on any thread, a callback held until the test releases it, the
// library's log lines, the process's threads and descriptors counted at the
// start, and the table of Starts that fail.
#ifndef TALVORNCOMMON_TESTS_WATCHERTEST_H_
#define TALVORNCOMMON_TESTS_WATCHERTEST_H_

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon::testing {

using Calls = std::vector<std::string>;

class WatcherTest : public ::testing::Test {
 protected:
  void Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(text);
  }
  // The notes so far, once there are `count` of them (or 10 s passed).
  Calls WaitForCalls(std::size_t count) {
    Calls calls;
    WaitUntil([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      return (calls = calls_).size() >= count;
    });
    return calls;
  }
  // Runs a shell script in the test's folder.
  void Shell(const std::string& script) {
    ASSERT_EQ(std::system(("cd '" + dir_.path().string() + "' && " + script).c_str()), 0) << script;
  }
  // Keeps the library's log lines, as "level file:line text", in sink_ (the
  // logger stays installed).
  static void CaptureLog() {
    sink_ = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096);
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink_));
    spdlog::default_logger()->set_pattern("%l %g:%# %v");
  }
  // The lines so far, taken under the sink's lock: a watcher's thread may be
  // writing one.
  static std::string Logged() {
    std::string text;
    for (const std::string& line : sink_->last_formatted()) text += line;
    return text;
  }
  // Holds a callback, and with it the watch thread, until release_ is set.
  void BlockUntilReleased() { static_cast<void>(released_.wait_for(std::chrono::seconds(30))); }
  void ExpectNothingLeftOpen() {
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threads_ && CountOpenFds() == fds_; }))
        << "at the start: " << threads_ << " threads, " << fds_ << " descriptors; now "
        << HeldNow();
  }

  // A Start that must fail. No descriptors left makes the kernel's calls fail
  // for real; thread creation cannot be made to, so the hook throws where
  // std::thread would (RefuseThread).
  struct FailedStart {
    std::string path;
    int descriptorsLeft;  // -1: no limit
    detail::WatchThreadHook threadHook;
    const char* reason;
  };
  static void RefuseThread() { throw std::system_error(EAGAIN, std::generic_category()); }
  // Starts a `Watcher` (named `kind` in its texts) of each row's path with
  // `args` and then error_: it fails with a complete text that names the path
  // as given, is not watching, and leaves nothing open.
  template <class Watcher, class... Args>
  void ExpectFailedStarts(const std::string& kind, const std::vector<FailedStart>& rows,
                          const Args&... args) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    for (const FailedStart& row : rows) {
      SCOPED_TRACE(row.reason);
      Watcher watcher(row.path);
      const int lowest = ::dup(0);  // the lowest free descriptor
      ::close(lowest);
      const rlimit lowered{
          row.descriptorsLeft < 0 ? saved.rlim_cur : rlim_t(lowest + row.descriptorsLeft),
          saved.rlim_max};
      ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
      detail::SetWatchThreadHook(row.threadHook);
      EXPECT_FALSE(watcher.Start(args..., error_));
      detail::SetWatchThreadHook(nullptr);
      ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
      EXPECT_EQ(error_, "Encountered an error while starting a " + kind + " on '" + row.path +
                            "': " + row.reason);
      EXPECT_FALSE(watcher.IsWatching());
      ExpectNothingLeftOpen();
    }
  }

  // spdlog's registry is made at its first use, under a guard inside
  // libspdlog, which ThreadSanitizer does not see: made here, before any
  // thread of the test, it is older than every thread that logs.
  spdlog::logger* const logger_ = spdlog::default_logger_raw();
  TempDir dir_;
  std::mutex mutex_;
  Calls calls_;  // under mutex_
  std::string error_;
  // TSan starts a helper thread along with the first thread: count it too.
  const int threads_ = ThreadsAtRest();
  const int fds_ = CountOpenFds();
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  inline static std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

}  // namespace TalvornCommon::testing

#endif  // TALVORNCOMMON_TESTS_WATCHERTEST_H_
