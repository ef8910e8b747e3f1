// FileIO: the configuration paths, byte-exact saving, reading and existence
// tests on every kind of path, and opens that only read or only write.
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/FileIO.h"

namespace TalvornCommon {

using namespace std::string_literals;
using Lines = std::vector<std::string>;
using Text = std::optional<std::string>;  // a variable's or a file's text; nullopt: none

// Each test works in a fresh current directory, where an empty folder and
// relative paths land.
struct FileIOTest : ::testing::Test {
  FileIOTest() { EXPECT_EQ(chdir(dir.path().c_str()), 0); }
  testing::TempDir dir;
};

TEST(FileIOConfigTest, PathsFollowXdgConfigHomeThenHomeCharacterForCharacter) {
  testing::EnvGuard env;
  // XDG_CONFIG_HOME, HOME, then the configuration home.
  const std::tuple<Text, Text, std::string> cases[] = {
      {"/cfg/", "/h", "/cfg/"},
      {"", "/h/", "/h//.config"},
      {std::nullopt, std::nullopt, "/.config"},
  };
  for (const auto& [xdg, home, configHome] : cases) {
    SCOPED_TRACE(configHome);
    xdg ? env.Set("XDG_CONFIG_HOME", *xdg) : env.Unset("XDG_CONFIG_HOME");
    home ? env.Set("HOME", *home) : env.Unset("HOME");
    EXPECT_EQ(FileIO::GetXdgConfigHomePath(), configHome);
    EXPECT_EQ(FileIO::GetTalvornHomePath(), configHome + "/Talvorn");  // "/" even after "/"
  }
}

TEST_F(FileIOTest, SaveWritesExactlyTheLinesOrFails) {
  // Folder, file name, x.txt before, lines, append, result, x.txt after. A NUL
  // must not let the part before it name x.txt. /dev/full fails every write,
  // as a full disk, though for a single line only at the close.
  const std::tuple<std::string, std::string, Text, Lines, bool, bool, Text> cases[] = {
      {".", "x.txt", {}, {"a", "b"}, false, true, "a\nb"},
      {"./", "x.txt", "0123456789\nold tail\n", {"a"}, false, true, "a"},
      {"", "x.txt", "x", {"y", "z"}, true, true, "xy\nz"},
      {"", "x.txt", {}, {"a\0b"s, "c\r"}, false, true, "a\0b\nc\r"s},
      {".", "", {}, {"a"}, false, false, {}},
      {".", "x.txt\0junk"s, {}, {"a"}, false, false, {}},
      {"x.txt\0"s, "y", {}, {"a"}, true, false, {}},
      {"/dev/", "full", {}, {"one line"}, true, false, {}},
  };
  for (const auto& [folder, name, before, lines, append, ok, after] : cases) {
    SCOPED_TRACE(folder + "|" + name);
    unlink("x.txt");
    if (before) testing::WriteFileBytes("x.txt", *before);
    EXPECT_EQ(FileIO::SaveTextFile(folder, name, lines, append), ok);
    EXPECT_EQ(access("x.txt", F_OK) == 0 ? Text(testing::ReadFileBytes("x.txt")) : Text(), after);
  }
}

// Every read starts from junk lines, which it must replace or clear.
TEST_F(FileIOTest, ReadAndExistenceOnEveryKindOfPath) {
  testing::WriteFileBytes("in.txt", "a\r\n\nb\n");
  ASSERT_EQ(mkdir("dir", 0755), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un address{AF_UNIX, "sock"};
  ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  // Path, result and lines of the read, then DirectoryExists and FileExists.
  const std::tuple<std::string, bool, Lines, bool, bool> cases[] = {
      {"in.txt", true, {"a\r", "", "b"}, false, true},
      {"new.txt", true, {}, false, true},  // a missing file is created empty
      {"dir", false, {}, true, true},      // opens, then the first read fails
      {"sock", false, {}, false, true},
      {"in.txt\0junk"s, false, {}, false, false},
      {"dir\0junk"s, false, {}, false, false},
  };
  for (const auto& [path, ok, lines, isDirectory, exists] : cases) {
    SCOPED_TRACE(path);
    Lines read = {"junk"};
    EXPECT_EQ(FileIO::ReadTextFile(path, read), ok);
    EXPECT_EQ(read, lines);
    EXPECT_EQ(FileIO::DirectoryExists(path), isDirectory);
    EXPECT_EQ(FileIO::FileExists(path), exists);
  }
  close(sock);
}

// On a FIFO each side waits in its open for the other, and the reader sees the
// end of input only if it is not a writer too; the alarm ends a hang.
TEST_F(FileIOTest, ReadOpensForReadingOnlyAndSaveForWritingOnly) {
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  alarm(10);
  std::thread writer([] { EXPECT_TRUE(FileIO::SaveTextFile("", "fifo", {"a", "b"}, false)); });
  Lines lines;
  EXPECT_TRUE(FileIO::ReadTextFile("fifo", lines));
  writer.join();
  alarm(0);
  EXPECT_EQ(lines, (Lines{"a", "b"}));
  // As root, this thread then reaches files as user 65534, so that permission
  // bits apply; "w" is its own, to write but not to read.
  ASSERT_EQ(chmod(".", 0777), 0);
  setfsuid(65534);
  testing::WriteFileBytes("w", "old text");
  EXPECT_EQ(chmod("w", 0200), 0);
  EXPECT_TRUE(FileIO::SaveTextFile("", "w", {"z"}, false));
  EXPECT_TRUE(FileIO::SaveTextFile("", "w", {"a"}, true));
  EXPECT_FALSE(FileIO::ReadTextFile("w", lines));
  setfsuid(geteuid());
}

}  // namespace TalvornCommon
