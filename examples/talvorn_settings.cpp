// talvorn-settings: a settings file that reloads itself while worker threads
// keep reading it, built from the library's watcher, lock, file and string
// helpers.
//
//   talvorn-settings PATH   follows the settings file PATH until Ctrl-C or
//                           SIGTERM: every save reloads it, and each worker
//                           prints the part of the settings it uses when that
//                           part changes
//   talvorn-settings        runs a tour in a fresh temporary configuration
//                           folder: writes settings.conf, appends to it,
//                           replaces it, breaks a value, deletes it and creates
//                           it again; exits 0 when every change was loaded and
//                           seen by the workers
//
// The file holds "key = value" lines; blank lines and lines starting with '#'
// are skipped. The keys, with their defaults:
//   volume = 5   speed = 1.0   cache_mb = 64   languages = en
// A reload starts from the defaults, so a line that was removed goes back to
// its default; a value that does not parse keeps the value in force.
#include <signal.h>
#include <stdlib.h>
#include <talvorncommon/FileIO.h>
#include <talvorncommon/FileWatcher.h>
#include <talvorncommon/HybridSharedMutex.h>
#include <talvorncommon/StringUtils.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <latch>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace FileIO = TalvornCommon::FileIO;
namespace StringUtils = TalvornCommon::StringUtils;
using TalvornCommon::FileWatcher;
using Clock = std::chrono::steady_clock;
using EventType = FileWatcher::EventType;

// One save is often several events: SaveTextFile creates the file and then
// writes it line by line, editors write and rename. Events closer together
// than this are taken as one save and cause one reload: far longer than the
// gaps inside one save, far shorter than the time a person takes between two.
constexpr std::chrono::milliseconds kQuietPeriod{20};
// How long a worker works between two looks at the settings.
constexpr std::chrono::milliseconds kWorkTime{1};
const char* const kFileName = "settings.conf";

struct Settings {
  int volume = 5;
  float speed = 1.0f;
  uint64_t cache_mb = 64;
  std::vector<std::string> languages{"en"};
};

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Applies the "key = value" lines to `settings`; a value that does not parse
// takes the one in `previous` instead. Each problem is added to `problems`
// with its line number.
void ApplyLines(const std::vector<std::string>& lines, const Settings& previous, Settings& settings,
                std::vector<std::string>& problems) {
  for (size_t index = 0; index < lines.size(); ++index) {
    const std::string line = Trim(lines[index]);
    const std::string where = "line " + std::to_string(index + 1) + ": ";
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      problems.push_back(where + "not a 'key = value' line: '" + line + "'");
      continue;
    }
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    // ToInt and ToFloat throw for text that starts with no number; the other
    // parsers' results are checked here, and their failures thrown the same way.
    try {
      if (value.empty()) throw std::invalid_argument(key);
      if (key == "volume") {
        settings.volume = StringUtils::ToInt(value, 0);
      } else if (key == "speed") {
        settings.speed = StringUtils::ToFloat(value, 0);  // "1.5" or "1,5"
      } else if (key == "cache_mb") {
        // ToUint64 answers bad text with the default; no cache is this large.
        const uint64_t megabytes = StringUtils::ToUint64(value, UINT64_MAX);
        if (megabytes == UINT64_MAX) throw std::invalid_argument(key);
        settings.cache_mb = megabytes;
      } else if (key == "languages") {
        settings.languages.clear();
        for (const std::string& piece : StringUtils::Split(value, ',')) {
          settings.languages.push_back(Trim(piece));
        }
      } else {
        problems.push_back(where + "unknown key '" + key + "'");
      }
    } catch (const std::exception&) {
      if (key == "volume") settings.volume = previous.volume;
      if (key == "speed") settings.speed = previous.speed;
      if (key == "cache_mb") settings.cache_mb = previous.cache_mb;
      if (key == "languages") settings.languages = previous.languages;
      problems.push_back(where + key + ": cannot read '" + value + "', keeping the previous value");
    }
  }
}

// A worker uses one part of the settings; `describe` says what it sees.
struct Worker {
  const char* name;
  std::string (*describe)(const Settings&);
};

const Worker kWorkers[] = {
    {"player",
     [](const Settings& s) {
       char text[64];
       std::snprintf(text, sizeof text, "volume %d, speed %g", s.volume, s.speed);
       return std::string(text);
     }},
    {"cache", [](const Settings& s) { return "cache " + std::to_string(s.cache_mb) + " MB"; }},
    {"menu", [](const Settings& s) {
       std::string text = "languages";
       for (const std::string& language : s.languages) text += " " + language;
       return text;
     }}};

