#include "talvorncommon/PathWatcher.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "talvorncommon/detail/Burst.h"
#include "talvorncommon/detail/Log.h"
#include "talvorncommon/detail/Looks.h"
#include "talvorncommon/detail/PathHub.h"
#include "talvorncommon/detail/Way.h"

namespace TalvornCommon {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using detail::Verbosity;

static_assert(PathWatcher::kWriterQuietPeriod == detail::Burst::kWriterQuietPeriod &&
                  PathWatcher::kLongestBurst == detail::Burst::kLongestBurst &&
                  PathWatcher::kRecheckPeriod == detail::Burst::kRecheckPeriod,
              "the periods PathWatcher tells are those its bursts keep");

// After a look at a remote way found a change, the next look comes this soon,
// and again until one finds nothing further changed: a writer on another
// machine that pauses less than this between writes is read once, whole.
constexpr std::chrono::milliseconds kRemoteSettlePeriod{200};
// A look takes microseconds; one under way for this long waits for a server
// that does not answer, and the way through it is not resolved on the thread
// that serves every watcher until the look returns.
constexpr std::chrono::milliseconds kLookStalled{300};

// The watcher whose call runs on this thread, null elsewhere: its own callback
// calling Start, Stop or the destructor is told apart by it.
thread_local const void* currentWatcher = nullptr;

PathWatcher::Change ChangeOf(const detail::Destination& destination) {
  return {destination.file, destination.problem};
}

}  // namespace

// The record behind a handle, served by the process's hub while started. Its
// way, burst and what it last told are the hub's: touched only under the hub's
// lock (on its thread, or by Start and Stop).
class PathWatcher::Impl final : public detail::PathHub::Client {
 public:
  using Time = detail::PathHub::Time;
  Impl(std::string givenPath, std::chrono::milliseconds quiet)
      : path(std::move(givenPath)), quietPeriod(quiet) {}

  // Resolves the path and has the hub serve the watcher. Runs under
  // startStopMutex with `watching` false; on failure nothing stays open.
  bool StartInternal(const std::shared_ptr<Impl>& self, OnChanged callback, std::string& reason);

  // Has the hub serve it no longer, once a call running on another thread has
  // returned. Runs under startStopMutex.
  void StopInternal();

  // True in a child made by fork from a process whose copy of this watcher was
  // started: the thread that serves the watch, and the watch itself, are the
  // parent's (the child's hub has closed its copies of their descriptors).
  bool Inherited() const {
    const pid_t owner = ownerPid.load();
    return owner != 0 && owner != ::getpid();
  }
  // Forgets the parent's watch without a word to the parent's thread.
  void ReleaseInherited();

  // Makes `next` the current Change, warns when a problem begins, calls back.
  void Report(const Change& next);

  void LogError(int line, std::string_view format, std::string_view detail = {}) const {
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kError, line, format, path, detail);
  }

  // The hub's client: what happened on the way, fed to the burst.
  void OnRecord(const inotify_event& record, std::string_view name, Time woke) override;
  void OnMountsChanged(Time woke) override;
  std::optional<Time> Deadline() const override { return burst->Deadline(); }
  bool Due(Time now, bool queued) override;
  void Call() override;
  void Failed(std::string_view why) override {
    LogError(detail::kLinePathFailed, "A PathWatcher on '{}' stopped following its path: {}", why);
  }

  // Resolves the way again at once, so that the next records are read against
  // the way as it is now, and a folder that has just appeared is watched
  // before a writer fills it.
  void FollowNow(Time now);
  // Whether a look at the way waits for a server that does not answer: the way
  // would too, so it is resolved only once the look returns.
  bool Stalled(Time now) const {
    const auto since = looks ? looks->LookingSince() : std::nullopt;
    return since && now - *since >= kLookStalled;
  }
  // Starts, moves or ends the looks after a resolution: they exist while the
  // way has a place on a file system whose changes may come from elsewhere.
  void FollowLooks();
  // What the looks found since the thread last asked, fed to the burst.
  void TakeFindings(Time now);

  const std::string path;
  const std::chrono::milliseconds quietPeriod;  // as given: the burst bounds it
  std::mutex startStopMutex;
  std::atomic<bool> watching{false};
  // The process whose hub serves the watch, 0 when none.
  std::atomic<pid_t> ownerPid{0};
  // Set by StartInternal before the hub serves it; then the hub thread's alone.
  OnChanged onChanged;
  mutable std::mutex currentMutex;
  Change current;         // under currentMutex
  std::string whyLooked;  // under currentMutex

  void SetWhyLooked(std::string why) {
    std::lock_guard<std::mutex> lock(currentMutex);
    whyLooked = std::move(why);
  }

  // Under the hub's lock while started.
  std::optional<detail::Way> way;
  std::optional<detail::Burst> burst;
  Change reported;
  int reportedFile = -1;
  std::unique_ptr<detail::Looks> looks;
  std::vector<detail::LookPlace> lookedAt;
  // A resolution waits for a stalled look to return.
  bool resolveDeferred = false;
  // From the look thread: when a look found a change (true) or its settling.
  std::mutex findingsMutex;
  std::vector<std::pair<Time, bool>> findings;  // under findingsMutex
  // The hub thread's alone: what Due found to call with.
  Change pending;
};

