#include "talvorncommon/PathWatcher.h"

#include <fmt/format.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "talvorncommon/detail/Burst.h"
#include "talvorncommon/detail/Fork.h"
#include "talvorncommon/detail/Log.h"
#include "talvorncommon/detail/LookEngine.h"
#include "talvorncommon/detail/PathHub.h"
#include "talvorncommon/detail/Resolver.h"

namespace TalvornCommon {
namespace {

namespace fs = std::filesystem;
using detail::Verbosity;

static_assert(PathWatcher::kWriterQuietPeriod == detail::Burst::kWriterQuietPeriod &&
                  PathWatcher::kLongestBurst == detail::Burst::kLongestBurst &&
                  PathWatcher::kRecheckPeriod == detail::Burst::kRecheckPeriod,
              "the periods PathWatcher tells are those its bursts keep");
static_assert(PathWatcher::kRemoteLookPeriod == detail::LookEngine::kLookPeriod,
              "the look period PathWatcher tells is the one its looks keep");

// The watcher whose call runs on this thread, null elsewhere: its own callback
// calling Start, Stop or the destructor is told apart by it.
thread_local const void* currentWatcher = nullptr;

PathWatcher::Change ChangeOf(const detail::Destination& destination) {
  return {destination.file, destination.problem};
}

}  // namespace

// The record behind a handle, served by the process's hub while started. Its
// resolver, burst and what it last told are the hub's: touched only under the
// hub's lock (on its thread, or by Start and Stop), except the way while a
// resolution runs elsewhere, which the resolver sees to.
class PathWatcher::Impl final : public detail::Resolver::Owner {
 public:
  using Time = detail::PathHub::Time;
  using Resolved = detail::Resolver::Resolved;
  Impl(std::string givenPath, std::chrono::milliseconds quiet)
      : path(std::move(givenPath)), quietPeriod(quiet) {}

  // Resolves the path and has the hub serve the watcher. Runs under
  // startStopMutex (`startStop`) with `watching` false, which it lets go while
  // it resolves the way; on failure nothing stays open.
  bool StartInternal(const std::shared_ptr<Impl>& self, OnChanged callback,
                     std::unique_lock<std::mutex>& startStop, std::string& reason);

  // Whether the watcher can be started with `callback`: the path made
  // absolute, or why not.
  bool Startable(const OnChanged& callback, std::filesystem::path& absolute,
                 std::string& reason) const;
  // Logs what a Start found, and why the way is looked at.
  void LogStarted(const detail::Destination& found) const;

  // Has the hub serve it no longer, once a call running on another thread has
  // returned. Runs under startStopMutex.
  void StopInternal();

  // At the record's first use in a child made by fork: forgets the parent's
  // watch without a word to the parent's thread, whatever the parent's threads
  // were doing with the record at the fork. True when the parent's copy was
  // started or starting.
  bool Adopt();

  // Makes `next` the current Change, warns when a problem begins, calls back.
  void Report(const Change& next);

  void LogError(int line, std::string_view format, std::string_view detail = {}) const {
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kError, line, format, path, detail);
  }

  // The hub's client: what happened on the way, fed to the burst.
  void OnRecord(const inotify_event& record, std::string_view name, Time woke) override;
  void OnMountsChanged(Time woke) override;
  std::optional<Time> Deadline() const override {
    // A burst's end that waits for the resolution under way elsewhere is woken
    // for when it is done.
    if (!burst || ending) return std::nullopt;
    return burst->Deadline();
  }
  bool Due(Time now, bool queued) override;
  void Call() override;
  void Failed(std::string_view why) override {
    LogError(detail::kLinePathFailed, "A PathWatcher on '{}' stopped following its path: {}", why);
  }

  // The looks' client: what they found, fed to the burst by TakeFindings on
  // the hub's thread, which this wakes.
  void Looked(bool changed, bool fileChanged) override { resolver.Found(changed, fileChanged); }

  // The resolver's owner: a resolution taken in (Start's first, or one during
  // a burst, here or elsewhere), and why the way is looked at.
  void Took(const Resolved& made) override;
  void SetWhyLooked(std::string why) override {
    std::lock_guard<std::mutex> lock(currentMutex);
    whyLooked = std::move(why);
  }

  // Ends a burst with the way as `made` found it: whether it is told.
  bool EndWith(const detail::Burst::End& end, const Resolved& made, Time now);
  // Whether `end` is told, with `next` as the way now leads.
  bool Calls(const detail::Burst::End& end, Change next);
  // What the looks found since the thread last asked, fed to the burst.
  void TakeFindings();