// Follows one settings file: a watcher whose callback only queues the events,
// a reload thread that loads the file once a burst of them has ended, and the
// workers. It also records what happened, for the tour to check.
class SettingsFollower {
 public:
  struct Reload {
    Clock::time_point when;
    bool kept;                       // no file: the settings in force stayed
    size_t problems;                 // lines and values that could not be read
    std::vector<std::string> views;  // each worker's part of the settings
  };

  explicit SettingsFollower(const std::string& path) : path_(path), watcher_(path) {}

  // Starts watching, loads the file and starts the threads; false (and
  // nothing started) when the folder or the watcher cannot be set up.
  bool Start() {
    // On a fresh machine the configuration folder does not exist yet, and the
    // library's CreateFullDirectory deliberately creates nothing: which folders
    // to create is the program's decision. The watcher needs the folder.
    std::error_code failure;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), failure);
    std::string error = failure.message();
    const auto queue = [this](EventType type) {
      std::lock_guard<std::mutex> lock(events_mutex_);
      events_.push_back(type);
      events_changed_.notify_one();
    };
    if (failure || !watcher_.SubscribeOnFileChanged(queue, token_, error) ||
        !watcher_.Start(error)) {
      std::fprintf(stderr, "talvorn-settings: %s: %s\n", path_.c_str(), error.c_str());
      return false;
    }
    // Watching starts before the first load, so an edit made meanwhile is not lost.
    Load({});
    reload_thread_ = std::thread([this] {
      std::vector<EventType> burst;
      while (WaitForBurst(burst)) Load(burst);
    });
    for (const Worker& worker : kWorkers) workers_.emplace_back([this, &worker] { Work(worker); });
    workers_started_.wait();  // each has printed what it uses
    return true;
  }

  // Stops the watcher first (no more events), then the reload thread and the workers.
  void Stop() {
    std::string error;
    if (!watcher_.Stop(error)) std::fprintf(stderr, "talvorn-settings: %s\n", error.c_str());
    {
      std::lock_guard<std::mutex> lock(events_mutex_);
      stopping_ = true;
      events_changed_.notify_one();
    }
    reload_thread_.join();
    for (std::thread& worker : workers_) worker.join();
  }

  std::vector<Reload> Reloads() const {
    std::lock_guard<std::mutex> lock(record_mutex_);
    return reloads_;
  }

  bool WorkersSaw(const std::string& view) const {
    std::lock_guard<std::mutex> lock(record_mutex_);
    return seen_.count(view) != 0;
  }

 private:
  // Waits for an event, then until kQuietPeriod passes without another, and
  // moves the whole burst into `burst`. False once stopping.
  bool WaitForBurst(std::vector<EventType>& burst) {
    std::unique_lock<std::mutex> lock(events_mutex_);
    events_changed_.wait(lock, [this] { return stopping_ || !events_.empty(); });
    for (size_t count = 0; !stopping_ && count != events_.size();) {
      count = events_.size();
      events_changed_.wait_for(lock, kQuietPeriod,
                               [&] { return stopping_ || events_.size() != count; });
    }
    burst.clear();
    burst.swap(events_);
    return !stopping_;
  }

  // Runs on the reload thread (and once in Start), never in the watcher's callback.
  void Load(const std::vector<EventType>& burst) {
    std::string cause = burst.empty() ? "start" : "reload after";
    for (EventType type : burst) cause += std::string(" ") + FileWatcher::ToString(type);
    Settings current;
    {
      std::shared_lock<TalvornCommon::HybridSharedMutex> lock(settings_mutex_);
      current = settings_;
    }
    std::vector<std::string> lines;
    std::vector<std::string> problems;
    // ReadTextFile creates a missing file, so the file is read only when it exists.
    const bool kept = (!burst.empty() && burst.back() == EventType::Deleted) ||
                      !FileIO::FileExists(path_) || !FileIO::ReadTextFile(path_, lines);
    // A reload starts from the defaults; without a file the settings in force stay.
    Settings next = kept ? current : Settings();
    if (kept) {
      std::printf("  %s: no file to read, the last good settings stay\n", cause.c_str());
    } else {
      // The new record is built outside the lock; the exclusive lock is held
      // only for the swap, so the workers hardly ever wait.
      ApplyLines(lines, current, next, problems);
      std::printf("  %s: read %zu line%s\n", cause.c_str(), lines.size(),
                  lines.size() == 1 ? "" : "s");
      for (const std::string& problem : problems) std::printf("    %s\n", problem.c_str());
    }
    Reload reload{Clock::now(), kept, problems.size(), {}};
    for (const Worker& worker : kWorkers) reload.views.push_back(worker.describe(next));
    if (!kept) {
      std::unique_lock<TalvornCommon::HybridSharedMutex> lock(settings_mutex_);
      std::swap(settings_, next);
    }
    std::lock_guard<std::mutex> lock(record_mutex_);
    reloads_.push_back(reload);
  }

  // Reads the settings continuously under the shared lock, as real work would.
  void Work(const Worker& worker) {
    std::string last;
    for (bool first = true; !stopping_; first = false) {
      std::string view;
      {
        std::shared_lock<TalvornCommon::HybridSharedMutex> lock(settings_mutex_);
        view = worker.describe(settings_);
      }
      if (view != last) {
        std::printf("  [%s] %s\n", worker.name, view.c_str());
        std::lock_guard<std::mutex> lock(record_mutex_);
        seen_.insert(view);
        last = view;
      }
      if (first) workers_started_.count_down();
      std::this_thread::sleep_for(kWorkTime);
    }
  }

  const std::string path_;
  mutable TalvornCommon::HybridSharedMutex settings_mutex_;
  Settings settings_;
  std::mutex events_mutex_;  // guards events_, and stopping_ for the reload thread's waits
  std::condition_variable events_changed_;
  std::vector<EventType> events_;
  std::atomic<bool> stopping_{false};
  FileWatcher watcher_;
  std::shared_ptr<FileWatcher::OnFileChangedHandler> token_;
  std::thread reload_thread_;
  std::vector<std::thread> workers_;
  std::latch workers_started_{std::size(kWorkers)};
  mutable std::mutex record_mutex_;  // guards reloads_ and seen_
  std::vector<Reload> reloads_;
  std::set<std::string> seen_;
};

