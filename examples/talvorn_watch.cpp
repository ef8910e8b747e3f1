// talvorn-watch: follows one file with TalvornCommon::FileWatcher, or a whole
// path with TalvornCommon::PathWatcher.
//
//   talvorn-watch PATH   prints each event on PATH (time, kind) until Ctrl-C
//   talvorn-watch --path PATH
//                        prints what PATH leads to (time, real file or why it
//                        leads nowhere) at the start and after each change,
//                        until Ctrl-C: try links, renames, replaced folders
//   talvorn-watch        runs a short tour in a temporary directory: creates a
//                        file, appends to it, saves it through a temporary file
//                        and a rename as editors do, deletes it and creates it
//                        again, printing each event with its delay since the
//                        file operation; exits 0 when every expected event came.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <talvorncommon/FileIO.h>
#include <talvorncommon/FileWatcher.h>
#include <talvorncommon/PathWatcher.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace {

using TalvornCommon::FileWatcher;
using Clock = std::chrono::steady_clock;
using EventType = FileWatcher::EventType;

// Events as the callback receives them, handed to the main thread.
class EventQueue {
 public:
  struct Event {
    EventType type;
    Clock::time_point when;
  };

  void Push(EventType type) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({type, Clock::now()});
    }
    ready_.notify_one();
  }

  // The next event, or false when none comes within `timeout`.
  bool Pop(Event& event, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !events_.empty(); })) return false;
    event = events_.front();
    events_.pop_front();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Event> events_;
};

bool WriteFile(const std::string& path, const char* text, int flags) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644);
  if (fd < 0) return false;
  const size_t size = std::char_traits<char>::length(text);
  const bool ok = size == 0 || write(fd, text, size) == static_cast<ssize_t>(size);
  return close(fd) == 0 && ok;
}

struct TourStep {
  const char* description;
  std::vector<EventType> expected;
  bool (*operation)(const std::string& dir, const std::string& file);
};

