#include "SettingsFollower.h"

#include <sys/stat.h>
#include <talvorncommon/StringUtils.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

namespace StringUtils = TalvornCommon::StringUtils;
namespace fs = std::filesystem;
using TalvornCommon::FileWatcher;
using Place = SettingsFollower::Place;

// One save is often several events: a program creates the file and then writes
// it line by line, editors write and rename, a ConfigMap update swaps a link
// and deletes a folder. Events closer together than this are taken as one
// change: far longer than the gaps inside one, far shorter than the time a
// person takes between two.
constexpr std::chrono::milliseconds kQuietPeriod{20};
// While the path leads to no readable file it is checked this often as well:
// a permission fixed by chmod gives no event the watchers report. Slow enough
// to cost nothing, quick enough for a person who has just fixed it.
constexpr std::chrono::seconds kRetryPeriod{2};
// The kernel gives up after 40 links on the way (ELOOP): the follower follows
// exactly what opening the path would reach.
constexpr int kMaxLinks = 40;
// Enough for a ConfigMap (two links, the file, its folder: four) and a deploy
// link on top; a user has 128 inotify instances for all programs together.
constexpr size_t kMaxWatchers = 8;
// Rounds of resolving and arming before a burst is loaded; see ResolveAndArm.
constexpr int kArmRounds = 3;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

Place PlaceOf(const fs::path& folder, const std::string& name) {
  Place place{folder.string(), name};
  struct stat info {};
  if (::stat(place.folder.c_str(), &info) == 0) {
    place.device = info.st_dev;
    place.inode = info.st_ino;
  }
  return place;
}

// Adds `name` in `folder`, and `folder` by its name in its parent: a watch on a
// name lasts only as long as its folder, and a folder replaced as a whole
// (moved away or deleted and created again, or a link renamed onto it) shows
// up only in its parent.
void AddPlace(std::vector<Place>& places, const fs::path& folder, const std::string& name) {
  for (const Place& place :
       {PlaceOf(folder, name), PlaceOf(folder.parent_path(), folder.filename())}) {
    if (place.name.empty()) continue;  // the root has no parent to watch it in
    if (std::find(places.begin(), places.end(), place) == places.end()) places.push_back(place);
  }
}

// Reads the file's lines. FileIO::ReadTextFile would create the file if it
// vanished since it was resolved: in a ConfigMap's old folder, being deleted at
// that moment, that leaves a stray file and makes the deletion fail. The lines
// are split as ReadTextFile splits them, at line feeds only.
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

struct SettingsFollower::Resolution {
  std::vector<Place> places;
  std::string file;     // the real path of the file, links resolved
  std::string problem;  // why there is no file to read; empty when `file` is set
};

namespace {

// Walks `path` part by part as the kernel does, following each link (relative
// targets from the link's folder, absolute ones from the root) and collecting
// the places to watch on the way. `at` is always a real folder, so ".." after
// a link goes up from where the link led, as it does for open().
SettingsFollower::Resolution Resolve(const std::string& path) {
  SettingsFollower::Resolution result;
  std::vector<fs::path> pending;  // the parts still to walk, the next one last
  const auto push = [&pending](const fs::path& route) {
    const std::vector<fs::path> parts(route.begin(), route.end());
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  };
  push(fs::absolute(path));
  fs::path at = "/";
  std::string last_link;  // the last link followed, for the message about a dangling one
  int links = 0;
  while (!pending.empty()) {
    const fs::path part = pending.back();
    pending.pop_back();
    if (part.empty() || part == "." || part == "/") continue;
    if (part == "..") {
      at = at.parent_path();
      continue;
    }
    const fs::path entry = at / part;
    // What follows when the walk cannot go on: the name is watched where it is
    // missing or wrong, and its folder in the parent, so the fix is an event.
    const auto stop = [&](const std::string& problem) {
      AddPlace(result.places, at, part);
      result.problem = problem;
      return result;
    };
    std::error_code error;
    const fs::file_status status = fs::symlink_status(entry, error);
    if (status.type() == fs::file_type::not_found) {
      if (pending.empty() && links == 0) return stop("no file to read");
      return stop("no file to read: " + entry.string() + " does not exist" +
                  (last_link.empty() ? "" : " (reached through the link " + last_link + ")"));
    }
    if (error) {
      // The folder cannot be looked into: it cannot be watched either, only its name.
      AddPlace(result.places, at.parent_path(), at.filename());
      result.problem = "cannot look into " + at.string() + ": " + error.message();
      return result;
    }
    if (status.type() == fs::file_type::symlink) {
      AddPlace(result.places, at, part);
      if (++links > kMaxLinks) {
        result.problem = "a link loop, or more than " + std::to_string(kMaxLinks) +
                         " links on the way to " + path;
        return result;
      }
      const fs::path target = fs::read_symlink(entry, error);
      if (error) return stop("cannot read the link " + entry.string() + ": " + error.message());
      if (target.is_absolute()) at = "/";
      push(target);
      last_link = entry.string();
      continue;
    }
    if (!pending.empty()) {
      if (status.type() != fs::file_type::directory) {
        return stop(entry.string() + " is not a folder");
      }
      at = entry;
      continue;
    }
    if (status.type() != fs::file_type::regular) {
      return stop(entry.string() + " is not a regular file");
    }
    stop("");
    result.file = entry.string();
    return result;
  }
  result.problem = path + " names a folder, not a file";
  return result;
}

// The places to watch, at most kMaxWatchers of them: the first links of the
// chain and, always, the file and its folder, which the chain ends with.
std::vector<Place> Bounded(const std::vector<Place>& places) {
  if (places.size() <= kMaxWatchers) return places;
  std::vector<Place> kept(places.begin(), places.begin() + kMaxWatchers - 2);
  kept.insert(kept.end(), places.end() - 2, places.end());
  return kept;
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
      problems.push_back(where + "not a 'key = value' line: '" + line + "'");
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
        problems.push_back(where + "unknown key '" + key + "'");
      }
    } catch (const std::exception&) {
      if (key == "volume") settings.volume = previous.volume;
      if (key == "speed") settings.speed = previous.speed;
      if (key == "cache_mb") settings.cache_mb = previous.cache_mb;
      if (key == "languages") settings.languages = previous.languages;
      problems.push_back(where + key + ": cannot read '" + value + "', keeping the previous value");
    }
  }
}

