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

using testing::AppendByte;
using testing::CreateFile;
using testing::EventLog;
using testing::Handler;
using testing::TempDir;
using testing::Token;
using testing::WaitUntil;
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
  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
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
    sink_ = std::make_shared<CaptureSink>();
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
  }
  void TearDown() override { spdlog::set_default_logger(previous_); }

  std::shared_ptr<spdlog::logger> previous_;
  std::shared_ptr<CaptureSink> sink_;
  TempDir dir_;
};

Line Info(const std::string& text, int line) {
  return Line{text, spdlog::level::info, "FileWatcher", line};
}
Line Error(const std::string& text, int line) {
  return Line{text, spdlog::level::err, "FileWatcher", line};
}

Line Subscribing(const std::string& path) {
  return Info("Subscribing to the OnFileChanged event on '" + path + "'...", 255);
}
Line Subscribed(const std::string& path) {
  return Info("Successfully subscribed to the OnFileChanged event on '" + path + "'!", 266);
}
Line Unsubscribing(const std::string& path) {
  return Info("Unsubscribing from the OnFileChanged event on '" + path + "'...", 295);
}
Line Unsubscribed(const std::string& path) {
  return Info("Successfully unsubscribed from the OnFileChanged event on '" + path + "'!", 320);
}
Line UnsubscribeFailed(const std::string& path) {
  return Error("Failed to find the OnFileChanged event handler on '" + path + "'!", 314);
}

TEST_F(FileWatcherLogTest, SubscriptionLinesCarryTextLevelFileAndLine) {
  // Braces in a path are content, never format syntax.
  for (const std::string name : {"settings.json", "{}", "{0}{:x}{", "}}{{"}) {
    SCOPED_TRACE(name);
    sink_->Clear();
    const std::string path = dir_.Join(name);
    FileWatcher watcher(path);
    EventLog log;
    Token token;
    std::string error;
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
    ASSERT_TRUE(watcher.UnsubscribeOnFileChanged(token, error));
    EXPECT_FALSE(watcher.UnsubscribeOnFileChanged(token, error));
    EXPECT_EQ(error, "Failed to find the OnFileChanged event handler on '" + path + "'!");
    EXPECT_EQ(sink_->Lines(), (std::vector<Line>{Subscribing(path), Subscribed(path),
                                                 Unsubscribing(path), Unsubscribed(path),
                                                 Unsubscribing(path), UnsubscribeFailed(path)}));
  }
}

TEST_F(FileWatcherLogTest, EmptyTokenDroppingAReleasedEntryLogsSuccess) {
  const std::string path = dir_.Join("watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
  token.reset();
  sink_->Clear();
  EXPECT_TRUE(watcher.UnsubscribeOnFileChanged(nullptr, error));
  EXPECT_FALSE(watcher.UnsubscribeOnFileChanged(nullptr, error));
  EXPECT_EQ(sink_->Lines(), (std::vector<Line>{Unsubscribing(path), Unsubscribed(path),
                                               Unsubscribing(path), UnsubscribeFailed(path)}));
}

TEST_F(FileWatcherLogTest, EmptyHandlerIsRefusedAtErrorLevel) {
  const std::string path = dir_.Join("{}watched");
  FileWatcher watcher(path);
  Token token;
  std::string error;
  EXPECT_FALSE(watcher.SubscribeOnFileChanged(Handler(), token, error));
  EXPECT_EQ(token, nullptr);
  EXPECT_EQ(sink_->Lines(), (std::vector<Line>{Subscribing(path), Error(error, 258)}));
  EXPECT_EQ(error, "Refused to subscribe an empty OnFileChanged event handler on '" + path + "'!");
}

TEST_F(FileWatcherLogTest, NothingBelowTheCutoffIsWritten) {
  const std::string path = dir_.Join("watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  struct Case {
    const char* what;
    Level cutoff;
    std::vector<Line> expected;
  };
  const Case cases[] = {
      {"errors only", spdlog::level::err, {UnsubscribeFailed(path)}},
      {"critical only", spdlog::level::critical, {}},
      {"off", spdlog::level::off, {}},
      {"info",
       spdlog::level::info,
       {Subscribing(path), Subscribed(path), Unsubscribing(path), Unsubscribed(path),
        Unsubscribing(path), UnsubscribeFailed(path)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sink_->Clear();
    spdlog::default_logger()->set_level(c.cutoff);
    ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
    ASSERT_TRUE(watcher.UnsubscribeOnFileChanged(token, error));
    EXPECT_FALSE(watcher.UnsubscribeOnFileChanged(token, error));
    EXPECT_EQ(sink_->Lines(), c.expected);
  }
}

TEST_F(FileWatcherLogTest, DefaultLoggerIsLookedUpAtEachCall) {
  const std::string path = dir_.Join("watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));

  auto replacementSink = std::make_shared<CaptureSink>();
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("replacement", replacementSink));
  sink_->Clear();
  ASSERT_TRUE(watcher.UnsubscribeOnFileChanged(token, error));
  EXPECT_TRUE(sink_->Lines().empty());
  EXPECT_EQ(replacementSink->Lines(), (std::vector<Line>{Unsubscribing(path), Unsubscribed(path)}));

  // A host that removes the default logger gets no lines and no failure.
  spdlog::set_default_logger(nullptr);
  EXPECT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
  EXPECT_TRUE(watcher.UnsubscribeOnFileChanged(token, error));
}

TEST_F(FileWatcherLogTest, StartStopAndDispatchWriteNoLines) {
  const std::string path = dir_.Join("watched");
  FileWatcher watcher(path);
  EventLog log;
  Token token;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), token, error));
  sink_->Clear();
  ASSERT_TRUE(watcher.Start(error)) << error;
  EXPECT_FALSE(watcher.Start(error));
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(AppendByte(path));
  ASSERT_TRUE(log.WaitForCount(2));
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_FALSE(watcher.Stop(error));
  FileWatcher failing("no-directory-part");
  EXPECT_FALSE(failing.Start(error));
  EXPECT_TRUE(sink_->Lines().empty());
}

TEST_F(FileWatcherLogTest, ThrowingHandlerIsLoggedAtErrorWithItsMessage) {
  const std::string path = dir_.Join("{}watched");
  FileWatcher watcher(path);
  Token throwsStd;
  Token throwsOther;
  EventLog log;
  Token logToken;
  std::string error;
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(
      [](FileWatcher::EventType) { throw std::runtime_error("bad {} config"); }, throwsStd, error));
  ASSERT_TRUE(
      watcher.SubscribeOnFileChanged([](FileWatcher::EventType) { throw 7; }, throwsOther, error));
  ASSERT_TRUE(watcher.SubscribeOnFileChanged(log.Callback(), logToken, error));
  sink_->Clear();
  ASSERT_TRUE(watcher.Start(error)) << error;
  ASSERT_TRUE(CreateFile(path));
  ASSERT_TRUE(log.WaitForCount(1));  // called after both throwers, so their lines are written
  ASSERT_TRUE(watcher.Stop(error)) << error;
  EXPECT_EQ(sink_->Lines(), (std::vector<Line>{Error("An OnFileChanged event handler on '" + path +
                                                         "' threw an exception: bad {} config",
                                                     345),
                                               Error("An OnFileChanged event handler on '" + path +
                                                         "' threw an unknown exception!",
                                                     347)}));
}

}  // namespace
}  // namespace TalvornCommon
