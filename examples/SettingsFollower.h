// SettingsFollower: keeps a settings record loaded from a file while other
// threads read it, and loads it again whenever the file changes, wherever its
// path leads: through symbolic links (a dotfiles link, a Kubernetes ConfigMap's
// ..data swap, a deploy's `current` link), after its folder or a folder above
// it is replaced, and while a slow writer is still writing it.
//
//   SettingsFollower follower("/etc/app/settings.conf");
//   if (!follower.Start()) return 1;
//   int volume = follower.Read([](const Settings& s) { return s.volume; });
//
// Following the path is TalvornCommon::PathWatcher's job: it watches every
// folder on the way with one inotify instance and one thread, gathers a save's
// events into one call, waits for a writer to close the file, and says when
// the path leads nowhere. What is left here is what is specific to settings:
// - A reload reads the file on the watcher's thread, builds the new record
//   outside the lock and swaps it in under the exclusive lock, so readers
//   hardly ever wait. It starts from the defaults; a value that does not parse
//   keeps the value in force.
// - When the path does not lead to a readable file (deleted, moved away, a
//   dangling link, a link loop, a folder that cannot be read) the last good
//   settings stay and the problem is said; the watcher resumes by itself.
// - The follower creates and writes nothing on disk.
// Lines of what happens ("  reload after a change: read 4 lines from /x") go to stdout.
#ifndef TALVORN_EXAMPLES_SETTINGSFOLLOWER_H_
#define TALVORN_EXAMPLES_SETTINGSFOLLOWER_H_

#include <talvorncommon/HybridSharedMutex.h>
#include <talvorncommon/PathWatcher.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

// The file holds "key = value" lines; blank lines and lines starting with '#'
// are skipped. A program that copies the follower puts its own keys here and
// in ParseSettings.
struct Settings {
  int volume = 5;
  float speed = 1.0f;
  uint64_t cache_mb = 64;
  std::vector<std::string> languages{"en"};
};

// Applies the "key = value" lines to `settings`; a value that does not parse
// takes the one in `previous` instead. Each problem is added to `problems`
// with its line number and at most a short piece of the text it is about, so
// that a file which is not settings is not printed back.
void ParseSettings(const std::vector<std::string>& lines, const Settings& previous,
                   Settings& settings, std::vector<std::string>& problems);

class SettingsFollower {
 public:
  // What one reload did, for an observer.
  struct Reload {
    std::string cause;    // "start" or "reload after a change"
    std::string problem;  // why the last good settings stayed; empty when the file was read
    size_t problems = 0;  // lines and values of the file that could not be read
    Settings settings;    // the settings in force afterwards
  };
  using Observer = std::function<void(const Reload&)>;

  // Follows `path` (a relative one is made absolute by Start). `observer`, if
  // given, is called after each reload, on the thread of the first load or on
  // the watcher's thread; it must not call Stop.
  explicit SettingsFollower(std::string path, Observer observer = {});
  // Stops, as Stop does.
  ~SettingsFollower();

  SettingsFollower(const SettingsFollower&) = delete;
  SettingsFollower& operator=(const SettingsFollower&) = delete;

  // Starts the watcher, then loads the file (or says why it cannot). False,
  // with a line on stderr, when the watcher cannot start (no inotify instance
  // left, say); nothing is left running then. Call it once, from the thread
  // that will call Stop.
  [[nodiscard]] bool Start();

  // Stops the watcher; no reload runs once it returns. Not from a Read or an
  // observer.
  void Stop();

  // Calls `use` with the settings in force, under the shared lock: keep it short
  // and do not call the follower from it. Any thread, any time.
  template <typename Use>
  auto Read(Use&& use) const {
    std::shared_lock<TalvornCommon::HybridSharedMutex> lock(settings_mutex_);
    return use(static_cast<const Settings&>(settings_));
  }

 private:
  void Load(const std::string& cause, const TalvornCommon::PathWatcher::Change& change);

  const Observer observer_;
  mutable TalvornCommon::HybridSharedMutex settings_mutex_;
  Settings settings_;
  // Orders the first load, made by Start, against the watcher's calls: a change
  // that arrives right after the watcher starts must not be overwritten by the
  // older first load.
  std::mutex load_mutex_;
  bool loaded_ = false;  // guarded by load_mutex_
  // Some file's settings were put in force; until then only the defaults
  // were. Guarded by load_mutex_.
  bool read_a_file_ = false;
  // Last, so that it is destroyed first: its calls use the members above.
  TalvornCommon::PathWatcher watcher_;
};

#endif  // TALVORN_EXAMPLES_SETTINGSFOLLOWER_H_
