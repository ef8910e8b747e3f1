// The file watcher's log lines, read back through a capturing spdlog sink
// installed as the default logger: text, level, source file and line are what
// log tooling matches on, so each is checked exactly.
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FileWatcherTestHelpers.h"
#include "TestSupport.h"
#include "talvorncommon/FileWatcher.h"

namespace TalvornCommon {
namespace {

using namespace testing;
using Level = spdlog::level::level_enum;

struct Line {
  std::string text;
  Level level;
  std::string file;
  int line;
  bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* out) {
  *out << "{\"" << line.text << "\", " << spdlog::level::to_string_view(line.level).data() << ", "
       << line.file << ":" << line.line << "}";
}

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<Line> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lines_, {});
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    lines_.push_back(Line{
        std::string(message.payload.data(), message.payload.size()), message.level,
        message.source.filename != nullptr ? message.source.filename : "", message.source.line});
  }
  void flush_() override {}

 private:
  std::vector<Line> lines_;
};

class FileWatcherLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = spdlog::default_logger();
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
  }
  void TearDown() override { spdlog::set_default_logger(previous_); }

  // Subscribes, unsubscribes, and unsubscribes the same token again (failing).
  void SubscribeUnsubscribeTwice(const FileWatcher& watcher) {
    EventLog log;
    Token token;
    std::string error;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
    ASSERT_TRUE(watcher.UnsubscribeOnFileChanged(token, error));
    EXPECT_FALSE(watcher.UnsubscribeOnFileChanged(token, error));
  }

  std::shared_ptr<spdlog::logger> previous_;
  std::shared_ptr<CaptureSink> sink_ = std::make_shared<CaptureSink>();
  TempDir dir_;
};

Line Info(const std::string& text, int line) {
  return {text, spdlog::level::info, "FileWatcher", line};
}
Line Error(const std::string& text, int line) {
  return {text, spdlog::level::err, "FileWatcher", line};
}

std::vector<Line> SubscribeUnsubscribeTwiceLines(const std::string& path) {
  const Line unsubscribing =
      Info("Unsubscribing from the OnFileChanged event on '" + path + "'...", 295);
  return {Info("Subscribing to the OnFileChanged event on '" + path + "'...", 255),
          Info("Successfully subscribed to the OnFileChanged event on '" + path + "'!", 266),
          unsubscribing,
          Info("Successfully unsubscribed from the OnFileChanged event on '" + path + "'!", 320),
          unsubscribing,
          Error("Failed to find the OnFileChanged event handler on '" + path + "'!", 314)};
}

TEST_F(FileWatcherLogTest, SubscriptionLinesCarryTextLevelFileAndLine) {
  // Braces in a path are content, never format syntax.
  for (const std::string name : {"settings.json", "{}", "{0}{:x}{", "}}{{"}) {
    SCOPED_TRACE(name);
    const std::string path = dir_.Join(name);
    ASSERT_NO_FATAL_FAILURE(SubscribeUnsubscribeTwice(FileWatcher(path)));
    EXPECT_EQ(sink_->Take(), SubscribeUnsubscribeTwiceLines(path));
  }
}

TEST_F(FileWatcherLogTest, NothingBelowTheCutoffIsWritten) {
  const std::string path = dir_.Join("watched");
  const std::vector<Line> all = SubscribeUnsubscribeTwiceLines(path);
  struct Case {
    Level cutoff;
    std::vector<Line> expected;
  };
  const Case cases[] = {{spdlog::level::info, all},
                        {spdlog::level::err, {all.back()}},
                        {spdlog::level::critical, {}},
                        {spdlog::level::off, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(spdlog::level::to_string_view(c.cutoff).data());
    spdlog::default_logger()->set_level(c.cutoff);
    ASSERT_NO_FATAL_FAILURE(SubscribeUnsubscribeTwice(FileWatcher(path)));
    EXPECT_EQ(sink_->Take(), c.expected);
  }
}

TEST_F(FileWatcherLogTest, DefaultLoggerIsLookedUpAtEachCall) {
  const std::string path = dir_.Join("watched");
  auto replacement = std::make_shared<CaptureSink>();
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("replacement", replacement));
  ASSERT_NO_FATAL_FAILURE(SubscribeUnsubscribeTwice(FileWatcher(path)));
  EXPECT_TRUE(sink_->Take().empty());
  EXPECT_EQ(replacement->Take(), SubscribeUnsubscribeTwiceLines(path));
  // A host that removes the default logger gets no lines and no failure.
  spdlog::set_default_logger(nullptr);
  ASSERT_NO_FATAL_FAILURE(SubscribeUnsubscribeTwice(FileWatcher(path)));
}

TEST_F(FileWatcherLogTest, EmptyHandlerIsRefusedAtErrorLevelAndTheTokenKept) {
  const std::string path = dir_.Join("{}watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
  const Token before = token;
  sink_->Take();
  EXPECT_FALSE(watcher.SubscribeOnFileChanged(Handler(), token, error));
  EXPECT_EQ(token, before);
  EXPECT_EQ(error, "Refused to subscribe an empty OnFileChanged event handler on '" + path + "'!");
  EXPECT_EQ(
      sink_->Take(),
      (std::vector<Line>{Info("Subscribing to the OnFileChanged event on '" + path + "'...", 255),
                         Error(error, 258)}));
}

// Start, Stop and their failures write no lines; a throwing callback is
// logged (with what() for a std::exception) and the next one still runs.
TEST_F(FileWatcherLogTest, OnlyThrowingHandlersAreLoggedWhileWatching) {
  const std::string path = dir_.Join("{}watched");
  FileWatcher watcher(path);
  Token throwsStd;
  Token throwsOther;
  EventLog log;
  Token logToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [](EventType) { throw std::runtime_error("bad {} config"); }, throwsStd, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged([](EventType) { throw 7; }, throwsOther, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), logToken, error));
  sink_->Take();
  ASSERT_TRUE(watcher.Start(error)) << error;
  EXPECT_FALSE(watcher.Start(error));
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(log.WaitForCount(2));  // the thread survived the first dispatch
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_FALSE(watcher.Stop(error));
  EXPECT_FALSE(FileWatcher("no-directory-part").Start(error));
  const Line threw = Error(
      "An OnFileChanged event handler on '" + path + "' threw an exception: bad {} config", 345);
  const Line threwUnknown =
      Error("An OnFileChanged event handler on '" + path + "' threw an unknown exception!", 347);
  EXPECT_EQ(sink_->Take(), (std::vector<Line>{threw, threwUnknown, threw, threwUnknown}));
}

}  // namespace
}  // namespace TalvornCommon
