// PathWatcher: follows a path to the regular file it leads to, wherever links
// and replaced folders take it, and calls back once per change of what the path
// leads to or of that file's content, on a thread it shares with the process's
// other watchers. Made for a settings file that reloads itself however it is
// deployed: edited in place or saved by rename, reached through a dotfiles
// link, a Kubernetes ConfigMap's `..data` swap or a deploy's `current` link, or
// in a folder that is replaced.
//
//   TalvornCommon::PathWatcher watcher("/etc/app/settings.conf");
//   std::string error;
//   if (!watcher.Start([](const auto& change) { Load(change); }, error)) Report(error);
//   Load(watcher.Current());  // what the path leads to now
//
// Errors: Start and Stop return false and assign a complete English text to
// `error`, whose first quoted part is the path exactly as given to the
// constructor; they leave `error` untouched when they succeed. Nothing is
// thrown for a failure of the watcher itself; allocation failures pass through.
// Start, Stop, IsWatching and Current may be called from any thread.
//
// How it follows the path. Start makes the path absolute and resolves it part
// by part as the kernel would, following up to 40 links (relative targets from
// the link's folder, `..` from where a link led). Every folder on the way, from
// the root down to the file's folder, including the folders a link's target
// leads through, is watched by one inotify instance, each before any name in it
// is looked up, so no change that the kernel reports goes unseen. Whenever an
// event touches a name on the way (created, deleted, moved from or to,
// attributes changed), a watched folder is moved or deleted, or the event queue
// overflows, the path is resolved again and the watches follow it. Which folder
// is watched is decided by the path alone: a folder created again under an old
// name, even with the inode number of the one it replaces, is watched afresh.
//
// Bursts. One save is often several events (an editor writes and renames, a
// ConfigMap swaps a link and deletes a folder), so the events are gathered into
// bursts: a burst ends once `quietPeriod` passes without an event on the way
// and nothing is left in the queue. Once the file has been written to, or
// created as a regular file, its burst lasts until the writer closes it, so a
// writer that pauses while it holds the file open gives one call, after the
// close, as long as each pause is shorter than kWriterQuietPeriod (a longer
// pause ends the burst, and the rest of the file comes in another call). A
// writer that never closes is reported after kWriterQuietPeriod (one second, or
// `quietPeriod` if longer) without an event, and so is a file that is created
// with no writer (a hard link made to it); a file written without pause is
// reported at least every kLongestBurst (five seconds). Events on other names
// in the watched folders end nothing and start nothing.
//
// Calls. `onChanged` runs on the thread "PathWatcher", one call at a time, once
// per burst that changed what the path leads to, that file's content (a write;
// a close of the file opened for writing, so `touch` asks for a reload; a new
// file under a name on the way) or that overflowed the event queue, with the
// Change after the burst. The same problem twice is told once, unless the queue
// overflowed in between. When the path leads nowhere (missing, moved away, a
// dangling link, a link loop, not a regular file, a folder or file that cannot
// be read or watched) the Change carries the problem, the watcher keeps
// watching the places that still exist, and it resumes by itself. A problem
// that no event may end (a permission, an exhausted watch limit) is checked
// again every kRecheckPeriod (two seconds) while it lasts; otherwise the thread
// sleeps in the kernel until an event or Stop wakes it.
//
// One for all. Every started PathWatcher of a process shares one inotify
// instance, one eventfd, one descriptor of the mount table and the one thread
// "PathWatcher", which exists while at least one watcher is started: following
// ten thousand files costs one of the user's instances. Far places add one
// thread per far file system, however many watchers look there. A folder or
// file that several watchers watch is one watch, which asks of the kernel what
// they ask together (what only a stopped watcher asked goes once the way of one
// that remains is next resolved), and the records of a name in it reach only
// the watchers whose way holds that name: a record, and a Stop, cost the thread
// about the same beside ten thousand watchers as beside one. The calls of all
// the watchers are made one after the other on that thread, so a long call
// delays the others' calls: hand long work to a thread of your own.
//
// The file itself is watched too, by its inode, so that its writes are seen
// however they reach it: through another hard link, or on a file bind-mounted
// over the name (a container's single-file volume written in place by the host
// or the container), whose events its folder never sees; such a writer's close
// is not heard, so it is read as one that never closes. A mount gives no
// inotify event, so the watcher also polls the mount table: a file system
// mounted over a folder on the way or over the file, or unmounted, is followed
// like any other change on the way.
//
// Far places. The kernel raises inotify events only for changes made through
// this machine's own mount, so a change made on the other side of a network
// file system (NFS, SMB/CIFS, 9p, Ceph, AFS, Lustre, OCFS2, GFS2, GPFS,
// BeeGFS), behind a user-space one's daemon (FUSE: sshfs, s3fs, rclone, bindfs,
// gcsfuse, GlusterFS, virtiofs) or by the host of a virtual machine's shared
// folder (vboxsf, vmhgfs, prl_fs) is never heard. Each resolution asks every
// place on the way which file system it is on (statfs); an unknown one is taken
// as local. Where one is such a far place, the way from it down to the file is
// looked at every kRemoteLookPeriod on a thread "PathWatcherLook" of that file
// system's (a mount, told apart by its device), which exists while some
// watcher's way has a place on it: the places of all the watchers on it are
// looked at together, a place that several ways share (their folder, the same
// file) asked once a look, and what it shows goes to each watcher whose way
// holds it; a way across two far file systems is looked at on both. A look asks
// what a reader would get. A folder: its identity and modification time (which
// a link replaced in it moves), with statx's AT_STATX_FORCE_SYNC, so that the
// kernel asks the server rather than the attributes an NFS client keeps for 3
// to 60 seconds (a FUSE mount for one). The file: opened, which reaches the
// server where a user-space daemon answers a stat from a cache of its own
// (sshfs keeps attributes for 20 seconds), then asked its identity, size and
// times (the first look as a folder is; after it the kernel's attributes are
// those the open before fetched, so a file that only grew is seen a look
// later, and no look costs more than a reader's open, read and close). Where
// its times are whole seconds (sftp's), so that two
// edits of one size within one second look alike, a file of up to 64 KiB is
// read and its content compared too; a larger one there is told by size and
// times alone, and the first of two such edits stays in force until the next
// change. A file whose times have fractions of a second (NFS, SMB, bindfs) is
// then asked by statx alone. With their default options, any change on NFS, SMB
// or bindfs, and any edit of the file through sshfs (in place, by rename, of
// one size within one second), is seen within about a second, as elsewhere; a
// name replaced on the far side in a folder on the way through sshfs (a link
// swapped, a ConfigMap's `..data`) shows once sshfs's own cache lets it
// through, up to 20 seconds later, or within about a second with sshfs's `-o
// dir_cache=no`. A daemon that keeps attributes of its own and gives times with
// fractions of a second (rclone, s3fs may) shows a change once its cache lets
// it through. What a look finds changed is a burst's event: the way is resolved
// again, and the call comes once a further look at its places, a fifth of a
// second later, finds nothing further changed, so a writer on another machine
// that pauses less than that is read once, whole; a name that comes or goes
// beside the file calls only if the path then leads elsewhere. A look that
// fails is seen as a change, and the path's problem then says why. A far place
// that does not answer (a user-space file system whose daemon died fails every
// call, yet stays mounted) stays far: the path leads nowhere, with a problem
// that names the place and the error, and the place is looked at until it
// answers or is unmounted, and the way is then followed wherever it leads.
// Where every place is local nothing of this exists. A server that stops
// answering holds its file system's look in the kernel, where nothing can
// interrupt it: Stop and the destructor return at once, or, for the last
// watcher on that file system, within about a second (the threads it was the
// last of waited for together), logging that they left the look behind, whose
// thread ends by itself once the server answers; no call is made after Stop has
// returned. Only the watchers whose way goes through that server wait, those on
// other file systems are looked at and called on time: a Start resolves its way
// on the calling thread, which waits for the server alone (a Start made from an
// onChanged callback waits on the thread that serves every watcher; a Stop on
// another thread meanwhile fails at once, as the watcher is not started yet,
// and so does another Start), and from then on a way with a far place is
// resolved on the look thread of its first far file system. A far place that
// comes on a way that had none (a network file system mounted over a folder on
// it, a link turned towards one) is known from the mount table, by its type's
// name, before the way reaches it, and the way is resolved on a look thread
// from there on (first on one for such places, whose server is not known yet).
//
// Limits. Each started watcher needs one watch per folder on the way and one
// for the file, shared with the watchers that watch the same ones (a user has a
// number of watches for all their programs together). A name that comes, goes
// or changes attributes in a watched folder wakes the thread, and so does a
// close after writing in the file's folder, also when it concerns another name
// and ends in no call: a busy folder on the way (temporary files made and
// deleted beside the settings) costs wake-ups; a write to another file does
// not. A write through a memory mapping is not seen; nor is a save by rename on
// the other side of a file bind mount, which keeps the old file. A folder that
// appears on the way and is filled within the same moment (before it is
// watched) may have a slow writer's half-written file reported, followed by a
// call for the rest. Any mount or unmount in the process's mount namespace
// wakes the thread for one resolution of the path. A folder that may be
// searched but not read (mode 0711) cannot be watched, so a path through it
// leads nowhere even where the file could be opened. Where the kernel's
// fs.protected_symlinks is on (read at each Start, and taken as on where it
// cannot be read), a link that ends the walk (the path's last part, or the last
// part of the target of a link that does) in a sticky folder that anyone may
// write is followed only if it belongs to the folder's owner or to the
// file-system user of the thread that resolves: the starting thread at Start,
// then the thread "PathWatcher", which starts with the user of the thread that
// started the process's first watcher and runs the calls (for a way with a far
// place, the "PathWatcherLook" of its file system, made with the user of the
// thread that first found a place on it). In a user namespace, an owner it does
// not map (shown as 65534) is neither. Another such link leads nowhere, as
// opening the path on that thread would fail; a link in the middle of the way,
// or of a link's target, is followed whoever owns it, as the kernel does. A
// real path longer than PATH_MAX is a problem, which names it by its two ends.
//
// Fork. A child made by fork has none of the parent's threads, so its copy of a
// watcher makes no calls there and is as if never started (IsWatching() false,
// Current() and WhyLooked() empty); Stop (which succeeds if the parent's copy
// was started or starting) and the destructor release only the child's copies
// of the watcher's descriptors, never the parent's watch, and Start in the
// child opens a fresh watch of the child's own. This holds whenever the fork
// comes, even while other threads of the parent start, stop or use watchers or
// write the library's log lines: the child takes its copy afresh at its first
// use there, and a fork waits for a log line being written, never for a Start
// or a call. A child that exits after a failed exec, running the destructors of
// static watchers, leaves the parent's watch as it was. What the program logs
// itself while it forks is its own to see to: a lock of a spdlog sink or of
// spdlog's registry held by another of its threads at the fork stays held in
// the child, where the library's next line would wait for it for ever.
//
// What the caller must not do (each ends in a hang or a use after free, as it
// would with any C++ object): destroy the watcher while another thread is in
// its Start or Stop; destroy it from its own onChanged, which is a caller error
// too (the thread cannot wait for itself: the watcher logs an error and makes
// no further call, and its record lives until the callback returns, but
// whatever the callback captured from the owner may be gone by then). A
// callback may start, stop or destroy any other watcher: calls never overlap,
// so that returns at once.
#ifndef TALVORNCOMMON_PATHWATCHER_H_
#define TALVORNCOMMON_PATHWATCHER_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace TalvornCommon {

