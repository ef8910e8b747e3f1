// PathWatcher against real file operations in a fresh directory per test, with
// the process's descriptors and threads counted before and after.
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <algorithm>
#include <regex>

#include "FuseMount.h"
#include "SshfsMount.h"
#include "WatcherTest.h"
#include "talvorncommon/PathWatcher.h"
#include "talvorncommon/detail/ProtectedSymlinks.h"
#include "talvorncommon/detail/WatchThreadHook.h"
#include "talvorncommon/detail/Way.h"

namespace TalvornCommon {
namespace {

using namespace testing;  // WatcherTest, TempDir, WaitUntil and the counts
using ::testing::HasSubstr;
using namespace std::chrono_literals;

class PathWatcherTest : public WatcherTest {
 protected:
  // Notes each call as "<who><file under the test's folder>: <its content>"
  // or "<who>problem: <problem>", with the folder's path left out of both.
  PathWatcher::OnChanged Record(const std::string& who = "") {
    return [this, who](const PathWatcher::Change& change) { Note(who + Describe(change)); };
  }
  std::string Describe(const PathWatcher::Change& change) const {
    std::string text = change.file.empty() ? "problem: " + change.problem
                                           : change.file + ": " + ReadFileBytes(change.file);
    for (size_t at; (at = text.find(root_)) != std::string::npos;) text.erase(at, root_.size());
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  // Waits for `expected.size()` calls, then for a few more quiet periods in
  // which no further call may come, and checks them, in this order where
  // `ordered`; clears the notes.
  void ExpectCalls(const Calls& expected, std::chrono::milliseconds quiet, bool ordered = true) {
    WaitForCalls(expected.size());
    std::this_thread::sleep_for(3 * quiet);
    std::lock_guard<std::mutex> lock(mutex_);
    const ::testing::Matcher<const Calls&> inOrder = ::testing::ElementsAreArray(expected);
    EXPECT_THAT(std::exchange(calls_, {}),
                ordered ? inOrder : ::testing::UnorderedElementsAreArray(expected));
  }
  struct Step {
    const char* what;
    const char* script;
    Calls calls;
  };
  // Runs each step against a watcher of `path` and checks the calls it gives,
  // then `check` on the watcher.
  void RunSteps(const std::string& path, const std::vector<Step>& steps,
                const std::function<void(PathWatcher&)>& check = nullptr) {
    // Far longer than the gaps inside one step's script, even on a loaded machine.
    const auto quiet = 300ms;
    PathWatcher watcher(path, quiet);
    EXPECT_TRUE(watcher.Start(Record(), error_)) << error_;
    for (const Step& step : steps) {
      SCOPED_TRACE(step.what);
      Shell(step.script);
      ExpectCalls(step.calls, quiet);
    }
    if (check) check(watcher);
  }
  // The watches of the process's inotify instances, as /proc lists them:
  // "inotify wd:<hex> ino:<hex> sdev:<hex> mask:<hex> ...".
  static std::vector<std::string> Watches() {
    std::vector<std::string> watches;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
      std::istringstream info(ReadFileBytes(entry.path()));
      for (std::string line; std::getline(info, line);)
        if (line.rfind("inotify wd:", 0) == 0) watches.push_back(line);
    }
    return watches;
  }
  // The mask of the watch on the inode at `path`; 0 when none. The kernel
  // numbers a device major << 20 | minor.
  static uint32_t MaskOf(const std::string& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    std::ostringstream key;
    key << std::hex << " ino:" << status.st_ino
        << " sdev:" << (major(status.st_dev) << 20 | minor(status.st_dev)) << " mask:";
    for (const std::string& watch : Watches())
      if (const auto at = watch.find(key.str()); at != std::string::npos)
        return static_cast<uint32_t>(std::stoul(watch.substr(at + key.str().size()), nullptr, 16));
    return 0;
  }
  // Runs `body` in a child made by fork, which has only this thread; its
  // result, the child's exit status, tells which step failed (0: none), or
  // that the child cannot do its work here (77: the test is skipped).
  static void InChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "the child cannot run here";
    EXPECT_EQ(status, 0) << "the child's exit status tells which step failed";
  }
  // A thread named `name` stays in a system call other than a sleep for a
  // fifth of a second: it waits, for a server that does not answer where it
  // goes through one. A look that answers takes far less.
  static bool Waiting(const std::string& name) {
    const auto before = SystemCallsOf(name);
    std::this_thread::sleep_for(200ms);
    return std::ranges::any_of(SystemCallsOf(name), [&](const auto& now) {
      const auto& [task, call] = now;
      return before.contains(task) && before.at(task) == call && !call.starts_with("running") &&
             !call.starts_with(std::to_string(SYS_futex) + " ");
    });
  }
  // Mounts a bindfs of the test's folder back<name> on its folder mnt<name>,
  // in the test's own mount namespace, before any watcher's thread: null,
  // with the test skipped, where it cannot.
  std::unique_ptr<FuseMount> Far(const std::string& name) {
    Shell("mkdir -p back" + name + " mnt" + name);
    auto mount = std::make_unique<FuseMount>(dir_.Join("back" + name), dir_.Join("mnt" + name));
    if (mount->IsMounted()) return mount;
    skipped_ = mount->SkipReason();
    return nullptr;
  }
  std::string skipped_;
  // The thread "PathWatcher" is asleep in the kernel, in ppoll(fds, 3, no
  // timeout, ...), with nothing to wake it before an event on the way or Stop.
  static bool SleepsWithNoTimeout() {
    const auto calls = SystemCallsOf("PathWatcher");
    return calls.size() == 1 &&
           std::regex_search(calls.begin()->second,
                             std::regex("^" + std::to_string(SYS_ppoll) + " \\S+ 0x3 0x0 "));
  }
  const std::string root_ = std::filesystem::canonical(dir_.path()).string();
  const std::string path_ = root_ + "/w";
  // The folders from the root down to the test's, the root included.
  const long folders_ = std::ranges::distance(std::filesystem::path(root_));
};

// Every folder from the root down, and every link, is watched by its place on
// the way, never by its inode: replacing any of them is followed, and what
// happens in a folder that has left the way, or to other names, is not told.
// The thread sleeps with no timeout while nothing happens on the way.
TEST_F(PathWatcherTest, EveryPlaceOnTheWayIsFollowed) {
  Shell("mkdir -p app/conf && echo v1 > app/conf/w");
  RunSteps(
      root_ + "/app/conf/w",
      {
          {"an editor's save by rename",
           "echo v2 > app/conf/.w.tmp && mv app/conf/.w.tmp app/conf/w",
           {"/app/conf/w: v2"}},
          {"other names in the watched folders",
           "echo x > app/conf/other; echo y >> app/other; mkdir app/conf/sub; touch app",
           {}},
          {"a folder above the file's folder replaced",
           "mkdir -p app.new/conf && echo v3 > app.new/conf/w && mv app app.old && mv app.new app",
           {"/app/conf/w: v3"}},
          {"writes in the folder that left the way", "echo v9 > app.old/conf/w", {}},
          {"the file's folder deleted and made again, maybe with the old inode number",
           "rm -r app/conf && mkdir app/conf && echo v4 > app/conf/w",
           {"/app/conf/w: v4"}},
          {"an append in the new folder", "echo v5 >> app/conf/w", {"/app/conf/w: v4\nv5"}},
          {"a write through a hard link off the way, as through a file bind mount",
           "ln app/conf/w hard && echo v6 >> hard",
           {"/app/conf/w: v4\nv5\nv6"}},
          {"a deploy's link, then \"..\" from where it led",
           "mkdir -p app/releases/v2 app/releases/shared && echo v8 > app/releases/shared/w && "
           "ln -s releases/v2 app/cur && ln -sfn ../cur/../shared/w app/conf/w",
           {"/app/releases/shared/w: v8"}},
          {"a ConfigMap published",
           "mkdir app/conf/..1 && echo v6 > app/conf/..1/w && ln -s ..1 app/conf/..data && "
           "ln -sfn ..data/w app/conf/w",
           {"/app/conf/..1/w: v6"}},
          {"a ConfigMap updated",
           "mkdir app/conf/..2 && echo v7 > app/conf/..2/w && ln -s ..2 app/conf/..data_tmp && "
           "mv -T app/conf/..data_tmp app/conf/..data && rm -r app/conf/..1",
           {"/app/conf/..2/w: v7"}},
          {"the file that left the way written through its hard link", "echo v9 >> hard", {}},
          // The burst's last resolution finds other names than the one before.
          {"the data link turned twice within one quiet period",
           "mkdir app/conf/..3 app/conf/..4 && echo v10 > app/conf/..3/w && echo v11 > "
           "app/conf/..4/w && ln -sfn ..3 app/conf/..data && sleep 0.05 && "
           "ln -sfn ..4 app/conf/..data",
           {"/app/conf/..4/w: v11"}},
          {"and once more", "ln -sfn ..3 app/conf/..data", {"/app/conf/..3/w: v10"}},
      },
      [&](PathWatcher& watcher) {
        EXPECT_EQ(Describe(watcher.Current()), "/app/conf/..3/w: v10");        // behind two links
        EXPECT_EQ(std::system("! ls -l /proc/self/fd | grep -q inotify"), 0);  // not on exec
        EXPECT_TRUE(WaitUntil([] { return SleepsWithNoTimeout(); }));
        // The folders down to the test's, app, conf, the data folder and the file.
        EXPECT_EQ(std::ssize(Watches()), folders_ + 4);
      });
  ExpectNothingLeftOpen();
}

// The kernel tells no inotify event for a mount: a file system mounted over a
// folder on the way, or over the file as a container's single-file volume, is
// heard as a change of the mount table, and followed until it is unmounted.
TEST_F(PathWatcherTest, MountsOnTheWayAreFollowed) {
  Shell("mkdir -p app/conf other && echo v1 > app/conf/w && echo v2 > other/w && echo v3 > host");
  if (!EnterOwnMountNamespace() ||
      std::system(("cd " + root_ + " && mount --bind other other && umount other").c_str()) != 0)
    GTEST_SKIP() << "cannot mount here";
  RunSteps(
      root_ + "/app/conf/w",
      {
          {"a folder on the way mounted over", "mount --bind other app/conf", {"/app/conf/w: v2"}},
          {"written in the mounted folder", "echo v4 >> other/w", {"/app/conf/w: v2\nv4"}},
          {"the folder unmounted", "umount app/conf", {"/app/conf/w: v1"}},
          {"a file mounted over the file", "mount --bind host app/conf/w", {"/app/conf/w: v3"}},
          {"written in place on the far side", "echo v5 >> host", {"/app/conf/w: v3\nv5"}},
          {"the file unmounted", "umount app/conf/w", {"/app/conf/w: v1"}},
      });
}

// When the path leads nowhere the call says why, at the end of the burst, and
// the watcher resumes by itself once it leads to a file again.
TEST_F(PathWatcherTest, WhenThePathLeadsNowhereTheCallSaysWhyAndItResumes) {
  Shell("echo v1 > w");
  const std::string loop = "problem: a link loop, or more than 40 links, on the way to /w";
  RunSteps(
      path_,
      {
          {"moved away", "mv w w.old", {"problem: /w does not exist"}},
          {"written, deleted, written again", "echo v2 > w; rm w; echo v3 > w", {"/w: v3"}},
          {"a dangling link",
           "ln -sfn ../$(basename \"$PWD\")/target w",  // up and down again
           {"problem: /target does not exist (reached through the link /w)"}},
          {"the link's target written", "echo v4 > target", {"/target: v4"}},
          {"a link loop", "ln -s w loop && ln -sfn loop w", {loop}},
          {"the same loop made again", "ln -s w loop.new && mv -T loop.new loop", {}},
          {"not a regular file", "rm w && mkfifo w", {"problem: /w is not a regular file"}},
          {"40 links, as many as the kernel follows",
           "for i in $(seq 38); do ln -s l$((i + 1)) l$i; done; ln -s target l39; ln -sfn l1 w",
           {"/target: v4"}},
          {"41 links", "ln -s l1 l0 && ln -sfn l0 w", {loop}},
      });
}

// A writer that pauses while it holds the file open is read once, after it
// closes the file; one that never closes is read after a second of quiet. A
// file written and closed just as the way is resolved again, in a folder new
// on the way, is heard closing: its call comes after the quiet period, not as
// a writer's that never closed, whose burst a later write would extend.
TEST_F(PathWatcherTest, AFileIsReadOnceItsWriterHasClosedIt) {
  Shell("mkdir d && echo v1 > d/w");
  const auto quiet = 20ms;
  PathWatcher watcher(path_, quiet);
  ASSERT_TRUE(watcher.Start(Record(), error_)) << error_;
  {
    std::ofstream writer(path_);
    for (const char* line : {"a\n", "b\n", "c\n"}) {
      std::this_thread::sleep_for(5 * quiet);  // created or written, then a pause
      writer << line << std::flush;
    }
  }
  ExpectCalls({"/w: a\nb\nc"}, quiet);
  std::ofstream writer(path_);
  writer << "d\n" << std::flush;
  ExpectCalls({"/w: d"}, quiet);
  writer.close();
  ExpectCalls({"/w: d"}, quiet);
  // The hook is a plain function: it reaches the file through statics.
  static std::string appended;
  static std::atomic<bool> armed;
  appended = root_ + "/d/w";
  armed = true;
  detail::SetResolveHook([] {
    if (armed.exchange(false)) std::ofstream(appended, std::ios::app) << "x\n";
  });
  Shell("ln -s d/w w.new && mv -T w.new w");
  EXPECT_TRUE(WaitUntil([] { return !armed; }));
  detail::SetResolveHook(nullptr);
  std::this_thread::sleep_for(300ms);  // far past the quiet period, well within a writer's second
  Shell("echo y >> d/w");
  ExpectCalls({"/d/w: v1\nx", "/d/w: v1\nx\ny"}, quiet);
}

// While a call is held, a flood of events on another name overflows the queue
// and drops the event of the file's own change: the overflow alone brings the
// call that reads it, and a call to every other watcher too. Saves queued
// while a call is held, more than one read of the queue takes, end in one call
// even with no quiet period.
TEST_F(PathWatcherTest, WhatQueuesWhileACallIsHeldEndsInOneCall) {
  std::atomic<int> released{0};
  int returned = 0;  // on the watch thread only
  const auto held = [&](const PathWatcher::Change& change) {
    Note(Describe(change));
    WaitUntil([&] { return released > returned; }, 30s);
    ++returned;
  };
  PathWatcher watcher(path_, 0ms), beside(dir_.Join("v"), 0ms);
  ASSERT_TRUE(watcher.Start(held, error_) && beside.Start(Record("beside "), error_)) << error_;
  // A save of the file is two records (written, closed); of another name one,
  // its close, so two names take turns: the kernel merges a record into an
  // identical one queued just before it.
  WriteFileBytes(path_, "v1\n");
  ASSERT_EQ(WaitForCalls(1).size(), 1U);
  for (int i = 0; i < 20000; ++i) WriteFileBytes(dir_.Join("other" + std::to_string(i % 2)), "x");
  WriteFileBytes(path_, "v2\n");
  released = 1;
  ASSERT_EQ(WaitForCalls(2).back(), "/w: v2");
  // Each save with one of a file beside it, as a program saving its state too,
  // so that reads of the queue end between saves as well as inside one.
  for (int i = 0; i < 2000; ++i) WriteFileBytes(i % 2 == 0 ? path_ : dir_.Join("state"), "v3\n");
  released = 1000;
  ExpectCalls({"/w: v1", "/w: v2", "beside problem: /v does not exist", "/w: v3"}, 100ms);
}

// A chmod on the way is an event; a permission granted by a change of the
// process's own credentials is not, so a permission problem is checked again
// every two seconds while it lasts. The watcher runs in a child process that
// is not root, since root may read anything, and the child makes the chmods
// as root on its own thread alone; the file's own chmod is made while its
// folder is shut, where no watch can hear it.
TEST_F(PathWatcherTest, PermissionsAreFollowedAndAProblemIsCheckedAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to change the user";
  const std::string folder = dir_.Join("conf"), file = folder + "/w";
  Shell("mkdir conf");
  // Where it can, conf is the root of a file system, whose chmod no parent hears.
  if (EnterOwnMountNamespace())
    static_cast<void>(std::system(("mount -t tmpfs t " + folder).c_str()));
  Shell("chmod 0755 . conf && echo v1 > conf/w");
  InChild([&] {
    // On a thread of its own, the child's main thread having ended first, as a
    // program's may: /proc/self is then a zombie's.
    std::thread([this, folder, file] {
      const auto calledWith = [this](const std::string& call) {
        return WaitUntil([&] { return std::ranges::count(WaitForCalls(0), call) > 0; });
      };
      // The saved user id stays root, so the effective one can come back.
      if (::setresuid(65534, 65534, 0) != 0) ::_exit(1);
      PathWatcher watcher(file);
      if (!watcher.Start(Record(), error_) || watcher.Current().file != file) ::_exit(2);
      ::setfsuid(0);  // this thread's alone: the thread "PathWatcher" stays the other user's
      if (::chmod(folder.c_str(), 0700) != 0 ||
          !calledWith("problem: cannot watch /conf: Permission denied"))
        ::_exit(3);
      if (::chmod(file.c_str(), 0600) != 0 || ::chmod(folder.c_str(), 0755) != 0 ||
          !calledWith("problem: cannot read /conf/w: Permission denied"))
        ::_exit(4);
      if (::setresuid(-1, 0, -1) != 0) ::_exit(5);  // every thread of the process
      ::_exit(calledWith("/conf/w: v1") ? 0 : 6);
    }).detach();
    return static_cast<int>(::syscall(SYS_exit, 0));  // this thread only, with nothing unwound
  });
  static_cast<void>(::umount2(folder.c_str(), MNT_DETACH));
}

// Where fs.protected_symlinks is on, another user's link in a sticky folder
// that anyone may write leads nowhere, as opening the path fails with EACCES,
// unless the folder or the thread's file-system user is the link owner. The
// kernel judges only a link that ends its walk: the path's last part, or the
// last part of the target of a link so judged. In a user namespace, owners it
// does not map all show as 65534 and match nobody. Start reads the setting
// from a file of the test's; where the kernel's own can be turned on for the
// test, open() of each path must agree with the watcher.
TEST_F(PathWatcherTest, AnotherUsersLinkInAStickyFolderIsFollowedOnlyWhereTheKernelWould) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the links and their folder away";
  constexpr uid_t kRoot = 0, kOther = 65534, kHostUser = 1000, kAnotherHostUser = 1001;
  struct Row {
    const char* what;
    const char* path = "tmp/w";
    uid_t linkOwner = kOther;  // of the links in tmp
    uid_t folderOwner = kRoot;
    mode_t folderMode = 01777;
    const char* setting = "on";    // the file Start reads it from: "on", "off" or "none" (missing)
    uid_t follower = kRoot;        // the file-system user of the thread that starts the watcher
    const char* uidMap = nullptr;  // a child's user namespace, with this map ("": none)
    bool followed = false;
  };
  const Row rows[] = {
      {.what = "another user's link"},
      {.what = "the setting unreadable: taken as on", .setting = "none"},
      {.what = "the setting off", .setting = "off", .followed = true},
      {.what = "the follower's own link", .linkOwner = kRoot, .followed = true},
      {.what = "a follower of the link owner's user", .follower = kOther, .followed = true},
      {.what = "the folder owner's link", .folderOwner = kOther, .followed = true},
      {.what = "a folder that is not sticky", .folderMode = 0777, .followed = true},
      {.what = "a folder that not anyone may write", .folderMode = 01775, .followed = true},
      {.what = "in the middle of the path", .path = "tmp/d/target", .followed = true},
      {.what = "the last part of a link's target", .path = "last"},
      {.what = "in the middle of a link's target", .path = "middle", .followed = true},
      {.what = "link and folder of two users the namespace does not map",
       .linkOwner = kHostUser,
       .folderOwner = kAnotherHostUser,
       .uidMap = "0 0 1"},
      {.what = "a follower the namespace does not map, as the link owner", .uidMap = ""},
  };
  Shell(
      "echo 1 > on && echo 0 > off && echo v1 > target && mkdir tmp && ln -s ../target tmp/w && "
      "ln -s .. tmp/d && ln -s tmp/w last && ln -s tmp/d/target middle");
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);  // for the other users to follow
  // The kernel's own setting, on for this test alone: put back whatever happens.
  const char* const kKernelSetting = "/proc/sys/fs/protected_symlinks";
  const std::string was = ReadFileBytes(kKernelSetting);
  if (!was.empty()) std::ofstream(kKernelSetting) << "1\n";
  const bool kernelOn = ReadFileBytes(kKernelSetting) == "1\n";
  const auto putBack = [&](const std::string* old) { std::ofstream(kKernelSetting) << *old; };
  const std::unique_ptr<const std::string, decltype(putBack)> restore(kernelOn ? &was : nullptr,
                                                                      putBack);
  const std::string folder = dir_.Join("tmp");
  const std::string refused =
      "problem: cannot follow the link /tmp/w: in a sticky folder that anyone may write, "
      "fs.protected_symlinks refuses a link that is neither the folder owner's nor the "
      "process's";
  // What the watcher says of the row's path, and whether open() disagrees,
  // on this thread as the row's follower.
  const auto judged = [&](const Row& row) {
    const std::string setting = dir_.Join(row.setting), path = root_ + "/" + row.path;
    detail::SetProtectedSymlinksFile(setting.c_str());
    ::setfsuid(row.follower);  // this thread's alone
    PathWatcher watcher(path);
    std::string said = watcher.Start(Record(), error_) ? Describe(watcher.Current()) : error_;
    const int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (opened >= 0) ::close(opened);
    if (kernelOn && std::string_view(row.setting) != "off" && row.followed != (opened >= 0))
      said += row.followed ? "; open() refuses it" : "; open() follows it";
    ::setfsuid(kRoot);
    detail::SetProtectedSymlinksFile(nullptr);
    return said;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(::lchown((folder + "/w").c_str(), row.linkOwner, kRoot) == 0 &&
                ::lchown((folder + "/d").c_str(), row.linkOwner, kRoot) == 0 &&
                ::chown(folder.c_str(), row.folderOwner, kRoot) == 0 &&
                ::chmod(folder.c_str(), row.folderMode) == 0);
    const std::string expected = row.followed ? "/target: v1" : refused;
    if (row.uidMap == nullptr) {
      EXPECT_EQ(judged(row), expected);
      continue;
    }
    // TSan's runtime keeps a thread of its own, and a process of several
    // threads cannot enter a user namespace: the test is skipped.
    InChild([&] {
      if (::unshare(CLONE_NEWUSER) != 0) return errno == EINVAL ? 77 : 1;
      if (*row.uidMap != '\0' && !(std::ofstream("/proc/self/uid_map") << row.uidMap << std::flush))
        return 2;
      return judged(row) == expected ? 0 : 3;
    });
  }
  if (!kernelOn) GTEST_SKIP() << "open() not compared: cannot turn fs.protected_symlinks on";
}

