// Internal: what the library does so that a child made by fork at any moment
// can use it. The child has only the thread that forked, and a copy of every
// lock: one that another thread of the parent held stays held for ever there.
// So a record is adopted by the child at its first use (its locks and state
// abandoned and made afresh), under a lock that is free in every child, and a
// fork waits until no thread of the library is inside spdlog.
//
//   detail::ForkStamp stamp;                         // a member of the record
//   stamp.Adopt([&] { MakeAfresh(); });              // before its locks are taken
//   { const detail::LogGate gate; logger.log(...); } // each of the library's lines
#ifndef TALVORNCOMMON_DETAIL_FORK_H_
#define TALVORNCOMMON_DETAIL_FORK_H_

#include <unistd.h>

#include <atomic>
#include <functional>
#include <new>
#include <type_traits>

namespace TalvornCommon::detail {

// The process that made a record or last adopted it.
class ForkStamp {
 public:
  // True in the process that made or adopted the record. Any thread.
  bool Ours() const { return pid_.load(std::memory_order_acquire) == ::getpid(); }

  // Unless the record is ours, runs `abandon` once in this process, under a
  // lock that no thread of the parent can have left held, and makes the record
  // ours. `abandon` must make the record afresh without destroying or locking
  // anything of it: the parent's threads may have held its locks or been
  // changing its members at the fork. Any thread; true when `abandon` ran.
  bool Adopt(const std::function<void()>& abandon);

 private:
  std::atomic<pid_t> pid_{::getpid()};
};

// For an `abandon` of ForkStamp::Adopt: makes each member afresh in place,
// without destroying what the parent's threads may have left half changed or
// locking what they may have left held.
template <typename... Members>
void Abandon(Members&... members) {
  (static_cast<void>(::new (static_cast<void*>(&members)) Members()), ...);
}

// Held while one of the library's log lines is written. A fork waits for it,
// so that no lock of spdlog's that a thread of the library holds is copied
// held into the child: for as long as a sink takes to write one line, never
// for a Start or a call. A fork made while writing one (from a sink) does not
// wait for itself.
class LogGate {
 public:
  LogGate();
  ~LogGate();
  LogGate(const LogGate&) = delete;
  LogGate& operator=(const LogGate&) = delete;

 private:
  bool held_ = false;  // not already held by this thread
};

}  // namespace TalvornCommon::detail

#endif  // TALVORNCOMMON_DETAIL_FORK_H_
