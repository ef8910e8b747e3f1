#include "talvorncommon/detail/Way.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>
#include <vector>

#include "talvorncommon/detail/FileSystems.h"
#include "talvorncommon/detail/InotifyEvents.h"
#include "talvorncommon/detail/ProtectedSymlinks.h"

namespace TalvornCommon::detail {
namespace {

namespace fs = std::filesystem;

// The kernel gives up after 40 links on the way (ELOOP); the watcher follows
// exactly what opening the path would reach.
constexpr int kMaxLinks = 40;

std::atomic<ResolveHook> resolveHook{nullptr};

// Where LinksProtected reads fs.protected_symlinks; null: the kernel's own file.
std::atomic<const char*> protectedSymlinksFile{nullptr};

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

// Whether the user namespace of the calling thread maps `user`, as the inside
// ranges of /proc/thread-self/uid_map say. Where the map cannot be read, as
// outside any user namespace, every user is taken as mapped.
bool UserMapped(uid_t user) {
  std::ifstream map("/proc/thread-self/uid_map");
  if (!map) return true;
  // One range a line: "inside outside count".
  for (std::uint64_t inside = 0, outside = 0, count = 0; map >> inside >> outside >> count;) {
    if (user >= inside && user - inside < count) return true;
  }
  return false;
}

// The kernel's rule for following `link`, found in `folder`, while the setting
// is on: it stops another user from pointing a name in /tmp that a root
// program opens at a file of their choosing. Judged with the file-system user
// of the thread that resolves, as the kernel judges the thread that opens: the
// watcher's calls run on the thread that resolved, so what they open is judged
// alike. A folder that cannot be looked at any more is taken to refuse it.
bool FollowRefused(const fs::path& folder, const struct stat& link) {
  struct stat parent {};
  const bool looked = ::stat(folder.c_str(), &parent) == 0;
  if (looked && ((parent.st_mode & S_ISVTX) == 0 || (parent.st_mode & S_IWOTH) == 0)) return false;
  // The kernel compares the users themselves; a user namespace shows every
  // user it does not map as the same overflow user (65534), so such an owner
  // may be any other user, and matches nobody: neither the folder's owner,
  // who may show as the same overflow user, nor the thread's user.
  if (!UserMapped(link.st_uid)) return true;
  // An invalid id changes nothing and returns the thread's file-system user.
  return link.st_uid != static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) &&
         (!looked || parent.st_uid != link.st_uid);
}

// Owns a file descriptor for the span of a scope.
class ScopedDescriptor {
 public:
  explicit ScopedDescriptor(int descriptor) noexcept : descriptor_(descriptor) {}
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
  ~ScopedDescriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  int get() const noexcept { return descriptor_; }

 private:
  const int descriptor_;
};

}  // namespace

void SetResolveHook(ResolveHook hook) noexcept { resolveHook.store(hook); }
ResolveHook GetResolveHook() noexcept { return resolveHook.load(); }
void SetProtectedSymlinksFile(const char* path) noexcept { protectedSymlinksFile.store(path); }

