// Which file systems a watcher must look at itself, since inotify does not hear
// the changes made on their other side.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "FuseMount.h"
#include "TestSupport.h"
#include "talvorncommon/detail/FileSystems.h"

namespace TalvornCommon {
namespace {

using detail::FileSystem;
using Reach = FileSystem::Reach;
using testing::FuseMount;
using testing::TempDir;

// One row for each reach, written out rather than taken from <linux/magic.h>
// so that a wrong number in the list is caught.
TEST(FileSystemsTest, MagicNumberGivesReachAndName) {
  struct Row {
    long type;
    Reach reach;
    const char* described;
  };
  const Row rows[] = {
      {0x6969, Reach::kNetwork, "nfs (a network file system)"},
      {0x65735546, Reach::kUserSpace, "fuse (a user-space file system)"},
      {0x786F4256, Reach::kVmShare, "vboxsf (a virtual machine's shared folder)"},
      {0x12345678, Reach::kLocal, "a local file system"},  // a number it does not know
      // cifs's number as the signed f_type of a 32-bit kernel
      {static_cast<std::int32_t>(0xFF534D42), Reach::kNetwork, "cifs (a network file system)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.described);
    const FileSystem fileSystem = detail::FileSystemOf(row.type);
    EXPECT_EQ(fileSystem.reach, row.reach);
    EXPECT_EQ(fileSystem.Describe(), row.described);
  }
}

// A watcher that must not wait for a silent server learns where the far file
// systems are from the mount table alone: by their type's name, at mount points
// written with the table's escapes, and a path is below one only at a whole name.
TEST(FileSystemsTest, FarMountPointsComeFromTheMountTable) {
  const std::string table =
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "23 22 0:40 / /mnt/nfs rw shared:5 - nfs4 server:/export rw\n"
      "24 22 0:41 / /mnt/my\\040share rw - fuse.sshfs me@host: rw\n"
      "25 22 0:42 /sub /srv/tmp rw - tmpfs tmpfs rw\n";
  const std::vector<std::string> far = detail::FarMountPoints(table);
  EXPECT_EQ(far, (std::vector<std::string>{"/mnt/nfs", "/mnt/my share"}));
  struct Row {
    const char* path;
    bool below;
  };
  const Row rows[] = {{"/mnt/nfs", true},     {"/mnt/nfs/app/settings.conf", true},
                      {"/mnt/nfsx/a", false}, {"/mnt/my share/a", true},
                      {"/srv/tmp/a", false},  {"/mnt", false}};
  for (const Row& row : rows) EXPECT_EQ(detail::Below(row.path, far), row.below) << row.path;
}

// A bindfs mount is reported as user-space, its backing folder as local, and a
// place that cannot be asked about by its error.
TEST(FileSystemsTest, PlaceIsAskedAboutThroughStatfs) {
  TempDir backing;
  TempDir mountFolder;
  int error = -1;
  EXPECT_EQ(detail::FileSystemAt(backing.Join("missing").c_str(), error), std::nullopt);
  EXPECT_EQ(error, ENOENT);

  FuseMount mount(backing.path(), mountFolder.path());
  if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
  error = -1;
  const auto mounted = detail::FileSystemAt(mountFolder.path().c_str(), error);
  EXPECT_EQ(mounted, (FileSystem{Reach::kUserSpace, "fuse"})) << error;
  EXPECT_TRUE(mounted && mounted->IsRemote());
  const auto local = detail::FileSystemAt(backing.path().c_str(), error);
  EXPECT_TRUE(local && !local->IsRemote()) << error;
  EXPECT_EQ(error, -1);
}

}  // namespace
}  // namespace TalvornCommon
