// Internal: FileWatcher's reading of inotify records: the changes its watch
// asks for, and the kind of change a record's mask stands for. Kept apart from
// the watch thread so that the mask classification can be checked directly,
// without provoking each combination of bits from the kernel.
//
//   detail::ForEachInotifyEvent(buffer, bytesRead, [&](uint32_t mask, std::string_view name) {
//     if (detail::EndsWatch(mask)) folderGone = true;
//     if (folderGone || name != fileName) return;
//     if (auto type = detail::ClassifyEventMask(mask)) Emit(*type);
//   });
#ifndef TALVORNCOMMON_DETAIL_FILEWATCHEREVENTS_H_
#define TALVORNCOMMON_DETAIL_FILEWATCHEREVENTS_H_

#include <sys/inotify.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "talvorncommon/FileWatcher.h"
#include "talvorncommon/detail/InotifyEvents.h"

namespace TalvornCommon::detail {

// The changes a watch asks for. Moves away from the name and closes are left
// out on purpose: the watcher reports what happens to the content under the
// name, nothing else. IN_MOVE_SELF is asked for only to learn that the folder
// has moved away (its deletion always ends the watch with IN_IGNORED).
inline constexpr uint32_t kWatchMask =
    IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVE_SELF;
static_assert(kWatchMask == 0xB82U);

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

// The same walk for a single watch, where only the mask and the name count.
template <typename Visit>
void ForEachInotifyEvent(const char* buffer, std::size_t size, Visit&& visit) {
  ForEachInotifyRecord(buffer, size, [&visit](const inotify_event& record, std::string_view name) {
    visit(record.mask, name);
  });
}

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_FILEWATCHEREVENTS_H_
