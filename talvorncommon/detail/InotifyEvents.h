// Internal: how the watch thread reads a batch of inotify records. Kept apart
// from the thread so the classification and the record walk can be checked
// against hand-built buffers.
//
//   detail::ForEachInotifyEvent(buffer, bytesRead, [&](uint32_t mask, std::string_view name) {
//     if (name == fileName) if (auto type = detail::ClassifyEventMask(mask)) Emit(*type);
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

// The changes a watch asks for. Moves away from the name, closes and the
// directory's own removal are left out on purpose: the watcher reports what
// happens to the content under the name, nothing else.
inline constexpr uint32_t kWatchMask = IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE;
static_assert(kWatchMask == 0x382U);

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

// Calls `visit(mask, name)` for every record of `size` bytes read from an
// inotify instance that carries a name, in order; `name` stops at the first
// NUL of the name field. Records without a name (queue overflow, the watched
// directory going away) are skipped. A record that claims to run past the end
// of the buffer ends the walk instead of being read out of bounds.
template <typename Visit>
void ForEachInotifyEvent(const char* buffer, std::size_t size, Visit&& visit) {
  std::size_t offset = 0;
  while (size - offset >= kInotifyHeaderSize) {
    inotify_event header;
    std::memcpy(&header, buffer + offset, kInotifyHeaderSize);
    const std::size_t nameOffset = offset + kInotifyHeaderSize;
    if (header.len > size - nameOffset) return;
    if (header.len != 0) {
      const char* name = buffer + nameOffset;
      visit(header.mask, std::string_view(name, ::strnlen(name, header.len)));
    }
    offset = nameOffset + header.len;
  }
}

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_INOTIFYEVENTS_H_
