// Internal: the watches of the process's one inotify instance, which the ways
// of all its PathWatchers share. The kernel gives one watch per inode, shared
// by every way that watches it, so the mask it holds must be what all those
// ways ask of it together; and a record of a watch concerns only the ways that
// look its name up there. The table knows both without visiting every way: a
// folder that ten thousand watchers share costs a record about what it costs
// one watcher.
//
//   detail::Watches watches(instance);
//   watches.Register(way, client);
//   const int watch = watches.Add(way, "/etc/app", kWayMask, kAddFlags, false);
//   watches.Look(way, watch, "settings.conf");  // before it is looked up
//   watches.ClientsOf(record.wd, name, clients);
//
// Any thread: a way through a server that does not answer is resolved on a
// thread of its own, whose system calls may wait for that server, so they are
// made outside the table's lock, which the thread that serves every watcher
// takes for each record.
#ifndef TALVORNCOMMON_DETAIL_WATCHES_H_
#define TALVORNCOMMON_DETAIL_WATCHES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace TalvornCommon::detail {

class Watches {
 public:
  using Names = std::set<std::string, std::less<>>;

  // `instance` is the descriptor of the instance, read at each call.
  explicit Watches(const std::atomic<int>& instance) : instance_(instance) {}
  Watches(const Watches&) = delete;
  Watches& operator=(const Watches&) = delete;

  // `owner` may watch from now on; the records of its watches are `client`'s.
  void Register(const void* owner, void* client);
  // `owner` watches nothing any more: each of its watches goes or stays as
  // Release has it, and what it adds later is refused (ECANCELED), as a
  // resolution still waiting for its server when the watcher stopped would.
  // Visits the owner's own watches only.
  void Retire(const void* owner);

  // Adds `mask` to what `owner` asks of the inode at `path` (the kernel's mask
  // only grows); the watch, or -1 with errno set. `remote`: a call on the path
  // may wait for a server, so the table never narrows its mask, which would
  // take such a call under the lock.
  int Add(const void* owner, const std::string& path, uint32_t mask, uint32_t flags, bool remote);
  // Makes `mask` all that `owner` asks of `watch`, found at `path`, and sets
  // the kernel's mask to what all its owners ask when it differs (always, if
  // `force`): a mask widened for an owner that has left narrows here. False
  // when the path now leads to another inode: that one is not kept unless
  // some way watches it already.
  bool Set(const void* owner, int watch, const std::string& path, uint32_t mask, uint32_t flags,
           bool force);
  // `owner` no longer needs `watch`: the watch goes when no other owner asks
  // it; otherwise its mask stays as it is (never asked by path here).
  void Release(const void* owner, int watch);

  // `owner` looks `name` up in the folder of `watch`, which it has added: the
  // records that name it reach its client from now on. Called before the
  // lookup, so that a change made meanwhile is heard.
  void Look(const void* owner, int watch, std::string_view name);
  // `owner` looks up `names` in `watch`, and no others any more.
  void Keep(const void* owner, int watch, const Names& names);

  // The clients a record of `watch` concerns, in `clients` (a copy: a client
  // that resolves its way again changes the table): for a `name`, those whose
  // ways look it up there; for none (the watched inode itself, IN_IGNORED),
  // those of all its owners.
  void ClientsOf(int watch, std::string_view name, std::vector<void*>& clients) const;
  // The kernel removed the watch (IN_IGNORED): its number means nothing now.
  void Dropped(int watch);
  // The instance is closed: no watch is left.
  void Clear();

 private:
  struct Ask {
    void* client = nullptr;
    uint32_t mask = 0;
    std::string path;
    Names names;  // looked up in the folder
  };
  struct Entry {
    uint32_t flags = 0;
    uint32_t kernel = 0;  // as last set in the kernel
    bool remote = false;
    std::map<const void*, Ask> owners;
    // How many owners ask each mask: what they ask together, without
    // visiting them. Owners ask one of a few masks.
    std::map<uint32_t, std::size_t> masks;
    // Each name looked up in the folder, with its owners and their clients.
    std::map<std::string, std::map<const void*, void*>, std::less<>> names;
  };
  struct Owner {
    void* client = nullptr;
    std::set<int> watches;  // the entries that it owns
  };

  // Makes `mask` what `ask` asks of `entry`. Under the lock.
  static void Recount(Entry& entry, Ask& ask, uint32_t mask);
  // `owner` looks `name` up in `entry` no more. Under the lock.
  static void Forget(Entry& entry, const std::string& name, const void* owner);
  // Sets the kernel's mask to what all owners ask, by `path`. Under the lock.
  bool Apply(int watch, Entry& entry, const std::string& path, uint32_t flags, bool force);
  // `owner` leaves the entry; the watch goes when no owner is left. Under the lock.
  void Leave(std::map<int, Entry>::iterator entry, const void* owner);
  // Notes that the kernel's watch changed under an Add's call. Under the lock.
  void Changed(int watch);

  const std::atomic<int>& instance_;
  mutable std::mutex mutex_;
  std::map<const void*, Owner> registered_;
  std::map<int, Entry> entries_;
  // Adds whose call runs outside the lock, and the watches removed or narrowed
  // meanwhile, each with the count of such changes when it was made: an Add
  // whose call met one of them may hold a watch or a mask the kernel no longer
  // has, and makes its call again. Removals never wait for a call that may
  // wait for ever for its server.
  int adding_ = 0;
  uint64_t changes_ = 0;
  std::map<int, uint64_t> changed_;
  // Moves on when the instance is closed: an Add whose call spans it has met
  // the old instance, whose watch numbers mean nothing to the new one.
  uint64_t instances_ = 0;
};

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_WATCHES_H_
