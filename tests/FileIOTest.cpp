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
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/FileIO.h"

namespace TalvornCommon {

using namespace std::string_literals;
using Lines = std::vector<std::string>;
using Text = std::optional<std::string>;  // a variable's or a file's text; nullopt: none
constexpr bool kAppend = true, kReplace = false;

// The bytes of the file at `path`, or nullopt when there is none.
Text TextOf(const std::string& path) {
  return access(path.c_str(), F_OK) == 0 ? Text(testing::ReadFileBytes(path)) : std::nullopt;
}

// Each test works in a fresh current directory, where an empty folder and
// relative paths land.
struct FileIOTest : ::testing::Test {
  FileIOTest() { EXPECT_EQ(chdir(dir.path().c_str()), 0); }
  testing::TempDir dir;
};

struct ConfigCase {
  Text xdgConfigHome, home;
  std::string configHome;
};

TEST(FileIOConfigTest, PathsFollowXdgConfigHomeThenHomeCharacterForCharacter) {
  const testing::EnvGuard env({"XDG_CONFIG_HOME", "HOME"});
  const ConfigCase cases[] = {
      {"/cfg/", "/h", "/cfg/"},
      {"", "/h/", "/h//.config"},
      {std::nullopt, std::nullopt, "/.config"},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.configHome);
    env.Set("XDG_CONFIG_HOME", c.xdgConfigHome);
    env.Set("HOME", c.home);
    EXPECT_EQ(FileIO::GetXdgConfigHomePath(), c.configHome);
    EXPECT_EQ(FileIO::GetTalvornHomePath(), c.configHome + "/Talvorn");  // "/" even after "/"
  }
}

struct SaveCase {
  std::string folder, name;
  Text before;  // x.txt before the save
  Lines lines;
  bool append;
  Text saved;  // x.txt after a successful save; nullopt: the save fails and leaves it as before
};

TEST_F(FileIOTest, SaveWritesExactlyTheLinesOrFailsLeavingTheFileAsItWas) {
  const SaveCase cases[] = {
      {".", "x.txt", {}, {"a", "b"}, kReplace, "a\nb"},
      {"./", "x.txt", "0123456789\nold tail\n", {"a"}, kReplace, "a"},
      {"", "x.txt", "x", {"y", "z"}, kAppend, "xy\nz"},
      {"", "x.txt", {}, {"a\0b"s, "c\r"}, kReplace, "a\0b\nc\r"s},
      // An empty name must not make the folder's own path the file.
      {"x.txt", "", "old", {"a"}, kReplace, {}},
      {"x.txt", "", {}, {"a"}, kAppend, {}},
      // The part before a NUL must not be taken for the whole name.
      {".", "x.txt\0junk"s, {}, {"a"}, kReplace, {}},
      {"x.txt\0"s, "y", {}, {"a"}, kAppend, {}},
      // Every write fails, as on a full disk; a single line only at the close.
      {"/dev/", "full", {}, {"one line"}, kAppend, {}},
  };
  for (const SaveCase& c : cases) {
    SCOPED_TRACE(c.folder + "|" + c.name);
    unlink("x.txt");
    if (c.before) testing::WriteFileBytes("x.txt", *c.before);
    EXPECT_EQ(FileIO::SaveTextFile(c.folder, c.name, c.lines, c.append), c.saved.has_value());
    EXPECT_EQ(TextOf("x.txt"), c.saved ? c.saved : c.before);
  }
}

enum class Found { kNothing, kNonDirectory, kDirectory };
struct PathCase {
  std::string path;
  std::optional<Lines> lines;  // what a read gives; nullopt: the read fails and leaves none
  Found found;                 // by the existence tests
};

// Every read starts from junk lines, which it must replace or clear.
TEST_F(FileIOTest, ReadAndExistenceOnEveryKindOfPath) {
  testing::WriteFileBytes("in.txt", "a\r\n\nb\n");
  ASSERT_EQ(mkdir("dir", 0755), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un address{AF_UNIX, "sock"};
  ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  const PathCase cases[] = {
      {"in.txt", Lines{"a\r", "", "b"}, Found::kNonDirectory},
      {"new.txt", Lines{}, Found::kNonDirectory},  // a missing file is created empty
      {"dir", std::nullopt, Found::kDirectory},    // opens, then the first read fails
      {"sock", std::nullopt, Found::kNonDirectory},
      {"in.txt\0junk"s, std::nullopt, Found::kNothing},
      {"dir\0junk"s, std::nullopt, Found::kNothing},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    Lines read = {"junk"};
    EXPECT_EQ(FileIO::ReadTextFile(c.path, read), c.lines.has_value());
    EXPECT_EQ(read, c.lines.value_or(Lines{}));
    EXPECT_EQ(FileIO::DirectoryExists(c.path), c.found == Found::kDirectory);
    EXPECT_EQ(FileIO::FileExists(c.path), c.found != Found::kNothing);
  }
  close(sock);
}

// On a FIFO each side waits in its open for the other, and the reader sees the
// end of input only if it is not a writer too; the alarm ends a hang.
TEST_F(FileIOTest, ReadGetsTheLinesThatSaveWritesIntoAFifo) {
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  alarm(10);
  std::thread writer([] { EXPECT_TRUE(FileIO::SaveTextFile("", "fifo", {"a", "b"}, kReplace)); });
  Lines lines;
  EXPECT_TRUE(FileIO::ReadTextFile("fifo", lines));
  writer.join();
  alarm(0);
  EXPECT_EQ(lines, (Lines{"a", "b"}));
}

// As root, this thread reaches files as user 65534, so that permission bits
// apply; "w" is its own, to write but not to read.
TEST_F(FileIOTest, SaveWritesAFileItMayNotRead) {
  ASSERT_EQ(chmod(".", 0777), 0);
  setfsuid(65534);
  testing::WriteFileBytes("w", "old text");
  EXPECT_EQ(chmod("w", 0200), 0);
  EXPECT_TRUE(FileIO::SaveTextFile("", "w", {"z"}, kReplace));
  EXPECT_TRUE(FileIO::SaveTextFile("", "w", {"a"}, kAppend));
  Lines lines;
  EXPECT_FALSE(FileIO::ReadTextFile("w", lines));
  setfsuid(geteuid());
}

}  // namespace TalvornCommon