// A failed Start gives a complete text naming the path as given, logs it and
// leaves nothing open; a start, a problem and a stop are logged too. No
// descriptors left makes the instance, the eventfd or the mount table fail for
// real; the thread hook throws where std::thread would.
TEST_F(PathWatcherTest, AFailedStartNamesThePathLeavesNothingOpenAndIsLogged) {
  CaptureLog();
  ExpectFailedStarts<PathWatcher>(
      "PathWatcher",
      {
          {"", -1, nullptr, "the path is empty"},
          {path_ + std::string("\0/x", 3), -1, nullptr, "the path contains a NUL character"},
          {path_, 0, nullptr, "inotify_init1 failed: Too many open files"},
          {path_, 1, nullptr, "eventfd failed: Too many open files"},
          {path_, 2, nullptr, "opening /proc/thread-self/mountinfo failed: Too many open files"},
          {path_, -1, RefuseThread,
           "watch thread creation failed: Resource temporarily unavailable"},
      },
      Record());
  PathWatcher watcher(path_);
  EXPECT_FALSE(watcher.Start(nullptr, error_));
  ASSERT_TRUE(watcher.Start(Record(), error_) && watcher.Stop(error_)) << error_;
  std::string log = Logged();
  for (size_t at; (at = log.find(path_)) != std::string::npos;) log.replace(at, path_.size(), "P");
  EXPECT_THAT(log, HasSubstr("error PathWatcher:470 Encountered an error while starting a "
                             "PathWatcher on 'P': the onChanged callback is empty\n"
                             "info PathWatcher:410 Started a PathWatcher on 'P': it leads to no "
                             "readable file: P does not exist\n"
                             "warning PathWatcher:450 A PathWatcher on 'P' leads to no readable "
                             "file: P does not exist\n"
                             "info PathWatcher:430 Stopped a PathWatcher on 'P'.\n"));
}

