// Internal: how a watch thread walks a batch of records read from an inotify
// instance, and which records say that a watched folder itself is gone. Shared
// by both watchers; what a record means to each is its own.
//
//   detail::ForEachInotifyRecord(buffer, bytesRead, [&](const inotify_event& record,
//                                                       std::string_view name) { ... });
#ifndef TALVORNCOMMON_DETAIL_INOTIFYEVENTS_H_
#define TALVORNCOMMON_DETAIL_INOTIFYEVENTS_H_

#include <sys/inotify.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace TalvornCommon::detail {

// True for the records that say the watched folder itself is gone from its
// path: moved away, deleted, or its file system unmounted. The kernel keeps a
// watch on a moved folder's inode, so without this the watch would go on
// reporting a file in the folder's new place as if it still had the old path.
constexpr bool EndsWatch(uint32_t mask) noexcept {
  return (mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED)) != 0;
}

// Size of a record's fixed part; its name follows, `len` bytes NUL-padded.
inline constexpr std::size_t kInotifyHeaderSize = sizeof(inotify_event);
static_assert(kInotifyHeaderSize == 16);

// Calls `visit(record, name)` for every record of `size` bytes read from an
// inotify instance, in order; `name` stops at the first NUL of the name field
// and is empty for the records about a watched folder itself (queue overflow,
// the folder moved or deleted). A record that claims to run past the end of
// the buffer ends the walk instead of being read out of bounds.
template <typename Visit>
void ForEachInotifyRecord(const char* buffer, std::size_t size, Visit&& visit) {
  std::size_t offset = 0;
  while (size - offset >= kInotifyHeaderSize) {
    inotify_event header;
    std::memcpy(&header, buffer + offset, kInotifyHeaderSize);
    const std::size_t nameOffset = offset + kInotifyHeaderSize;
    if (header.len > size - nameOffset) return;
    const char* name = buffer + nameOffset;
    visit(static_cast<const inotify_event&>(header),
          std::string_view(name, ::strnlen(name, header.len)));
    offset = nameOffset + header.len;
  }
}

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_INOTIFYEVENTS_H_
