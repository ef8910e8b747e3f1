// How the watch thread reads an inotify record's mask, and the name given to a
// value outside the kinds of change.
#include <gtest/gtest.h>

#include <utility>

#include "talvorncommon/detail/FileWatcherEvents.h"

namespace TalvornCommon {
namespace {

using EventType = FileWatcher::EventType;

// Several watched bits give the first of Deleted, Created, Modified, Renamed;
// IN_ISDIR does not hide a directory made under the name. A value outside the
// four kinds has no name of its own.
TEST(InotifyEventsTest, MaskGivesTheFirstOfDeletedCreatedModifiedRenamed) {
  const std::pair<std::uint32_t, std::optional<EventType>> cases[] = {
      {IN_DELETE | IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_ISDIR, EventType::Deleted},
      {IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_ISDIR, EventType::Created},
      {IN_MODIFY | IN_MOVED_TO, EventType::Modified},
      {IN_MOVED_TO, EventType::Renamed},
      {IN_MOVED_FROM | IN_ATTRIB | IN_CLOSE_WRITE | IN_Q_OVERFLOW | IN_IGNORED, std::nullopt},
  };
  for (const auto& [mask, expected] : cases)
    EXPECT_EQ(detail::ClassifyEventMask(mask), expected) << mask;
  for (const int value : {4, 255}) EXPECT_STREQ(FileWatcher::ToString(EventType(value)), "Unknown");
}

}  // namespace
}  // namespace TalvornCommon
