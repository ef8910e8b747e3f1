#include "talvorncommon/detail/Resolver.h"

#include <chrono>
#include <utility>

#include "talvorncommon/detail/Fork.h"
#include "talvorncommon/detail/Log.h"
#include "talvorncommon/detail/LookEngine.h"

namespace TalvornCommon::detail {
namespace {

// Records of a watcher's watches kept while its way is resolved on another
// thread; past this many, an overflow stands for them all.
constexpr std::size_t kHeldRecords = 1024;
// A held change of the mount table, told from a record by its watch.
constexpr int kMountsChanged = -2;

}  // namespace

// What a watcher holds from Start to Stop that a resolution of its way on
// another thread uses: such a resolution, waiting for a server that does not
// answer, keeps it past Stop, and past another Start of the same watcher.
struct Resolver::Session {
  Session(std::string path, Watches& watches, PathHub::Client* served, bool linksProtected)
      : way(std::move(path), watches, served, linksProtected), client(served) {}

  // Resolves the way on the calling thread, which has it to itself until the
  // result is left for the hub's thread; `avoid` as Way::Follow has it.
  Resolved Follow(const std::vector<std::string>* avoid = nullptr) {
    Resolved made;
    made.resolution = way.Follow(made.finalMoved, avoid);
    made.at = std::chrono::steady_clock::now();
    made.remoteWhy = way.RemoteWhy();
    return made;
  }
  // Leaves `made` for the hub's thread and wakes it, unless the watcher has
  // stopped: after its Stop the hub may have closed the descriptor that wakes
  // it, whose number another open may have taken.
  void Leave(Resolved made) {
    std::lock_guard<std::mutex> lock(mutex);
    if (retired) return;
    done = std::move(made);
    PathHub::Get().Wake(client);
  }
  void Retire() {
    way.Retire();
    std::lock_guard<std::mutex> lock(mutex);
    retired = true;
  }
  std::optional<Resolved> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(done, std::nullopt);
  }

  Way way;
  PathHub::Client* const client;  // whose thread takes the results
  std::mutex mutex;
  std::optional<Resolved> done;  // under mutex
  bool retired = false;          // under mutex
};

void Resolver::Begin(std::string absolutePath, Watches& watches, bool linksProtected) {
  PathHub::Client* const served = &owner_;
  session_ = std::make_shared<Session>(std::move(absolutePath), watches, served, linksProtected);
  resolving_ = true;
}

Resolver::Resolved Resolver::First() {
  Resolved first = session_->Follow();
  Look(first.remoteWhy, true);
  return first;
}

const Way& Resolver::way() const { return session_->way; }

void Resolver::Leave(Resolved made) { session_->Leave(std::move(made)); }

void Resolver::End() {
  session_->Retire();
  session_.reset();
  held_.clear();
  resolving_ = again_ = false;
  lookedAt_.clear();
}

bool Resolver::LeaveLooks() {
  // The threads this watcher was the last client of are waited for, a second
  // at most, and a finding told meanwhile is dropped.
  const bool left = LookEngine::Get().Leave(&owner_, Looks::kStopWait);
  std::lock_guard<std::mutex> lock(findingsMutex_);
  findings_.clear();
  return left;
}

void Resolver::Abandon() {
  // The session's watches are the parent's hub's, which the child has
  // abandoned too, and the look threads are the parent's.
  detail::Abandon(session_, lookedAt_, held_, findingsMutex_, findings_);
  resolving_ = again_ = false;
}

bool Resolver::Hold(const inotify_event& record, std::string_view name, Time woke) {
  if (!resolving_) return false;
  if (held_.size() < kHeldRecords) {
    held_.push_back({record.wd, record.mask, std::string(name), woke});
  } else {
    // Too many to keep: the way is resolved again and the file read.
    held_ = {{-1, IN_Q_OVERFLOW, {}, woke}};
  }
  return true;
}

bool Resolver::HoldMounts(Time woke) {
  inotify_event record{};
  record.wd = kMountsChanged;
  return Hold(record, {}, woke);
}

