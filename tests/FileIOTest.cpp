// FileIO: configuration paths built from the environment, byte-exact saving
// and reading of line files, failures after a successful open, existence tests
// on every kind of file system object, and permissions seen by an
// unprivileged user.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
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
#include <vector>

#include "TestSupport.h"
#include "talvorncommon/FileIO.h"

namespace TalvornCommon {
namespace {

using namespace std::string_literals;
using testing::CountDirEntries;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;
using Lines = std::vector<std::string>;

const Lines kJunk = {"junk 1", "junk 2", "junk 3"};

// ---------------------------------------------------------------------------
// Configuration paths

class ConfigPathTest : public ::testing::Test {
 protected:
  testing::EnvGuard env;
};

TEST_F(ConfigPathTest, FollowsXdgConfigHomeThenHomeCharacterForCharacter) {
  struct Case {
    const char* label;
    std::optional<std::string> xdg;  // nullopt: unset
    std::optional<std::string> home;
    std::string configHome;
    std::string talvornHome;
  };
  const Case cases[] = {
      {"xdg absolute", "/cfg", "/home/u", "/cfg", "/cfg/Talvorn"},
      {"xdg with trailing separator", "/cfg/", "/home/u", "/cfg/", "/cfg//Talvorn"},
      {"xdg relative is returned unchanged", "cfg/dir", "/home/u", "cfg/dir", "cfg/dir/Talvorn"},
      {"xdg alone", "/cfg", std::nullopt, "/cfg", "/cfg/Talvorn"},
      {"xdg empty falls back to home", "", "/home/u", "/home/u/.config", "/home/u/.config/Talvorn"},
      {"xdg unset falls back to home", std::nullopt, "/home/u", "/home/u/.config",
       "/home/u/.config/Talvorn"},
      {"home with trailing separator doubles it", std::nullopt, "/home/u/", "/home/u//.config",
       "/home/u//.config/Talvorn"},
      {"home relative", std::nullopt, "rel", "rel/.config", "rel/.config/Talvorn"},
      {"home empty", std::nullopt, "", "/.config", "/.config/Talvorn"},
      {"xdg empty and home unset", "", std::nullopt, "/.config", "/.config/Talvorn"},
      {"both unset", std::nullopt, std::nullopt, "/.config", "/.config/Talvorn"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.xdg) {
      env.Set("XDG_CONFIG_HOME", *c.xdg);
    } else {
      env.Unset("XDG_CONFIG_HOME");
    }
    if (c.home) {
      env.Set("HOME", *c.home);
    } else {
      env.Unset("HOME");
    }
    EXPECT_EQ(FileIO::GetXdgConfigHomePath(), c.configHome);
    EXPECT_EQ(FileIO::GetTalvornHomePath(), c.talvornHome);
  }
}

TEST_F(ConfigPathTest, ComputesStringsWithoutTouchingTheFileSystem) {
  TempDir dir;
  const std::string xdg = dir.Join("not-there");
  env.Set("XDG_CONFIG_HOME", xdg);
  EXPECT_EQ(FileIO::GetTalvornHomePath(), xdg + "/Talvorn");
  EXPECT_FALSE(std::filesystem::exists(xdg));
  EXPECT_EQ(CountDirEntries(dir.path().c_str()), 0);
}

TEST_F(ConfigPathTest, WorkingDirectoryAndDocumentsAreAlwaysEmpty) {
  env.Set("HOME", "/home/u");
  env.Set("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(FileIO::GetWorkingDirectory(), "");
  EXPECT_EQ(FileIO::GetMyDocumentsPath(), "");
  env.Unset("HOME");
  EXPECT_EQ(FileIO::GetWorkingDirectory(), "");
  EXPECT_EQ(FileIO::GetMyDocumentsPath(), "");
}

TEST(DirectorySeparatorTest, IsOneSharedSlash) {
  const std::string& first = FileIO::GetDirectorySeparator();
  EXPECT_EQ(first, "/");
  EXPECT_EQ(first.size(), 1u);
  EXPECT_EQ(&FileIO::GetDirectorySeparator(), &first);
  const std::string* fromOtherThread = nullptr;
  std::thread([&] { fromOtherThread = &FileIO::GetDirectorySeparator(); }).join();
  EXPECT_EQ(fromOtherThread, &first);
}

// ---------------------------------------------------------------------------
// Files

// Each test gets its own empty directory, removed afterwards.
class FileIOTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir.Join(name); }
  std::string Dir() const { return dir.path().string(); }