// From its own callback the watcher can be neither stopped nor started, nor
// destroyed safely; a Stop elsewhere waits for the call, a relative path is
// made absolute.
TEST_F(PathWatcherTest, StartStopAndDestructionFromTheCallbackAndAcrossCycles) {
  const std::string relative = std::filesystem::relative(path_).string();
  PathWatcher watcher(relative, 0ms);
  std::string startError, stopError;
  const auto held = [&](const PathWatcher::Change& change) {
    Note(Describe(change));
    EXPECT_EQ(watcher.Current(), change);
    BlockUntilReleased();
    // Another thread's Stop is waiting for this call by now.
    EXPECT_FALSE(watcher.Stop(stopError));
    EXPECT_FALSE(watcher.Start(Record(), startError));
    Note("call returns");
  };
  ASSERT_TRUE(watcher.Start(held, error_)) << error_;
  EXPECT_EQ(watcher.Current().problem, root_ + "/w does not exist");
  WriteFileBytes(path_, "v1\n");
  ASSERT_EQ(WaitForCalls(1).size(), 1U);
  std::future<void> stopping =
      std::async(std::launch::async, [&] { Note(watcher.Stop(error_) ? "Stop returns" : error_); });
  static_cast<void>(stopping.wait_for(100ms));  // time for a Stop that does not wait to return
  release_.set_value();
  stopping.get();
  const std::string says = "A PathWatcher on '" + relative + "'";
  EXPECT_EQ(stopError, says + " cannot be stopped from its own onChanged callback; stop aborted!");
  EXPECT_EQ(startError, says + " has already been started; start aborted!");
  EXPECT_EQ(std::exchange(calls_, {}), (Calls{"/w: v1", "call returns", "Stop returns"}));
  EXPECT_FALSE(watcher.Stop(error_));
  EXPECT_EQ(error_, says + " has not been started yet; stop aborted!");
  // Destroyed from its own callback, a watcher makes no further call; its
  // thread ends, closing all it held, once the callback returns.
  auto destroyed = std::make_unique<PathWatcher>(path_, 0ms);
  const auto destroy = [&](const PathWatcher::Change& change) {
    const std::string call = Describe(change);
    destroyed.reset();
    Note(call);  // after the reset, so that the lock orders it before the checks
  };
  ASSERT_TRUE(destroyed->Start(destroy, error_)) << error_;
  Shell("echo v1 > w; echo v2 > w");
  ExpectNothingLeftOpen();
  EXPECT_EQ(WaitForCalls(0).size(), 1U);
}