// The tour's file operations.
enum class Operation { kSave, kAppend, kSaveByRename, kDelete };

// One step of the tour: a file operation, and what the reload that loads it shows.
struct TourStep {
  const char* what;
  Operation operation;
  std::vector<std::string> lines;  // the text written
  std::vector<std::string> views;  // what each worker sees afterwards
  size_t problems = 0;             // lines and values the reload cannot read
};

const TourStep kTour[] = {
    {"write the first file with FileIO::SaveTextFile",
     Operation::kSave,
     {"# written by the tour", "volume = 7", "speed = 1.5", "cache_mb = 128", "languages = en,de"},
     {"volume 7, speed 1.5", "cache 128 MB", "languages en de"}},
    {"change the volume by appending a line",
     Operation::kAppend,
     {"", "volume = 9"},
     {"volume 9, speed 1.5", "cache 128 MB", "languages en de"}},
    {"save a new version through a temporary file and a rename, as editors do",
     Operation::kSaveByRename,
     {"volume = 9", "speed = 2,5", "cache_mb = 256", "languages = en,de,fr"},
     {"volume 9, speed 2.5", "cache 256 MB", "languages en de fr"}},
    {"append a volume that is no number and a line without '='",
     Operation::kAppend,
     {"", "volume = loud", "fullscreen"},
     {"volume 9, speed 2.5", "cache 256 MB", "languages en de fr"},
     2},
    {"delete the file",
     Operation::kDelete,
     {},
     {"volume 9, speed 2.5", "cache 256 MB", "languages en de fr"}},
    {"create it again",
     Operation::kSave,
     {"volume = 3", "speed = 0,75", "cache_mb = 32", "languages = de"},
     {"volume 3, speed 0.75", "cache 32 MB", "languages de"}},
};

bool Perform(const TourStep& step, const std::string& folder) {
  const std::string temporary = std::string(".") + kFileName + ".new";
  std::error_code failure;
  switch (step.operation) {
    case Operation::kSave:
      return FileIO::SaveTextFile(folder, kFileName, step.lines, /*append=*/false);
    case Operation::kAppend:
      // SaveTextFile ends a file without a line feed, so the appended lines
      // start with an empty one: otherwise they would continue the last line.
      return FileIO::SaveTextFile(folder, kFileName, step.lines, /*append=*/true);
    case Operation::kSaveByRename:
      if (!FileIO::SaveTextFile(folder, temporary, step.lines, /*append=*/false)) return false;
      std::filesystem::rename(folder + "/" + temporary, folder + "/" + kFileName, failure);
      return !failure;
    case Operation::kDelete:
      return std::filesystem::remove(folder + "/" + kFileName, failure);
  }
  return false;
}

