#include "talvorncommon/PathWatcher.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <linux/magic.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/fsuid.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "talvorncommon/detail/Burst.h"
#include "talvorncommon/detail/InotifyEvents.h"
#include "talvorncommon/detail/Log.h"
#include "talvorncommon/detail/ProtectedSymlinks.h"
#include "talvorncommon/detail/ResolveHook.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon {

namespace detail {
namespace {
std::atomic<ResolveHook> resolveHook{nullptr};
}  // namespace
void SetResolveHook(ResolveHook hook) noexcept { resolveHook.store(hook); }
ResolveHook GetResolveHook() noexcept { return resolveHook.load(); }
}  // namespace detail

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using detail::Verbosity;

static_assert(PathWatcher::kWriterQuietPeriod == detail::Burst::kWriterQuietPeriod &&
                  PathWatcher::kLongestBurst == detail::Burst::kLongestBurst &&
                  PathWatcher::kRecheckPeriod == detail::Burst::kRecheckPeriod,
              "the periods PathWatcher tells are those its bursts keep");

// Shown by debuggers, top and /proc/<pid>/task/<tid>/comm.
constexpr const char* kThreadName = "PathWatcher";

// The kernel gives up after 40 links on the way (ELOOP); the watcher follows
// exactly what opening the path would reach.
constexpr int kMaxLinks = 40;

// Room for a few hundred records per read; the thread reads again at once when
// more are queued.
constexpr std::size_t kReadBufferSize = 16384;

// What every folder on the way reports: the names in it that come, go or change
// their attributes (a chmod that makes a folder readable again), and its own
// move or deletion.
constexpr uint32_t kWayMask =
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
constexpr uint32_t kFinalFolderMask = IN_CLOSE_WRITE;
constexpr uint32_t kFileMask = IN_MODIFY | IN_ATTRIB;
// Only folders, never through a link: the watcher passes real paths, so a link
// or a file found in a folder's place was put there meanwhile, and the event
// that put it there brings a new resolution. A file deleted while a writer
// still holds it open is off the way: its writes are not reported.
constexpr uint32_t kAddFlags = IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

// The watcher whose thread this is, null on other threads: its own callback
// calling Start, Stop or the destructor is told apart by it.
thread_local const void* currentWatcher = nullptr;

std::string ErrorText(int error) { return std::generic_category().message(error); }

// A path too long for the kernel is named by its two ends: thousands of
// characters in a problem, and in the log line that repeats it, help nobody.
std::string Shortened(const std::string& path) {
  constexpr std::size_t kEnd = 60;
  if (path.size() <= 3 * kEnd) return path;
  return path.substr(0, kEnd) + "... (" + std::to_string(path.size()) + " characters) ..." +
         path.substr(path.size() - kEnd);
}

// A link in /proc whose target is a kernel object, not a path: an open
// descriptor's pipe, socket or anonymous inode ("pipe:[4026]").
bool LeadsToKernelObject(const fs::path& folder, const std::string& target) {
  struct statfs fileSystem {};
  return !target.empty() && target.front() != '/' && target.find(':') != std::string::npos &&
         ::statfs(folder.c_str(), &fileSystem) == 0 && fileSystem.f_type == PROC_SUPER_MAGIC;
}

// Why no inotify instance could be opened. The kernel says EMFILE both when the
// process is out of descriptors and when the user's programs together hold as
// many instances as fs.inotify.max_user_instances allows (128 by default): a
// descriptor that can still be opened tells the two apart.
std::string InstanceFailure(int error) {
  if (error == EMFILE) {
    const int probe = ::eventfd(0, EFD_CLOEXEC);
    if (probe >= 0) {
      ::close(probe);
      return "the user's programs already hold as many inotify instances as "
             "fs.inotify.max_user_instances allows";
    }
  }
  return ErrorText(error);
}

// True when records wait in the instance's queue.
bool Queued(int instance) {
  int bytes = 0;
  return ::ioctl(instance, FIONREAD, &bytes) == 0 && bytes > 0;
}

// Owns a file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int descriptor = -1) noexcept : descriptor_(descriptor) {}
  Descriptor(Descriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { Reset(); }

  int get() const noexcept { return descriptor_; }
  void Reset() noexcept {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
  }

 private:
  int descriptor_;
};