// The inotify limits, lowered in a user namespace of the test's own: an
// exhausted instance limit is told apart from a process out of descriptors,
// and the file's own watch that cannot be set names the file.
TEST_F(PathWatcherTest, TheUsersInotifyLimitsAreNamed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a user namespace and set its limits";
  Shell("echo v1 > w");
  InChild([&] {
    const auto limit = [](const char* name, long value) {
      return static_cast<bool>(std::ofstream(std::string("/proc/sys/user/") + name) << value);
    };
    // TSan's runtime keeps a thread of its own, and a process of several
    // threads cannot enter a user namespace: the test is skipped.
    if (::unshare(CLONE_NEWUSER) != 0) return errno == EINVAL ? 77 : 1;
    PathWatcher watcher(path_);
    if (!limit("max_inotify_instances", 0) || watcher.Start(Record(), error_)) return 2;
    if (!error_.ends_with("inotify_init1 failed: the user's programs already hold as many "
                          "inotify instances as fs.inotify.max_user_instances allows"))
      return 3;
    if (!limit("max_inotify_instances", 1) || !limit("max_inotify_watches", folders_) ||
        !watcher.Start(Record(), error_))
      return 4;
    const std::string limited =
        ": the user's limit of inotify watches is reached "
        "(fs.inotify.max_user_watches)";
    return watcher.Current().problem == "cannot watch " + path_ + limited ? 0 : 5;
  });
}

