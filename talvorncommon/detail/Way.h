// Internal: the way of a PathWatcher's path, the room that knows where the
// path leads and which watches that takes. It resolves the path part by part as
// the kernel would, asks the process's inotify instance to watch every folder
// on the way (each before any name in it is looked up) and the file itself, and
// tells which event records concern the way.
//
//   detail::Way way(absolutePath, watches, client, LinksProtected());
//   bool finalMoved = false;
//   const detail::Resolution now = way.Follow(finalMoved);
//   way.Classify(record, name, seen);  // for every record of its watches
//
// A Way is used by one thread at a time, which may wait in the kernel for a
// server that does not answer. It touches the kernel's watches only through
// `Watches`, the table of the instance it shares with the other ways of the
// process, which never waits for a server under its lock.
#ifndef TALVORNCOMMON_DETAIL_WAY_H_
#define TALVORNCOMMON_DETAIL_WAY_H_

#include <sys/inotify.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "talvorncommon/detail/FileSystems.h"
#include "talvorncommon/detail/Looks.h"
#include "talvorncommon/detail/Watches.h"

namespace TalvornCommon::detail {

// Where the path leads: the real path of a regular file, or why none.
struct Destination {
  std::string file;
  std::string problem;
  bool operator==(const Destination&) const = default;
};

// What the path leads to after a resolution.
struct Resolution {
  Destination change;
  // The problem may end without an event the watches report (a permission
  // granted through a group or an ACL, a watch limit raised).
  bool recheck = false;
  // The walk stopped before a place on a far file system, which it was to
  // avoid: the way is as before, and must be resolved where a wait for that
  // server holds nobody else.
  bool elsewhere = false;
};

// What an event record says about the path.
struct Seen {
  bool relevant = false;        // an event on the way: it starts or extends a burst
  bool way = false;             // the way may lead elsewhere now: resolve it again
  bool content = false;         // the file's content or the file itself may have changed
  bool overflow = false;        // the kernel dropped events
  std::optional<bool> writing;  // a writer began writing the file (true) or closed it
};

// A seam for a race that cannot be caused reliably for real: a writer that
// writes and closes the file just as the way is resolved again. Follow calls
// the hook, when one is set, right after the file's own watch is set and
// before the watches of the folders are settled. Programs never set it; tests
// set it (null removes it) and clear it again.
using ResolveHook = void (*)();
void SetResolveHook(ResolveHook hook) noexcept;
ResolveHook GetResolveHook() noexcept;

// Reads the kernel's fs.protected_symlinks: whether it refuses to follow
// another user's link in a sticky folder that anyone may write.
bool LinksProtected();

// What every folder on the way reports: the names in it that come, go or change
// their attributes (a chmod that makes a folder readable again), and its own
// move or deletion.
inline constexpr uint32_t kWayMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// The folder where the path's last name is looked up also reports closes after
// writing: a file created there may be written and closed before its own watch
// is set. Writes are not asked of the folder, where every write to any file
// would wake the thread, but of the file itself, by its inode, with its
// attributes: so they are seen however they reach it, through another hard
// link or on a file bind-mounted over the name (a container's single-file
// volume), whose events its folder never sees. A writer heard only there is
// heard closing by no watch, and is read as one that never closes. A write or
// a close is asked of one watch only: the kernel queues the records of two
// watches one after the other, so a burst with no quiet period could end
// between them and give a second call for one save.
inline constexpr uint32_t kFinalFolderMask = IN_CLOSE_WRITE;
inline constexpr uint32_t kFileMask = IN_MODIFY | IN_ATTRIB;
// Only folders, never through a link: the watcher passes real paths, so a link
// or a file found in a folder's place was put there meanwhile, and the event
// that put it there brings a new resolution. A file deleted while a writer
// still holds it open is off the way: its writes are not reported.
inline constexpr uint32_t kAddFlags = IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

class Way {
 public:
  // The records of its watches in `watches` go to `client`; `protectedLinks`:
  // the kernel's fs.protected_symlinks is on.
  Way(std::string absolutePath, Watches& watches, void* client, bool protectedLinks)
      : path_(std::move(absolutePath)), watches_(watches), protectedLinks_(protectedLinks) {
    watches_.Register(this, client);
  }
  Way(const Way&) = delete;
  Way& operator=(const Way&) = delete;

