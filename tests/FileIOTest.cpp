// FileIO: configuration paths, byte-exact saving and reading of line files,
// failures after a successful open, existence tests on every kind of object,
// and permissions seen by an unprivileged user.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/FileIO.h"

namespace TalvornCommon {
namespace {

using namespace std::string_literals;
using testing::CountDirEntries;
using testing::ReadFileBytes;
using testing::WriteFileBytes;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

const Lines kJunk = {"junk 1", "junk 2"};

// Each test runs inside its own fresh directory, which is also the current
// directory, so an empty folder and relative paths land there.
class FileIOTest : public ::testing::Test {
 protected:
  FileIOTest() : saved_(fs::current_path()) { fs::current_path(dir.path()); }
  ~FileIOTest() override {
    std::error_code ignored;
    fs::current_path(saved_, ignored);
  }
  std::string Path(const std::string& name) const { return dir.Join(name); }
  std::string Dir() const { return dir.path().string(); }

  testing::TempDir dir;

 private:
  fs::path saved_;
};

class ConfigPathTest : public FileIOTest {
 protected:
  testing::EnvGuard env;
};

TEST_F(ConfigPathTest, FollowsXdgConfigHomeThenHomeCharacterForCharacter) {
  struct Case {
    const char* label;
    std::optional<std::string> xdg, home;  // nullopt: unset
    std::string configHome, talvornHome;
  };
  const Case cases[] = {
      {"xdg absolute", "/cfg", "/h", "/cfg", "/cfg/Talvorn"},
      {"xdg with trailing separator", "/cfg/", "/h", "/cfg/", "/cfg//Talvorn"},
      {"xdg relative", "cfg/dir", "/h", "cfg/dir", "cfg/dir/Talvorn"},
      {"xdg empty", "", "/h", "/h/.config", "/h/.config/Talvorn"},
      {"xdg unset", std::nullopt, "/h", "/h/.config", "/h/.config/Talvorn"},
      {"home with trailing separator", std::nullopt, "/h/", "/h//.config", "/h//.config/Talvorn"},
      {"home relative", std::nullopt, "rel", "rel/.config", "rel/.config/Talvorn"},
      {"home empty", std::nullopt, "", "/.config", "/.config/Talvorn"},
      {"xdg empty, home unset", "", std::nullopt, "/.config", "/.config/Talvorn"},
      {"both unset", std::nullopt, std::nullopt, "/.config", "/.config/Talvorn"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    c.xdg ? env.Set("XDG_CONFIG_HOME", *c.xdg) : env.Unset("XDG_CONFIG_HOME");
    c.home ? env.Set("HOME", *c.home) : env.Unset("HOME");
    EXPECT_EQ(FileIO::GetXdgConfigHomePath(), c.configHome);
    EXPECT_EQ(FileIO::GetTalvornHomePath(), c.talvornHome);
    EXPECT_EQ(FileIO::GetWorkingDirectory(), "");
    EXPECT_EQ(FileIO::GetMyDocumentsPath(), "");
  }
  // Only strings are computed: the relative folders above were not created.
  EXPECT_EQ(CountDirEntries("."), 0);
}

TEST(DirectorySeparatorTest, IsOneSharedSlash) {
  const std::string* fromOtherThread = nullptr;
  std::thread([&] { fromOtherThread = &FileIO::GetDirectorySeparator(); }).join();
  EXPECT_EQ(*fromOtherThread, "/");
  EXPECT_EQ(&FileIO::GetDirectorySeparator(), fromOtherThread);
}

TEST_F(FileIOTest, SaveWritesExactlyTheseBytes) {
  // folder: appended to the test directory; nullptr: "", the current directory.
  const std::tuple<const char*, const char*, std::optional<std::string>, Lines, bool, std::string>
      cases[] = {
          {"new file", "", std::nullopt, {"a", "b"}, false, "a\nb"},
          {"new file by append", "", std::nullopt, {"a", "b"}, true, "a\nb"},
          {"empty list", "", std::nullopt, {}, false, ""},
          {"empty lines", "", std::nullopt, {"", "", ""}, false, "\n\n"},
          {"replace drops the old tail", "", "0123456789\nold tail\n", {"a"}, false, "a"},
          {"replace with nothing empties", "", "old\ntext", {}, false, ""},
          {"append continues a last line without LF", "", "x", {"y", "z"}, true, "xy\nz"},
          {"append after a final LF", "", "x\n", {"y"}, true, "x\ny"},
          {"append nothing", "", "x", {}, true, "x"},
          {"embedded NUL bytes", "", std::nullopt, {"a\0b"s, "\0"s}, false, "a\0b\n\0"s},
          {"CR and high bytes kept", "", std::nullopt, {"a\r", "\xff\xfe"}, false, "a\r\n\xff\xfe"},
          {"trailing separator, replace", "/", "long old text", {"b"}, false, "b"},
          {"current directory, new file", nullptr, std::nullopt, {"a", "b"}, false, "a\nb"},
          {"current directory, replace", nullptr, "old old old", {"n"}, false, "n"},
          {"current directory, append", nullptr, "x", {"y"}, true, "xy"},
      };
  for (const auto& [label, folder, existing, lines, append, expected] : cases) {
    SCOPED_TRACE(label);
    fs::remove("x.txt");
    if (existing) WriteFileBytes("x.txt", *existing);
    EXPECT_TRUE(FileIO::SaveTextFile(folder ? Dir() + folder : "", "x.txt", lines, append));
    EXPECT_EQ(ReadFileBytes("x.txt"), expected);
    EXPECT_EQ(CountDirEntries("."), 1);  // no twin, no temporary file
  }
}

// Replacing rewrites the file in place rather than swapping in a new one.
TEST_F(FileIOTest, ReplaceKeepsTheFileItsPermissionsAndHardLinks) {
  WriteFileBytes("x.txt", "a much longer old text\n");
  ASSERT_EQ(chmod("x.txt", 0640), 0);
  ASSERT_EQ(link("x.txt", "hard-link"), 0);
  EXPECT_TRUE(FileIO::SaveTextFile(Dir(), "x.txt", {"new"}, false));
  EXPECT_EQ(ReadFileBytes("hard-link"), "new");
  EXPECT_EQ(fs::status("x.txt").permissions(), fs::perms(0640));
}

TEST_F(FileIOTest, SaveFailsWithoutCreatingAnything) {
  WriteFileBytes("plain-file", "keep");
  ASSERT_EQ(mkdir("a-directory", 0755), 0);
  const std::tuple<const char*, std::string, std::string, bool> cases[] = {
      {"empty file name", Dir(), "", false},
      {"empty file name, append", Dir(), "", true},
      {"empty folder and file name", "", "", true},
      {"missing folder", Path("missing"), "x.txt", false},
      {"missing nested folder, append", Path("missing/deeper/"), "x.txt", true},
      {"folder is a regular file", Path("plain-file"), "x.txt", false},
      {"file name names a directory", Dir(), "a-directory", false},
      {"file name names a directory, append", Dir(), "a-directory", true},
      {"NUL in the file name", Dir(), "good\0../evil"s, false},
      {"NUL in the folder", Dir() + "/evil\0"s, "x.txt", true},
  };
  for (const auto& [label, directory, fileName, append] : cases) {
    SCOPED_TRACE(label);
    EXPECT_FALSE(FileIO::SaveTextFile(directory, fileName, {"a", "b"}, append));
    EXPECT_EQ(CountDirEntries("."), 2);
    EXPECT_EQ(CountDirEntries("a-directory"), 0);
    EXPECT_EQ(ReadFileBytes("plain-file"), "keep");
  }
}

TEST_F(FileIOTest, SaveFollowsSymbolicLinks) {
  ASSERT_EQ(mkdir("real", 0755), 0);
  ASSERT_EQ(symlink(Path("real").c_str(), "link-to-dir"), 0);
  ASSERT_EQ(symlink(Path("nowhere").c_str(), "dangling"), 0);
  WriteFileBytes("real/x.txt", "old text");
  EXPECT_TRUE(FileIO::SaveTextFile(Path("link-to-dir"), "x.txt", {"c"}, false));
  EXPECT_EQ(ReadFileBytes("real/x.txt"), "c");
  EXPECT_FALSE(FileIO::SaveTextFile(Path("dangling"), "x.txt", {"a"}, false));
  EXPECT_FALSE(fs::exists("nowhere"));
}

// /dev/full accepts the open and fails every write with ENOSPC, like a full
// disk: at the flush after a line feed, or only at close for a single line.
TEST(FileIOFullDeviceTest, WriteFailuresAfterTheOpenAreReported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not writable here";
  const std::tuple<const char*, std::string, Lines, bool> cases[] = {
      {"fails at the first flush", "/dev", {"a", "b"}, false},
      {"fails at the first flush, append", "/dev/", {"a", "b"}, true},
      {"fails only at close", "/dev", {"single line"}, false},
      {"fails only at close, append", "/dev", {"single line"}, true},
      {"a line larger than any buffer", "/dev", {std::string(1 << 20, 'x')}, false},
  };
  for (const auto& [label, directory, lines, append] : cases) {
    SCOPED_TRACE(label);
    EXPECT_FALSE(FileIO::SaveTextFile(directory, "full", lines, append));
    // The same save onto a device that takes the bytes succeeds.
    EXPECT_TRUE(FileIO::SaveTextFile(directory, "null", lines, append));
  }
  EXPECT_TRUE(FileIO::SaveTextFile("/dev", "full", {}, false));  // nothing written, nothing lost
}

TEST_F(FileIOTest, ReadSplitsAtLineFeedsOnly) {
  const std::tuple<const char*, std::string, Lines> cases[] = {
      {"LF between lines", "a\nb", {"a", "b"}},
      {"final LF adds no line", "a\nb\n", {"a", "b"}},
      {"two LFs give an empty line", "a\n\nb", {"a", "", "b"}},
      {"CR LF keeps the CR", "a\r\nb\r\n", {"a\r", "b\r"}},
      {"lone CR does not split", "a\rb", {"a\rb"}},
      {"empty file", "", {}},
      {"only line feeds", "\n\n\n", {"", "", ""}},
      {"no final LF", "last", {"last"}},
      {"NUL and high bytes kept", "a\0b\n\xff\n"s, {"a\0b"s, "\xff"}},
      {"line longer than a buffer",
       std::string(100000, 'q') + "\nz",
       {std::string(100000, 'q'), "z"}},
  };
  for (const auto& [label, bytes, expected] : cases) {
    SCOPED_TRACE(label);
    WriteFileBytes("in.txt", bytes);
    Lines lines = kJunk;
    EXPECT_TRUE(FileIO::ReadTextFile(Path("in.txt"), lines));
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(ReadFileBytes("in.txt"), bytes);  // reading never writes
  }
}

TEST_F(FileIOTest, ReadCreatesAMissingFileOrFailsWithNoLines) {
  ASSERT_EQ(mkdir("sub", 0755), 0);
  ASSERT_EQ(symlink(Path("sub").c_str(), "link-to-dir"), 0);
  WriteFileBytes("plain", "p");
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"missing file in a writable folder is created", Path("new.txt"), true},
      {"missing folder", Path("missing/x.txt"), false},
      {"empty path", "", false},
      // Opens read-only after the read-write open fails, then the first read
      // fails with EISDIR, which must not pass for an empty file.
      {"directory", Path("sub"), false},
      {"directory with trailing separator", Path("sub/"), false},
      {"symbolic link to a directory", Path("link-to-dir"), false},
      {"below a regular file", Path("plain/x"), false},
      // Opens, but reading at offset 0 fails with EIO: the zero page is never mapped.
      {"read error after the open", "/proc/self/mem", false},
      {"NUL in the path of a file", Path("plain") + "\0junk"s, false},
      {"NUL in the path of a missing file", Path("nul.txt") + "\0junk"s, false},
  };
  for (const auto& [label, path, ok] : cases) {
    SCOPED_TRACE(label);
    Lines lines = kJunk;
    EXPECT_EQ(FileIO::ReadTextFile(path, lines), ok);
    EXPECT_TRUE(lines.empty());
  }
  EXPECT_TRUE(fs::is_regular_file("new.txt") && fs::file_size("new.txt") == 0);
  EXPECT_FALSE(fs::exists("missing") || fs::exists("nul.txt"));
  EXPECT_EQ(CountDirEntries("sub"), 0);
}

// Runs `check` in a child that, when started as root, drops to user and group
// 65534 so that permission bits apply, and that an alarm ends should `check`
// hang. 0 when `check` returned true.
int RunUnprivileged(const std::function<bool()>& check) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(2);
    }
    alarm(10);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(FileIOTest, PermissionsSeenByAnUnprivilegedUser) {
  ASSERT_EQ(chmod(".", 0755), 0);  // reachable but not writable
  WriteFileBytes("read-only.txt", "a\nb");
  ASSERT_EQ(chmod("read-only.txt", 0444), 0);
  WriteFileBytes("write-only.txt", "secret");
  ASSERT_EQ(chmod("write-only.txt", 0222), 0);
  ASSERT_EQ(mkdir("open", 0777), 0);
  ASSERT_EQ(chmod("open", 0777), 0);
  ASSERT_EQ(mkfifo("fifo", 0666), 0);
  ASSERT_EQ(chmod("fifo", 0666), 0);
  const std::string d = Dir();
  const auto reads = [](const char* path, bool ok, Lines expected) {
    Lines lines = kJunk;
    return FileIO::ReadTextFile(path, lines) == ok && lines == expected;
  };
  const Lines ab = {"a", "b"}, z = {"z"};
  const std::pair<const char*, std::function<bool()>> cases[] = {
      {"read-only file is read", [&] { return reads("read-only.txt", true, ab); }},
      {"unreadable file fails", [&] { return reads("write-only.txt", false, {}); }},
      {"missing file, folder not writable", [&] { return reads("absent.txt", false, {}); }},
      {"missing file, folder writable", [&] { return reads("open/new.txt", true, {}); }},
      {"replace read-only", [&] { return !FileIO::SaveTextFile(d, "read-only.txt", z, false); }},
      {"append read-only", [&] { return !FileIO::SaveTextFile(d, "read-only.txt", z, true); }},
      {"save, folder not writable", [&] { return !FileIO::SaveTextFile(d, "new", z, false); }},
      {"save, folder writable", [&] { return FileIO::SaveTextFile(d + "/open", "s", z, false); }},
      // A file the caller owns and may write but not read is saved in both modes.
      {"save write-only",
       [&] {
         WriteFileBytes("open/w", "old text");
         return chmod("open/w", 0200) == 0 && FileIO::SaveTextFile(d + "/open", "w", z, false) &&
                FileIO::SaveTextFile(d + "/open", "w", ab, true);
       }},
      // Each side waits for the other in its open, then the reader sees the end
      // of input when the writer closes.
      {"FIFO saved by one thread, read by another",
       [&] {
         bool saved = false;
         std::thread writer([&] { saved = FileIO::SaveTextFile(d, "fifo", ab, false); });
         const bool read = reads("fifo", true, ab);
         writer.join();
         return read && saved;
       }},
      {"pipe read to its end",
       [&] {
         int ends[2];
         if (pipe(ends) != 0 || write(ends[1], "a\nb\n", 4) != 4) return false;
         close(ends[1]);
         return reads(("/dev/fd/" + std::to_string(ends[0])).c_str(), true, ab);
       }},
  };
  for (const auto& [label, check] : cases) {
    SCOPED_TRACE(label);
    EXPECT_EQ(RunUnprivileged(check), 0);
  }
  EXPECT_EQ(ReadFileBytes("read-only.txt"), "a\nb");
  EXPECT_FALSE(fs::exists("absent.txt") || fs::exists("new"));
  EXPECT_TRUE(fs::exists("open/new.txt"));
  EXPECT_EQ(ReadFileBytes("open/s"), "z");
  ASSERT_EQ(chmod("open/w", 0600), 0);
  EXPECT_EQ(ReadFileBytes("open/w"), "za\nb");
}

