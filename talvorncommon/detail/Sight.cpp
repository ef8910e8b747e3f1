#include "talvorncommon/detail/Sight.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace TalvornCommon::detail {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;  // ns

std::int64_t Nanoseconds(const statx_timestamp& time) {
  return std::int64_t{time.tv_sec} * kSecond + time.tv_nsec;
}

// FNV-1a, fed piece by piece: two versions of one small file are told apart
// but for a chance of one in 2^64, and nothing of the file is kept.
constexpr std::uint64_t kDigestStart = 14695981039346656037ULL;
std::uint64_t Digest(std::uint64_t digest, const char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    digest ^= static_cast<unsigned char>(bytes[i]);
    digest *= 1099511628211ULL;
  }
  return digest;
}

Sight SightOf(const struct statx& status, bool file) {
  Sight sight;
  sight.device = makedev(status.stx_dev_major, status.stx_dev_minor);
  sight.inode = status.stx_ino;
  sight.modified = Nanoseconds(status.stx_mtime);
  if (file) {
    sight.size = static_cast<off_t>(status.stx_size);
    sight.changed = Nanoseconds(status.stx_ctime);
  }
  return sight;
}

// Where a file's times have a fraction of a second, a writer could not have
// set both (the change time is the kernel's own), and size and times tell two
// versions apart. Whole seconds are those of sftp (sshfs), of object stores
// and of a daemon that makes its times up: there two versions written within
// one second at one size differ only in their content.
bool TimesTellVersions(const Sight& sight) {
  return sight.error == 0 && (sight.modified % kSecond != 0 || sight.changed % kSecond != 0);
}

// Asks for the attributes of the place at `path`. AT_STATX_FORCE_SYNC has the
// kernel ask the file system each time (NFS's or SMB's server, a FUSE daemon)
// rather than answer from the attributes it keeps (NFS 3 to 60 seconds, FUSE
// one by default, bindfs -o attr_timeout=30 thirty), in one call, with only
// the search permission of the folders above. A daemon that keeps attributes
// of its own (sshfs, 20 seconds) may still answer from them.
Sight LookAtPath(const char* path, bool file) {
  struct statx status {};
  if (::statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS,
              &status) != 0) {
    return Sight{.error = errno};
  }
  return SightOf(status, file);
}

// The attributes of the open `file`, the kernel's own unless `force`, and
// where its times are whole seconds a digest of its content up to
// kLookContentLimit, read from its start.
Sight LookInOpenFile(int file, bool force) {
  struct statx status {};
  // Not the access time: FUSE marks it stale after every read, and asking
  // for it would cost a round trip to the daemon each look.
  constexpr unsigned kFields =
      STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME;
  if (::statx(file, "", AT_EMPTY_PATH | (force ? AT_STATX_FORCE_SYNC : 0), kFields, &status) != 0) {
    return Sight{.error = errno};
  }
  Sight sight = SightOf(status, true);
  if (TimesTellVersions(sight) || !S_ISREG(status.stx_mode) || sight.size > kLookContentLimit) {
    return sight;
  }
  std::uint64_t digest = kDigestStart;
  std::array<char, 16 * 1024> piece;
  for (off_t total = 0; total <= kLookContentLimit;) {
    const ssize_t got = ::pread(file, piece.data(), piece.size(), total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Sight{.error = errno};
    if (got == 0) break;
    digest = Digest(digest, piece.data(), static_cast<std::size_t>(got));
    total += got;
  }
  sight.content = digest;
  return sight;
}

// Opens the file, which reaches the server where a stat is answered from a
// daemon's cache (sshfs asks the server for the attributes along with each
// open, and FUSE drops the pages it kept of the file), and reads it where its
// times are whole seconds. The first look asks with AT_STATX_FORCE_SYNC; after
// it the kernel's attributes are at most one open old, so a look costs what a
// reader's read of the file costs: the open, the read and the close. A file
// that grew since the look before is read to its old size until the next
// look, when the kernel has the size that this open fetched: a new head is a
// change seen at once, a file that only grew is seen a look later.
// O_NONBLOCK: a fifo put in the file's place is never waited on; O_NOFOLLOW: a
// link put there is not followed, and fails as a change.
Sight LookInFile(const char* path, const Sight& last) {
  const int file = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (file < 0) return Sight{.error = errno};
  const Sight sight = LookInOpenFile(file, /*force=*/last.error != 0 || last.inode == 0);
  ::close(file);
  return sight;
}

}  // namespace

// A link is never asked: its target cannot change in place, and one put in its
// stead (a ConfigMap's `..data` swapped by rename) moves the modification time
// of the folder it is in, which is looked at, or is heard by inotify where that
// folder is local. A file whose times tell versions apart is asked as a folder
// is, in one round trip to the server: opening it costs three (the open, the
// attributes and the close), and reading it a fourth. Each is a sleep and
// wake-up of the thread while the server answers. Where a file system keeps
// its times to the second, a link swapped twice within the second a look saw
// the first swap in goes unseen.
Sight LookAt(const LookPlace& place, const Sight& last) {
  switch (place.kind) {
    case LookPlace::Kind::kLink:
      return {};
    case LookPlace::Kind::kFolder:
      return LookAtPath(place.path.c_str(), false);
    case LookPlace::Kind::kFile:
      return TimesTellVersions(last) ? LookAtPath(place.path.c_str(), true)
                                     : LookInFile(place.path.c_str(), last);
  }
  return {};
}

bool LeftToNext(const LookPlace& place, const LookPlace& next, const Sight& nextLast) {
  return place.kind == LookPlace::Kind::kFolder && next.kind == LookPlace::Kind::kFile &&
         nextLast.error == 0 && !TimesTellVersions(nextLast);
}

}  // namespace TalvornCommon::detail
