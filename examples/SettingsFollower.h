// SettingsFollower: keeps a settings record loaded from a file while other
// threads read it, and loads it again whenever the file changes, also when the
// file is reached through symbolic links (a dotfiles link, a Kubernetes
// ConfigMap's ..data swap, a deploy's `current` link) or its folder is replaced.
//
//   SettingsFollower follower("/etc/app/settings.conf");
//   if (!follower.Start()) return 1;
//   int volume = follower.Read([](const Settings& s) { return s.volume; });
//
// The rules it keeps:
// - The watchers' callbacks only queue the event. Everything else runs on the
//   follower's reload thread: a watcher cannot be stopped from its own
//   callback, and a slow reload must not hold up the watch.
// - Events closer together than kQuietPeriod are one save and give one reload.
// - On every burst the path is resolved again, link by link, and the watchers
//   follow what it resolves to now: one per place whose change can alter the
//   result, i.e. each link on the way (by its name in its folder), the file (by
//   its name in its real folder), and each folder holding one of those (by its
//   name in its parent, since a watch lasts only as long as its folder).
//   New watchers are started on this thread; those no longer needed are
//   stopped once the reload is out, on a task of their own (closing an inotify
//   instance can take the kernel seconds).
// - Each watcher holds one inotify instance and one thread, and a user has 128
//   instances by default: the follower holds at most kMaxWatchers (and, for the
//   moment of a reload, the ones it is about to stop); a longer
//   chain is followed but says that changes in its middle go unseen.
// - A reload builds the new record outside the lock and swaps it in under the
//   exclusive lock, so readers hardly ever wait. It starts from the defaults;
//   a value that does not parse keeps the value in force.
// - When the path does not lead to a readable file (deleted, a dangling link, a
//   link loop, a folder that cannot be read) the last good settings stay, the
//   problem is said once, and the follower resumes by itself: the nearest
//   existing place of the chain is watched, and while a problem lasts the
//   path is also checked every kRetryPeriod (a chmod gives no event).
// - The follower creates and writes nothing on disk.
// Lines of what happens ("  reload after Renamed: read 4 lines") go to stdout.
#ifndef TALVORN_EXAMPLES_SETTINGSFOLLOWER_H_
#define TALVORN_EXAMPLES_SETTINGSFOLLOWER_H_

#include <talvorncommon/FileWatcher.h>
#include <talvorncommon/HybridSharedMutex.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
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
// with its line number.
void ParseSettings(const std::vector<std::string>& lines, const Settings& previous,
                   Settings& settings, std::vector<std::string>& problems);

class SettingsFollower {
 public:
  // What one reload did, for an observer.
  struct Reload {
    std::string cause;    // "start", "reload after Renamed ...", "recheck"
    std::string problem;  // why the last good settings stayed; empty when the file was read
    size_t problems = 0;  // lines and values of the file that could not be read
    Settings settings;    // the settings in force afterwards
  };
  using Observer = std::function<void(const Reload&)>;

  // Follows `path`, which should be absolute (a relative one resolves against
  // the current directory at every reload). `observer`, if given, is called on
  // the reload thread after each reload that was reported; it must not call
  // Stop.
  explicit SettingsFollower(std::string path, Observer observer = {});
  // Stops, as Stop does.
  ~SettingsFollower();

  SettingsFollower(const SettingsFollower&) = delete;
  SettingsFollower& operator=(const SettingsFollower&) = delete;

  // Loads the file (or says why it cannot), starts the watchers and the reload
  // thread. False, with a line on stderr, when not a single watcher could be
  // started (no inotify instance left, say); nothing is left running then.
  // Call it once, from the thread that will call Stop.
  [[nodiscard]] bool Start();

  // Stops the reload thread, then every watcher. Not from a Read or an observer.
  void Stop();

  // Calls `use` with the settings in force, under the shared lock: keep it short
  // and do not call the follower from it. Any thread, any time.
  template <typename Use>
  auto Read(Use&& use) const {
    std::shared_lock<TalvornCommon::HybridSharedMutex> lock(settings_mutex_);
    return use(static_cast<const Settings&>(settings_));
  }

  // How many watchers (inotify instances) are started now. Any thread.
  [[nodiscard]] size_t WatcherCount() const { return watcher_count_.load(); }

  // A name in a folder whose change can alter what the path leads to. The
  // folder's device and inode tell a replaced folder from the one watched.
  struct Place {
    std::string folder;
    std::string name;
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const Place&) const = default;
  };
  // What the path leads to now, and the places where a change would alter that.
  struct Resolution;

 private:
  struct Event {
    uint64_t watch;  // the serial number of the watch that reported it
    TalvornCommon::FileWatcher::EventType type;
  };
  struct Watch {
    explicit Watch(const Place& where, uint64_t number);
    Place place;
    uint64_t serial;
    TalvornCommon::FileWatcher watcher;
    std::shared_ptr<TalvornCommon::FileWatcher::OnFileChangedHandler> token;
  };
  bool WaitForBurst(std::vector<Event>& burst, bool retry);
  void Update(const std::string& cause, const std::vector<Event>& burst, bool force);
  Resolution ResolveAndArm();
  std::string Rearm(const std::vector<Place>& wanted);
  // Moves the watches for which `unwanted` holds to retired_.
  void Retire(const std::function<bool(const Watch&)>& unwanted);
  // Stops the retired watches on a task of their own: closing an inotify
  // instance waits for the kernel to release its watches, which takes seconds
  // on a loaded machine, and the next reload must not wait for that.
  void StopRetired();
  void Say(std::string& said, const std::string& text);

  const std::string path_;
  const Observer observer_;
  mutable TalvornCommon::HybridSharedMutex settings_mutex_;
  Settings settings_;

  std::mutex events_mutex_;  // guards events_ and stopping_
  std::condition_variable events_changed_;
  std::vector<Event> events_;
  bool stopping_ = false;
  std::thread reload_thread_;

  // Used by the reload thread only (and by Start before that thread exists).
  std::list<Watch> watches_;                // a list: a started watcher is never moved
  std::list<Watch> retired_;                // no longer needed; stopped once the reload is out
  std::vector<std::future<void>> closing_;  // the tasks stopping retired watches
  uint64_t next_serial_ = 1;
  std::string file_;           // the real path last resolved to; empty when none
  std::string problem_;        // why nothing could be loaded, as last said
  std::string watch_problem_;  // why a place is not watched, as last said
  std::atomic<size_t> watcher_count_{0};
};

#endif  // TALVORN_EXAMPLES_SETTINGSFOLLOWER_H_