// A path that leads to no regular file says so in a line a person can read:
// a descriptor's pipe is no file, and a path too long for the kernel is named
// by its two ends.
TEST_F(PathWatcherTest, AProblemNamesThePlaceInFewWords) {
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  const std::string descriptor =
      "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(pipeEnds[0]);
  std::string longFolder;
  for (int part = 0; part < 20; ++part) longFolder += std::string(250, 'a') + "/";
  Shell("mkdir -p " + longFolder);
  PathWatcher pipe(descriptor), tooLong(root_ + "/" + longFolder + "w");
  ASSERT_TRUE(pipe.Start(Record(), error_) && tooLong.Start(Record(), error_)) << error_;
  EXPECT_EQ(pipe.Current().problem, descriptor + " is not a regular file: it leads to " +
                                        std::filesystem::read_symlink(descriptor).string());
  EXPECT_THAT(tooLong.Current().problem,
              ::testing::AllOf(::testing::StartsWith("cannot look into " + root_),
                               ::testing::EndsWith(": File name too long"),
                               ::testing::SizeIs(::testing::Lt(300))));
  ::close(pipeEnds[0]);
  ::close(pipeEnds[1]);
}

// A server following one file per tenant, whose programs share 128 inotify
// instances: a thousand watchers cost one instance and one thread, and each
// file changed once gives one call, to its own watcher.
TEST_F(PathWatcherTest, AThousandWatchersShareOneInstanceAndOneThread) {
  std::vector<std::unique_ptr<PathWatcher>> watchers;
  Calls expected;
  for (int i = 0; i < 1000; ++i) {
    const std::string name = std::to_string(i);
    watchers.push_back(std::make_unique<PathWatcher>(dir_.Join(name), 0ms));
    ASSERT_TRUE(watchers.back()->Start(Record(name + " "), error_)) << error_;
    expected.push_back(name + " /" + name + ": v");
  }
  EXPECT_EQ(CountOpenFds(), fds_ + 3);
  EXPECT_EQ(CountThreads(), threads_ + 1);
  for (int i = 0; i < 1000; ++i) WriteFileBytes(dir_.Join(std::to_string(i)), "v");
  ExpectCalls(expected, 100ms, /*ordered=*/false);
  watchers.clear();
  ExpectNothingLeftOpen();
}

