// Internal: how the watch thread reads a batch of inotify records. Kept apart
// from the thread so that the mask classification can be checked directly,
// without provoking each combination of bits from the kernel.
//
//   detail::ForEachInotifyEvent(buffer, bytesRead, [&](uint32_t mask, std::string_view name) {
//     if (detail::EndsWatch(mask)) folderGone = true;
//     if (folderGone || name != fileName) return;
//     if (auto type = detail::ClassifyEventMask(mask)) Emit(*type);
//   });
#ifndef TALVORNCOMMON_DETAIL_INOTIFYEVENTS_H_
#define TALVORNCOMMON_DETAIL_INOTIFYEVENTS_H_

#include <sys/inotify.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "talvorncommon/FileWatcher.h"

namespace TalvornCommon::detail {

// The changes a watch asks for. Moves away from the name and closes are left
// out on purpose: the watcher reports what happens to the content under the
// name, nothing else. IN_MOVE_SELF is asked for only to learn that the folder
// has moved away (its deletion always ends the watch with IN_IGNORED).
inline constexpr uint32_t kWatchMask =
    IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVE_SELF;
static_assert(kWatchMask == 0xB82U);

// True for the records that say the watched folder itself is gone from its
// path: moved away, deleted, or its file system unmounted. The kernel keeps a
// watch on a moved folder's inode, so without this the watch would go on
// reporting a file in the folder's new place as if it still had the old path.
constexpr bool EndsWatch(uint32_t mask) noexcept {
  return (mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED)) != 0;
}

// The kind of change a record's mask stands for, or nothing when it has none
// of the four watched bits. A mask with several bits takes the first of
// Deleted, Created, Modified, Renamed; IN_ISDIR is ignored, so a directory
// created under the name reports Created like a file.
constexpr std::optional<FileWatcher::EventType> ClassifyEventMask(uint32_t mask) noexcept {
  if ((mask & IN_DELETE) != 0) return FileWatcher::EventType::Deleted;
  if ((mask & IN_CREATE) != 0) return FileWatcher::EventType::Created;
  if ((mask & IN_MODIFY) != 0) return FileWatcher::EventType::Modified;
  if ((mask & IN_MOVED_TO) != 0) return FileWatcher::EventType::Renamed;
  return std::nullopt;
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

// The same walk for a single watch, where only the mask and the name count.
template <typename Visit>
void ForEachInotifyEvent(const char* buffer, std::size_t size, Visit&& visit) {
  ForEachInotifyRecord(buffer, size, [&visit](const inotify_event& record, std::string_view name) {
    visit(record.mask, name);
  });
}

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_INOTIFYEVENTS_H_
