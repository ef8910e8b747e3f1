#include "SettingsFollower.h"

#include <talvorncommon/StringUtils.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

namespace StringUtils = TalvornCommon::StringUtils;
using TalvornCommon::PathWatcher;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// What a problem line shows of a piece of text the follower cannot read:
// enough to find it on its numbered line, too little to print back a file that
// is not settings (a secret a link was pointed at), line by line. Never cut
// inside a UTF-8 character.
std::string Excerpt(const std::string& text) {
  constexpr size_t kShown = 10;
  if (text.size() <= kShown) return text;
  size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

// Reads the file's lines. FileIO::ReadTextFile would create the file if it
// vanished since the watcher found it: in a ConfigMap's old folder, being
// deleted at that moment, that leaves a stray file and makes the deletion
// fail. The lines are split as ReadTextFile splits them, at line feeds only.
bool ReadLines(const std::string& file, std::vector<std::string>& lines, std::string& problem) {
  std::ifstream stream(file);
  if (!stream) {
    problem = "cannot read " + file + ": " + std::strerror(errno);
    return false;
  }
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  if (stream.bad()) {
    problem = "cannot read " + file;
    return false;
  }
  return true;
}

}  // namespace

void ParseSettings(const std::vector<std::string>& lines, const Settings& previous,
                   Settings& settings, std::vector<std::string>& problems) {
  for (size_t index = 0; index < lines.size(); ++index) {
    const std::string line = Trim(lines[index]);
    const std::string where = "line " + std::to_string(index + 1) + ": ";
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      problems.push_back(where + "not a 'key = value' line: '" + Excerpt(line) + "'");
      continue;
    }
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    // ToInt and ToFloat throw for text that starts with no number; the other
    // parsers' results are checked here, and their failures thrown the same way.
    try {
      if (value.empty()) throw std::invalid_argument(key);
      if (key == "volume") {
        settings.volume = StringUtils::ToInt(value, 0);
      } else if (key == "speed") {
        settings.speed = StringUtils::ToFloat(value, 0);  // "1.5" or "1,5"
      } else if (key == "cache_mb") {
        // ToUint64 answers bad text with the default; no cache is this large.
        const uint64_t megabytes = StringUtils::ToUint64(value, UINT64_MAX);
        if (megabytes == UINT64_MAX) throw std::invalid_argument(key);
        settings.cache_mb = megabytes;
      } else if (key == "languages") {
        settings.languages.clear();
        for (const std::string& piece : StringUtils::Split(value, ',')) {
          settings.languages.push_back(Trim(piece));
        }
      } else {
        problems.push_back(where + "unknown key '" + Excerpt(key) + "'");
      }
    } catch (const std::exception&) {
      if (key == "volume") settings.volume = previous.volume;
      if (key == "speed") settings.speed = previous.speed;
      if (key == "cache_mb") settings.cache_mb = previous.cache_mb;
      if (key == "languages") settings.languages = previous.languages;
      problems.push_back(where + Excerpt(key) + ": cannot read '" + Excerpt(value) +
                         "', keeping the previous value");
    }
  }
}

SettingsFollower::SettingsFollower(std::string path, Observer observer)
    : observer_(std::move(observer)), watcher_(std::move(path)) {}

SettingsFollower::~SettingsFollower() { Stop(); }

bool SettingsFollower::Start() {
  // Watching starts before the first load, so an edit made meanwhile is not lost.
  std::string error;
  if (!watcher_.Start(
          [this](const PathWatcher::Change& change) {
            std::lock_guard<std::mutex> lock(load_mutex_);
            loaded_ = true;
            Load("reload after a change", change);
          },
          error)) {
    // The watcher has logged the failure, in the same words, as an error.
    return false;
  }
  std::lock_guard<std::mutex> lock(load_mutex_);
  // A call that came first has loaded what the path leads to now; otherwise
  // Current() tells what it led to at Start.
  if (!loaded_) Load("start", watcher_.Current());
  loaded_ = true;
  return true;
}

void SettingsFollower::Stop() {
  // Start and Stop come from one thread, so the watcher cannot start between
  // the two calls; asking first keeps a second Stop from logging a failure.
  std::string error;
  static_cast<void>(watcher_.IsWatching() && watcher_.Stop(error));  // a failure is logged
}

void SettingsFollower::Load(const std::string& cause, const PathWatcher::Change& change) {
  std::vector<std::string> lines;
  std::string problem = change.problem;
  if (problem.empty()) ReadLines(change.file, lines, problem);

  Settings current = Read([](const Settings& settings) { return settings; });
  Reload reload{cause, problem, 0, current};
  if (!problem.empty()) {
    std::printf("  %s: %s, %s\n", cause.c_str(), problem.c_str(),
                read_a_file_ ? "the last good settings stay" : "the defaults stay");
  } else {
    // The new record is built outside the lock; the exclusive lock is held
    // only for the swap, so the readers hardly ever wait.
    Settings next;
    std::vector<std::string> problems;
    ParseSettings(lines, current, next, problems);
    std::printf("  %s: read %zu line%s from %s\n", cause.c_str(), lines.size(),
                lines.size() == 1 ? "" : "s", change.file.c_str());
    for (const std::string& text : problems) std::printf("    %s\n", text.c_str());
    reload.problems = problems.size();
    reload.settings = next;
    read_a_file_ = true;
    std::unique_lock<TalvornCommon::HybridSharedMutex> lock(settings_mutex_);
    std::swap(settings_, next);
  }
  if (observer_) observer_(reload);
}
