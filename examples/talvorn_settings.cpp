// talvorn-settings: a settings file that reloads itself while worker threads
// keep reading it, built from the library's path watcher, lock, file and
// string helpers. The part a program copies is SettingsFollower.h and .cpp;
// this file adds the workers, a tour and a follow mode.
//
//   talvorn-settings PATH   follows the settings file PATH until Ctrl-C or
//                           SIGTERM: every save reloads it, also through links
//                           and after its folder or a folder above is
//                           replaced, and each worker prints the part of the
//                           settings it uses when that part changes
//   talvorn-settings        runs a tour in a fresh temporary configuration
//                           folder: writes settings.conf, edits, replaces and
//                           deletes it, replaces its folder and the folder
//                           above, writes it slowly, moves it away, then
//                           follows it through a dotfiles link, a ConfigMap's
//                           ..data swaps and a deploy's folder link; exits 0
//                           when every change gave exactly one reload, seen by
//                           the workers, with one inotify instance and one
//                           watch thread
//
// The keys, with their defaults (see Settings in SettingsFollower.h):
//   volume = 5   speed = 1.0   cache_mb = 64   languages = en
// A reload starts from the defaults, so a line that was removed goes back to
// its default; a value that does not parse keeps the value in force.
#include <signal.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>
#include <talvorncommon/FileIO.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SettingsFollower.h"

namespace {

namespace FileIO = TalvornCommon::FileIO;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long a worker works between two looks at the settings.
constexpr std::chrono::milliseconds kWorkTime{1};
// What the tour waits after a step's reload, to count a second one if a tool
// pauses longer than the watcher's quiet period: ten times that period.
constexpr std::chrono::milliseconds kLateReloads{200};
// The slow writer's pause between its first line and the rest: five times the
// watcher's quiet period, so a watcher that did not wait for the close would
// load the first line alone.
constexpr std::chrono::milliseconds kSlowWriterPause{100};
const char* const kFileName = "settings.conf";

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

// The workers: each reads its part of the settings continuously, as real work
// would, prints it when it changes and records it for the tour.
class Workers {
 public:
  explicit Workers(const SettingsFollower& follower) : follower_(follower) {}

  // Returns once each worker has printed what it uses.
  void Start() {
    for (const Worker& worker : kWorkers) threads_.emplace_back([this, &worker] { Work(worker); });
    started_.wait();
  }

  void Stop() {
    stopping_ = true;
    for (std::thread& thread : threads_) thread.join();
  }

  bool Saw(const std::string& view) const {
    std::lock_guard<std::mutex> lock(seen_mutex_);
    return seen_.count(view) != 0;
  }

 private:
  void Work(const Worker& worker) {
    std::string last;
    for (bool first = true; !stopping_; first = false) {
      const std::string view = follower_.Read(worker.describe);
      if (view != last) {
        std::printf("  [%s] %s\n", worker.name, view.c_str());
        std::lock_guard<std::mutex> lock(seen_mutex_);
        seen_.insert(view);
        last = view;
      }
      if (first) started_.count_down();
      std::this_thread::sleep_for(kWorkTime);
    }
  }

