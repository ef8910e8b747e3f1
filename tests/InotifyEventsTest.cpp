// The watch thread's reading of inotify records, checked against masks and
// buffers built by hand.
#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "talvorncommon/FileWatcher.h"
#include "talvorncommon/detail/InotifyEvents.h"

namespace TalvornCommon {

void PrintTo(FileWatcher::EventType type, std::ostream* out) {
  *out << FileWatcher::ToString(type);
}

namespace {

using EventType = FileWatcher::EventType;

TEST(InotifyEventsTest, MaskTakesTheFirstOfDeletedCreatedModifiedRenamed) {
  const std::pair<std::uint32_t, EventType> order[] = {{IN_DELETE, EventType::Deleted},
                                                       {IN_CREATE, EventType::Created},
                                                       {IN_MODIFY, EventType::Modified},
                                                       {IN_MOVED_TO, EventType::Renamed}};
  // IN_ISDIR must not hide a directory under the name; the other bits are
  // ones the watcher never reports on their own.
  const std::uint32_t extras[] = {0, IN_ISDIR,
                                  IN_MOVED_FROM | IN_ATTRIB | IN_CLOSE_WRITE | IN_IGNORED |
                                      IN_Q_OVERFLOW | IN_DELETE_SELF | IN_ISDIR};
  for (unsigned subset = 0; subset < 16; ++subset) {
    for (const std::uint32_t extra : extras) {
      SCOPED_TRACE(::testing::Message() << "subset " << subset << ", extra bits " << extra);
      std::uint32_t mask = extra;
      std::optional<EventType> expected;
      for (unsigned bit = 0; bit < 4; ++bit) {
        if ((subset & (1U << bit)) == 0) continue;
        mask |= order[bit].first;
        if (!expected) expected = order[bit].second;
      }
      EXPECT_EQ(detail::ClassifyEventMask(mask), expected);
    }
  }
}

// Appends one record in the kernel's layout: header, then `len` name bytes
// holding `name` and NUL padding.
void AppendRecord(std::vector<char>& buffer, std::uint32_t mask, const std::string& name,
                  std::uint32_t len) {
  const inotify_event header{.wd = 1, .mask = mask, .cookie = 0, .len = len};
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

// Names stop at the first NUL or at the field's end; nameless records (queue
// overflow, the directory going away) are skipped; a record that runs past
// the bytes read ends the walk.
TEST(InotifyEventsTest, WalkVisitsNamedRecordsInOrderWithinTheBuffer) {
  std::vector<char> buffer;
  AppendRecord(buffer, IN_CREATE, "settings.json", 16);
  AppendRecord(buffer, IN_Q_OVERFLOW, "", 0);
  AppendRecord(buffer, IN_MODIFY, std::string("ab\0cd", 5), 16);
  const std::size_t thirdStart = buffer.size();
  AppendRecord(buffer, IN_MOVED_TO, "exactly16bytes!!", 16);
  const std::pair<std::uint32_t, std::string> first{IN_CREATE, "settings.json"};
  const std::pair<std::uint32_t, std::string> second{IN_MODIFY, "ab"};
  struct Case {
    std::size_t size;
    std::vector<std::pair<std::uint32_t, std::string>> expected;
  };
  const Case cases[] = {
      {buffer.size(), {first, second, {IN_MOVED_TO, "exactly16bytes!!"}}},
      {buffer.size() - 1, {first, second}},
      {thirdStart + 8, {first, second}},
      {8, {}},
      {0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(Walk(buffer, c.size), c.expected);
  }
}

}  // namespace
}  // namespace TalvornCommon
