// A far file system for the tests: an sshd of the test's own on a free port of
// 127.0.0.1 serves a backing folder, and sshfs mounts it with its default
// options, so that a test changes files on the server's side (in the backing
// folder) and sees them through sshfs's caches as a client on another machine
// would.
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

#include <arpa/inet.h>
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
    mount_ = std::make_unique<FuseMount>(std::vector<std::string>{
        "sshfs", "-f", "-F", "/dev/null", "-o",
        "IdentityFile=" + keys_.Join("client") + ",Port=" + std::to_string(port_) +
            ",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,IdentitiesOnly=yes,"
            "BatchMode=yes,LogLevel=ERROR",
        User() + "@127.0.0.1:" + backing, mountFolder});
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
  // "sshd is not installed", "sshd cannot start: ...", what FuseMount says;
  // empty once mounted.
  const std::string& SkipReason() const { return reason_; }

 private:
  static std::string User() {
    const passwd* user = ::getpwuid(::geteuid());
    return user ? user->pw_name : "root";
  }
  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }
  // A port that was free a moment ago: sshd failing to take it skips.
  static int FreePort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    const bool bound = ::bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(probe);
    return bound ? ntohs(address.sin_port) : -1;
  }
  static bool Listens(int port) {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool connected =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return connected;
  }
  // sshd run by root wants its privilege separation folder, /run/sshd, which
  // exists only once the machine's own sshd has run: where it is missing,
  // the test's sshd makes one on a /run of its own, in a mount namespace of its
  // own, leaving the machine's untouched.
  static bool PrivateRunFolder() {
    if (::geteuid() != 0 || ::access("/run/sshd", F_OK) == 0) return true;
    return PrivateMountNamespace() && ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0 &&
           ::mkdir("/run/sshd", 0755) == 0;
  }

  // Makes the keys and the config, starts `sshd -D -e` and waits up to ten
  // seconds for it to listen; what stands in the way otherwise.
  std::string Serve() {
    const std::string sshd = "/usr/sbin/sshd";  // sshd runs only by its absolute path
    if (::access(sshd.c_str(), X_OK) != 0) return "sshd is not installed";
    const std::string keygen = "ssh-keygen -q -t ed25519 -N '' -f '" + keys_.path().string();
    if (std::system((keygen + "/host'").c_str()) != 0 ||
        std::system((keygen + "/client' && cp '" + keys_.Join("client.pub") + "' '" +
                     keys_.Join("authorized") + "'")
                        .c_str()) != 0)
      return "sshd cannot start: ssh-keygen failed";
    port_ = FreePort();
    const std::string config = keys_.Join("sshd_config");
    WriteFileBytes(config, "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\nHostKey " +
                               keys_.Join("host") + "\nAuthorizedKeysFile " +
                               keys_.Join("authorized") +
                               "\nPermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                               "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\n"
                               "PidFile none\nSubsystem sftp internal-sftp\n");
    // A child that cannot be prepared has no /run/sshd, and no /run of its own.
    return StartDaemon(
        {sshd, "-f", config, "-D", "-e"}, sshd_,
        "sshd cannot start: ", [&] { return Listens(port_); }, PrivateRunFolder);
  }

  TempDir keys_;
  int port_ = -1;
  pid_t sshd_ = -1;
  std::string reason_;
  std::unique_ptr<FuseMount> mount_;  // after keys_, which it needs until it has ended
};

}  // namespace TalvornCommon::testing

#endif  // TALVORNCOMMON_TESTS_SSHFSMOUNT_H_
