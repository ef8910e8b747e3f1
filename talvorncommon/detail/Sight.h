// Internal: what one look sees of one place on a far file system, where a
// change made on the other side raises no inotify event here. A look must see
// what a reader of the place would get now, not what a cache on this machine
// remembers: the kernel keeps attributes for a while (NFS 3 to 60 seconds, a
// FUSE mount one by default), and so does a user-space file system's daemon
// (sshfs 20 seconds), whose cache AT_STATX_FORCE_SYNC does not reach.
//
//   const LookPlace place{LookPlace::Kind::kFile, "/mnt/share/app.conf"};
//   Sight before = detail::LookAt(place);
//   ...
//   if (detail::LookAt(place, before) != before) Reload();
//
// Errors: a place that cannot be looked at is no failure: its errno is what
// the look sees there, and a change like any other.
#ifndef TALVORNCOMMON_DETAIL_SIGHT_H_
#define TALVORNCOMMON_DETAIL_SIGHT_H_

#include <sys/types.h>

#include <cstdint>

#include "talvorncommon/detail/Looks.h"

namespace TalvornCommon::detail {

// The largest file whose content a look compares, where its times are whole
// seconds: settings files are a few KiB, and reading this much through a far
// file system takes a round trip or two, as the reload the look saves would.
// A larger file is told by its size and times alone.
inline constexpr off_t kLookContentLimit = 64 * 1024;

// What a look saw of a place. A folder's modification time moves when a name
// in it comes, goes or is replaced; a file's sizes and times move when it is
// written, and its content where size and times cannot tell two versions
// apart (sftp's whole-second times, a file system that keeps the times the
// writer gives). The device and inode tell a place replaced under the same
// name. A place that could not be looked at is its errno alone.
struct Sight {
  int error = 0;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified = 0;  // ns
  std::int64_t changed = 0;   // ns
  // A digest of the content of a file up to kLookContentLimit whose times are
  // whole seconds; 0 for any other place.
  std::uint64_t content = 0;
  bool operator==(const Sight&) const = default;
};

// Looks at `place`, never following it: a link is not asked (see LookPlace),
// a folder by its attributes, and a file as a reader would see it: opened,
// and read where its times are whole seconds, until `last`, the sight of the
// look before (none for the first), shows times that tell versions apart,
// which are then asked alone. Once `last` saw the file, its attributes are
// the kernel's, which the open before fetched from the server. Any thread;
// may wait as long as the server takes to answer.
Sight LookAt(const LookPlace& place, const Sight& last = {});

// Whether the look at `place` can be left to the look at `next`, the place
// after it on the way, last seen as `nextLast`: a folder that holds the file
// itself (no link on the way in it), where the file's times, the kernel's
// change time too, are whole seconds. Such a file system (sftp) is served by
// a daemon that opens a file by its path, so the file's look reaches a file
// put in its stead, while the folder's attributes come from the daemon's
// cache (sshfs's, for 20 seconds) and would cost a round trip a look to tell
// nothing sooner.
bool LeftToNext(const LookPlace& place, const LookPlace& next, const Sight& nextLast);

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_SIGHT_H_