// What the path leads to after a resolution.
struct Resolution {
  PathWatcher::Change change;
  // The problem may end without an event the watches report (a permission
  // granted through a group or an ACL, a watch limit raised).
  bool recheck = false;
};

// What an event record says about the path.
struct Seen {
  bool relevant = false;        // an event on the way: it starts or extends a burst
  bool way = false;             // the way may lead elsewhere now: resolve it again
  bool content = false;         // the file's content or the file itself may have changed
  bool overflow = false;        // the kernel dropped events
  std::optional<bool> writing;  // a writer began writing the file (true) or closed it
};

// A place that cannot be watched is a problem, checked again later.
void CannotWatch(std::string place, int error, Resolution& result) {
  // By value: the place may be the file's path, cleared here.
  result.change.file.clear();
  result.change.problem = "cannot watch " + place + ": " +
                          (error == ENOSPC ? "the user's limit of inotify watches is reached "
                                             "(fs.inotify.max_user_watches)"
                                           : ErrorText(error));
  result.recheck = true;
}

// The watches of one inotify instance: every folder on the path's way, by
// watch descriptor, with the names looked up in it.
class Way {
 public:
  // `protectedLinks`: the kernel's fs.protected_symlinks is on.
  Way(std::string absolutePath, Descriptor instance, bool protectedLinks)
      : path_(std::move(absolutePath)),
        instance_(std::move(instance)),
        protectedLinks_(protectedLinks) {}

  int descriptor() const noexcept { return instance_.get(); }
  // The file's own watch, -1 when the path leads to none: another number is
  // another file, even under the same real path (a file system mounted over it).
  int fileWatch() const noexcept { return fileWatch_; }

  // Resolves the path part by part, watching each folder before it looks a
  // name up in it, so that a change made meanwhile is an event. Watches of
  // folders that have left the way are removed: their events no longer count.
  // Sets `finalMoved` when the path's last name is now looked up elsewhere.
  Resolution Follow(bool& finalMoved);

  // Adds what one record says to `seen`. Records of folders that have left
  // the way and of other names are ignored.
  void Classify(const inotify_event& record, std::string_view name, Seen& seen) const;

 private:
  struct Folder {
    std::string path;
    std::set<std::string, std::less<>> names;  // looked up in it on the way
    uint32_t mask = kWayMask;                  // as last set in the kernel
    bool closeAsked = false;                   // the walk added kFinalFolderMask
  };

  // The folder's watch descriptor in `wanted`, added to the kernel's; -1 with
  // `problem` set when it cannot be watched.
  int Watch(const fs::path& folder, std::map<int, Folder>& wanted, Resolution& result);
  // Adds the close after writing to the mask of the folder where the last name
  // is looked up; returns its watch, or -1 if another folder has taken its
  // place meanwhile (the event that put it there follows).
  int AskClose(const fs::path& folder, int watch, std::map<int, Folder>& wanted);
  Resolution Walk(std::map<int, Folder>& wanted, int& finalWatch, std::string& finalName);

  std::string path_;
  Descriptor instance_;
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
};

int Way::Watch(const fs::path& folder, std::map<int, Folder>& wanted, Resolution& result) {
  const std::string text = folder.string();
  // IN_MASK_ADD keeps the content bits of a folder that holds the file: they
  // are narrowed, if at all, only once the whole way is known.
  const int watch =
      ::inotify_add_watch(instance_.get(), text.c_str(), kWayMask | kAddFlags | IN_MASK_ADD);
  if (watch >= 0) {
    Folder& entry = wanted[watch];
    if (entry.path.empty()) entry.path = text;
    return watch;
  }
  if (errno == ENOENT || errno == ENOTDIR) {
    // Replaced since it was looked up: the event that replaced it follows.
    result.change.problem = text + " is no longer a folder";
  } else {
    CannotWatch(text, errno, result);
  }
  return -1;
}

