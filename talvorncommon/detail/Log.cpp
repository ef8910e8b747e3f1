#include "talvorncommon/detail/Log.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <memory>

#include "talvorncommon/detail/Fork.h"

namespace TalvornCommon::detail {
namespace {

spdlog::level::level_enum ToSpdlogLevel(Verbosity verbosity) {
  switch (verbosity) {
    case Verbosity::kError:
      return spdlog::level::err;
    case Verbosity::kWarning:
      return spdlog::level::warn;
    case Verbosity::kInfo:
      break;
  }
  return spdlog::level::info;
}

// The default logger if it will write a line of `verbosity`, else null. The
// shared pointer keeps the logger alive even if a host replaces the default
// logger while the line is written.
std::shared_ptr<spdlog::logger> LoggerFor(Verbosity verbosity) {
  std::shared_ptr<spdlog::logger> logger = spdlog::default_logger();
  if (logger == nullptr || !logger->should_log(ToSpdlogLevel(verbosity))) return nullptr;
  return logger;
}

void Write(spdlog::logger& logger, const char* file, Verbosity verbosity, int line,
           std::string_view text) {
  // The string_view overload writes `text` as content; it is never parsed as
  // a format string, so braces in a path survive.
  logger.log(spdlog::source_loc{file, line, ""}, ToSpdlogLevel(verbosity),
             spdlog::string_view_t(text.data(), text.size()));
}

}  // namespace

void LogPathIn(const char* file, Verbosity verbosity, int line, std::string_view format,
               const std::string& path, std::string_view detail) {
  // Around the registry's lock too, which default_logger takes.
  const LogGate gate;
  std::shared_ptr<spdlog::logger> logger = LoggerFor(verbosity);
  if (logger == nullptr) return;
  // A format with one `{}` leaves `detail` unused, which fmt allows.
  Write(*logger, file, verbosity, line, fmt::vformat(format, fmt::make_format_args(path, detail)));
}

void LogTextIn(const char* file, Verbosity verbosity, int line, std::string_view text) {
  const LogGate gate;
  std::shared_ptr<spdlog::logger> logger = LoggerFor(verbosity);
  if (logger == nullptr) return;
  Write(*logger, file, verbosity, line, text);
}

void LogPath(Verbosity verbosity, int line, std::string_view format, const std::string& path,
             std::string_view detail) {
  LogPathIn(kLogFile, verbosity, line, format, path, detail);
}

void LogText(Verbosity verbosity, int line, std::string_view text) {
  LogTextIn(kLogFile, verbosity, line, text);
}

}  // namespace TalvornCommon::detail