class PathWatcher {
 public:
  // What the path leads to.
  struct Change {
    // The real path (links resolved) of the regular file the path leads to;
    // empty when none.
    std::string file;
    // Why the path leads to no readable regular file; empty when `file` is set.
    std::string problem;
    bool operator==(const Change&) const = default;
  };
  using OnChanged = std::function<void(const Change&)>;

  // How long a writer that holds the file open may pause before its burst is
  // reported anyway: far longer than the pauses of a program writing a file
  // line by line, short enough for a person watching the result.
  static constexpr std::chrono::milliseconds kWriterQuietPeriod{1000};
  // The longest a burst lasts: a file written without pause is still reported.
  static constexpr std::chrono::milliseconds kLongestBurst{5000};
  // How often a problem that no event may end is checked again.
  static constexpr std::chrono::milliseconds kRecheckPeriod{2000};
  // How often a way through a file system whose changes may come from elsewhere
  // is looked at: a change made on another machine is seen within about a
  // second, for one look a second of each file system's places together (a
  // wake-up of its thread and a round trip to the server for each distinct
  // place asked, three or four for a file opened and read, as through sshfs:
  // about a tenth of a millisecond of CPU each, and as many wake-ups as a
  // thread that reads the file whole once a second).
  static constexpr std::chrono::milliseconds kRemoteLookPeriod{1000};

