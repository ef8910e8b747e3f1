// A far file system for the tests: sshfs, with its default options, mounts a
// backing folder served by sftp-server, the program that an ssh server runs
// for sftp, so that a test changes files on the server's side (in the backing
// folder) and sees them through sshfs's caches, and sftp's whole-second times,
// as a client on another machine would. sshfs starts the server itself, in the
// place of ssh: what sshfs keeps and what sftp tells are the same over a
// network, and the test needs no keys, port or ssh set-up.
//
//   SshfsMount mount(backing.path(), mountFolder.path());
//   if (!mount.IsMounted()) GTEST_SKIP() << mount.SkipReason();
//
// sshfs mounts in the test's own mount namespace, as FuseMount does.
#ifndef TALVORNCOMMON_TESTS_SSHFSMOUNT_H_
#define TALVORNCOMMON_TESTS_SSHFSMOUNT_H_

#include "FuseMount.h"

namespace TalvornCommon::testing {

class SshfsMount : public FuseMount {
 public:
  // Serves `backing` and mounts it on `mountFolder`, both existing folders;
  // when it cannot, SkipReason tells why (sshfs ended, with what it said).
  // sshfs gives its ssh_command ssh's arguments, which `sh -c` takes for its
  // own and the server, which knows none of them, never sees.
  SshfsMount(const std::string& backing, const std::string& mountFolder)
      : FuseMount({"sshfs", "-f", "-o", "ssh_command=sh -c /usr/lib/openssh/sftp-server",
                   "localhost:" + backing, mountFolder}) {}
};

}  // namespace TalvornCommon::testing

#endif  // TALVORNCOMMON_TESTS_SSHFSMOUNT_H_