  const SettingsFollower& follower_;
  std::vector<std::thread> threads_;
  std::latch started_{std::size(kWorkers)};
  std::atomic<bool> stopping_{false};
  mutable std::mutex seen_mutex_;  // guards seen_
  std::set<std::string> seen_;
};

// The tour's file operations, on the folder home/app/Talvorn and what replaces it.
enum class Operation {
  kSave,              // settings.conf written with FileIO::SaveTextFile
  kAppend,            // lines appended to settings.conf
  kSaveByRename,      // a temporary file renamed onto settings.conf
  kDelete,            // settings.conf deleted
  kMoveFolderAway,    // the folder renamed away, created again with a new file
  kDeleteFolder,      // the folder deleted, created again with a new file
  kMoveAppAway,       // app.new/Talvorn prepared, app renamed away, app.new renamed onto app
  kDeleteApp,         // app.new/Talvorn prepared, app deleted, app.new renamed onto app
  kWriteSlowly,       // settings.conf written a line, a pause, then the rest, then closed
  kMoveAway,          // settings.conf moved out of its folder
  kLinkToDotfiles,    // settings.conf made a link to home/dotfiles/talvorn/settings.conf
  kAppendToDotfiles,  // lines appended to the dotfiles file
  kDeleteDotfiles,    // the dotfiles file deleted: the link dangles
  kSaveDotfiles,      // the dotfiles file written again
  kLinkLoop,          // settings.conf -> settings.loop -> settings.conf
  kUpdateConfigMap,   // a new data folder `place`, ..data swapped to it, the old one deleted
  kDeployRelease,     // a new release `place`, the folder made a link to releases/`place`
};

// One step of the tour: a file operation, and what the reload that loads it shows.
struct TourStep {
  const char* what;
  Operation operation;
  const char* place;               // the data folder or release a link step points to
  std::vector<std::string> lines;  // the text written
  std::vector<std::string> views;  // what each worker sees afterwards
  size_t problems = 0;             // lines and values the reload cannot read
  bool keeps = false;              // the path leads to no file: the settings stay
};

const TourStep kTour[] = {
    {"write the first file with FileIO::SaveTextFile",
     Operation::kSave,
     "",
     {"# written by the tour", "volume = 7", "speed = 1.5", "cache_mb = 128", "languages = en,de"},
     {"volume 7, speed 1.5", "cache 128 MB", "languages en de"}},
    {"change the volume by appending a line",
     Operation::kAppend,
     "",
     {"", "volume = 9"},
     {"volume 9, speed 1.5", "cache 128 MB", "languages en de"}},
    {"save a new version through a temporary file and a rename, as editors do",
     Operation::kSaveByRename,
     "",
     {"volume = 9", "speed = 2,5", "cache_mb = 256", "languages = en,de,fr"},
     {"volume 9, speed 2.5", "cache 256 MB", "languages en de fr"}},
    {"append a volume that is no number and a line without '='",
     Operation::kAppend,
     "",
     {"", "volume = loud", "fullscreen on the second monitor"},
     {"volume 9, speed 2.5", "cache 256 MB", "languages en de fr"},
     2},
    {"delete the file",
     Operation::kDelete,
     "",
     {},
     {"volume 9, speed 2.5", "cache 256 MB", "languages en de fr"},
     0,
     true},
    {"create it again",
     Operation::kSave,
     "",
     {"volume = 3", "speed = 0,75", "cache_mb = 32", "languages = de"},
     {"volume 3, speed 0.75", "cache 32 MB", "languages de"}},
    {"move the folder away and create it again with a new file",
     Operation::kMoveFolderAway,
     "",
     {"volume = 4", "cache_mb = 48"},
     {"volume 4, speed 1", "cache 48 MB", "languages en"}},
    {"delete the folder and create it again with a new file",
     Operation::kDeleteFolder,
     "",
     {"volume = 6", "languages = fr"},
     {"volume 6, speed 1", "cache 64 MB", "languages fr"}},
    {"replace the folder above it: app renamed to app.old, a prepared app.new renamed onto app",
     Operation::kMoveAppAway,
     "",
     {"volume = 10", "speed = 0,5"},
     {"volume 10, speed 0.5", "cache 64 MB", "languages en"}},
    {"replace it again: app deleted, a prepared app.new renamed onto app",
     Operation::kDeleteApp,
     "",
     {"volume = 11", "cache_mb = 96"},
     {"volume 11, speed 1", "cache 96 MB", "languages en"}},
    {"write the file slowly: one line, a pause of 100 ms, the rest, then close it",
     Operation::kWriteSlowly,
     "",
     {"volume = 12", "speed = 1.75", "languages = en,nl"},
     {"volume 12, speed 1.75", "cache 64 MB", "languages en nl"}},
    {"move the file out of its folder",
     Operation::kMoveAway,
     "",
     {},
     {"volume 12, speed 1.75", "cache 64 MB", "languages en nl"},
     0,
     true},
    {"make settings.conf a link into a dotfiles folder",
     Operation::kLinkToDotfiles,
     "",
     {"volume = 2", "speed = 1.25"},
     {"volume 2, speed 1.25", "cache 64 MB", "languages en"}},
    {"edit the linked file in the dotfiles folder",
     Operation::kAppendToDotfiles,
     "",
     {"", "cache_mb = 512"},
     {"volume 2, speed 1.25", "cache 512 MB", "languages en"}},
    {"delete the linked file, so that the link dangles",
     Operation::kDeleteDotfiles,
     "",
     {},
     {"volume 2, speed 1.25", "cache 512 MB", "languages en"},
     0,
     true},
    {"write the linked file again",
     Operation::kSaveDotfiles,
     "",
     {"volume = 2", "cache_mb = 384"},
     {"volume 2, speed 1", "cache 384 MB", "languages en"}},
    {"make settings.conf a link loop",
     Operation::kLinkLoop,
     "",
     {},
     {"volume 2, speed 1", "cache 384 MB", "languages en"},
     0,
     true},
    {"publish a ConfigMap: settings.conf -> ..data/settings.conf, ..data -> ..2026_1",
     Operation::kUpdateConfigMap,
     "..2026_1",
     {"volume = 1"},
     {"volume 1, speed 1", "cache 64 MB", "languages en"}},
    {"update it: ..data_tmp -> ..2026_2 renamed onto ..data, ..2026_1 deleted",
     Operation::kUpdateConfigMap,
     "..2026_2",
     {"volume = 8"},
     {"volume 8, speed 1", "cache 64 MB", "languages en"}},
    {"update it again: ..data -> ..2026_3, ..2026_2 deleted",
     Operation::kUpdateConfigMap,
     "..2026_3",
     {"volume = 8", "languages = en,it"},
     {"volume 8, speed 1", "cache 64 MB", "languages en it"}},
    {"replace the folder by a deploy link: Talvorn -> releases/v1",
     Operation::kDeployRelease,
     "v1",
     {"speed = 3"},
     {"volume 5, speed 3", "cache 64 MB", "languages en"}},
    {"deploy v2: a link Talvorn.tmp -> releases/v2 renamed onto Talvorn",
     Operation::kDeployRelease,
     "v2",
     {"speed = 4"},
     {"volume 5, speed 4", "cache 64 MB", "languages en"}},
    {"deploy v3 the same way",
     Operation::kDeployRelease,
     "v3",
     {"speed = 4", "cache_mb = 1024"},
     {"volume 5, speed 4", "cache 1024 MB", "languages en"}},
};

// `ln -s target temporary && mv -T temporary link`: the link's name never
// disappears, which is how tools swap a link that others are reading.
bool SwapLink(const fs::path& target, const fs::path& link, const fs::path& temporary) {
  std::error_code failure;
  fs::remove(temporary, failure);
  fs::create_symlink(target, temporary, failure);
  if (!failure) fs::rename(temporary, link, failure);
  return !failure;
}

// Writes `lines` to app.new/Talvorn/settings.conf, app.new emptied first.
bool PrepareApp(const fs::path& home, const std::vector<std::string>& lines) {
  std::error_code failure;
  fs::remove_all(home / "app.new", failure);
  return !failure && fs::create_directories(home / "app.new" / "Talvorn", failure) &&
         FileIO::SaveTextFile(home / "app.new" / "Talvorn", kFileName, lines, /*append=*/false);
}

// Writes the first line, pauses with the file open, then writes the rest, as
// a program that computes its settings while it writes them would.
bool WriteSlowly(const fs::path& file, const std::vector<std::string>& lines) {
  std::ofstream stream(file, std::ios::trunc);
  for (size_t index = 0; stream && index < lines.size(); ++index) {
    stream << lines[index] << '\n' << std::flush;
    if (index == 0) std::this_thread::sleep_for(kSlowWriterPause);
  }
  stream.close();
  return !stream.fail();
}

bool Perform(const TourStep& step, const fs::path& home) {
  const fs::path app = home / "app";
  const fs::path folder = app / "Talvorn";
  const fs::path file = folder / kFileName;
  const fs::path dotfiles = home / "dotfiles" / "talvorn";
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
      fs::rename(folder / temporary, file, failure);
      return !failure;
    case Operation::kDelete:
      return fs::remove(file, failure);
    case Operation::kMoveFolderAway:
      fs::remove_all(app / "Talvorn.old", failure);
      fs::rename(folder, app / "Talvorn.old", failure);
      return !failure && fs::create_directory(folder, failure) &&
             FileIO::SaveTextFile(folder, kFileName, step.lines, /*append=*/false);
    case Operation::kDeleteFolder:
      fs::remove_all(folder, failure);
      return !failure && fs::create_directory(folder, failure) &&
             FileIO::SaveTextFile(folder, kFileName, step.lines, /*append=*/false);
    case Operation::kMoveAppAway:
      fs::remove_all(home / "app.old", failure);
      if (failure || !PrepareApp(home, step.lines)) return false;
      fs::rename(app, home / "app.old", failure);
      if (!failure) fs::rename(home / "app.new", app, failure);
      return !failure;
    case Operation::kDeleteApp:
      if (!PrepareApp(home, step.lines)) return false;
      fs::remove_all(app, failure);
      if (!failure) fs::rename(home / "app.new", app, failure);
      return !failure;
    case Operation::kWriteSlowly:
      return WriteSlowly(file, step.lines);
    case Operation::kMoveAway:
      fs::rename(file, home / kFileName, failure);
      return !failure;
    case Operation::kLinkToDotfiles:
      fs::create_directories(dotfiles, failure);
      return !failure && FileIO::SaveTextFile(dotfiles, kFileName, step.lines, false) &&
             SwapLink(dotfiles / kFileName, file, folder / (std::string(kFileName) + ".tmp"));
    case Operation::kAppendToDotfiles:
      return FileIO::SaveTextFile(dotfiles, kFileName, step.lines, /*append=*/true);
    case Operation::kDeleteDotfiles:
      return fs::remove(dotfiles / kFileName, failure);
    case Operation::kSaveDotfiles:
      return FileIO::SaveTextFile(dotfiles, kFileName, step.lines, /*append=*/false);
    case Operation::kLinkLoop:
      fs::create_symlink(kFileName, folder / "settings.loop", failure);
      return !failure && SwapLink("settings.loop", file, folder / "settings.conf.tmp");
    case Operation::kUpdateConfigMap: {
      // As the kubelet does: the new data in a folder of its own, then one
      // rename switches every file at once, then the old data goes.
      const fs::path old_data = fs::read_symlink(folder / "..data", failure);
      fs::create_directory(folder / step.place, failure);
      if (failure || !FileIO::SaveTextFile(folder / step.place, kFileName, step.lines, false) ||
          !SwapLink(step.place, folder / "..data", folder / "..data_tmp")) {
        return false;
      }
      if (!old_data.empty()) fs::remove_all(folder / old_data, failure);
      if (fs::read_symlink(file, failure) == fs::path("..data") / kFileName) return true;
      fs::remove(folder / "settings.loop", failure);
      return SwapLink(fs::path("..data") / kFileName, file, folder / "settings.conf.tmp");
    }
    case Operation::kDeployRelease: {
      const fs::path release = app / "releases" / step.place;
      fs::create_directories(release, failure);
      if (failure || !FileIO::SaveTextFile(release, kFileName, step.lines, false)) return false;
      // A link cannot be renamed onto a folder: the first deploy removes it.
      if (!fs::is_symlink(folder)) fs::remove_all(folder, failure);
      return SwapLink(fs::path("releases") / step.place, folder, app / "Talvorn.tmp");
    }
  }
  return false;
}