void PathWatcher::Impl::FollowNow(Time now) {
  if (Stalled(now)) {
    resolveDeferred = true;
    return;
  }
  bool finalMoved = false;
  const detail::Resolution resolved = way->Follow(finalMoved);
  // No file for a writer to close: a link, a folder, a fifo.
  burst->Resolved(resolved.recheck, finalMoved || resolved.change.file.empty());
  FollowLooks();
}

void PathWatcher::Impl::FollowLooks() {
  const std::vector<detail::LookPlace>& places = way->RemotePlaces();
  if (places == lookedAt) return;
  lookedAt = places;
  SetWhyLooked(places.empty() ? std::string() : way->RemoteWhy());
  if (places.empty()) {
    if (!looks) return;
    // Not waited for under the hub's lock: a look that still waits for its
    // server ends with its thread on its own.
    static_cast<void>(looks->Stop(std::chrono::milliseconds(0)));
    looks.reset();
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kInfo, detail::kLinePathLooks,
                      "A PathWatcher on '{}' no longer looks at its way: {}", path,
                      "every place on it is local");
    return;
  }
  if (looks) {
    looks->Watch(places);
    return;
  }
  auto fresh = std::make_unique<detail::Looks>(kRemoteLookPeriod, kRemoteSettlePeriod);
  std::string reason;
  detail::PathHub* hub = &detail::PathHub::Get();
  const bool started = fresh->Start(
      places,
      [this, hub](bool changed, bool) {
        {
          std::lock_guard<std::mutex> lock(findingsMutex);
          findings.emplace_back(Clock::now(), changed);
        }
        hub->Wake();
      },
      reason);
  if (!started) {
    // Followed by its events alone: the changes made elsewhere go unseen.
    LogError(detail::kLinePathLooks, "A PathWatcher on '{}' cannot look at its way: {}", reason);
    return;
  }
  looks = std::move(fresh);
  detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kInfo, detail::kLinePathLooks,
                    "A PathWatcher on '{}' looks at its way every second: {}", path,
                    way->RemoteWhy() + ", where changes made elsewhere raise no inotify event");
}

void PathWatcher::Impl::TakeFindings(Time now) {
  std::vector<std::pair<Time, bool>> taken;
  {
    std::lock_guard<std::mutex> lock(findingsMutex);
    taken.swap(findings);
  }
  for (const auto& [when, changed] : taken) {
    burst->Looked(when, changed);
    if (changed) FollowNow(now);
  }
  if (resolveDeferred && !Stalled(now)) {
    // The look has returned: what waited for it is resolved now, and read.
    resolveDeferred = false;
    burst->Hear(now, {.content = true});
    FollowNow(now);
  }
}

void PathWatcher::Impl::OnRecord(const inotify_event& record, std::string_view name, Time woke) {
  detail::Seen seen;
  way->Classify(record, name, seen);
  if (!seen.relevant) return;
  burst->Hear(woke, {.content = seen.content, .overflow = seen.overflow, .writing = seen.writing});
  if (seen.way) FollowNow(woke);
}

void PathWatcher::Impl::OnMountsChanged(Time woke) {
  FollowNow(woke);
  burst->Hear(woke, {});
}

