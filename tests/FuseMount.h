// A real user-space file system for the tests: bindfs shows a backing folder
// on a mount folder, served by a daemon this helper starts and owns, so a test
// can change files behind the mount's back (in the backing folder, as another
// machine would) or stop the daemon (as a hung network server would).
//
//   FuseMount mount(backing.path(), mountFolder.path());
//   if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
//   ASSERT_TRUE(mount.Pause());  // calls through the mount now wait for the daemon
//
// The mount is made in a mount namespace of the test process's own, entered on
// first use, so that no other process sees it (under ctest every TEST runs in a
// process of its own). Only the thread that enters it moves: a thread started
// before the first FuseMount stays outside and does not see the mount.
#ifndef TALVORNCOMMON_TESTS_FUSEMOUNT_H_
#define TALVORNCOMMON_TESTS_FUSEMOUNT_H_

#include <linux/magic.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace TalvornCommon::testing {

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
  // mount to show. When it cannot, SkipReason tells why and nothing is left.
  FuseMount(const std::string& backing, const std::string& mountFolder,
            const std::string& options = kFreshOptions)
      : mountFolder_(mountFolder) {
    reason_ = Mount(backing, options);
    if (!reason_.empty()) Release();
  }
  // Unmounts and reaps the daemon, also a paused one, whatever the test did.
  ~FuseMount() { Release(); }
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  bool IsMounted() const { return reason_.empty(); }
  // "no /dev/fuse", "bindfs is not installed", "cannot mount: ..."; empty once mounted.
  const std::string& SkipReason() const { return reason_; }
  pid_t Daemon() const { return daemon_; }

  // Stops the daemon and returns once it has stopped; calls through the mount
  // then wait for it, except those the kernel's caches answer.
  [[nodiscard]] bool Pause() {
    if (daemon_ <= 0 || paused_) return paused_;  // kill(-1) would stop every process
    int status = 0;
    paused_ = ::kill(daemon_, SIGSTOP) == 0 && ::waitpid(daemon_, &status, WUNTRACED) == daemon_ &&
              WIFSTOPPED(status);
    return paused_;
  }
  // Lets the daemon answer again, the waiting calls first.
  [[nodiscard]] bool Resume() {
    if (daemon_ <= 0) return false;
    paused_ = false;
    return ::kill(daemon_, SIGCONT) == 0;
  }

 private:
  std::string Mount(const std::string& backing, const std::string& options) {
    if (::access("/dev/fuse", F_OK) != 0) return "no /dev/fuse";
    static const std::string namespaceProblem = EnterOwnMountNamespace();
    if (!namespaceProblem.empty()) return namespaceProblem;
    struct stat unmounted {};
    if (::stat(mountFolder_.c_str(), &unmounted) != 0)
      return "cannot mount: no folder " + mountFolder_;

    // -f keeps bindfs in the foreground, so its pid is the daemon's. What it
    // says goes to a memory file, told when it fails and silent otherwise.
    std::vector<std::string> args = {"bindfs", "-f"};
    if (!options.empty()) args.insert(args.end(), {"-o", options});
    args.insert(args.end(), {backing, mountFolder_});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int output = ::memfd_create("bindfs-output", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, output, 2);
    const int spawned = posix_spawnp(&daemon_, "bindfs", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      daemon_ = -1;
      ::close(output);
      return spawned == ENOENT
                 ? "bindfs is not installed"
                 : "cannot mount: cannot start bindfs: " + std::string(std::strerror(spawned));
    }

    std::string reason;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int status = 0; !MountedOver(unmounted.st_dev);) {
      if (::waitpid(daemon_, &status, WNOHANG) == daemon_) {
        daemon_ = -1;
        reason = "cannot mount: " + Said(output, status);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        reason = "cannot mount: bindfs did not mount within ten seconds";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(output);
    mounted_ = reason.empty();
    return reason;
  }

  // A paused daemon is let go first, so that the calls waiting for it are
  // answered rather than aborted where it is quick enough. The mount is
  // detached before the daemon ends, so that no later call through its path
  // finds a dead connection. SIGKILL ends the daemon whatever its state, and the
  // calls still waiting in the mount then fail with ECONNABORTED.
  void Release() {
    if (daemon_ <= 0) return;
    ::kill(daemon_, SIGCONT);
    if (mounted_) ::umount2(mountFolder_.c_str(), MNT_DETACH);
    ::kill(daemon_, SIGKILL);
    while (::waitpid(daemon_, nullptr, 0) < 0 && errno == EINTR) {
    }
    daemon_ = -1;
  }

  // A FUSE file system, and another one than the folder's own: a mount folder
  // already inside some FUSE mount does not pass for mounted.
  bool MountedOver(dev_t unmountedDevice) const {
    struct statfs fileSystem {};
    struct stat status {};
    return ::statfs(mountFolder_.c_str(), &fileSystem) == 0 &&
           static_cast<unsigned>(fileSystem.f_type) == FUSE_SUPER_MAGIC &&
           ::stat(mountFolder_.c_str(), &status) == 0 && status.st_dev != unmountedDevice;
  }

  static std::string EnterOwnMountNamespace() {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return "cannot mount: no mount namespace of the test's own: " +
             std::string(std::strerror(errno));
    return "";
  }

  // What the daemon wrote before it ended, or how it ended.
  static std::string Said(int output, int status) {
    std::string text(4096, '\0');
    const ssize_t size = ::pread(output, text.data(), text.size(), 0);
    text.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (!text.empty()) return text;
    return WIFEXITED(status) ? "bindfs exited with status " + std::to_string(WEXITSTATUS(status))
                             : "bindfs ended by signal " + std::to_string(WTERMSIG(status));
  }

  std::string mountFolder_;
  std::string reason_;
  pid_t daemon_ = -1;
  bool mounted_ = false;
  bool paused_ = false;
};

}  // namespace TalvornCommon::testing

#endif  // TALVORNCOMMON_TESTS_FUSEMOUNT_H_