TEST_F(FileIOTest, ExistenceOfEveryKindOfObject) {
  WriteFileBytes("file", "x");
  ASSERT_EQ(mkdir("dir", 0755), 0);
  ASSERT_EQ(mkfifo("fifo", 0644), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "sock");
  ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  for (const char* target : {"dir", "file", "nowhere", "sock"}) {
    ASSERT_EQ(symlink(Path(target).c_str(), ("link-to-"s + target).c_str()), 0);
  }
  // Path, is a directory, exists.
  std::vector<std::tuple<std::string, bool, bool>> cases = {
      {Path("file"), false, true},
      {Path("dir"), true, true},
      {Path("dir/"), true, true},
      {".", true, true},
      {Path("missing"), false, false},
      {"", false, false},
      {Path("file/x"), false, false},
      {Path("file/"), false, false},
      {Path("fifo"), false, true},
      {Path("sock"), false, true},
      {"/dev/null", false, true},
      {Path("link-to-dir"), true, true},
      {Path("link-to-file"), false, true},
      {Path("link-to-sock"), false, true},
      {Path("link-to-nowhere"), false, false},
      {Dir() + "\0junk"s, false, false},
      {Path("file") + "\0junk"s, false, false},
  };
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    if (entry.is_block_file(error)) {
      cases.emplace_back(entry.path().string(), false, true);
      break;
    }
  }
  for (const auto& [path, isDirectory, exists] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(FileIO::DirectoryExists(path), isDirectory);
    EXPECT_EQ(FileIO::FileExists(path), exists);
  }
  close(sock);
  EXPECT_FALSE(FileIO::CreateFullDirectory("new/deeper"));
  EXPECT_FALSE(fs::exists("new"));
}