  // Remembers `path` and opens nothing. `quietPeriod` is how long a burst of
  // events must stay quiet to end (zero ends it as soon as the queue is empty);
  // a negative one is taken as zero, and one longer than kLongestBurst as
  // kLongestBurst, which bounds every burst anyway.
  explicit PathWatcher(std::string path,
                       std::chrono::milliseconds quietPeriod = std::chrono::milliseconds(20));

  // Stops, as Stop does. See above for a destruction from onChanged.
  virtual ~PathWatcher();

  PathWatcher(const PathWatcher&) = delete;
  PathWatcher& operator=(const PathWatcher&) = delete;

  // Resolves the path, watches the folders on the way (and starts the thread);
  // Current() then tells what the path leads to (a path that leads nowhere is
  // no failure: it is watched until it does). `onChanged` is called for the
  // changes that follow, and must not throw (a callback that throws is logged
  // and the watch goes on). Fails if the watcher is started (also from its own
  // onChanged), if `onChanged` is empty, if the path is empty or contains a NUL
  // character, if a relative path cannot be made absolute (the current folder
  // was deleted), or, for the first watcher of the process to start, if no
  // inotify instance or eventfd can be opened (the text tells a user's
  // exhausted fs.inotify.max_user_instances from a process out of descriptors),
  // nor the mount table where /proc has one, or if the thread cannot be
  // created; a failed Start leaves no descriptor and no thread. A relative path
  // is made absolute here, against the current folder. The watcher can be
  // started again after Stop.
  [[nodiscard]] bool Start(OnChanged onChanged, std::string& error);

  // Returns once the call of this watcher that may be running on the thread has
  // returned; after it returns true no call is made until the next Start. The
  // last started watcher's Stop also ends the thread and closes the shared
  // descriptors. Fails if the watcher is not started, or when called from its
  // own onChanged (a thread cannot wait for itself); a failed Stop changes
  // nothing.
  bool Stop(std::string& error);

  // True from a successful Start until a Stop begins, also if the thread has
  // given up meanwhile on an error of the kernel's (logged as an error).
  [[nodiscard]] bool IsWatching() const;

  // Why the way is looked at as well as heard, empty while every place on it is
  // local, and once stopped: its first place on a file system whose changes
  // may come from elsewhere, and that file system ("/mnt/share is on fuse (a
  // user-space file system)"). Any thread.
  [[nodiscard]] std::string WhyLooked() const;

  // What the path led to at Start, or at the last call of onChanged (the Change
  // that call was given, also while it runs). Empty before Start.
  [[nodiscard]] Change Current() const;

 private:
  class Impl;
  // Shared with the thread, which keeps the record alive until it has ended.
  std::shared_ptr<Impl> impl;
};

}  // namespace TalvornCommon

#endif  // TALVORNCOMMON_PATHWATCHER_H_