bool PathWatcher::Impl::Due(Time now, bool queued) {
  TakeFindings(now);
  // Records still queued may belong to this burst, whatever the time.
  const std::optional<detail::Burst::End> end = burst->Due(now, queued);
  if (!end) return false;
  // The burst has ended, or a problem is due to be checked again.
  Change next = reported;
  if (end->resolve && Stalled(now)) {
    resolveDeferred = true;
    return false;
  }
  if (end->resolve) {
    bool finalMoved = false;
    const detail::Resolution resolved = way->Follow(finalMoved);
    burst->Settled(now, resolved.recheck);
    next = ChangeOf(resolved.change);
    FollowLooks();
  }
  const bool otherFile = way->fileWatch() != reportedFile;
  reportedFile = way->fileWatch();
  if (!end->Calls(next != reported, otherFile, !next.file.empty())) return false;
  reported = next;
  pending = std::move(next);
  return true;
}

void PathWatcher::Impl::Call() {
  currentWatcher = this;
  Report(pending);
  currentWatcher = nullptr;
}

bool PathWatcher::Impl::StartInternal(const std::shared_ptr<Impl>& self, OnChanged callback,
                                      std::string& reason) {
  if (!callback) {
    reason = "the onChanged callback is empty";
    return false;
  }
  if (path.empty()) {
    reason = "the path is empty";
    return false;
  }
  // The kernel reads a path only up to its first NUL: it would watch another
  // path than the one named.
  if (path.find('\0') != std::string::npos) {
    reason = "the path contains a NUL character";
    return false;
  }
  std::error_code failure;
  const fs::path absolute = fs::absolute(path, failure);
  if (failure) {
    reason = "cannot make the path absolute: " + failure.message();
    return false;
  }
  // Read once per Start: a change of the setting is seen by the next one.
  const bool linksProtected = detail::LinksProtected();
  // The first resolution runs under the lock of the thread that serves every
  // watcher. A way through a server that does not answer would hold them all
  // there; asked first, it holds only this caller, until the server answers.
  struct stat asked {};
  static_cast<void>(::stat(absolute.c_str(), &asked));
  // Set before the hub serves it: its first call must find them, and must not
  // be overwritten by them.
  onChanged = std::move(callback);
  detail::Resolution first;
  const bool added = detail::PathHub::Get().Add(
      self,
      [&](detail::Watches& watches) {
        way.emplace(absolute.string(), watches, static_cast<const detail::PathHub::Client*>(this),
                    linksProtected);
        bool ignored = false;
        first = way->Follow(ignored);
        burst.emplace(quietPeriod, Clock::now(), first.recheck);
        FollowLooks();
        reported = ChangeOf(first.change);
        reportedFile = way->fileWatch();
        std::lock_guard<std::mutex> lock(currentMutex);
        current = reported;
      },
      reason);
  if (!added) {
    onChanged = nullptr;
    return false;
  }
  watching = true;
  ownerPid = ::getpid();
  std::string leadsTo = first.change.problem.empty()
                            ? "it leads to " + first.change.file
                            : "it leads to no readable file: " + first.change.problem;
  {
    std::lock_guard<std::mutex> lock(currentMutex);
    if (!whyLooked.empty()) leadsTo += "; looked at every second, since " + whyLooked;
  }
  detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kInfo, detail::kLinePathStarted,
                    "Started a PathWatcher on '{}': {}", path, leadsTo);
  if (!first.change.problem.empty()) {
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kWarning, detail::kLinePathProblem,
                      "A PathWatcher on '{}' leads to no readable file: {}", path,
                      first.change.problem);
  }
  return true;
}

void PathWatcher::Impl::StopInternal() {
  watching = false;
  ownerPid = 0;
  std::unique_ptr<detail::Looks> stopping;
  detail::PathHub::Get().Remove(this, [&](detail::Watches&) {
    way->ReleaseAll();
    way.reset();
    burst.reset();
    // No finding reaches the hub once the looks are muted; their thread is
    // waited for below, without the hub's lock.
    if (looks) looks->Mute();
    stopping = std::move(looks);
    lookedAt.clear();
  });
  if (stopping && !stopping->Stop(detail::Looks::kStopWait)) {
    LogError(detail::kLinePathLookLeft,
             "A PathWatcher on '{}' stopped while a look at its way waited for a server that does "
             "not answer; the look's thread ends once the look returns.");
  }
  // Only the hub thread reads it, and no call of this watcher runs any more;
  // from its own callback (a destruction) the call still runs and keeps it.
  if (currentWatcher != this) onChanged = nullptr;
  detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kInfo, detail::kLinePathStopped,
                    "Stopped a PathWatcher on '{}'.", path);
}

