// A real user-space file system for the tests: bindfs shows a backing folder
// on a mount folder, served by a daemon this helper starts and owns, so a test
// can change files behind the mount's back (in the backing folder, as another
// machine would) or stop the daemon (as a hung network server would).
//
//   FuseMount mount(backing.path(), mountFolder.path());
//   if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
//   ASSERT_TRUE(mount.Pause());  // calls through the mount now wait for the daemon
//   ASSERT_TRUE(mount.Kill());   // or fail at once: the daemon is dead, its mount left
//
// The mount is made in a mount namespace of the test process's own, entered on
// first use, so that no other process sees it (under ctest every TEST runs in a
// process of its own). Only the thread that enters it moves: a thread started
// before the first FuseMount stays outside and does not see the mount.
#ifndef TALVORNCOMMON_TESTS_FUSEMOUNT_H_
#define TALVORNCOMMON_TESTS_FUSEMOUNT_H_

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace TalvornCommon::testing {

// Enters a mount namespace of the test process's own, whose mounts no other
// process sees, once; false where it cannot (no CAP_SYS_ADMIN).
inline bool EnterOwnMountNamespace() {
  static const bool entered = ::unshare(CLONE_NEWNS) == 0 &&
                              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return entered;
}

// Starts `command` (a program on the PATH, or a path, then its arguments) as a
// child, its pid in `daemon`, and waits up to ten seconds until `ready` holds;
// empty once it does, otherwise why not. A daemon that ended is reaped, and
// `daemon` is then -1.
//
// The child is killed with the thread that starts it (the test's main
// thread), also when ctest kills a test that timed out, where no destructor
// runs and a stopped daemon would stay for ever. Until the exec, the child
// does nothing that might wait for a lock another thread held at the fork:
// system calls only. What the daemon says goes to a memory file, told when it
// fails: on the test's output it would hold ctest's pipe open for as long as
// a daemon outliving a crashed test.
template <class Ready>
std::string StartDaemon(const std::vector<std::string>& command, pid_t& daemon, Ready ready) {
  std::vector<const char*> argv;
  for (const std::string& each : command) argv.push_back(each.c_str());
  argv.push_back(nullptr);
  const int output = ::memfd_create("daemon-output", MFD_CLOEXEC);
  const pid_t parent = ::getpid();
  daemon = ::fork();
  if (daemon == 0) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(126);
    ::dup2(output, 1);
    ::dup2(output, 2);
    ::execvp(argv[0], const_cast<char* const*>(argv.data()));
    ::_exit(errno == ENOENT ? 127 : 126);
  }
  int status = 0;
  bool ended = daemon < 0;
  const bool isReady = !ended && WaitUntil([&] {
    ended = ::waitpid(daemon, &status, WNOHANG) == daemon;
    return ended || ready();
  }) && !ended;
  const std::string said = ReadFileBytes("/proc/self/fd/" + std::to_string(output));
  ::close(output);
  if (ended) daemon = -1;
  if (isReady) return "";
  if (ended && WIFEXITED(status) && WEXITSTATUS(status) == 127)
    return command[0] + " is not installed";
  return "cannot start " + command[0] +
         (ended ? ": it ended: " : ": not ready within ten seconds: ") + said;
}

class FuseMount {
 public:
  // Makes every stat and lookup through the mount ask the daemon. With bindfs's
  // defaults the kernel keeps attributes and names for a second: a stat, or an
  // open and fstat, sees a change made in the backing folder up to a second
  // late, and a read stops at the file's old size. Content needs no option: it
  // is read afresh at each open.
  static constexpr const char* kFreshOptions = "attr_timeout=0,entry_timeout=0,negative_timeout=0";

  // Mounts `backing` on `mountFolder`, both existing folders, with bindfs's
  // `options` (empty for its defaults), and waits up to ten seconds for the
  // mount to show. When it cannot, SkipReason tells why.
  FuseMount(const std::string& backing, const std::string& mountFolder,
            const std::string& options = kFreshOptions)
      : FuseMount({"bindfs", "-f", "-o", options, backing, mountFolder}) {}
  // Mounts with another daemon's `command`: the program, found on the PATH and
  // kept in the foreground so that its pid is the daemon's, then its
  // arguments, the last of which is the mount folder.
  explicit FuseMount(const std::vector<std::string>& command)
      : mountFolder_(command.back()), reason_(Mount(command)) {}
  // Unmounts and reaps the daemon, also a paused one, whatever the test did;
  // the mount of a killed one is detached all the same.
  // A paused daemon is let go first, so that the calls waiting for it are
  // answered rather than aborted where it is quick enough. The mount is
  // detached before the daemon ends, so that no later call through its path
  // finds a dead connection. SIGKILL ends the daemon whatever its state, and the
  // calls still waiting in the mount then fail with ECONNABORTED.
  ~FuseMount() {
    if (daemon_ > 0) ::kill(daemon_, SIGCONT);
    if (IsMounted()) ::umount2(mountFolder_.c_str(), MNT_DETACH);
    if (daemon_ > 0) static_cast<void>(Kill());
  }
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  bool IsMounted() const { return reason_.empty(); }
  // "no /dev/fuse", "bindfs is not installed", "cannot start bindfs: ..."; empty once mounted.
  const std::string& SkipReason() const { return reason_; }

  // Stops the daemon and returns once it has stopped; calls through the mount
  // then wait for it, except those the kernel's caches answer. Once only.
  [[nodiscard]] bool Pause() {
    int status = 0;  // a daemon first: kill(-1) would stop every process
    return daemon_ > 0 && ::kill(daemon_, SIGSTOP) == 0 &&
           ::waitpid(daemon_, &status, WUNTRACED) == daemon_ && WIFSTOPPED(status);
  }
  // Lets the daemon answer again, the waiting calls first.
  [[nodiscard]] bool Resume() { return daemon_ > 0 && ::kill(daemon_, SIGCONT) == 0; }
  // Kills the daemon and reaps it, leaving its mount as a crashed daemon
  // does: every call through it then fails with ENOTCONN, and the mount table
  // still lists it. Once only.
  [[nodiscard]] bool Kill() {
    const pid_t daemon = std::exchange(daemon_, -1);
    return daemon > 0 && ::kill(daemon, SIGKILL) == 0 && ::waitpid(daemon, nullptr, 0) == daemon;
  }

 private:
  // Starts the daemon and waits for its mount to show.
  std::string Mount(const std::vector<std::string>& command) {
    if (::access("/dev/fuse", F_OK) != 0) return "no /dev/fuse";
    if (!EnterOwnMountNamespace()) return "cannot mount: no mount namespace of the test's own";
    struct stat unmounted {};
    ::stat(mountFolder_.c_str(), &unmounted);
    // Only the tests' daemons mount in this namespace, so another device on
    // the folder is the daemon's mount, and a stat that answers through it
    // shows that the daemon serves.
    return StartDaemon(command, daemon_, [&] {
      struct stat now {};
      return ::stat(mountFolder_.c_str(), &now) == 0 && now.st_dev != unmounted.st_dev;
    });
  }

  std::string mountFolder_;
  pid_t daemon_ = -1;  // before reason_, which Mount sets
  std::string reason_;
};

}  // namespace TalvornCommon::testing

#endif  // TALVORNCOMMON_TESTS_FUSEMOUNT_H_
