// Internal: which kind of file system a place is on. The kernel raises inotify
// events only for changes made through this machine's own mount, so a change
// made on the other side of a network file system, behind a user-space file
// system's daemon or by the host of a virtual machine's shared folder is never
// heard; a watcher has to look at such places itself.
//
//   int error = 0;
//   const auto fileSystem = detail::FileSystemAt("/etc/app", error);
//   if (fileSystem && fileSystem->IsRemote()) LookAt("/etc/app", fileSystem->Describe());
//
// Errors: FileSystemAt gives nothing and sets `error` to the errno of statfs
// when the place cannot be asked about (missing, not searchable); it leaves
// `error` untouched when it succeeds. A FUSE daemon that does not answer makes
// FileSystemAt wait with it, like any other call on its files.
#ifndef TALVORNCOMMON_DETAIL_FILESYSTEMS_H_
#define TALVORNCOMMON_DETAIL_FILESYSTEMS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace TalvornCommon::detail {

struct FileSystem {
  enum class Reach {
    kLocal,      // changed only through this machine's own mount
    kNetwork,    // shared with other machines: NFS, SMB, Ceph, cluster file systems
    kUserSpace,  // served by a daemon (FUSE): sshfs, rclone, bindfs, virtiofs
    kVmShare,    // a folder of a virtual machine's host
  };
  Reach reach = Reach::kLocal;
  // The file system's short name ("nfs", "fuse", "vboxsf"); empty for a local
  // one, since local file systems are not told apart.
  std::string_view name;

  // Whether changes may be made where this machine's inotify does not hear them.
  constexpr bool IsRemote() const noexcept { return reach != Reach::kLocal; }
  // The text for a log line: "nfs (a network file system)", "fuse (a
  // user-space file system)", "vboxsf (a virtual machine's shared folder)",
  // "a local file system".
  std::string Describe() const;
  bool operator==(const FileSystem&) const = default;
};

// The file system that statfs's f_type `type` stands for; a number it does not
// know is a local file system. Only the low 32 bits count, so the sign that a
// 32-bit kernel's f_type gives the larger numbers does not matter.
FileSystem FileSystemOf(long type) noexcept;

// The file system that `path` is on, links followed (the place a link leads
// to, not the link's own folder). Any thread.
std::optional<FileSystem> FileSystemAt(const char* path, int& error);

// The mount points, in a mount table as /proc/<pid>/mountinfo gives it, of
// the file systems whose changes may come from elsewhere, known by their type's
// name ("nfs4", "cifs", "fuse.sshfs", "virtiofs"). Asked of the table, not of
// the places, which would wait for a server that does not answer.
std::vector<std::string> FarMountPoints(std::string_view mountTable);

// The far file system that `path`, a real path, is on as `mountTable` lists
// it: the one mounted last at or above it, if its type's name is one of those
// FarMountPoints knows; nothing for a local one.
std::optional<FileSystem> FarMountOf(std::string_view path, std::string_view mountTable);
// FarMountOf in the calling thread's mount table (/proc/thread-self/mountinfo):
// for a place that does not answer, whose file system statfs cannot tell (a
// user-space one whose daemon died fails every call with ENOTCONN, yet stays
// mounted). Nothing where /proc cannot be read. Any thread.
std::optional<FileSystem> FarMountAt(std::string_view path);

// Whether `path`, a real path, is at or below one of `mountPoints`.
bool Below(std::string_view path, const std::vector<std::string>& mountPoints);

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_FILESYSTEMS_H_