int Way::AskClose(const fs::path& folder, int watch, std::map<int, Folder>& wanted) {
  const int asked = ::inotify_add_watch(instance_.get(), folder.c_str(),
                                        kWayMask | kFinalFolderMask | kAddFlags | IN_MASK_ADD);
  if (asked == watch) {
    wanted[watch].closeAsked = true;
    return watch;
  }
  // Whatever took the folder's place is not on the way as it was walked.
  if (asked >= 0 && wanted.count(asked) == 0 && folders_.count(asked) == 0)
    ::inotify_rm_watch(instance_.get(), asked);
  masksUnsure_ = true;
  return -1;
}

// Where Start reads fs.protected_symlinks; null: the kernel's own file.
std::atomic<const char*> protectedSymlinksFile{nullptr};

// Whether the kernel refuses to follow another user's link in a sticky folder
// that anyone may write. Where that cannot be read, it is taken to: a link the
// kernel refuses, once followed here, would be opened by its real path, where
// no link is left for the kernel to refuse.
bool LinksProtected() {
  const char* file = protectedSymlinksFile.load();
  const Descriptor setting(
      ::open(file ? file : "/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC));
  char value = '1';  // what a failed read leaves
  if (setting.get() >= 0) static_cast<void>(::read(setting.get(), &value, 1));
  return value != '0';
}

// The kernel's rule for following `link`, found in `folder`, while the setting
// is on: it stops another user from pointing a name in /tmp that a root
// program opens at a file of their choosing. Judged with the file-system user
// of the thread that resolves, as the kernel judges the thread that opens: the
// watcher's calls run on the thread that resolved, so what they open is judged
// alike. A folder that cannot be looked at any more is taken to refuse it.
bool FollowRefused(const fs::path& folder, const struct stat& link) {
  // An invalid id changes nothing and returns the thread's file-system user.
  if (link.st_uid == static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)))) return false;
  struct stat parent {};
  return ::stat(folder.c_str(), &parent) != 0 ||
         ((parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0 &&
          parent.st_uid != link.st_uid);
}

Resolution Way::Walk(std::map<int, Folder>& wanted, int& finalWatch, std::string& finalName) {
  Resolution result;
  std::vector<std::string> pending;  // the parts still to walk, the next one last
  const auto push = [&pending](const fs::path& route) {
    std::vector<std::string> parts;
    for (const fs::path& part : route) parts.push_back(part.string());
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  };
  push(path_);
  // Always a real folder, watched: ".." after a link goes up from where the
  // link led, as it does for open().
  fs::path at = "/";
  int atWatch = Watch(at, wanted, result);
  std::string lastLink;  // the last link followed, for a dangling link's problem
  int links = 0;
  while (atWatch >= 0 && !pending.empty()) {
    const std::string part = pending.back();
    pending.pop_back();
    if (part.empty() || part == "." || part == "/") continue;
    if (part == "..") {
      at = at.parent_path();
      atWatch = Watch(at, wanted, result);
      continue;
    }
    const fs::path entry = at / part;
    const bool last = pending.empty();
    wanted[atWatch].names.insert(part);
    if (last) {
      // The close is asked of this folder before the file is looked up and
      // watched: a writer that writes and closes in between is heard closing.
      finalWatch = AskClose(at, atWatch, wanted);
      finalName = part;
    }
    struct stat status {};
    if (::lstat(entry.c_str(), &status) != 0) {
      const int error = errno;
      if (error == ENOENT) {
        result.change.problem = entry.string() + " does not exist";
        if (!lastLink.empty())
          result.change.problem += " (reached through the link " + lastLink + ")";
      } else {
        result.change.problem =
            "cannot look into " + Shortened(at.string()) + ": " + ErrorText(error);
        // A real path longer than the kernel takes stays too long.
        result.recheck = error != ENAMETOOLONG;
      }
      return result;
    }
    if (S_ISLNK(status.st_mode)) {
      // The last name is now looked up where the link leads.
      if (last) finalWatch = -1;
      if (++links > kMaxLinks) {
        result.change.problem = "a link loop, or more than " + std::to_string(kMaxLinks) +
                                " links, on the way to " + path_;
        return result;
      }
      if (protectedLinks_ && FollowRefused(at, status)) {
        result.change.problem = "cannot follow the link " + entry.string() +
                                ": in a sticky folder that anyone may write, fs.protected_symlinks "
                                "refuses a link that is neither the folder owner's nor the "
                                "process's";
        // The process may take on the link owner's user, which no event tells.
        result.recheck = true;
        return result;
      }
      std::error_code error;
      const fs::path target = fs::read_symlink(entry, error);
      if (error) {
        result.change.problem = "cannot read the link " + entry.string() + ": " + error.message();
        result.recheck = true;
        return result;
      }
      if (LeadsToKernelObject(at, target.string())) {
        result.change.problem =
            entry.string() + " is not a regular file: it leads to " + target.string();
        return result;
      }
      if (target.is_absolute()) {
        at = "/";
        atWatch = Watch(at, wanted, result);
      }
      push(target);
      lastLink = entry.string();
      continue;
    }
    if (!last) {
      if (!S_ISDIR(status.st_mode)) {
        result.change.problem = entry.string() + " is not a folder";
        return result;
      }
      at = entry;
      atWatch = Watch(at, wanted, result);
      continue;
    }
    if (S_ISDIR(status.st_mode)) {
      result.change.problem = entry.string() + " is a folder, not a file";
    } else if (!S_ISREG(status.st_mode)) {
      result.change.problem = entry.string() + " is not a regular file";
    } else if (::faccessat(AT_FDCWD, entry.c_str(), R_OK, AT_EACCESS) != 0) {
      // As the process would open it: with its effective ids, not the real ones.
      result.change.problem = "cannot read " + entry.string() + ": " + ErrorText(errno);
      result.recheck = true;
    } else {
      result.change.file = entry.string();
    }
    return result;
  }
  // A path ending in "/", "." or "..": its last part is a folder.
  if (result.change.problem.empty()) result.change.problem = path_ + " names a folder, not a file";
  return result;
}