// Whether the kernel refuses to follow another user's link in a sticky folder
// that anyone may write. Where that cannot be read, it is taken to: a link the
// kernel refuses, once followed here, would be opened by its real path, where
// no link is left for the kernel to refuse.
bool LinksProtected() {
  const char* file = protectedSymlinksFile.load();
  const ScopedDescriptor setting(
      ::open(file ? file : "/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC));
  char value = '1';  // what a failed read leaves
  if (setting.get() >= 0) static_cast<void>(::read(setting.get(), &value, 1));
  return value != '0';
}

bool Way::Avoided(const std::string& place, Resolution& result) const {
  if (avoid_ == nullptr || !Below(place, *avoid_)) return false;
  result.elsewhere = true;
  return true;
}

int Way::Watch(const fs::path& folder, std::map<int, Folder>& wanted, Resolution& result) {
  const std::string text = folder.string();
  if (Avoided(text, result) || !Walked(LookPlace::Kind::kFolder, text, result)) return -1;
  const bool remote = farMet_;
  // IN_MASK_ADD keeps the content bits of a folder that holds the file: they
  // are narrowed, if at all, only once the whole way is known.
  const int watch = watches_.Add(this, text, kWayMask, kAddFlags, remote);
  if (watch >= 0) {
    Folder& entry = wanted[watch];
    if (entry.path.empty()) entry.path = text;
    return watch;
  }
  walked_.pop_back();
  if (errno == ENOENT || errno == ENOTDIR) {
    // Replaced since it was looked up: the event that replaced it follows.
    result.change.problem = text + " is no longer a folder";
  } else {
    CannotWatch(text, errno, result);
  }
  return -1;
}

int Way::AskClose(const fs::path& folder, int watch, std::map<int, Folder>& wanted) {
  // The folder's watch was just added, and knows whether it is remote.
  const int asked =
      watches_.Add(this, folder.string(), kWayMask | kFinalFolderMask, kAddFlags, false);
  if (asked == watch) return watch;
  // Whatever took the folder's place is not on the way as it was walked.
  if (asked >= 0 && wanted.count(asked) == 0 && folders_.count(asked) == 0)
    watches_.Release(this, asked);
  masksUnsure_ = true;
  return -1;
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
    watches_.Look(this, atWatch, part);
    if (last) {
      // The close is asked of this folder before the file is looked up and
      // watched: a writer that writes and closes in between is heard closing.
      finalWatch = AskClose(at, atWatch, wanted);
      finalName = part;
    }
    struct stat status {};
    if (Avoided(entry.string(), result)) return result;
    if (::lstat(entry.c_str(), &status) != 0) {
      const int error = errno;
      if (error == ENOENT) {
        result.change.problem = entry.string() + " does not exist";
        if (!lastLink.empty())
          result.change.problem += " (reached through the link " + lastLink + ")";
      } else if (Unreachable(last ? LookPlace::Kind::kFile : LookPlace::Kind::kFolder,
                             entry.string(), error, result)) {
        return result;
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
      // The kernel judges a link only where it ends a walk: the last part of
      // the path, or of the target of a link so judged, and so on. One in the
      // middle of the way, or of a link's target, is followed whoever owns it.
      if (protectedLinks_ && last && FollowRefused(at, status)) {
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
      static_cast<void>(Walked(LookPlace::Kind::kLink, lastLink, result));
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
    } else if (Walked(LookPlace::Kind::kFile, entry.string(), result)) {
      result.change.file = entry.string();
    }
    return result;
  }
  // A path ending in "/", "." or "..": its last part is a folder.
  if (result.change.problem.empty()) result.change.problem = path_ + " names a folder, not a file";
  return result;
}

Resolution Way::Follow(bool& finalMoved, const std::vector<std::string>* avoid) {
  std::map<int, Folder> wanted;
  int finalWatch = -1;
  std::string finalName;
  walked_.clear();
  farMet_ = false;
  avoid_ = avoid;
  Resolution result = Walk(wanted, finalWatch, finalName);
  avoid_ = nullptr;
  if (result.elsewhere) {
    // The way stays as it was: only the watches and names this walk added go.
    for (const auto& [watch, folder] : wanted) {
      const auto kept = folders_.find(watch);
      if (kept != folders_.end()) {
        watches_.Keep(this, watch, kept->second.names);
      } else if (watch != fileWatch_) {
        watches_.Release(this, watch);
      }
    }
    finalMoved = false;
    return result;
  }
  FindRemote();
  // Set anew each time: a file replaced under the same name is another inode.
  // One that is gone by now is no problem: the event that removed it follows.
  int fileWatch = -1;
  if (!result.change.file.empty()) {
    fileWatch = watches_.Add(this, result.change.file, kFileMask, IN_DONT_FOLLOW, farMet_);
    if (fileWatch < 0 && errno != ENOENT) CannotWatch(result.change.file, errno, result);
  }
  if (ResolveHook hook = GetResolveHook()) hook();
  if (fileWatch_ >= 0 && fileWatch_ != fileWatch) watches_.Release(this, fileWatch_);
  fileWatch_ = fileWatch;
  bool unsure = false;
  for (const auto& [watch, folder] : folders_) {
    if (wanted.count(watch) == 0) watches_.Release(this, watch);
  }
  for (auto& [watch, folder] : wanted) {
    // The names looked up there before and not now no longer bring records.
    const auto previous = folders_.find(watch);
    if (previous != folders_.end() && previous->second.names != folder.names)
      watches_.Keep(this, watch, folder.names);
    // Replaces this way's ask, and the kernel's mask by path where the asks
    // together now differ from it: also where another way that asked more has
    // left the watch, which its leaving could not narrow. Should another
    // folder have taken the path meanwhile, the masks of the watches may no
    // longer be what is recorded: the next resolution, which the event of
    // that replacement brings, sets them all again.
    const uint32_t mask = kWayMask | (watch == finalWatch ? kFinalFolderMask : 0);
    if (!watches_.Set(this, watch, folder.path, mask, kAddFlags, masksUnsure_)) unsure = true;
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
    if (EndsWatch(record.mask)) {
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

bool Way::Walked(LookPlace::Kind kind, const std::string& place, Resolution& result) {
  std::optional<FileSystem> fileSystem;
  int error = 0;
  // A link is on its folder's file system, asked just before it.
  if (kind != LookPlace::Kind::kLink) {
    fileSystem = FileSystemAt(place.c_str(), error);
    if (!fileSystem && Unreachable(kind, place, error, result)) return false;
  }
  walked_.push_back({{kind, place, DeviceOf(place, fileSystem)}, fileSystem});
  // What lies beyond a far place is reached through it, also a local file
  // system mounted there, and its path then waits for the far server too.
  farMet_ = farMet_ || (fileSystem && fileSystem->IsRemote());
  return true;
}

bool Way::Unreachable(LookPlace::Kind kind, const std::string& place, int error,
                      Resolution& result) {
  // What the file system answered about the place itself.
  if (error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM ||
      error == ENAMETOOLONG || error == ELOOP)
    return false;
  const std::optional<FileSystem> far = FarMountAt(place);
  if (!far) return false;
  result.change.problem =
      "cannot reach " + Shortened(place) + ", on " + far->Describe() + ": " + ErrorText(error);
  // Looked at like any far place, so that it is found answering again; and
  // checked again, should no looks' thread be made for it.
  walked_.push_back({{kind, place, DeviceOf(place, far)}, far});
  farMet_ = true;
  result.recheck = true;
  return true;
}

dev_t Way::DeviceOf(const std::string& place, const std::optional<FileSystem>& fileSystem) const {
  // The device is the kernel's, known without asking the server.
  struct statx status {};
  if (fileSystem && fileSystem->IsRemote() &&
      ::statx(AT_FDCWD, place.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, 0, &status) == 0)
    return makedev(status.stx_dev_major, status.stx_dev_minor);
  // A link, a place that cannot be asked, or a local file system reached
  // through a far one: looked at with the place before it.
  return walked_.empty() ? 0 : walked_.back().first.device;
}

void Way::FindRemote() {
  remotePlaces_.clear();
  remoteWhy_.clear();
  // "/" again after an absolute link, or a folder met twice through "..":
  // each place is looked at once, where the walk first met it.
  std::set<std::string, std::less<>> met;
  std::erase_if(walked_,
                [&met](const auto& walked) { return !met.insert(walked.first.path).second; });
  const auto first = std::find_if(walked_.begin(), walked_.end(), [](const auto& walked) {
    return walked.second && walked.second->IsRemote();
  });
  if (first == walked_.end()) return;
  for (auto place = first; place != walked_.end(); ++place) remotePlaces_.push_back(place->first);
  remoteWhy_ = first->first.path + " is on " + first->second->Describe();
}

}  // namespace TalvornCommon::detail
