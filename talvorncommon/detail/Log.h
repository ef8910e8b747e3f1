// Internal: the watchers' log lines, written to spdlog's default logger.
//
//   detail::LogPath(detail::Verbosity::kInfo, detail::kLineSubscribing,
//                   "Subscribing to the OnFileChanged event on '{}'...", filePath);
//
// Every line carries a source file ("FileWatcher" or "PathWatcher") and a
// fixed line number:
// log tooling matches on that pair, so the numbers are stable identifiers and
// must not follow edits of the source. The default logger is looked up at each
// call, so a host that installs its own with spdlog::set_default_logger gets
// every later line, and a line is formatted only when that logger takes its
// level. When a host has removed the default logger, lines are dropped.
#ifndef TALVORNCOMMON_DETAIL_LOG_H_
#define TALVORNCOMMON_DETAIL_LOG_H_

#include <string>
#include <string_view>

namespace TalvornCommon::detail {

// Verbosities in the convention of the library's callers: 0 for progress and
// success, -1 for warnings, -2 for failures. kInfo maps to spdlog's info,
// kWarning to warn, kError to err.
enum class Verbosity : int {
  kError = -2,
  kWarning = -1,
  kInfo = 0,
};

// The source file FileWatcher's lines name, and PathWatcher's.
inline constexpr const char* kLogFile = "FileWatcher";
inline constexpr const char* kPathWatcherLogFile = "PathWatcher";

// Line identifiers of the subscription operations.
inline constexpr int kLineSubscribing = 255;
inline constexpr int kLineSubscribed = 266;
inline constexpr int kLineUnsubscribing = 295;
inline constexpr int kLineUnsubscribeFailed = 314;
inline constexpr int kLineUnsubscribed = 320;
// Lines added for failures the original set had no line for: an empty
// callback refused by subscribe, and a callback that threw on the watch
// thread. Chosen apart from the numbers above so no tooling confuses them.
inline constexpr int kLineSubscribeRefused = 258;
inline constexpr int kLineHandlerThrew = 345;
inline constexpr int kLineHandlerThrewUnknown = 347;

// PathWatcher's lines: its start and stop, a problem beginning, and its
// failures (a Start refused, the thread giving up, a callback that threw).
inline constexpr int kLinePathStarted = 410;
inline constexpr int kLinePathStopped = 430;
inline constexpr int kLinePathProblem = 450;
inline constexpr int kLinePathStartFailed = 470;
inline constexpr int kLinePathFailed = 480;
inline constexpr int kLinePathCallbackThrew = 490;
inline constexpr int kLinePathCallbackThrewUnknown = 492;
inline constexpr int kLinePathDestroyedFromCallback = 495;
// A way through a remote file system: its looks begin or end, or cannot
// begin, and a Stop that leaves a look blocked in the kernel.
inline constexpr int kLinePathLooks = 415;
inline constexpr int kLinePathLookLeft = 497;

// Logs `format` (fmt syntax) with its first `{}` filled by `path` and its
// second, if it has one, by `detail`; formats only when the line will be
// written.
void LogPath(Verbosity verbosity, int line, std::string_view format, const std::string& path,
             std::string_view detail = {});

// Logs `text` as the line's content: braces in it are written as they are.
void LogText(Verbosity verbosity, int line, std::string_view text);

// The same, naming `file` as the source file instead of FileWatcher's.
void LogPathIn(const char* file, Verbosity verbosity, int line, std::string_view format,
               const std::string& path, std::string_view detail = {});
void LogTextIn(const char* file, Verbosity verbosity, int line, std::string_view text);

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_LOG_H_