Resolution Way::Follow(bool& finalMoved) {
  std::map<int, Folder> wanted;
  int finalWatch = -1;
  std::string finalName;
  Resolution result = Walk(wanted, finalWatch, finalName);
  // Set anew each time: a file replaced under the same name is another inode.
  // One that is gone by now is no problem: the event that removed it follows.
  int fileWatch = -1;
  if (!result.change.file.empty()) {
    fileWatch = ::inotify_add_watch(instance_.get(), result.change.file.c_str(),
                                    kFileMask | IN_DONT_FOLLOW);
    if (fileWatch < 0 && errno != ENOENT) CannotWatch(result.change.file, errno, result);
  }
  if (detail::ResolveHook hook = detail::GetResolveHook()) hook();
  if (fileWatch_ >= 0 && fileWatch_ != fileWatch) ::inotify_rm_watch(instance_.get(), fileWatch_);
  fileWatch_ = fileWatch;
  bool unsure = false;
  for (const auto& [watch, folder] : folders_) {
    if (wanted.count(watch) == 0) ::inotify_rm_watch(instance_.get(), watch);
  }
  for (auto& [watch, folder] : wanted) {
    const auto previous = folders_.find(watch);
    // A watch kept from before still has its mask; a new one has the way's.
    const uint32_t had = (previous == folders_.end() ? kWayMask : previous->second.mask) |
                         (folder.closeAsked ? kFinalFolderMask : 0);
    folder.mask = kWayMask | (watch == finalWatch ? kFinalFolderMask : 0);
    if (folder.mask == had && !masksUnsure_) continue;
    // Replaces the mask, by path. Should another folder have taken the path
    // meanwhile, the watch it got is not ours to keep, and the masks of the
    // watches may no longer be what is recorded: the next resolution, which
    // the event of that replacement brings, sets them all again.
    const int replaced =
        ::inotify_add_watch(instance_.get(), folder.path.c_str(), folder.mask | kAddFlags);
    if (replaced == watch) continue;
    if (replaced >= 0 && wanted.count(replaced) == 0) ::inotify_rm_watch(instance_.get(), replaced);
    unsure = true;
  }
  masksUnsure_ = unsure;
  folders_ = std::move(wanted);
  finalMoved = finalWatch != finalWatch_ || finalName != finalName_;
  finalWatch_ = finalWatch;
  finalName_ = std::move(finalName);
  return result;
}

