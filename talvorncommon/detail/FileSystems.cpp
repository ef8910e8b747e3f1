#include "talvorncommon/detail/FileSystems.h"

#include <fmt/format.h>
#include <linux/magic.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstdint>

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

}  // namespace TalvornCommon::detail
