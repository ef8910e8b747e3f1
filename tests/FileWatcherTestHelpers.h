// Helpers of the file watcher tests: an event recorder, a gate that holds a
// callback on the watch thread, file operations that each cause one known
// inotify record, and a look at the process's inotify instances.
#ifndef TALVORNCOMMON_TESTS_FILEWATCHERTESTHELPERS_H_
#define TALVORNCOMMON_TESTS_FILEWATCHERTESTHELPERS_H_

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/FileWatcher.h"

namespace TalvornCommon {

inline void PrintTo(FileWatcher::EventType type, std::ostream* out) {
  *out << FileWatcher::ToString(type);
}

namespace testing {

using EventType = FileWatcher::EventType;
using Handler = FileWatcher::OnFileChangedHandler;
using Token = std::shared_ptr<Handler>;

// The events one subscriber received, in order; safe to read from any thread.
class EventLog {
 public:
  Handler Callback() {
    return [this](EventType type) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(type);
    };
  }
  std::vector<EventType> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::size_t Count() const { return Events().size(); }
  bool WaitForCount(std::size_t count) const {
    return WaitUntil([&] { return Count() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<EventType> events_;
};

// A one-way gate with a bounded wait, to hold a callback on the watch thread.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Each operation is one system call on the directory entry, so it causes
// exactly one record: IN_CREATE, IN_MODIFY, IN_DELETE, IN_MOVED_FROM + IN_MOVED_TO.
inline bool CreateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  return fd >= 0 && ::close(fd) == 0;
}
inline bool AppendByte(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, "x", 1) == 1;
  return ::close(fd) == 0 && written;
}
inline bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }
inline bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// The descriptors of this process that refer to inotify instances.
inline std::vector<int> InotifyFds() {
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

}  // namespace testing
}  // namespace TalvornCommon

#endif  // TALVORNCOMMON_TESTS_FILEWATCHERTESTHELPERS_H_