// Watchers that share a folder's or a file's watch each hear what they need
// of it, also once the others stop; one may stop another from its callback.
// The watch asks of the kernel what they ask together, and no more once the
// way of one that remains is walked again.
TEST_F(PathWatcherTest, WatchersSharingAWatchEachHearTheirOwn) {
  Shell("mkdir -p d/sub && echo x1 > d/w && echo y1 > d/sub/y");
  // x1 and x2 need d's closes and the file's writes; y needs only d's names.
  // Far longer than the gaps inside one script, even on a loaded machine.
  const auto quiet = 200ms;
  PathWatcher x1(root_ + "/d/w", quiet), x2(root_ + "/d/w", quiet), y(root_ + "/d/sub/y", quiet);
  ASSERT_TRUE(x1.Start(Record("x1 "), error_) && x2.Start(Record("x2 "), error_) &&
              y.Start(Record("y "), error_))
      << error_;
  const auto expect = [&](const char* script, const Calls& calls) {
    SCOPED_TRACE(script);
    Shell(script);
    ExpectCalls(calls, quiet, /*ordered=*/false);
  };
  expect(": >> d/w", {"x1 /d/w: x1", "x2 /d/w: x1"});  // a close alone, heard by d's watch
  expect("echo x2 > d/w", {"x1 /d/w: x2", "x2 /d/w: x2"});
  ASSERT_TRUE(x2.Stop(error_)) << error_;
  expect("echo x3 >> d/w", {"x1 /d/w: x2\nx3"});
  ASSERT_TRUE(y.Stop(error_)) << error_;
  expect("echo x4 > d/.w && mv d/.w d/w", {"x1 /d/w: x4"});
  ASSERT_TRUE(y.Start(
      [&](const PathWatcher::Change& change) {
        Note("y " + Describe(change));
        std::string stopError;
        if (x1.IsWatching()) Note(x1.Stop(stopError) ? "y stopped x1" : stopError);
      },
      error_));
  expect("mv d/sub d/sub.old && mkdir d/sub && echo y2 > d/sub/y",
         {"y /d/sub/y: y2", "y stopped x1"});
  expect("echo x5 > d/w", {});
  // Closes in d, which only x1 needed, no longer wake the thread once y walks
  // its way again.
  EXPECT_NE(MaskOf(root_ + "/d") & IN_CLOSE_WRITE, 0U);
  Shell("touch d/sub");
  EXPECT_TRUE(WaitUntil([&] { return (MaskOf(root_ + "/d") & IN_CLOSE_WRITE) == 0; }));
  ASSERT_TRUE(y.Stop(error_)) << error_;
  ExpectNothingLeftOpen();
}

// Watchers started and stopped from several threads at once, while their
// files are written: no two calls ever overlap, and nothing is left open.
TEST_F(PathWatcherTest, StartAndStopFromManyThreadsAtOnce) {
  std::atomic<int> inCall{0}, calls{0};
  std::atomic<bool> overlapped{false}, writing{true};
  std::thread writer([&] {
    for (int i = 0; writing; ++i) WriteFileBytes(dir_.Join("f" + std::to_string(i % 4)), "v");
  });
  const auto call = [&](const PathWatcher::Change&) {
    overlapped = overlapped || inCall.fetch_add(1) != 0;
    std::this_thread::sleep_for(1ms);
    inCall.fetch_sub(1);
    ++calls;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      PathWatcher watcher(dir_.Join("f" + std::to_string(t)), 0ms);
      for (int cycle = 0; cycle < 30; ++cycle) {
        std::string error;
        EXPECT_TRUE(watcher.Start(call, error)) << error;
        std::this_thread::sleep_for(5ms);
        EXPECT_TRUE(watcher.Stop(error)) << error;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  writing = false;
  writer.join();
  EXPECT_FALSE(overlapped);
  EXPECT_GT(calls, 0);
  ExpectNothingLeftOpen();
}

// On a user-space file system (as on NFS, SMB or a virtual machine's shared
// folder) a change made on the far side raises no inotify event here: the way
// from its first such place down is looked at every second, and each change is
// one call once a further look finds it settled, a slow writer's with the
// whole file. A way that a link on one far file system leads into another is
// looked at on both, each by a thread of its own.
TEST_F(PathWatcherTest, ChangesBehindAUserSpaceMountAreLookedFor) {
  const auto first = Far(""), second = Far("B");
  if (!first || !second) GTEST_SKIP() << skipped_;
  Shell(
      "mkdir back/..1 && echo v1 > back/..1/w && ln -s ..1 back/..data && "
      "ln -s ..data/w back/w && echo b1 > backB/w");
  RunSteps(root_ + "/mnt/w",
           {
               {"a ConfigMap updated",
                "mkdir back/..2 && echo v2 > back/..2/w && ln -s ..2 back/..tmp && "
                "mv -T back/..tmp back/..data && rm -r back/..1",
                {"/mnt/..2/w: v2"}},
               // Given the time of two looks to call, which it must not.
               {"a file made beside it", "echo x > back/..2/x && sleep 2.5", {}},
               {"a slow writer",
                "for i in 1 2 3 4; do echo s$i >> back/..2/w; sleep 0.1; done",
                {"/mnt/..2/w: v2\ns1\ns2\ns3\ns4"}},
               {"moved away", "mv back/w back/w.old", {"problem: /mnt/w does not exist"}},
               {"moved back", "mv back/w.old back/w", {"/mnt/..2/w: v2\ns1\ns2\ns3\ns4"}},
               {"the link turned into the second", "ln -sfn ../mntB/w back/w", {"/mntB/w: b1"}},
               {"written behind the second", "echo b2 >> backB/w", {"/mntB/w: b1\nb2"}},
           },
           [&](PathWatcher& remote) {
             EXPECT_EQ(remote.WhyLooked(), root_ + "/mnt is on fuse (a user-space file system)");
             EXPECT_EQ(CountThreads(), threads_ + 3);
           });
  ExpectNothingLeftOpen();
}

// A hundred watchers of files in one far folder share one look thread, which
// asks the folder once a look for them all; a file edited in place behind the
// mount calls its own watcher once and no other. The folders on the way are
// the test's alone, on a file system of its own over /mnt, where no other
// program's name comes or goes: the call comes only because the look thread
// wakes the sleeping hub. Unmounted from under the ways, the file system's
// thread ends, and the hub sleeps with no timeout, as for local ways.
TEST_F(PathWatcherTest, FarWatchersInOneFolderShareOneLookThread) {
  constexpr int kWatchers = 100;
  if (!EnterOwnMountNamespace() || ::mount("quiet", "/mnt", "tmpfs", 0, nullptr) != 0)
    GTEST_SKIP() << "cannot mount a file system of the test's own on /mnt";
  const struct Unmount {
    ~Unmount() { ::umount2("/mnt", MNT_DETACH); }
  } unmount;
  Shell("mkdir /mnt/back /mnt/far && for i in $(seq 0 99); do echo v1 > /mnt/back/$i; done");
  FuseMount mount("/mnt/back", "/mnt/far");
  if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
  std::vector<std::unique_ptr<PathWatcher>> watchers;
  for (int i = 0; i < kWatchers; ++i) {
    watchers.push_back(std::make_unique<PathWatcher>("/mnt/far/" + std::to_string(i), 0ms));
    ASSERT_TRUE(watchers.back()->Start(Record(std::to_string(i) + " "), error_)) << error_;
  }
  EXPECT_EQ(CountThreads(), threads_ + 2);
  EXPECT_TRUE(WaitUntil([] { return SleepsWithNoTimeout(); }));
  Shell("echo v2 >> /mnt/back/42");
  ExpectCalls({"42 /mnt/far/42: v1\nv2"}, 850ms);  // then two looks more, which must call nobody
  ASSERT_EQ(::umount2("/mnt/far", MNT_DETACH), 0);
  EXPECT_THAT(WaitForCalls(kWatchers),
              ::testing::AllOf(::testing::SizeIs(kWatchers),
                               ::testing::Each(HasSubstr(" does not exist"))));
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threads_ + 1 && SleepsWithNoTimeout(); }));
  EXPECT_EQ(watchers.front()->WhyLooked(), "");
}