  // The file's own watch, -1 when the path leads to none: another number is
  // another file, even under the same real path (a file system mounted over it).
  int fileWatch() const noexcept { return fileWatch_; }

  // Resolves the path part by part, watching each folder before it looks a
  // name up in it, so that a change made meanwhile is an event. Watches of
  // folders that have left the way are released: their events no longer count.
  // Sets `finalMoved` when the path's last name is now looked up elsewhere.
  // With `avoid`, mount points of far file systems, it touches nothing at or
  // below them: it stops before, as Resolution::elsewhere says.
  Resolution Follow(bool& finalMoved, const std::vector<std::string>* avoid = nullptr);

  // Adds what one record says to `seen`. Records of folders that have left
  // the way and of other names are ignored.
  void Classify(const inotify_event& record, std::string_view name, Seen& seen) const;

  // Releases every watch of the way for good, from any thread, also while a
  // Follow waits in the kernel on another: what that Follow adds is refused.
  void Retire() { watches_.Retire(this); }

  // The places on the way, as the last Follow met them, from the first one on
  // a file system whose changes may come from elsewhere (network, user-space,
  // a virtual machine's share) down to the file; empty when all are local.
  const std::vector<LookPlace>& RemotePlaces() const noexcept { return remotePlaces_; }
  // Why RemotePlaces is not empty: its first place and that file system.
  const std::string& RemoteWhy() const noexcept { return remoteWhy_; }

 private:
  struct Folder {
    std::string path;
    std::set<std::string, std::less<>> names;  // looked up in it on the way
  };

  // Whether the walk must stop before `place`; sets `elsewhere` if so.
  bool Avoided(const std::string& place, Resolution& result) const;
  // The folder's watch descriptor in `wanted`, added to the kernel's; -1 with
  // `problem` set when it cannot be watched.
  int Watch(const std::filesystem::path& folder, std::map<int, Folder>& wanted, Resolution& result);
  // Adds the close after writing to the mask of the folder where the last name
  // is looked up; returns its watch, or -1 if another folder has taken its
  // place meanwhile (the event that put it there follows).
  int AskClose(const std::filesystem::path& folder, int watch, std::map<int, Folder>& wanted);
  Resolution Walk(std::map<int, Folder>& wanted, int& finalWatch, std::string& finalName);
  // Asks which file system `place` is on, and notes it as walked (farMet_
  // then tells whether a call on its path may wait for a server); false, with
  // the problem set, when it is on a far one that does not answer.
  bool Walked(LookPlace::Kind kind, const std::string& place, Resolution& result);
  // Whether `place`, where a call failed with `error`, is on a far file system
  // that does not answer (a user-space one whose daemon died, a server gone):
  // if so the path leads nowhere, with a problem that names the place and the
  // error, and the place is noted as a far one, looked at until it answers or
  // is unmounted.
  bool Unreachable(LookPlace::Kind kind, const std::string& place, int error, Resolution& result);
  // The device whose looks `place` is in, when it is on a far file system.
  dev_t DeviceOf(const std::string& place, const std::optional<FileSystem>& fileSystem) const;
  // Finds the first walked place on a remote file system.
  void FindRemote();

  std::string path_;
  Watches& watches_;
  const bool protectedLinks_;
  std::map<int, Folder> folders_;
  // Where the path's last name is looked up: the file's folder and name, or
  // where it is missing. -1 when the walk ended before the last name.
  int finalWatch_ = -1;
  std::string finalName_;
  // The file's own watch; -1 when the path leads to none.
  int fileWatch_ = -1;
  // A mask was set on a folder that had replaced the one meant.
  bool masksUnsure_ = false;
  // The places the walk met, in order, with their file systems (none for a
  // link, which is on its folder's, or a place that cannot be asked); then
  // those from the first remote one.
  std::vector<std::pair<LookPlace, std::optional<FileSystem>>> walked_;
  std::vector<LookPlace> remotePlaces_;
  std::string remoteWhy_;
  // The walk has met a far place: the places after it are reached through it.
  bool farMet_ = false;
  // The mount points the walk under way must not touch; null: none.
  const std::vector<std::string>* avoid_ = nullptr;
};

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_WAY_H_