// What the tour records of each reload.
struct Record {
  Clock::time_point when;
  bool kept;                       // the path led to no file: the settings in force stayed
  size_t problems;                 // lines and values that could not be read
  std::vector<std::string> views;  // each worker's part of the settings afterwards
};

class Records {
 public:
  void Add(const SettingsFollower::Reload& reload) {
    Record record{Clock::now(), !reload.problem.empty(), reload.problems, {}};
    for (const Worker& worker : kWorkers) record.views.push_back(worker.describe(reload.settings));
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
  }
  std::vector<Record> Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

// Checks `done` every millisecond for at most five seconds.
bool WaitUntil(const std::function<bool()>& done) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// What the follower costs the process in the kernel: its inotify instances
// and the threads named `thread`, read from /proc.
struct Footprint {
  size_t instances = 0;
  size_t threads = 0;
};

Footprint Measure(const std::string& thread) {
  Footprint footprint;
  std::error_code failure;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd", failure)) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path(), ignored) == "anon_inode:inotify") ++footprint.instances;
  }
  for (const fs::directory_entry& task : fs::directory_iterator("/proc/self/task", failure)) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (name == thread) ++footprint.threads;
  }
  return footprint;
}

// Runs one step; an empty result when it passed, else what went wrong.
std::string RunStep(const TourStep& step, const fs::path& home, const Records& records,
                    const Workers& workers) {
  const size_t before = records.Get().size();
  const Clock::time_point start = Clock::now();
  if (!Perform(step, home)) return "the file operation failed";
  // The step's reload: it kept the settings when the path leads to no file,
  // else it loaded the file and found the step's problems; either way the
  // settings in force are the step's.
  Clock::time_point loaded;
  const bool found = WaitUntil([&] {
    const std::vector<Record> reloads = records.Get();
    for (size_t i = before; i < reloads.size(); ++i) {
      if (reloads[i].kept == step.keeps && reloads[i].problems == step.problems &&
          reloads[i].views == step.views) {
        loaded = reloads[i].when;
        return true;
      }
    }
    return false;
  });
  if (!found) return "no reload loaded its content";
  const bool seen = WaitUntil([&] {
    return std::all_of(step.views.begin(), step.views.end(),
                       [&](const std::string& view) { return workers.Saw(view); });
  });
  std::this_thread::sleep_for(kLateReloads);
  const size_t reloads = records.Get().size() - before;
  const std::chrono::duration<double, std::milli> delay = loaded - start;
  const Footprint footprint = Measure("PathWatcher");
  std::printf(
      "  => %zu reload%s, loaded %.1f ms after the operation; %zu inotify instance%s, %zu "
      "watch thread%s\n",
      reloads, reloads == 1 ? "" : "s", delay.count(), footprint.instances,
      footprint.instances == 1 ? "" : "s", footprint.threads, footprint.threads == 1 ? "" : "s");
  // The watcher gathers each step's events into one call: a second reload is
  // a save loaded twice, maybe half-written the first time.
  if (reloads != 1) return std::to_string(reloads) + " reloads instead of one";
  if (footprint.instances != 1 || footprint.threads != 1) {
    return "the follower should hold one inotify instance and one watch thread";
  }
  return seen ? "" : "the workers did not see every new value";
}

