// Internal: where a PathWatcher's way is resolved, and what comes meanwhile.
// A way with a place on a far file system is resolved on that file system's
// look thread, and a Start resolves on the calling thread, since a server that
// does not answer would otherwise hold the thread that serves every watcher.
// While such a resolution runs, the records of the way's watches and changes
// of the mount table are held, and read in order once what it found is taken
// in on the hub's thread. The resolver also keeps which far places the looks
// watch for the way, and queues what they find for the hub's thread.
//
//   detail::Resolver resolver(path, owner);
//   resolver.Begin(absolutePath, watches, LinksProtected());  // under the hub's lock
//   resolver.Leave(resolver.First());                         // on Start's thread
//   if (auto made = resolver.Done()) resolver.TakeIn(*made);  // on the hub's thread
//
// Its calls run on the hub's thread under the hub's lock, or on a thread that
// adds or removes the owner, except where a call says otherwise. Failures of
// the looks are logged, naming the watcher's path, and leave the way followed
// by its events alone.
#ifndef TALVORNCOMMON_DETAIL_RESOLVER_H_
#define TALVORNCOMMON_DETAIL_RESOLVER_H_

#include <sys/inotify.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "talvorncommon/detail/Looks.h"
#include "talvorncommon/detail/PathHub.h"
#include "talvorncommon/detail/Way.h"

namespace TalvornCommon::detail {

class Resolver {
 public:
  using Time = PathHub::Time;

  // What a resolution found, and when.
  struct Resolved {
    Resolution resolution;
    bool finalMoved = false;
    Time at;
    std::string remoteWhy;  // the way's, as it found it
  };

  // When a look found a change, of the file or beside it, or its settling.
  struct Finding {
    Time when;
    bool changed;
    bool file;
  };

  // The watcher served: the hub's client, through which the held records are
  // read, and the looks' client.
  class Owner : public PathHub::Client, public LookClient {
   public:
    // Takes in what a resolution found, other than one a burst's end waited
    // for. On the hub's thread, under its lock.
    virtual void Took(const Resolved& made) = 0;
    // Why the way is looked at; empty when it is not. On the thread that
    // resolves.
    virtual void SetWhyLooked(std::string why) = 0;
  };

  // `path`, as the watcher was given it, names it in log lines; both outlive
  // the resolver.
  Resolver(const std::string& path, Owner& owner) : path_(path), owner_(owner) {}
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Makes the way of a Start, under the hub's lock before any record reaches
  // the owner: from now on the way counts as resolved elsewhere, until what
  // First found is left and taken in.
  void Begin(std::string absolutePath, Watches& watches, bool linksProtected);
  // Resolves the way on Start's thread, without the hub's lock, and has the
  // looks take their first sights here, so that any change after Start
  // returns is found.
  Resolved First();
  // Leaves `made` for the hub's thread and wakes it, unless the way has been
  // ended meanwhile. Any thread.
  void Leave(Resolved made);
  // Ends the way for good, also while a resolution waits for its server on a
  // look thread: what it adds from now on is refused, and what it finds is
  // never taken in.
  void End();
  // Without the hub's lock, after End: leaves the looks and drops what they
  // found. False when a look thread is left behind, blocked in the kernel.
  bool LeaveLooks();
  // In a child made by fork: forgets everything without destroying or locking
  // any of it, as ForkStamp::Adopt asks.
  void Abandon();

  // The way, as the last resolution taken in left it.
  const Way& way() const;
  // A resolution runs elsewhere (Start's thread, a look thread).
  bool Resolving() const { return resolving_; }

  // Holds a record, or a change of the mount table, while a resolution runs
  // elsewhere: true when held.
  bool Hold(const inotify_event& record, std::string_view name, Time woke);
  bool HoldMounts(Time woke);

  // Resolves the way again, so that the next records are read against the way
  // as it is now, and a folder that has just appeared is watched before a
  // writer fills it. What is found here is taken in at once; a resolution
  // under way is asked to run once more when it is taken in.
  void Resolve();
  // Starts a resolution, when none runs: the result when made here, nothing
  // when a look thread makes it (then Done gives it).
  std::optional<Resolved> Run();
  // The result of the resolution that ran elsewhere, once it is done.
  std::optional<Resolved> Done();
  // Takes in `made`: the owner's Took, the looks, then the held records.
  void TakeIn(const Resolved& made);
  // Has the looks watch the way's far places as `made` found them, or none.
  // Their first sights are taken on the calling thread `here`, else on their
  // threads.
  void Look(const std::string& why, bool here = false);
  // Reads the records held while a resolution ran, in order; then resolves
  // again if asked meanwhile, unless a held record has started a resolution,
  // which covers it.
  void ReadHeld();

  // From a look thread: what a look found; wakes the hub's thread.
  void Found(bool changed, bool file);
  // What the looks found since the last call.
  std::vector<Finding> TakeFindings();

 private:
  struct Session;
  // Posts a resolution to the look thread of `device`; false, logged, when
  // there is none and none can be made.
  bool ResolveOnLooks(dev_t device);
  // Resolves on the hub's thread, which stops before a far place; the result,
  // or nothing when a look thread resolves it instead.
  std::optional<Resolved> FollowHere();
  void LogLooksFailed(const std::string& reason) const;

  const std::string& path_;
  Owner& owner_;
  // Shared with a resolution posted to a look thread, which may keep it past
  // End, and past the next Begin.
  std::shared_ptr<Session> session_;
  // The far places the looks watch for the way; empty when none.
  std::vector<LookPlace> lookedAt_;
  // A resolution runs elsewhere, which has the way and what is looked at to
  // itself until it is taken in.
  bool resolving_ = false;
  // The way changed again meanwhile: resolve it once more.
  bool again_ = false;
  // What came meanwhile, read in order once the way is resolved: records of
  // its watches, and changes of the mount table (kMountsChanged).
  struct Held {
    int wd;
    uint32_t mask;
    std::string name;
    Time woke;
  };
  std::vector<Held> held_;
  std::mutex findingsMutex_;
  std::vector<Finding> findings_;  // under findingsMutex_
};

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_RESOLVER_H_
