// Internal: the looks at one far file system, on a thread of its own. inotify
// hears only the changes made through this machine's own mount: on a network,
// user-space or virtual machine's shared file system a change made on the other
// side raises no event here, so the places of PathWatchers' ways that lie on
// such a file system are looked at. The places of all the clients on one file
// system are looked at together, once a period: a place that several clients
// hold (their folder, the same file) is asked once a look, and what it shows
// goes to each client that holds it.
//
//   detail::Looks looks(std::chrono::seconds(1), std::chrono::milliseconds(200));
//   if (!looks.Start(reason)) Report(reason);
//   looks.Watch(&client, {{LookPlace::Kind::kFile, "/mnt/share/app.conf"}});
//
// Errors: Start returns false and assigns a complete English text to `reason`
// when it cannot start; it leaves `reason` untouched when it succeeds. A place
// that cannot be looked at is no failure: its errno is what a look sees there.
#ifndef TALVORNCOMMON_DETAIL_LOOKS_H_
#define TALVORNCOMMON_DETAIL_LOOKS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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
  // The device of its far file system, which tells whose looks it is in (0:
  // not known, as where it could not be asked).
  dev_t device = 0;
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

// A client of the looks, told what they find of its places.
class LookClient {
 public:
  virtual ~LookClient() = default;
  // Looked(true, fileChanged): a look saw one of the client's places change, a
  // place of kind kFile among them (its identity, size, times or error) when
  // `fileChanged`, so a name come or gone beside the file is told apart from
  // the file's own change. Looked(false, false): after a change, a look of the
  // client's places saw nothing further change (the change has settled). Runs
  // on the look thread, under the lock that Leave takes, so it must be quick,
  // must not throw and must not call into the looks.
  virtual void Looked(bool changed, bool fileChanged) = 0;
};

class Looks {
 public:
  using Clock = LookPace::Clock;

  // How long a Stop waits for a look blocked in the kernel.
  static constexpr std::chrono::milliseconds kStopWait{1000};

  // Looks every `period` at every place, and every `settle` at the places of
  // a client while a change of them goes on.
  Looks(std::chrono::milliseconds period, std::chrono::milliseconds settle);
  // Stops as Stop(now + kStopWait) does, if started.
  ~Looks();
  Looks(const Looks&) = delete;
  Looks& operator=(const Looks&) = delete;

  // Starts the thread "PathWatcherLook". Fails, leaving no thread, if the
  // looks are started or the thread cannot be created.
  [[nodiscard]] bool Start(std::string& reason);

  // Looks at `places` for `client` from now on. The first sight of a place
  // new to the looks is taken by the thread at once, or by SightNew, and is no
  // change; a place already looked at keeps its last sight, so a change there
  // since is still found. A client's pace goes on: a change that was settling
  // still ends in Looked(false, false). Any thread.
  void Watch(LookClient* client, std::vector<LookPlace> places);
  // Takes on the calling thread the first sights of the client's places that
  // have none yet, so that any change after it returns is found.
  void SightNew(LookClient* client);

  // Forgets `client`: no Looked call of it starts after this returns, a
  // running one has returned, and its jobs not begun never run. True when no
  // client is left. Any thread.
  bool Leave(LookClient* client);

  // Runs `job` on the look thread before its next look, at once if it sleeps:
  // work that may wait for the same server as a look, such as resolving a way
  // through it. The client, with no places yet if it has none, keeps the
  // thread until it leaves. A job blocked in the kernel is left behind by Stop
  // as a look is. Any thread, after Start.
  void Post(LookClient* client, std::function<void()> job);

  // Has the thread end, without waiting for it: for Stop.
  void BeginStop();
  // Wakes the thread and waits until `until` at most for it to end. True when
  // it has ended. False when a look or a job is still blocked in the kernel (a
  // hung network server, a stopped user-space daemon): the thread is left to
  // end by itself once the call returns, holding what it needs. True before
  // Start.
  bool Stop(Clock::time_point until);

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
