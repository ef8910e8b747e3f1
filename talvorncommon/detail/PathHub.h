// Internal: the one inotify instance, wake-up eventfd, mount-table descriptor
// and thread "PathWatcher" that all the started PathWatchers of a process
// share. A user has 128 inotify instances for all their programs together, so
// a process that follows ten thousand files must still hold only one.
//
//   detail::PathHub& hub = detail::PathHub::Get();
//   if (!hub.Add(client, [&](detail::Watches& watches) { MakeWay(watches); }, reason))
//     Fail(reason);
//   ...
//   hub.Remove(client.get(), [&](detail::Watches&) { RetireWay(); });
//
// The thread exists while at least one client is added: the first Add opens
// the descriptors and starts it, the last Remove ends it and closes them. It
// sleeps in ppoll with no timeout while no client has a deadline. Under the
// hub's lock it hands each record to the clients whose ways hold its name
// (one of the watched inode itself to all the watch's clients, an overflow to
// all), tells all of them when the mount table changes, and asks whether a
// call is due of the clients told something (a record, a Wake) and those
// whose deadline has come, or of all after an overflow, a mount or a Wake
// for all; the calls then run one after the other on the thread, without the
// lock, so a callback may add or remove any client.
//
// In a child made by fork none of this exists: the child starts from an empty
// hub of its own, and closes its copies of the parent's descriptors.
#ifndef TALVORNCOMMON_DETAIL_PATHHUB_H_
#define TALVORNCOMMON_DETAIL_PATHHUB_H_

#include <sys/inotify.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "talvorncommon/detail/Way.h"

namespace TalvornCommon::detail {

class PathHub {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // A watcher served by the hub. All but Call run on the hub's thread (or an
  // adding or removing thread) under the hub's lock, and must not block long.
  class Client {
   public:
    virtual ~Client() = default;
    // A record of one of the client's watches, of a name its way holds there
    // or of the watched inode itself, or an overflow of the queue; `woke` is
    // when the thread woke to read it.
    virtual void OnRecord(const inotify_event& record, std::string_view name, Time woke) = 0;
    // The mount table changed: anything on the way may lead elsewhere.
    virtual void OnMountsChanged(Time woke) = 0;
    // When the thread must wake for the client; nullopt: not before an event.
    // Read again only once the client was told or asked something, or added:
    // it changes in no other way, or a Wake must follow the change.
    virtual std::optional<Time> Deadline() const = 0;
    // Whether a call is due at `now`; `queued` when records still wait in the
    // kernel's queue.
    virtual bool Due(Time now, bool queued) = 0;
    // Makes the call that Due found due, on the hub's thread, without the lock.
    virtual void Call() = 0;
    // The thread gave up on an error of the kernel's: no call follows.
    virtual void Failed(std::string_view why) = 0;
  };

  // This process's hub.
  static PathHub& Get();

  // Serves `client` from now on: opens the descriptors and starts the thread
  // if none runs, then runs `setUp` with the instance's watches under the lock,
  // before any record can reach the client.
  // False, with `reason` set and nothing left open, when a descriptor or the
  // thread cannot be had.
  bool Add(const std::shared_ptr<Client>& client, const std::function<void(Watches&)>& setUp,
           std::string& reason);

  // Serves `client` no longer: waits for its call if one runs on another
  // thread, then runs `tearDown` with the watches under the lock; a call found
  // due and not made yet is not made, even if the client is added again. The
  // last client's removal ends the thread (joined, except from the thread
  // itself, which then ends once the call it runs returns) and closes every
  // descriptor.
  void Remove(Client* client, const std::function<void(Watches&)>& tearDown);

  // True on the hub's thread, while it serves.
  bool OnThread() const;

  // The mount points of the file systems whose calls may wait for a server,
  // from the mount table the thread polls. Under the lock: a client's call
  // other than Call.
  const std::vector<std::string>& FarMounts() const;

  // Wakes the thread to ask `client` what is due, or every client when null:
  // for a client told of something on another thread. Any thread, while that
  // client is served.
  void Wake(const Client* client = nullptr);

  PathHub(const PathHub&) = delete;
  PathHub& operator=(const PathHub&) = delete;

 private:
  PathHub() = default;
  struct State;
  State* state_ = nullptr;  // never freed: a fork's child abandons it
  friend struct HubForkHandler;
};

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_PATHHUB_H_
