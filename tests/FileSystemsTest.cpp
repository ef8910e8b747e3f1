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
