#include "talvorncommon/detail/FileSystems.h"

#include <fmt/format.h>
#include <linux/magic.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <utility>

namespace TalvornCommon::detail {
namespace {

using Reach = FileSystem::Reach;

// Numbers that <linux/magic.h> lacks, from the file systems' own sources.
constexpr std::uint32_t kGfs2Magic = 0x01161970;    // <linux/gfs2_ondisk.h>, GFS2_MAGIC
constexpr std::uint32_t kLustreMagic = 0x0BD00BD0;  // Lustre's client
constexpr std::uint32_t kGpfsMagic = 0x47504653;    // IBM Spectrum Scale: "GPFS"
constexpr std::uint32_t kBeeGfsMagic = 0x19830326;
constexpr std::uint32_t kVboxsfMagic = 0x786F4256;  // VirtualBox: "VBox" little endian
// VMware's kernel module; its successor vmhgfs-fuse is a FUSE file system.
constexpr std::uint32_t kVmhgfsMagic = 0xBACBACBC;
constexpr std::uint32_t kParallelsMagic = 0x7C7C6673;  // Parallels Desktop's prl_fs

struct Known {
  std::uint32_t magic;
  Reach reach;
  std::string_view name;
};

// Every file system not listed here is local. The FUSE number is shared by all
// daemons (sshfs, rclone, s3fs, GlusterFS's client, virtiofs, and ntfs-3g's
// fuseblk, local but served by a daemon all the same), so they are one entry.
// 9p serves a VM's host folders too (QEMU, WSL) but speaks a network protocol.
constexpr Known kKnown[] = {
    {NFS_SUPER_MAGIC, Reach::kNetwork, "nfs"},     {SMB_SUPER_MAGIC, Reach::kNetwork, "smb"},
    {CIFS_SUPER_MAGIC, Reach::kNetwork, "cifs"},   {SMB2_SUPER_MAGIC, Reach::kNetwork, "smb2"},
    {V9FS_MAGIC, Reach::kNetwork, "9p"},           {CEPH_SUPER_MAGIC, Reach::kNetwork, "ceph"},
    {AFS_SUPER_MAGIC, Reach::kNetwork, "afs"},  // OpenAFS
    {AFS_FS_MAGIC, Reach::kNetwork, "afs"},     // the kernel's own client
    {CODA_SUPER_MAGIC, Reach::kNetwork, "coda"},   {NCP_SUPER_MAGIC, Reach::kNetwork, "ncpfs"},
    {OCFS2_SUPER_MAGIC, Reach::kNetwork, "ocfs2"}, {kGfs2Magic, Reach::kNetwork, "gfs2"},
    {kLustreMagic, Reach::kNetwork, "lustre"},     {kGpfsMagic, Reach::kNetwork, "gpfs"},
    {kBeeGfsMagic, Reach::kNetwork, "beegfs"},     {FUSE_SUPER_MAGIC, Reach::kUserSpace, "fuse"},
    {kVboxsfMagic, Reach::kVmShare, "vboxsf"},     {kVmhgfsMagic, Reach::kVmShare, "vmhgfs"},
    {kParallelsMagic, Reach::kVmShare, "prl_fs"},
};

// The table writes a space, a tab, a newline and a backslash in a path as \040,
// \011, \012 and \134.
std::string Unescaped(std::string_view field) {
  std::string path;
  for (std::size_t at = 0; at < field.size(); ++at) {
    if (field[at] == '\\' && at + 3 < field.size()) {
      const std::string_view digits = field.substr(at + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string_view::npos) {
        path +=
            static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        at += 3;
        continue;
      }
    }
    path += field[at];
  }
  return path;
}

// The file system that a type's name in the mount table stands for, if far:
// its magic number's entry, under that entry's name or another one.
std::optional<FileSystem> Named(std::string_view type) {
  // Other names of listed file systems: every FUSE daemon names its own
  // ("fuse.sshfs"), and virtiofs is served through FUSE, whose number statfs
  // gives for it.
  constexpr std::pair<std::string_view, std::string_view> kOtherNames[] = {
      {"nfs4", "nfs"},     {"smb3", "cifs"},     {"smbfs", "smb"},
      {"fuseblk", "fuse"}, {"virtiofs", "fuse"},
  };
  if (type.substr(0, 5) == "fuse.") type = "fuse";
  for (const auto& [other, name] : kOtherNames) {
    if (type == other) type = name;
  }
  for (const Known& known : kKnown) {
    if (known.name == type) return FileSystem{known.reach, known.name};
  }
  return std::nullopt;
}

// Calls `mount` with the mount point and type's name of each line of a mount
// table as /proc/<pid>/mountinfo gives it, in the table's order.
template <class Mount>
void EachMount(std::string_view mountTable, const Mount& mount) {
  std::istringstream lines{std::string(mountTable)};
  for (std::string line; std::getline(lines, line);) {
    // "36 35 98:0 /root /mount/point options... - type source super-options"
    std::istringstream fields(line);
    std::string field;
    std::string mountPoint;
    for (int index = 0; fields >> field && field != "-"; ++index) {
      if (index == 4) mountPoint = Unescaped(field);
    }
    std::string type;
    if (field == "-" && fields >> type) mount(mountPoint, type);
  }
}

constexpr std::string_view KindOf(Reach reach) {
  switch (reach) {
    case Reach::kNetwork:
      return "a network file system";
    case Reach::kUserSpace:
      return "a user-space file system";
    case Reach::kVmShare:
      return "a virtual machine's shared folder";
    case Reach::kLocal:
      break;
  }
  return "a local file system";
}

}  // namespace

std::string FileSystem::Describe() const {
  if (name.empty()) return std::string(KindOf(reach));
  return fmt::format("{} ({})", name, KindOf(reach));
}

FileSystem FileSystemOf(long type) noexcept {
  const auto magic = static_cast<std::uint32_t>(type);
  for (const Known& known : kKnown) {
    if (known.magic == magic) return {known.reach, known.name};
  }
  return {};
}

std::optional<FileSystem> FileSystemAt(const char* path, int& error) {
  struct statfs status {};
  int result;
  do {
    result = ::statfs(path, &status);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    error = errno;
    return std::nullopt;
  }
  return FileSystemOf(static_cast<long>(status.f_type));
}

std::vector<std::string> FarMountPoints(std::string_view mountTable) {
  std::vector<std::string> far;
  EachMount(mountTable, [&far](const std::string& mountPoint, std::string_view type) {
    if (Named(type)) far.push_back(mountPoint);
  });
  return far;
}

std::optional<FileSystem> FarMountOf(std::string_view path, std::string_view mountTable) {
  std::optional<FileSystem> far;
  // The table lists the mounts in the order they were made, and a mount at
  // or above the path hides those made there before it.
  EachMount(mountTable, [&](const std::string& mountPoint, std::string_view type) {
    if (Below(path, {mountPoint})) far = Named(type);
  });
  return far;
}

std::optional<FileSystem> FarMountAt(std::string_view path) {
  std::ifstream table("/proc/thread-self/mountinfo");
  std::ostringstream text;
  text << table.rdbuf();
  return FarMountOf(path, text.str());
}

bool Below(std::string_view path, const std::vector<std::string>& mountPoints) {
  for (const std::string& point : mountPoints) {
    if (path.substr(0, point.size()) != point) continue;
    if (path.size() == point.size() || point == "/" || path[point.size()] == '/') return true;
  }
  return false;
}

}  // namespace TalvornCommon::detail
