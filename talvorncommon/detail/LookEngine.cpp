#include "talvorncommon/detail/LookEngine.h"

#include <pthread.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace TalvornCommon::detail {
namespace {

using Rooms = std::vector<std::unique_ptr<Looks>>;

// Ends the threads of `rooms`, left with no client, waiting `wait` at most for
// them all together; false when one is left behind.
bool End(Rooms rooms, std::chrono::milliseconds wait) {
  for (const auto& room : rooms) room->BeginStop();
  const Looks::Clock::time_point until = Looks::Clock::now() + wait;
  bool ended = true;
  for (const auto& room : rooms) ended = room->Stop(until) && ended;
  return ended;
}

}  // namespace

struct LookEngine::State {
  // The thread of `device`, made if none runs; null, with `reason` set, when it
  // cannot be made. Under mutex.
  Looks* RoomOf(dev_t device, std::string& reason) {
    std::unique_ptr<Looks>& room = rooms[device];
    if (room) return room.get();
    auto fresh = std::make_unique<Looks>(kLookPeriod, kSettlePeriod);
    if (!fresh->Start(reason)) {
      rooms.erase(device);
      return nullptr;
    }
    room = std::move(fresh);
    return room.get();
  }
  // `client` leaves the threads whose device is not in `kept`; those left with
  // no client are taken out, to be ended. Under mutex.
  Rooms LeaveAllBut(LookClient* client, const std::map<dev_t, std::vector<LookPlace>>& kept) {
    Rooms emptied;
    for (auto room = rooms.begin(); room != rooms.end();) {
      if (kept.count(room->first) == 0 && room->second->Leave(client)) {
        emptied.push_back(std::move(room->second));
        room = rooms.erase(room);
      } else {
        ++room;
      }
    }
    return emptied;
  }

  std::mutex mutex;
  std::map<dev_t, std::unique_ptr<Looks>> rooms;  // under mutex
};

namespace {

std::atomic<LookEngine*> currentEngine{nullptr};

}  // namespace

LookEngine& LookEngine::Get() {
  static const bool once = [] {
    const auto fresh = [] {
      auto* engine = new LookEngine();
      engine->state_ = new State();
      return engine;
    };
    currentEngine.store(fresh());
    // A child made by fork has none of the parent's threads, and the lock may
    // be held by one of them: the child abandons the parent's engine.
    static LookEngine* (*const inChild)() = fresh;
    ::pthread_atfork(nullptr, nullptr, [] { currentEngine.store(inChild()); });
    return true;
  }();
  static_cast<void>(once);
  return *currentEngine.load();
}

bool LookEngine::Watch(LookClient* client, const std::vector<LookPlace>& places, bool here,
                       std::string& reason) {
  std::map<dev_t, std::vector<LookPlace>> byDevice;
  for (const LookPlace& place : places) byDevice[place.device].push_back(place);
  State& s = *state_;
  std::vector<Looks*> watched;
  Rooms emptied;
  bool made = true;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [device, onIt] : byDevice) {
      Looks* room = s.RoomOf(device, reason);
      if (room == nullptr) {
        made = false;
        break;
      }
      room->Watch(client, std::move(onIt));
      watched.push_back(room);
    }
    if (!made) byDevice.clear();
    emptied = s.LeaveAllBut(client, byDevice);
  }
  // Outside the lock: a first sight may wait for its server, and a thread
  // left with no client may still be in a look.
  if (made && here)
    for (Looks* room : watched) room->SightNew(client);
  End(std::move(emptied), std::chrono::milliseconds(0));
  return made;
}

bool LookEngine::Post(LookClient* client, dev_t device, std::function<void()> job,
                      std::string& reason) {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  Looks* room = s.RoomOf(device, reason);
  if (room == nullptr) return false;
  room->Post(client, std::move(job));
  return true;
}

bool LookEngine::Leave(LookClient* client, std::chrono::milliseconds wait) {
  Rooms emptied;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    emptied = state_->LeaveAllBut(client, {});
  }
  return End(std::move(emptied), wait);
}

}  // namespace TalvornCommon::detail