SettingsFollower::Watch::Watch(const Place& where, uint64_t number)
    : place(where), serial(number), watcher((fs::path(where.folder) / where.name).string()) {}

SettingsFollower::SettingsFollower(std::string path, Observer observer)
    : path_(std::move(path)), observer_(std::move(observer)) {}

SettingsFollower::~SettingsFollower() { Stop(); }

bool SettingsFollower::Start() {
  // Watching starts before the first load, so an edit made meanwhile is not lost.
  Update("start", {}, /*force=*/true);
  StopRetired();
  if (watches_.empty()) {
    std::fprintf(stderr, "talvorn-settings: %s: %s\n", path_.c_str(), watch_problem_.c_str());
    return false;
  }
  reload_thread_ = std::thread([this] {
    std::vector<Event> burst;
    // While something is wrong, the path is also checked without an event.
    while (WaitForBurst(burst, !problem_.empty() || !watch_problem_.empty())) {
      std::string cause = burst.empty() ? "recheck" : "reload after";
      for (const Event& event : burst)
        cause += std::string(" ") + FileWatcher::ToString(event.type);
      Update(cause, burst, /*force=*/false);
      StopRetired();
    }
  });
  return true;
}

void SettingsFollower::Stop() {
  {
    std::lock_guard<std::mutex> lock(events_mutex_);
    stopping_ = true;
    events_changed_.notify_one();
  }
  if (reload_thread_.joinable()) reload_thread_.join();
  // Destroying a watcher stops it; this is never one of their callbacks.
  for (std::future<void>& closed : closing_) closed.wait();
  closing_.clear();
  watches_.clear();
  watcher_count_ = 0;
}

bool SettingsFollower::WaitForBurst(std::vector<Event>& burst, bool retry) {
  std::unique_lock<std::mutex> lock(events_mutex_);
  const auto woken = [this] { return stopping_ || !events_.empty(); };
  if (retry) {
    events_changed_.wait_for(lock, kRetryPeriod, woken);
  } else {
    events_changed_.wait(lock, woken);
  }
  // Then until kQuietPeriod passes without another event.
  for (size_t count = 0; !stopping_ && count != events_.size();) {
    count = events_.size();
    events_changed_.wait_for(lock, kQuietPeriod,
                             [&] { return stopping_ || events_.size() != count; });
  }
  burst.clear();
  burst.swap(events_);
  return !stopping_;
}

SettingsFollower::Resolution SettingsFollower::ResolveAndArm() {
  // The chain can change again while watchers are being started, and a folder
  // can be replaced between resolving its name and watching it: resolving
  // again until the places stay the same makes the watched places the ones
  // that count now. A chain that keeps changing is caught up by its next event.
  Resolution resolution;
  std::string failure;
  for (int round = 0; round < kArmRounds; ++round) {
    resolution = Resolve(path_);
    const std::vector<Place> wanted = Bounded(resolution.places);
    const bool same = wanted.size() == watches_.size() &&
                      std::all_of(watches_.begin(), watches_.end(), [&](const Watch& watch) {
                        return std::find(wanted.begin(), wanted.end(), watch.place) != wanted.end();
                      });
    if (same) break;
    failure = Rearm(wanted);
  }
  if (failure.empty() && resolution.places.size() > kMaxWatchers) {
    failure = "the path needs " + std::to_string(resolution.places.size()) +
              " watchers, more than " + std::to_string(kMaxWatchers) +
              ": a change in the middle of its chain of links is not seen";
  }
  Say(watch_problem_, failure);
  return resolution;
}