  const std::string path;
  const std::chrono::milliseconds quietPeriod;  // as given: the burst bounds it
  std::mutex startStopMutex;
  std::atomic<bool> watching{false};
  // A Start resolves the way without startStopMutex. Written under
  // startStopMutex; atomic for the child that adopts the record.
  std::atomic<bool> starting{false};
  // The process that made the record, or the child that adopted it last.
  detail::ForkStamp stamp;
  // Set by StartInternal before the hub serves it; then the hub thread's alone.
  OnChanged onChanged;
  mutable std::mutex currentMutex;
  Change current;         // under currentMutex
  std::string whyLooked;  // under currentMutex

  // Under the hub's lock while started.
  detail::Resolver resolver{path, *this};
  std::optional<detail::Burst> burst;  // from the first resolution on
  Change reported;
  int reportedFile = -1;
  // A burst's end that waits for the resolution running elsewhere.
  std::optional<detail::Burst::End> ending;
  // The hub thread's alone: what Due found to call with.
  Change pending;
};

void PathWatcher::Impl::Took(const Resolved& made) {
  const detail::Resolution& resolved = made.resolution;
  if (!burst) {
    burst.emplace(quietPeriod, made.at, resolved.recheck);
    reported = ChangeOf(resolved.change);
    reportedFile = resolver.way().fileWatch();
  } else {
    // No file for a writer to close: a link, a folder, a fifo.
    burst->Resolved(resolved.recheck, made.finalMoved || resolved.change.file.empty());
  }
}

bool PathWatcher::Impl::EndWith(const detail::Burst::End& end, const Resolved& made, Time now) {
  burst->Settled(now, made.resolution.recheck);
  resolver.Look(made.remoteWhy);
  const bool calls = Calls(end, ChangeOf(made.resolution.change));
  // Read once the call is decided: one of them may resolve the way again.
  resolver.ReadHeld();
  return calls;
}

void PathWatcher::Impl::TakeFindings() {
  for (const detail::Resolver::Finding& finding : resolver.TakeFindings()) {
    // A name beside the file calls only if the path now leads elsewhere.
    burst->Looked(finding.when, finding.changed, finding.file);
    if (finding.changed) resolver.Resolve();
  }
}

void PathWatcher::Impl::OnRecord(const inotify_event& record, std::string_view name, Time woke) {
  if (resolver.Hold(record, name, woke)) return;
  detail::Seen seen;
  resolver.way().Classify(record, name, seen);
  if (!seen.relevant) return;
  burst->Hear(woke, {.content = seen.content, .overflow = seen.overflow, .writing = seen.writing});
  if (seen.way) resolver.Resolve();
}

void PathWatcher::Impl::OnMountsChanged(Time woke) {
  if (resolver.HoldMounts(woke)) return;
  resolver.Resolve();
  burst->Hear(woke, {});
}

bool PathWatcher::Impl::Due(Time now, bool queued) {
  if (resolver.Resolving()) {
    std::optional<Resolved> made = resolver.Done();
    if (!made) {
      // The burst's clock runs on while the way is resolved elsewhere: a
      // burst that ends meanwhile ends with that resolution, so a way that
      // keeps changing is still told within kLongestBurst.
      if (!ending && burst) ending = burst->Due(now, queued);
      return false;
    }
    if (ending) return EndWith(*std::exchange(ending, std::nullopt), *made, now);
    resolver.TakeIn(*made);
    if (resolver.Resolving()) return false;
  }
  TakeFindings();
  if (resolver.Resolving()) return false;
  // Records still queued may belong to this burst, whatever the time.
  const std::optional<detail::Burst::End> end = burst->Due(now, queued);
  if (!end) return false;
  // The burst has ended, or a problem is due to be checked again.
  if (!end->resolve) return Calls(*end, reported);
  // Here, unless the way is resolved on a look thread: then once it is done.
  ending = end;
  const std::optional<Resolved> made = resolver.Run();
  if (!made) return false;
  ending.reset();
  return EndWith(*end, *made, now);
}

bool PathWatcher::Impl::Calls(const detail::Burst::End& end, Change next) {
  const bool otherFile = resolver.way().fileWatch() != reportedFile;
  reportedFile = resolver.way().fileWatch();
  if (!end.Calls(next != reported, otherFile, !next.file.empty())) return false;
  reported = next;
  pending = std::move(next);
  return true;
}

void PathWatcher::Impl::Call() {
  currentWatcher = this;
  Report(pending);
  currentWatcher = nullptr;
}

bool PathWatcher::Impl::Startable(const OnChanged& callback, fs::path& absolute,
                                  std::string& reason) const {
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
  absolute = fs::absolute(path, failure);
  if (failure) {
    reason = "cannot make the path absolute: " + failure.message();
    return false;
  }
  return true;
}

