// Which file systems a watcher must look at itself, since inotify does not hear
// the changes made on their other side.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/detail/FileSystems.h"

namespace TalvornCommon {
namespace {

using testing::TempDir;

// Every far kind is known by its statfs number and by its type's name in the
// mount table, and told alike (a daemon that died answers no statfs, and is
// known by its name alone); a number or a name it does not know is local. The
// numbers are written out rather than taken from <linux/magic.h>, so that a
// wrong one in the list is caught.
TEST(FileSystemsTest, EveryFarKindIsKnownByItsNumberAndByItsName) {
  struct Row {
    long magic;
    std::vector<std::string> types;  // its names in the mount table
    const char* described;
  };
  const auto cifs = static_cast<std::int32_t>(0xFF534D42);  // a 32-bit kernel's signed f_type
  const Row rows[] = {
      {0x6969, {"nfs", "nfs4"}, "nfs (a network file system)"},
      {0x517B, {"smbfs"}, "smb (a network file system)"},
      {cifs, {"cifs", "smb3"}, "cifs (a network file system)"},
      {0xFE534D42, {"smb2"}, "smb2 (a network file system)"},
      {0x01021997, {"9p"}, "9p (a network file system)"},
      {0x00C36400, {"ceph"}, "ceph (a network file system)"},
      {0x5346414F, {"afs"}, "afs (a network file system)"},  // OpenAFS
      {0x6B414653, {"afs"}, "afs (a network file system)"},  // the kernel's own client
      {0x73757245, {"coda"}, "coda (a network file system)"},
      {0x564C, {"ncpfs"}, "ncpfs (a network file system)"},
      {0x7461636F, {"ocfs2"}, "ocfs2 (a network file system)"},
      {0x01161970, {"gfs2"}, "gfs2 (a network file system)"},
      {0x0BD00BD0, {"lustre"}, "lustre (a network file system)"},
      {0x47504653, {"gpfs"}, "gpfs (a network file system)"},
      {0x19830326, {"beegfs"}, "beegfs (a network file system)"},
      {0x65735546,
       {"fuse", "fuse.sshfs", "fuseblk", "virtiofs"},
       "fuse (a user-space file system)"},
      {0x786F4256, {"vboxsf"}, "vboxsf (a virtual machine's shared folder)"},
      {0xBACBACBC, {"vmhgfs"}, "vmhgfs (a virtual machine's shared folder)"},
      {0x7C7C6673, {"prl_fs"}, "prl_fs (a virtual machine's shared folder)"},
      {0x12345678, {"ext4"}, "a local file system"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.described);
    EXPECT_EQ(detail::FileSystemOf(row.magic).Describe(), row.described);
    for (const std::string& type : row.types) {
      const auto named = detail::FarMountOf("/mnt/app", "22 1 0:40 / /mnt rw - " + type + " s rw");
      EXPECT_EQ(named ? named->Describe() : "a local file system", row.described) << type;
    }
  }
}

// A watcher that must not wait for a silent server learns where the far file
// systems are from the mount table alone: by their type's name, at mount points
// written with the table's escapes, and a path is below one only at a whole
// name. A path is on the file system mounted last at or above it.
TEST(FileSystemsTest, FarMountPointsComeFromTheMountTable) {
  const std::string table =
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "23 22 0:40 / /mnt/nfs rw shared:5 - nfs4 server:/export rw\n"
      "24 22 0:41 / /mnt/my\\040share rw - fuse.sshfs me@host: rw\n"
      "25 22 0:42 /sub /srv/tmp rw - tmpfs tmpfs rw\n"
      "26 23 0:43 / /mnt/nfs/cache rw - tmpfs tmpfs rw\n"
      "27 25 0:44 / /srv/tmp rw - 9p share rw\n";
  const std::vector<std::string> far = detail::FarMountPoints(table);
  EXPECT_EQ(far, (std::vector<std::string>{"/mnt/nfs", "/mnt/my share", "/srv/tmp"}));
  struct Row {
    const char* path;
    bool below;
    const char* on;  // as FarMountOf tells it
  };
  const Row rows[] = {
      {"/mnt/nfs", true, "nfs (a network file system)"},
      {"/mnt/nfs/app/settings.conf", true, "nfs (a network file system)"},
      {"/mnt/nfsx/a", false, "local"},
      {"/mnt/my share/a", true, "fuse (a user-space file system)"},
      {"/mnt/nfs/cache/a", true, "local"},                 // below the far mount point
      {"/srv/tmp/a", true, "9p (a network file system)"},  // mounted over the local one
      {"/mnt", false, "local"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(detail::Below(row.path, far), row.below);
    const auto on = detail::FarMountOf(row.path, table);
    EXPECT_EQ(on ? on->Describe() : "local", row.on);
  }
}

// A place is asked about through statfs; one that cannot be asked about gives
// its error, which is left untouched otherwise.
TEST(FileSystemsTest, PlaceIsAskedAboutThroughStatfs) {
  TempDir folder;
  int error = -1;
  const auto local = detail::FileSystemAt(folder.path().c_str(), error);
  EXPECT_TRUE(local && !local->IsRemote());
  EXPECT_EQ(error, -1);
  EXPECT_EQ(detail::FileSystemAt(folder.Join("missing").c_str(), error), std::nullopt);
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
}  // namespace TalvornCommon
