#include "talvorncommon/detail/Looks.h"

#include <fmt/format.h>
#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
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

// A place by what tells it apart in the looks. Folders sort before links and
// files, and a folder before what is in it: on NFS a folder's fresh attributes
// are what make the client look its names up again rather than trust what it
// kept of them.
using Key = std::pair<Kind, std::string>;
Key KeyOf(const LookPlace& place) { return {place.kind, place.path}; }

}  // namespace

std::optional<bool> LookPace::Looked(Clock::time_point now, bool changed) {
  const bool wasSettling = std::exchange(settling_, changed);
  next_ = now + (changed ? settle_ : period_);
  if (changed) return true;
  if (wasSettling) return false;
  return std::nullopt;
}

struct Looks::State {
  State(std::chrono::milliseconds lookPeriod, std::chrono::milliseconds settlePeriod)
      : period(lookPeriod), settle(settlePeriod), round(Clock::now() + lookPeriod) {}

  // The thread: sleeps until the next look, a job, a new place or Stop.
  void Run();
  // Looks at the places of the clients that are due, each place once.
  void Look(std::unique_lock<std::mutex>& lock);
  // Takes the first sights of `keys` that still have none, unlocked.
  void SightFirst(std::unique_lock<std::mutex>& lock, std::vector<Key> keys);
  // When the next look is due.
  Clock::time_point Next() const {
    Clock::time_point next = round;
    for (const auto& [client, held] : clients) next = std::min(next, held.pace.Next());
    return next;
  }
  bool Unsighted() const {
    return std::any_of(places.begin(), places.end(),
                       [](const auto& place) { return !place.second.sight; });
  }
  // The client's entry, made if it has none: a newcomer's first look comes
  // with everyone's next one.
  auto Fresh(LookClient* client) {
    return clients.try_emplace(client, Held{{}, LookPace(period, settle, round - period)}).first;
  }
  // Drops a hold on each of `held`; a place no client holds is forgotten.
  void Release(const std::vector<LookPlace>& held) {
    for (const LookPlace& place : held) {
      const auto found = places.find(KeyOf(place));
      if (found != places.end() && --found->second.holders == 0) places.erase(found);
    }
  }

  const std::chrono::milliseconds period;
  const std::chrono::milliseconds settle;
  std::mutex mutex;
  std::condition_variable wake;  // to the thread, and the thread's end to Stop
  // Under mutex.
  struct Place {
    std::optional<Sight> sight;  // none until its first look
    int holders = 0;
  };
  std::map<Key, Place> places;
  struct Held {
    std::vector<LookPlace> places;
    LookPace pace;
  };
  std::map<LookClient*, Held> clients;
  std::vector<std::pair<LookClient*, std::function<void()>>> jobs;  // given by Post, not run yet
  // Every place is looked at then: the clients' looks between two of them are
  // their settle looks alone, so that a place is asked once a period.
  Clock::time_point round;
  bool stopping = false;
  bool ended = false;
};

void Looks::State::Run() {
  ::pthread_setname_np(::pthread_self(), kThreadName);
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    if (!jobs.empty()) {
      std::vector<std::pair<LookClient*, std::function<void()>>> taken = std::exchange(jobs, {});
      // Unlocked: a job may wait for a hung server, and Leave and Stop must
      // not wait for it.
      lock.unlock();
      for (const auto& job : taken) job.second();
      taken.clear();  // what they hold, without the lock
      lock.lock();
      continue;
    }
    if (Unsighted()) {
      std::vector<Key> keys;
      for (const auto& [key, place] : places)
        if (!place.sight) keys.push_back(key);
      SightFirst(lock, std::move(keys));
      continue;
    }
    if (wake.wait_until(lock, Next(), [&] { return stopping || !jobs.empty() || Unsighted(); }))
      continue;
    Look(lock);
  }
  ended = true;
  lock.unlock();
  wake.notify_all();
}

void Looks::State::SightFirst(std::unique_lock<std::mutex>& lock, std::vector<Key> keys) {
  lock.unlock();
  std::vector<Sight> sights;
  for (const Key& key : keys) sights.push_back(LookAt({key.first, key.second}));
  lock.lock();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto found = places.find(keys[i]);
    if (found != places.end() && !found->second.sight) found->second.sight = sights[i];
  }
}

