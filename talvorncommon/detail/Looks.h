// Internal: looks at a few places at a steady pace and says when what it sees
// changes. inotify hears only the changes made through this machine's own
// mount: on a network, user-space or virtual machine's shared file system a
// change made on the other side raises no event here, so PathWatcher looks at
// the places on its way that lie on such a file system.
//
//   detail::Looks looks(std::chrono::seconds(1), std::chrono::milliseconds(200));
//   if (!looks.Start({{LookPlace::Kind::kFile, "/mnt/share/app.conf"}}, Post, reason))
//   Report(reason); looks.Watch(placesNow);  // after the way moved
//
// Errors: Start returns false and assigns a complete English text to `reason`
// when it cannot start; it leaves `reason` untouched when it succeeds. A place
// that cannot be looked at is no failure: its errno is what a look sees there.
#ifndef TALVORNCOMMON_DETAIL_LOOKS_H_
#define TALVORNCOMMON_DETAIL_LOOKS_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace TalvornCommon::detail {

// A place to look at, by its real path, never followed. A link is not asked
// itself: it can only be replaced, which moves the modification time of its
// folder, so that folder must be a place too, or be local, where inotify hears
// the link replaced.
struct LookPlace {
  enum class Kind { kFolder, kLink, kFile };
  Kind kind = Kind::kFile;
  std::string path;
  bool operator==(const LookPlace&) const = default;
};

// When the looks come, and what each look is told as. It is given the time
// rather than reading the clock. A look comes every `period` while nothing
// changes; after a look saw a change, the next ones come after `settle` until a
// look sees nothing further change, so a change is told settled soon after
// the writer stops, and a quiet place costs one look a period.
class LookPace {
 public:
  using Clock = std::chrono::steady_clock;

  // The first look is due one period after `start`.
  LookPace(std::chrono::milliseconds period, std::chrono::milliseconds settle,
           Clock::time_point start)
      : period_(period), settle_(settle), next_(start + period) {}

  // Takes a look that ended at `now` and saw a change or not. Gives true for a
  // change, false for the first look after a change that saw nothing further,
  // and nothing otherwise. The next look is counted from `now`, the look's end,
  // so that looks held up by a slow server do not come in a burst afterwards.
  std::optional<bool> Looked(Clock::time_point now, bool changed);

  // When the next look is due.
  Clock::time_point Next() const { return next_; }

 private:
  std::chrono::milliseconds period_;
  std::chrono::milliseconds settle_;
  Clock::time_point next_;
  bool settling_ = false;
};

class Looks {
 public:
  // Found(true, fileChanged): a look saw something change, a place of kind
  // kFile among it (its identity, size, times or error) when `fileChanged`, so
  // a name come or gone beside the file is told apart from the file's own
  // change. Found(false, false): after a change, a look saw nothing
  // further change (the change has settled). Runs on the look thread, under
  // the lock that Stop takes, so it must be quick, must not throw and must not
  // call Stop (the caller posts it to its own thread).
  using Found = std::function<void(bool changed, bool fileChanged)>;

  // How long the destructor waits for a look blocked in the kernel.
  static constexpr std::chrono::milliseconds kStopWait{1000};

  // Looks every `period`, and every `settle` while a change goes on.
  Looks(std::chrono::milliseconds period, std::chrono::milliseconds settle);
  // Stops as Stop(kStopWait) does, if started.
  ~Looks();
  Looks(const Looks&) = delete;
  Looks& operator=(const Looks&) = delete;

  // Takes the first sight of `places` on the calling thread, so that any change
  // after Start returns is found, then starts the thread "PathWatcherLook",
  // which calls `found` (not empty). Fails, leaving no thread, if the looks
  // are started or the thread cannot be created.
  [[nodiscard]] bool Start(std::vector<LookPlace> places, Found found, std::string& reason);

  // Looks at `places` from now on: the thread wakes and takes the first sight
  // of the new ones at once, which is no change; a place it already looked at
  // keeps its last sight, so a change there since is still found. The pace goes
  // on: a change that was settling still ends in Found(false). Any thread,
  // also while Stop runs; nothing before Start.
  void Watch(std::vector<LookPlace> places);

  // Wakes the thread and waits at most `wait` for it to end. True when it has
  // ended. False when a look is still blocked in the kernel (a hung network
  // server, a stopped user-space daemon): the thread is left to end by itself
  // once the look returns, holding what it needs (`found` too, which it
  // releases then). Either way no Found call starts after Stop returns, and a
  // running one has returned. Calling it again waits again for the same
  // thread; true before Start. Start and Stop must not run at the same time.
  bool Stop(std::chrono::milliseconds wait);

  // The first half of Stop, which never waits for a look: no Found call starts
  // after it returns, and a running one has returned. Any thread.
  void Mute();

  // Runs `job` on the look thread before its next look, at once if it
  // sleeps: work that may wait for the same server as a look, such as
  // resolving the way through it. A job blocked in the kernel is left behind
  // by Stop as a look is; one not begun when Stop is called never runs. Any
  // thread, after Start.
  void Post(std::function<void()> job);

 private:
  struct State;
  const std::chrono::milliseconds period_;
  const std::chrono::milliseconds settle_;
  // Shared with the thread, which outlives the Looks when it is left behind.
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_LOOKS_H_