void Way::Classify(const inotify_event& record, std::string_view name, Seen& seen) const {
  if ((record.mask & IN_Q_OVERFLOW) != 0) {
    // Anything may have happened meanwhile.
    seen.relevant = seen.way = seen.content = seen.overflow = true;
    return;
  }
  if (fileWatch_ >= 0 && record.wd == fileWatch_) {
    // Its deletion (IN_IGNORED) is told by its folder, or by the link on the way.
    if ((record.mask & IN_ATTRIB) != 0) seen.relevant = seen.way = true;
    if ((record.mask & IN_MODIFY) != 0) {
      seen.relevant = seen.content = true;
      seen.writing = true;
    }
    return;
  }
  const auto folder = folders_.find(record.wd);
  if (folder == folders_.end()) return;  // it has left the way
  if (name.empty()) {
    // The folder itself moved away or was deleted, or its permissions may
    // have changed: the root of a file system ("/", a mount) has no parent to
    // tell that as a change of one of its names.
    if (detail::EndsWatch(record.mask)) {
      seen.relevant = seen.way = seen.content = true;
    } else if ((record.mask & IN_ATTRIB) != 0) {
      seen.relevant = seen.way = true;
    }
    return;
  }
  if (folder->second.names.find(name) == folder->second.names.end()) return;
  seen.relevant = true;
  const bool isFinal = record.wd == finalWatch_ && name == finalName_;
  if ((record.mask & IN_ATTRIB) != 0) seen.way = true;  // a permission may have changed
  if ((record.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) != 0) {
    seen.way = seen.content = true;
    // Whoever creates a file writes it and closes it; a file moved in is whole.
    if (isFinal) seen.writing = (record.mask & IN_CREATE) != 0 && (record.mask & IN_ISDIR) == 0;
  }
  if (isFinal && (record.mask & IN_CLOSE_WRITE) != 0) {
    seen.content = true;
    seen.writing = false;
  }
}

}  // namespace

void detail::SetProtectedSymlinksFile(const char* path) noexcept {
  protectedSymlinksFile.store(path);
}

class PathWatcher::Impl {
 public:
  Impl(std::string givenPath, std::chrono::milliseconds quiet)
      : path(std::move(givenPath)), quietPeriod(quiet) {}

  // Opens the instance and the eventfd, resolves the path and starts the
  // thread. Runs under startStopMutex with `watching` false; on failure
  // nothing stays open.
  bool StartInternal(const std::shared_ptr<Impl>& self, OnChanged callback, std::string& reason);

  // Ends the watch: wakes the thread and joins it. Runs under startStopMutex.
  void StopInternal();

  // True in a child made by fork from a process whose copy of this watcher was
  // started: the thread that serves the watch, and the watch itself, are the
  // parent's, and only the child's copies of the descriptors are its own.
  bool Inherited() const {
    const pid_t owner = ownerPid.load();
    return owner != 0 && owner != ::getpid();
  }
  // Closes the child's copies of the descriptors and forgets the parent's
  // thread, without a word to it: the eventfd is shared with the parent, whose
  // thread would take a write to it for its own Stop.
  void ReleaseInherited();

  // The thread: sleeps in poll until events or Stop, gathers bursts, calls back.
  void Run(Way way, Descriptor mounts, int wake, Resolution first);

  // Makes `next` the current Change, warns when a problem begins, calls back.
  void Report(const Change& next);

  void LogError(int line, std::string_view format, std::string_view detail = {}) const {
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kError, line, format, path, detail);
  }

  const std::string path;
  const std::chrono::milliseconds quietPeriod;  // as given: the burst bounds it
  std::mutex startStopMutex;
  // Under startStopMutex.
  std::thread thread;
  Descriptor wake;  // written by Stop, polled by the thread
  std::atomic<bool> watching{false};
  // The process whose thread serves the watch, 0 when none; with the numbers
  // of the descriptors that thread holds, for a child made by fork to close.
  std::atomic<pid_t> ownerPid{0};
  int instanceNumber = -1;
  int mountsNumber = -1;
  // Set by StartInternal before the thread exists; then the thread's alone.
  OnChanged onChanged;
  mutable std::mutex currentMutex;
  Change current;  // under currentMutex
};

