#include "talvorncommon/detail/Log.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <memory>

namespace TalvornCommon::detail {
namespace {

spdlog::level::level_enum ToSpdlogLevel(Verbosity verbosity) {
  return verbosity == Verbosity::kError ? spdlog::level::err : spdlog::level::info;
}

// The default logger if it will write a line of `verbosity`, else null. The
// shared pointer keeps the logger alive even if a host replaces the default
// logger while the line is written.
std::shared_ptr<spdlog::logger> LoggerFor(Verbosity verbosity) {
  std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
  if (logger == nullptr || !logger->should_log(ToSpdlogLevel(verbosity))) return nullptr;
  return logger;
}

void Write(spdlog::logger& logger, Verbosity verbosity, int line, std::string_view text) {
  // The string_view overload writes `text` as content; it is never parsed as
  // a format string, so braces in a path survive.
  logger.log(spdlog::source_loc{kLogFile, line, ""}, ToSpdlogLevel(verbosity),
             spdlog::string_view_t(text.data(), text.size()));
}

}  // namespace

void LogPath(Verbosity verbosity, int line, std::string_view format, const std::string& path,
             std::string_view detail) {
  std::shared_ptr<spdlog::logger> logger = LoggerFor(verbosity);
  if (logger == nullptr) return;
  // A format with one `{}` leaves `detail` unused, which fmt allows.
  Write(*logger, verbosity, line, fmt::vformat(format, fmt::make_format_args(path, detail)));
}

void LogText(Verbosity verbosity, int line, std::string_view text) {
  std::shared_ptr<spdlog::logger> logger = LoggerFor(verbosity);
  if (logger == nullptr) return;
  Write(*logger, verbosity, line, text);
}

}  // namespace TalvornCommon::detail