std::string SettingsFollower::Rearm(const std::vector<Place>& wanted) {
  Retire([&](const Watch& watch) {
    return std::find(wanted.begin(), wanted.end(), watch.place) == wanted.end();
  });
  std::string failure;
  for (const Place& place : wanted) {
    const bool watched = std::any_of(watches_.begin(), watches_.end(),
                                     [&](const Watch& watch) { return watch.place == place; });
    if (watched) continue;
    Watch& watch = watches_.emplace_back(place, next_serial_++);
    const uint64_t serial = watch.serial;
    const auto queue = [this, serial](FileWatcher::EventType type) {
      std::lock_guard<std::mutex> lock(events_mutex_);
      events_.push_back({serial, type});
      events_changed_.notify_one();
    };
    std::string error;
    if (!watch.watcher.SubscribeOnFileChanged(queue, watch.token, error) ||
        !watch.watcher.Start(error)) {
      failure = "cannot watch " + place.name + " in " + place.folder + ": " + error;
      watches_.pop_back();
    }
  }
  watcher_count_ = watches_.size();
  return failure;
}

void SettingsFollower::Retire(const std::function<bool(const Watch&)>& unwanted) {
  for (auto watch = watches_.begin(); watch != watches_.end();) {
    const auto next = std::next(watch);
    if (unwanted(*watch)) retired_.splice(retired_.end(), watches_, watch);
    watch = next;
  }
}

void SettingsFollower::StopRetired() {
  if (retired_.empty()) return;
  std::erase_if(closing_, [](const std::future<void>& closed) {
    return closed.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  });
  // The list moves into the task whole: its watchers never move.
  closing_.push_back(std::async(std::launch::async,
                                [watches = std::move(retired_)]() mutable { watches.clear(); }));
  retired_.clear();
}

// Prints `text` when it differs from what `said` holds, then remembers it: a
// problem is said once, not once per event.
void SettingsFollower::Say(std::string& said, const std::string& text) {
  if (text != said && !text.empty()) std::printf("  %s\n", text.c_str());
  said = text;
}

void SettingsFollower::Update(const std::string& cause, const std::vector<Event>& burst,
                              bool force) {
  // Where each event of the burst happened, for the watches still armed; a
  // watch stopped meanwhile may have queued a last one (the old folder of a
  // ConfigMap being deleted, say), which no longer matters.
  std::vector<Place> touched;
  std::vector<std::string> replaced;
  for (const Event& event : burst) {
    for (const Watch& watch : watches_) {
      if (watch.serial != event.watch) continue;
      touched.push_back(watch.place);
      // A name that was deleted, created or renamed onto holds another folder
      // now, even when the new one got the old one's inode number back (file
      // systems reuse them at once): the watches inside it watch nothing.
      if (event.type != FileWatcher::EventType::Modified) {
        replaced.push_back((fs::path(watch.place.folder) / watch.place.name).string());
      }
    }
  }
  Retire([&](const Watch& watch) {
    return std::find(replaced.begin(), replaced.end(), watch.place.folder) != replaced.end();
  });

  const Resolution resolution = ResolveAndArm();
  std::vector<std::string> lines;
  std::string problem = resolution.problem;
  if (problem.empty()) ReadLines(resolution.file, lines, problem);
  // An event counts when its place is still part of the chain.
  const bool counts = force || std::any_of(touched.begin(), touched.end(), [&](const Place& place) {
                        return std::find(resolution.places.begin(), resolution.places.end(),
                                         place) != resolution.places.end();
                      });
  const bool changed = problem != problem_ || resolution.file != file_;
  file_ = resolution.file;
  if (!counts && !changed) return;
  // The same problem again: it has been said.
  if (!force && !problem.empty() && problem == problem_) return;
  problem_ = problem;

  Settings current = Read([](const Settings& settings) { return settings; });
  Reload reload{cause, problem, 0, current};
  if (!problem.empty()) {
    std::printf("  %s: %s, the last good settings stay\n", cause.c_str(), problem.c_str());
  } else {
    // The new record is built outside the lock; the exclusive lock is held
    // only for the swap, so the readers hardly ever wait.
    Settings next;
    std::vector<std::string> problems;
    ParseSettings(lines, current, next, problems);
    std::printf("  %s: read %zu line%s\n", cause.c_str(), lines.size(),
                lines.size() == 1 ? "" : "s");
    for (const std::string& text : problems) std::printf("    %s\n", text.c_str());
    reload.problems = problems.size();
    reload.settings = next;
    std::unique_lock<TalvornCommon::HybridSharedMutex> lock(settings_mutex_);
    std::swap(settings_, next);
  }
  if (observer_) observer_(reload);
}