bool PathWatcher::Impl::StartInternal(const std::shared_ptr<Impl>& self, OnChanged callback,
                                      std::string& reason) {
  if (!callback) {
    reason = "the onChanged callback is empty";
    return false;
  }
  if (path.empty()) {
    reason = "the path is empty";
    return false;
  }
  // The kernel reads a path only up to its first NUL: it would watch another
  // path than the one named.
  if (path.find('\0') != std::string::npos) {
    reason = "the path contains a NUL character";
    return false;
  }
  std::error_code failure;
  const fs::path absolute = fs::absolute(path, failure);
  if (failure) {
    reason = "cannot make the path absolute: " + failure.message();
    return false;
  }
  // IN_CLOEXEC and EFD_CLOEXEC: a child the host execs must not inherit them,
  // or the instance would outlive Stop and count against the user's limit.
  Descriptor instance(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (instance.get() < 0) {
    reason = "inotify_init1 failed: " + InstanceFailure(errno);
    return false;
  }
  Descriptor wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (wakeFd.get() < 0) {
    reason = "eventfd failed: " + ErrorText(errno);
    return false;
  }
  // The kernel reports no inotify event for a mount: a file system mounted over
  // a folder on the way (or over the file) is heard as a change of the mount
  // table, which polls as POLLPRI. Without /proc mounts go unheard. The
  // calling thread's table: /proc/self names the main thread, whose table
  // cannot be opened once it has ended with pthread_exit.
  Descriptor mounts(::open("/proc/thread-self/mountinfo", O_RDONLY | O_CLOEXEC));
  if (mounts.get() < 0 && errno != ENOENT) {
    reason = "opening /proc/thread-self/mountinfo failed: " + ErrorText(errno);
    return false;
  }
  const int instanceHeld = instance.get();
  // Read once per Start: a change of the setting is seen by the next one.
  Way way(absolute.string(), std::move(instance), LinksProtected());
  bool ignored = false;
  const Resolution first = way.Follow(ignored);
  // Set before the thread exists: its first call must find them, and must not
  // be overwritten by them.
  onChanged = std::move(callback);
  wake = std::move(wakeFd);
  watching = true;
  instanceNumber = instanceHeld;
  mountsNumber = mounts.get();
  ownerPid = ::getpid();
  Change before;
  {
    std::lock_guard<std::mutex> lock(currentMutex);
    before = std::exchange(current, first.change);
  }
  try {
    if (detail::WatchThreadHook hook = detail::GetWatchThreadHook()) hook();
    // The thread shares the record, so that a watcher destroyed from its own
    // callback stays alive until the thread has left it.
    thread = std::thread([self, way = std::move(way), mounts = std::move(mounts),
                          wakeFd = wake.get(), first]() mutable {
      self->Run(std::move(way), std::move(mounts), wakeFd, std::move(first));
    });
  } catch (const std::system_error& exception) {
    watching = false;
    ownerPid = 0;
    wake.Reset();
    onChanged = nullptr;
    std::lock_guard<std::mutex> lock(currentMutex);
    current = std::move(before);
    reason = fmt::format("watch thread creation failed: {}", exception.what());
    return false;
  }
  const std::string leadsTo = first.change.problem.empty()
                                  ? "it leads to " + first.change.file
                                  : "it leads to no readable file: " + first.change.problem;
  detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kInfo, detail::kLinePathStarted,
                    "Started a PathWatcher on '{}': {}", path, leadsTo);
  if (!first.change.problem.empty()) {
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kWarning, detail::kLinePathProblem,
                      "A PathWatcher on '{}' leads to no readable file: {}", path,
                      first.change.problem);
  }
  return true;
}

void PathWatcher::Impl::StopInternal() {
  watching = false;
  ownerPid = 0;
  const uint64_t one = 1;
  // An eventfd's counter cannot overflow from one write; nothing to handle.
  static_cast<void>(::write(wake.get(), &one, sizeof one));
  thread.join();
  wake.Reset();  // only now: the thread polled it until it ended
  onChanged = nullptr;
  detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kInfo, detail::kLinePathStopped,
                    "Stopped a PathWatcher on '{}'.", path);
}

