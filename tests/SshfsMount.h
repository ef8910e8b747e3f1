// A far file system for the tests: an sshd of the test's own on a free port of
// 127.0.0.1 serves a backing folder, and sshfs mounts it with its default
// options, so that a test changes files on the server's side (in the backing
// folder) and sees them through sshfs's caches, and sftp's whole-second times,
// as a client on another machine would.
//
//   SshfsMount mount(backing.path(), mountFolder.path());
//   if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
//
// Nothing of the machine's own ssh set-up is used: the host key and the
// client's key are made by ssh-keygen for the test, sshd reads a config of the
// test's own and ssh none (-F /dev/null), and the server's key is not checked.
// sshfs mounts in the test's own mount namespace, as FuseMount does.
#ifndef TALVORNCOMMON_TESTS_SSHFSMOUNT_H_
#define TALVORNCOMMON_TESTS_SSHFSMOUNT_H_

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>

#include <memory>

#include "FuseMount.h"

namespace TalvornCommon::testing {

class SshfsMount {
 public:
  // Serves `backing` and mounts it on `mountFolder`, both existing folders;
  // when it cannot, SkipReason tells why.
  SshfsMount(const std::string& backing, const std::string& mountFolder) {
    reason_ = Serve();
    if (!reason_.empty()) return;
    const passwd* user = ::getpwuid(::geteuid());
    mount_ = std::make_unique<FuseMount>(std::vector<std::string>{
        "sshfs", "-f", "-F", "/dev/null", "-o",
        "IdentityFile=" + keys_.Join("client") + ",Port=" + std::to_string(port_) +
            ",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,IdentitiesOnly=yes,"
            "BatchMode=yes,LogLevel=ERROR",
        std::string(user ? user->pw_name : "root") + "@127.0.0.1:" + backing, mountFolder});
    reason_ = mount_->SkipReason();
  }
  // Unmounts, which ends sshfs's ssh and with it the server's session, then
  // stops sshd by its pid and reaps it, whatever the test did.
  ~SshfsMount() {
    mount_.reset();
    if (sshd_ <= 0) return;
    ::kill(sshd_, SIGKILL);
    ::waitpid(sshd_, nullptr, 0);
  }
  SshfsMount(const SshfsMount&) = delete;
  SshfsMount& operator=(const SshfsMount&) = delete;

  bool IsMounted() const { return reason_.empty(); }
  // "sshd is not installed", "cannot start /usr/sbin/sshd: ...", what
  // FuseMount says; empty once mounted.
  const std::string& SkipReason() const { return reason_; }

 private:
  // Binds (port 0: a free one) or connects a socket to `port` of 127.0.0.1;
  // the port bound, the port connected to, or -1.
  static int Loopback(int port, bool connect) {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    const bool done = connect
                          ? ::connect(probe, any, size) == 0
                          : ::bind(probe, any, size) == 0 && ::getsockname(probe, any, &size) == 0;
    ::close(probe);
    return done ? ntohs(address.sin_port) : -1;
  }

  // Makes the keys and the config, starts `sshd -D -e` on a port that was free
  // a moment ago and waits for it to listen; what stands in the way otherwise.
  // sshd run by root wants /run/sshd, which exists only once the machine's own
  // sshd has run: where it is missing, the test's mount namespace gets a /run
  // of its own that has it, leaving the machine's untouched.
  std::string Serve() {
    const std::string sshd = "/usr/sbin/sshd";  // sshd runs only by its absolute path
    if (::access(sshd.c_str(), X_OK) != 0) return "sshd is not installed";
    const std::string keygen = "ssh-keygen -q -t ed25519 -N '' -f '" + keys_.path().string();
    if (std::system((keygen + "/host'").c_str()) != 0 ||
        std::system((keygen + "/client' && cp '" + keys_.Join("client.pub") + "' '" +
                     keys_.Join("authorized") + "'")
                        .c_str()) != 0)
      return "cannot start sshd: ssh-keygen failed";
    if (::geteuid() == 0 && ::access("/run/sshd", F_OK) != 0 &&
        !(EnterOwnMountNamespace() && ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0 &&
          ::mkdir("/run/sshd", 0755) == 0))
      return "cannot start sshd: no /run/sshd, and no /run of the test's own";
    port_ = Loopback(0, /*connect=*/false);
    const std::string config = keys_.Join("sshd_config");
    WriteFileBytes(config, "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\nHostKey " +
                               keys_.Join("host") + "\nAuthorizedKeysFile " +
                               keys_.Join("authorized") +
                               "\nPermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                               "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\n"
                               "PidFile none\nSubsystem sftp internal-sftp\n");
    return StartDaemon({sshd, "-f", config, "-D", "-e"}, sshd_,
                       [&] { return Loopback(port_, /*connect=*/true) == port_; });
  }

  TempDir keys_;
  int port_ = -1;
  pid_t sshd_ = -1;
  std::string reason_;
  std::unique_ptr<FuseMount> mount_;  // after keys_, which it needs until it has ended
};

}  // namespace TalvornCommon::testing

#endif  // TALVORNCOMMON_TESTS_SSHFSMOUNT_H_