// Two far file systems, the server of one silent: a change behind the other
// and a local change are still called, and so is a local way that a far
// mount over its folder leads through the silent server; a Start through the
// silent server waits for it alone (a hard NFS mount whose server is gone, a
// stopped FUSE daemon), while a Stop or Start of the same watcher on another
// thread fails at once; the stuck watcher's Stop returns, says it left the
// look behind, and nothing is called for it once the server answers again.
// The Stop of a watcher that alone asked the closes in the folder the silent
// mount came over (shut), which another's way goes through (over), never asks
// the kernel for that folder by its path, which now waits for the server.
TEST_F(PathWatcherTest, ASilentServerHoldsOnlyItsOwnFileSystem) {
  const auto silent = Far("A"), other = Far("B");
  if (!silent || !other) GTEST_SKIP() << skipped_;
  Shell(
      "echo a1 > backA/w && mkdir backA/sub && echo s1 > backA/sub/w && echo b1 > backB/w && "
      "echo l1 > w && mkdir -p o/sub");
  CaptureLog();
  PathWatcher stuck(root_ + "/mntA/w", 0ms), far(root_ + "/mntB/w", 0ms), local(path_, 0ms),
      over(root_ + "/o/sub/w", 0ms), shut(root_ + "/o/w", 0ms), late(root_ + "/mntA/w", 0ms);
  ASSERT_TRUE(stuck.Start(Record("stuck "), error_) && far.Start(Record("far "), error_) &&
              local.Start(Record("local "), error_) && over.Start(Record("over "), error_) &&
              shut.Start(Record("shut "), error_))
      << error_;
  ASSERT_TRUE(silent->Pause());
  EXPECT_TRUE(WaitUntil([] { return Waiting("PathWatcherLook"); }));  // a look under way
  std::future<bool> starting = std::async(std::launch::async, [&] {
    ::pthread_setname_np(::pthread_self(), "starter");
    std::string error;
    return late.Start([](const PathWatcher::Change&) {}, error);
  });
  EXPECT_TRUE(WaitUntil([] { return Waiting("starter"); }));
  Shell("mount --bind mntA o && echo b2 >> backB/w && echo l2 >> w");
  ExpectCalls({"far /mntB/w: b1\nb2", "local /w: l1\nl2"}, 20ms, /*ordered=*/false);
  InChild([&] { return late.Stop(error_) ? 0 : 1; });  // a copy taken mid-Start lets go
  std::future<bool> others = std::async(std::launch::async, [&] {
    std::string error;
    return late.Stop(error) || late.Start([](const PathWatcher::Change&) {}, error);
  });
  EXPECT_EQ(others.wait_for(10s), std::future_status::ready);
  std::future<bool> stopping =
      std::async(std::launch::async, [&] { return stuck.Stop(error_) && shut.Stop(error_); });
  EXPECT_EQ(stopping.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(stopping.get()) << error_;
  EXPECT_THAT(Logged(), HasSubstr("A PathWatcher on '" + root_ +
                                  "/mntA/w' stopped while a look at its way waited for a "
                                  "server that does not answer; the look's thread ends once "
                                  "the look returns."));
  Shell("echo a2 >> backA/w && echo s2 >> backA/sub/w");
  ASSERT_TRUE(silent->Resume());
  EXPECT_TRUE(starting.get());
  EXPECT_FALSE(others.get());
  ExpectCalls({"over /o/sub/w: s1\ns2"}, 700ms);  // time for a look that must not call `stuck`
  EXPECT_EQ(over.WhyLooked(), root_ + "/o is on fuse (a user-space file system)");
  ASSERT_TRUE(over.Stop(error_)) << error_;
  Shell("umount o");
  ASSERT_TRUE(over.Start(Record("over "), error_)) << error_;
  EXPECT_EQ(over.WhyLooked(), "");  // local again
}

// A user-space file system whose daemon died answers every call with ENOTCONN,
// yet stays mounted and listed in the mount table: its place stays far, the
// problem names it, and it is looked at until it is unmounted (the way then
// leads wherever it leads) and mounted again. A watcher started meanwhile
// knows the place from the mount table alone.
TEST_F(PathWatcherTest, AUserSpaceMountWhoseDaemonDiedIsAProblemUntilItIsMadeAgain) {
  Shell("mkdir back mnt && echo v1 > back/w");
  FuseMount mount(dir_.Join("back"), dir_.Join("mnt"));  // before any watcher's thread
  if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
  const auto quiet = 300ms;  // for ExpectCalls to wait for a further call
  PathWatcher before(root_ + "/mnt/w", 0ms), after(root_ + "/mnt/w", 0ms);
  ASSERT_TRUE(before.Start(Record("before "), error_)) << error_;
  ASSERT_TRUE(mount.Kill());
  const std::string dead =
      "problem: cannot reach /mnt, on fuse (a user-space file system): Transport endpoint is "
      "not connected";
  ExpectCalls({"before " + dead}, quiet);
  ASSERT_TRUE(after.Start(Record("after "), error_)) << error_;
  EXPECT_EQ(Describe(after.Current()), dead);
  EXPECT_EQ(after.WhyLooked(), root_ + "/mnt is on fuse (a user-space file system)");
  Shell("umount -l mnt");
  ExpectCalls({"before problem: /mnt/w does not exist", "after problem: /mnt/w does not exist"},
              quiet, /*ordered=*/false);
  FuseMount again(dir_.Join("back"), dir_.Join("mnt"));
  ASSERT_TRUE(again.IsMounted()) << again.SkipReason();
  ExpectCalls({"before /mnt/w: v1", "after /mnt/w: v1"}, quiet, /*ordered=*/false);
}

// Edits on the server's side of a far file system, "back/w" seen as "mnt/w",
// through caches that keep what a stat asks for: sshfs with its default
// options keeps attributes in its daemon for 20 seconds, with whole-second
// times; the other mount has the kernel keep them for 30. Each edit is called
// once with the whole new file within the waits' ten seconds, also one of the
// same size within the same second as the last; a file written for seconds,
// a line in two pieces at a time, has its final content in force after the
// last call.
class FarEditsTest : public PathWatcherTest {
 protected:
  void SetUp() override { Shell("mkdir back mnt && echo v1 > back/w"); }
  void ExpectEditsCalled() {
    const std::string written = "/mnt/w: v5\nl1\nl2\nl3\nl4\nl5\nl6";
    const auto last = [&] {
      const Calls calls = WaitForCalls(0);
      return calls.empty() ? "" : calls.back();
    };
    RunSteps(root_ + "/mnt/w",
             {
                 {"an edit in place", "echo v2 >> back/w", {"/mnt/w: v1\nv2"}},
                 {"a save by rename, longer",
                  "echo v3 longer > back/.w && mv back/.w back/w",
                  {"/mnt/w: v3 longer"}},
                 {"an edit at a whole second",
                  "echo v4 > back/w && touch -d @1000000000 back/w",
                  {"/mnt/w: v4"}},
                 {"another of one size within that second",
                  "echo v5 > back/w && touch -d @1000000000 back/w",
                  {"/mnt/w: v5"}},
             },
             [&](PathWatcher&) {  // the calls before the last may be any
               Shell(
                   "for i in 1 2 3 4 5 6; do printf l$i >> back/w; sleep 0.25; "
                   "echo >> back/w; sleep 0.25; done");
               EXPECT_TRUE(WaitUntil([&] { return last() == written; })) << last();
               std::this_thread::sleep_for(1s);  // three quiet periods
               EXPECT_EQ(last(), written);
             });
  }
};

TEST_F(FarEditsTest, ThroughSshfsWithItsDefaults) {
  SshfsMount mount(dir_.Join("back"), dir_.Join("mnt"));  // before any watcher's thread
  if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
  ExpectEditsCalled();
}

TEST_F(FarEditsTest, ThroughAKernelThatKeepsAttributes) {
  FuseMount mount(dir_.Join("back"), dir_.Join("mnt"), "attr_timeout=30,entry_timeout=30");
  if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
  ExpectEditsCalled();
}

// A watcher stopped between the thread's finding its call due and making it,
// and started again meanwhile (here by a watcher called just before it), is
// called only for what follows its new Start.
TEST_F(PathWatcherTest, AWatcherRestartedBetweenCallsIsCalledOnlyForWhatFollows) {
  Shell("echo v1 > w");
  PathWatcher first(path_, 0ms), second(path_, 0ms);  // one save is due for both at once
  ASSERT_TRUE(first.Start(
      [&](const PathWatcher::Change& change) {
        Note("first " + Describe(change));
        std::string error;
        Note(second.Stop(error) && second.Start(Record("second "), error) ? "restarted" : error);
      },
      error_));
  ASSERT_TRUE(second.Start(Record("second "), error_)) << error_;
  Shell("echo v2 > .w && mv .w w");
  ExpectCalls({"first /w: v2", "restarted"}, 100ms);
}

// A way with a far place whose looks' thread cannot be made is followed by its
// events alone; once a resolution can make the thread, the way is looked at.
TEST_F(PathWatcherTest, AWayWhoseLooksCouldNotStartIsLookedAtOnceTheyCan) {
  Shell("mkdir back mnt t && echo v1 > back/w");
  FuseMount mount(dir_.Join("back"), dir_.Join("mnt"));  // before any watcher's thread
  if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
  PathWatcher local(path_), remote(root_ + "/mnt/w", 0ms);
  ASSERT_TRUE(local.Start(Record(), error_)) << error_;  // the thread that serves them
  detail::SetWatchThreadHook(RefuseThread);
  ASSERT_TRUE(remote.Start(Record(), error_)) << error_;
  detail::SetWatchThreadHook(nullptr);
  Shell("mount -t tmpfs t t");  // any mount has every way resolved again
  int polls = 0;
  EXPECT_TRUE(WaitUntil([&] {
    if (polls++ % 500 == 0) Shell("echo more >> back/w");  // behind the mount's back, with pauses
    return !WaitForCalls(0).empty();
  }));
  Shell("umount t");
}

}  // namespace
}  // namespace TalvornCommon