void PathWatcher::Impl::ReleaseInherited() {
  watching = false;
  ownerPid = 0;
  // The std::thread names the parent's thread, which cannot be joined or
  // detached here; its storage is reused as if it had never been started.
  ::new (static_cast<void*>(&thread)) std::thread();
  // The child has only the thread that forked: a lock held by another of the
  // parent's threads at the fork would stay held for ever in the copy.
  ::new (static_cast<void*>(&startStopMutex)) std::mutex();
  ::new (static_cast<void*>(&currentMutex)) std::mutex();
  if (currentWatcher == this) currentWatcher = nullptr;  // forked from its own callback
  wake.Reset();
  for (int* number : {&instanceNumber, &mountsNumber}) {
    if (*number >= 0) ::close(*number);
    *number = -1;
  }
  onChanged = nullptr;
}

void PathWatcher::Impl::Report(const Change& next) {
  Change previous;
  {
    std::lock_guard<std::mutex> lock(currentMutex);
    previous = std::exchange(current, next);
  }
  if (!next.problem.empty() && next.problem != previous.problem) {
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kWarning, detail::kLinePathProblem,
                      "A PathWatcher on '{}' leads to no readable file: {}", path, next.problem);
  }
  // A callback should not throw; one that does must not end the watch.
  try {
    onChanged(next);
  } catch (const std::exception& exception) {
    LogError(detail::kLinePathCallbackThrew,
             "The onChanged callback of a PathWatcher on '{}' threw an exception: {}",
             exception.what());
  } catch (...) {
    LogError(detail::kLinePathCallbackThrewUnknown,
             "The onChanged callback of a PathWatcher on '{}' threw an unknown exception!");
  }
}

void PathWatcher::Impl::Run(Way way, Descriptor mounts, int wakeFd, Resolution first) {
  ::pthread_setname_np(::pthread_self(), kThreadName);
  currentWatcher = this;
  alignas(inotify_event) std::array<char, kReadBufferSize> buffer;
  Change reported = std::move(first.change);
  detail::Burst burst(quietPeriod, Clock::now(), first.recheck);
  int reportedFile = way.fileWatch();
  // Resolves the way again at once, so that the next records are read against
  // the way as it is now, and a folder that has just appeared is watched
  // before a writer fills it.
  const auto followNow = [&] {
    bool finalMoved = false;
    const Resolution now = way.Follow(finalMoved);
    // No file for a writer to close: a link, a folder, a fifo.
    burst.Resolved(now.recheck, finalMoved || now.change.file.empty());
  };
  std::array<pollfd, 3> polled{
      {{way.descriptor(), POLLIN, 0}, {wakeFd, POLLIN, 0}, {mounts.get(), POLLPRI, 0}}};
  for (;;) {
    // Asleep in the kernel until an event or Stop, except while a burst is
    // gathered or a problem awaits its recheck.
    const std::optional<Clock::time_point> deadline = burst.Deadline();
    timespec timeout{};
    if (deadline) {
      const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
      timeout.tv_sec = static_cast<time_t>(seconds.count());
      timeout.tv_nsec = static_cast<long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
    }
    // No timeout at all while there is nothing to wait for: the thread sleeps
    // until the kernel has an event for it or Stop writes to the eventfd.
    if (::ppoll(polled.data(), polled.size(), deadline ? &timeout : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      LogError(detail::kLinePathFailed, "A PathWatcher on '{}' stopped following its path: {}",
               "poll failed: " + ErrorText(errno));
      return;
    }
    if (polled[1].revents != 0) return;  // Stop
    // Every record of one read is timed as the wake that read it.
    const Clock::time_point woke = Clock::now();
    if ((polled[2].revents & POLLPRI) != 0) {  // mounted or unmounted anywhere
      followNow();
      burst.Hear(woke, {});
    }
    if ((polled[0].revents & POLLIN) != 0) {
      const ssize_t size = ::read(way.descriptor(), buffer.data(), buffer.size());
      if (size < 0 && errno != EAGAIN && errno != EINTR) {
        LogError(detail::kLinePathFailed, "A PathWatcher on '{}' stopped following its path: {}",
                 "reading the inotify instance failed: " + ErrorText(errno));
        return;
      }
      detail::ForEachInotifyRecord(
          buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(size, 0)),
          [&](const inotify_event& record, std::string_view name) {
            Seen seen;
            way.Classify(record, name, seen);
            if (!seen.relevant) return;
            burst.Hear(
                woke,
                {.content = seen.content, .overflow = seen.overflow, .writing = seen.writing});
            if (seen.way) followNow();
          });
    }
    const Clock::time_point now = Clock::now();
    const std::optional<detail::Burst::End> end = burst.Due(now, Queued(way.descriptor()));
    if (!end) continue;
    // The burst has ended, or a problem is due to be checked again.
    Change next = reported;
    if (end->resolve) {
      bool finalMoved = false;
      Resolution resolved = way.Follow(finalMoved);
      burst.Settled(now, resolved.recheck);
      next = std::move(resolved.change);
    }
    const bool otherFile = way.fileWatch() != reportedFile;
    reportedFile = way.fileWatch();
    if (end->Calls(next != reported, otherFile, !next.file.empty())) {
      reported = std::move(next);
      Report(reported);
    }
  }
}

