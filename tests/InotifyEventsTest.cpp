// The watch thread's reading of inotify records, checked against masks and
// buffers built by hand: every combination of the watched bits, and record
// layouts the kernel produces (and one it should not).
#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FileWatcherTestHelpers.h"
#include "talvorncommon/detail/InotifyEvents.h"

namespace TalvornCommon {
namespace {

using EventType = FileWatcher::EventType;
using detail::ClassifyEventMask;

TEST(InotifyEventsTest, WatchMaskAsksForTheFourChangesOnly) {
  EXPECT_EQ(detail::kWatchMask, 0x382U);
  EXPECT_EQ(detail::kWatchMask &
                (IN_MOVED_FROM | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB),
            0U);
}

TEST(InotifyEventsTest, MaskClassificationFollowsDeletedCreatedModifiedRenamed) {
  struct Case {
    const char* what;
    std::uint32_t mask;
    std::optional<EventType> expected;
  };
  const Case cases[] = {
      {"modify", IN_MODIFY, EventType::Modified},
      {"create", IN_CREATE, EventType::Created},
      {"delete", IN_DELETE, EventType::Deleted},
      {"moved to", IN_MOVED_TO, EventType::Renamed},
      {"directory created", IN_CREATE | IN_ISDIR, EventType::Created},
      {"directory deleted", IN_DELETE | IN_ISDIR, EventType::Deleted},
      {"directory moved in", IN_MOVED_TO | IN_ISDIR, EventType::Renamed},
      {"delete wins over create", IN_DELETE | IN_CREATE, EventType::Deleted},
      {"delete wins over everything", IN_DELETE | IN_CREATE | IN_MODIFY | IN_MOVED_TO,
       EventType::Deleted},
      {"create wins over modify", IN_CREATE | IN_MODIFY, EventType::Created},
      {"create wins over moved to", IN_CREATE | IN_MOVED_TO, EventType::Created},
      {"modify wins over moved to", IN_MODIFY | IN_MOVED_TO, EventType::Modified},
      {"modify with unrelated bits", IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE, EventType::Modified},
      {"nothing", 0, std::nullopt},
      {"moved from", IN_MOVED_FROM, std::nullopt},
      {"attributes", IN_ATTRIB, std::nullopt},
      {"close after write", IN_CLOSE_WRITE, std::nullopt},
      {"watch removed", IN_IGNORED, std::nullopt},
      {"queue overflow", IN_Q_OVERFLOW, std::nullopt},
      {"directory itself deleted", IN_DELETE_SELF, std::nullopt},
      {"only the directory flag", IN_ISDIR, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ClassifyEventMask(c.mask), c.expected);
  }
}

TEST(InotifyEventsTest, EverySubsetOfTheWatchedBitsTakesTheFirstInOrder) {
  const std::pair<std::uint32_t, EventType> order[] = {{IN_DELETE, EventType::Deleted},
                                                       {IN_CREATE, EventType::Created},
                                                       {IN_MODIFY, EventType::Modified},
                                                       {IN_MOVED_TO, EventType::Renamed}};
  for (unsigned subset = 0; subset < 16; ++subset) {
    SCOPED_TRACE(subset);
    std::uint32_t mask = 0;
    std::optional<EventType> expected;
    for (unsigned bit = 0; bit < 4; ++bit) {
      if ((subset & (1U << bit)) == 0) continue;
      mask |= order[bit].first;
      if (!expected) expected = order[bit].second;
    }
    EXPECT_EQ(ClassifyEventMask(mask), expected);
  }
}

// Appends one record in the kernel's layout: header, then `len` name bytes
// holding `name` and NUL padding.
void AppendRecord(std::vector<char>& buffer, std::uint32_t mask, const std::string& name,
                  std::uint32_t len) {
  inotify_event header{};
  header.wd = 1;
  header.mask = mask;
  header.len = len;
  const std::size_t start = buffer.size();
  buffer.resize(start + sizeof header + len, '\0');
  std::memcpy(buffer.data() + start, &header, sizeof header);
  std::memcpy(buffer.data() + start + sizeof header, name.data(),
              std::min<std::size_t>(name.size(), len));
}

std::vector<std::pair<std::uint32_t, std::string>> Walk(const std::vector<char>& buffer,
                                                        std::size_t size) {
  // An exactly sized copy, so reading past `size` is caught by AddressSanitizer.
  const std::vector<char> exact(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
  std::vector<std::pair<std::uint32_t, std::string>> seen;
  detail::ForEachInotifyEvent(exact.data(), exact.size(),
                              [&](std::uint32_t mask, std::string_view name) {
                                seen.emplace_back(mask, std::string(name));
                              });
  return seen;
}

TEST(InotifyEventsTest, WalkVisitsNamedRecordsInOrderAndSkipsNamelessOnes) {
  std::vector<char> buffer;
  AppendRecord(buffer, IN_CREATE, "settings.json", 16);
  AppendRecord(buffer, IN_Q_OVERFLOW, "", 0);
  AppendRecord(buffer, IN_MODIFY, "a", 16);
  AppendRecord(buffer, IN_DELETE_SELF, "", 0);
  AppendRecord(buffer, IN_MOVED_TO, "exactly16bytes!!", 32);
  const std::vector<std::pair<std::uint32_t, std::string>> expected = {
      {IN_CREATE, "settings.json"}, {IN_MODIFY, "a"}, {IN_MOVED_TO, "exactly16bytes!!"}};
  EXPECT_EQ(Walk(buffer, buffer.size()), expected);
}

TEST(InotifyEventsTest, NameStopsAtTheFirstNulOrAtTheFieldEnd) {
  struct Case {
    const char* what;
    std::string stored;
    std::uint32_t len;
    std::string expected;
  };
  const Case cases[] = {
      {"padded", "name", 16, "name"},
      {"fills the field", std::string(16, 'n'), 16, std::string(16, 'n')},
      {"embedded NUL", std::string("ab\0cd", 5), 16, "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char> buffer;
    AppendRecord(buffer, IN_MODIFY, c.stored, c.len);
    const auto seen = Walk(buffer, buffer.size());
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].second, c.expected);
  }
}

TEST(InotifyEventsTest, RecordRunningPastTheBufferEndsTheWalk) {
  std::vector<char> buffer;
  AppendRecord(buffer, IN_CREATE, "first", 16);
  const std::size_t firstEnd = buffer.size();
  AppendRecord(buffer, IN_MODIFY, "second", 16);
  struct Case {
    const char* what;
    std::size_t size;
    std::size_t records;
  };
  const Case cases[] = {
      {"whole buffer", buffer.size(), 2},
      {"second name cut short", buffer.size() - 1, 1},
      {"second header cut short", firstEnd + 8, 1},
      {"only the first record", firstEnd, 1},
      {"first header cut short", 8, 0},
      {"empty", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Walk(buffer, c.size).size(), c.records);
  }
}

}  // namespace
}  // namespace TalvornCommon