void Resolver::Resolve() {
  if (resolving_) {
    again_ = true;
    return;
  }
  // Here when every place on the way is local: nothing waited for a server.
  if (const std::optional<Resolved> made = Run()) TakeIn(*made);
}

std::optional<Resolver::Resolved> Resolver::Run() {
  // A way with a place on a far file system is resolved on the look thread of
  // its first one, since a server that does not answer would hold the
  // resolution, and with it every watcher of the process.
  if (!lookedAt_.empty() && ResolveOnLooks(lookedAt_.front().device)) return std::nullopt;
  return FollowHere();
}

bool Resolver::ResolveOnLooks(dev_t device) {
  std::string reason;
  if (!LookEngine::Get().Post(
          &owner_, device, [session = session_] { session->Leave(session->Follow()); }, reason)) {
    LogLooksFailed(reason);
    return false;
  }
  resolving_ = true;
  return true;
}

std::optional<Resolver::Resolved> Resolver::FollowHere() {
  Resolved made = session_->Follow(&PathHub::Get().FarMounts());
  if (!made.resolution.elsewhere) return made;
  // A far place has come on the way, not asked yet, whose device is not known:
  // a look thread for such places resolves it, and the way's own from then on.
  if (ResolveOnLooks(0)) return std::nullopt;
  return session_->Follow();  // no thread to wait on: here, whatever it costs
}

std::optional<Resolver::Resolved> Resolver::Done() {
  std::optional<Resolved> made = session_->Take();
  if (made) resolving_ = false;
  return made;
}

void Resolver::TakeIn(const Resolved& made) {
  owner_.Took(made);
  Look(made.remoteWhy);
  ReadHeld();
}

void Resolver::Look(const std::string& why, bool here) {
  const std::vector<LookPlace>& places = session_->way.RemotePlaces();
  // With no far place, the watcher still leaves a thread it resolved on.
  if (places == lookedAt_ && !places.empty()) return;
  const bool began = lookedAt_.empty();
  std::string reason;
  if (!LookEngine::Get().Watch(&owner_, places, here, reason)) {
    // Looked at by no thread: followed by its events alone, and the next
    // resolution tries again.
    LogLooksFailed(reason);
    lookedAt_.clear();
    owner_.SetWhyLooked({});
    return;
  }
  if (places == lookedAt_) return;
  lookedAt_ = places;
  owner_.SetWhyLooked(why);
  if (!began && places.empty()) {
    LogPathIn(kPathWatcherLogFile, Verbosity::kInfo, kLinePathLooks,
              "A PathWatcher on '{}' no longer looks at its way: {}", path_,
              "every place on it is local");
  } else if (began) {
    LogPathIn(kPathWatcherLogFile, Verbosity::kInfo, kLinePathLooks,
              "A PathWatcher on '{}' looks at its way every second: {}", path_,
              why + ", where changes made elsewhere raise no inotify event");
  }
}

void Resolver::ReadHeld() {
  for (const Held& each : std::exchange(held_, {})) {
    if (each.wd == kMountsChanged) {
      owner_.OnMountsChanged(each.woke);
      continue;
    }
    inotify_event record{};
    record.wd = each.wd;
    record.mask = each.mask;
    owner_.OnRecord(record, each.name, each.woke);
  }
  if (std::exchange(again_, false) && !resolving_) Resolve();
}

void Resolver::Found(bool changed, bool file) {
  {
    std::lock_guard<std::mutex> lock(findingsMutex_);
    findings_.push_back({std::chrono::steady_clock::now(), changed, file});
  }
  PathHub::Get().Wake();
}

std::vector<Resolver::Finding> Resolver::TakeFindings() {
  std::vector<Finding> taken;
  std::lock_guard<std::mutex> lock(findingsMutex_);
  taken.swap(findings_);
  return taken;
}

void Resolver::LogLooksFailed(const std::string& reason) const {
  LogPathIn(kPathWatcherLogFile, Verbosity::kError, kLinePathLooks,
            "A PathWatcher on '{}' cannot look at its way: {}", path_, reason);
}

}  // namespace TalvornCommon::detail