int RunTour() {
  // A fresh configuration folder, so that the tour never touches the user's
  // settings. XDG_CONFIG_HOME is set before any thread exists.
  std::error_code ignored;
  std::string home = fs::temp_directory_path(ignored) / "talvorn-settings-XXXXXX";
  if (mkdtemp(home.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  // The configuration folder sits in a folder of its own, app, so that the
  // tour can replace the folder above the one holding the file.
  setenv("XDG_CONFIG_HOME", (fs::path(home) / "app").c_str(), 1);
  const std::string folder = FileIO::GetTalvornHomePath();
  std::printf("Settings file: %s/%s\n", folder.c_str(), kFileName);
  fs::create_directories(folder, ignored);

  Records records;
  SettingsFollower follower(
      folder + "/" + kFileName,
      [&records](const SettingsFollower::Reload& reload) { records.Add(reload); });
  if (!follower.Start()) {
    fs::remove_all(home, ignored);
    return 1;
  }
  Workers workers(follower);
  workers.Start();
  std::vector<std::string> failures;
  for (const TourStep& step : kTour) {
    std::printf("- %s\n", step.what);
    const std::string failure = RunStep(step, home, records, workers);
    if (!failure.empty()) {
      std::printf("  => FAILED: %s\n", failure.c_str());
      failures.push_back(std::string(step.what) + ": " + failure);
    }
  }
  workers.Stop();
  follower.Stop();
  fs::remove_all(home, ignored);

  for (const std::string& failure : failures) std::printf("Tour FAILED: %s\n", failure.c_str());
  if (!failures.empty()) return 1;
  std::puts("Tour complete: every change gave one reload, seen by the workers.");
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

  // On a fresh machine the configuration folder does not exist yet, and the
  // library's CreateFullDirectory deliberately creates nothing: which folders
  // to create is the program's decision. When it cannot be created (a
  // dangling link on the way, say) the follower waits for it.
  std::error_code ignored;
  fs::create_directories(fs::path(path).parent_path(), ignored);
  SettingsFollower follower(path);
  if (!follower.Start()) return 1;
  Workers workers(follower);
  workers.Start();
  std::printf("Following %s; edit it with any tool, Ctrl-C to stop.\n", path.c_str());
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  workers.Stop();
  follower.Stop();
  std::puts("Stopped.");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Whole lines at once, also into a pipe, so the threads' lines do not mix.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The library logs its watchers' progress at info level and a path that
  // leads nowhere as a warning; the follower says those itself, in the
  // program's own lines. The watcher's failures are still logged.
  // Those failures are the library's log lines, on stderr in the program's own
  // words: the follower does not repeat them.
  spdlog::set_default_logger(std::make_shared<spdlog::logger>(
      "talvorn-settings", std::make_shared<spdlog::sinks::stderr_sink_mt>()));
  spdlog::default_logger()->set_pattern("talvorn-settings: %v");
  spdlog::set_level(spdlog::level::err);
  if (argc > 2 ||
      (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
    std::fprintf(stderr,
                 "usage: %s [PATH]\n  PATH    follow this settings file until Ctrl-C\n"
                 "  (none)  run a tour in a temporary configuration folder\n",
                 argv[0]);
    return 2;
  }
  return argc == 2 ? FollowUntilStopped(argv[1]) : RunTour();
}
