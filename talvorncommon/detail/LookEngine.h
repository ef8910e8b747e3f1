// Internal: the looks of a process, one Looks (one thread "PathWatcherLook")
// per far file system, told apart by its device. A file system's thread exists
// while some client has a place on it, or a job for it, and ends after the
// last: a thousand watchers of files in one network folder cost one thread,
// and a place they share is asked once a look. A server that stops answering
// holds only its own file system's thread.
//
//   detail::LookEngine& engine = detail::LookEngine::Get();
//   if (!engine.Watch(client, way.RemotePlaces(), /*here=*/true, reason)) Report(reason);
//   engine.Post(client, places.front().device, [] { ResolveTheWay(); }, reason);
//   if (!engine.Leave(client, Looks::kStopWait)) ReportLeftBehind();
//
// Errors: Watch and Post return false and assign a complete English text to
// `reason` when a file system's thread cannot be made; they leave `reason`
// untouched when they succeed.
//
// In a child made by fork none of this exists: the child starts from an
// engine of its own, with no thread.
#ifndef TALVORNCOMMON_DETAIL_LOOKENGINE_H_
#define TALVORNCOMMON_DETAIL_LOOKENGINE_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "talvorncommon/detail/Looks.h"

namespace TalvornCommon::detail {

class LookEngine {
 public:
  // A change made on another machine is seen within about a second. After a
  // look found a change, the next look at the places of the clients it
  // concerns comes a settle period later, and again until one finds nothing
  // further changed: a writer on another machine that pauses less than that
  // between writes is read once, whole.
  static constexpr std::chrono::milliseconds kLookPeriod{1000};
  static constexpr std::chrono::milliseconds kSettlePeriod{200};

  // This process's engine.
  static LookEngine& Get();

  // Looks at `places` for `client` from now on, each on its device's thread
  // (made if none runs), and leaves the threads of the devices it no longer
  // has a place on, ending a thread left with no client without waiting for
  // it. `here`: the first sights of places new to their threads are taken on
  // the calling thread, so that any change after Watch returns is found. False
  // when a thread cannot be made: then no place of the client is looked at.
  // Calls for one client are made one at a time; any thread.
  [[nodiscard]] bool Watch(LookClient* client, const std::vector<LookPlace>& places, bool here,
                           std::string& reason);

  // Runs `job` on the thread of `device` (made if none runs), as Looks::Post
  // does; the client keeps that thread until it leaves or watches elsewhere.
  [[nodiscard]] bool Post(LookClient* client, dev_t device, std::function<void()> job,
                          std::string& reason);

  // Forgets `client` on every thread: none of its Looked calls starts after
  // this returns, a running one has returned, and its jobs not begun never
  // run. The threads it was the last client of end; they are waited for
  // together, `wait` at most. False when one of them is left behind, blocked
  // in the kernel: it ends by itself once its call returns, with no call to
  // the client. Any thread.
  bool Leave(LookClient* client, std::chrono::milliseconds wait);

  LookEngine(const LookEngine&) = delete;
  LookEngine& operator=(const LookEngine&) = delete;

 private:
  LookEngine() = default;
  struct State;
  State* state_ = nullptr;  // never freed: a fork's child abandons it
};

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_LOOKENGINE_H_