  TempDir dir;
};

// Makes the temp dir the current directory for one scope.
class CurrentDirectoryGuard {
 public:
  explicit CurrentDirectoryGuard(const std::string& path)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~CurrentDirectoryGuard() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
  }
  CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
  CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

 private:
  std::filesystem::path saved_;
};

TEST_F(FileIOTest, SaveWritesExactlyTheseBytes) {
  enum class Folder { kPlain, kTrailingSeparator, kEmptyMeansCurrent };
  struct Case {
    const char* label;
    Folder folder;
    std::optional<std::string> existing;  // nullopt: no file before
    Lines lines;
    bool append;
    std::string expected;
  };
  const Case cases[] = {
      {"new file", Folder::kPlain, std::nullopt, {"a", "b"}, false, "a\nb"},
      {"new file by append", Folder::kPlain, std::nullopt, {"a", "b"}, true, "a\nb"},
      {"empty list creates an empty file", Folder::kPlain, std::nullopt, {}, false, ""},
      {"empty list appended to nothing", Folder::kPlain, std::nullopt, {}, true, ""},
      {"one empty line", Folder::kPlain, std::nullopt, {""}, false, ""},
      {"empty lines", Folder::kPlain, std::nullopt, {"", "", ""}, false, "\n\n"},
      {"replace a shorter file", Folder::kPlain, "x", {"a", "b"}, false, "a\nb"},
      {"replace drops the old tail", Folder::kPlain, "0123456789\nold tail\n", {"a"}, false, "a"},
      {"replace with nothing empties", Folder::kPlain, "old\ntext", {}, false, ""},
      {"append continues a last line without line feed",
       Folder::kPlain,
       "x",
       {"y", "z"},
       true,
       "xy\nz"},
      {"append after a final line feed", Folder::kPlain, "x\n", {"y"}, true, "x\ny"},
      {"append nothing", Folder::kPlain, "x", {}, true, "x"},
      {"embedded NUL bytes", Folder::kPlain, std::nullopt, {"a\0b"s, "\0"s}, false, "a\0b\n\0"s},
      {"carriage returns and high bytes kept",
       Folder::kPlain,
       std::nullopt,
       {"a\r", "\xff\xfe"},
       false,
       "a\r\n\xff\xfe"},
      {"trailing separator gets none added",
       Folder::kTrailingSeparator,
       std::nullopt,
       {"a"},
       false,
       "a"},
      {"trailing separator, replace",
       Folder::kTrailingSeparator,
       "long old text",
       {"b"},
       false,
       "b"},
      {"empty folder is the current directory",
       Folder::kEmptyMeansCurrent,
       std::nullopt,
       {"a", "b"},
       false,
       "a\nb"},
      {"empty folder, replace in the current directory",
       Folder::kEmptyMeansCurrent,
       "old old old",
       {"n"},
       false,
       "n"},
      {"empty folder, append in the current directory",
       Folder::kEmptyMeansCurrent,
       "x",
       {"y"},
       true,
       "xy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string target = Path("x.txt");
    std::filesystem::remove(target);
    if (c.existing) WriteFileBytes(target, *c.existing);
    bool saved = false;
    switch (c.folder) {
      case Folder::kPlain:
        saved = FileIO::SaveTextFile(Dir(), "x.txt", c.lines, c.append);
        break;
      case Folder::kTrailingSeparator:
        saved = FileIO::SaveTextFile(Dir() + "/", "x.txt", c.lines, c.append);
        break;
      case Folder::kEmptyMeansCurrent: {
        CurrentDirectoryGuard cwd(Dir());
        saved = FileIO::SaveTextFile("", "x.txt", c.lines, c.append);
        break;
      }
    }
    EXPECT_TRUE(saved);
    EXPECT_EQ(ReadFileBytes(target), c.expected);
    // Nothing else appears next to the target (no "dir//x.txt" twin, no temp file).
    EXPECT_EQ(CountDirEntries(Dir().c_str()), 1);
  }
}

TEST_F(FileIOTest, ReplaceKeepsTheFileItselfAndItsPermissions) {
  const std::string target = Path("x.txt");
  WriteFileBytes(target, "a much longer old text\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(link(target.c_str(), Path("hard-link").c_str()), 0);
  struct stat before {};
  ASSERT_EQ(stat(target.c_str(), &before), 0);

  EXPECT_TRUE(FileIO::SaveTextFile(Dir(), "x.txt", {"new"}, false));
  struct stat after {};
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFileBytes(Path("hard-link")), "new");
}

TEST_F(FileIOTest, SaveFailsWithoutCreatingAnything) {
  WriteFileBytes(Path("plain-file"), "keep");
  ASSERT_EQ(mkdir(Path("a-directory").c_str(), 0755), 0);
  struct Case {
    const char* label;
    std::string directory;
    std::string fileName;
    bool append;
  };
  const Case cases[] = {
      {"empty file name", Dir(), "", false},
      {"empty file name, append", Dir(), "", true},
      {"empty folder and file name", "", "", false},
      {"missing folder", Path("missing"), "x.txt", false},
      {"missing folder, append", Path("missing"), "x.txt", true},
      {"missing nested folder", Path("missing/deeper/"), "x.txt", true},
      {"folder is a regular file", Path("plain-file"), "x.txt", false},
      {"file name names a directory", Dir(), "a-directory", false},
      {"file name names a directory, append", Dir(), "a-directory", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(FileIO::SaveTextFile(c.directory, c.fileName, {"a", "b"}, c.append));
    EXPECT_EQ(CountDirEntries(Dir().c_str()), 2);
    EXPECT_EQ(CountDirEntries(Path("a-directory").c_str()), 0);
    EXPECT_EQ(ReadFileBytes(Path("plain-file")), "keep");
  }
  {
    // An empty file name must not turn the current directory into a target.
    CurrentDirectoryGuard cwd(Dir());
    EXPECT_FALSE(FileIO::SaveTextFile("", "", {"a"}, true));
    EXPECT_EQ(CountDirEntries(Dir().c_str()), 2);
  }
}

TEST_F(FileIOTest, SaveFollowsSymbolicLinks) {
  ASSERT_EQ(mkdir(Path("real").c_str(), 0755), 0);
  ASSERT_EQ(symlink(Path("real").c_str(), Path("link-to-dir").c_str()), 0);
  EXPECT_TRUE(FileIO::SaveTextFile(Path("link-to-dir"), "x.txt", {"a", "b"}, false));
  EXPECT_EQ(ReadFileBytes(Path("real/x.txt")), "a\nb");
  EXPECT_TRUE(FileIO::SaveTextFile(Path("link-to-dir"), "x.txt", {"c"}, false));
  EXPECT_EQ(ReadFileBytes(Path("real/x.txt")), "c");

  ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
  EXPECT_FALSE(FileIO::SaveTextFile(Path("dangling"), "x.txt", {"a"}, false));
  EXPECT_FALSE(std::filesystem::exists(Path("nowhere")));
}

// /dev/full accepts the open and fails every write with ENOSPC, like a full
// disk: the failure shows at the flush after a line feed, or only at close
// when the whole text is one line still sitting in the stream's buffer.
TEST(FileIOFullDeviceTest, WriteFailuresAfterTheOpenAreReported) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not writable here";
  struct Case {
    const char* label;
    std::string directory;
    Lines lines;
    bool append;
  };
  const Case cases[] = {
      {"fails at the first flush", "/dev", {"a", "b"}, false},
      {"fails at the first flush, append", "/dev/", {"a", "b"}, true},
      {"fails only at close", "/dev", {"single line"}, false},
      {"fails only at close, append", "/dev", {"single line"}, true},
      {"a line larger than any buffer", "/dev", {std::string(1 << 20, 'x')}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(FileIO::SaveTextFile(c.directory, "full", c.lines, c.append));
  }
  // The same calls against a device that takes the bytes succeed, so the
  // false above comes from the writes and not from the kind of target.
  if (access("/dev/null", W_OK) == 0) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.label);
      EXPECT_TRUE(FileIO::SaveTextFile(c.directory, "null", c.lines, c.append));
    }
  }
  // Nothing to write means nothing can fail.
  EXPECT_TRUE(FileIO::SaveTextFile("/dev", "full", {}, false));
}

