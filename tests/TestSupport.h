// Helpers shared by the unit tests: temporary directories, environment
// guards, bounded waits, whole-file reads and writes, and counts of the
// process's descriptors and threads.
#ifndef TALVORNCOMMON_TESTS_TESTSUPPORT_H_
#define TALVORNCOMMON_TESTS_TESTSUPPORT_H_

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace TalvornCommon::testing {

// A fresh directory under the system temp folder, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "talvorn-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string Join(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Gives the environment variables it names back the values they had at its
// making (or unsets them again) when the scope ends.
class EnvGuard {
 public:
  explicit EnvGuard(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      const char* old = getenv(name.c_str());
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
  }
  ~EnvGuard() {
    for (const auto& [name, value] : saved_) Set(name, value);
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

  // Sets the variable `name`, or unsets it for nullopt.
  static void Set(const std::string& name, const std::optional<std::string>& value) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Polls `done` until it holds or `timeout` passes; returns its last answer.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Entries of a /proc listing. Compare counts before and after, never against a
// fixed number: sanitizers add threads of their own.
inline int CountEntries(const char* path) {
  using Entries = std::filesystem::directory_iterator;
  return static_cast<int>(std::distance(Entries(path), Entries()));
}
// Open descriptors, not counting the one that lists them.
inline int CountOpenFds() { return CountEntries("/proc/self/fd") - 1; }
inline int CountThreads() { return CountEntries("/proc/self/task"); }

// The threads of the process at rest, for a count to come back to. A thread is
// made and joined first, so that what a sanitizer starts with the first thread
// is counted; a joined thread may still be listed for a moment after its join
// returns, so the count waits until it has left /proc.
inline int ThreadsAtRest() {
  pid_t made = 0;
  std::thread([&made] { made = ::gettid(); }).join();
  const std::string listed = "/proc/self/task/" + std::to_string(made);
  WaitUntil([&] { return !std::filesystem::exists(listed); });
  return CountThreads();
}

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The system call that each thread named `name` is in, by the thread's id, as
// /proc/<tid>/syscall gives it: its number and arguments, or "running".
inline std::map<std::string, std::string> SystemCallsOf(const std::string& name) {
  std::map<std::string, std::string> calls;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    if (ReadFileBytes(task.path() / "comm") == name + "\n")
      calls[task.path().filename()] = ReadFileBytes(task.path() / "syscall");
  return calls;
}

// What the process holds now, for a failure's message: its threads' names and
// where its descriptors lead.
inline std::string HeldNow() {
  std::string text = "threads:";
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name = ReadFileBytes(task.path() / "comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    text += " " + name;
  }
  text += "; descriptors:";
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    text += " " + fd.path().filename().string() + "->" +
            std::filesystem::read_symlink(fd.path(), error).string();
  }
  return text;
}

// The descriptors of the process's inotify instances.
inline std::vector<int> InotifyInstances() {
  std::vector<int> instances;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code gone;  // the listing's own descriptor
    if (std::filesystem::read_symlink(fd.path(), gone) == "anon_inode:inotify")
      instances.push_back(std::stoi(fd.path().filename().string()));
  }
  return instances;
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace TalvornCommon::testing

#endif  // TALVORNCOMMON_TESTS_TESTSUPPORT_H_