// Checks `done` every millisecond for at most five seconds.
bool WaitUntil(const std::function<bool()>& done) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs one step; an empty result when it passed, else what went wrong.
std::string RunStep(const TourStep& step, const std::string& folder,
                    const SettingsFollower& follower) {
  const size_t before = follower.Reloads().size();
  const Clock::time_point start = Clock::now();
  if (!Perform(step, folder)) return "the file operation failed";
  // The step's reload: it kept the settings for a deletion, else it loaded
  // the file and found the step's problems; either way the settings in force
  // are the step's.
  Clock::time_point loaded;
  const bool found = WaitUntil([&] {
    const std::vector<SettingsFollower::Reload> reloads = follower.Reloads();
    for (size_t i = before; i < reloads.size(); ++i) {
      if (reloads[i].kept == (step.operation == Operation::kDelete) &&
          reloads[i].problems == step.problems && reloads[i].views == step.views) {
        loaded = reloads[i].when;
        return true;
      }
    }
    return false;
  });
  if (!found) return "no reload loaded its content";
  const bool seen = WaitUntil([&] {
    return std::all_of(step.views.begin(), step.views.end(),
                       [&](const std::string& view) { return follower.WorkersSaw(view); });
  });
  // A tool that pauses longer than the quiet period causes a second reload;
  // give it the time to show up, so that it is counted and printed.
  std::this_thread::sleep_for(10 * kQuietPeriod);
  const size_t reloads = follower.Reloads().size() - before;
  const std::chrono::duration<double, std::milli> delay = loaded - start;
  std::printf("  => %zu reload%s, loaded %.1f ms after the operation\n", reloads,
              reloads == 1 ? "" : "s", delay.count());
  return seen ? "" : "the workers did not see every new value";
}

int RunTour() {
  // A fresh configuration folder, so that the tour never touches the user's
  // settings. XDG_CONFIG_HOME is set before any thread exists.
  std::error_code ignored;
  std::string home = std::filesystem::temp_directory_path(ignored) / "talvorn-settings-XXXXXX";
  if (mkdtemp(home.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  const std::string folder = FileIO::GetTalvornHomePath();
  std::printf("Settings file: %s/%s\n", folder.c_str(), kFileName);

  SettingsFollower follower(folder + "/" + kFileName);
  if (!follower.Start()) {
    std::filesystem::remove_all(home, ignored);
    return 1;
  }
  std::vector<std::string> failures;
  for (const TourStep& step : kTour) {
    std::printf("- %s\n", step.what);
    const std::string failure = RunStep(step, folder, follower);
    if (!failure.empty()) {
      std::printf("  => FAILED: %s\n", failure.c_str());
      failures.push_back(std::string(step.what) + ": " + failure);
    }
  }
  follower.Stop();
  std::filesystem::remove_all(home, ignored);

  for (const std::string& failure : failures) std::printf("Tour FAILED: %s\n", failure.c_str());
  if (!failures.empty()) return 1;
  std::puts("Tour complete: every change was loaded and seen by the workers.");
  return 0;
}

int FollowUntilStopped(const std::string& path) {
  // Block the stop signals before any thread exists, so that every thread
  // inherits the mask and sigwait below is the only taker.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  SettingsFollower follower(path);
  if (!follower.Start()) return 1;
  std::printf("Following %s; edit it with any tool, Ctrl-C to stop.\n", path.c_str());
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  follower.Stop();
  std::puts("Stopped.");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Whole lines at once, also into a pipe, so the threads' lines do not mix.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc > 2 ||
      (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
    std::fprintf(stderr,
                 "usage: %s [PATH]\n  PATH    follow this settings file until Ctrl-C\n"
                 "  (none)  run a tour in a temporary configuration folder\n",
                 argv[0]);
    return 2;
  }
  // The watcher needs a directory part, which a bare file name lacks.
  return argc == 2 ? FollowUntilStopped(std::filesystem::absolute(argv[1])) : RunTour();
}