bool PathWatcher::Impl::StartInternal(const std::shared_ptr<Impl>& self, OnChanged callback,
                                      std::unique_lock<std::mutex>& startStop,
                                      std::string& reason) {
  fs::path absolute;
  if (!Startable(callback, absolute, reason)) return false;
  // Read once per Start: a change of the setting is seen by the next one.
  const bool linksProtected = detail::LinksProtected();
  // Set before the hub serves it: its first call must find them, and must not
  // be overwritten by them.
  onChanged = std::move(callback);
  const bool added = detail::PathHub::Get().Add(
      self,
      [&](detail::Watches& watches) { resolver.Begin(absolute.string(), watches, linksProtected); },
      reason);
  if (!added) {
    onChanged = nullptr;
    return false;
  }
  // Resolved here, without the lock of the thread that serves every watcher:
  // a way through a server that does not answer holds this caller alone. That
  // thread reads no record against the way, nor moves its looks, before it
  // takes in what this found. Nor without the start/stop lock: a Stop on
  // another thread finds the watcher not started yet, and returns at once.
  starting = true;
  startStop.unlock();
  Resolved first = resolver.First();
  startStop.lock();
  starting = false;
  {
    std::lock_guard<std::mutex> lock(currentMutex);
    current = ChangeOf(first.resolution.change);
  }
  const detail::Destination found = first.resolution.change;
  resolver.Leave(std::move(first));
  watching = true;
  LogStarted(found);
  return true;
}

void PathWatcher::Impl::LogStarted(const detail::Destination& found) const {
  std::string leadsTo = found.problem.empty() ? "it leads to " + found.file
                                              : "it leads to no readable file: " + found.problem;
  {
    std::lock_guard<std::mutex> lock(currentMutex);
    if (!whyLooked.empty()) leadsTo += "; looked at every second, since " + whyLooked;
  }
  detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kInfo, detail::kLinePathStarted,
                    "Started a PathWatcher on '{}': {}", path, leadsTo);
  if (!found.problem.empty()) {
    detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kWarning, detail::kLinePathProblem,
                      "A PathWatcher on '{}' leads to no readable file: {}", path, found.problem);
  }
}

void PathWatcher::Impl::StopInternal() {
  watching = false;
  detail::PathHub::Get().Remove(this, [&](detail::Watches&) {
    resolver.End();
    burst.reset();
    ending.reset();
  });
  // Without the hub's lock: a look thread may wait a second for its server.
  if (!resolver.LeaveLooks()) {
    LogError(detail::kLinePathLookLeft,
             "A PathWatcher on '{}' stopped while a look at its way waited for a server that does "
             "not answer; the look's thread ends once the look returns.");
  }
  // Nothing is looked at now; the next Start tells why if its way has a far place.
  SetWhyLooked(std::string());
  // Only the hub thread reads it, and no call of this watcher runs any more;
  // from its own callback (a destruction) the call still runs and keeps it.
  if (currentWatcher != this) onChanged = nullptr;
  detail::LogPathIn(detail::kPathWatcherLogFile, Verbosity::kInfo, detail::kLinePathStopped,
                    "Stopped a PathWatcher on '{}'.", path);
}

bool PathWatcher::Impl::Adopt() {
  bool served = false;
  stamp.Adopt([this, &served] {
    served = watching || starting;
    // The child has only the thread that forked. What another of the parent's
    // threads held or was changing at the fork is abandoned, never destroyed:
    // a lock it held would stay held for ever in the copy, a string or list it
    // was changing may be half changed.
    detail::Abandon(startStopMutex, currentMutex, current, whyLooked, onChanged, burst, reported,
                    ending, pending);
    resolver.Abandon();
    watching = starting = false;
    reportedFile = -1;
    if (currentWatcher == this) currentWatcher = nullptr;  // forked from its own callback
  });
  return served;
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
  self.Adopt();
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
  self.Adopt();  // a child's copy: its lock may be held by a thread of the parent's
  {
    // From its own onChanged the watcher is started, and the lock may be held
    // by a Stop that waits for that very call.
    const bool fromCallback = currentWatcher == &self;
    std::unique_lock<std::mutex> lock(self.startStopMutex, std::defer_lock);
    if (!fromCallback) lock.lock();
    std::string reason;
    if (fromCallback || self.watching || self.starting) {
      error =
          fmt::format("A PathWatcher on '{}' has already been started; start aborted!", self.path);
    } else if (self.StartInternal(impl, std::move(onChanged), lock, reason)) {
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
  // The child's copy of a started watcher: nothing of its watch is the child's.
  if (self.Adopt()) return true;
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

// A child's copy that the child has not used yet is told as never started: its
// lock may be held by a thread of the parent's, which the child does not have.
bool PathWatcher::IsWatching() const { return impl->stamp.Ours() && impl->watching.load(); }

std::string PathWatcher::WhyLooked() const {
  if (!impl->stamp.Ours()) return std::string();
  std::lock_guard<std::mutex> lock(impl->currentMutex);
  return impl->whyLooked;
}

PathWatcher::Change PathWatcher::Current() const {
  if (!impl->stamp.Ours()) return Change();
  std::lock_guard<std::mutex> lock(impl->currentMutex);
  return impl->current;
}

}  // namespace TalvornCommon