TEST_F(FileIOTest, NoDescriptorOutlivesACall) {
  ASSERT_EQ(mkdir("sub", 0755), 0);
  const int before = testing::CountOpenFds();
  Lines lines;
  EXPECT_TRUE(FileIO::SaveTextFile(Dir(), "x.txt", {"a", "b"}, false));
  EXPECT_TRUE(FileIO::SaveTextFile(Dir(), "x.txt", {"c"}, true));
  EXPECT_TRUE(FileIO::ReadTextFile(Path("x.txt"), lines));
  EXPECT_TRUE(FileIO::ReadTextFile(Path("created.txt"), lines));
  EXPECT_FALSE(FileIO::ReadTextFile(Path("sub"), lines));
  EXPECT_FALSE(FileIO::ReadTextFile(Path("missing/x.txt"), lines));
  EXPECT_FALSE(FileIO::SaveTextFile(Path("missing"), "x.txt", {"a"}, false));
  EXPECT_FALSE(FileIO::SaveTextFile("/dev", "full", {"a", "b"}, false));
  EXPECT_EQ(testing::CountOpenFds(), before);
}

// Calls on different files from several threads do not interfere; TSan checks
// that the functions share no mutable state.
TEST_F(FileIOTest, ThreadsWorkingOnTheirOwnFiles) {
  constexpr int kThreads = 4;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = "thread-" + std::to_string(t) + ".txt";
      for (int round = 0; round < 25; ++round) {
        const Lines lines = {std::to_string(t), std::to_string(round)};
        Lines back;
        failures[static_cast<std::size_t>(t)] += !FileIO::SaveTextFile(Dir(), name, lines, false) ||
                                                 !FileIO::ReadTextFile(Path(name), back) ||
                                                 back != lines || !FileIO::FileExists(Path(name)) ||
                                                 FileIO::DirectoryExists(Path(name));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  EXPECT_EQ(CountDirEntries("."), kThreads);
}

}  // namespace
}  // namespace TalvornCommon