// Sets a file-size limit for one scope, with SIGXFSZ ignored so that writes
// past it fail with EFBIG instead of killing the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t previous_ = SIG_DFL;
};

TEST_F(FileIOTest, RunningOutOfSpaceInARegularFileIsReported) {
  bool midway = true;
  bool atClose = true;
  bool withinLimit = false;
  {
    FileSizeLimit limit(6);
    midway = FileIO::SaveTextFile(Dir(), "midway.txt", {"aaaa", "bbbb", "cccc"}, false);
    atClose = FileIO::SaveTextFile(Dir(), "close.txt", {"0123456789"}, true);
    withinLimit = FileIO::SaveTextFile(Dir(), "fits.txt", {"ab", "c"}, false);
  }
  EXPECT_FALSE(midway);
  EXPECT_FALSE(atClose);
  EXPECT_TRUE(withinLimit);
  EXPECT_EQ(ReadFileBytes(Path("fits.txt")), "ab\nc");
  // What did reach the disk is the start of the text, cut at the limit.
  EXPECT_EQ(ReadFileBytes(Path("midway.txt")), "aaaa\nb");
}

TEST_F(FileIOTest, ReadSplitsAtLineFeedsOnly) {
  struct Case {
    const char* label;
    std::string bytes;
    Lines expected;
  };
  const Case cases[] = {
      {"LF between lines", "a\nb", {"a", "b"}},
      {"final LF adds no line", "a\nb\n", {"a", "b"}},
      {"two LFs give an empty line", "a\n\nb", {"a", "", "b"}},
      {"CR LF keeps the CR", "a\r\nb\r\n", {"a\r", "b\r"}},
      {"lone CR does not split", "a\rb", {"a\rb"}},
      {"empty file", "", {}},
      {"only a line feed", "\n", {""}},
      {"only line feeds", "\n\n\n", {"", "", ""}},
      {"no final LF", "last", {"last"}},
      {"NUL and high bytes kept", "a\0b\n\xff\n"s, {"a\0b"s, "\xff"}},
      {"line longer than the stream buffer",
       std::string(100000, 'q') + "\nz",
       {std::string(100000, 'q'), "z"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = Path("in.txt");
    WriteFileBytes(path, c.bytes);
    Lines lines = kJunk;
    EXPECT_TRUE(FileIO::ReadTextFile(path, lines));
    EXPECT_EQ(lines, c.expected);
    // Reading never writes.
    EXPECT_EQ(ReadFileBytes(path), c.bytes);
  }
}

TEST_F(FileIOTest, SavedLinesReadBackUnchanged) {
  const Lines samples[] = {
      {"a", "b"}, {"", "x", ""}, {"key=value", "", "# comment\r"}, {"a\0b"s}, {"solo"}};
  for (const Lines& lines : samples) {
    SCOPED_TRACE(::testing::PrintToString(lines));
    ASSERT_TRUE(FileIO::SaveTextFile(Dir(), "round.txt", lines, false));
    Lines back = kJunk;
    ASSERT_TRUE(FileIO::ReadTextFile(Path("round.txt"), back));
    // A trailing empty line is written as a final line feed, which reads back as nothing.
    Lines expected = lines;
    if (!expected.empty() && expected.back().empty()) expected.pop_back();
    EXPECT_EQ(back, expected);
  }
}

TEST_F(FileIOTest, ReadCreatesAMissingFileInAWritableFolder) {
  Lines lines = kJunk;
  EXPECT_TRUE(FileIO::ReadTextFile(Path("new.txt"), lines));
  EXPECT_TRUE(lines.empty());
  struct stat status {};
  ASSERT_EQ(stat(Path("new.txt").c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_size, 0);
}

TEST_F(FileIOTest, ReadFailuresEmptyTheLines) {
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink(Path("sub").c_str(), Path("link-to-dir").c_str()), 0);
  WriteFileBytes(Path("plain"), "p");
  struct Case {
    const char* label;
    std::string path;
  };
  const Case cases[] = {
      {"missing folder", Path("missing/x.txt")},
      {"empty path", ""},
      // A directory cannot be opened for writing; the read-only retry opens it
      // and the first read fails with EISDIR, which must not pass for an empty file.
      {"directory", Path("sub")},
      {"directory with trailing separator", Path("sub") + "/"},
      {"symbolic link to a directory", Path("link-to-dir")},
      {"below a regular file", Path("plain/x")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Lines lines = kJunk;
    EXPECT_FALSE(FileIO::ReadTextFile(c.path, lines));
    EXPECT_TRUE(lines.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(Path("missing")));
  EXPECT_EQ(CountDirEntries(Path("sub").c_str()), 0);
}

// /proc/self/mem opens like a file but reading at offset 0 fails with EIO
// (the zero page is never mapped): a read error after a successful open.
TEST_F(FileIOTest, ReadErrorAfterTheOpenIsReported) {
  const int fd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "/proc/self/mem cannot be opened here";
  char byte = 0;
  const ssize_t got = read(fd, &byte, 1);
  close(fd);
  if (got >= 0) GTEST_SKIP() << "reading /proc/self/mem at offset 0 does not fail here";
  Lines lines = kJunk;
  EXPECT_FALSE(FileIO::ReadTextFile("/proc/self/mem", lines));
  EXPECT_TRUE(lines.empty());
}

// Runs `check` in a child process that, when started as root, first drops to
// the unprivileged user 65534 so that permission bits apply. Returns the
// child's exit status: 0 when `check` returned true.
int RunUnprivileged(const std::function<bool()>& check) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0) {
      const gid_t nobodyGroup = 65534;
      const uid_t nobodyUser = 65534;
      if (setgroups(0, nullptr) != 0 || setgid(nobodyGroup) != 0 || setuid(nobodyUser) != 0) {
        _exit(2);
      }
    }
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(FileIOTest, PermissionsSeenByAnUnprivilegedUser) {
  // The user must reach the folder but not write into it.
  ASSERT_EQ(chmod(Dir().c_str(), 0755), 0);
  WriteFileBytes(Path("read-only.txt"), "a\nb");
  ASSERT_EQ(chmod(Path("read-only.txt").c_str(), 0444), 0);
  WriteFileBytes(Path("write-only.txt"), "secret");
  ASSERT_EQ(chmod(Path("write-only.txt").c_str(), 0222), 0);
  ASSERT_EQ(mkdir(Path("open").c_str(), 0777), 0);
  ASSERT_EQ(chmod(Path("open").c_str(), 0777), 0);
  const std::string folder = Dir();

  struct Case {
    const char* label;
    std::function<bool()> check;
  };
  const Case cases[] = {
      {"a read-only file is read through the read-only retry",
       [&] {
         Lines lines = kJunk;
         return FileIO::ReadTextFile(folder + "/read-only.txt", lines) && lines == Lines{"a", "b"};
       }},
      {"an unreadable file fails and empties the lines",
       [&] {
         Lines lines = kJunk;
         return !FileIO::ReadTextFile(folder + "/write-only.txt", lines) && lines.empty();
       }},
      {"a missing file in a folder that cannot be written fails",
       [&] {
         Lines lines = kJunk;
         return !FileIO::ReadTextFile(folder + "/absent.txt", lines) && lines.empty();
       }},
      {"a missing file in a writable folder is created",
       [&] {
         Lines lines = kJunk;
         return FileIO::ReadTextFile(folder + "/open/created.txt", lines) && lines.empty();
       }},
      {"replacing a read-only file fails",
       [&] { return !FileIO::SaveTextFile(folder, "read-only.txt", {"z"}, false); }},
      {"appending to a read-only file fails",
       [&] { return !FileIO::SaveTextFile(folder, "read-only.txt", {"z"}, true); }},
      {"saving into a folder that cannot be written fails",
       [&] { return !FileIO::SaveTextFile(folder, "new.txt", {"z"}, false); }},
      {"saving into a writable folder works",
       [&] { return FileIO::SaveTextFile(folder + "/open", "saved.txt", {"s"}, false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(RunUnprivileged(c.check), 0);
  }
  EXPECT_EQ(ReadFileBytes(Path("read-only.txt")), "a\nb");
  EXPECT_FALSE(std::filesystem::exists(Path("absent.txt")));
  EXPECT_FALSE(std::filesystem::exists(Path("new.txt")));
  EXPECT_TRUE(std::filesystem::exists(Path("open/created.txt")));
  EXPECT_EQ(ReadFileBytes(Path("open/saved.txt")), "s");
}

// ---------------------------------------------------------------------------
// Existence tests

// A bound AF_UNIX socket leaves a socket object on disk; closed on scope exit.
class BoundSocket {
 public:
  explicit BoundSocket(const std::string& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path.size() >= sizeof(address.sun_path)) return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~BoundSocket() {
    if (fd_ >= 0) close(fd_);
  }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_ = false;
};

TEST_F(FileIOTest, ExistenceOfEveryKindOfObject) {
  WriteFileBytes(Path("file"), "x");
  ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  BoundSocket sock(Path("sock"));
  ASSERT_TRUE(sock.bound());
  ASSERT_EQ(symlink(Path("dir").c_str(), Path("link-to-dir").c_str()), 0);
  ASSERT_EQ(symlink(Path("file").c_str(), Path("link-to-file").c_str()), 0);
  ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
  ASSERT_EQ(symlink(Path("sock").c_str(), Path("link-to-sock").c_str()), 0);

  struct Case {
    const char* label;
    std::string path;
    bool isDirectory;
    bool exists;
  };
  const Case cases[] = {
      {"regular file", Path("file"), false, true},
      {"directory", Path("dir"), true, true},
      {"directory with trailing separator", Path("dir") + "/", true, true},
      {"relative current directory", ".", true, true},
      {"missing", Path("missing"), false, false},
      {"empty path", "", false, false},
      {"below a regular file", Path("file/x"), false, false},
      {"regular file with trailing separator", Path("file") + "/", false, false},
      {"FIFO", Path("fifo"), false, true},
      {"socket", Path("sock"), false, true},
      {"character device", "/dev/null", false, true},
      {"link to a directory", Path("link-to-dir"), true, true},
      {"link to a file", Path("link-to-file"), false, true},
      {"link to a socket", Path("link-to-sock"), false, true},
      {"dangling link", Path("dangling"), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(FileIO::DirectoryExists(c.path), c.isDirectory);
    EXPECT_EQ(FileIO::FileExists(c.path), c.exists);
  }
}

TEST(FileIOBlockDeviceTest, BlockDeviceIsNotADirectory) {
  std::string device;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
    struct stat status {};
    if (lstat(entry.path().c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
      device = entry.path().string();
      break;
    }
  }
  if (device.empty()) GTEST_SKIP() << "no block device under /dev";
  SCOPED_TRACE(device);
  EXPECT_FALSE(FileIO::DirectoryExists(device));
  EXPECT_TRUE(FileIO::FileExists(device));
}

TEST_F(FileIOTest, CreateFullDirectoryCreatesNothing) {
  const std::string paths[] = {Path("new"), Path("new/deeper/still"), Dir(), ""};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(FileIO::CreateFullDirectory(path));
  }
  EXPECT_EQ(CountDirEntries(Dir().c_str()), 0);
}

TEST_F(FileIOTest, NoDescriptorOutlivesACall) {
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  const int before = testing::CountOpenFds();
  Lines lines;
  EXPECT_TRUE(FileIO::SaveTextFile(Dir(), "x.txt", {"a", "b"}, false));
  EXPECT_TRUE(FileIO::SaveTextFile(Dir(), "x.txt", {"c"}, true));
  EXPECT_TRUE(FileIO::ReadTextFile(Path("x.txt"), lines));
  EXPECT_TRUE(FileIO::ReadTextFile(Path("created.txt"), lines));
  EXPECT_FALSE(FileIO::ReadTextFile(Path("sub"), lines));
  EXPECT_FALSE(FileIO::ReadTextFile(Path("missing/x.txt"), lines));
  EXPECT_FALSE(FileIO::SaveTextFile(Path("missing"), "x.txt", {"a"}, false));
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_FALSE(FileIO::SaveTextFile("/dev", "full", {"a", "b"}, false));
  }
  EXPECT_EQ(testing::CountOpenFds(), before);
}

// Calls on different files from several threads do not interfere; TSan checks
// that the functions share no mutable state.
TEST_F(FileIOTest, ThreadsWorkingOnTheirOwnFiles) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string name = "thread-" + std::to_string(t) + ".txt";
      for (int round = 0; round < kRounds; ++round) {
        const Lines lines = {std::to_string(t), std::to_string(round)};
        Lines back;
        if (!FileIO::SaveTextFile(Dir(), name, lines, false) ||
            !FileIO::ReadTextFile(Path(name), back) || back != lines ||
            !FileIO::FileExists(Path(name)) || FileIO::DirectoryExists(Path(name))) {
          ++failures[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0) << t;
  EXPECT_EQ(CountDirEntries(Dir().c_str()), kThreads);
}

}  // namespace
}  // namespace TalvornCommon
