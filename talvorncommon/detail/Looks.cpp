#include "talvorncommon/detail/Looks.h"

#include <fmt/format.h>
#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>

#include "talvorncommon/detail/Sight.h"
#include "talvorncommon/detail/WatchThreadHook.h"

namespace TalvornCommon::detail {
namespace {

using Clock = LookPace::Clock;
using Kind = LookPlace::Kind;

// Shown by debuggers, top and /proc/<pid>/task/<tid>/comm (15 characters at most).
constexpr const char* kThreadName = "PathWatcherLook";

struct Seen {
  LookPlace place;
  Sight sight;
};

// The sights of `places`: the last one of a place in `before`, a first look at
// any other.
std::vector<Seen> SightsOf(std::vector<LookPlace> places, std::vector<Seen> before) {
  std::vector<Seen> seen;
  seen.reserve(places.size());
  for (LookPlace& place : places) {
    const auto known = std::find_if(before.begin(), before.end(),
                                    [&](const Seen& each) { return each.place == place; });
    Sight sight = known != before.end() ? known->sight : LookAt(place);
    seen.push_back({std::move(place), std::move(sight)});
  }
  return seen;
}

struct Changes {
  bool any = false;
  bool file = false;
};

// Looks at every place again, in the order given, a folder before what is in
// it: on NFS a folder's fresh attributes are what make the client look its
// names up again rather than trust what it kept of them.
Changes LookAgain(std::vector<Seen>& seen) {
  Changes changes;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    Seen& each = seen[i];
    if (i + 1 < seen.size() && LeftToNext(each.place, seen[i + 1].place, seen[i + 1].sight))
      continue;
    Sight now = LookAt(each.place, each.sight);
    if (now == each.sight) continue;
    each.sight = std::move(now);
    changes.any = true;
    if (each.place.kind == Kind::kFile) changes.file = true;
  }
  return changes;
}

}  // namespace

std::optional<bool> LookPace::Looked(Clock::time_point now, bool changed) {
  const bool wasSettling = std::exchange(settling_, changed);
  next_ = now + (changed ? settle_ : period_);
  if (changed) return true;
  if (wasSettling) return false;
  return std::nullopt;
}

struct Looks::State {
  explicit State(Found callback) : found(std::move(callback)) {}

  // The thread: sleeps until the next look, Watch or Stop.
  void Run(std::vector<Seen> seen, LookPace pace);

  // Calls `found` unless Stop has begun.
  void Tell(bool changed, bool fileChanged) {
    std::lock_guard<std::mutex> lock(callMutex);
    if (!stopped) found(changed, fileChanged);
  }

  std::mutex mutex;
  std::condition_variable wake;  // Watch and Stop to the thread, and the thread's end to Stop
  // Under mutex.
  std::optional<std::vector<LookPlace>> moved;  // given by Watch, not taken yet
  std::vector<std::function<void()>> jobs;      // given by Post, not run yet
  bool stopping = false;
  bool ended = false;
  // Found runs under callMutex: Stop sets `stopped` under it, so a running call
  // returns before Stop does and none starts after.
  std::mutex callMutex;
  bool stopped = false;  // under callMutex
  const Found found;
};

void Looks::State::Run(std::vector<Seen> seen, LookPace pace) {
  ::pthread_setname_np(::pthread_self(), kThreadName);
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    if (!jobs.empty()) {
      std::vector<std::function<void()>> taken = std::exchange(jobs, {});
      lock.unlock();
      for (const auto& job : taken) job();
      taken.clear();  // what they hold, without the lock
      lock.lock();
      continue;
    }
    if (moved) {
      std::vector<LookPlace> places = std::move(*moved);
      moved.reset();
      // Unlocked: a first look may block on a hung server, and Stop must not
      // wait for it.
      lock.unlock();
      seen = SightsOf(std::move(places), std::move(seen));
      lock.lock();
      continue;
    }
    if (wake.wait_until(lock, pace.Next(), [&] { return stopping || moved || !jobs.empty(); }))
      continue;
    lock.unlock();
    const Changes changes = LookAgain(seen);
    if (const std::optional<bool> told = pace.Looked(Clock::now(), changes.any))
      Tell(*told, changes.file);
    lock.lock();
  }
  ended = true;
  lock.unlock();
  wake.notify_all();
}

Looks::Looks(std::chrono::milliseconds period, std::chrono::milliseconds settle)
    : period_(period), settle_(settle) {}

Looks::~Looks() {
  if (thread_.joinable()) Stop(kStopWait);
}

bool Looks::Start(std::vector<LookPlace> places, Found found, std::string& reason) {
  if (thread_.joinable()) {
    reason = "the looks are already started";
    return false;
  }
  auto state = std::make_shared<State>(std::move(found));
  std::vector<Seen> seen = SightsOf(std::move(places), {});
  try {
    if (WatchThreadHook hook = GetWatchThreadHook()) hook();
    thread_ = std::thread(
        [state, seen = std::move(seen), pace = LookPace(period_, settle_, Clock::now())]() mutable {
          state->Run(std::move(seen), pace);
        });
  } catch (const std::system_error& exception) {
    reason = fmt::format("look thread creation failed: {}", exception.what());
    return false;
  }
  state_ = std::move(state);
  return true;
}

void Looks::Watch(std::vector<LookPlace> places) {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->moved = std::move(places);
  }
  state_->wake.notify_all();
}

void Looks::Mute() {
  if (!state_) return;
  std::lock_guard<std::mutex> lock(state_->callMutex);
  state_->stopped = true;
}

void Looks::Post(std::function<void()> job) {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->jobs.push_back(std::move(job));
  }
  state_->wake.notify_all();
}

bool Looks::Stop(std::chrono::milliseconds wait) {
  if (!state_) return true;
  Mute();
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->stopping = true;
  state_->wake.notify_all();  // now, not at its next look, which may be a period away
  const bool ended = state_->wake.wait_for(lock, wait, [&] { return state_->ended; });
  lock.unlock();
  if (thread_.joinable()) ended ? thread_.join() : thread_.detach();
  return ended;
}

}  // namespace TalvornCommon::detail
