// Which file systems a watcher must look at itself, since inotify does not hear
// the changes made on their other side.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

#include "FuseMount.h"
#include "TestSupport.h"
#include "talvorncommon/detail/FileSystems.h"

namespace TalvornCommon {
namespace {

using detail::FileSystem;
using Reach = FileSystem::Reach;
using testing::FuseMount;
using testing::TempDir;

// The numbers are written out rather than taken from <linux/magic.h>, so that
// a wrong one in the table is caught.
TEST(FileSystemsTest, MagicNumberGivesReachAndName) {
  struct Row {
    const char* what;
    long type;
    Reach reach;
    const char* described;
  };
  const Row rows[] = {
      {"nfs", 0x6969, Reach::kNetwork, "nfs (a network file system)"},
      {"cifs", 0xFF534D42, Reach::kNetwork, "cifs (a network file system)"},
      {"cifs as a 32-bit kernel's signed f_type", static_cast<std::int32_t>(0xFF534D42),
       Reach::kNetwork, "cifs (a network file system)"},
      {"smb2", 0xFE534D42, Reach::kNetwork, "smb2 (a network file system)"},
      {"9p", 0x01021997, Reach::kNetwork, "9p (a network file system)"},
      {"ceph", 0x00C36400, Reach::kNetwork, "ceph (a network file system)"},
      {"the kernel's afs", 0x6B414653, Reach::kNetwork, "afs (a network file system)"},
      {"lustre", 0x0BD00BD0, Reach::kNetwork, "lustre (a network file system)"},
      {"gfs2", 0x01161970, Reach::kNetwork, "gfs2 (a network file system)"},
      {"fuse", 0x65735546, Reach::kUserSpace, "fuse (a user-space file system)"},
      {"vboxsf", 0x786F4256, Reach::kVmShare, "vboxsf (a virtual machine's shared folder)"},
      {"vmhgfs", 0xBACBACBC, Reach::kVmShare, "vmhgfs (a virtual machine's shared folder)"},
      {"ext4", 0xEF53, Reach::kLocal, "a local file system"},
      {"tmpfs, beside 9p's number", 0x01021994, Reach::kLocal, "a local file system"},
      {"overlay", 0x794C7630, Reach::kLocal, "a local file system"},
      {"unknown", 0x12345678, Reach::kLocal, "a local file system"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const FileSystem fileSystem = detail::FileSystemOf(row.type);
    EXPECT_EQ(fileSystem.reach, row.reach);
    EXPECT_EQ(fileSystem.Describe(), row.described);
  }
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
  ASSERT_TRUE(mounted.has_value()) << error;
  EXPECT_EQ(*mounted, (FileSystem{Reach::kUserSpace, "fuse"}));
  EXPECT_TRUE(mounted->IsRemote());
  const auto local = detail::FileSystemAt(backing.path().c_str(), error);
  ASSERT_TRUE(local.has_value()) << error;
  EXPECT_FALSE(local->IsRemote()) << local->Describe();
  EXPECT_EQ(error, -1);
}

}  // namespace
}  // namespace TalvornCommon