int RunTour() {
  std::error_code ignored;
  std::string dir_template = std::filesystem::temp_directory_path(ignored) / "talvorn-watch-XXXXXX";
  if (mkdtemp(dir_template.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dir_template;
  const std::string file = dir + "/settings.conf";

  // The queue and the token outlive the watcher, whose callback uses them.
  EventQueue queue;
  std::shared_ptr<FileWatcher::OnFileChangedHandler> token;
  FileWatcher watcher(file);
  std::string error;
  if (!watcher.SubscribeOnFileChanged([&queue](EventType type) { queue.Push(type); }, token,
                                      error) ||
      !watcher.Start(error)) {
    std::fprintf(stderr, "talvorn-watch: %s\n", error.c_str());
    std::filesystem::remove_all(dir, ignored);
    return 1;
  }
  std::printf("Watching %s\n", file.c_str());

  const TourStep steps[] = {
      {"create the file",
       {EventType::Created},
       [](const std::string&, const std::string& f) { return WriteFile(f, "", O_CREAT | O_EXCL); }},
      {"append a line",
       {EventType::Modified},
       [](const std::string&, const std::string& f) {
         return WriteFile(f, "volume=7\n", O_APPEND);
       }},
      {"save through a temporary file and a rename",
       {EventType::Renamed},
       [](const std::string& d, const std::string& f) {
         const std::string temporary = d + "/.settings.conf.swp";
         return WriteFile(temporary, "volume=8\n", O_CREAT | O_TRUNC) &&
                rename(temporary.c_str(), f.c_str()) == 0;
       }},
      {"delete the file",
       {EventType::Deleted},
       [](const std::string&, const std::string& f) { return unlink(f.c_str()) == 0; }},
      {"create it again",
       {EventType::Created},
       [](const std::string&, const std::string& f) { return WriteFile(f, "", O_CREAT | O_EXCL); }},
  };

  int missing = 0;
  int unexpected = 0;
  for (const TourStep& step : steps) {
    std::printf("- %s\n", step.description);
    const Clock::time_point start = Clock::now();
    if (!step.operation(dir, file)) {
      std::perror("  file operation failed");
      ++missing;
      continue;
    }
    for (EventType expected : step.expected) {
      EventQueue::Event event{};
      if (!queue.Pop(event, std::chrono::seconds(5))) {
        std::printf("  expected %s: nothing arrived\n", FileWatcher::ToString(expected));
        ++missing;
        continue;
      }
      const std::chrono::duration<double, std::milli> delay = event.when - start;
      std::printf("  %-8s after %.2f ms%s\n", FileWatcher::ToString(event.type), delay.count(),
                  event.type == expected ? "" : "  (unexpected)");
      if (event.type != expected) ++unexpected;
    }
  }
  // Anything left over after a short grace period was not asked for.
  EventQueue::Event extra{};
  while (queue.Pop(extra, std::chrono::milliseconds(50))) {
    std::printf("  unexpected extra event: %s\n", FileWatcher::ToString(extra.type));
    ++unexpected;
  }

  if (!watcher.Stop(error)) std::fprintf(stderr, "talvorn-watch: %s\n", error.c_str());
  std::filesystem::remove_all(dir, ignored);

  std::printf("Configuration folder: %s\n", TalvornCommon::FileIO::GetTalvornHomePath().c_str());
  if (missing != 0 || unexpected != 0) {
    std::printf("Tour FAILED: %d missing, %d unexpected events\n", missing, unexpected);
    return 1;
  }
  std::puts("Tour complete: every expected event arrived.");
  return 0;
}

// The wall-clock time as "HH:MM:SS.mmm".
std::string Stamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  const size_t length = std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::snprintf(stamp + length, sizeof stamp - length, ".%03d", static_cast<int>(millis.count()));
  return stamp;
}

// The follower whose changes PrintChange prints, for why it is looked at.
const TalvornCommon::PathWatcher* g_followed = nullptr;

void PrintChange(const TalvornCommon::PathWatcher::Change& change) {
  std::printf("%s  %s%s\n", Stamp().c_str(), change.file.empty() ? "leads nowhere: " : "",
              change.file.empty() ? change.problem.c_str() : change.file.c_str());
  // Changes made elsewhere on a network or user-space file system raise no
  // inotify event: such a way is looked at every second as well.
  if (const std::string why = g_followed ? g_followed->WhyLooked() : ""; !why.empty())
    std::printf("%s  looked at every second: %s\n", Stamp().c_str(), why.c_str());
  std::fflush(stdout);
}

// Watches `path` with a FileWatcher, or follows it with a PathWatcher, until
// SIGINT or SIGTERM.
int WatchUntilInterrupted(const std::string& path, bool follow_path) {
  // Block the stop signals before the watch thread exists so that it inherits
  // the mask and sigwait below is the only taker.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::shared_ptr<FileWatcher::OnFileChangedHandler> token;
  FileWatcher watcher(path);
  TalvornCommon::PathWatcher path_watcher(path);
  g_followed = &path_watcher;
  std::string error;
  const bool started =
      follow_path ? path_watcher.Start(PrintChange, error)
                  : watcher.SubscribeOnFileChanged(
                        [](EventType type) {
                          std::printf("%s  %s\n", Stamp().c_str(), FileWatcher::ToString(type));
                          std::fflush(stdout);
                        },
                        token, error) &&
                        watcher.Start(error);
  if (!started) {
    std::fprintf(stderr, "talvorn-watch: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s %s; Ctrl-C to stop.\n", follow_path ? "Following" : "Watching", path.c_str());
  if (follow_path) PrintChange(path_watcher.Current());
  std::fflush(stdout);
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  if (!(follow_path ? path_watcher.Stop(error) : watcher.Stop(error))) {
    std::fprintf(stderr, "talvorn-watch: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const bool follow_path = !args.empty() && args[0] == "--path";
  const bool help = args.size() == 1 && (args[0] == "-h" || args[0] == "--help");
  if (help || args.size() != (follow_path ? 2U : std::min<size_t>(args.size(), 1U))) {
    std::fprintf(stderr,
                 "usage: %s [[--path] PATH]\n  PATH         watch this file until Ctrl-C\n"
                 "  --path PATH  follow this path through links and replaced folders\n"
                 "  (none)       run a short tour in a temporary directory\n",
                 argv[0]);
    return 2;
  }
  return args.empty() ? RunTour() : WatchUntilInterrupted(args.back(), follow_path);
}