void PathWatcher::Impl::ReleaseInherited() {
  watching = false;
  ownerPid = 0;
  // The child has only the thread that forked: a lock held by another of the
  // parent's threads at the fork would stay held for ever in the copy. The
  // way's watches are the parent's hub's, which the child has abandoned.
  ::new (static_cast<void*>(&startStopMutex)) std::mutex();
  ::new (static_cast<void*>(&currentMutex)) std::mutex();
  if (currentWatcher == this) currentWatcher = nullptr;  // forked from its own callback
  way.reset();
  burst.reset();
  onChanged = nullptr;
}

void PathWatcher::Impl::Report(const Change& next) {
  Change previous;
  {
    std::lock_guard<std::mutex> lock(currentMutex);
    previous = std::exchange(current, next);
  }
  if (!next.problem.empty() && next.problem != previous.problem) {
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kWarning, detail::kLinePathProblem,
                      "A PathWatcher on '{}' leads to no readable file: {}", path, next.problem);
  }
  // A callback should not throw; one that does must not end the watch.
  try {
    onChanged(next);
  } catch (const std::exception& exception) {
    LogError(detail::kLinePathCallbackThrew,
             "The onChanged callback of a PathWatcher on '{}' threw an exception: {}",
             exception.what());
  } catch (...) {
    LogError(detail::kLinePathCallbackThrewUnknown,
             "The onChanged callback of a PathWatcher on '{}' threw an unknown exception!");
  }
}

PathWatcher::PathWatcher(std::string path, std::chrono::milliseconds quietPeriod)
    : impl(std::make_shared<Impl>(std::move(path), quietPeriod)) {}

PathWatcher::~PathWatcher() {
  Impl& self = *impl;
  // In a child made by fork, which has only the thread that forked, the
  // start/stop lock may be a copy of one held by another of the parent's.
  if (self.Inherited()) {
    self.ReleaseInherited();
    return;
  }
  if (currentWatcher == &self) {
    // The call that runs now is the last: the hub keeps the record alive until
    // it returns, but whatever the callback captured from the owner may be
    // gone by then.
    self.LogError(detail::kLinePathDestroyedFromCallback,
                  "A PathWatcher on '{}' was destroyed from its own onChanged callback; its "
                  "thread ends once the callback returns.");
  }
  std::lock_guard<std::mutex> lock(self.startStopMutex);
  if (self.watching) self.StopInternal();
}

bool PathWatcher::Start(OnChanged onChanged, std::string& error) {
  Impl& self = *impl;
  {
    // From its own onChanged the watcher is started, and the lock may be held
    // by a Stop that waits for that very call.
    const bool inherited = self.Inherited();
    if (inherited) self.ReleaseInherited();
    const bool fromCallback = !inherited && currentWatcher == &self;
    std::unique_lock<std::mutex> lock(self.startStopMutex, std::defer_lock);
    if (!fromCallback) lock.lock();
    std::string reason;
    if (fromCallback || self.watching) {
      error =
          fmt::format("A PathWatcher on '{}' has already been started; start aborted!", self.path);
    } else if (self.StartInternal(impl, std::move(onChanged), reason)) {
      return true;
    } else {
      error = fmt::format("Encountered an error while starting a PathWatcher on '{}': {}",
                          self.path, reason);
    }
  }
  detail::LogTextIn(detail::kPathWatcherLogFile, Verbosity::kError, detail::kLinePathStartFailed,
                    error);
  return false;
}

bool PathWatcher::Stop(std::string& error) {
  Impl& self = *impl;
  if (self.Inherited()) {
    self.ReleaseInherited();
    return true;
  }
  if (currentWatcher == &self) {
    error = fmt::format(
        "A PathWatcher on '{}' cannot be stopped from its own onChanged callback; stop aborted!",
        self.path);
  } else {
    std::lock_guard<std::mutex> lock(self.startStopMutex);
    if (self.watching) {
      self.StopInternal();
      return true;
    }
    error = fmt::format("A PathWatcher on '{}' has not been started yet; stop aborted!", self.path);
  }
  detail::LogTextIn(detail::kPathWatcherLogFile, Verbosity::kError, detail::kLinePathFailed, error);
  return false;
}

bool PathWatcher::IsWatching() const { return impl->watching.load() && !impl->Inherited(); }

std::string PathWatcher::WhyLooked() const {
  std::lock_guard<std::mutex> lock(impl->currentMutex);
  return impl->whyLooked;
}

PathWatcher::Change PathWatcher::Current() const {
  std::lock_guard<std::mutex> lock(impl->currentMutex);
  return impl->current;
}

}  // namespace TalvornCommon