PathWatcher::PathWatcher(std::string path, std::chrono::milliseconds quietPeriod)
    : impl(std::make_shared<Impl>(std::move(path), quietPeriod)) {}

PathWatcher::~PathWatcher() {
  Impl& self = *impl;
  // In a child made by fork, which has only the thread that forked, the
  // start/stop lock may be a copy of one held by another of the parent's.
  if (self.Inherited()) {
    self.ReleaseInherited();
    return;
  }
  if (currentWatcher == &self) {
    // The thread cannot be joined from itself. It is told to stop and left to
    // end once the callback returns; it holds the record until then.
    self.LogError(detail::kLinePathDestroyedFromCallback,
                  "A PathWatcher on '{}' was destroyed from its own onChanged callback; its "
                  "thread ends once the callback returns.");
    // The lock orders this after the Start that made the thread.
    std::lock_guard<std::mutex> lock(self.startStopMutex);
    self.watching = false;
    const uint64_t one = 1;
    static_cast<void>(::write(self.wake.get(), &one, sizeof one));
    self.thread.detach();
    return;
  }
  std::lock_guard<std::mutex> lock(self.startStopMutex);
  if (self.watching) self.StopInternal();
}

bool PathWatcher::Start(OnChanged onChanged, std::string& error) {
  Impl& self = *impl;
  {
    // From its own onChanged the watcher is started, and the lock may be held
    // by a Stop that waits for that very call.
    const bool inherited = self.Inherited();
    if (inherited) self.ReleaseInherited();
    const bool fromCallback = !inherited && currentWatcher == &self;
    std::unique_lock<std::mutex> lock(self.startStopMutex, std::defer_lock);
    if (!fromCallback && !inherited) lock.lock();
    std::string reason;
    if (fromCallback || self.watching) {
      error =
          fmt::format("A PathWatcher on '{}' has already been started; start aborted!", self.path);
    } else if (self.StartInternal(impl, std::move(onChanged), reason)) {
      return true;
    } else {
      error = fmt::format("Encountered an error while starting a PathWatcher on '{}': {}",
                          self.path, reason);
    }
  }
  detail::LogTextIn(detail::kPathWatcherLogFile, Verbosity::kError, detail::kLinePathStartFailed,
                    error);
  return false;
}

bool PathWatcher::Stop(std::string& error) {
  Impl& self = *impl;
  if (self.Inherited()) {
    self.ReleaseInherited();
    return true;
  }
  if (currentWatcher == &self) {
    error = fmt::format(
        "A PathWatcher on '{}' cannot be stopped from its own onChanged callback; stop aborted!",
        self.path);
  } else {
    std::lock_guard<std::mutex> lock(self.startStopMutex);
    if (self.watching) {
      self.StopInternal();
      return true;
    }
    error = fmt::format("A PathWatcher on '{}' has not been started yet; stop aborted!", self.path);
  }
  detail::LogTextIn(detail::kPathWatcherLogFile, Verbosity::kError, detail::kLinePathFailed, error);
  return false;
}

bool PathWatcher::IsWatching() const { return impl->watching.load() && !impl->Inherited(); }

PathWatcher::Change PathWatcher::Current() const {
  std::lock_guard<std::mutex> lock(impl->currentMutex);
  return impl->current;
}

}  // namespace TalvornCommon