void Looks::State::Look(std::unique_lock<std::mutex>& lock) {
  const Clock::time_point now = Clock::now();
  const bool full = now >= round;
  std::set<LookClient*> due;
  // Whether some due client needs the place asked: a folder whose look can be
  // left to the file's is asked only for a client that still needs it.
  std::map<Key, bool> needed;
  const auto lastOf = [this](const LookPlace& place) {
    const auto found = places.find(KeyOf(place));
    return found != places.end() && found->second.sight ? *found->second.sight : Sight{};
  };
  for (const auto& [client, held] : clients) {
    if (!full && held.pace.Next() > now) continue;
    due.insert(client);
    for (std::size_t i = 0; i < held.places.size(); ++i) {
      const bool left = i + 1 < held.places.size() &&
                        LeftToNext(held.places[i], held.places[i + 1], lastOf(held.places[i + 1]));
      needed[KeyOf(held.places[i])] |= !left;
    }
  }
  std::vector<std::pair<Key, Sight>> asked;
  for (const auto& [key, need] : needed)
    if (need) asked.emplace_back(key, lastOf({key.first, key.second}));
  // Unlocked: a look may block on a hung server, and Leave and Stop must not
  // wait for it.
  lock.unlock();
  std::vector<std::pair<Key, Sight>> seen;
  for (const auto& [key, last] : asked)
    seen.emplace_back(key, LookAt({key.first, key.second}, last));
  lock.lock();
  std::set<Key> changed;
  for (auto& [key, sight] : seen) {
    const auto found = places.find(key);
    if (found == places.end() || !found->second.sight || *found->second.sight == sight) continue;
    found->second.sight = std::move(sight);
    changed.insert(key);
  }
  const Clock::time_point end = Clock::now();
  if (full) round = end + period;
  // A change goes to every client that holds the place, due or not; a client
  // whose places were looked at and did not change may have settled.
  for (auto& [client, held] : clients) {
    bool any = false, file = false;
    for (const LookPlace& place : held.places) {
      if (changed.count(KeyOf(place)) == 0) continue;
      any = true;
      file = file || place.kind == Kind::kFile;
    }
    if (!any && due.count(client) == 0) continue;
    if (const std::optional<bool> told = held.pace.Looked(end, any)) client->Looked(*told, file);
  }
}

Looks::Looks(std::chrono::milliseconds period, std::chrono::milliseconds settle)
    : period_(period), settle_(settle) {}

Looks::~Looks() {
  if (thread_.joinable()) Stop(Clock::now() + kStopWait);
}

bool Looks::Start(std::string& reason) {
  if (thread_.joinable()) {
    reason = "the looks are already started";
    return false;
  }
  auto state = std::make_shared<State>(period_, settle_);
  try {
    if (WatchThreadHook hook = GetWatchThreadHook()) hook();
    thread_ = std::thread([state] { state->Run(); });
  } catch (const std::system_error& exception) {
    reason = fmt::format("look thread creation failed: {}", exception.what());
    return false;
  }
  state_ = std::move(state);
  return true;
}

void Looks::Watch(LookClient* client, std::vector<LookPlace> places) {
  if (!state_) return;
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const LookPlace& place : places) ++s.places[KeyOf(place)].holders;
    const auto held = s.Fresh(client);
    s.Release(std::exchange(held->second.places, std::move(places)));
  }
  s.wake.notify_all();
}

void Looks::SightNew(LookClient* client) {
  if (!state_) return;
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  const auto held = s.clients.find(client);
  if (held == s.clients.end()) return;
  std::vector<Key> keys;
  for (const LookPlace& place : held->second.places)
    if (!s.places[KeyOf(place)].sight) keys.push_back(KeyOf(place));
  s.SightFirst(lock, std::move(keys));
}

bool Looks::Leave(LookClient* client) {
  if (!state_) return true;
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto held = s.clients.find(client);
  if (held != s.clients.end()) {
    s.Release(held->second.places);
    s.clients.erase(held);
  }
  std::erase_if(s.jobs, [client](const auto& job) { return job.first == client; });
  return s.clients.empty();
}

void Looks::Post(LookClient* client, std::function<void()> job) {
  if (!state_) return;
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.Fresh(client);
    s.jobs.emplace_back(client, std::move(job));
  }
  s.wake.notify_all();
}

void Looks::BeginStop() {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();  // now, not at its next look, which may be a period away
}

bool Looks::Stop(Clock::time_point until) {
  if (!state_) return true;
  BeginStop();
  std::unique_lock<std::mutex> lock(state_->mutex);
  const bool ended = state_->wake.wait_until(lock, until, [&] { return state_->ended; });
  lock.unlock();
  if (thread_.joinable()) ended ? thread_.join() : thread_.detach();
  return ended;
}

}  // namespace TalvornCommon::detail
